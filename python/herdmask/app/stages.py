"""The pipeline's stages, built only on herdmask's public functions.

Each function here is one stage as a lab runs it: catalogue and frame
extraction, the start-frame search and tracking of one frame folder,
refinement, the per-frame annotation files the tracking run leaves, the review
of those files, and carrying identities into the next video. The run and the
demo chain them.
"""

from __future__ import annotations

import dataclasses
import glob
import json
import os

import numpy as np

import herdmask as hm

__all__ = [
    "ReviewResult",
    "TrackResult",
    "carry_identities",
    "catalogue",
    "extract_frames",
    "frame_names_of",
    "mask_polygons",
    "review_annotations",
    "segment_folders",
    "track_segment",
    "write_annotation_files",
]

ANNOTATION_PATTERN = "output_pp_{}.json"


# ------------------------------------------------------------------ intake stages


def catalogue(base_dir, sub_dirs=None, filter_start="06:00:00", filter_end="17:00:00", camera_number=None,
              sample_step=0):
    """The catalogue table of the camera videos under `base_dir`'s sub-folders (all of them by default)."""
    if sub_dirs is None:
        sub_dirs = sorted(e.name for e in os.scandir(base_dir) if e.is_dir())
        if any(name.endswith(".mp4") for name in os.listdir(base_dir)):
            sub_dirs = [""] + sub_dirs  # videos lying directly in base_dir
    meta = hm.VideoMetadata(base_dir, list(sub_dirs), filter_start, filter_end, sample_step, -1,
                            camera_number=camera_number)
    return meta.get_filtered_video_dataframe()


def extract_frames(df, frames_base, time_step=0.1, processor=None):
    """Cut every catalogued video into segment folders under `frames_base`; returns the processor."""
    if processor is None:
        processor = hm.VideoProcessor(time_step=time_step, output_dir_base=str(frames_base))
    processor.process_videos_to_frames(df)
    return processor


def segment_folders(frames_base, date, video_name):
    """The finished segment frame folders of one video, in time order."""
    pattern = os.path.join(glob.escape(str(frames_base)), "", glob.escape(date), glob.escape(video_name),
                           "*min_to_*min", "right_cropped_frames")
    found = [p for p in glob.glob(pattern) if os.path.isdir(p)]

    def start_minute(path):
        seg = os.path.basename(os.path.dirname(path))
        return float(seg.split("min_to_")[0])

    return sorted(found, key=start_minute)


def frame_names_of(folder):
    """Frame image paths of a frame folder in frame-number order.

    Ordered by number, as the segmenter's video loader orders them: by text,
    10000.jpg would come before 9999.jpg.
    """
    names = [n for n in os.listdir(folder) if n.endswith(".jpg")]
    if not all(n[:-4].isdigit() for n in names):
        raise ValueError(f"{folder} holds frame files not named by number: "
                         f"{sorted(n for n in names if not n[:-4].isdigit())[:3]}")
    return [os.path.join(folder, n) for n in sorted(names, key=lambda n: int(n[:-4]))]


# ---------------------------------------------------------------- tracking stages


@dataclasses.dataclass
class TrackResult:
    folder: str
    frame_names: list
    ann_frame_idx: object  # None when no frame worked
    annotated_frame: object = None
    video_segments: dict = None
    annotation_dir: str = None


def track_segment(folder, models, pen_json_path, annotation_dir, close_set_num=10, step=10,
                  gdino_thr=0.25, refine=True):
    """Start-frame search, tracking, refinement and annotation files of one frame folder."""
    names = frame_names_of(folder)
    masks, objects, idx, annotated = hm.initializer(
        folder, names, models.processor, models.grounding_model, models.device, models.image_predictor,
        start_index=0, step=step, gdino_thr=gdino_thr, close_set_num=close_set_num,
        custom_pen_json_path=pen_json_path)
    result = TrackResult(folder, names, idx, annotated)
    if idx is None:
        return result
    segments = models.video_tracker.track(names, masks, idx, list(range(1, len(masks) + 1)))
    if refine:
        hm.Mask_Refinement(custom_pen_json_path=pen_json_path).process_video_segments(segments, folder, names)
    result.video_segments = segments
    write_annotation_files(segments, names, annotation_dir)
    result.annotation_dir = annotation_dir
    return result


def mask_polygons(mask, label="pig"):
    """Outline polygon texts of a mask, coordinates as fractions of the image size.

    Coordinates name pixel centres ((x + 0.5) / width), so that scaling back by
    the image size and truncating lands on the same pixel.
    """
    import cv2

    m = np.asarray(mask)
    m = m.reshape(m.shape[-2:]) if m.ndim > 2 else m
    h, w = m.shape
    contours, _ = cv2.findContours((m > 0).astype(np.uint8), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    out = []
    for c in contours:
        pts = c.reshape(-1, 2)
        if len(pts) < 3:
            # a one- or two-pixel sliver still deserves a polygon: trace it as a thin triangle
            pts = np.vstack([pts, pts[-1:], pts[:1]])[:3]
        coords = " ".join(f"{(x + 0.5) / w:.8f} {(y + 0.5) / h:.8f}" for x, y in pts)
        out.append(f"{label} {coords}")
    return out


def write_annotation_files(video_segments, frame_names, annotation_dir, label="pig"):
    """One annotation file per tracked frame, as a tracking run leaves them."""
    os.makedirs(annotation_dir, exist_ok=True)
    for idx, objects in video_segments.items():
        detections = []
        for oid, mask in objects.items():
            m = np.asarray(mask)
            m = m.reshape(m.shape[-2:]) if m.ndim > 2 else m
            rows, cols = np.nonzero(m)
            if rows.size:
                xyxy = [[int(cols.min()), int(rows.min()), int(cols.max()) + 1, int(rows.max()) + 1]]
            else:
                xyxy = [[0, 0, 0, 0]]
            detections.append({"object_id": int(oid), "class_name": label, "xyxy": xyxy,
                               "formatted_polygon": mask_polygons(m, label)})
        data = {"image_path": os.path.abspath(frame_names[idx]), "frame_index": int(idx),
                "detections": detections}
        path = os.path.join(annotation_dir, ANNOTATION_PATTERN.format(idx))
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(data, f, indent=4)
        os.replace(tmp, path)


# ------------------------------------------------------------------ review stages


@dataclasses.dataclass
class ReviewResult:
    annotation_data: dict = None
    last_frame: dict = None
    overlap_rows: object = None
    zero_area_rows: list = None
    overlap_frames: list = None
    report_path: str = None
    overlap_review: tuple = None  # (test_frame, most_frequent_box, runs, worst_boxes)
    overlap_note: str = ""
    small_area_boxes: list = dataclasses.field(default_factory=list)

    def overlap_text(self):
        if self.overlap_review is None:
            return self.overlap_note
        test_frame, box, runs, worst = self.overlap_review
        pairs = ", ".join(f"{k} (frames {v[0][0]}-{v[0][-1]})" for k, v in runs.items())
        return (f"Long overlaps: {pairs}. The first begins at frame {test_frame}; the box whose track most "
                f"likely went wrong there is {box} (worst box per compared frame: {list(worst)}).")


def review_annotations(annotation_dir, out_dir, image_predictor=None, intersection_thrr=80,
                       n_consecutive=2, small_area=None):
    """Load a folder of annotation files, write the report, review long overlaps and tiny boxes.

    `small_area` holds the keyword arguments of the small-area search (the
    library's defaults suit ten-minute videos of 600 frames).
    """
    os.makedirs(out_dir, exist_ok=True)
    last, data = hm.get_gsam_annotation_data(annotation_dir, last_or_not=False, ixx=0,
                                             save_dir_base=str(annotation_dir))
    result = ReviewResult(annotation_data=data, last_frame=last)
    if data is None:
        return result
    overlap_rows, zero_rows, overlap_frames, _ = hm.generate_tracking_report(data, str(out_dir), intersection_thrr)
    result.overlap_rows, result.zero_area_rows, result.overlap_frames = overlap_rows, zero_rows, overlap_frames
    report = os.path.join(str(out_dir), "tracking_question_report.csv")
    result.report_path = report if os.path.exists(report) else None
    if len(overlap_rows) == 0:
        result.overlap_note = "No overlapping masks above the threshold: nothing to review."
    else:
        pairs = overlap_rows["Box Pair"].nunique()
        needed = n_consecutive + 2 if pairs > 1 else n_consecutive
        runs = hm.find_continuous_frames(overlap_rows, group_by="Box Pair", n_consecutive=needed)
        if not runs:
            result.overlap_note = f"No overlap lasts {needed} consecutive frames: nothing to review."
        elif image_predictor is None:
            result.overlap_note = "Long overlaps found, but no image encoder was given to compare them."
        else:
            try:
                result.overlap_review = hm.process_overlap_frames(overlap_rows, data, image_predictor,
                                                                  n_consecutive)
            except IndexError:
                # every compared frame lay outside the annotated frames
                result.overlap_note = "The overlap lies too close to the ends of the video to compare frames."
            except (AssertionError, RuntimeError) as exc:
                # image features are computed on the CUDA device; a CPU-only machine cannot
                if "CUDA" not in str(exc) and "cuda" not in str(exc):
                    raise
                result.overlap_note = f"Long overlaps found, but their image features need a CUDA device: {exc}"
    result.small_area_boxes = hm.find_boxes_with_small_area_from_last_video(data, **(small_area or {}))
    return result


def carry_identities(annotation_data, next_frame_names, image_predictor, remove_stack_box=None,
                     ann_frame_idx=0, display_func=None):
    """Matcher from a finished video's annotation data into the next video's frames."""
    return hm.matcher(annotation_data, next_frame_names, ann_frame_idx=ann_frame_idx,
                      image_predictor=image_predictor, remove_stack_box=remove_stack_box,
                      display_func=display_func)
