"""`herdmask init RECORDINGS_DIR`: a first lab file from what the recordings hold.

For every camera found it probes the videos (how many, when, how long, the
frame size), looks for the orange marker in the first frame of its first
readable video, and writes into the lab folder:

    lab.toml                          the lab file (see `lab`), one [cameras.N] table per camera
    cameras/camera_<N>.jpg            the frame as tracking will see it (cropped): draw the pen on it
    cameras/camera_<N>_overview.png   the whole frame with the crop box, the marker and the pen drawn

A marker that the run's checks would refuse is not used: the camera is then
set to whole frames (crop = "none") and the file says why.
"""

from __future__ import annotations

import os
import sys
from datetime import datetime

import herdmask as hm

from . import checks, exits, lab, recordings
from .decoder_log import decoder_messages, summary
from .files import write_atomic, write_text

__all__ = ["add_parser", "init_command", "write_lab"]

LAB_FILE = "lab.toml"
OVERVIEW_WIDTH = 1280


def add_parser(sub):
    p = sub.add_parser(
        "init", help="write a first lab file for the cameras found in RECORDINGS_DIR",
        description="Find the cameras in RECORDINGS_DIR and its sub-folders (file names "
                    "Camera<N>_<n>_<YYYYMMDDhhmmss>.mp4), probe their videos, look for each camera's orange marker, "
                    f"and write LAB_DIR/{LAB_FILE} with one table per camera (pen polygon file, crop, animals, zones) "
                    "and, per camera, a frame to draw the pen polygon on. Exit status: 0 written, 2 bad input.")
    p.add_argument("recordings_dir", metavar="RECORDINGS_DIR")
    p.add_argument("--out", default="lab", metavar="LAB_DIR", help="the lab folder (default: lab)")
    p.add_argument("--force", action="store_true", help=f"write {LAB_FILE} again when it exists")
    p.set_defaults(handler=init_command)
    return p


def _toml_text(value):
    """A TOML value: JSON's string escapes are TOML's."""
    import json

    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_toml_text(v) for v in value) + "]"
    return str(value)


def _rgb(frame):
    from PIL import Image

    return Image.fromarray(frame[:, :, ::-1].copy())


def _grown(box, frame_size):
    """The marker's region grown by its own size (at least 50 pixels) each way, inside the frame:
    where the lab file says the marker is."""
    x1, y1, x2, y2 = box
    dx, dy = max(50, x2 - x1), max(50, y2 - y1)
    return [max(0, x1 - dx), max(0, y1 - dy), min(frame_size[0], x2 + dx), min(frame_size[1], y2 + dy)]


def _overview(frame, box, orange, pen, dest):
    from PIL import ImageDraw

    image = _rgb(frame)
    draw = ImageDraw.Draw(image)
    line = max(2, image.width // 400)
    if pen is not None:
        try:
            polygon = hm.draw_pen(None, pen, drawout=False)
        except Exception:  # noqa: BLE001 - a pen file not drawn yet, or not usable: nothing to show
            polygon = []
        if len(polygon) >= 3:
            ox, oy = (max(0, box[0]), max(0, box[1])) if box else (0, 0)
            points = [(x + ox, y + oy) for x, y in polygon]
            draw.line(points + points[:1], fill=(255, 40, 40), width=line)
    if box is not None:
        draw.rectangle((box[0], box[1], box[2] - 1, box[3] - 1), outline=(0, 200, 255), width=line)
    if orange is not None:
        draw.rectangle((orange[0], orange[1], orange[2] - 1, orange[3] - 1), outline=(255, 0, 255), width=line)
    scale = min(1.0, OVERVIEW_WIDTH / image.width)
    image = image.resize((max(1, round(image.width * scale)), max(1, round(image.height * scale))))
    return write_atomic(dest, image.save)


class _Camera:
    """What init found for one camera and writes about it."""

    def __init__(self, camera, videos):
        self.camera, self.videos = camera, videos
        self.readable = [v for v in videos if v.info is not None]
        self.crop, self.marker_area, self.comments = "none", None, []
        self.frame = self.box = self.orange = self.source = None

    def describe(self):
        sizes = sorted({(v.info.width, v.info.height) for v in self.readable})
        hours = sum(v.info.minutes for v in self.readable) / 60
        first, last = self.videos[0], self.videos[-1]
        text = (f"{len(self.videos)} video(s) starting {_when(first)} to {_when(last)}, {hours:.1f} hours, "
                + (", ".join(f"{w} x {h}" for w, h in sizes) + " frames" if sizes else "none can be opened"))
        unreadable = len(self.videos) - len(self.readable)
        return text + (f"; {unreadable} cannot be opened" if unreadable and self.readable else "")

    def look(self):
        """Finds the marker in the first readable video's first frame and decides the crop."""
        for video in self.readable:
            try:
                with decoder_messages():
                    self.frame = hm.read_frame(video.path, 0)
            except hm.UnreadableVideoError:
                continue
            size = (self.frame.shape[1], self.frame.shape[0])
            finding = hm.VideoProcessor().find_crop_box(self.frame)
            if finding is None:
                self.comments.append(f"no orange marker in the first frame of {video.name}: whole frames; give "
                                     "crop = [x1, y1, x2, y2] to crop them")
                return
            self.orange = tuple(finding.orange)
            fault = checks.marker_fault(self.camera, finding.orange, size, video.name)
            if fault:
                why = fault.split(": ", 1)[1].rsplit(": give", 1)[0]
                self.comments.append(f"{why}: whole frames; give crop = [x1, y1, x2, y2] to crop them")
                return
            self.crop, self.box, self.source = "marker", tuple(finding.box), video.path
            self.marker_area = _grown(finding.orange, size)
            o = finding.orange
            self.comments.append(f"marker found in {video.name}: {o[2] - o[0]} x {o[3] - o[1]} pixels at "
                                 f"x={o[0]}, y={o[1]}; marker_area is where a run accepts it")
            return

    def table(self, pen, pictures):
        lines = [f"[cameras.{self.camera}]", f"# {self.describe()}"]
        lines += [f"# {c}" for c in self.comments]
        if self.frame is not None:
            lines.append(f"# draw the pen on {pictures}/camera_{self.camera}.jpg, check the crop on "
                         f"{pictures}/camera_{self.camera}_overview.png")
        lines.append(f"crop = {_toml_text(self.crop)}")
        if self.marker_area is not None:
            lines.append(f"marker_area = {_toml_text(self.marker_area)}")
        if pen is not None:
            lines.append(f"pen = {_toml_text(pen)}")
        lines.append(f'# zones = "zones/camera_{self.camera}.json"')
        return "\n".join(lines) + "\n"


def _when(video):
    return datetime.strptime(video.date + video.time, "%Y%m%d%H:%M:%S").strftime("%Y-%m-%d %H:%M")


def write_lab(recordings_dir, lab_dir, force=False):
    """Writes the lab folder; returns (lab file path, lines to print). Raises ValueError with one
    line for bad input."""
    recordings_dir = os.path.abspath(recordings_dir)
    if not os.path.isdir(recordings_dir):
        raise ValueError(f"no such folder: {recordings_dir}")
    lab_dir = os.path.abspath(lab_dir)
    path = os.path.join(lab_dir, LAB_FILE)
    if os.path.exists(path) and not force:
        raise ValueError(f"{path} exists; give --force to write it again, or another --out")
    table, warnings, faults = recordings.catalogue([recordings_dir])
    if faults:
        raise ValueError(faults[0])
    if table.empty:
        raise ValueError(f"no video named Camera<N>_<n>_<YYYYMMDDhhmmss>.mp4 in {recordings_dir} or its "
                         "sub-folders")
    found = recordings.probe(table)
    lines = list(warnings)
    for r in found.values():
        if r.decoder:
            lines.append(f"{r.name}: the decoder reported: {summary(r.decoder)}")
    shared_pen = os.path.join(recordings_dir, "pen_polygon.json")
    shared_pen = shared_pen if os.path.isfile(shared_pen) else None
    pictures = "cameras"
    tables = []
    for camera, videos in recordings.by_camera(found).items():
        cam = _Camera(camera, videos)
        cam.look()
        own = os.path.join("pens", f"camera_{camera}.json")
        pen = own if os.path.isfile(os.path.join(lab_dir, own)) or shared_pen is None else None
        if cam.frame is not None:
            # the frame as extraction cuts it
            cropped = cam.frame if cam.box is None else hm.read_frame(cam.source, 0, cam.box)
            write_atomic(os.path.join(lab_dir, pictures, f"camera_{camera}.jpg"), _rgb(cropped).save)
            _overview(cam.frame, cam.box, cam.orange, os.path.join(lab_dir, pen) if pen else shared_pen,
                      os.path.join(lab_dir, pictures, f"camera_{camera}_overview.png"))
        tables.append(cam.table(pen, pictures))
        todo = f"; draw its pen on {pictures}/camera_{camera}.jpg and save it as {own}" if pen and not \
            os.path.isfile(os.path.join(lab_dir, own)) else ""
        lines.append(f"Camera {camera}: {cam.describe()}; crop {cam.crop}" + (f" ({cam.comments[0]})" if
                                                                               cam.crop == "none" else "") + todo)
    head = [f"# herdmask lab file, written by `herdmask init` on {datetime.now():%Y-%m-%d %H:%M} from "
            f"{recordings_dir}.",
            "# Per camera: pen (the pen polygon file, drawn on the cropped frame: {\"shapes\": [{\"label\": \"pen\", ",
            "# \"points\": [[x, y], ...]}]}), crop (\"marker\", \"none\" or [x1, y1, x2, y2] in the whole frame),",
            "# marker_area (where the orange marker must be found), animals (the head count of the pen) and",
            "# zones (named polygons for the behaviour measures). [defaults] holds what every camera shares.",
            f"# Then: herdmask run --lab {path} --out OUT", "",
            f"recordings = {_toml_text([recordings_dir])}", "", "[defaults]", f"animals = {lab.DEFAULT_ANIMALS}"]
    if shared_pen:
        head.append(f"pen = {_toml_text(shared_pen)}")
    write_text(path, "\n".join(head) + "\n\n" + "\n".join(tables))
    lines.append(f"Lab file: {path}")
    lines.append(f"Next: check each camera's table there, then herdmask run --lab {path} --out OUT")
    return path, lines


def init_command(args):
    try:
        _, lines = write_lab(args.recordings_dir, args.out, args.force)
    except ValueError as exc:
        print(f"herdmask init: {exc}", file=sys.stderr)
        return exits.BAD_INPUT
    for line in lines:
        print(line)
    return exits.OK
