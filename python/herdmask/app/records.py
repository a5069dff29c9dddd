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
import sys
from typing import Optional

from .files import write_text

__all__ = ["CARRIED", "DONE", "FAILED", "FIELD_ORDER", "Identity", "LinkRecord", "LongOverlap", "NO_FRAMES",
           "NO_START", "RECORD_VERSION", "RELINKED", "RESTARTED", "STARTED_BY_SEARCH", "SUMMARY_COLUMNS",
           "pack_positions", "read_json", "read_record", "record_of_row", "record_row", "summary_table",
           "unpack_positions", "write_json", "write_record", "write_table"]

RECORD_VERSION = 2
DONE, NO_FRAMES, NO_START, FAILED = "done", "no-frames", "no-start", "failed"
STARTED_BY_SEARCH, CARRIED, RELINKED, RESTARTED = "start-frame search", "carried", "re-linked", "restarted"
# the ways a link can start that keep the track ids of the link it came from
LINEAGE = (CARRIED, RELINKED)

SUMMARY_COLUMNS = ["camera", "video", "segment", "status", "reason", "started", "carried_from", "start_frame",
                   "frames", "animals", "questions", "long_overlap", "small_area_boxes", "seconds", "finished"]


@dataclasses.dataclass(slots=True)
class Identity:
    """One box key of a done link: the frames (annotation file frame indices) it was seen in."""

    box_key: str
    first_frame: Optional[int] = None
    last_frame: Optional[int] = None
    frames_tracked: int = 0
    mean_area: float = 0.0


@dataclasses.dataclass(slots=True)
class LongOverlap:
    """A run of consecutive frames in which two box keys' masks overlap, long enough for the review
    to look at (annotation file frame indices, inclusive)."""

    box_a: str
    box_b: str
    first_frame: int
    last_frame: int


@dataclasses.dataclass(slots=True)
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
    positions: list = dataclasses.field(default_factory=list)  # video positions of the saved frames, packed
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
        fields = {k: v for k, v in data.items() if k in _RECORD_FIELDS}
        fields.setdefault("version", 1)
        fields["identities"] = [_identity(i) for i in fields.get("identities") or [] if isinstance(i, dict)
                                and "box_key" in i]
        fields["long_overlaps"] = [LongOverlap(**{k: v for k, v in o.items() if k in LongOverlap.__dataclass_fields__})
                                   for o in fields.get("long_overlaps") or [] if isinstance(o, dict)]
        fields["track_ids"] = {str(k): int(v) for k, v in (fields.get("track_ids") or {}).items()}
        for name in ("figures",):
            fields[name] = fields.get(name) or {}
        for name in ("keys", "small_area_boxes", "crop_box", "frame_size"):
            fields[name] = list(fields.get(name) or [])
        fields["positions"] = _packed(fields.get("positions") or [])
        for name in ("camera", "status", "started", "fingerprint"):  # the same few texts in every record
            if isinstance(fields.get(name), str):
                fields[name] = sys.intern(fields[name])
        return cls(**fields)


_RECORD_FIELDS = frozenset(f.name for f in dataclasses.fields(LinkRecord))
_IDENTITY_FIELDS = [(f.name, f.default) for f in dataclasses.fields(Identity)]


FIELD_ORDER = [f.name for f in dataclasses.fields(LinkRecord)]
_IDENTITIES_AT, _OVERLAPS_AT, _KEYS_AT, _TRACK_IDS_AT = (FIELD_ORDER.index(n) for n in (
    "identities", "long_overlaps", "keys", "track_ids"))
_OVERLAP_FIELDS = [f.name for f in dataclasses.fields(LongOverlap)]
_SHARED_AT = [FIELD_ORDER.index(n) for n in ("camera", "status", "started", "fingerprint", "worker")]


def record_row(record):
    """The record as a row of its field values in FIELD_ORDER, each identity a row of its own: the
    compact form an index of many records keeps."""
    row = [getattr(record, name) for name in FIELD_ORDER]
    row[_IDENTITIES_AT] = [[getattr(i, k) for k, _ in _IDENTITY_FIELDS] for i in record.identities]
    row[_OVERLAPS_AT] = [[getattr(o, k) for k in _OVERLAP_FIELDS] for o in record.long_overlaps]
    return row


def record_of_row(row):
    """The record of a row made by record_row (with the same FIELD_ORDER)."""
    row = list(row)
    # the same few texts in every record, kept once: a week of a pen is 46,000 records
    intern = sys.intern
    row[_IDENTITIES_AT] = [Identity(intern(i[0]), *i[1:]) for i in row[_IDENTITIES_AT]]
    row[_OVERLAPS_AT] = [LongOverlap(*o) for o in row[_OVERLAPS_AT]]
    row[_KEYS_AT] = [intern(k) for k in row[_KEYS_AT]]
    row[_TRACK_IDS_AT] = {intern(k): v for k, v in row[_TRACK_IDS_AT].items()}
    for at in _SHARED_AT:
        if isinstance(row[at], str):
            row[at] = intern(row[at])
    return LinkRecord(*row)


def _identity(data):
    try:
        return Identity(**data)  # as written: the record's own fields
    except TypeError:
        return Identity(*(data.get(k, d) for k, d in _IDENTITY_FIELDS))


def pack_positions(positions):
    """Video positions as runs [first, count, step] of evenly spaced ones: the 150 positions of a
    0.1-minute segment at 25 frames per second are one run."""
    import numpy as np

    values = np.asarray(positions, dtype=np.int64).ravel()
    if values.size and (values.size < 3 or np.all(np.diff(values) == values[1] - values[0])) and \
            (values.size == 1 or values[1] > values[0]):
        step = int(values[1] - values[0]) if values.size > 1 else 1
        return [[int(values[0]), int(values.size), step]]
    runs = []
    for p in values.tolist():
        if runs:
            first, count, step = runs[-1]
            if count == 1 and p > first:
                runs[-1] = [first, 2, p - first]
                continue
            if p == first + count * step:
                runs[-1][1] += 1
                continue
        runs.append([p, 1, 1])
    return runs


def unpack_positions(runs):
    """The video positions of packed runs, as an int64 array."""
    import numpy as np

    if not runs:
        return np.zeros(0, np.int64)
    return np.concatenate([first + step * np.arange(count, dtype=np.int64) for first, count, step in runs])


def _packed(value):
    """Positions as stored: runs, or (records of an earlier layout) one number per frame."""
    if value and not isinstance(value[0], list):
        return pack_positions(value)
    return [list(run) for run in value]


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
