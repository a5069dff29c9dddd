"""The lab file: every pen of a lab with its own pen polygon, crop and head count.

A lab file is TOML. `herdmask init RECORDINGS_DIR` writes a first one from what
it finds; `herdmask run --lab LAB.toml` runs every camera it names into one
output folder. Relative paths are read from the lab file's folder.

    # where the videos are (one folder, or a list); their sub-folders are searched too
    recordings = ["/data/barn-a", "/data/barn-b"]

    [defaults]                      # for every camera below that does not say otherwise
    animals = 10
    crop = "marker"

    [cameras.61]                    # the camera number as in Camera61_..._.mp4 ("Camera61" also works)
    pen = "pens/camera_61.json"     # the pen polygon, in the coordinates of the cropped frames
    crop = [2250, 0, 2560, 1440]    # x1, y1, x2, y2 in the whole frame; or "marker", or "none"
    animals = 12
    zones = "zones/camera_61.json"  # named polygons for the behaviour measures (optional)

    [cameras.62]
    pen = "pens/camera_62.json"
    marker_area = [2200, 0, 2560, 200]   # with crop = "marker": where the orange marker must be found

Keys of a camera (each may also stand in [defaults]):

    pen          the pen polygon file (required, here or in [defaults])
    crop         "marker" (the crop box from the orange marker, the default),
                 "none" (whole frames) or [x1, y1, x2, y2]
    marker_area  [x1, y1, x2, y2]: the part of the whole frame the orange marker lies
                 in; a marker found elsewhere stops the run (only with crop = "marker")
    animals      the number of animals in the pen (default 10)
    zones        a file of named polygons for the behaviour measures

Only the cameras named under [cameras] are run; videos of other cameras in the
recordings are left out, and the run says so. Every fault of the file is
reported on a line of its own, naming the file and the camera.
"""

from __future__ import annotations

import dataclasses
import os
import re
from typing import Optional, Union

__all__ = ["CameraSetup", "Lab", "LabFileError", "MARKER", "NO_CROP", "camera_number", "lab_for_cameras", "parse_lab",
           "pen_file_fault",
           "read_lab"]

MARKER, NO_CROP = "marker", "none"
DEFAULT_ANIMALS = 10
CAMERA_KEYS = ("pen", "crop", "marker_area", "animals", "zones")
_TOP_KEYS = ("recordings", "defaults", "cameras")
_CAMERA_RE = re.compile(r"(?:[Cc]amera)?(\d+)")


class LabFileError(ValueError):
    """A lab file that cannot be used; `lines` holds one line per fault."""

    def __init__(self, lines):
        self.lines = list(lines)
        super().__init__("\n".join(self.lines))


@dataclasses.dataclass(frozen=True)
class CameraSetup:
    """What one camera's links are made with."""

    camera: str  # the number as file names write it
    pen: str  # absolute path of the pen polygon file
    crop: Union[str, tuple] = MARKER  # MARKER, NO_CROP or (x1, y1, x2, y2)
    animals: int = DEFAULT_ANIMALS
    zones: Optional[str] = None
    marker_area: Optional[tuple] = None

    @property
    def crop_text(self):
        """The crop as the run's settings write it: "orange marker", "none" or "x1,y1,x2,y2"."""
        if self.crop == MARKER:
            return "orange marker"
        return NO_CROP if self.crop == NO_CROP else ",".join(str(v) for v in self.crop)


@dataclasses.dataclass(frozen=True)
class Lab:
    """A lab: where its recordings are and each camera's setup, in camera number order."""

    recordings: tuple
    cameras: dict  # camera -> CameraSetup
    path: Optional[str] = None  # the lab file, when there is one

    def overridden(self, **changes):
        """The lab with the given fields (pen, crop, animals) set for every camera: the
        command-line options of a run override the lab file."""
        changes = {k: v for k, v in changes.items() if v is not None}
        if "crop" in changes and changes["crop"] != MARKER:
            changes["marker_area"] = None
        return dataclasses.replace(self, cameras={c: dataclasses.replace(s, **changes)
                                                  for c, s in self.cameras.items()})


def camera_number(key):
    """"61" for the keys 61, "61" and "Camera61"; None for anything else."""
    found = _CAMERA_RE.fullmatch(str(key).strip())
    return found.group(1) if found else None


def _number_order(camera):
    return (len(camera), camera)


# ------------------------------------------------------------------ reading


class _Faults:
    def __init__(self, path):
        self.path, self.lines = path, []

    def add(self, where, text):
        self.lines.append(f"{self.path}: {where + ': ' if where else ''}{text}")


def _whole(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _box(value):
    """(x1, y1, x2, y2) with 0 <= x1 < x2 and 0 <= y1 < y2, or None."""
    if isinstance(value, list) and len(value) == 4 and all(_whole(v) for v in value):
        x1, y1, x2, y2 = value
        if 0 <= x1 < x2 and 0 <= y1 < y2:
            return tuple(value)
    return None


def _crop(value):
    if value in (MARKER, NO_CROP):
        return value
    return _box(value)


def _resolve(base, value):
    return os.path.normpath(os.path.join(base, os.path.expanduser(value)))


def pen_file_fault(path):
    """Why the pen polygon file cannot be used, or None."""
    import herdmask as hm

    if not os.path.isfile(path):
        return f"no pen polygon file {path}"
    try:
        polygon = hm.draw_pen(None, path, drawout=False)
    except KeyError as exc:
        return f"the pen polygon file {path} cannot be used: it has no {exc} entry"
    except Exception as exc:  # noqa: BLE001 - any reading fault is the user's file, said in one line
        return f"the pen polygon file {path} cannot be used: {' '.join(str(exc).split())}"
    if len(polygon) < 3:
        return f"the pen polygon in {path} has {len(polygon)} point(s); a polygon needs at least 3"
    return None


def _setup(camera, entry, defaults, base, faults):
    where = f"camera {camera}"
    merged = dict(defaults, **entry)
    for key in sorted(set(entry) - set(CAMERA_KEYS)):
        faults.add(where, f"unknown key {key!r} (a camera has {', '.join(CAMERA_KEYS)})")
    fields = {"camera": camera}
    animals = merged.get("animals", DEFAULT_ANIMALS)
    if not _whole(animals) or animals < 1:
        faults.add(where, f"animals must be a whole number of at least 1, got {animals!r}")
    fields["animals"] = animals
    crop = _crop(merged.get("crop", MARKER))
    if crop is None:
        faults.add(where, f"crop must be \"marker\", \"none\" or [x1, y1, x2, y2] with 0 <= x1 < x2 and "
                          f"0 <= y1 < y2, got {merged['crop']!r}")
    fields["crop"] = crop
    if "marker_area" in merged:
        area = _box(merged["marker_area"])
        if area is None:
            faults.add(where, f"marker_area must be [x1, y1, x2, y2] with 0 <= x1 < x2 and 0 <= y1 < y2, "
                              f"got {merged['marker_area']!r}")
        elif crop != MARKER and "marker_area" in entry:
            faults.add(where, "marker_area is given but crop is not \"marker\"")
        fields["marker_area"] = area if crop == MARKER else None
    for key in ("pen", "zones"):
        value = merged.get(key)
        if value is None:
            continue
        if not isinstance(value, str) or not value.strip():
            faults.add(where, f"{key} must be a file name, got {value!r}")
            continue
        fields[key] = _resolve(base, value)
    if "pen" not in fields:
        faults.add(where, "no pen polygon file (give pen = \"FILE\" here or under [defaults])")
    else:
        problem = pen_file_fault(fields["pen"])
        if problem:
            faults.add(where, problem)
    if fields.get("zones") and not os.path.isfile(fields["zones"]):
        faults.add(where, f"no zones file {fields['zones']}")
    return CameraSetup(**fields) if "pen" in fields else None


def _recordings(data, base, faults):
    value = data.get("recordings")
    if value is None:
        faults.add("", "no recordings folder (give recordings = \"FOLDER\" or a list of folders)")
        return ()
    folders = value if isinstance(value, list) else [value]
    found = []
    for folder in folders:
        if not isinstance(folder, str) or not folder.strip():
            faults.add("recordings", f"expected a folder name, got {folder!r}")
            continue
        path = _resolve(base, folder)
        if not os.path.isdir(path):
            faults.add("recordings", f"no such folder: {path}")
        found.append(path)
    return tuple(dict.fromkeys(found))


def parse_lab(data, path, base=None):
    """The Lab that the parsed TOML `data` of the file `path` describes; LabFileError naming
    every fault found."""
    base = base if base is not None else os.path.dirname(os.path.abspath(path))
    faults = _Faults(path)
    for key in sorted(set(data) - set(_TOP_KEYS)):
        faults.add("", f"unknown key {key!r} (a lab file has {', '.join(_TOP_KEYS)})")
    recordings = _recordings(data, base, faults)
    defaults = data.get("defaults", {})
    if not isinstance(defaults, dict):
        faults.add("defaults", "must be a table ([defaults])")
        defaults = {}
    for key in sorted(set(defaults) - set(CAMERA_KEYS)):
        faults.add("defaults", f"unknown key {key!r} (a camera has {', '.join(CAMERA_KEYS)})")
    defaults = {k: v for k, v in defaults.items() if k in CAMERA_KEYS}
    entries = data.get("cameras", {})
    if not isinstance(entries, dict) or not entries:
        faults.add("", "no cameras (give one [cameras.N] table per camera)")
        entries = {}
    cameras = {}
    for key, entry in entries.items():
        camera = camera_number(key)
        if camera is None:
            faults.add("cameras", f"{key!r} is not a camera number (write [cameras.61] for Camera61_...mp4)")
        elif camera in cameras:
            faults.add("cameras", f"camera {camera} is named twice")
        elif not isinstance(entry, dict):
            faults.add(f"camera {camera}", "must be a table ([cameras." + camera + "])")
        else:
            cameras[camera] = _setup(camera, entry, defaults, base, faults)
    if faults.lines:
        raise LabFileError(faults.lines)
    return Lab(recordings, {c: cameras[c] for c in sorted(cameras, key=_number_order)}, os.path.abspath(path))


def read_lab(path):
    """The Lab of the lab file `path`; LabFileError with one line per fault."""
    import tomllib

    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as exc:
        raise LabFileError([f"{path}: cannot be read ({exc.strerror or exc})"]) from None
    except tomllib.TOMLDecodeError as exc:
        raise LabFileError([f"{path}: not a TOML file: {exc}"]) from None
    return parse_lab(data, path)


def lab_for_cameras(recordings, cameras, pen, crop=MARKER, animals=DEFAULT_ANIMALS):
    """The lab of a run without a lab file: every camera found set up alike (one pen file)."""
    return Lab(tuple(recordings), {c: CameraSetup(c, pen, crop, animals) for c in sorted(cameras, key=_number_order)})
