"""Stretches of a camera's recording that were not tracked, with what would change that.

Consecutive links of a camera's chain that were not tracked for the same cause
form one stretch. Each cause comes with one action: the thing to change so
that a rerun ends otherwise. A rerun of the same command alone repeats the
outcome for every cause but a lost worker.
"""

from __future__ import annotations

import dataclasses
from datetime import datetime

__all__ = ["CAUSES", "Cause", "Stretch", "cause_of", "stretches"]


@dataclasses.dataclass(frozen=True)
class Cause:
    key: str
    title: str
    action: str


# (status, words the reason starts with or holds) -> cause; the first that fits is taken
CAUSES = [
    Cause("no-start", "no frame shows the expected animals apart in the pen",
          "check the camera's animals (--animals or the lab file), its pen polygon, or the detector's "
          "--box-threshold and --text-threshold; --step examines more frames"),
    Cause("unreadable", "the video cannot be opened",
          "replace the video (it is damaged, truncated or not a video), or move it out of the recordings"),
    Cause("truncated", "the video ends before the segment",
          "the video is shorter than its header says (truncated): copy it again from the recorder"),
    Cause("no-marker", "no orange marker",
          "give --crop-box X1,Y1,X2,Y2 or --no-crop, or set the camera's crop in the lab file"),
    Cause("worker-lost", "a worker died on the link",
          "give the workers more memory: fewer --workers, a shorter --time-step, or --offload-video-to-cpu"),
    Cause("extraction", "frame extraction failed",
          "read the extraction log of the video; free disk space or fix the folder's permissions if it says so"),
    Cause("error", "an error in the link",
          "read the traceback in the link's log"),
]
_BY_KEY = {c.key: c for c in CAUSES}
_RULES = [
    ("no-start", None, "no-start"),
    ("no-frames", "could not be opened", "unreadable"),
    ("no-frames", "ends before this segment", "truncated"),
    ("no-frames", "no frame of this segment could be read", "truncated"),
    ("no-frames", "orange marker", "no-marker"),
    ("no-frames", "crop box", "no-marker"),
    ("failed", "worker lost", "worker-lost"),
    (None, "frame extraction", "extraction"),
    (None, "not tried", "extraction"),
]


def cause_of(status, reason):
    """The Cause of a link that was not tracked."""
    reason = (reason or "").lower()
    for rule_status, words, key in _RULES:
        if (rule_status is None or rule_status == status) and (words is None or words in reason):
            return _BY_KEY[key]
    return _BY_KEY["error"]


@dataclasses.dataclass
class Stretch:
    camera: str
    cause: Cause
    start_time: str
    end_time: str
    links: int
    first: object  # the first record of the stretch (its log says the most)
    reason: str  # the first link's reason, as said
    hours: float = 0.0  # of recording its links span (a video that cannot be opened spans none)


def _hours(record):
    span = datetime.fromisoformat(record.end_time) - datetime.fromisoformat(record.start_time)
    return max(0.0, span.total_seconds() / 3600)


def stretches(chain):
    """The untracked stretches of a camera's chain (its records in recording order)."""
    found, current = [], None
    for r in chain:
        if r.status == "done":
            current = None
            continue
        cause = cause_of(r.status, r.reason)
        if current is None or current.cause is not cause:
            current = Stretch(r.camera, cause, r.start_time, r.end_time, 0, r, r.reason)
            found.append(current)
        current.end_time = max(current.end_time, r.end_time)
        current.links += 1
        current.hours += _hours(r)
    return found
