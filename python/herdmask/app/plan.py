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

from . import stages
from .runfolder import VideoEntry

__all__ = ["Link", "NAME_PATTERN_TEXT", "build_chains", "explain_empty_catalogue"]

NAME_PATTERN_TEXT = "Camera<N>_<n>_<YYYYMMDDhhmmss>.mp4"
_NAME_RE = re.compile(r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4")
WHOLE_VIDEO = ""  # the segment of a link that stands for a video with no segments


@dataclasses.dataclass
class Link:
    """One link to make: a segment of a video (or a whole video that cannot be opened)."""

    camera: str
    video: str
    segment: str  # "<start>min_to_<end>min", or WHOLE_VIDEO
    position: int  # place in the camera's chain, from 0
    start_time: str  # clock time of the segment's first and last moment, ISO text
    end_time: str
    frames_dir: str  # where extraction puts its frames ("" for a whole video)
    positions: tuple = ()  # the video position of each frame extraction saves

    @property
    def key(self):
        return f"{self.video}/{self.segment or 'video'}"

    def describe(self):
        return f"Camera {self.camera} {self.video} " + (self.segment or "(whole video)")


def _start_of(entry):
    return datetime.strptime(entry.date + entry.time, "%Y%m%d%H:%M:%S")


def build_chains(table, run, time_step, extraction, frame_skip=1):
    """{camera: [Link, ...]} in chain order and {video name: VideoEntry}, from a catalogue table;
    frames go under the run folder's frames of `extraction`, one in `frame_skip` of them."""
    videos = {}
    for row in table.to_dict("records"):
        try:
            info = hm.probe_video(row["File Path"])
        except hm.UnreadableVideoError:
            info = None
        videos[row["Video Name"]] = VideoEntry(row["Camera Number"], row["Video Name"], row["File Path"], row["Date"],
                                               row["Time"], info.fps if info else 0.0,
                                               info.frame_count if info else 0), info
    chains = {}
    for camera in sorted({v.camera for v, _ in videos.values()}, key=lambda c: (len(c), c)):
        links = []
        for v, info in sorted((x for x in videos.values() if x[0].camera == camera), key=lambda x: x[0].order):
            plans = hm.plan_segments(info, time_step, frame_skip) if info else []
            for p in plans:
                t0, t1 = (_start_of(v) + timedelta(minutes=m) for m in (p.start_min, p.end_min))
                links.append(Link(camera, v.name, p.folder, len(links), t0.isoformat(), t1.isoformat(),
                                  run.frames_dir(extraction, v.date, v.name, p.folder), tuple(p.positions.tolist())))
            if not plans:
                start = _start_of(v).isoformat()
                links.append(Link(camera, v.name, WHOLE_VIDEO, len(links), start, start, ""))
        chains[camera] = links
    return chains, {name: v for name, (v, _) in videos.items()}


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
