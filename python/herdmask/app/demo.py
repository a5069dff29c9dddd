"""`herdmask demo`: the whole pipeline on a generated sample recording.

Generates two consecutive camera videos with ten moving animals, then runs
catalogue, frame extraction, start-frame search, tracking, refinement,
annotation files, tracking report, overlap review, small-area boxes, best last
frame and the matcher into the second video, and writes a summary page.
"""

from __future__ import annotations

import os
import time

import numpy as np

from . import models as models_mod, samples, stages
from .pages import report_table_html, save_review_figures, use_file_backend, write_summary_page

__all__ = ["run_demo"]

# library steps the demo needs beyond video intake
TRACKING_STEPS = ["initializer", "Mask_Refinement", "get_gsam_annotation_data", "generate_tracking_report",
                  "find_continuous_frames", "process_overlap_frames", "find_boxes_with_small_area_from_last_video",
                  "matcher", "img_bbx_drawing", "draw_intersection_heatmap"]


def _stage(title):
    print()
    print(f"== {title}")


def run_demo(out="herdmask-demo", preset="demo", models=None):
    """Run the pipeline on a generated recording under `out`; returns the summary page path."""
    from PIL import Image

    import herdmask as hm

    use_file_backend()
    t0 = time.time()
    out = os.path.abspath(out)
    fig_dir = os.path.join(out, "figures")
    os.makedirs(fig_dir, exist_ok=True)

    _stage("Generating a synthetic recording")
    rec = samples.make_sample_recording(os.path.join(out, "recording"), preset)
    p = rec.preset
    for v in rec.video_paths:
        print(f"video: {v}")
    print(f"pen polygon: {rec.pen_json_path}")

    _stage("Catalogue")
    df = stages.catalogue(rec.base_dir, [rec.sub_dir])

    _stage("Frame extraction")
    frames_base = os.path.join(out, "frames")
    vp = stages.extract_frames(df, frames_base, time_step=0.1)
    folders = []
    for _, row in df.iterrows():
        segs = stages.segment_folders(frames_base, row["Date"], row["Video Name"])
        for s in segs:
            print(f"frames of {row['Video Name']}: {s} ({len(stages.frame_names_of(s))} frames)")
        folders.append(segs[0] if segs else None)
    print(f"crop boxes used: {vp.camera_crop_coords}")
    if len(folders) < 2 or None in folders:
        raise RuntimeError("frame extraction produced no frames for the sample videos")

    missing = [n for n in TRACKING_STEPS if not hasattr(hm, n)]
    if missing:
        print(f"Stopping after frame extraction: this build lacks {', '.join(missing)}.")
        return None

    _stage("Models")
    if models is None:
        models = models_mod.load_models()
    print(models.description)

    _stage(f"Start-frame search and tracking of {os.path.basename(rec.video_paths[0])}")
    ann_dir = os.path.join(out, "annotations", df.iloc[0]["Video Name"])
    track = stages.track_segment(folders[0], models, rec.pen_json_path, ann_dir, close_set_num=p.animals)
    if track.ann_frame_idx is None:
        raise RuntimeError("no frame of the first video shows every animal clearly")
    start_png = os.path.join(fig_dir, "start_frame.png")
    track.annotated_frame.save(start_png)
    print(f"tracking started at frame {track.ann_frame_idx}; {len(track.video_segments)} frames tracked,"
          f" annotation files in {ann_dir}")

    _stage("Review of the tracked video")
    n = len(track.frame_names)
    small_area = dict(min_frame_id=n // 2, area_threshold=int(0.4 * np.pi * (p.crop_width / 15) ** 2 / 2),
                      min_count=max(1, n // 10))
    review = stages.review_annotations(ann_dir, os.path.join(out, "review"), models.image_predictor,
                                         small_area=small_area)
    print(review.overlap_text())
    print(f"boxes that stayed tiny late in the video: {review.small_area_boxes}")
    figures = save_review_figures(review, fig_dir)

    _stage(f"Carrying identities into {os.path.basename(rec.video_paths[1])}")
    next_names = stages.frame_names_of(folders[1])
    shown = {}
    masks, objects, keep_box, best, failed = stages.carry_identities(
        review.annotation_data, next_names, models.image_predictor,
        remove_stack_box=list(review.small_area_boxes), display_func=lambda img: shown.setdefault("img", img))
    identity_figs = {}
    if "img" in shown:
        path = os.path.join(fig_dir, "last_masks_on_next_video.png")
        shown["img"].save(path)
        identity_figs["Best last frame's masks drawn on the next video's first frame"] = path
    if not failed:
        carried = {f"Box{i}": np.asarray(m).reshape(np.asarray(m).shape[-2:]) for i, m in enumerate(masks)}
        drawn = hm.img_bbx_drawing(Image.open(next_names[0]).convert("RGB"), carried)
        path = os.path.join(fig_dir, "identities_next_video.png")
        drawn.save(path)
        identity_figs["Identities carried into the next video (new masks, same numbering)"] = path
        match_line = (f"{len(masks)} animals carried over from frame {best['frame_index']} "
                      f"of the first video; kept boxes {keep_box}")
    else:
        match_line = "The matcher could not carry the identities over (see the log)."
    print(match_line)

    _stage("Summary")
    elapsed = time.time() - t0
    sections = [
        ("Recording", [f"{len(rec.video_paths)} videos of {p.frames_per_video} frames at {p.fps} fps, "
                       f"{p.animals} animals; crop box {vp.camera_crop_coords}.", models.description],
         {}, ""),
        ("Start frame", [f"Tracking starts at frame {track.ann_frame_idx} of {folders[0]}."],
         {"Annotated start frame": start_png}, ""),
        ("Tracking review", [review.overlap_text(),
                             f"Small-area boxes: {review.small_area_boxes}",
                             f"Report: {review.report_path}"],
         figures, report_table_html(review.report_path)),
        ("Next video", [match_line], identity_figs, ""),
        ("Run", [f"Finished in {elapsed:.1f} s."], {}, ""),
    ]
    page = write_summary_page(os.path.join(out, "summary.html"), "herdmask demo", sections)
    print(f"Summary page: {page}")
    print(f"Demo finished in {elapsed:.1f} s.")
    return page
