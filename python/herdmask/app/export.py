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

from . import exits, identity, records, standins
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
    p.add_argument("--image-root", metavar="DIR",
                   help="coco: image file names are relative to this folder (default: the run folder, or for one "
                        "segment the folder of its frames); the file states it as info.image_root")
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


def run_coco(run_dir, label=None, image_root=None):
    """COCO documents of a run folder, {camera sequence name: document}, with the corrections in force
    (a mask marked wrong is left out); images also carry "video" and "segment", and "frame_id" the
    frame's number along the camera's recording. Image file names are relative to `image_root`
    (default: the run folder)."""
    from herdmask import export

    run, sequences = run_links(run_dir)
    root = os.path.abspath(image_root or run.out)
    documents = {}
    for name, (ids, links) in sequences.items():
        parts, folders = [], {}
        for r, frames in links:
            folder = run.annotation_dir(r)
            if not os.path.isdir(folder):
                raise FileNotFoundError(f"the annotation files of {r.key} are missing from '{folder}'")
            fields = {"video": r.video, "segment": r.segment}
            if r.resize_height is not None:  # masks at the size the frames were tracked at
                fields["frame_scale"] = [round(v, 6) for v in r.frame_scale()]
            parts.append((folder, ids.link_ids(r), frames, fields))
            # where the frames are now: the run folder may have moved since the files were written
            folders[(r.video, r.segment)] = os.path.join(run.out, r.frames_dir) if r.frames_dir else None
        document = export.sequence_coco(parts, label, f"herdmask tracking export of {name} in {run.out}")
        for image in document["images"]:
            folder = folders[(image["video"], image["segment"])]
            path = os.path.join(folder, os.path.basename(image["file_name"])) if folder else image["file_name"]
            image["file_name"] = _relative(path, root)
        documents[name] = _stated(document, root, run.settings)
    return documents


def _relative(path, root):
    relative = os.path.relpath(path, root)
    if relative == os.pardir or relative.startswith(os.pardir + os.sep):
        raise ValueError(f"the frame {path} lies outside the image root {root}: give --image-root a folder "
                         "that holds the frames")
    return relative


def _stated(document, root, run_settings=None):
    """The document saying which folder its image file names are relative to, and, when the results
    are the stand-ins', that they are."""
    info = document["info"]
    info["image_root"] = root
    if standins.made_with_standins(run_settings):
        info["description"] = f"{standins.LINE} {info['description']}"
        info["made_with_standins"] = True
    return document


def export_run(run_dir, out_dir, fmt, image_root=None):
    """Writes one file per camera of a run folder into `out_dir`: <camera>.json (COCO) or
    <camera>.txt (MOTChallenge); a camera with nothing tracked gets no file. Returns ([(camera
    sequence, path, what it holds)], [camera sequences with nothing tracked])."""
    from herdmask import export

    if fmt not in _EXTENSIONS:
        raise ValueError(f"unknown export format '{fmt}': use coco or mot")
    if fmt == "coco":
        made, write, describe = run_coco(run_dir, image_root=image_root), export.write_coco, _describe_coco
        empty = [name for name, doc in made.items() if not doc["annotations"]]
    else:
        made, write, describe = run_mot(run_dir), export.write_mot, _describe_mot
        empty = [name for name, table in made.items() if table.empty]
    if len(empty) == len(made):
        raise ValueError(f"nothing to export: no camera of {os.path.abspath(run_dir)} has a tracked animal")
    os.makedirs(out_dir, exist_ok=True)
    written = [(name, write(doc, os.path.join(out_dir, name + _EXTENSIONS[fmt])), describe(doc))
               for name, doc in made.items() if name not in empty]
    return written, empty


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

    # what a segment becomes in the format, how it is written and said
    of_segment, write, describe = {
        "coco": (export.segment_coco, export.write_coco, _describe_coco),
        "mot": (export.segment_mot, export.write_mot, _describe_mot),
    }[args.format]
    extension = _EXTENSIONS[args.format]
    source = args.source
    if not os.path.isdir(source):
        raise FileNotFoundError(f"no such folder: {source}")
    if is_run_folder(source):
        if os.path.exists(args.out) and not os.path.isdir(args.out):
            raise NotADirectoryError(f"--out must be a folder for a run folder: {args.out} is a file")
        if standins.made_with_standins(RunFolder(source).settings):
            print(standins.LINE)
        for line in identity.correction_notes(RunFolder.open(source)):
            print(line)
        written, empty = export_run(source, args.out, args.format, args.image_root)
        for name, path, said in written:
            print(f"{name}: {said} -> {path}")
        for name in empty:
            print(f"{name}: nothing tracked, no file written")
        return 0
    tracks = of_segment(source)
    if not (tracks["annotations"] if args.format == "coco" else len(tracks)):
        raise ValueError(f"nothing to export: no tracked animal in {os.path.abspath(source)}")
    if args.format == "coco":
        root = os.path.abspath(args.image_root or os.path.dirname(tracks["images"][0]["file_name"]))
        for image in tracks["images"]:
            image["file_name"] = _relative(image["file_name"], root)
        tracks = _stated(tracks, root)
    target = _segment_target(source, args.out, extension)
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
