"""What a camera's chain adds up to over days of recording: the figures the run's pages show.

Everything here is counted from the link records of a camera's chain in
recording order, once per page; nothing is drawn or written. A week of a pen
at 0.1-minute segments is some 46,000 links: these are single passes over them.
"""

from __future__ import annotations

import collections
import dataclasses
from datetime import datetime

import numpy as np

from . import records

__all__ = ["CameraTally", "DayTimeline", "STATUS_CODES", "STARTED_CODES", "day_timelines", "tally"]

# codes of the timeline's cells: how a tracked animal's link started, and what became of a link
STARTED_CODES = {records.STARTED_BY_SEARCH: 1, records.CARRIED: 2, records.RELINKED: 3, records.RESTARTED: 4}
STATUS_CODES = {records.DONE: 1, records.NO_START: 2, records.NO_FRAMES: 3, records.FAILED: 4}


def _hours(record):
    start, end = datetime.fromisoformat(record.start_time), datetime.fromisoformat(record.end_time)
    return max(0.0, (end - start).total_seconds() / 3600)


@dataclasses.dataclass
class CameraTally:
    """One camera's links counted: over the whole chain, and per day (`days`, date -> CameraTally)."""

    hours_recorded: float = 0.0
    hours_tracked: float = 0.0
    links: int = 0
    by_status: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    restarts: int = 0
    relinks: int = 0
    questions: int = 0
    animals_seen: int = 0  # the most animals tracked at once, in one link
    track_ids: set = dataclasses.field(default_factory=set)
    days: dict = dataclasses.field(default_factory=dict)

    def add(self, record, hours):
        self.links += 1
        self.hours_recorded += hours
        self.by_status[record.status] += 1
        if record.status != records.DONE:
            return
        self.hours_tracked += hours
        self.restarts += record.started == records.RESTARTED
        self.relinks += record.started == records.RELINKED
        self.questions += record.questions or 0
        self.animals_seen = max(self.animals_seen, len(record.keys))
        self.track_ids.update(record.track_ids.values())

    @property
    def questions_per_hour(self):
        return self.questions / self.hours_tracked if self.hours_tracked else None


def tally(chain):
    """The CameraTally of a camera's chain, with one per recording day."""
    whole = CameraTally()
    for r in chain:
        hours = _hours(r)
        whole.add(r, hours)
        day = r.start_time[:10]
        if day not in whole.days:
            whole.days[day] = CameraTally()
        whole.days[day].add(r, hours)
    return whole


@dataclasses.dataclass
class DayTimeline:
    """One day of a camera in clock time, in `cells.shape[1]` bins of `bin_minutes` from `start`
    (minutes after midnight): per track id, how its link started in each bin (STARTED_CODES, 0
    absent), and per bin what became of the links there (STATUS_CODES, the worst; 0 nothing
    recorded)."""

    day: str
    start: float
    bin_minutes: float
    ids: list
    cells: np.ndarray  # uint8, len(ids) x bins
    status: np.ndarray  # uint8, bins
    restarts: list  # minutes after midnight where the keys restarted

    @property
    def hours(self):
        """(first, last) hour of the day's window, for an axis in clock time."""
        return self.start / 60, (self.start + self.status.size * self.bin_minutes) / 60


def _minutes(text):
    t = datetime.fromisoformat(text)
    return t.hour * 60 + t.minute + t.second / 60 + t.microsecond / 6e7


def _end_minutes(record, day):
    return _minutes(record.end_time) if record.end_time[:10] == day else 24 * 60


def _window(chain):
    """(first, last) minute after midnight that the chain's days span, on whole hours."""
    first = min(_minutes(r.start_time) for r in chain)
    last = max(_end_minutes(r, r.start_time[:10]) for r in chain)
    first = first // 60 * 60
    return first, max(-(-last // 60) * 60, first + 60)


def day_timelines(chain, bins=720):
    """{day: DayTimeline} of a camera's chain: every day over one window of clock time, cut into
    `bins` bins (a minute for a window of 12 hours, five seconds for one of an hour)."""
    if not chain:
        return {}
    start, end = _window(chain)
    width = (end - start) / bins
    by_day = collections.defaultdict(list)
    for r in chain:
        by_day[r.start_time[:10]].append(r)
    found = {}
    for day, links in sorted(by_day.items()):
        ids = sorted({i for r in links if r.status == records.DONE for i in r.track_ids.values()})
        row = {t: k for k, t in enumerate(ids)}
        cells = np.zeros((len(ids), bins), np.uint8)
        status = np.zeros(bins, np.uint8)
        restarts = []
        for r in links:
            a = min(int((_minutes(r.start_time) - start) / width), bins - 1)
            b = min(max(int(np.ceil((_end_minutes(r, day) - start) / width)), a + 1), bins)
            status[a:b] = np.maximum(status[a:b], STATUS_CODES.get(r.status, STATUS_CODES[records.FAILED]))
            if r.status != records.DONE:
                continue
            seen = [row[r.track_ids[i.box_key]] for i in r.identities
                    if i.frames_tracked and i.box_key in r.track_ids]
            if seen:
                cells[seen, a:b] = np.maximum(cells[seen, a:b], STARTED_CODES.get(r.started, 1))
            if r.started == records.RESTARTED:
                restarts.append(_minutes(r.start_time))
        found[day] = DayTimeline(day, start, width, ids, cells, status, restarts)
    return found
