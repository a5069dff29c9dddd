"""Behaviour measures of tracked animals: movement, activity, zones and contacts.

The measures work on a positions table (one row per frame and animal: the frame
number along the recording, its time, the track id, the mask's centroid, area
and box, as `export.segment_tracks` reads them from a segment's annotation
files) and, for contacts, on a contacts table (one row per frame and pair of
animals whose masks touch or overlap, as `frame_contacts` finds them and
`track_contacts` names them); the command assembles both along each camera's
chain.

Kinematics come from `movement` (the field's package for tracked animal
positions): each animal's centroids become its bounding-box dataset, speed is
its time derivative and distance the sum of its displacements. Zones are
`movement` polygons of interest, tested in bulk with shapely. Gap filling and
smoothing, activity bouts, zone visits, contacts and time bins are NumPy and
pandas.
"""

from __future__ import annotations

import dataclasses
import json
import math
import os

import numpy as np
import pandas as pd

__all__ = [
    "POSITION_COLUMNS",
    "CONTACT_COLUMNS",
    "KEY_CONTACT_COLUMNS",
    "BehaviourSettings",
    "BehaviourResult",
    "ZoneFileError",
    "read_zones",
    "frame_contacts",
    "segment_contacts",
    "track_contacts",
    "behaviour_measures",
    "write_behaviour_tables",
]

POSITION_COLUMNS = ["frame", "time", "track_id", "cx", "cy", "area", "x", "y", "w", "h"]
CONTACT_COLUMNS = ["frame", "track_a", "track_b", "overlap"]
KEY_CONTACT_COLUMNS = ["frame", "key_a", "key_b", "overlap"]
# labelme's fields of a shape: a zone file is a pen polygon file with more shapes
_SHAPE_FIELDS = {"label", "points", "group_id", "description", "shape_type", "flags", "mask"}
_DAY, _NIGHT = "day", "night"


class ZoneFileError(ValueError):
    """A zone file that cannot be used; the message is one line naming the file and the fault."""


@dataclasses.dataclass(frozen=True)
class BehaviourSettings:
    """How the measures are taken. Durations are in seconds.

    fps: frames per second of the recording (the frame grid's step).
    bin: length of the time bins, as pandas reads a duration ("1h", "15min"); None for none.
    pixels_per_metre: scale of the frames; adds the measures in metres.
    smooth: width of the centred moving mean over the centroids.
    fill_gap: longest stretch without a mask that is bridged by linear interpolation.
    split_after: a step in recording time longer than this between two frames ends a
        continuous stretch (nothing is measured across it).
    rest_speed: speed under which an animal may rest, in pixels per second (metres per
        second with a scale); None: a tenth of the animals' median body size per second.
    min_rest: least duration of a resting bout; shorter pauses count as active.
    min_visit: least duration of a zone visit; shorter stays count neither as visit nor time.
    reach: pixels between two masks that still count as touching (1: neighbouring pixels).
    distance_step: distance moved is the sum of straight steps between positions this far apart
        (0: from frame to frame); longer steps leave out more of the centroids' jitter.
    day: clock times (hh:mm) at which the day period starts and ends.
    """

    fps: float
    bin: str | None = "1h"
    pixels_per_metre: float | None = None
    smooth: float = 0.6
    fill_gap: float = 1.0
    split_after: float = 2.0
    rest_speed: float | None = None
    min_rest: float = 5.0
    min_visit: float = 2.0
    reach: int = 1
    distance_step: float = 0.0
    day: tuple = ("06:00", "18:00")

    def __post_init__(self):
        if not (math.isfinite(self.fps) and self.fps > 0):
            raise ValueError(f"fps must be a positive number, got {self.fps}")
        if self.pixels_per_metre is not None and not (math.isfinite(self.pixels_per_metre)
                                                      and self.pixels_per_metre > 0):
            raise ValueError(f"pixels_per_metre must be a positive number, got {self.pixels_per_metre}")
        for name in ("smooth", "fill_gap", "split_after", "min_rest", "min_visit", "distance_step"):
            value = getattr(self, name)
            if not (math.isfinite(value) and value >= 0):
                raise ValueError(f"{name} must be a number of seconds of at least 0, got {value}")
        if self.rest_speed is not None and not (math.isfinite(self.rest_speed) and self.rest_speed > 0):
            raise ValueError(f"rest_speed must be a positive number, got {self.rest_speed}")
        if self.bin is not None and self.bin_seconds <= 0:
            raise ValueError(f"bin must be a positive duration, got {self.bin!r}")
        _clock_seconds(self.day[0]), _clock_seconds(self.day[1])

    @property
    def bin_seconds(self):
        try:
            return pd.Timedelta(self.bin).total_seconds()
        except ValueError:
            raise ValueError(f"bin {self.bin!r} is not a duration (e.g. 1h, 30min, 90s)") from None

    def frames(self, seconds):
        """A duration as a whole number of frames."""
        return int(round(seconds * self.fps))


@dataclasses.dataclass
class BehaviourResult:
    """What `behaviour_measures` found.

    table: one row per animal and time bin (see `behaviour_measures`).
    pairs: one row per pair of animals in contact and time bin.
    profile: active share and mean speed per animal in short slots, for a heat map.
    paths: smoothed centroids of each animal, thinned to a few thousand points.
    notes: the thresholds used, in words.
    """

    table: pd.DataFrame
    pairs: pd.DataFrame
    profile: pd.DataFrame
    paths: pd.DataFrame
    notes: list


def _clock_seconds(text):
    try:
        hours, minutes = (int(v) for v in str(text).split(":"))
    except ValueError:
        raise ValueError(f"expected a clock time hh:mm, got {text!r}") from None
    if not (0 <= hours <= 24 and 0 <= minutes < 60):
        raise ValueError(f"expected a clock time hh:mm, got {text!r}")
    return hours * 3600 + minutes * 60


# ------------------------------------------------------------------ zones


def read_zones(path):
    """The named zones of a zone file, {name: movement PolygonOfInterest}, in file order.

    A zone file has the form of the pen polygon file: {"shapes": [{"label":
    name, "points": [[x, y], ...]}, ...]}, in the coordinates of the cropped
    frames. Every zone needs a name of its own and at least three points that
    enclose an area; fields other than labelme's shape fields are refused as
    unknown. Raises ZoneFileError with one line naming the file and the fault.
    """
    from movement.roi import PolygonOfInterest

    path = os.fspath(path)
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as exc:
        raise ZoneFileError(f"{path}: cannot be read ({exc.strerror or exc})") from None
    except ValueError as exc:
        raise ZoneFileError(f"{path} is not JSON: {' '.join(str(exc).split())}") from None
    shapes = data.get("shapes") if isinstance(data, dict) else None
    if not isinstance(shapes, list) or not shapes:
        raise ZoneFileError(f"{path}: no zones (expected {{\"shapes\": [{{\"label\": name, \"points\": "
                            "[[x, y], ...]}, ...]}})")
    zones = {}
    for n, shape in enumerate(shapes, start=1):
        if not isinstance(shape, dict):
            raise ZoneFileError(f"{path}: zone {n} is not an object with a label and points")
        unknown = sorted(set(shape) - _SHAPE_FIELDS)
        if unknown:
            raise ZoneFileError(f"{path}: zone {n} has unknown field(s) {', '.join(map(repr, unknown))} "
                                "(a zone has a label and points)")
        name = shape.get("label")
        if not isinstance(name, str) or not name.strip():
            raise ZoneFileError(f"{path}: zone {n} has no name (its label must be a non-empty text)")
        name = name.strip()
        if name in zones:
            raise ZoneFileError(f"{path}: the zone name '{name}' is given twice")
        if shape.get("shape_type", "polygon") != "polygon":
            raise ZoneFileError(f"{path}: zone '{name}' is a {shape['shape_type']!r}, not a polygon")
        points = _zone_points(path, name, shape.get("points"))
        try:
            zones[name] = PolygonOfInterest(points, name=name)
        except ValueError as exc:
            raise ZoneFileError(f"{path}: zone '{name}' is not a polygon: {' '.join(str(exc).split())}") from None
        if not zones[name].region.area > 0:
            raise ZoneFileError(f"{path}: zone '{name}' encloses no area")
    return zones


def _zone_points(path, name, points):
    try:
        array = np.asarray(points, dtype=float)
    except (TypeError, ValueError):
        array = None
    if array is None or array.ndim != 2 or array.shape[1] != 2 or not np.isfinite(array).all():
        raise ZoneFileError(f"{path}: zone '{name}' needs points as [[x, y], ...] pairs of numbers")
    if len(array) < 3:
        raise ZoneFileError(f"{path}: zone '{name}' has {len(array)} point(s), a zone needs at least 3")
    return array


# ------------------------------------------------------------------ reading a segment


def frame_contacts(frames, reach=1):
    """Which masks touch, frame by frame, by box key: a table with the columns of
    `KEY_CONTACT_COLUMNS`, one row per frame and pair of masks that overlap or
    touch within `reach` pixels (overlap in pixels, 0 when they only touch).

    `frames` yields (frame index, {box key: mask}) pairs, e.g. a tracker's
    masks frame by frame or annotation records; empty masks touch nothing.
    Keys are kept as given, so that track ids (and corrections of them) are
    applied when the contacts are read (`track_contacts`).
    """
    from .measures import mask_contacts

    rows = []
    for index, masks in frames:
        if len(masks) > 1:
            rows += [(int(index), a, b, overlap) for a, b, overlap in mask_contacts(masks, reach)]
    return pd.DataFrame(rows, columns=KEY_CONTACT_COLUMNS).astype({"frame": np.int64, "overlap": np.int64})


def segment_contacts(source, reach=1):
    """`frame_contacts` of one segment: `source` is its annotation folder or its annotation
    data as `get_gsam_annotation_data` returns it; frames are the files' frame indices."""
    from .export import _frame_records

    return frame_contacts(((r["frame_index"], r["masks_dict"]) for r in _frame_records(source)), reach)


def track_contacts(contacts, track_ids=None, frame_numbers=None):
    """Contacts by box key (`frame_contacts`) as contacts by track id, with the columns of
    `CONTACT_COLUMNS` (track_a < track_b).

    `track_ids` maps box keys to track ids ({key: id}, or a function of the key and
    the frame index giving the id, or None where the mask is not the animal's:
    such rows are left out); by default the key's number plus one, the files' own
    object id. `frame_numbers[i]` is the frame number of frame index i (by default
    i + 1), as `export.tracks_mot` takes them.
    """
    from .export import _frame_number, _track_id

    rows = []
    for index, a, b, overlap in contacts[KEY_CONTACT_COLUMNS].itertuples(index=False):
        ids = _track_id(a, track_ids, index), _track_id(b, track_ids, index)
        if None not in ids:
            rows.append((_frame_number(index, frame_numbers, 0), *sorted(ids), overlap))
    return pd.DataFrame(rows, columns=CONTACT_COLUMNS).astype(np.int64)


# ------------------------------------------------------------------ the frame grid


@dataclasses.dataclass
class _Grid:
    """Every frame of the recording that was looked at, in order, with its time, stretch and bins."""

    frames: np.ndarray  # int64, increasing
    seconds: np.ndarray  # float64, from `origin`
    stretch: np.ndarray  # int64: continuous stretch of recording (frames between its frames are missing frames)
    bin: np.ndarray  # int64: time bin (0 without bins)
    night: np.ndarray  # bool; all False without clock times
    origin: object  # pandas Timestamp (midnight before the first frame) or None for plain seconds
    bin_seconds: float | None  # None without time bins

    def index_of(self, frames, what):
        i = np.searchsorted(self.frames, frames)
        bad = (i >= len(self.frames)) | (self.frames[np.minimum(i, len(self.frames) - 1)] != frames)
        if bad.any():
            raise ValueError(f"{what}: frame {int(np.asarray(frames)[bad][0])} is not among the recording's frames")
        return i

    def time_of(self, seconds):
        if self.origin is None:
            return seconds
        return self.origin + pd.to_timedelta(seconds, unit="s")


def _grid(positions, frames, settings):
    if frames is None:
        frames = positions[["frame"] + (["time"] if "time" in positions else [])].drop_duplicates("frame")
    frames = frames.sort_values("frame")
    numbers = frames["frame"].to_numpy(np.int64)
    if len(numbers) and (np.diff(numbers) == 0).any():
        raise ValueError("the frames table names a frame twice")
    origin = None
    if "time" not in frames:
        seconds = numbers / settings.fps
    elif pd.api.types.is_datetime64_any_dtype(frames["time"]):
        times = frames["time"]
        origin = times.min().normalize() if len(times) else pd.Timestamp(0)
        seconds = (times - origin).dt.total_seconds().to_numpy(float)
    else:
        seconds = frames["time"].to_numpy(float)
    breaks = np.diff(seconds) > settings.split_after
    stretch = np.concatenate([[0], np.cumsum(breaks)]).astype(np.int64)
    binned = (np.floor(seconds / settings.bin_seconds).astype(np.int64) if settings.bin is not None
              else np.zeros(len(numbers), np.int64))
    night = np.zeros(len(numbers), bool)
    if origin is not None:
        start, end = (_clock_seconds(t) for t in settings.day)
        of_day = np.mod(seconds, 86400.0)
        day = (of_day >= start) & (of_day < end) if start <= end else (of_day >= start) | (of_day < end)
        night = ~day
    return _Grid(numbers, seconds, stretch, binned, night, origin,
                 settings.bin_seconds if settings.bin is not None else None)


# ------------------------------------------------------------------ kinematics


def _runs(flags):
    """(starts, ends) of the runs of True in a bool array, ends exclusive."""
    edges = np.diff(np.concatenate([[0], flags.astype(np.int8), [0]]))
    return np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)


def _long_runs(flags, least):
    """The runs of True lasting at least `least` samples, as a bool array, and their starts."""
    starts, ends = _runs(flags)
    keep = (ends - starts) >= max(least, 1)
    out = np.zeros(len(flags), bool)
    if keep.any():
        marks = np.zeros(len(flags) + 1, np.int64)
        np.add.at(marks, starts[keep], 1)
        np.add.at(marks, ends[keep], -1)
        out = np.cumsum(marks[:-1]) > 0
    return out, starts[keep]


def _half_window(settings):
    return max(1, settings.frames(settings.smooth)) // 2


def _centred_mean(values, half):
    """Centred moving mean of the rows of `values` over 2 half + 1 rows. Near the ends of each run
    of rows without NaN the window shrinks evenly on both sides, so a steady walk keeps its
    positions up to the edge of every gap (a one-sided or mirrored window would pull them inward);
    rows with NaN stay NaN."""
    n = len(values)
    valid = np.isfinite(values).all(axis=1)
    starts, ends = _runs(valid)
    lengths = ends - starts
    index = np.arange(n)
    first = np.zeros(n, np.int64)
    last = np.zeros(n, np.int64)
    first[valid] = np.repeat(starts, lengths)
    last[valid] = np.repeat(ends - 1, lengths)
    h = np.minimum(half, np.minimum(index - first, last - index))
    h[~valid] = 0
    sums = np.concatenate([np.zeros((1, values.shape[1])), np.cumsum(np.where(valid[:, None], values, 0.0), axis=0)])
    out = (sums[index + h + 1] - sums[index - h]) / (2 * h + 1)[:, None]
    out[~valid] = np.nan
    return out


def _fill_short_gaps(values, longest):
    """Rows of NaN bridged by straight lines where the run of them is at most `longest` rows
    long and has numbers on both sides; longer runs stay NaN."""
    missing = ~np.isfinite(values).all(axis=1)
    starts, ends = _runs(missing)
    short = (starts > 0) & (ends < len(values)) & (ends - starts <= longest)
    if not short.any():
        return values
    marks = np.zeros(len(values) + 1, np.int64)
    np.add.at(marks, starts[short], 1)
    np.add.at(marks, ends[short], -1)
    fill = np.flatnonzero(np.cumsum(marks[:-1]) > 0)
    known = np.flatnonzero(~missing)
    out = values.copy()
    for d in range(values.shape[1]):
        out[fill, d] = np.interp(fill, known, values[known, d])
    return out


def _kinematics(x, y, w, h, settings):
    """Filled and smoothed centroids, speed (pixels per second) and step lengths of one
    animal's frames laid out in time (NaN where it has no mask); speed and steps with movement.

    Gaps are filled here rather than with movement's interpolation, which over a camera-day
    takes seconds per animal to measure its gaps; the moving mean keeps steady walks up to
    every gap, where movement's rolling filter pulls each end inward."""
    from movement import kinematics
    from movement.io import load_bboxes
    from movement.utils.vector import compute_norm

    n = len(x)
    filled = _fill_short_gaps(np.stack([x, y], axis=1), settings.frames(settings.fill_gap))
    smoothed = _centred_mean(filled, _half_window(settings))
    dataset = load_bboxes.from_numpy(smoothed[:, :, None], np.stack([w, h], axis=1)[:, :, None],
                                     individual_names=["animal"], fps=settings.fps)
    smoothed = dataset["position"].transpose("time", "space", "individuals")
    speed = kinematics.compute_speed(smoothed).values[:, 0] if n > 1 else np.full(n, np.nan)
    # Distance from positions `distance_step` apart: over a noisy track, steps between consecutive
    # frames add up the centroids' jitter, which grows with the frame rate and not with the walk.
    every = max(1, settings.frames(settings.distance_step))
    step = np.zeros(n)
    if n > every:
        sampled = smoothed.isel(time=slice(0, None, every))
        step[::every] = compute_norm(kinematics.compute_backward_displacement(sampled)).values[:, 0]
    xy = smoothed.values[:, :, 0]
    return xy[:, 0].copy(), xy[:, 1].copy(), speed, np.nan_to_num(step, nan=0.0)


def _body_size(positions):
    if "area" in positions and positions["area"].notna().any():
        sizes = np.sqrt(positions["area"].to_numpy(float))
    elif {"w", "h"} <= set(positions):
        sizes = np.sqrt(positions["w"].to_numpy(float) * positions["h"].to_numpy(float))
    else:
        return None
    sizes = sizes[np.isfinite(sizes) & (sizes > 0)]
    return float(np.median(sizes)) if len(sizes) else None


def _rest_speed(positions, settings, notes):
    scale = settings.pixels_per_metre
    if settings.rest_speed is not None:
        unit = "m/s" if scale else "pixels/s"
        notes.append(f"Resting: speed under {settings.rest_speed:g} {unit} for at least {settings.min_rest:g} s.")
        return settings.rest_speed * scale if scale else settings.rest_speed
    size = _body_size(positions)
    if size is None:
        raise ValueError("no mask areas or boxes to size the animals by: give rest_speed")
    threshold = 0.1 * size
    shown = f"{threshold:.1f} pixels/s" + (f" ({threshold / scale:.3f} m/s)" if scale else "")
    notes.append(f"Resting: speed under {shown}, a tenth of the animals' median body size ({size:.1f} pixels, "
                 f"the square root of the mask area) per second, for at least {settings.min_rest:g} s.")
    return threshold


def _animal_frames(rows, grid, zones, settings, rest_speed):
    """Per-frame values of one animal over its span of the grid, and the frames where
    its bouts and visits start, as two tables keyed by grid index."""
    import shapely

    idx = grid.index_of(rows["frame"].to_numpy(np.int64), "positions")
    order = np.argsort(idx)
    idx = idx[order]
    if (np.diff(idx) == 0).any():
        raise ValueError(f"track {rows['track_id'].iloc[0]} has two positions in one frame")
    first, last = int(idx[0]), int(idx[-1])
    span = np.arange(first, last + 1)
    # Frames laid out by their numbers (a frame number skipped within a stretch is a missing frame),
    # stretches apart by more than any fill or smoothing window, so that nothing is interpolated,
    # smoothed or differentiated across a break.
    gap = settings.frames(settings.fill_gap) + settings.frames(settings.smooth) + 2
    steps = np.where(np.diff(grid.stretch[span]) != 0, gap, np.diff(grid.frames[span]))
    laid = np.concatenate([[0], np.cumsum(steps)]).astype(np.int64)
    size = int(laid[-1]) + 1
    at = laid[idx - first]

    def laid_out(column, fill=np.nan):
        values = np.full(size, fill)
        if column in rows:
            values[at] = rows[column].to_numpy(float)[order]
        return values

    x, y, speed, step = _kinematics(laid_out("cx"), laid_out("cy"), laid_out("w", 1.0), laid_out("h", 1.0),
                                    settings)
    tracked = np.zeros(size, bool)
    tracked[at] = True
    valid = np.isfinite(speed)
    resting, rest_starts = _long_runs(valid & (speed < rest_speed), settings.frames(settings.min_rest))
    active = valid & ~resting
    _, active_starts = _long_runs(active, 1)
    events = [("resting_bouts", rest_starts), ("active_bouts", active_starts)]
    values = {"tracked": tracked[laid], "step": step[laid], "speed": speed[laid], "resting": resting[laid],
              "active": active[laid], "x": x[laid], "y": y[laid]}
    placed = np.isfinite(x)
    for name, zone in zones.items():
        inside = np.zeros(size, bool)
        inside[placed] = shapely.intersects_xy(zone.region, x[placed], y[placed])
        visiting, starts = _long_runs(inside, settings.frames(settings.min_visit))
        values[f"zone_{name}"] = visiting[laid]
        events.append((f"zone_{name}_visits", starts))
    frames = pd.DataFrame(values)
    frames["grid"] = span
    # a laid-out start is always a frame of the grid: runs never begin inside a gap
    where = np.full(size, -1, np.int64)
    where[laid] = span
    starts = pd.DataFrame([(name, int(where[s])) for name, found in events for s in found], columns=["event", "grid"])
    return frames, starts


# ------------------------------------------------------------------ aggregation

_BIN_KINDS = ("bin", _DAY, _NIGHT, "all")


def _groupings(grid, index):
    """(kind, key per row) of each way of binning the rows at grid positions `index`."""
    out = []
    if grid.bin_seconds is not None:
        out.append(("bin", grid.bin[index]))
    if grid.origin is not None:
        night = grid.night[index]
        out.append((_DAY, np.where(night, -1, 0)))
        out.append((_NIGHT, np.where(night, 0, -1)))
    out.append(("all", np.zeros(len(index), np.int64)))
    return out


def _bin_edges(grid, kind, key, index):
    """Start and end of each group: the nominal bin for time bins, else the first and last frame."""
    seconds = grid.seconds[index]
    table = pd.DataFrame({"key": key, "s": seconds})
    table = table[table["key"] >= 0]
    span = table.groupby("key")["s"].agg(["min", "max"])
    if kind == "bin":
        start = span.index.to_numpy(float) * grid.bin_seconds
        end = start + grid.bin_seconds
    else:
        start, end = span["min"].to_numpy(), span["max"].to_numpy()
    return pd.DataFrame({"bin_start": grid.time_of(start), "bin_end": grid.time_of(end)}, index=span.index)


def _summarise_animal(frames, starts, grid, zones, settings):
    fps = settings.fps
    out = []
    for kind, key in _groupings(grid, frames["grid"].to_numpy()):
        f = frames.assign(key=key)
        f = f[f["key"] >= 0]
        if f.empty:
            continue
        g = f.groupby("key")
        table = pd.DataFrame({
            "tracked_s": g["tracked"].sum() / fps,
            "missing_s": (g.size() - g["tracked"].sum()) / fps,
            "distance_px": g["step"].sum(),
            "speed_mean_px_s": g["speed"].mean(),
            "speed_p95_px_s": g["speed"].quantile(0.95),
            "active_s": g["active"].sum() / fps,
            "resting_s": g["resting"].sum() / fps,
        })
        event_key = pd.Series(key, index=frames["grid"].to_numpy())
        counted = starts.assign(key=event_key.reindex(starts["grid"].to_numpy()).to_numpy())
        counted = counted[counted["key"] >= 0].groupby(["key", "event"]).size().unstack(fill_value=0)
        for name in ["active_bouts", "resting_bouts"] + [f"zone_{z}_visits" for z in zones]:
            table[name] = counted[name].reindex(table.index, fill_value=0) if name in counted else 0
        for z in zones:
            table[f"zone_{z}_s"] = g[f"zone_{z}"].sum() / fps
        edges = _bin_edges(grid, kind, f["key"].to_numpy(), f["grid"].to_numpy())
        table = edges.join(table)
        table.insert(0, "bin_kind", kind)
        out.append(table.reset_index(drop=True))
    return out


def _contact_tables(contacts, grid, settings):
    """Pair table and per-animal contact time, both by bin kind and key."""
    if contacts is None or contacts.empty:
        return pd.DataFrame(columns=["bin_kind", "key", "track_a", "track_b", "contact_s", "contacts"]), {}
    c = contacts.copy()
    swap = c["track_a"] > c["track_b"]
    c.loc[swap, ["track_a", "track_b"]] = c.loc[swap, ["track_b", "track_a"]].to_numpy()
    c["grid"] = grid.index_of(c["frame"].to_numpy(np.int64), "contacts")
    c = c.drop_duplicates(["grid", "track_a", "track_b"]).sort_values(["track_a", "track_b", "grid"])
    g = c["grid"].to_numpy()
    same_pair = (c["track_a"].diff() == 0) & (c["track_b"].diff() == 0)
    joined = same_pair.to_numpy() & np.concatenate([[False], np.diff(g) == 1]) & np.concatenate(
        [[False], np.diff(grid.stretch[g]) == 0])
    c["starts"] = ~joined
    pairs, per_animal = [], {}
    for kind, key in _groupings(grid, g):
        k = c.assign(key=key)
        k = k[k["key"] >= 0]
        if k.empty:
            continue
        t = k.groupby(["key", "track_a", "track_b"]).agg(contact_s=("grid", "size"), contacts=("starts", "sum"))
        t["contact_s"] = t["contact_s"] / settings.fps
        pairs.append(t.reset_index().assign(bin_kind=kind))
        both = pd.concat([k[["key", "grid", "track_a"]].rename(columns={"track_a": "track_id"}),
                          k[["key", "grid", "track_b"]].rename(columns={"track_b": "track_id"})])
        per_animal[kind] = both.drop_duplicates().groupby(["track_id", "key"]).size() / settings.fps
    return pd.concat(pairs, ignore_index=True), per_animal


def _profile_step(total_seconds):
    """A slot length for the activity heat map: a round duration giving at most about 150 slots."""
    for step in (1, 5, 10, 30, 60, 300, 600, 900, 1800, 3600, 7200, 21600):
        if total_seconds / step <= 150:
            return step
    return 86400


def behaviour_measures(positions, settings, contacts=None, zones=None, frames=None):
    """Behaviour measures of one recording (a camera's sequence) per animal and time bin.

    positions: one row per frame and animal with "frame" (whole frame number
        along the recording), "track_id", "cx", "cy" (the mask's centroid), and
        where known "time" (clock time, or seconds), "area", "w" and "h".
    settings: a `BehaviourSettings`.
    contacts: frame, track_a, track_b (as `track_contacts` gives them), or None.
    zones: {name: polygon of interest} as `read_zones` gives them, or None.
    frames: every frame of the recording that was looked at, with "frame" and
        "time", including frames where no animal was found; by default the
        frames of `positions`. Without times, time is frame / fps seconds.

    Frames within `split_after` seconds of each other form a continuous
    stretch; nothing is interpolated or measured across stretches. Within a
    stretch, frame numbers that were not looked at are gaps like frames
    without a mask (bridged up to `fill_gap`). An animal's span runs from its
    first to its last frame: inside it, frames looked at without its mask are
    missing time.

    Returns a `BehaviourResult` whose table has one row per animal and bin:
    track_id, bin_kind ("bin": a time bin of `settings.bin`; "day" and
    "night" when the times are clock times; "all": the whole recording),
    bin_start, bin_end, tracked_s, missing_s, distance_px, speed_mean_px_s,
    speed_p95_px_s (metres too with a scale), active_s, resting_s,
    active_bouts, resting_bouts, contact_s (time touching any other animal),
    and zone_<name>_s and zone_<name>_visits per zone. Bouts and visits count
    where they start.
    """
    zones = zones or {}
    missing = [c for c in ("frame", "track_id", "cx", "cy") if c not in positions]
    if missing:
        raise ValueError(f"positions lack the column(s) {', '.join(missing)}")
    grid = _grid(positions, frames, settings)
    notes = []
    rest = _rest_speed(positions, settings, notes) if len(positions) else 0.0
    rows, paths, profiles = [], [], []
    slot = _profile_step(float(grid.seconds[-1] - grid.seconds[0]) if len(grid.seconds) else 0.0)
    for track, animal in positions.groupby("track_id", sort=True):
        per_frame, starts = _animal_frames(animal, grid, zones, settings, rest)
        for table in _summarise_animal(per_frame, starts, grid, zones, settings):
            rows.append(table.assign(track_id=track))
        seconds = grid.seconds[per_frame["grid"].to_numpy()]
        thin = max(1, len(per_frame) // 4000)
        paths.append(pd.DataFrame({"track_id": track, "seconds": seconds[::thin],
                                   "x": per_frame["x"].to_numpy()[::thin], "y": per_frame["y"].to_numpy()[::thin]}))
        slots = pd.DataFrame({"slot": np.floor(seconds / slot) * slot, "active": per_frame["active"],
                              "valid": per_frame["active"] | per_frame["resting"], "speed": per_frame["speed"]})
        g = slots.groupby("slot")
        profiles.append(pd.DataFrame({"track_id": track, "active_share": g["active"].sum() / g["valid"].sum(),
                                      "speed_mean_px_s": g["speed"].mean()}).reset_index())
    table = _finish_table(rows, grid, zones, settings)
    pairs, per_animal = _contact_tables(contacts, grid, settings)
    table["contact_s"] = 0.0
    for kind, found in per_animal.items():
        chosen = table["bin_kind"] == kind
        keys = pd.MultiIndex.from_arrays([table.loc[chosen, "track_id"], table.loc[chosen, "_key"]])
        table.loc[chosen, "contact_s"] = found.reindex(keys, fill_value=0.0).to_numpy()
    pairs = _finish_pairs(pairs, table)
    table = table.drop(columns="_key")
    profile = pd.concat(profiles, ignore_index=True) if profiles else pd.DataFrame(
        columns=["slot", "track_id", "active_share", "speed_mean_px_s"])
    profile["slot_start"] = grid.time_of(profile["slot"].to_numpy(float))
    profile.attrs["slot_seconds"] = slot
    notes.append(f"Centroids smoothed by a centred moving mean over {2 * _half_window(settings) + 1} frame(s); "
                 f"gaps up to {settings.fill_gap:g} s bridged by linear interpolation.")
    if zones:
        notes.append(f"Zone visits last at least {settings.min_visit:g} s; shorter stays count neither as visits "
                     "nor as zone time.")
    return BehaviourResult(_order_columns(table, zones, settings), pairs, profile,
                           pd.concat(paths, ignore_index=True) if paths else pd.DataFrame(
                               columns=["track_id", "seconds", "x", "y"]), notes)


def _finish_table(rows, grid, zones, settings):
    if not rows:
        return pd.DataFrame(columns=["track_id", "bin_kind", "bin_start", "bin_end", "_key"])
    table = pd.concat(rows, ignore_index=True)
    # the group key of each row, to join the contact times: the bin's number, or 0
    table["_key"] = 0
    binned = table["bin_kind"] == "bin"
    if grid.bin_seconds:
        start = table.loc[binned, "bin_start"]
        seconds = ((start - grid.origin).dt.total_seconds() if grid.origin is not None else start.astype(float))
        table.loc[binned, "_key"] = np.round(seconds / grid.bin_seconds).astype(np.int64)
    table["bin_kind"] = pd.Categorical(table["bin_kind"], categories=_BIN_KINDS, ordered=True)
    table = table.sort_values(["bin_kind", "bin_start", "track_id"], kind="stable").reset_index(drop=True)
    table["bin_kind"] = table["bin_kind"].astype(str)
    if settings.pixels_per_metre:
        scale = settings.pixels_per_metre
        table["distance_m"] = table["distance_px"] / scale
        table["speed_mean_m_s"] = table["speed_mean_px_s"] / scale
        table["speed_p95_m_s"] = table["speed_p95_px_s"] / scale
    return table


def _finish_pairs(pairs, table):
    columns = ["bin_kind", "bin_start", "bin_end", "track_a", "track_b", "contact_s", "contacts"]
    if pairs.empty:
        return pd.DataFrame(columns=columns)
    edges = table[["bin_kind", "_key", "bin_start", "bin_end"]].drop_duplicates(["bin_kind", "_key"])
    pairs = pairs.merge(edges, left_on=["bin_kind", "key"], right_on=["bin_kind", "_key"], how="left")
    return pairs[columns].sort_values(["bin_kind", "bin_start", "track_a", "track_b"]).reset_index(drop=True)


def _order_columns(table, zones, settings):
    columns = ["track_id", "bin_kind", "bin_start", "bin_end", "tracked_s", "missing_s", "distance_px",
               "speed_mean_px_s", "speed_p95_px_s"]
    if settings.pixels_per_metre:
        columns += ["distance_m", "speed_mean_m_s", "speed_p95_m_s"]
    columns += ["active_s", "resting_s", "active_bouts", "resting_bouts", "contact_s"]
    for z in zones:
        columns += [f"zone_{z}_s", f"zone_{z}_visits"]
    return table.reindex(columns=columns)


def write_behaviour_tables(tables, out_dir, stem="behaviour"):
    """Writes each table of {suffix: DataFrame} as <stem><suffix>.csv and .parquet into
    `out_dir` (each replaced in one step); returns the paths. Parquet needs pyarrow."""
    from .files import write_atomic

    os.makedirs(out_dir, exist_ok=True)
    written = []
    for suffix, table in tables.items():
        base = os.path.join(out_dir, f"{stem}{suffix}")
        written.append(write_atomic(base + ".csv", lambda tmp: table.to_csv(tmp, index=False)))
        written.append(write_atomic(base + ".parquet", lambda tmp: table.to_parquet(tmp, index=False)))
    return written
