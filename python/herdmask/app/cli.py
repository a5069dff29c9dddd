"""The `herdmask` command: demo, batch run over recordings, review of annotation files."""

from __future__ import annotations

import argparse
import os
import re
import sys

TIME_RE = re.compile(r"^\d\d:\d\d:\d\d$")


def _time_arg(text):
    if not TIME_RE.match(text):
        raise argparse.ArgumentTypeError(f"expected hh:mm:ss, got {text!r}")
    return text


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text}")
    return value


def _add_model_args(p, with_detector=True):
    g = p.add_argument_group("models (without them the built-in colour-threshold stand-ins are used)")
    if with_detector:
        g.add_argument("--gdino", metavar="DIR", help="local folder of a transformers Grounding DINO model")
    g.add_argument("--sam2-config", metavar="CFG", help="SAM2 model config (image and video predictors)")
    g.add_argument("--sam2-checkpoint", metavar="CKPT", help="SAM2 checkpoint file")
    g.add_argument("--device", help="compute device (default: cuda when available, else cpu)")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="herdmask",
        description="Video annotation and multi-object tracking of pigs in pens.")
    sub = parser.add_subparsers(dest="command", required=True)

    demo = sub.add_parser("demo", help="run the whole pipeline on a generated sample recording",
                          description="Generate a small synthetic recording and run the whole pipeline on it, "
                                      "writing a summary page (summary.html) into --out.")
    demo.add_argument("--out", default="herdmask-demo", help="output folder (default: herdmask-demo)")
    demo.add_argument("--preset", choices=["demo", "tiny"], default="demo",
                      help="size of the generated recording (tiny: a few seconds, for tests)")

    run = sub.add_parser("run", help="process every video of a recordings folder, one job per video",
                         description="Catalogue the camera videos under RECORDINGS_DIR's sub-folders, then per "
                                     "video: frame extraction, start-frame search, tracking, refinement, "
                                     "annotation files and the tracking report. Finished work is skipped on a "
                                     "rerun. Jobs run on dask.distributed: a local cluster by default.")
    run.add_argument("recordings_dir")
    run.add_argument("--out", required=True, help="output folder (frames, annotations, reports, logs)")
    run.add_argument("--camera", help="only this camera number (as written in the file names)")
    run.add_argument("--start", type=_time_arg, default="06:00:00", help="time-of-day window start (exclusive)")
    run.add_argument("--end", type=_time_arg, default="17:00:00", help="time-of-day window end (exclusive)")
    run.add_argument("--sample-step", type=int, default=0,
                     help="keep every N-th video of the time window (default 0: all)")
    run.add_argument("--scheduler", metavar="ADDRESS",
                     help="dask scheduler address (tcp://host:8786); default: a local cluster")
    run.add_argument("--workers", type=_positive_int, default=2, help="workers of the local cluster (default 2)")
    run.add_argument("--time-step", type=float, default=0.1, help="segment length in minutes (default 0.1)")
    run.add_argument("--animals", type=_positive_int, default=10, help="animals per pen (default 10)")
    run.add_argument("--step", type=_positive_int, default=10, help="stride of the start-frame search")
    run.add_argument("--pen-json", help="pen polygon file (default: RECORDINGS_DIR/pen_polygon.json)")
    _add_model_args(run)

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
    _add_model_args(review, with_detector=False)

    from . import evaluate, export  # each adds its sub-command with its handler

    export.add_parser(sub)
    evaluate.add_parser(sub)
    return parser


def _review_command(args):
    from . import pages, stages

    if not os.path.isdir(args.annotation_dir):
        print(f"herdmask review: no such folder: {args.annotation_dir}", file=sys.stderr)
        return 2
    if args.sam2_config or args.sam2_checkpoint:
        if not (args.sam2_config and args.sam2_checkpoint):
            print("herdmask review: give both --sam2-config and --sam2-checkpoint", file=sys.stderr)
            return 2
        from sam2.build_sam import build_sam2
        from sam2.sam2_image_predictor import SAM2ImagePredictor

        predictor = SAM2ImagePredictor(build_sam2(args.sam2_config, args.sam2_checkpoint,
                                                  device=args.device or "cpu"))
        print(f"Image features from SAM2 {args.sam2_checkpoint}.")
    else:
        from herdmask.testing import ColourImagePredictor

        predictor = ColourImagePredictor()
        print("Image features for the overlap review come from the built-in STAND-IN encoder "
              "(a colour layout, not a model); give --sam2-config and --sam2-checkpoint for the real one.")
    os.makedirs(args.out, exist_ok=True)
    review = stages.review_annotations(
        args.annotation_dir, args.out, predictor, intersection_thrr=args.intersection_thr,
        small_area=dict(min_frame_id=args.min_frame_id, area_threshold=args.area_threshold,
                        min_count=args.min_count))
    if review.annotation_data is None:
        return 1
    print(review.overlap_text())
    print(f"Small-area boxes: {review.small_area_boxes}")
    figures = pages.save_review_figures(review, os.path.join(args.out, "figures"))
    lines = [f"{len(review.annotation_data)} annotation files from {os.path.abspath(args.annotation_dir)}.",
             review.overlap_text(),
             f"Small-area boxes: {review.small_area_boxes}", f"Report: {review.report_path}"]
    page = pages.write_summary_page(os.path.join(args.out, "review.html"), "herdmask review",
                                   [("Review", lines, figures, pages.report_table_html(review.report_path))])
    print(f"Summary page: {page}")
    return 0


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    if hasattr(args, "handler"):
        return args.handler(args)
    if args.command == "demo":
        from .demo import run_demo

        run_demo(args.out, preset=args.preset)
        return 0
    if args.command == "review":
        return _review_command(args)
    if args.command == "run":
        from .run import run_batch

        return run_batch(args)
    return 2
