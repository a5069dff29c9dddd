"""The queue of doubtful moments: where in a run a person should look first, and why.

Two kinds of evidence give a moment its doubt, in points added up per frame:

- the run's own signals, known at once from its tables: a restart of the keys, a link
  re-linked by position, a carried link's first frame, the long overlaps the review
  found, the boxes that stayed small;
- the tracks themselves, read link by link in the background: a centroid jump far
  beyond the animal's usual step, a sudden change of area, a mask lost or appearing,
  a jump across a carried link's boundary, and the overlap runs of the question
  report. Two animals jumping in the same frame are the mark of an identity swap
  and weigh most.

`Queue.page` serves what is known so far, ranked, so that the first page of a run of
thousands of links comes at once while the track checks go on.
"""

from __future__ import annotations

import csv
import math
import threading

import numpy as np

__all__ = ["Doubt", "Queue", "run_signals", "track_signals"]

# points of each signal
RESTART, RELINKED, CARRIED, LONG_OVERLAP, SMALL_AREA = 6.0, 4.0, 1.0, 5.0, 2.0
LOST, APPEARED, SWAP_BONUS = 2.0, 1.5, 4.0
JUMP_FACTOR = 6.0  # a step this many times the animal's usual step is a jump
MAX_PER_TRACK = 4  # a track's strongest signals per link: a flickering mask must not flood the queue


class Doubt:
    """One doubtful moment: a frame of a link, its points and its reasons."""

    __slots__ = ("camera", "link", "position", "frame", "score", "reasons", "keys", "jumped")

    def __init__(self, camera, link, position, frame):
        self.camera, self.link, self.position, self.frame = camera, link, position, frame
        self.score, self.reasons, self.keys, self.jumped = 0.0, [], [], []

    def add(self, points, reason, keys=(), jumped=False):
        self.score += points
        self.reasons.append(reason)
        for k in keys:
            if k not in self.keys:
                self.keys.append(k)
        if jumped:
            self.jumped.extend(k for k in keys if k not in self.jumped)

    def merge(self, other):
        self.score += other.score
        self.reasons += other.reasons
        self.keys += [k for k in other.keys if k not in self.keys]
        self.jumped += [k for k in other.jumped if k not in self.jumped]

    def as_dict(self):
        return {"camera": self.camera, "link": self.link, "frame": self.frame, "score": round(self.score, 1),
                "reasons": self.reasons, "keys": self.keys,
                "swap": self.jumped[:2] if len(self.jumped) >= 2 else None}


class _Moments:
    def __init__(self):
        self.found = {}

    def at(self, link, frame):
        key = (link.camera, link.key, int(frame))
        if key not in self.found:
            self.found[key] = Doubt(link.camera, link.key, link.position, int(frame))
        return self.found[key]


def run_signals(view, moments=None):
    """The moments the run's own tables point at."""
    moments = moments or _Moments()
    for links in view.cameras.values():
        for link in links:
            if not link.done:
                continue
            start = link.start_frame or 0
            if link.started == "restarted":
                why = link.restart_reason or "the chain could not carry the animals"
                moments.at(link, start).add(RESTART, f"Keys restarted here ({why}): new ids from this frame.")
            elif link.started == "re-linked":
                moments.at(link, start).add(RELINKED, f"Ids re-linked by position from {link.carried_from}: check "
                                                      "that each animal kept its id.")
            elif link.started == "carried":
                moments.at(link, start).add(CARRIED, f"Ids carried from {link.carried_from} by the matcher.")
            runs, went_wrong = link.long_overlaps()
            for a, b, first, last in runs:
                blamed = f"; the track of {went_wrong} most likely went wrong" if went_wrong else ""
                moments.at(link, first).add(LONG_OVERLAP, f"{a} and {b} overlap for frames {first}-{last}{blamed}.",
                                            (a, b))
            for key in link.small_area_boxes:
                moments.at(link, max(0, link.frames * 2 // 3)).add(
                    SMALL_AREA, f"{key} stayed small late in the segment (not carried on).", (key,))
    return moments


def _label(link, key):
    track = link.track_ids.get(key)
    return f"{key} (id {track})" if track is not None else key


def track_signals(link, tracks, moments, entering=None):
    """Adds the moments a link's tracks show; returns each id's last centre in the link.

    `tracks` holds numpy columns frame, box_key, area, cx, cy (one row per annotation file and
    box key; a frame without a row, or with area 0, has lost the mask); `entering` maps an id
    to its last centre in the link before, when this link carried the ids on."""
    last_centres = {}
    keys = tracks["box_key"]
    for key in dict.fromkeys(keys.tolist()):
        rows = (keys == key) & (tracks["area"] > 0)
        order = np.argsort(tracks["frame"][rows], kind="stable")
        frame = tracks["frame"][rows][order]
        area = tracks["area"][rows][order]
        cx, cy = tracks["cx"][rows][order], tracks["cy"][rows][order]
        found = []
        label = _label(link, key)
        # lost and appearing masks: the frames the table has no mask of the key in
        events = [(APPEARED, frame[0], "appears")] if len(frame) and frame[0] > 0 else []
        for i in np.flatnonzero(np.diff(frame) > 1):
            events += [(LOST, frame[i] + 1, "is lost"), (APPEARED, frame[i + 1], "appears again")]
        if len(frame) and frame[-1] < link.frames - 1:
            events.append((LOST, frame[-1] + 1, "is lost"))
        for points, at, what in events[:MAX_PER_TRACK]:
            found.append((points, at, f"The mask of {label} {what}.", False))
        if len(frame) >= 2:
            body = math.sqrt(float(np.median(area)))
            step = np.hypot(np.diff(cx), np.diff(cy)) / np.diff(frame)
            usual = max(float(np.median(step)), 0.02 * body)
            threshold = max(JUMP_FACTOR * usual, 0.25 * body)
            for i in np.argsort(-step)[:MAX_PER_TRACK]:
                if step[i] <= threshold:
                    break
                points = min(10.0, 3.0 + 2.0 * math.log2(step[i] / threshold))
                found.append((points, frame[i + 1], f"{label} jumps {step[i]:.0f} px in a frame "
                              f"({step[i] / usual:.0f} times its usual step).", True))
            # sudden area changes between frames where the mask is seen
            ratio = area[1:] / area[:-1]
            ratio = np.maximum(ratio, 1 / ratio)
            for i in np.argsort(-ratio)[:MAX_PER_TRACK]:
                if ratio[i] < 2.0:
                    break
                grew = area[i + 1] > area[i]
                found.append((min(6.0, 2.0 + 2.0 * math.log2(ratio[i] / 2.0)), frame[i + 1],
                              f"The area of {label} {'grows' if grew else 'shrinks'} {ratio[i]:.1f} times in a "
                              "frame.", False))
            track = link.track_ids.get(key)
            if entering is not None and track in entering:
                x0, y0 = entering[track]
                jump = math.hypot(cx[0] - x0, cy[0] - y0)
                if jump > max(threshold * 2, 0.5 * body):
                    found.append((min(10.0, 3.0 + 2.0 * math.log2(jump / max(threshold * 2, 0.5 * body))),
                                  frame[0], f"{label} starts {jump:.0f} px from where id {track} ended in "
                                                  f"{link.carried_from}.", True))
            if track is not None:
                last_centres[track] = (float(cx[-1]), float(cy[-1]))
        for points, at, reason, jumped in found:
            moments.at(link, at).add(points, reason, (key,), jumped)
    return last_centres


def report_signals(link, report_path, moments):
    """The overlap runs of the link's question report, one moment per pair and run."""
    try:
        with open(report_path, newline="", encoding="utf-8") as f:
            rows = [r for r in csv.DictReader(f) if r.get("Box Pair")]
    except OSError:
        return
    by_pair = {}
    for r in rows:
        try:
            by_pair.setdefault(r["Box Pair"], []).append((int(float(r["Frame ID"])), float(r["Intersection Value"])))
        except (KeyError, ValueError):
            continue
    for pair, hits in by_pair.items():
        hits.sort()
        start = 0
        for i in range(1, len(hits) + 1):
            if i == len(hits) or hits[i][0] != hits[i - 1][0] + 1:
                run = hits[start:i]
                keys = tuple(pair.split("-"))
                most = max(v for _, v in run)
                moments.at(link, run[0][0]).add(
                    min(3.0, 1.0 + len(run) / 5), f"{pair.replace('-', ' and ')} overlap ({most:.0f} %) for "
                    f"frames {run[0][0]}-{run[-1][0]}, in the question report.", keys)
                start = i


def _swap_marks(moments):
    for doubt in moments.found.values():
        if len(doubt.jumped) >= 2:
            doubt.add(SWAP_BONUS, f"{doubt.jumped[0]} and {doubt.jumped[1]} jump in the same frame: an identity "
                                  "swap?")


class Queue:
    """The ranked moments of a run, filled in by a background scan of its links' tracks."""

    def __init__(self, view):
        self.view = view
        self.lock = threading.Lock()
        self.moments = run_signals(view)
        self.links = [lk for links in view.cameras.values() for lk in links if lk.done]
        self.scanned = 0
        self.failed = []
        self._ranked = None

    def scan(self):
        """Reads every done link's tracks and question report (call it on a thread of its own)."""
        for links in self.view.cameras.values():
            entering = None
            for link in links:
                if not link.done:
                    entering = None
                    continue
                found = _Moments()
                try:
                    carried = link.started in ("carried", "re-linked")
                    tracks = self.view.tracks(link)
                    entering = track_signals(link, tracks, found, entering if carried else None)
                    report_signals(link, self.view.report_path(link), found)
                except (OSError, ValueError, KeyError) as exc:
                    self.failed.append(f"{link.key}: {exc}")
                    entering = None
                _swap_marks(found)
                with self.lock:
                    for key, doubt in found.found.items():
                        mine = self.moments.found.get(key)
                        if mine is None:
                            self.moments.found[key] = doubt
                        else:
                            mine.merge(doubt)
                    self.scanned += 1
                    self._ranked = None

    def ranked(self):
        with self.lock:
            if self._ranked is None:
                self._ranked = sorted(self.moments.found.values(),
                                      key=lambda d: (-d.score, d.camera, d.position, d.frame))
            return self._ranked

    def page(self, number, size):
        ranked = self.ranked()
        first = number * size
        return {"items": [dict(d.as_dict(), rank=first + i + 1) for i, d in enumerate(ranked[first:first + size])],
                "total": len(ranked), "page": number, "size": size,
                "scanned": self.scanned, "links": len(self.links), "failed": self.failed[:5]}
