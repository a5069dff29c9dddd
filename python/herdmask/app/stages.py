"""The pipeline's stages, built only on herdmask's public functions.

Each function here is one stage as a lab runs it: catalogue and frame
extraction, the start-frame search and tracking of one frame folder,
refinement, the per-frame annotation files the tracking run leaves, the review
of those files, and carrying identities into the next video. The run's link
tasks chain them; `herdmask review` runs the review alone.
"""

from __future__ import annotations

import dataclasses
import glob
import json
import os

import numpy as np

import herdmask as hm

from .files import write_text

__all__ = [
    "IdentityTally",
    "ReviewResult",
    "Start",
    "carry_start",
    "catalogue",
    "extract_frames",
    "frame_names_of",
    "identity_rows",
    "last_annotation_frames",
    "mask_polygons",
    "review_annotations",
    "scaled_pen_file",
    "search_start",
    "start_planes",
    "segment_folders",
    "track",
    "track_refined",
    "write_annotation_file",
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
class Start:
    """Masks and box keys to start the tracker with, and on which frame."""

    masks: object  # K x H x W (or K x 1 x H x W) masks, in key order
    keys: list  # box keys, "Box<n>"; the tracker's object id is n + 1
    frame: int
    picture: object = None  # the masks drawn on the start frame (PIL image)
    matched_from: int = None  # with carried keys: the previous link's frame they came from


def _key_number(key):
    return int(str(key)[3:])


def search_start(folder, names, models, pen_json_path, close_set_num=10, step=10, gdino_thr=0.25):
    """The start-frame search on one frame folder: a Start with keys Box0, Box1, ..., or None."""
    masks, _, idx, annotated = hm.initializer(
        folder, names, models.processor, models.grounding_model, models.device, models.image_predictor,
        start_index=0, step=step, gdino_thr=gdino_thr, close_set_num=close_set_num,
        custom_pen_json_path=pen_json_path)
    if idx is None:
        return None
    return Start(masks, [f"Box{i}" for i in range(len(masks))], idx, annotated)


def last_annotation_frames(annotation_dir, count=10):
    """Frame records of the last `count` annotation files of a folder, keyed by their position
    among its files, without loading the masks of the others: all the matcher looks at."""
    total = len(glob.glob(os.path.join(glob.escape(str(annotation_dir)), "**", "*_[0-9]*.json"), recursive=True))
    if total <= count:
        return hm.get_gsam_annotation_data(annotation_dir, last_or_not=True, save_dir_base=str(annotation_dir))[1]
    data = {}
    for position in range(total - count, total):
        data.update(hm.get_gsam_annotation_data(annotation_dir, False, position, str(annotation_dir))[1])
    return data


def carry_start(previous_data, names, image_predictor, remove_stack_box=(), frames=(0,)):
    """Carries the previous link's animals into this link's frames with the matcher.

    `previous_data` is the previous link's annotation data (its records lose the
    removed boxes); `frames` are the frame indices to try, in order. Returns a
    Start whose keys are the previous link's keys of the carried masks, or None
    when no frame works.
    """
    if not previous_data:
        return None
    last_keys = list(previous_data[max(previous_data)]["masks_dict"])
    # a pen of fewer than ten animals needs the matcher told of the absent ones
    removal = hm.matcher_removal_list(last_keys, remove_stack_box)
    # It also walks back at most as many frames as the previous link holds.
    attempts = min(10, len(previous_data))
    for idx in frames:
        if idx >= len(names):
            break
        masks, _, _, best, failed = hm.matcher(
            previous_data, names, ann_frame_idx=idx, image_predictor=image_predictor,
            remove_stack_box=removal, max_attempts=attempts)
        if not failed:
            keys = list(best["masks_dict"])
            drawn = hm.img_bbx_drawing(_open_rgb(names[idx]), dict(zip(keys, _planes(masks))))
            return Start(masks, keys, idx, drawn, matched_from=int(best["frame_index"]))
    return None


def _open_rgb(path):
    from PIL import Image

    with Image.open(path) as im:
        return im.convert("RGB")


def _planes(masks):
    m = np.asarray(masks)
    return list(m.reshape((-1,) + m.shape[-2:]))


def start_planes(start):
    """The start masks as one 2-D plane per key, in key order."""
    return _planes(start.masks)


def track(start, folder, names, models, pen_json_path, refine=True):
    """Tracks the start masks over the whole folder (forward, and backward from a later start
    frame) with their keys' object ids, then refines the result; returns `video_segments`."""
    ids = [_key_number(k) + 1 for k in start.keys]
    segments = models.video_tracker.track(names, start.masks, start.frame, ids)
    if refine:
        hm.Mask_Refinement(custom_pen_json_path=pen_json_path).process_video_segments(segments, folder, names)
    return segments


def track_refined(start, folder, names, models, pen_json_path):
    """Tracks the start masks over the whole folder and refines each frame as the tracker hands it
    over; yields (frame index, {object id: mask}) in frame order, each frame once.

    The frames come out as `track` would leave them, but only the frames the tracker hands over
    ahead of their turn (the forward pass of a start after frame 0, until the backward pass has
    reached frame 0) are held, packed as runs of set pixels. The tracker is closed when this is.
    """
    ids = [_key_number(k) + 1 for k in start.keys]
    handed = models.video_tracker.track_frames(names, start.masks, start.frame, ids)
    try:
        yield from hm.Mask_Refinement(custom_pen_json_path=pen_json_path).stream(handed, folder, names)
    finally:
        handed.close()


class IdentityTally:
    """Per box key, the frames its mask was seen in and its areas there, counted frame by frame."""

    def __init__(self, keys):
        self.keys = list(keys)
        self.areas = {k: [] for k in self.keys}  # (frame index, area) of the frames with a mask

    def add(self, idx, objects):
        for key in self.keys:
            oid = _key_number(key) + 1
            if oid in objects:
                area = int(np.count_nonzero(objects[oid]))
                if area > 0:
                    self.areas[key].append((idx, area))

    def rows(self):
        """Per box key: first and last frame with a non-empty mask, frames tracked, mean area there."""
        rows = []
        for key in self.keys:
            seen = sorted(self.areas[key])
            rows.append({"box_key": key,
                         "first_frame": seen[0][0] if seen else None,
                         "last_frame": seen[-1][0] if seen else None,
                         "frames_tracked": len(seen),
                         "mean_area": round(float(np.mean([a for _, a in seen])), 1) if seen else 0.0})
        return rows


def identity_rows(video_segments, keys):
    """Per box key: first and last frame with a non-empty mask, frames tracked, mean area there."""
    tally = IdentityTally(keys)
    for idx, objects in video_segments.items():
        tally.add(idx, objects)
    return tally.rows()


def scaled_pen_file(pen_json_path, scale, dest):
    """Writes the pen polygon file with every point scaled by `scale` (x, y) to `dest`, for frames
    scaled from the crop its points are in; returns `dest`."""
    with open(pen_json_path, encoding="utf-8") as f:
        data = json.load(f)
    sx, sy = scale
    for shape in data.get("shapes") or []:
        shape["points"] = [[float(p[0]) * sx, float(p[1]) * sy] for p in shape.get("points") or []]
    return write_text(dest, json.dumps(data, indent=4))


def mask_polygons(mask, label="pig"):
    """Outline polygon texts of a mask, coordinates as fractions of the image size.

    Coordinates name pixel centres ((x + 0.5) / width), so that scaling back by
    the image size and truncating lands on the same pixel.
    """
    return hm.mask_outlines([mask], label)[0][1]


def write_annotation_file(idx, objects, frame_names, annotation_dir, label="pig"):
    """The annotation file of one tracked frame ({object id: mask}), into an existing folder."""
    detections = []
    for oid, ((x, y, w, h), polygons) in zip(objects, hm.mask_outlines(list(objects.values()), label)):
        detections.append({"object_id": int(oid), "class_name": label, "xyxy": [[x, y, x + w, y + h]],
                           "formatted_polygon": polygons})
    data = {"image_path": os.path.abspath(frame_names[idx]), "frame_index": int(idx), "detections": detections}
    write_text(os.path.join(annotation_dir, ANNOTATION_PATTERN.format(idx)), json.dumps(data, indent=4))


def write_annotation_files(video_segments, frame_names, annotation_dir, label="pig"):
    """One annotation file per tracked frame, as a tracking run leaves them."""
    os.makedirs(annotation_dir, exist_ok=True)
    for idx, objects in video_segments.items():
        write_annotation_file(idx, objects, frame_names, annotation_dir, label)


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
    long_runs: dict = dataclasses.field(default_factory=dict)  # box pair "BoxA-BoxB" -> [[frames of a run], ...]
    small_area_boxes: list = dataclasses.field(default_factory=list)

    def overlap_runs(self):
        """[(box a, box b, first frame, last frame)] of every long overlap run found, whether or not the
        review could compare the animals around it."""
        return [(*pair.split("-", 1), int(run[0]), int(run[-1])) for pair, runs in self.long_runs.items()
                for run in runs]

    def went_wrong(self):
        """The box whose track most likely went wrong at the first long overlap ("" when not compared)."""
        return str(self.overlap_review[1]) if self.overlap_review is not None else ""

    def overlap_text(self):
        if self.overlap_review is None:
            return self.overlap_note
        test_frame, box, runs, worst = self.overlap_review
        pairs = ", ".join(f"{k} (frames {v[0][0]}-{v[0][-1]})" for k, v in runs.items())
        return (f"Long overlaps: {pairs}. The first begins at frame {test_frame}; the box whose track most "
                f"likely went wrong there is {box} (worst box per compared frame: {', '.join(worst)}).")

    def small_area_text(self):
        if not self.small_area_boxes:
            return "No box stayed small late in the segment."
        return f"Boxes that stayed small late in the segment (not carried on): {', '.join(self.small_area_boxes)}."


def review_annotations(annotation_dir, out_dir, image_predictor=None, intersection_threshold=80,
                       n_consecutive=2, small_area=None, frames_again=None):
    """Load a folder of annotation files, write the report, review long overlaps and tiny boxes.

    `small_area` holds the keyword arguments of the small-area search (the
    library's defaults suit ten-minute videos of 600 frames). `frames_again`,
    given frame indices, makes their images anew ({frame index: image path}):
    it stands in for the frames a run deleted, which the overlap review and the
    figures look at.
    """
    os.makedirs(out_dir, exist_ok=True)
    last, data = hm.get_gsam_annotation_data(annotation_dir, last_or_not=False, ixx=0,
                                             save_dir_base=str(annotation_dir))
    result = ReviewResult(annotation_data=data, last_frame=last)
    if data is None:
        return result
    gone = [r for r in data.values() if not os.path.exists(r["image_path"])]
    if gone and frames_again is not None:
        made = frames_again([r["frame_index"] for r in gone])
        for r in gone:
            r["image_path"] = made[r["frame_index"]]
    overlap_rows, zero_rows, overlap_frames, _ = hm.generate_tracking_report(data, str(out_dir),
                                                                             intersection_threshold)
    result.overlap_rows, result.zero_area_rows, result.overlap_frames = overlap_rows, zero_rows, overlap_frames
    report = os.path.join(str(out_dir), "tracking_question_report.csv")
    result.report_path = report if os.path.exists(report) else None
    if len(overlap_rows) == 0:
        result.overlap_note = "No overlapping masks above the threshold: nothing to review."
    else:
        needed = hm.long_overlap_length(overlap_rows, n_consecutive)
        runs = result.long_runs = hm.long_overlap_runs(overlap_rows, n_consecutive)
        if not runs:
            result.overlap_note = f"No overlap lasts {needed} consecutive frames: nothing to review."
        elif image_predictor is None:
            result.overlap_note = "Long overlaps found, but no image encoder was given to compare them."
        else:
            try:
                result.overlap_review = hm.process_overlap_frames(overlap_rows, data, image_predictor,
                                                                  n_consecutive)
            except hm.NoComparableFrameError:
                result.overlap_note = ("A long overlap begins too close to the ends of the segment to compare "
                                       "the frames around it.")
    result.small_area_boxes = hm.find_boxes_with_small_area_from_last_video(data, **(small_area or {}))
    return result
