"""What a run keeps on disk: one record per link, the run's tables and its settings.

Each file is written whole (see `files.write_atomic`): a reader, or a rerun after
a crash, sees the old file or the new one, never half of one.
"""

from __future__ import annotations

import hashlib
import json

from .files import write_text

__all__ = ["DONE", "FAILED", "NO_FRAMES", "NO_START", "IDENTITY_COLUMNS", "SUMMARY_COLUMNS", "STARTED_BY_SEARCH",
           "CARRIED", "RESTARTED", "how_started", "link_record", "read_json", "write_json", "identity_table", "summary_table",
           "write_table", "run_settings", "settings_differences", "fingerprint"]

DONE, NO_FRAMES, NO_START, FAILED = "done", "no-frames", "no-start", "failed"
STARTED_BY_SEARCH, CARRIED, RESTARTED = "start-frame search", "carried", "restarted"

SUMMARY_COLUMNS = ["camera", "video", "segment", "status", "reason", "started", "carried_from", "start_frame",
                   "frames", "animals", "questions", "long_overlap", "small_area_boxes", "seconds", "finished"]
IDENTITY_COLUMNS = ["camera", "video", "segment", "box_key", "track_id", "started", "carried_from",
                    "first_frame", "last_frame", "frames_tracked", "mean_area"]


def link_record(link, fingerprint, reason=""):
    """The fields every link's record has, filled in as for a link that failed for `reason`."""
    return {"camera": link.camera, "video": link.video, "segment": link.segment, "position": link.position,
            "start_time": link.start_time, "end_time": link.end_time, "status": FAILED, "reason": reason,
            "started": "", "carried_from": "", "identities": [], "fingerprint": fingerprint}


def how_started(record):
    """How a tracked link started, in words: "carried from <video>/<segment>", "restarted", ..."""
    return record["started"] + (f" from {record['carried_from']}" if record.get("carried_from") else "")


def write_json(path, data):
    write_text(path, json.dumps(data, indent=2, sort_keys=True))


def read_json(path):
    """The JSON object in `path`, or None when there is none (missing or unreadable)."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError):
        return None
    return data if isinstance(data, dict) else None


def write_table(path, frame):
    write_text(path, frame.to_csv(index=False))


def summary_table(records):
    import pandas as pd

    rows = []
    for r in records:
        row = {c: r.get(c) for c in SUMMARY_COLUMNS}
        row["small_area_boxes"] = " ".join(r.get("small_area_boxes") or [])
        rows.append(row)
    # counts stay whole numbers in the CSV where some links have none (10, not 10.0)
    counts = {c: "Int64" for c in ("start_frame", "frames", "animals", "questions")}
    return pd.DataFrame(rows, columns=SUMMARY_COLUMNS).astype(counts)


def identity_table(chains_records):
    """One row per box key per done link; `track_id` numbers the animals of a camera's chain,
    the same number for as long as the chain carries the key, new numbers after a restart."""
    import pandas as pd

    rows = []
    for records in chains_records:
        ids, next_id = {}, 1
        for r in records:
            if r.get("status") != DONE:
                continue
            if r.get("started") != CARRIED:
                ids = {}
            for ident in r.get("identities", []):
                key = ident["box_key"]
                if key not in ids:
                    ids[key] = next_id
                    next_id += 1
                rows.append({"camera": r["camera"], "video": r["video"], "segment": r["segment"], "box_key": key,
                             "track_id": ids[key], "started": r["started"],
                             "carried_from": r.get("carried_from") or "",
                             **{c: ident.get(c) for c in ("first_frame", "last_frame", "frames_tracked",
                                                          "mean_area")}})
    return pd.DataFrame(rows, columns=IDENTITY_COLUMNS).astype({"first_frame": "Int64", "last_frame": "Int64"})


# ---------------------------------------------------------------- settings

# the settings that decide what a link's results are, with the option that sets each
SETTING_OPTIONS = {
    "time_step": "--time-step",
    "crop": "--crop-box / --no-crop",
    "animals": "--animals",
    "step": "--step",
    "pen_json": "--pen-json",
    "pen_polygon": "the pen polygon file's content",
    "models": "the model options",
    "small_area": "--small-area",
    "max_gap": "--max-gap",
    "match_frames": "--match-frames",
}
EXTRACTION_SETTINGS = ("time_step", "crop")


def _file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        h.update(f.read())
    return h.hexdigest()[:16]


def run_settings(args, model_settings, pen_json):
    if args.no_crop:
        crop = "none"
    elif args.crop_box:
        crop = ",".join(str(v) for v in args.crop_box)
    else:
        crop = "orange marker"
    return {"time_step": args.time_step, "crop": crop, "animals": args.animals, "step": args.step,
            "pen_json": pen_json, "pen_polygon": _file_digest(pen_json),
            # in the stored file's order, so that a changed setting reads alike before and now; where
            # the tracker keeps its memory is left out, so a rerun may move it without redoing anything
            "models": dict(sorted(model_settings.deciding().items())), "small_area": args.small_area,
            "max_gap": args.max_gap, "match_frames": args.match_frames}


def fingerprint(settings):
    return hashlib.sha256(json.dumps(settings, sort_keys=True).encode()).hexdigest()[:16]


def _shown(value):
    if isinstance(value, dict):
        return ", ".join(f"{k} {_shown(v)}" for k, v in value.items() if v is not None) or "stand-ins"
    return "none" if value is None else str(value)


def settings_differences(stored, current):
    """Lines naming each setting whose stored and current values differ."""
    lines = []
    for name, option in SETTING_OPTIONS.items():
        if stored.get(name) != current.get(name):
            lines.append(f"{option}: {_shown(stored.get(name))} before, {_shown(current.get(name))} now")
    return lines
