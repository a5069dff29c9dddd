"""What a camera's chain adds up to over days of recording: the figures the run's pages show.

A camera's link records are read once into columns (`ChainTable`), and every
count and timeline is taken from those: a week of a pen at 0.1-minute segments
is some 46,000 links.
"""

from __future__ import annotations

import collections
import dataclasses
from datetime import datetime

import numpy as np

from . import records

__all__ = ["CameraTally", "ChainTable", "DayTimeline", "STATUS_CODES", "STARTED_CODES", "day_timelines", "tally"]

# codes of the timeline's cells: how a tracked animal's link started, and what became of a link
STARTED_CODES = {records.STARTED_BY_SEARCH: 1, records.CARRIED: 2, records.RELINKED: 3, records.RESTARTED: 4}
STATUS_CODES = {records.DONE: 1, records.NO_START: 2, records.NO_FRAMES: 3, records.FAILED: 4}
_STATUS_OF_CODE = {code: status for status, code in STATUS_CODES.items()}


def _minutes(t):
    return t.hour * 60 + t.minute + t.second / 60 + t.microsecond / 6e7


class ChainTable:
    """A camera's links in columns, in chain order. `corrected` ({link key: track ids}, from
    identity.corrected_ids_by_link) puts the ids after the proofreader's corrections in place of
    the run's."""

    def __init__(self, chain, corrected=None):
        starts = [datetime.fromisoformat(r.start_time) for r in chain]
        ends = [datetime.fromisoformat(r.end_time) for r in chain]
        self.day = np.array([r.start_time[:10] for r in chain], dtype=object)
        self.hour = np.array([t.hour for t in starts], np.int16)
        self.start = np.array([_minutes(t) for t in starts])  # minutes after midnight
        # a link running past midnight ends, for its day, at midnight
        self.end = np.array([_minutes(e) if e.date() == s.date() else 24 * 60.0 for s, e in zip(starts, ends)])
        self.hours = np.array([max(0.0, (e - s).total_seconds() / 3600) for s, e in zip(starts, ends)])
        self.status = np.array([STATUS_CODES.get(r.status, STATUS_CODES[records.FAILED]) for r in chain], np.uint8)
        done = self.status == STATUS_CODES[records.DONE]
        self.started = np.array([STARTED_CODES.get(r.started, 1) for r in chain], np.uint8) * done
        self.questions = np.array([r.questions or 0 for r in chain], np.int64) * done
        self.animals = np.array([len(r.keys) for r in chain], np.int64) * done
        link, track = [], []  # one entry per animal tracked in a done link
        for k, r in enumerate(chain):
            if r.status == records.DONE and corrected is not None:
                link += [k] * len(corrected.get(r.key, ()))
                track += corrected.get(r.key, [])
            elif r.status == records.DONE:
                for i in r.identities:
                    if i.frames_tracked and i.box_key in r.track_ids:
                        link.append(k)
                        track.append(r.track_ids[i.box_key])
        self.id_link = np.array(link, np.int64)
        self.id_track = np.array(track, np.int64)
        # every id of a done link, tracked or not: the link's animals
        self.all_ids = [(corrected.get(r.key, []) if corrected is not None else sorted(r.track_ids.values()))
                        if r.status == records.DONE else [] for r in chain]
        self.ids_by_key = {r.key: ids for r, ids in zip(chain, self.all_ids)}

    def __len__(self):
        return self.status.size


@dataclasses.dataclass
class CameraTally:
    """A camera's links counted: over the whole chain, and per day (`days`, date -> CameraTally)."""

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

    @property
    def questions_per_hour(self):
        return self.questions / self.hours_tracked if self.hours_tracked else None


def tally_of(table, where):
    """The CameraTally of the links `where` (a boolean mask over the table) selects."""
    done = where & (table.status == STATUS_CODES[records.DONE])
    codes = collections.Counter(table.status[where].tolist())
    ids = set()
    for k in np.flatnonzero(done):
        ids.update(table.all_ids[k])
    return CameraTally(
        hours_recorded=float(table.hours[where].sum()), hours_tracked=float(table.hours[done].sum()),
        links=int(where.sum()), by_status=collections.Counter({_STATUS_OF_CODE[c]: n for c, n in codes.items()}),
        restarts=int((table.started[done] == STARTED_CODES[records.RESTARTED]).sum()),
        relinks=int((table.started[done] == STARTED_CODES[records.RELINKED]).sum()),
        questions=int(table.questions[where].sum()), animals_seen=int(table.animals[where].max(initial=0)),
        track_ids=ids)


def tally(table):
    """The CameraTally of a camera's ChainTable, with one per recording day."""
    whole = tally_of(table, np.ones(len(table), bool))
    whole.days = {day: tally_of(table, table.day == day) for day in sorted(set(table.day.tolist()))}
    return whole


@dataclasses.dataclass
class DayTimeline:
    """One day of a camera in clock time, in `status.size` bins of `bin_minutes` from `start`
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


def _covered(rows, first, last, shape):
    """Cells covered by the bin ranges [first, last) of the given rows."""
    change = np.zeros((shape[0], shape[1] + 1), np.int32)
    np.add.at(change, (rows, first), 1)
    np.add.at(change, (rows, last), -1)
    return np.cumsum(change, axis=1)[:, :-1] > 0


def day_timelines(table, bins=720):
    """{day: DayTimeline} of a camera's ChainTable: every day over one window of clock time (on whole
    hours, or for a recording shorter than two hours on a finer unit), cut into `bins` bins (a
    minute for a window of 12 hours)."""
    if not len(table):
        return {}
    first, last = table.start.min(), table.end.max()
    # whole hours for a day's recording; a short recording in whole minutes or ten seconds
    unit = next(u for u in (60, 10, 1, 1 / 6) if last - first >= 2 * u or u == 1 / 6)
    start = np.floor(first / unit) * unit
    end = max(np.ceil(last / unit) * unit, start + unit)
    width = (end - start) / bins
    first = np.clip(((table.start - start) / width).astype(np.int64), 0, bins - 1)
    last = np.clip(np.ceil((table.end - start) / width).astype(np.int64), first + 1, bins)
    found = {}
    for day in sorted(set(table.day.tolist())):
        links = np.flatnonzero(table.day == day)
        status = np.zeros(bins, np.uint8)
        for code in sorted(set(table.status[links].tolist())):
            chosen = links[table.status[links] == code]
            covered = _covered(np.zeros(chosen.size, np.int64), first[chosen], last[chosen], (1, bins))[0]
            status[covered] = np.maximum(status[covered], code)
        mine = np.isin(table.id_link, links)
        id_links, id_tracks = table.id_link[mine], table.id_track[mine]
        ids = sorted(set(id_tracks.tolist()))
        rows = np.searchsorted(np.array(ids, np.int64), id_tracks)
        cells = np.zeros((len(ids), bins), np.uint8)
        for code in sorted(set(table.started[id_links].tolist())):
            pick = table.started[id_links] == code
            covered = _covered(rows[pick], first[id_links[pick]], last[id_links[pick]], cells.shape)
            cells[covered] = np.maximum(cells[covered], code)
        restarted = links[table.started[links] == STARTED_CODES[records.RESTARTED]]
        found[day] = DayTimeline(day, float(start), float(width), ids, cells, status, table.start[restarted].tolist())
    return found
