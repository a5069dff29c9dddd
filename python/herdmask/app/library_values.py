"""What the command needs to know from the library, each behind one small function.

The library's steps print their findings as lines (a video's frame rate, the
crop box found, how a segment's extraction ended) and hold rules of their own
(how a video is cut into segments, which frames the start-frame search
examines, how long an overlap must last to be reviewed, how the matcher is
told about absent animals). The command asks here, and nowhere else, so that
each answer has one place to come from.
"""

from __future__ import annotations

import contextlib
import dataclasses
import io
import re

import numpy as np

import herdmask as hm

__all__ = ["CropFinding", "SegmentPlan", "VideoInfo", "crop_box_finding", "examined_frames", "extraction_outcomes",
           "long_overlap_run", "plan_segments", "probe_video", "relink_by_position", "removal_padding"]

_FPS_RE = re.compile(r"^Video FPS: (\S+)$", re.M)
_FRAMES_RE = re.compile(r"^Total frames: (\S+)$", re.M)
_CROP_LINE = re.compile(r"^cv2 crop region for Camera \S+: x1=(-?\d+), y1=(-?\d+), x2=(-?\d+), y2=(-?\d+)$", re.M)
_SEGMENT_END = re.compile(r"^(Skipping .*, already exists\.|Cropped frames from .* saved to .*\.|"
                          r"Error: Could not open video\.|Error: Could not read the first frame\.|"
                          r"No orange region detected\. Exiting\.)$", re.M)
NO_FRAMES_WHY = {
    "Error: Could not open video.": "the video could not be opened",
    "Error: Could not read the first frame.": "the video ends before this segment (truncated, or shorter than "
                                              "its header says)",
    "No orange region detected. Exiting.": "no orange marker in the segment's first frame",
}


@dataclasses.dataclass(frozen=True)
class VideoInfo:
    fps: float
    frame_count: int
    minutes: float


def probe_video(path):
    """A video's frame rate, frame count and length; None when it cannot be opened."""
    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        minutes = hm.VideoProcessor().get_video_duration(path)
    fps, frames = _FPS_RE.search(text.getvalue()), _FRAMES_RE.search(text.getvalue())
    if not minutes or fps is None or frames is None:
        return None
    return VideoInfo(float(fps.group(1)), int(float(frames.group(1))), float(minutes))


def _minute_text(value):
    return str(value) if isinstance(value, int) else repr(float(value))


@dataclasses.dataclass(frozen=True)
class SegmentPlan:
    start_min: float
    end_min: float
    folder: str  # "0min_to_0.1min"
    positions: tuple  # the video position of each frame extraction saves, in order


def plan_segments(info, time_step, frame_skip=1):
    """The segments frame extraction cuts a video into, as it cuts them: minutes accumulated
    by repeated addition, frame numbers rounded to whole frames at the whole frame rate, the
    last segment running on to the video's last frame; a frame read at position p + 1 for
    the loop's frame number p, the segment's own first read serving only the crop."""
    plans = []
    rate = int(info.fps)
    start = 0
    while start < info.minutes:
        end = start + time_step
        if info.minutes < end:
            end = info.minutes
        first, last = round(rate * 60 * start), round(rate * 60 * end)
        if info.fps > 0 and info.frame_count >= 1 and end >= info.frame_count / info.fps / 60:
            last = max(last, info.frame_count - 1)
        numbers = [i for i in range(first, last) if i % frame_skip == 0 or i == last - 1]
        positions = tuple(i + 1 for i in numbers if i + 1 < info.frame_count)
        plans.append(SegmentPlan(start, end, f"{_minute_text(start)}min_to_{_minute_text(end)}min", positions))
        start += time_step
    return plans


@dataclasses.dataclass(frozen=True)
class CropFinding:
    box: tuple  # the crop box in use
    orange: tuple  # the orange region it came from


def crop_box_finding(path, fps, folder, camera):
    """The crop box the orange marker in the video's first frame gives, or None; writes that
    frame (cropped) into `folder`."""
    vp = hm.VideoProcessor()
    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        vp.crop_video_to_frames(path, folder, 0, 1 / (60 * fps), camera, True)
    found = _CROP_LINE.search(text.getvalue())
    if camera not in vp.camera_crop_coords or not found:
        return None
    return CropFinding(tuple(int(v) for v in vp.camera_crop_coords[camera]), tuple(int(v) for v in found.groups()))


def extraction_outcomes(printed, folders):
    """Why each segment of a video saved no frame, from what extraction printed: {folder: reason or None}
    in the order of `folders` (None where the reason cannot be told)."""
    ends = _SEGMENT_END.findall(printed)
    if len(ends) != len(folders):
        return {f: None for f in folders}
    return {f: NO_FRAMES_WHY.get(end) for f, end in zip(folders, ends)}


def examined_frames(frame_count, step):
    """The frames the start-frame search examines, in order."""
    return list(range(0, frame_count, step))


def long_overlap_run(n_consecutive, pairs):
    """Consecutive frames an overlap must last to be reviewed, with `pairs` box pairs overlapping."""
    return n_consecutive + 2 if pairs > 1 else n_consecutive


def removal_padding(keys_in_last_frame, pen_capacity=10):
    """Keys that match no box, added to the matcher's removal list so that a pen of fewer
    animals than it expects is not refused."""
    return [f"absent-{i}" for i in range(max(0, pen_capacity - keys_in_last_frame))]


def relink_by_position(previous, new, cost_threshold, margin):
    """One-to-one assignment of the new start masks to the previous link's last-frame masks.

    `previous` is {box key: mask} of the previous link's last frame, `new` the
    new start masks in key order. The cost of a pair is 1 - mask IoU plus the
    centroid distance as a share of the frame's diagonal. Returns {index in
    `new`: previous box key} when every new mask has a partner under
    `cost_threshold` whose cost is lower by at least `margin` than that of any
    other previous mask for it (and of any other new mask for that partner);
    None when some pair is ambiguous or the counts differ.
    """
    from scipy.optimize import linear_sum_assignment

    keys = list(previous)
    old = [np.asarray(previous[k]).reshape(np.shape(previous[k])[-2:]) for k in keys]
    fresh = [np.asarray(m).reshape(np.shape(m)[-2:]) for m in new]
    if not keys or len(keys) != len(fresh):
        return None
    iou = np.asarray(hm.cal_masks_iou_scores(fresh, old), dtype=float)
    height, width = old[0].shape
    centres_new, centres_old = _centroids(fresh), _centroids(old)
    distance = np.linalg.norm(centres_new[:, None] - centres_old[None], axis=2) / np.hypot(height, width)
    cost = np.nan_to_num(1 - iou, nan=1.0) + np.nan_to_num(distance, nan=1.0)
    rows, cols = linear_sum_assignment(cost)
    for r, c in zip(rows, cols):
        others = np.concatenate([np.delete(cost[r], c), np.delete(cost[:, c], r)])
        if cost[r, c] > cost_threshold or (others.size and others.min() - cost[r, c] < margin):
            return None
    return {int(r): keys[c] for r, c in zip(rows, cols)}


def _centroids(masks):
    out = np.full((len(masks), 2), np.nan)
    for i, m in enumerate(masks):
        ys, xs = np.nonzero(m)
        if xs.size:
            out[i] = xs.mean(), ys.mean()
    return out
