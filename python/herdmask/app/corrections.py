"""Corrections a person made to a run's track ids: what they are, how they are kept, how they apply.

A run folder's `corrections.jsonl` holds one JSON object a line, appended in the
order they were made and never edited (the annotation files are never edited
either). Three kinds change ids, each from a frame of a link in a camera's
chain, by the ids shown there (the run's ids after every earlier correction):

    swap        ids `track` and `other` trade places from the frame to the end of the chain
    new-id      id `track` becomes `other`, a number no animal of the camera had, from the frame on
    wrong-mask  the masks of id `track` from the frame to (end_link, end_frame) are wrong: no output
                has them

and an `undo` line takes back the correction it names. Each line says who made it
and when, and the link's `stamp` (when its results were made): a rerun that
redoes the link makes the correction no longer apply (`stale_corrections`).

Lines are appended under the run folder's lock and the file is replaced whole
(`files.write_text`), so a reader sees it before or after a correction, and two
writers at once each keep theirs.
"""

from __future__ import annotations

import contextlib
import dataclasses
import getpass
import json
import os
import time
import uuid
from datetime import datetime, timezone

import numpy as np

from .files import write_text
from .runfolder import RUN_LOCK

__all__ = ["CORRECTIONS", "KINDS", "Correction", "CorrectionError", "LockBusy", "append_correction",
           "apply_corrections", "effective_corrections", "read_entries", "run_lock", "stale_corrections"]

CORRECTIONS = "corrections.jsonl"
SWAP, NEW_ID, WRONG_MASK, UNDO = "swap", "new-id", "wrong-mask", "undo"
KINDS = (SWAP, NEW_ID, WRONG_MASK)


class CorrectionError(ValueError):
    """A correction that cannot be taken: the message says what is wrong with it."""


class LockBusy(RuntimeError):
    """The run folder's lock stayed taken (a run is writing into the folder)."""


@dataclasses.dataclass(frozen=True)
class Correction:
    id: str
    kind: str  # one of KINDS
    camera: str
    link: str  # "video/segment" of the first frame it changes
    frame: int  # that frame's index in its link
    track: int  # the id as shown there
    other: int | None = None  # swap: the other id; new-id: the id given
    end_link: str | None = None  # wrong-mask: the last frame marked, inclusive
    end_frame: int | None = None
    who: str = ""
    when: str = ""
    stamp: str = ""  # the link's results when it was made (its record's finish time)

    def describe(self):
        at = f"{self.link} frame {self.frame}"
        if self.kind == SWAP:
            return f"ids {self.track} and {self.other} swapped from {at}"
        if self.kind == NEW_ID:
            return f"id {self.track} became {self.other} from {at}"
        return f"masks of id {self.track} marked wrong from {at} to {self.end_link} frame {self.end_frame}"


def read_entries(out):
    """Every line of the folder's corrections file as a dict, in order ([] when there is none).

    A last line cut short (a writer stopped in the middle) is left out; any other line that
    is not a JSON object is an error naming it."""
    path = os.path.join(out, CORRECTIONS)
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
    except FileNotFoundError:
        return []
    entries = []
    for n, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        try:
            entry = json.loads(line)
        except ValueError:
            entry = None
        if not isinstance(entry, dict):
            if n == len(lines):  # no newline after it: an interrupted write
                continue
            raise CorrectionError(f"{path}, line {n}: not a correction (a JSON object)")
        entries.append(entry)
    return entries


def _whole(entry, name, optional=False):
    value = entry.get(name)
    if value is None and optional:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise CorrectionError(f"'{name}' must be a whole number, got {value!r}")
    return value


def _text(entry, name):
    value = entry.get(name)
    if not isinstance(value, str) or not value:
        raise CorrectionError(f"'{name}' must be a non-empty text, got {value!r}")
    return value


def _from_entry(entry):
    kind = entry.get("kind")
    if kind not in KINDS:
        raise CorrectionError(f"unknown kind of correction {kind!r}: one of {', '.join(KINDS)} (or undo)")
    c = Correction(id=_text(entry, "id"), kind=kind, camera=str(_text(entry, "camera")), link=_text(entry, "link"),
                   frame=_whole(entry, "frame"), track=_whole(entry, "track"),
                   other=_whole(entry, "other", optional=kind == WRONG_MASK),
                   end_link=entry.get("end_link") if kind == WRONG_MASK else None,
                   end_frame=_whole(entry, "end_frame", optional=kind != WRONG_MASK),
                   who=str(entry.get("who") or ""), when=str(entry.get("when") or ""),
                   stamp=str(entry.get("stamp") or ""))
    if c.frame < 0:
        raise CorrectionError(f"'frame' must be 0 or more, got {c.frame}")
    if kind == SWAP and c.other == c.track:
        raise CorrectionError(f"a swap needs two different ids, got {c.track} twice")
    if kind == WRONG_MASK:
        _text(entry, "end_link")
        if c.end_frame < 0:
            raise CorrectionError(f"'end_frame' must be 0 or more, got {c.end_frame}")
    return c


def effective_corrections(entries):
    """The corrections of `entries` that no undo took back, in the order they were made."""
    undone = {e.get("undoes") for e in entries if e.get("kind") == UNDO}
    return [_from_entry(e) for e in entries if e.get("kind") != UNDO and e.get("id") not in undone]


# ------------------------------------------------------------------ applying


def _at_or_after(position, frame, at):
    p, f = at
    return (position > p) | ((position == p) & (frame >= f))


def apply_corrections(track_ids, position, frame, corrections, positions):
    """The corrected ids of one camera's masks: (ids, wrong), two arrays as long as the inputs.

    `track_ids`, `position` and `frame` give each mask's id as the run made it, its link's
    place in the chain and its frame index in the link; `corrections` are the camera's, in
    the order they were made; `positions` maps a link key to its place in the chain (a
    correction whose link is not there changes nothing). `wrong` is true for the masks a
    correction marked wrong, which no output keeps. Each correction acts on the ids the
    ones before it left, as the person making it saw them.
    """
    ids = np.array(track_ids, dtype=np.int64, copy=True)
    position = np.asarray(position, dtype=np.int64)
    frame = np.asarray(frame, dtype=np.int64)
    wrong = np.zeros(len(ids), dtype=bool)
    for c in corrections:
        if c.link not in positions:
            continue
        on = _at_or_after(position, frame, (positions[c.link], c.frame)) & ~wrong
        if c.kind == SWAP:
            a, b = on & (ids == c.track), on & (ids == c.other)
            ids[a], ids[b] = c.other, c.track
        elif c.kind == NEW_ID:
            ids[on & (ids == c.track)] = c.other
        elif c.end_link in positions:
            end = positions[c.end_link], c.end_frame + 1
            wrong |= on & ~_at_or_after(position, frame, end) & (ids == c.track)
    return ids, wrong


# ------------------------------------------------------------------ a rerun


def stale_corrections(corrections, links):
    """The corrections that no longer apply, as (correction, why) pairs.

    `links` maps (camera, link key) to (frames, stamp) of each done link of the run as it
    is now. A correction no longer applies when a link it names is gone or not done, was
    made again since the correction (its stamp changed: the box keys may name other animals
    now), or has fewer frames than it names."""
    stale = []
    for c in corrections:
        ends = [(c.link, c.frame)] + ([(c.end_link, c.end_frame)] if c.kind == WRONG_MASK else [])
        for key, frame in ends:
            found = links.get((c.camera, key))
            if found is None:
                why = f"camera {c.camera} has no tracked link {key} now"
            elif key == c.link and found[1] != c.stamp:
                why = f"{key} was tracked again since"
            elif frame >= found[0]:
                why = f"{key} has {found[0]} frames now, none numbered {frame}"
            else:
                continue
            stale.append((c, why))
            break
    return stale


# ------------------------------------------------------------------ writing


@contextlib.contextmanager
def run_lock(out, wait=5.0):
    """Holds the run folder's lock, the one a run holds while it writes into the folder;
    LockBusy when it stays taken for `wait` seconds."""
    import fcntl

    fd = os.open(os.path.join(out, RUN_LOCK), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        deadline = time.monotonic() + wait
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    raise LockBusy(f"a herdmask run is writing into {out}; corrections wait until it ends") from None
                time.sleep(0.02)
        yield
    finally:
        os.close(fd)


def append_correction(out, request, check, who=None, written=None):
    """Validates a correction and appends it to the folder's corrections file; returns the stored entry.

    `request` is the correction as asked for (its kind and fields, or {"kind": "undo",
    "undoes": id}); `check(request, corrections)` validates it against the run (known ids,
    frames inside the chain) under the lock, raising CorrectionError, and returns the
    fields to store (with "stamp", and "other" for a new id). Nothing is written when a
    check fails. `written()`, when given, runs after the file is replaced, still under the
    lock: what is derived from the corrections is written in the order they were made.
    """
    if not isinstance(request, dict):
        raise CorrectionError("a correction is a JSON object")
    with run_lock(out):
        entries = read_entries(out)
        kind = request.get("kind")
        if kind == UNDO:
            target = request.get("undoes")
            live = {c.id for c in effective_corrections(entries)}
            if target not in live:
                raise CorrectionError(f"no correction {target!r} to undo" +
                                      (" (it was undone already)" if any(e.get("id") == target for e in entries)
                                       else ""))
            fields = {"kind": UNDO, "undoes": target}
        else:
            fields = check(request, effective_corrections(entries))
        entry = {"id": uuid.uuid4().hex[:12], **fields, "who": str(who or request.get("who") or _user())[:80],
                 "when": datetime.now(timezone.utc).isoformat(timespec="seconds")}
        if entry["kind"] != UNDO:
            _from_entry(entry)  # the stored line must read back as a correction
        text = "".join(json.dumps(e, sort_keys=True) + "\n" for e in entries + [entry])
        write_text(os.path.join(out, CORRECTIONS), text)
        if written is not None:
            written()
    return entry


def _user():
    try:
        return getpass.getuser()
    except (KeyError, OSError):
        return "unknown"
