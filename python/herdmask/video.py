"""Video intake: the catalogue of camera videos, the camera crop box and frame extraction."""

import math
import numbers
import operator
import os
import re
import shutil
from dataclasses import dataclass, field
from typing import Optional

import numpy as np
import pandas as pd

from ._native import video as _core_video
from ._text import number_text

__all__ = ["VideoMetadata", "VideoProcessor", "list_all_files"]

_CATALOGUE_COLUMNS = ["Camera Number", "Date", "Time", "File Path", "Video Name"]


@dataclass
class VideoMetadata:
    """Where the camera videos are and which of them to catalogue."""

    base_dir: str
    sub_dirs: list
    filter_start: str = "06:00:00"
    filter_end: str = "17:00:00"
    sample_step: int = 3
    top_n: int = -1
    match_pattern: str = r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4"
    camera_number: Optional[str] = None

    def _catalogue(self):
        paths = []
        for sub_dir in self.sub_dirs:
            folder = os.path.join(self.base_dir, sub_dir)
            if not os.path.exists(folder):
                continue
            # Directory order on purpose: the sampling step below counts rows as listed.
            paths.extend(os.path.join(folder, name) for name in os.listdir(folder)
                         if name.endswith(".mp4"))
        rows = []
        for path in paths:
            base_name = os.path.basename(path)
            found = re.match(self.match_pattern, base_name)
            if not found:
                continue
            hhmmss = found.group(4)
            rows.append((found.group(1), found.group(3),
                         f"{hhmmss[:2]}:{hhmmss[2:4]}:{hhmmss[4:]}", path, base_name[:-4]))
        return pd.DataFrame(rows, columns=_CATALOGUE_COLUMNS, dtype=object)

    def get_filtered_video_dataframe(self):
        """Catalogue table of the matching videos, narrowed by time window, step, camera and count."""
        df = self._catalogue()
        df = df[(df["Time"] > self.filter_start) & (df["Time"] < self.filter_end)]
        if self.sample_step != 0:
            df = df.iloc[::self.sample_step]
        if self.camera_number is not None:
            df = df[df["Camera Number"] == self.camera_number]
        if self.top_n >= 1:
            df = df.head(self.top_n)
        print(list(df["File Path"]))
        return df


def list_all_files(directory, ext=None):
    """Every file under `directory`, depth first in sorted order, optionally only those ending in `ext`."""
    found = []
    for folder, sub_dirs, files in os.walk(directory):
        sub_dirs.sort()
        for name in sorted(files):
            if ext is None or name.endswith(ext):
                found.append(os.path.join(folder, name))
    return found


_INT64_LIMIT = 2**62


def _frame_skip(value):
    if not isinstance(value, bool):
        whole = isinstance(value, numbers.Integral) or (
            isinstance(value, numbers.Real) and math.isfinite(value) and float(value).is_integer())
        if whole and value > 0:
            # Frame numbers stay far below this, so the modulo test is unchanged.
            return min(int(value), _INT64_LIMIT)
    raise ValueError(f"frame_skip must be a positive whole number, got {value!r}")


def _time_step(value):
    if isinstance(value, numbers.Real) and not isinstance(value, bool) \
            and math.isfinite(value) and value > 0:
        return value
    raise ValueError(f"time_step must be a positive finite number of minutes, got {value!r}")


def _minutes(value, name):
    if isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isfinite(value):
        return float(value)
    raise ValueError(f"{name} must be a finite number of minutes, got {value!r}")


def _resize_height(resize_dim):
    if resize_dim is None:
        return None
    height = operator.index(resize_dim[1])
    if not 0 < height < 2**31:
        raise ValueError(f"resize_dim must give a positive target height, got {resize_dim!r}")
    return height


def _box(value):
    try:
        box = tuple(operator.index(v) for v in value)
    except TypeError:
        box = ()
    if len(box) != 4 or any(abs(v) > _INT64_LIMIT for v in box):
        raise ValueError(f"a crop box must be four whole numbers x1, y1, x2, y2, got {value!r}")
    return box


@dataclass
class VideoProcessor:
    """Frame extraction settings and the crop box of each camera seen so far."""

    resize_dim: Optional[tuple] = None
    frame_skip: int = 1
    time_step: float = 0.1
    output_dir_base: str = "D:\\ToBeLabeled_20pigs/"
    camera_crop_coords: dict = field(default_factory=dict)
    crop: bool = True

    def get_video_duration(self, video_path):
        """Length of the video in minutes, or 0 when it cannot be opened."""
        minutes = _core_video.video_duration(os.fspath(video_path))
        return 0 if minutes is None else minutes

    def find_orange_region(self, frame):
        """Box (x1, y1, x2, y2) of the rightmost of the two largest orange regions, or None."""
        arr = np.asarray(frame)
        if arr.dtype != np.uint8 or arr.ndim != 3 or arr.shape[2] != 3 or arr.size == 0:
            raise ValueError("find_orange_region: frame must be a non-empty height x width x 3 "
                             f"uint8 BGR array, got {arr.dtype} array of shape {arr.shape}")
        box = _core_video.find_orange_region(np.ascontiguousarray(arr))
        return None if box is None else tuple(box)

    def _extract(self, video_path, output_dir, reported_dir, start_min, end_min,
                 camera_number, crop, kept=None):
        frame_skip = _frame_skip(self.frame_skip)
        start = _minutes(start_min, "start_min")
        end = _minutes(end_min, "end_min")
        resize_height = _resize_height(self.resize_dim)
        cached = store = None
        if crop:
            coords = self.camera_crop_coords
            if camera_number in coords:
                cached = _box(coords[camera_number])
            else:
                def store(box):
                    coords[camera_number] = box
        return _core_video.crop_video_to_frames(
            os.fspath(video_path), output_dir, reported_dir, start, end,
            number_text(start_min), number_text(end_min), frame_skip, resize_height,
            bool(crop), str(camera_number), cached, store, kept=kept)

    def crop_video_to_frames(self, video_path, output_dir, start_min=10, end_min=12,
                             camera_number=None, crop=True):
        """Writes the segment's cropped frames into `output_dir` as 0000.jpg, 0001.jpg, ..."""
        output_dir = os.fspath(output_dir)
        self._extract(video_path, output_dir, output_dir, start_min, end_min, camera_number, crop)

    def process_videos_to_frames(self, df):
        """Cuts every video of a catalogue table into `time_step`-minute frame folders."""
        time_step = _time_step(self.time_step)
        _frame_skip(self.frame_skip)
        rows = list(zip(df["Video Name"], df["File Path"], df["Date"], df["Camera Number"]))
        # Settings that cannot get through some video are refused before any is cut.
        for _, video_path, _, _ in rows:
            minutes = _core_video.video_minutes(os.fspath(video_path))
            if minutes is not None:
                _check_time_step_advances(time_step, minutes, video_path)
        for video_id, video_path, video_date, camera_number in rows:
            total_minutes = self.get_video_duration(video_path)
            _check_time_step_advances(time_step, total_minutes, video_path)
            # Consecutive segments of the video carry on with one reader, closed after it.
            kept = _core_video.KeptReader()
            try:
                self._cut_segments(video_path, video_id, video_date, camera_number,
                                   total_minutes, time_step, kept)
            finally:
                kept.close()

    def _cut_segments(self, video_path, video_id, video_date, camera_number, total_minutes,
                      time_step, kept):
        start_min = 0
        while start_min < total_minutes:
            end_min = start_min + time_step
            if total_minutes < end_min:
                end_min = total_minutes
            output_dir = (f"{self.output_dir_base}/{video_date}/{video_id}/"
                          f"{number_text(start_min)}min_to_{number_text(end_min)}min"
                          "/right_cropped_frames")
            if os.path.exists(output_dir):
                print(f"Skipping {output_dir}, already exists.")
            else:
                self._extract_segment(video_path, output_dir, start_min, end_min,
                                      camera_number, kept)
            start_min += time_step

    def _extract_segment(self, video_path, output_dir, start_min, end_min, camera_number, kept):
        # Frames go to a sibling folder that takes the final name only once complete,
        # so an interrupted run never leaves a folder that a rerun would skip.
        partial = output_dir + ".partial"
        if os.path.isdir(partial) and not os.path.islink(partial):
            shutil.rmtree(partial)
        elif os.path.lexists(partial):
            os.remove(partial)
        os.makedirs(partial)
        saved = 0
        try:
            saved = self._extract(video_path, partial, output_dir, start_min, end_min,
                                  camera_number, self.crop, kept=kept)
        finally:
            if saved > 0:
                os.rename(partial, output_dir)
            else:
                shutil.rmtree(partial, ignore_errors=True)


def _check_time_step_advances(time_step, total_minutes, video_path):
    if total_minutes + time_step <= total_minutes:
        raise ValueError(f"time_step {time_step!r} is too small to advance through a video of "
                         f"{total_minutes!r} minutes ({video_path})")
