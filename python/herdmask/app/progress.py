"""What a run will cost before it starts, and how long it has left while it runs.

Before any work: the videos, the links to make and the frames to extract and to
track. While it runs: the seconds a tracked frame takes, measured over the links
that have ended (a link's whole time on its worker over the frames it had), and
from it the time left. Each camera's chain runs one link at a time, so the time
left is the longer of the longest chain still to go and all frames left shared
among the workers.
"""

from __future__ import annotations

import os

__all__ = ["Progress", "duration_text", "work_estimate"]


def duration_text(seconds):
    """A duration in words: "40 s", "12 min", "3 h 05 min"."""
    seconds = max(0, int(round(seconds)))
    if seconds < 90:
        return f"{seconds} s"
    minutes = int(round(seconds / 60))
    if minutes < 90:
        return f"{minutes} min"
    return f"{minutes // 60} h {minutes % 60:02d} min"


def _frames_there(frames_dir, run):
    return os.path.isdir(frames_dir) and not run.is_thinned(frames_dir)


def work_estimate(run, work, videos, frame_skip):
    """(line, frames to track): what the run will do, counted before it starts. `work` is
    {camera: [LinkWork]}, `videos` {name: VideoEntry} of the selection."""
    todo = [w.link for items in work.values() for w in items if w.keep is None]
    tracked = [lk for lk in todo if lk.segment]
    to_track = sum(len(lk.positions) for lk in tracked)
    to_extract = sum(len(lk.positions) for lk in tracked if not _frames_there(lk.frames_dir, run))
    recorded = sum(v.frame_count for v in videos.values())
    every = "every frame" if frame_skip == 1 else f"one frame in {frame_skip}"
    line = (f"To do: {len(todo)} link(s) of {len({lk.video for lk in todo})} video(s); {to_extract} frame(s) to "
            f"extract and {to_track} to track ({every} of the {recorded} the selected videos hold).")
    return line, to_track


class Progress:
    """Frames left to track per camera, and the pace measured on the links that have ended."""

    def __init__(self, work, workers=1):
        self.left = {camera: {w.link.key: len(w.link.positions) for w in items if w.keep is None and w.link.segment}
                     for camera, items in work.items()}
        self.workers = max(1, workers)
        self.frames = 0  # frames of the links that ended, which their time is measured over
        self.seconds = 0.0
        self.links = 0

    def settled(self, record):
        self.links += 1
        self.left.get(record.camera, {}).pop(record.key, None)
        if record.frames:
            self.frames += record.frames
            self.seconds += record.seconds

    def seconds_per_frame(self):
        return self.seconds / self.frames if self.frames else None

    def seconds_left(self):
        pace = self.seconds_per_frame()
        return None if pace is None else self.time_at(pace)

    def time_at(self, pace):
        """Seconds the frames left take at `pace` seconds a frame."""
        chains = [sum(keys.values()) for keys in self.left.values()]
        return max(max(chains, default=0), sum(chains) / self.workers) * pace

    def text(self):
        """"0.41 s a tracked frame, about 12 min left", or "" before any link has frames."""
        pace = self.seconds_per_frame()
        if pace is None:
            return ""
        return f"{pace:.2f} s a tracked frame, about {duration_text(self.seconds_left())} left"

    def figures(self):
        """What timing.json keeps of it."""
        pace = self.seconds_per_frame()
        return {"frames_tracked": self.frames,
                "seconds_per_tracked_frame": None if pace is None else round(pace, 4)}
