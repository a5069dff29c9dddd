"""The checks a run makes before any work, for every camera of its lab.

Each check is a function of the catalogue (the videos found, their frame rates,
lengths and sizes) and the lab (each camera's pen, crop and head count), and
says what is wrong in one line naming the camera or the video. The run prints
every line found and stops with exit status 2 before anything is started.

Rules that are ours to choose, as docs/run.md states them:

- A file name whose date or time cannot be (20240231, minute 61) is left out
  of the run with a warning naming it; the rest of the recordings run.
- A time step must give each segment at least one frame, and the run at most
  `max_links` links (1,000,000 by default: a week of ten pens at 0.1 minutes is
  about 460,000).
- An orange region is taken for the marker only when it covers at least 0.01%
  and at most 5% of the frame, is at least 4 pixels across each way, and lies
  inside the lab file's `marker_area` when one is given.
- At least 90% of the pen polygon's area must lie inside the cropped frame (the
  polygon is drawn in the cropped frame's coordinates).
"""

from __future__ import annotations

import dataclasses
import math
from datetime import datetime
from typing import Optional

from .decoder_log import decoder_messages
from .lab import MARKER, NO_CROP

__all__ = ["CropDecision", "DEFAULT_MAX_LINKS", "MARKER_MAX_SHARE", "MARKER_MIN_SHARE", "MARKER_MIN_SIDE",
           "PEN_MIN_INSIDE", "crop_fault", "estimated_links", "impossible_names", "marker_fault",
           "camera_faults", "no_marker_fault", "pen_fault", "time_step_faults", "unknown_cameras", "WAYS_OUT"]

DEFAULT_MAX_LINKS = 1_000_000
MARKER_MIN_SHARE, MARKER_MAX_SHARE, MARKER_MIN_SIDE = 0.0001, 0.05, 4
PEN_MIN_INSIDE = 0.9
WAYS_OUT = "give --crop-box X1,Y1,X2,Y2 or --no-crop, or set the camera's crop in the lab file"


def _box_text(box):
    return ",".join(str(int(v)) for v in box)


def _size_text(size):
    return f"{size[0]} x {size[1]}"


# ------------------------------------------------------------------ names


def impossible_names(table):
    """(the catalogue without the videos whose names give no real date and time, one warning
    line naming those, or None)."""
    def real(date, clock):
        try:
            datetime.strptime(date + clock, "%Y%m%d%H:%M:%S")
        except ValueError:
            return False
        return True

    ok = [real(d, t) for d, t in zip(table["Date"], table["Time"])]
    bad = list(table.loc[[not k for k in ok], "Video Name"])
    if not bad:
        return table, None
    shown = ", ".join(bad[:5]) + (f" and {len(bad) - 5} more" if len(bad) > 5 else "")
    return table[ok], (f"Left out {len(bad)} video(s) whose names give a date or time that cannot be "
                       f"(Camera<N>_<n>_<YYYYMMDDhhmmss>.mp4): {shown}.")


# ------------------------------------------------------------------ time step


def _round_up(value, digits=2):
    """`value` rounded up to `digits` significant digits, so that the shortest step said works."""
    scale = 10 ** (digits - 1 - math.floor(math.log10(value)))
    return math.ceil(value * scale) / scale


def estimated_links(minutes, time_step):
    """Links a video of `minutes` gives at `time_step` (a video that cannot be opened is one)."""
    return max(1, math.ceil(minutes / time_step)) if minutes else 1


def time_step_faults(videos, time_step, max_links=DEFAULT_MAX_LINKS):
    """Lines saying why `time_step` (minutes) cannot be run on `videos` (Recordings): a segment
    shorter than one frame, or more links than `max_links`."""
    faults = []
    readable = [v for v in videos if v.info is not None and v.info.fps > 0]
    if readable:
        slowest = min(readable, key=lambda v: v.info.fps)
        name, info = slowest.name, slowest.info
        # extraction counts frames at the whole frame rate
        per_segment = int(info.fps) * 60 * time_step
        if per_segment < 1:
            shortest = _round_up(1 / (60 * max(1, int(info.fps))))
            faults.append(f"--time-step {time_step:g} gives segments of {per_segment:.3g} frames in {name} "
                          f"({info.fps:g} frames per second); a segment needs at least one frame: "
                          f"--time-step {shortest:.2g} or more")
    total = sum(estimated_links(v.info.minutes if v.info else 0, time_step) for v in videos)
    if total > max_links:
        faults.append(f"--time-step {time_step:g} makes about {total:,} links of {len(videos)} video(s), more than "
                      f"the limit of {max_links:,}: choose a longer --time-step, a shorter time window "
                      "(--start/--end) or fewer cameras, or raise --max-links")
    return faults


# ------------------------------------------------------------------ cameras


def unknown_cameras(lab, found):
    """(faults: lab cameras without videos, notes: cameras with videos the lab leaves out)."""
    found = {c: found[c] for c in sorted(found, key=lambda c: (len(c), c))}  # camera -> number of videos
    where = f"{lab.path}: " if lab.path else ""
    listed = ", ".join(found) or "none"
    faults = [f"{where}camera {c}: no video of camera {c} in the recordings (cameras found: {listed})"
              for c in lab.cameras if c not in found]
    notes = [f"Camera {c}: {n} video(s) left out, the lab file does not name the camera."
             for c, n in found.items() if c not in lab.cameras]
    return faults, notes


def crop_fault(camera, crop, frame_size, video):
    """Why a given crop box does not fit the camera's frames (`video` is one of that size), or None."""
    if crop in (MARKER, NO_CROP):
        return None
    width, height = frame_size
    x1, y1, x2, y2 = crop
    if 0 <= x1 < x2 <= width and 0 <= y1 < y2 <= height:
        return None
    return (f"camera {camera}: the crop box {_box_text(crop)} does not fit its {_size_text(frame_size)} frames "
            f"({video}); x2 and y2 may be at most {width} and {height}")


@dataclasses.dataclass(frozen=True)
class CropDecision:
    """A camera's crop as found before work: the box in use (None: whole frames) and where it
    came from."""

    camera: str
    box: Optional[tuple]
    frame_size: tuple
    source: str  # the video whose first frame gave it, or "" when none was looked at
    orange: Optional[tuple] = None

    @property
    def cropped_size(self):
        """Width and height of the frames extraction writes: the box clamped to the frame."""
        width, height = self.frame_size
        if self.box is None:
            return width, height
        x1, y1, x2, y2 = self.box
        return max(0, min(x2, width) - max(x1, 0)), max(0, min(y2, height) - max(y1, 0))


def marker_fault(camera, orange, frame_size, video, marker_area=None):
    """Why the orange region found in `video`'s first frame is not to be taken for the camera's
    marker (too small, too large, or not inside the lab file's marker area), or None."""
    x1, y1, x2, y2 = orange
    w, h = x2 - x1, y2 - y1
    frame_area = frame_size[0] * frame_size[1]
    found = f"the orange region found in {video} ({w} x {h} pixels at x={x1}, y={y1})"
    why = None
    if w < MARKER_MIN_SIDE or h < MARKER_MIN_SIDE or w * h < MARKER_MIN_SHARE * frame_area:
        why = (f"is too small for the marker (a marker covers at least {MARKER_MIN_SHARE:.2%} of the "
               f"{_size_text(frame_size)} frame and {MARKER_MIN_SIDE} pixels each way)")
    elif w * h > MARKER_MAX_SHARE * frame_area:
        why = (f"is too large for the marker ({w * h / frame_area:.1%} of the {_size_text(frame_size)} frame; "
               f"a marker covers at most {MARKER_MAX_SHARE:.0%})")
    elif marker_area is not None and not (marker_area[0] <= x1 and marker_area[1] <= y1
                                          and x2 <= marker_area[2] and y2 <= marker_area[3]):
        why = f"lies outside the marker_area {_box_text(marker_area)} of the lab file"
    if why is None:
        return None
    return f"camera {camera}: {found} {why}: {WAYS_OUT}"


def no_marker_fault(camera, tried):
    """The line for a camera none of whose videos' first frames show orange."""
    return (f"camera {camera}: no orange marker in the first frame of {tried} video(s); {WAYS_OUT}")


def pen_fault(camera, pen_path, polygon, cropped_size):
    """Why the pen polygon does not lie inside the cropped frames (of `cropped_size`), or None."""
    import herdmask as hm

    width, height = cropped_size
    xs = [float(p[0]) for p in polygon]
    ys = [float(p[1]) for p in polygon]
    # shoelace area of the polygon as drawn
    area = abs(sum(xs[i] * ys[i - 1] - xs[i - 1] * ys[i] for i in range(len(xs)))) / 2
    if area <= 0:
        return f"camera {camera}: the pen polygon in {pen_path} encloses no area"
    if width <= 0 or height <= 0:
        return f"camera {camera}: the crop leaves no pixels of its frames"
    try:
        # the share of the frame rectangle inside the polygon gives the area they have in common
        (share,), _ = hm.calculate_pen_intersection_ratio(polygon, [(0, 0, width, height)], 0)
    except Exception as exc:  # noqa: BLE001 - a polygon the geometry cannot take is the user's file
        return f"camera {camera}: the pen polygon in {pen_path} cannot be used: {' '.join(str(exc).split())}"
    inside = share / 100 * width * height / area
    if inside >= PEN_MIN_INSIDE:
        return None
    return (f"camera {camera}: only {inside:.0%} of the pen polygon in {pen_path} lies inside the "
            f"{_size_text(cropped_size)} cropped frames (it spans x {min(xs):g} to {max(xs):g}, y {min(ys):g} to "
            f"{max(ys):g}); the polygon is drawn on the cropped frame: check the pen file or the crop")


def _marker_decision(setup, readable):
    """(CropDecision, None) from the first video whose first frame shows orange, or (None, fault)."""
    import herdmask as hm

    finder = hm.VideoProcessor()
    for video in readable:
        try:
            with decoder_messages():  # the probe said what there is to say about the video
                frame = hm.read_frame(video.path, 0)
        except hm.UnreadableVideoError:
            continue
        finding = finder.find_crop_box(frame)
        if finding is None:
            continue
        fault = marker_fault(setup.camera, finding.orange, finding.frame_size, video.name, setup.marker_area)
        if fault:
            return None, fault
        return CropDecision(setup.camera, tuple(finding.box), tuple(finding.frame_size), video.name,
                            tuple(finding.orange)), None
    return None, no_marker_fault(setup.camera, len(readable))


def camera_faults(setup, videos):
    """(CropDecision or None, fault lines) of one camera: its crop against its frames, the marker
    when it crops by the marker, and its pen polygon against the cropped frames. `videos` are
    the camera's Recordings in time order."""
    import herdmask as hm

    readable = [v for v in videos if v.info is not None]
    if not readable:
        return None, []  # its links say that no video can be opened
    sizes = {}
    for v in readable:
        sizes.setdefault((v.info.width, v.info.height), v.name)
    faults = [f for size, name in sizes.items() for f in [crop_fault(setup.camera, setup.crop, size, name)] if f]
    if faults:
        return None, faults
    size, first = next(iter(sizes.items()))
    if setup.crop == MARKER:
        decision, fault = _marker_decision(setup, readable)
        if fault:
            return None, [fault]
    else:
        decision = CropDecision(setup.camera, None if setup.crop == NO_CROP else tuple(setup.crop), size, "")
    polygon = hm.draw_pen(None, setup.pen, drawout=False)
    fault = pen_fault(setup.camera, setup.pen, polygon, decision.cropped_size)
    return decision, [fault] if fault else []
