"""What a run will do: one chain of links per camera, in time order.

A link is one segment of one video (the frame folder frame extraction writes
for it). A camera's chain holds its videos in time order and each video's
segments in order; identities are carried from link to link along it. A video
that cannot be opened is one link of its own with no segment.
"""

from __future__ import annotations

import contextlib
import dataclasses
import io
import os
import re
from datetime import datetime, timedelta

import herdmask as hm

from . import layout, stages

__all__ = ["Link", "Video", "NAME_PATTERN_TEXT", "build_chains", "explain_empty_catalogue", "minute_text",
           "probe_video"]

NAME_PATTERN_TEXT = "Camera<N>_<n>_<YYYYMMDDhhmmss>.mp4"
_NAME_RE = re.compile(r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4")
_FPS_RE = re.compile(r"^Video FPS: (\S+)$", re.M)
WHOLE_VIDEO = ""  # the segment of a link that stands for a video with no segments


def minute_text(value):
    """A minute number as segment folder names write it: integers plain, reals as repr writes them."""
    return str(value) if isinstance(value, int) else repr(float(value))


@dataclasses.dataclass
class Video:
    camera: str
    name: str
    path: str
    date: str
    time: str
    minutes: float = 0.0  # 0 when the video cannot be opened
    fps: float = 0.0

    @property
    def start(self) -> datetime:
        return datetime.strptime(self.date + self.time, "%Y%m%d%H:%M:%S")


@dataclasses.dataclass
class Link:
    camera: str
    video: str
    segment: str  # "<start>min_to_<end>min", or WHOLE_VIDEO
    position: int  # place in the camera's chain, from 0
    start_min: float
    end_min: float
    start_time: str  # clock time of the segment's first and last moment, ISO text
    end_time: str
    frames_dir: str
    out: str

    @property
    def _name(self):
        """The link's name in the folders of reports, records and logs."""
        return self.segment or "video"

    @property
    def key(self):
        return f"{self.video}/{self._name}"

    @property
    def annotation_dir(self):
        return os.path.join(self.out, "annotations", self.video, self.segment)

    @property
    def report_dir(self):
        return os.path.join(self.out, "reports", self.video, self._name)

    @property
    def record_path(self):
        return os.path.join(self.out, "links", self.video, self._name + ".json")

    @property
    def log_path(self):
        return os.path.join(self.out, "logs", self.video, self._name + ".log")

    def describe(self):
        return f"Camera {self.camera} {self.video} " + (self.segment or "(whole video)")


def probe_video(path):
    """(minutes, frames per second) of a video; (0, 0.0) when it cannot be opened."""
    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        minutes = hm.VideoProcessor().get_video_duration(path)
    found = _FPS_RE.search(text.getvalue())
    return minutes, float(found.group(1)) if found else 0.0


def segments_of(minutes, time_step):
    """(start, end) minutes of each segment, exactly as frame extraction steps through them."""
    out = []
    start = 0
    while start < minutes:
        end = start + time_step
        if minutes < end:
            end = minutes
        out.append((start, end))
        start += time_step
    return out


def build_chains(table, out, time_step):
    """{camera: [Link, ...]} in chain order, and {video name: Video}, from a catalogue table."""
    videos = {}
    by_camera = {}
    for row in table.to_dict("records"):
        minutes, fps = probe_video(row["File Path"])
        v = Video(row["Camera Number"], row["Video Name"], row["File Path"], row["Date"], row["Time"],
                  minutes, fps)
        videos[v.name] = v
        by_camera.setdefault(v.camera, []).append(v)
    chains = {}
    for camera in sorted(by_camera, key=lambda c: (len(c), c)):
        links = []
        for v in sorted(by_camera[camera], key=lambda v: (v.date, v.time, v.name)):
            spans = segments_of(v.minutes, time_step) or [(0, 0)]
            for start, end in spans:
                segment = f"{minute_text(start)}min_to_{minute_text(end)}min" if v.minutes else WHOLE_VIDEO
                t0 = v.start + timedelta(minutes=start)
                t1 = v.start + timedelta(minutes=end)
                frames_dir = layout.frames_dir(out, v.date, v.name, segment) if segment else ""
                links.append(Link(camera, v.name, segment, len(links), start, end, t0.isoformat(),
                                  t1.isoformat(), frames_dir, out))
        chains[camera] = links
    return chains, videos


def _listing(base_dir):
    """Every file name directly in `base_dir` and in its sub-folders (one level), as relative paths."""
    found = []
    for entry in sorted(os.scandir(base_dir), key=lambda e: e.name):
        if entry.is_file():
            found.append(entry.name)
        elif entry.is_dir():
            found.extend(os.path.join(entry.name, n) for n in sorted(os.listdir(entry.path))
                         if os.path.isfile(os.path.join(entry.path, n)))
    return found


def explain_empty_catalogue(base_dir, start, end, camera):
    """Why the catalogue of `base_dir` holds no video: lines naming what each filter removed."""
    names = [n for n in _listing(base_dir) if not n.endswith((".json", ".csv"))]
    matching = [n for n in names if _NAME_RE.fullmatch(os.path.basename(n))]
    others = [n for n in names if n not in matching]
    lines = []
    if not names:
        return [f"{base_dir} and its sub-folders hold no files."]
    if others:
        shown = ", ".join(others[:5]) + (f" and {len(others) - 5} more" if len(others) > 5 else "")
        lines.append(f"{len(others)} file(s) do not match the name pattern {NAME_PATTERN_TEXT}: {shown}.")
    if not matching:
        return lines
    with contextlib.redirect_stdout(io.StringIO()):
        table = stages.catalogue(base_dir, None, "", "99:99:99", None, 0)
    in_window = table[(table["Time"] > start) & (table["Time"] < end)]
    outside = len(table) - len(in_window)
    if outside:
        times = sorted(table["Time"])
        lines.append(f"{outside} of {len(table)} matching video(s) lie outside the time window {start} to {end} "
                     f"(the recordings run from {times[0]} to {times[-1]}; --start and --end set the window).")
    if camera is not None:
        cams = sorted(set(in_window["Camera Number"]), key=lambda c: (len(c), c))
        other = int((in_window["Camera Number"] != camera).sum())
        if other:
            lines.append(f"{other} video(s) in the window are of other cameras than --camera {camera} "
                         f"(cameras there: {', '.join(cams)}).")
    return lines
