"""Video intake: the catalogue of camera videos, the camera crop box and frame extraction."""

import enum
import math
import numbers
import operator
import os
import re
import shutil
from dataclasses import dataclass, field
from typing import Optional

import numpy as np

from ._native import video as _core_video
from ._text import number_text

__all__ = ["VideoMetadata", "VideoProcessor", "list_all_files", "UnreadableVideoError", "VideoInfo",
           "probe_video", "SegmentPlan", "plan_segments", "CropFinding", "SegmentStatus",
           "SegmentOutcome", "read_frame", "read_frames", "jpeg_to_i420", "bgr_to_i420"]

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
        import pandas as pd

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


class UnreadableVideoError(OSError):
    """A video that cannot be opened or measured, or a frame of it that cannot be read."""


@dataclass(frozen=True)
class VideoInfo:
    """What a video's reader reports: the figures frame extraction cuts by."""

    path: str
    fps: float  # as the reader reports it (29.97 stays 29.97; extraction counts with 29)
    frame_count: int
    width: int
    height: int
    minutes: float  # frame_count / fps / 60, the length that extraction cuts into segments


def _video_info(path, probe):
    fps, frame_count, width, height, minutes = probe
    if not (math.isfinite(fps) and fps > 0):
        raise UnreadableVideoError(f"the frame rate of {path} reads {fps!r}: its length is unknown")
    if not (math.isfinite(frame_count) and frame_count >= 0):
        raise UnreadableVideoError(f"the frame count of {path} reads {frame_count!r}")
    return VideoInfo(path, fps, int(frame_count), int(width), int(height), minutes)


def probe_video(path):
    """The video's frame rate, frame count, size and length in minutes, without printing.

    Raises UnreadableVideoError (an OSError) when the video cannot be opened or its
    reader gives no positive frame rate.
    """
    path = os.fspath(path)
    probe = _core_video.probe_video(path)
    if probe is None:
        raise UnreadableVideoError(f"cannot open video {path}")
    return _video_info(path, probe)


@dataclass(frozen=True, eq=False)
class SegmentPlan:
    """One segment as frame extraction cuts it.

    The loop of the segment runs frame_idx from start_frame up to end_frame; the frame
    it reads at frame_idx is the video's frame at position frame_idx + 1 (the frame at
    start_frame itself only serves the crop box). `positions` holds the video position
    of every frame saved, in save order (0000.jpg first), as far as the reader's frame
    count reaches.
    """

    start_min: float  # the integer 0 for a video's first segment, as its folder name writes it
    end_min: float
    folder: str  # "0min_to_0.1min"
    start_frame: int
    end_frame: int
    positions: np.ndarray  # int64


def _segment_spans(total_minutes, time_step):
    """(start, end) minutes of each segment: starts accumulate from the integer 0."""
    start_min = 0
    while start_min < total_minutes:
        end_min = start_min + time_step
        if total_minutes < end_min:
            end_min = total_minutes
        yield start_min, end_min
        start_min += time_step


def _segment_plans(fps, frame_count, total_minutes, time_step, frame_skip):
    for start_min, end_min in _segment_spans(total_minutes, time_step):
        start_frame, end_frame, positions = _core_video.segment_frames(
            float(fps), float(frame_count), float(start_min), float(end_min), frame_skip)
        yield SegmentPlan(start_min, end_min,
                          f"{number_text(start_min)}min_to_{number_text(end_min)}min",
                          start_frame, end_frame, positions)


def plan_segments(info_or_path, time_step=0.1, frame_skip=1):
    """The segments process_videos_to_frames cuts a video into, as SegmentPlans, in order.

    `info_or_path` is a VideoInfo or a video path (probed, UnreadableVideoError when it
    cannot be). The same checks of `time_step` and `frame_skip` as extraction's apply
    (ValueError). Positions follow the reader's frame count: a video shorter than its
    header says saves fewer frames than planned.
    """
    info = info_or_path if isinstance(info_or_path, VideoInfo) else probe_video(info_or_path)
    time_step = _time_step(time_step)
    frame_skip = _frame_skip(frame_skip)
    _check_time_step_advances(time_step, info.minutes, info.path)
    return list(_segment_plans(info.fps, info.frame_count, info.minutes, time_step, frame_skip))


def read_frames(video_path, positions, crop_box=None, resize_height=None):
    """The decoded BGR frames (height x width x 3 uint8 arrays) at the given video positions.

    They are the frames extraction decodes at those positions, converted to BGR as
    OpenCV's reader converts them; extraction's JPEG files hold the same pictures
    within JPEG's rounding. Position 0 is the video's first frame, and a saved frame's position is in
    its SegmentPlan. With `crop_box` (x1, y1, x2, y2), each frame is cut to the box
    clamped to the frame, as extraction cuts it; with `resize_height` it is then scaled
    to that height as extraction with `resize_dim` (any, resize_height) scales it (the
    aspect ratio kept, the width rounded up, area interpolation). One reader serves all
    positions. Raises UnreadableVideoError when the video cannot be opened or a frame
    cannot be read, ValueError for a negative position, a box that leaves no pixels or
    a height that is not positive.
    """
    path = os.fspath(video_path)
    wanted = [operator.index(p) for p in positions]
    if any(p < 0 for p in wanted):
        raise ValueError(f"video positions count from 0, got {min(wanted)}")
    box = None if crop_box is None else _box(crop_box)
    height = None if resize_height is None else _resize_height((None, resize_height))
    status, frames, unreadable = _core_video.read_frames(path, wanted, box, height)
    if status == _CANNOT_OPEN:
        raise UnreadableVideoError(f"cannot open video {path}")
    if status == _UNREADABLE:
        raise UnreadableVideoError(f"frame {unreadable} of {path} cannot be read (the video is shorter, "
                                   "or damaged there)")
    return frames


def jpeg_to_i420(path, width, height):
    """The JPEG file as a width x height 4:2:0 picture (even sides; a uint8 array of
    height * 3 / 2 rows: the luma, then the two difference planes), studio-range
    BT.601 as video encoders take it. The file is decoded straight to its planes,
    scaled down by the decoder; FileNotFoundError, ValueError for a file that is not
    a whole JPEG image."""
    return _core_video.jpeg_to_i420(os.fspath(path), operator.index(width), operator.index(height))


def bgr_to_i420(frame, width, height):
    """The BGR frame (height x width x 3 uint8, as `read_frames` gives them) resized to
    width x height and converted to a 4:2:0 picture as `jpeg_to_i420` gives it."""
    return _core_video.bgr_to_i420(np.ascontiguousarray(frame, dtype=np.uint8), operator.index(width),
                                   operator.index(height))


def read_frame(video_path, position, crop_box=None, resize_height=None):
    """The decoded BGR frame at one video position; see read_frames."""
    return read_frames(video_path, [position], crop_box, resize_height)[0]


_CANNOT_OPEN, _UNREADABLE = 1, 2  # the core's frame-read statuses after "ok"


@dataclass(frozen=True)
class CropFinding:
    """The crop box found from a frame's orange marker."""

    box: tuple  # x1, y1, x2, y2 of the crop box
    orange: tuple  # x1, y1, x2, y2 of the orange region it was derived from
    frame_size: tuple  # width, height of the frame


class SegmentStatus(str, enum.Enum):
    """How one segment's extraction ended."""

    WRITTEN = "written"  # frames saved into the folder
    EXISTS = "already there"  # the folder existed, so it was left as it is
    CANNOT_OPEN = "cannot open"
    FIRST_FRAME_UNREADABLE = "first frame unreadable"  # the video ends before the segment
    NO_MARKER = "no marker"  # no orange region in the segment's first frame
    NO_FRAMES = "no frames"  # the first frame was read, no later one
    WRITE_FAILED = "write failed"  # an OSError, in `error`
    FAILED = "failed"  # a ValueError (crop box, frame size, settings), in `error`
    NOT_TRIED = "not tried"  # an earlier segment of the video failed


# The core's segment ends, in its order.
_SEGMENT_ENDS = (None, SegmentStatus.CANNOT_OPEN, SegmentStatus.FIRST_FRAME_UNREADABLE,
                 SegmentStatus.NO_MARKER)


@dataclass(eq=False)
class SegmentOutcome:
    """One segment's extraction: its plan, its frame folder and how it ended."""

    plan: SegmentPlan
    frames_dir: str
    status: SegmentStatus
    saved: int = 0  # frames written by this extraction
    frames: int = 0  # frame images in the folder afterwards
    error: Optional[Exception] = None

    @property
    def folder(self):
        return self.plan.folder

    @property
    def positions(self):
        """Video positions of the folder's frames, when it was cut with the plan's settings."""
        return self.plan.positions[:self.frames]


def _frame_images(folder):
    return sum(1 for name in os.listdir(folder) if name.endswith(".jpg"))


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
        described = _core_video.describe_video(os.fspath(video_path))
        return 0 if described is None else described[4]

    def find_orange_region(self, frame):
        """Box (x1, y1, x2, y2) of the rightmost of the two largest orange regions, or None."""
        box = _core_video.find_orange_region(_bgr_frame(frame, "find_orange_region"))
        return None if box is None else tuple(box)

    def find_crop_box(self, source, camera_number=None):
        """The crop box of a frame, or of a video's first frame, without printing.

        `source` is a video path or a BGR frame. Returns a CropFinding (the box, the
        orange region it comes from, the frame size), or None when the frame shows no
        orange. With `camera_number`, a camera without a box yet keeps this one in
        `camera_crop_coords`, so that extraction crops its frames with it. Raises
        UnreadableVideoError when the video's first frame cannot be read and
        ValueError when the box leaves no pixels of the frame.
        """
        if isinstance(source, (str, os.PathLike)):
            source = read_frame(source, 0)
        frame = _bgr_frame(source, "find_crop_box")
        found = _core_video.find_crop_box(frame)
        if found is None:
            return None
        orange, box = tuple(found[0]), tuple(found[1])
        if camera_number is not None:
            self.camera_crop_coords.setdefault(camera_number, box)
        return CropFinding(box, orange, (frame.shape[1], frame.shape[0]))

    def segment_dir(self, video_date, video_id, folder):
        """The frame folder of one segment (`folder` as in SegmentPlan.folder)."""
        return f"{self.output_dir_base}/{video_date}/{video_id}/{folder}/right_cropped_frames"

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
            for outcome in self.extract_video(video_path, video_id, video_date, camera_number):
                if outcome.error is not None:
                    raise outcome.error

    def extract_video(self, video_path, video_id, video_date, camera_number=None):
        """Cuts one video into its segment folders; one SegmentOutcome per planned segment.

        Prints what process_videos_to_frames prints for the video. A folder that exists
        is left alone (EXISTS). The first segment that fails with an OSError
        (WRITE_FAILED) or a ValueError (FAILED) holds the exception in `error`, and the
        video's later segments are NOT_TRIED. A video that cannot be opened has no
        segments (probe_video says why).
        """
        time_step = _time_step(self.time_step)
        frame_skip = _frame_skip(self.frame_skip)
        described = _core_video.describe_video(os.fspath(video_path))
        if described is None:
            return []
        fps, frame_count, _, _, total_minutes = described
        _check_time_step_advances(time_step, total_minutes, video_path)
        outcomes = []
        failed = False
        # Consecutive segments of the video carry on with one reader, closed after it.
        kept = _core_video.KeptReader()
        try:
            for plan in _segment_plans(fps, frame_count, total_minutes, time_step, frame_skip):
                output_dir = self.segment_dir(video_date, video_id, plan.folder)
                if failed:
                    outcomes.append(SegmentOutcome(plan, output_dir, SegmentStatus.NOT_TRIED))
                elif os.path.exists(output_dir):
                    print(f"Skipping {output_dir}, already exists.")
                    frames = _frame_images(output_dir) if os.path.isdir(output_dir) else 0
                    outcomes.append(SegmentOutcome(plan, output_dir, SegmentStatus.EXISTS, 0, frames))
                else:
                    outcomes.append(self._extract_segment(video_path, output_dir, plan, camera_number,
                                                          kept))
                    failed = outcomes[-1].error is not None
        finally:
            kept.close()
        return outcomes

    def _extract_segment(self, video_path, output_dir, plan, camera_number, kept):
        # Frames go to a sibling folder that takes the final name only once complete,
        # so an interrupted run never leaves a folder that a rerun would skip.
        partial = output_dir + ".partial"
        outcome = SegmentOutcome(plan, output_dir, SegmentStatus.FAILED)
        try:
            if os.path.isdir(partial) and not os.path.islink(partial):
                shutil.rmtree(partial)
            elif os.path.lexists(partial):
                os.remove(partial)
            os.makedirs(partial)
            end, saved = self._extract(video_path, partial, output_dir, plan.start_min, plan.end_min,
                                       camera_number, self.crop, kept=kept)
            outcome.status = _SEGMENT_ENDS[end] or (SegmentStatus.WRITTEN if saved > 0
                                                    else SegmentStatus.NO_FRAMES)
            if saved > 0:
                os.rename(partial, output_dir)
                outcome.saved = outcome.frames = saved
        except OSError as exc:
            outcome.status, outcome.error = SegmentStatus.WRITE_FAILED, exc
        except ValueError as exc:
            outcome.status, outcome.error = SegmentStatus.FAILED, exc
        finally:
            if outcome.saved == 0:
                shutil.rmtree(partial, ignore_errors=True)
        return outcome


def _bgr_frame(frame, what):
    arr = np.asarray(frame)
    if arr.dtype != np.uint8 or arr.ndim != 3 or arr.shape[2] != 3 or arr.size == 0:
        raise ValueError(f"{what}: frame must be a non-empty height x width x 3 "
                         f"uint8 BGR array, got {arr.dtype} array of shape {arr.shape}")
    return np.ascontiguousarray(arr)


def _check_time_step_advances(time_step, total_minutes, video_path):
    if total_minutes + time_step <= total_minutes:
        raise ValueError(f"time_step {time_step!r} is too small to advance through a video of "
                         f"{total_minutes!r} minutes ({video_path})")
