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

__all__ = ["CAMERA_OPTIONS", "EXTRACTION_SETTINGS", "LATER_SETTINGS", "RUN_OPTIONS", "SETTINGS_VERSION",
           "camera_settings", "differences", "extraction_key", "file_digest", "fingerprint", "merged", "normalised",
           "of_camera", "run_settings", "with_later_defaults"]

SETTINGS_VERSION = 2

# the settings that decide what a link's results are, with the option that sets each: those of
# the run, and those each camera has for itself (from the lab file, or the options for all)
RUN_OPTIONS = {
    "time_step": "--time-step",
    "step": "--step",
    "models": "the model options",
    "small_area": "--small-area",
    "max_gap": "--max-gap",
    "match_frames": "--match-frames",
    "relink_cost": "--relink-cost",
    "relink_margin": "--relink-margin",
    "frame_skip": "--frame-skip",
    "resize": "--resize",
}
CAMERA_OPTIONS = {
    "crop": "the crop (--crop-box, --no-crop or the lab file)",
    "animals": "the animals (--animals or the lab file)",
    "pen_polygon": "the pen polygon file's content",
}
SETTING_OPTIONS = {**RUN_OPTIONS, **CAMERA_OPTIONS}
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


def camera_settings(setup):
    """A camera's deciding settings (normalised), from its lab.CameraSetup; beside them, not
    deciding, where its pen and zones files were read."""
    deciding = normalised({"crop": setup.crop_text, "animals": setup.animals, "pen_polygon": file_digest(setup.pen)})
    return dict(deciding, pen_json=setup.pen, zones=setup.zones)


def run_settings(args, model_settings, cameras):
    """The deciding settings of a run (normalised), with those of each camera of `cameras`
    ({camera: lab.CameraSetup}) under "cameras"."""
    deciding = {"time_step": args.time_step, "step": args.step, "models": _model_identity(model_settings),
                "small_area": args.small_area, "max_gap": args.max_gap, "match_frames": args.match_frames,
                "relink_cost": args.relink_cost, "relink_margin": args.relink_margin,
                "frame_skip": args.frame_skip, "resize": args.resize}
    return dict(normalised(deciding), cameras={c: camera_settings(s) for c, s in cameras.items()})


def _own(settings, camera):
    """A camera's own settings as stored, or None when the folder knows none for it. A folder made
    when one set served every camera holds that set at its top: it stands for every camera the
    folder holds no set of its own for."""
    own = (settings.get("cameras") or {}).get(str(camera))
    if own is not None:
        return own
    shared = {k: v for k, v in settings.items() if k in CAMERA_OPTIONS}
    return shared or None


def of_camera(settings, camera):
    """The deciding settings a camera's links are made with: the run's and the camera's own (the
    same names and values, and so the same fingerprint, as when one set served every camera)."""
    own = _own(settings, camera) or {}
    return dict({k: v for k, v in settings.items() if k in RUN_OPTIONS},
                **{k: v for k, v in own.items() if k in CAMERA_OPTIONS})


def merged(stored, current):
    """The settings a folder holds after a run with `current`: the cameras it did not run keep
    theirs."""
    stored = stored or {}
    shared = {k: v for k, v in stored.items() if k in CAMERA_OPTIONS}
    return {**shared, **current, "cameras": {**(stored.get("cameras") or {}), **(current.get("cameras") or {})}}


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


def fingerprint(settings, camera):
    """Names the deciding settings of the camera's links."""
    deciding = {k: v for k, v in with_later_defaults(of_camera(settings, camera)).items()
                if k in SETTING_OPTIONS and not _at_later_default(k, v)}
    return hashlib.sha256(json.dumps(deciding, sort_keys=True).encode()).hexdigest()[:16]


def extraction_key(settings, camera):
    """Names the frames made with the camera's extraction settings (their folder under frames/)."""
    full = with_later_defaults(of_camera(settings, camera))
    chosen = {k: full.get(k) for k in EXTRACTION_SETTINGS if not _at_later_default(k, full.get(k))}
    return "x" + hashlib.sha256(json.dumps(chosen, sort_keys=True).encode()).hexdigest()[:10]


def _shown(value):
    if isinstance(value, dict):
        return ", ".join(f"{k} {_shown(v)}" for k, v in value.items() if v is not None) or "stand-ins"
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return "none" if value is None else str(value)


def differences(stored, current):
    """Lines naming each deciding setting whose stored and current values differ: the run's, and
    those of each camera the current settings name that the stored ones know."""
    stored, current = with_later_defaults(stored), with_later_defaults(current)
    lines = [f"{option}: {_shown(stored.get(name))} before, {_shown(current.get(name))} now"
             for name, option in RUN_OPTIONS.items() if stored.get(name) != current.get(name)]
    for camera, now in (current.get("cameras") or {}).items():
        before = _own(stored, camera)
        if before is None:
            continue  # a camera this folder has not run yet
        lines += [f"camera {camera}: {option}: {_shown(before.get(name))} before, {_shown(now.get(name))} now"
                  for name, option in CAMERA_OPTIONS.items() if before.get(name) != now.get(name)]
    return lines
