"""The settings that decide a run's results, as compared between runs.

Values are normalised before they are compared or fingerprinted: numbers as
numbers (`--small-area 100` and the default 100.0 are one setting), files by
the hash of their content, not by their path (recordings and weights may
move). What a run takes in (`--camera`, the time window, `--sample-step`) is a
selection, not a setting: runs with other selections share one folder.
"""

from __future__ import annotations

import hashlib
import json
import numbers
import os

__all__ = ["EXTRACTION_SETTINGS", "LATER_SETTINGS", "SETTINGS_VERSION", "differences", "extraction_key",
           "file_digest", "fingerprint", "normalised", "run_settings", "with_later_defaults"]

SETTINGS_VERSION = 2

# the settings that decide what a link's results are, with the option that sets each
SETTING_OPTIONS = {
    "time_step": "--time-step",
    "crop": "--crop-box / --no-crop",
    "animals": "--animals",
    "step": "--step",
    "pen_polygon": "the pen polygon file's content",
    "models": "the model options",
    "small_area": "--small-area",
    "max_gap": "--max-gap",
    "match_frames": "--match-frames",
    "relink_cost": "--relink-cost",
    "relink_margin": "--relink-margin",
    "frame_skip": "--frame-skip",
    "resize": "--resize",
}
# what frame extraction is made with: frames made otherwise are extracted again, beside the old ones
EXTRACTION_SETTINGS = ("time_step", "crop", "frame_skip", "resize")
# Settings that came after folders were made without them, with the value those folders were made
# with: a setting at that value is left out of the fingerprint and the frames' folder name, so
# that the results made before it existed stay current.
LATER_SETTINGS = {"frame_skip": 1.0, "resize": None}


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()[:16]


def _tree_digest(folder):
    """The content of every file under `folder`, with its path inside it."""
    h = hashlib.sha256()
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            h.update(os.path.relpath(path, folder).encode() + b"\0" + file_digest(path).encode())
    return h.hexdigest()[:16]


def _model_identity(model_settings):
    """The deciding model settings with every file or folder named by its content."""
    fields = dict(model_settings.deciding())
    if fields.get("gdino"):
        fields["gdino"] = "content " + _tree_digest(fields["gdino"])
    if fields.get("sam2_checkpoint"):
        fields["sam2_checkpoint"] = "content " + file_digest(fields["sam2_checkpoint"])
    config = fields.get("sam2_config")
    if config and os.path.isfile(config):
        fields["sam2_config"] = "content " + file_digest(config)
    return dict(sorted(fields.items()))


def run_settings(args, model_settings, pen_json):
    """The deciding settings of a run (normalised), and beside them where the pen file was read."""
    if args.no_crop:
        crop = "none"
    elif args.crop_box:
        crop = ",".join(str(v) for v in args.crop_box)
    else:
        crop = "orange marker"
    deciding = {"time_step": args.time_step, "crop": crop, "animals": args.animals, "step": args.step,
                "pen_polygon": file_digest(pen_json), "models": _model_identity(model_settings),
                "small_area": args.small_area, "max_gap": args.max_gap, "match_frames": args.match_frames,
                "relink_cost": args.relink_cost, "relink_margin": args.relink_margin,
                "frame_skip": args.frame_skip, "resize": args.resize}
    return normalised(deciding)


def normalised(value):
    """Numbers as reals (bools stay), dicts and lists element by element."""
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, numbers.Real):
        return float(value)
    if isinstance(value, dict):
        return {k: normalised(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [normalised(v) for v in value]
    return value


def _at_later_default(name, value):
    return name in LATER_SETTINGS and value == LATER_SETTINGS[name]


def with_later_defaults(settings):
    """The settings with those that came later at the value folders made before them hold."""
    return {**LATER_SETTINGS, **normalised(settings)}


def fingerprint(settings):
    deciding = {k: v for k, v in with_later_defaults(settings).items()
                if k in SETTING_OPTIONS and not _at_later_default(k, v)}
    return hashlib.sha256(json.dumps(deciding, sort_keys=True).encode()).hexdigest()[:16]


def extraction_key(settings):
    """Names the frames made with the settings' extraction settings (their folder under frames/)."""
    full = with_later_defaults(settings)
    chosen = {k: full.get(k) for k in EXTRACTION_SETTINGS if not _at_later_default(k, full.get(k))}
    return "x" + hashlib.sha256(json.dumps(chosen, sort_keys=True).encode()).hexdigest()[:10]


def _shown(value):
    if isinstance(value, dict):
        return ", ".join(f"{k} {_shown(v)}" for k, v in value.items() if v is not None) or "stand-ins"
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return "none" if value is None else str(value)


def differences(stored, current):
    """Lines naming each deciding setting whose stored and current values differ."""
    stored, current = with_later_defaults(stored), with_later_defaults(current)
    return [f"{option}: {_shown(stored.get(name))} before, {_shown(current.get(name))} now"
            for name, option in SETTING_OPTIONS.items() if stored.get(name) != current.get(name)]
