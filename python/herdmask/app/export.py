"""`herdmask export`: a run's or a segment's tracks as COCO instance segmentation or MOTChallenge text.

A run folder becomes one sequence per camera: its done links in recording
order, each frame numbered along the camera's recording (see `runfolder`) and
each animal under its track id after the corrections in force (see `identity`;
a mask marked wrong is left out). MOT rows come from each link's tracks table,
COCO masks from its annotation files.
"""

from __future__ import annotations

import os
import sys

from . import exits, identity, records
from .runfolder import RunFolder, is_run_folder, sequence_name

__all__ = ["INPUT_ERRORS", "add_parser", "export_command", "export_run", "report_errors", "run_coco", "run_links",
           "run_mot"]

# What bad input raises; anything else is a fault of the program and keeps its traceback.
INPUT_ERRORS = (OSError, ValueError, KeyError)
_EXTENSIONS = {"coco": ".json", "mot": ".txt"}


def add_parser(sub):
    p = sub.add_parser(
        "export", help="write tracks as COCO instance segmentation JSON or MOTChallenge text",
        description="Export the tracked masks of RUN_OR_ANNOTATION_DIR: a run folder (one file per camera into "
                    "the folder --out, track ids following each animal along the camera's videos) or one segment's "
                    "annotation folder (the file --out when it ends in .json or .txt, else a file named after "
                    "the segment in the folder --out).")
    p.add_argument("source", metavar="RUN_OR_ANNOTATION_DIR")
    p.add_argument("--format", choices=list(_EXTENSIONS), required=True,
                   help="coco: instance segmentation JSON with RLE masks; mot: frame,id,x,y,w,h,conf,-1,-1,-1")
    p.add_argument("--out", required=True, metavar="PATH",
                   help="output folder, or for one segment a file ending in .json (coco) or .txt (mot)")
    p.set_defaults(handler=export_command)
    return p


def run_links(run_dir):
    """(run, {sequence name: (TrackMap, [(record, frame numbers), ...])}): each camera's track ids
    with the corrections in force, and its done links in recording order with the frame number
    of each of their annotation files' frame indices."""
    run = RunFolder.open(os.fspath(run_dir))
    maps = identity.track_maps(run)
    out = {}
    for camera in run.cameras():
        chain = run.chain(camera)
        old = [r.key for r in chain if r.status == records.DONE and r.version != records.RECORD_VERSION]
        if old:
            raise ValueError(f"{run.out} holds links made by an earlier version of herdmask ({old[0]}, ...): "
                             "make them again with herdmask run --redo")
        offsets = run.camera_offsets(camera)
        out[sequence_name(camera)] = (maps[camera], [(r, run.sequence_frames(r, offsets)) for r in chain if r.done])
    return run, out


def _in_video_pixels(tracks, record):
    """A link's tracks table with its boxes in the pixels of the video's crop: the frames it tracked
    may have been scaled (--resize)."""
    sx, sy = record.frame_scale()
    if (sx, sy) == (1.0, 1.0):
        return tracks
    tracks = tracks.copy()
    for column, scale in (("x", sx), ("w", sx), ("y", sy), ("h", sy)):
        tracks[column] = (tracks[column] / scale).round(2)
    return tracks


def run_mot(run_dir):
    """MOTChallenge tables of a run folder, {camera sequence name: table}, from the links' tracks tables,
    with the corrections in force (a mask marked wrong is left out); boxes in the pixels of the video's crop,
    whatever size the frames were tracked at."""
    import pandas as pd

    from herdmask import export

    run, sequences = run_links(run_dir)

    def link_mot(ids, record, frames):
        tracks = _in_video_pixels(run.tracks(record), record)
        track, wrong = ids.ids_at(record, tracks["box_key"], tracks["frame"])
        return export.tracks_mot(tracks[~wrong], track[~wrong], frames)

    empty = export.tracks_mot(export.segment_tracks({}))
    return {name: pd.concat([empty] + [link_mot(ids, r, frames) for r, frames in links], ignore_index=True)
            for name, (ids, links) in sequences.items()}


def run_coco(run_dir, label=None):
    """COCO documents of a run folder, {camera sequence name: document}, with the corrections in force
    (a mask marked wrong is left out); images also carry "video" and "segment", and "frame_id" the
    frame's number along the camera's recording."""
    from herdmask import export

    run, sequences = run_links(run_dir)
    documents = {}
    for name, (ids, links) in sequences.items():
        parts = []
        for r, frames in links:
            folder = run.annotation_dir(r)
            if not os.path.isdir(folder):
                raise FileNotFoundError(f"the annotation files of {r.key} are missing from '{folder}'")
            fields = {"video": r.video, "segment": r.segment}
            if r.resize_height is not None:  # masks at the size the frames were tracked at
                fields["frame_scale"] = [round(v, 6) for v in r.frame_scale()]
            parts.append((folder, ids.link_ids(r), frames, fields))
        documents[name] = export.sequence_coco(parts, label, f"herdmask tracking export of {name} in {run.out}")
    return documents


def export_run(run_dir, out_dir, fmt):
    """Writes one file per camera of a run folder into `out_dir`: <camera>.json (COCO) or
    <camera>.txt (MOTChallenge); returns the paths written."""
    from herdmask import export

    if fmt not in _EXTENSIONS:
        raise ValueError(f"unknown export format '{fmt}': use coco or mot")
    os.makedirs(out_dir, exist_ok=True)
    of_run, write = (run_coco, export.write_coco) if fmt == "coco" else (run_mot, export.write_mot)
    return [write(doc, os.path.join(out_dir, name + _EXTENSIONS[fmt])) for name, doc in of_run(run_dir).items()]


def _segment_target(source, out, extension):
    """PATH itself when it ends in the format's extension, else <segment folder name><extension> inside PATH."""
    if out.lower().endswith(extension) and not os.path.isdir(out):
        os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
        return out
    os.makedirs(out, exist_ok=True)
    return os.path.join(out, os.path.basename(os.path.normpath(os.path.abspath(source))) + extension)


def _describe_coco(doc):
    tracks = len({a["track_id"] for a in doc["annotations"]})
    return f"{len(doc['images'])} images, {len(doc['annotations'])} masks, {tracks} tracks"


def _describe_mot(table):
    return f"{table['frame'].nunique()} frames, {len(table)} boxes, {table['id'].nunique()} tracks"


def _run(args):
    from herdmask import export

    # what a run folder and a segment become in the format, how it is written and said
    of_run, of_segment, write, describe = {
        "coco": (run_coco, export.segment_coco, export.write_coco, _describe_coco),
        "mot": (run_mot, export.segment_mot, export.write_mot, _describe_mot),
    }[args.format]
    extension = _EXTENSIONS[args.format]
    source = args.source
    if not os.path.isdir(source):
        raise FileNotFoundError(f"no such folder: {source}")
    if is_run_folder(source):
        if os.path.exists(args.out) and not os.path.isdir(args.out):
            raise NotADirectoryError(f"--out must be a folder for a run folder: {args.out} is a file")
        os.makedirs(args.out, exist_ok=True)
        for line in identity.correction_notes(RunFolder.open(source)):
            print(line)
        sequences = of_run(source)
        for name, tracks in sequences.items():
            path = write(tracks, os.path.join(args.out, name + extension))
            print(f"{name}: {describe(tracks)} -> {path}")
        return 0
    target = _segment_target(source, args.out, extension)
    tracks = of_segment(source)
    write(tracks, target)
    print(f"{describe(tracks)} -> {target}")
    return 0


def _error_text(exc, extra):
    """One line for the user: what was wrong, without the traceback."""
    if isinstance(exc, ImportError) and exc.name:
        return f"needs the package {exc.name} (pip install 'herdmask[{extra}]')"
    if isinstance(exc, KeyError) and exc.args:  # a field the file lacks
        return f"missing field {exc.args[0]!r}"
    if isinstance(exc, OSError) and exc.filename and exc.strerror:
        return f"{exc.strerror}: {exc.filename}"
    return str(exc)


def report_errors(command, run, args, extra="export"):
    """Runs a command; bad input (exit status 2) or a missing package (4, naming the extra that
    brings it) becomes one line on stderr."""
    try:
        return run(args)
    except (ImportError, *INPUT_ERRORS) as exc:
        print(f"herdmask {command}: {_error_text(exc, extra)}", file=sys.stderr)
        return exits.MISSING_PACKAGE if isinstance(exc, ImportError) else exits.BAD_INPUT


def export_command(args):
    return report_errors("export", _run, args)
