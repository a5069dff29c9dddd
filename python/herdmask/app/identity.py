"""Track ids: which animal a box key of a link is, along its camera's chain.

Ids follow lineage, not adjacency. A link that carried (or re-linked) the
animals of an earlier link takes that link's ids for them; a link started
afresh (the start-frame search, or keys restarted) numbers its animals anew,
above every id its camera's chain has used, from 1 per camera. The ids are
stored in each link's record when it is made and read from there by
everything else: identities.csv, export, evaluate, the pages.

A done link whose source (the link it took its ids from) was made again since
is stale: its ids may no longer name the animals they named, so a rerun makes
it again, and the pages say why meanwhile.
"""

from __future__ import annotations

from . import records

__all__ = ["IDENTITY_COLUMNS", "TrackMap", "carried_ids", "fresh_ids", "highest_id", "redo_reason", "stale_reason",
           "track_map", "track_table"]

IDENTITY_COLUMNS = ["camera", "video", "segment", "box_key", "track_id", "started", "carried_from",
                    "first_frame", "last_frame", "frames_tracked", "mean_area"]


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
    """The track ids of one camera's links."""

    def __init__(self, chain):
        self.chain = list(chain)

    def ids(self, record):
        """{box key: track id} of a done link."""
        return dict(record.track_ids)

    def track_id(self, record, box_key, frame_index):
        """The id of `box_key` in the link's annotation file of `frame_index` (None would say the
        mask is not the animal's there)."""
        try:
            return record.track_ids[box_key]
        except KeyError:
            raise KeyError(f"{record.key} gives no track id to {box_key}") from None


def track_map(run, camera):
    return TrackMap(run.chain(camera))


def track_table(run):
    """identities.csv: one row per box key of each done link, with its track id."""
    import pandas as pd

    rows = []
    for camera in run.cameras():
        for r in run.chain(camera):
            if not r.done:
                continue
            for ident in r.identities:
                rows.append({"camera": r.camera, "video": r.video, "segment": r.segment, "box_key": ident.box_key,
                             "track_id": r.track_ids.get(ident.box_key), "started": r.started,
                             "carried_from": r.carried_from, "first_frame": ident.first_frame,
                             "last_frame": ident.last_frame, "frames_tracked": ident.frames_tracked,
                             "mean_area": ident.mean_area})
    return pd.DataFrame(rows, columns=IDENTITY_COLUMNS).astype(
        {"track_id": "Int64", "first_frame": "Int64", "last_frame": "Int64"})
