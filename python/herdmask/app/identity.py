"""Track ids: which animal a box key of a link is, along its camera's chain, after the
corrections a person made.

Ids follow lineage, not adjacency. A link that carried (or re-linked) the
animals of an earlier link takes that link's ids for them; a link started
afresh (the start-frame search, or keys restarted) numbers its animals anew,
above every id its camera's chain has used, from 1 per camera. The ids are
stored in each link's record when it is made and read from there by
everything else through a `TrackMap`: identities.csv, export, evaluate, the pages,
proofreading, the overlay videos and behaviour.

A person's corrections (`corrections`: swap two ids from a frame on, a new id from
a frame on, a mask wrong over a range of frames) change the ids from a frame of a
link on without touching the records; `track_map` applies the ones in force (those
whose links were not made again since they were made). identities.csv keeps the
ids as the run made them; identities_corrected.csv holds the ids after the
corrections, as runs of frames per link and box key.

How to read ids:

    ids = track_map(run, camera)                    # a TrackMap: the camera's ids, corrections applied
    ids.track_id(record, "Box3", 12)                # one mask: an int, or None where marked wrong
    ids.ids_at(record, box_keys, frame_indices)     # many masks: (ids int64, wrong bool), NumPy arrays
    ids.link_ids(record)                            # (box key, frame index) -> id | None over a link
    corrected_track_table(run)                      # per link and box key, the runs of one corrected id
    track_maps(run)                                 # {camera: TrackMap}, the corrections read once

Frame indices are a link's annotation file indices (0 to record.frames - 1);
`RunFolder.sequence_frames` and `video_positions` turn them into frame numbers
along the recording and positions in the video.

A done link whose source (the link it took its ids from) was made again since
is stale: its ids may no longer name the animals they named, so a rerun makes
it again, and the pages say why meanwhile.
"""

from __future__ import annotations

import numpy as np

from . import corrections as corr
from . import records
from .runfolder import IDENTITIES_CORRECTED

__all__ = ["CORRECTED_COLUMNS", "IDENTITY_COLUMNS", "TrackMap", "carried_ids", "correction_notes",
           "corrected_ids_by_link", "corrected_track_table", "corrections_in_force", "fresh_ids", "highest_id",
           "redo_reason", "stale_reason", "track_map", "track_maps", "track_table", "write_corrected_table"]

IDENTITY_COLUMNS = ["camera", "video", "segment", "box_key", "track_id", "started", "carried_from",
                    "first_frame", "last_frame", "frames_tracked", "mean_area"]
CORRECTED_COLUMNS = ["camera", "video", "segment", "box_key", "run_track_id", "first_frame", "last_frame",
                     "track_id", "wrong"]


def carried_ids(source, keys, key_map=None):
    """{key: id} for `keys` taken from `source`'s animals: key k is the animal `source` knew as
    key_map[k] (as k itself without a map)."""
    key_map = key_map or {}
    missing = [k for k in keys if key_map.get(k, k) not in source.track_ids]
    if missing:
        raise KeyError(f"{source.key} has no track id for {', '.join(key_map.get(k, k) for k in missing)}")
    return {k: source.track_ids[key_map.get(k, k)] for k in keys}


def fresh_ids(keys, highest):
    """{key: id} numbering `keys` on from `highest`, the highest id the chain has used."""
    return {k: highest + i + 1 for i, k in enumerate(keys)}


def highest_id(chain):
    return max((i for r in chain for i in r.track_ids.values()), default=0)


def redo_reason(record, by_key, fingerprint):
    """Why a done link is not current ("" when it is): made by an earlier herdmask, with other
    settings than `fingerprint`, or stale."""
    if record.version != records.RECORD_VERSION:
        return "made by an earlier version of herdmask"
    if record.fingerprint != fingerprint:
        return "made with other settings"
    return stale_reason(record, by_key)


def stale_reason(record, by_key):
    """Why a done link must be made again though its own settings hold ("" when it need not):
    the link it took its ids from was made again since. `by_key` holds the chain's records."""
    if record.started not in records.LINEAGE or not record.carried_from:
        return ""
    source = by_key.get(record.carried_from)
    if source is None:
        return f"{record.carried_from}, which it took its identities from, is no longer recorded"
    if source.token != record.source_token or not source.done:
        return f"{record.carried_from}, which it took its identities from, was made again since"
    return ""


class TrackMap:
    """The track ids of one camera's links, with the corrections in force applied.

    Every reader of track ids asks here. `ids_at` answers for many masks at once (a link's
    tracks table, a frame's masks, every frame of an animal); `track_id` for one. A mask a
    correction marked wrong has no id: no output keeps it. `run_ids` gives the ids as the
    run made them, before any correction.
    """

    def __init__(self, chain, corrections=()):
        self.chain = list(chain)
        self.positions = {r.key: n for n, r in enumerate(self.chain)}  # link key -> place in the chain
        self.corrections = list(corrections)  # the camera's, in force, in the order made
        # a correction changes ids from its link on: the links before the first one need none applied
        self._first = min((self.positions[c.link] for c in self.corrections if c.link in self.positions),
                          default=None)

    def position(self, record):
        """The link's place in the camera's chain, from 0."""
        try:
            return self.positions[record.key]
        except KeyError:
            raise KeyError(f"{record.key} is not a link of camera {record.camera}'s chain") from None

    def run_ids(self, record):
        """{box key: track id} of a done link as the run made them (no correction applied)."""
        return dict(record.track_ids)

    def ids_at(self, record, box_keys, frame_indices):
        """(ids, wrong): each box key's track id at each frame index of the link (int64), and
        whether a correction marked that mask wrong (bool; its id then means nothing).

        `box_keys` and `frame_indices` broadcast against each other: a row each (a tracks
        table's columns), the keys of one frame with a single index, one key over many frames.
        A key the link gives no id is a KeyError, a frame outside the link a ValueError."""
        keys, frames = np.broadcast_arrays(np.asarray(box_keys, dtype=object),
                                           np.asarray(frame_indices, dtype=np.int64))
        shape = keys.shape
        position = self.position(record)
        ids = self._run_ids(record, keys.ravel())
        frames = frames.ravel()
        outside = (frames < 0) | (frames >= record.frames)
        if outside.any():
            raise ValueError(f"{record.key} has frames 0 to {record.frames - 1}, not {frames[outside][0]}")
        if self._first is None or position < self._first:
            return ids.reshape(shape), np.zeros(shape, dtype=bool)
        ids, wrong = self._apply(np.full(len(ids), position), frames, ids)
        return ids.reshape(shape), wrong.reshape(shape)

    def track_id(self, record, box_key, frame_index):
        """The track id of `box_key` in the link's annotation file of `frame_index`; None where a
        correction marked the mask wrong."""
        ids, wrong = self.ids_at(record, [box_key], [frame_index])
        return None if wrong[0] else int(ids[0])

    def link_ids(self, record):
        """A function (box key, frame index) -> track id, or None where the mask is marked wrong,
        over every frame of the link, worked out at once: what the exports give the library per link."""
        keys = list(record.track_ids)
        frames = max(int(record.frames), 0)
        ids, wrong = self.ids_at(record, np.array(keys, dtype=object)[:, None], np.arange(frames)[None, :])
        row = {k: n for n, k in enumerate(keys)}

        def track(box_key, frame_index):
            if box_key not in row:
                raise KeyError(f"{record.key} gives no track id to {box_key}")
            if not 0 <= frame_index < frames:
                raise ValueError(f"{record.key} has frames 0 to {frames - 1}, not {frame_index}")
            return None if wrong[row[box_key], frame_index] else int(ids[row[box_key], frame_index])

        return track

    def known_ids(self):
        """Every id the camera has: given by the run to a done link, or by a correction."""
        ids = {i for r in self.chain if r.done for i in r.track_ids.values()}
        return ids | {c.other for c in self.corrections if c.kind == corr.NEW_ID}

    def _run_ids(self, record, keys):
        given = record.track_ids
        unique, inverse = np.unique(keys, return_inverse=True) if len(keys) else (keys, np.zeros(0, np.intp))
        missing = [str(k) for k in unique if k not in given]
        if missing:
            raise KeyError(f"{record.key} gives no track id to {', '.join(missing)}")
        return np.array([given[k] for k in unique], dtype=np.int64)[inverse.ravel()]

    def _apply(self, position, frame, ids):
        return corr.apply_corrections(ids, position, frame, self.corrections, self.positions)


def corrections_in_force(run, made=None):
    """({camera: [Correction]} in force, [(Correction, why)] that no longer apply).

    `made` are the corrections made (by default the effective ones of the run folder's
    corrections file); one no longer applies when a link it names was made again since, is
    gone or not done, or has fewer frames than it names."""
    if made is None:
        made = corr.effective_corrections(corr.read_entries(run.out))
    links = {(r.camera, r.key): (r.frames, r.token) for camera in run.cameras() for r in run.chain(camera) if r.done}
    stale = corr.stale_corrections(made, links)
    gone = {c.id for c, _ in stale}
    in_force = {}
    for c in made:
        if c.id not in gone:
            in_force.setdefault(c.camera, []).append(c)
    return in_force, stale


def track_map(run, camera, corrections=None, chain=None):
    """The TrackMap of a camera of the run folder; `corrections` are the camera's corrections in
    force (by default read from the folder's corrections file), `chain` its records when the
    caller has read them already (by default the folder's, kept by the RunFolder)."""
    camera = str(camera)
    if corrections is None:
        corrections = corrections_in_force(run)[0].get(camera, [])
    return TrackMap(run.chain(camera) if chain is None else chain, corrections)


def track_maps(run, made=None):
    """{camera: TrackMap} of every camera of the run folder, reading the corrections once."""
    in_force = corrections_in_force(run, made)[0]
    return {camera: TrackMap(run.chain(camera), in_force.get(camera, [])) for camera in run.cameras()}


def correction_notes(run):
    """Lines saying how many corrections apply, and which no longer do and why (a rerun made
    their links again)."""
    in_force, stale = corrections_in_force(run)
    applied = sum(len(v) for v in in_force.values())
    lines = [f"{applied} correction(s) from {corr.CORRECTIONS} applied."] if applied else []
    return lines + [f"A correction no longer applies: {c.describe()} ({why})." for c, why in stale]


def track_table(run):
    """identities.csv: one row per box key of each done link, with its track id as the run made it."""
    import pandas as pd

    rows = []
    for camera in run.cameras():
        ids = TrackMap(run.chain(camera))
        for r in ids.chain:
            if not r.done:
                continue
            given = ids.run_ids(r)
            for ident in r.identities:
                rows.append({"camera": r.camera, "video": r.video, "segment": r.segment, "box_key": ident.box_key,
                             "track_id": given.get(ident.box_key), "started": r.started,
                             "carried_from": r.carried_from, "first_frame": ident.first_frame,
                             "last_frame": ident.last_frame, "frames_tracked": ident.frames_tracked,
                             "mean_area": ident.mean_area})
    return pd.DataFrame(rows, columns=IDENTITY_COLUMNS).astype(
        {"track_id": "Int64", "first_frame": "Int64", "last_frame": "Int64"})


def corrected_track_table(run, maps=None):
    """identities_corrected.csv: per done link and box key, the runs of frames over which one
    corrected id holds, in chain order: camera, video, segment, box_key, run_track_id (the id
    the run gave), first_frame, last_frame (annotation file frame indices, inclusive), track_id
    (after the corrections in force) and wrong (the masks of the run are marked wrong).

    A box key spans the frames identities.csv gives it (first to last frame seen); one no
    correction touches is one run. `maps` are `track_maps(run)` when the caller has them."""
    import pandas as pd

    maps = track_maps(run) if maps is None else maps
    parts = [_corrected_runs(camera, maps[camera]) for camera in run.cameras()]
    table = pd.concat([pd.DataFrame(columns=CORRECTED_COLUMNS)] + [p for p in parts if p is not None],
                      ignore_index=True)
    return table.astype({"run_track_id": np.int64, "first_frame": np.int64, "last_frame": np.int64,
                         "track_id": np.int64, "wrong": bool})


def _corrected_runs(camera, ids):
    """The rows of one camera's chain: every frame of every box key spanned at once, one pass of
    the corrections over them, then cut into runs where the id or the mark changes."""
    import pandas as pd

    spans = []  # (record, box key, run id, first frame, last frame)
    for r in ids.chain:
        if not r.done:
            continue
        for ident in r.identities:
            if ident.box_key in r.track_ids and ident.first_frame is not None and ident.last_frame is not None:
                spans.append((r, ident.box_key, r.track_ids[ident.box_key], ident.first_frame, ident.last_frame))
    if not spans:
        return None
    lengths = np.array([last - first + 1 for *_, first, last in spans], dtype=np.int64)
    span = np.repeat(np.arange(len(spans)), lengths)
    starts = np.cumsum(lengths) - lengths
    frame = np.arange(len(span)) - np.repeat(starts, lengths) + np.repeat([s[3] for s in spans], lengths)
    position = np.repeat([ids.position(s[0]) for s in spans], lengths)
    run_ids = np.repeat(np.array([s[2] for s in spans], dtype=np.int64), lengths)
    track, wrong = ids._apply(position, frame, run_ids) if ids.corrections else (run_ids, np.zeros(len(span), bool))
    cut = np.flatnonzero(np.r_[True, (span[1:] != span[:-1]) | (track[1:] != track[:-1]) | (wrong[1:] != wrong[:-1])])
    last = np.r_[cut[1:], len(span)] - 1
    of = span[cut]
    return pd.DataFrame({
        "camera": camera, "video": [spans[i][0].video for i in of],
        "segment": [spans[i][0].segment for i in of], "box_key": [spans[i][1] for i in of],
        "run_track_id": run_ids[cut], "first_frame": frame[cut], "last_frame": frame[last], "track_id": track[cut],
        "wrong": wrong[cut]})


def corrected_ids_by_link(ids):
    """{link key: sorted track ids} of a camera's TrackMap after its corrections, leaving out masks
    marked wrong; None when no correction is in force (the ids are then the run's)."""
    if not ids.corrections:
        return None
    runs = _corrected_runs("", ids)
    found = {r.key: set() for r in ids.chain if r.done}
    if runs is not None:
        kept = runs[~runs["wrong"]]
        for video, segment, track in zip(kept["video"], kept["segment"], kept["track_id"]):
            found[f"{video}/{segment}"].add(int(track))
    return {key: sorted(v) for key, v in found.items()}


def write_corrected_table(run):
    """Writes identities_corrected.csv from the records and corrections as they are now; returns its path."""
    return records.write_table(run.path(IDENTITIES_CORRECTED), corrected_track_table(run))
