"""The record of one link of a camera's chain: what became of it, how it started, the
animals' track ids, and what it was made with. Read and written only here.

A record is a JSON file (`RunFolder.record_path`), written whole and synced to
the disk when its link ends. Its `version` says which layout it has; records of
an earlier layout are read with what they hold and count as not done, so that
a rerun makes them again.
"""

from __future__ import annotations

import dataclasses
import json
from typing import Optional

from .files import write_text

__all__ = ["CARRIED", "DONE", "FAILED", "Identity", "LinkRecord", "LongOverlap", "NO_FRAMES", "NO_START", "RECORD_VERSION",
           "RELINKED", "RESTARTED", "STARTED_BY_SEARCH", "SUMMARY_COLUMNS", "read_json", "read_record",
           "summary_table", "write_json", "write_record", "write_table"]

RECORD_VERSION = 2
DONE, NO_FRAMES, NO_START, FAILED = "done", "no-frames", "no-start", "failed"
STARTED_BY_SEARCH, CARRIED, RELINKED, RESTARTED = "start-frame search", "carried", "re-linked", "restarted"
# the ways a link can start that keep the track ids of the link it came from
LINEAGE = (CARRIED, RELINKED)

SUMMARY_COLUMNS = ["camera", "video", "segment", "status", "reason", "started", "carried_from", "start_frame",
                   "frames", "animals", "questions", "long_overlap", "small_area_boxes", "seconds", "finished"]


@dataclasses.dataclass
class Identity:
    """One box key of a done link: the frames (annotation file frame indices) it was seen in."""

    box_key: str
    first_frame: Optional[int] = None
    last_frame: Optional[int] = None
    frames_tracked: int = 0
    mean_area: float = 0.0


@dataclasses.dataclass
class LongOverlap:
    """A run of consecutive frames in which two box keys' masks overlap, long enough for the review
    to look at (annotation file frame indices, inclusive)."""

    box_a: str
    box_b: str
    first_frame: int
    last_frame: int


@dataclasses.dataclass
class LinkRecord:
    camera: str
    video: str
    segment: str  # "" for a video that cannot be opened
    position: int  # place in the camera's chain when the record was made
    start_time: str  # ISO clock times of the segment
    end_time: str
    status: str = FAILED
    reason: str = ""
    started: str = ""  # STARTED_BY_SEARCH, CARRIED, RELINKED or RESTARTED
    carried_from: str = ""  # key of the link whose track ids it took
    source_token: str = ""  # the token that link had then: a link redone since makes this one stale
    restart_reason: str = ""
    start_frame: Optional[int] = None
    frames: int = 0  # annotation files (saved frames) of the link
    frame_step: int = 1  # every frame_step-th frame of the video was saved
    frames_dir: str = ""  # the frame folder, relative to the run folder
    positions: list = dataclasses.field(default_factory=list)  # video position of each saved frame index
    # How the saved frames were cut from the video, to read them again from it: the box of the
    # video's pixels (the whole frame without a crop), the height they were scaled to (None: not
    # scaled) and their width and height as saved. Empty in records made before they were kept.
    crop_box: list = dataclasses.field(default_factory=list)
    resize_height: Optional[int] = None
    frame_size: list = dataclasses.field(default_factory=list)
    keys: list = dataclasses.field(default_factory=list)
    track_ids: dict = dataclasses.field(default_factory=dict)  # box key -> track id: the one place ids live
    identities: list = dataclasses.field(default_factory=list)  # Identity per box key
    matched_from: Optional[int] = None  # the source's frame the matcher carried the animals from
    questions: Optional[int] = None
    long_overlap: str = ""  # the review's long overlaps in words, for the pages and run_summary.csv
    long_overlaps: list = dataclasses.field(default_factory=list)  # LongOverlap per pair and run
    overlap_went_wrong: str = ""  # the box key whose track most likely went wrong at the first ("": not compared)
    small_area_boxes: list = dataclasses.field(default_factory=list)
    small_area_text: str = ""
    note: str = ""
    redo_reason: str = ""  # why a link done before was made again
    figures: dict = dataclasses.field(default_factory=dict)  # caption -> path relative to the run folder
    report: Optional[str] = None  # the tracking question report, relative to the run folder
    worker: str = ""
    memory: Optional[int] = None  # bytes the worker held when it was last seen (a lost worker)
    token: str = ""  # made anew each time the link is made
    fingerprint: str = ""  # of the settings it was made with
    seconds: float = 0.0
    seconds_models: float = 0.0
    seconds_library: float = 0.0
    seconds_pages: float = 0.0
    finished: str = ""
    version: int = RECORD_VERSION

    @property
    def name(self):
        """The link's name in the folders of reports, records and logs."""
        return self.segment or "video"

    @property
    def key(self):
        return f"{self.video}/{self.name}"

    @property
    def done(self):
        return self.status == DONE and self.version == RECORD_VERSION

    @property
    def animals(self):
        return len(self.keys)

    def frame_scale(self):
        """(x, y): pixels of the saved frames per pixel of the video they were cut from; (1, 1)
        unless they were scaled (--resize)."""
        if self.resize_height is None:
            return 1.0, 1.0
        x1, y1, x2, y2 = self.crop_box
        return self.frame_size[0] / (x2 - x1), self.frame_size[1] / (y2 - y1)

    def how_started(self):
        """How a tracked link started, in words: "carried from <video>/<segment>", "restarted", ..."""
        return self.started + (f" from {self.carried_from}" if self.carried_from else "")

    def describe(self):
        return f"Camera {self.camera} {self.video} " + (self.segment or "(whole video)")

    def to_dict(self):
        return dataclasses.asdict(self)

    @classmethod
    def from_dict(cls, data):
        """A record from its JSON object; fields it lacks take their defaults, fields it has that a
        record no longer holds are left out. A record without a version is of the first layout."""
        names = {f.name for f in dataclasses.fields(cls)}
        fields = {k: v for k, v in data.items() if k in names}
        fields.setdefault("version", 1)
        fields["identities"] = [Identity(**{k: v for k, v in i.items() if k in Identity.__dataclass_fields__})
                                for i in fields.get("identities") or [] if isinstance(i, dict) and "box_key" in i]
        fields["long_overlaps"] = [LongOverlap(**{k: v for k, v in o.items() if k in LongOverlap.__dataclass_fields__})
                                   for o in fields.get("long_overlaps") or [] if isinstance(o, dict)]
        fields["track_ids"] = {str(k): int(v) for k, v in (fields.get("track_ids") or {}).items()}
        for name in ("figures",):
            fields[name] = fields.get(name) or {}
        for name in ("keys", "small_area_boxes", "positions", "crop_box", "frame_size"):
            fields[name] = list(fields.get(name) or [])
        return cls(**fields)


def read_json(path):
    """The JSON object in `path`, or None when there is none (missing or unreadable)."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError):
        return None
    return data if isinstance(data, dict) else None


def write_json(path, data, durable=True):
    return write_text(path, json.dumps(data, indent=2, sort_keys=True), durable=durable)


def read_record(path):
    """The record in `path`, or None when there is none or it is not a link record."""
    data = read_json(path)
    if data is None or not {"camera", "video", "segment"} <= set(data):
        return None
    try:
        return LinkRecord.from_dict(data)
    except (TypeError, ValueError):
        return None


def write_record(path, record):
    return write_json(path, record.to_dict())


def write_table(path, frame):
    return write_text(path, frame.to_csv(index=False), durable=True)


def summary_table(records):
    """run_summary.csv: one row per link."""
    import pandas as pd

    rows = []
    for r in records:
        row = {c: getattr(r, c, None) for c in SUMMARY_COLUMNS}
        row["animals"] = r.animals if r.status == DONE else 0
        row["small_area_boxes"] = " ".join(r.small_area_boxes)
        rows.append(row)
    # counts stay whole numbers in the CSV where some links have none (10, not 10.0)
    counts = {c: "Int64" for c in ("start_frame", "frames", "animals", "questions")}
    return pd.DataFrame(rows, columns=SUMMARY_COLUMNS).astype(counts)
