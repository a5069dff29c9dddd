"""The `herdmask` command: demo, run over recordings, review of annotation files, export and evaluate."""

from __future__ import annotations

import argparse
import importlib
import math
import os
import re
import sys
import tempfile

from . import exits

TIME_RE = re.compile(r"^\d\d:\d\d:\d\d$")


def _time_arg(text):
    if not TIME_RE.match(text):
        raise argparse.ArgumentTypeError(f"expected hh:mm:ss, got {text!r}")
    return text


def _checked(convert, accepts, expected):
    """An argument type: `convert` applied to the text, refused with one line
    naming what was expected when it fails or `accepts` says no."""
    def parse(text):
        try:
            value = convert(text)
        except ValueError:
            value = None
        if value is None or not accepts(value):
            raise argparse.ArgumentTypeError(f"expected {expected}, got {text}")
        return value

    return parse


_positive_int = _checked(int, lambda v: v >= 1, "a whole number of at least 1")
_non_negative_int = _checked(int, lambda v: v >= 0, "a whole number of at least 0")
_positive_float = _checked(float, lambda v: math.isfinite(v) and v > 0, "a positive number")
_non_negative_float = _checked(float, lambda v: math.isfinite(v) and v >= 0, "a number of at least 0")


def _crop_box(text):
    try:
        box = [int(v) for v in text.split(",")]
    except ValueError:
        box = []
    if len(box) != 4 or not (0 <= box[0] < box[2] and 0 <= box[1] < box[3]):
        raise argparse.ArgumentTypeError(f"expected X1,Y1,X2,Y2 with 0 <= X1 < X2 and 0 <= Y1 < Y2, got {text}")
    return box


def _add_frame_options(parser):
    parser.add_argument("--frame-skip", type=_positive_int, default=1, metavar="N",
                        help="extract and track one frame in N (and each segment's last frame; default 1: every "
                             "frame); --step still counts frames of the video")
    parser.add_argument("--resize", type=_positive_int, metavar="HEIGHT",
                        help="scale the extracted frames to this height, keeping their aspect ratio (default: as "
                             "cropped); the pen polygon is scaled with them, --small-area still counts pixels of "
                             "the video")
    parser.add_argument("--keep-frames", action="store_true",
                        help="keep every extracted frame (default: a segment's frames go once it is tracked, but "
                             "for its first; whatever needs a frame later reads it again from the video)")


def _frame_arguments(args):
    """The frame options of `args` as `herdmask run` takes them."""
    argv = [] if args.frame_skip == 1 else ["--frame-skip", str(args.frame_skip)]
    argv += [] if args.resize is None else ["--resize", str(args.resize)]
    return argv + (["--keep-frames"] if args.keep_frames else [])


def build_parser(command=None):
    """The command's parser. Given the name of a sub-command, only that sub-command is added, so
    that only its own module is imported: a command starts without loading what the others need."""
    parser = argparse.ArgumentParser(
        prog="herdmask",
        description="Video annotation and multi-object tracking of pigs in pens.")
    sub = parser.add_subparsers(dest="command", required=True)
    for name in [command] if command in _SUBCOMMANDS else _SUBCOMMANDS:
        _SUBCOMMANDS[name](sub)
    return parser


def _add_demo(sub):
    demo = sub.add_parser("demo", help="run the whole job on a generated sample recording",
                          description="Generate a small synthetic recording (two cameras, three consecutive videos "
                                      "each) and run `herdmask run` on it, writing summary.html into --out.")
    demo.add_argument("--out", default="herdmask-demo", help="output folder (default: herdmask-demo)")
    from .samples import PRESETS

    demo.add_argument("--preset", choices=list(PRESETS), default="demo",
                      help="size of the generated recording (tiny: one camera with two videos of a few seconds; "
                           "chain: two cameras with three such videos each; restart: a pen dark at the start of "
                           "every later video, so the keys restart)")
    demo.add_argument("--workers", type=_positive_int, default=2, help="workers of the local cluster (default 2)")
    _add_frame_options(demo)
    demo.set_defaults(handler=_demo_command)


def _add_run(sub):
    from . import checks
    from .models import add_model_arguments

    run = sub.add_parser(
        "run", help="track every camera's videos as one chain, carrying identities from segment to segment",
        description="Catalogue the camera videos under RECORDINGS_DIR and its sub-folders (file names "
                    "Camera<N>_<n>_<YYYYMMDDhhmmss>.mp4) and track each camera's videos as one chain: frame "
                    "extraction, then per segment the start of tracking (the previous segment's animals carried "
                    "over with the matcher, or the start-frame search), tracking, refinement, annotation files "
                    "and the review. Work runs on dask.distributed, a local cluster by default. Finished "
                    "segments are skipped on a rerun; the others are tried again. Exit status: 0 every segment "
                    "tracked, 1 some segment not tracked, 2 bad input (nothing was started), 3 --out holds "
                    "results made with other settings (give --redo), 4 a package is missing, 5 an internal "
                    "error.")
    run.add_argument("recordings_dir", nargs="?", metavar="RECORDINGS_DIR",
                     help="where the videos are (with --lab: instead of the lab file's recordings)")
    run.add_argument("--lab", metavar="LAB.toml",
                     help="the lab file: every camera with its own pen polygon, crop and animals (herdmask init "
                          "writes a first one); --pen-json, --crop-box, --no-crop and --animals override it for "
                          "every camera")
    run.add_argument("--out", required=True, help="output folder (frames, annotations, reports, pages)")
    run.add_argument("--camera", help="only this camera number (as written in the file names)")
    run.add_argument("--start", type=_time_arg, default="06:00:00", help="time-of-day window start (exclusive)")
    run.add_argument("--end", type=_time_arg, default="17:00:00", help="time-of-day window end (exclusive)")
    run.add_argument("--sample-step", type=_non_negative_int, default=0,
                     help="keep every N-th video of the time window (default 0: all)")
    run.add_argument("--scheduler", metavar="ADDRESS",
                     help="dask scheduler address (tcp://host:8786); default: a local cluster")
    run.add_argument("--workers", type=_positive_int, default=2, help="workers of the local cluster (default 2)")
    run.add_argument("--time-step", type=_positive_float, default=0.1, help="segment length in minutes (default 0.1)")
    run.add_argument("--max-links", type=_positive_int, default=checks.DEFAULT_MAX_LINKS, metavar="N",
                     help="refuse a run of more links than this (default 1,000,000; a week of ten pens at "
                          "0.1 minutes is about 460,000)")
    run.add_argument("--animals", type=_positive_int, help="animals per pen (default 10, or the lab file's)")
    run.add_argument("--step", type=_positive_int, default=10,
                     help="stride of the start-frame search and between the matcher's tries, in frames of the "
                          "video (default 10)")
    run.add_argument("--match-frames", type=_positive_int, default=3,
                     help="frames of a segment the matcher tries (0, STEP, 2 STEP, ...) before the keys restart "
                          "(default 3)")
    run.add_argument("--max-gap", type=_non_negative_float, default=60.0, metavar="SECONDS",
                     help="carry identities only across gaps in the recording up to this long (default 60)")
    run.add_argument("--small-area", type=_positive_float, default=100, metavar="PIXELS",
                     help="a box whose mask stays at or below this area in most of a segment's last third is not "
                          "carried on (default 100)")
    run.add_argument("--relink-cost", type=_positive_float, default=0.6, metavar="COST",
                     help="when the keys restart within --max-gap, the animals found anew keep the track ids of the "
                          "previous segment's last animals if each pairs with one at most this cost (the mean of "
                          "1 - mask IoU and the centroid distance over the square root of the animal's area, at "
                          "most 1; default 0.6)")
    run.add_argument("--relink-margin", type=_non_negative_float, default=0.2, metavar="COST",
                     help="... and every other pairing costs at least this much more (default 0.2)")
    _add_frame_options(run)
    run.add_argument("--pen-json", help="pen polygon file (default: RECORDINGS_DIR/pen_polygon.json)")
    crop = run.add_mutually_exclusive_group()
    crop.add_argument("--no-crop", action="store_true", help="keep whole frames (no orange-marker crop)")
    crop.add_argument("--crop-box", type=_crop_box, metavar="X1,Y1,X2,Y2",
                      help="crop every camera's frames to this box instead of the one the orange marker gives")
    run.add_argument("--redo", action="store_true",
                     help="redo every segment, also those done before (needed when the settings changed)")
    run.add_argument("--render", action="store_true",
                     help="after the segments, write their overlay videos (masks in track colours with the ids, "
                          "as herdmask render does) for every segment made or corrected since its last video")
    add_model_arguments(run)
    run.set_defaults(handler=_run_command)


def _add_review(sub):
    from .models import add_model_arguments

    review = sub.add_parser("review", help="review a folder of annotation files (no detector, no tracker)",
                            description="Load the annotation files under ANNOTATION_DIR, write the tracking "
                                        "report, review long overlaps and small-area boxes, draw the figures "
                                        "and a summary page (review.html) into --out.")
    review.add_argument("annotation_dir")
    review.add_argument("--out", required=True)
    review.add_argument("--intersection-thr", type=float, default=80, help="overlap threshold in percent")
    review.add_argument("--min-frame-id", type=int, default=500, help="small-area boxes: frames after this")
    review.add_argument("--area-threshold", type=float, default=100, help="small-area boxes: area at most this")
    review.add_argument("--min-count", type=int, default=100, help="small-area boxes: more frames than this")
    add_model_arguments(review, with_detector=False)
    review.set_defaults(handler=_review_command)


def _module_parser(name):
    """Adds the sub-command that the module of this package named `name` defines, with its handler."""
    return lambda sub: importlib.import_module(f".{name}", __package__).add_parser(sub)


# in the order --help lists them
_SUBCOMMANDS = {"demo": _add_demo, "run": _add_run, "review": _add_review,
                **{name: _module_parser(name) for name in ("init", "export", "evaluate", "proofread", "render",
                                                           "behaviour")}}


def _demo_command(args):
    from .demo import run_demo

    return run_demo(args.out, preset=args.preset, workers=args.workers, run_options=_frame_arguments(args))


def _run_command(args):
    from .run import run_batch

    return run_batch(args)


def _review_command(args):
    from . import figures, pages, stages
    from .models import MissingPackage, ModelLoadError, ModelSettings, check_models

    if not os.path.isdir(args.annotation_dir):
        print(f"herdmask review: no such folder: {args.annotation_dir}", file=sys.stderr)
        return exits.BAD_INPUT
    try:
        models = check_models(ModelSettings.from_args(args))
    except ModelLoadError as exc:
        print(f"herdmask review: {exc}", file=sys.stderr)
        return exits.MISSING_PACKAGE if isinstance(exc, MissingPackage) else exits.BAD_INPUT
    print(models.description)
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="herdmask-review-") as scratch:
        review = stages.review_annotations(
            args.annotation_dir, args.out, models.image_predictor, intersection_threshold=args.intersection_thr,
            small_area=dict(min_frame_id=args.min_frame_id, area_threshold=args.area_threshold,
                            min_count=args.min_count),
            frames_again=_frames_of_run_link(args.annotation_dir, scratch))
        return _reviewed(args, review, figures, pages, models.standin)


def _frames_of_run_link(annotation_dir, scratch):
    """For the annotation folder of a run's link: a function that reads frames of the link again
    from its video into `scratch` (a run deletes a link's frames once it is done); else None."""
    from .runfolder import RunFolder, is_run_folder

    folder = os.path.abspath(annotation_dir)
    segment, video = os.path.basename(folder), os.path.basename(os.path.dirname(folder))
    out = os.path.dirname(os.path.dirname(os.path.dirname(folder)))
    if not is_run_folder(out):
        return None
    run = RunFolder.open(out)
    record = run.read_record(video, segment)
    if record is None or not record.crop_box:
        return None

    def frames_again(indices):
        from PIL import Image

        made = {}
        for start in range(0, len(indices), 16):  # a few frames in memory at a time
            chunk = indices[start:start + 16]
            for index, frame in zip(chunk, run.frames(record, chunk)):
                made[index] = os.path.join(scratch, f"{index:04d}.png")  # PNG: the pixels as read
                Image.fromarray(frame[:, :, ::-1]).save(made[index])
        return made

    return frames_again


def _reviewed(args, review, figures, pages, standins_used):
    if review.annotation_data is None:
        print(f"herdmask review: no annotation files (output_pp_<n>.json) in {args.annotation_dir}", file=sys.stderr)
        return exits.BAD_INPUT
    print(review.overlap_text())
    print(review.small_area_text())
    figure_paths = figures.save_review_figures(review, os.path.join(args.out, "figures"))
    lines = [f"{len(review.annotation_data)} annotation files from {os.path.abspath(args.annotation_dir)}.",
             review.overlap_text(),
             review.small_area_text(), f"Report: {review.report_path or 'none (no question)'}"]
    page = pages.write_summary_page(os.path.join(args.out, "review.html"), "herdmask review",
                                   [("Review", lines, figure_paths, pages.report_table_html(review.report_path))],
                                   standins_used)
    print(f"Summary page: {page}")
    return exits.OK


# what each command needs of the app extra
_APP_PACKAGES = {"run": ("dask", "distributed", "tqdm"), "demo": ("dask", "distributed", "tqdm"),
                 "proofread": ("starlette", "uvicorn")}


def _missing_app_packages(command):
    import importlib.util

    return [name for name in _APP_PACKAGES.get(command, ()) if importlib.util.find_spec(name) is None]


def _log_dir(args):
    """Where an internal error's traceback goes: the run folder's logs when there is one."""
    out = getattr(args, "out", None)
    if args.command in ("run", "demo") and out and os.path.isdir(out):
        return os.path.join(out, "logs")
    return None


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser(argv[0] if argv else None).parse_args(argv)
    if args.command in _APP_PACKAGES:
        missing = _missing_app_packages(args.command)
        if missing:
            print(f"herdmask {args.command} needs {', '.join(missing)}: pip install herdmask[app]", file=sys.stderr)
            return exits.MISSING_PACKAGE
    try:
        return args.handler(args)
    except Exception as exc:  # a fault of the program: one line, the traceback in a log
        return exits.internal_error(args.command, exc, _log_dir(args))
