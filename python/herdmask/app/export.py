"""`herdmask export`: a run's or a segment's tracks as COCO instance segmentation or MOTChallenge text."""

from __future__ import annotations

import os
import sys

from .layout import is_run_folder

__all__ = ["INPUT_ERRORS", "add_parser", "export_command", "report_errors"]

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

    from .proofread.source import corrected_run_coco, corrected_run_mot

    # what a run folder (with its corrections) and a segment become in the format, how it is written and said
    of_run, of_segment, write, describe = {
        "coco": (corrected_run_coco, export.segment_coco, export.write_coco, _describe_coco),
        "mot": (corrected_run_mot, export.segment_mot, export.write_mot, _describe_mot),
    }[args.format]
    extension = _EXTENSIONS[args.format]
    source = args.source
    if not os.path.isdir(source):
        raise FileNotFoundError(f"no such folder: {source}")
    if is_run_folder(source):
        if os.path.exists(args.out) and not os.path.isdir(args.out):
            raise NotADirectoryError(f"--out must be a folder for a run folder: {args.out} is a file")
        os.makedirs(args.out, exist_ok=True)
        sequences, notes = of_run(source)
        for line in notes:
            print(line)
        for name, tracks in sequences.items():
            path = write(tracks, os.path.join(args.out, name + extension))
            print(f"{name}: {describe(tracks)} -> {path}")
        return 0
    target = _segment_target(source, args.out, extension)
    tracks = of_segment(source)
    write(tracks, target)
    print(f"{describe(tracks)} -> {target}")
    return 0


def _error_text(exc):
    """One line for the user: what was wrong, without the traceback."""
    if isinstance(exc, ImportError) and exc.name:
        return f"needs the package {exc.name} (pip install 'herdmask[export]')"
    if isinstance(exc, KeyError) and exc.args:  # a field the file lacks
        return f"missing field {exc.args[0]!r}"
    if isinstance(exc, OSError) and exc.filename and exc.strerror:
        return f"{exc.strerror}: {exc.filename}"
    return str(exc)


def report_errors(command, run, args):
    """Runs a command; bad input (exit status 2) or a missing package (1) becomes one line on stderr."""
    try:
        return run(args)
    except (ImportError, *INPUT_ERRORS) as exc:
        print(f"herdmask {command}: {_error_text(exc)}", file=sys.stderr)
        return 1 if isinstance(exc, ImportError) else 2


def export_command(args):
    return report_errors("export", _run, args)
