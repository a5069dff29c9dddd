"""A synthetic recording for the demo and the driver's tests.

The generated scene mimics fixed ceiling cameras, each over one pen: 2560
pixels wide like the real cameras, so the crop rule's constants (which assume
that width) cut out the pen strip on the right, with an orange marker at the top
right that the crop detection finds. Ten pink ellipses (the animals) move slowly
on a dark floor; two of them start out touching and separate, and for a while
one animal walks over another, which gives the review steps something to find.
Consecutive videos of a camera continue the same motion, so identities can be
carried over, and every animal's true position is known: `truth.csv` beside the
recording lists it per camera, video and frame. The "restart" preset turns the
lights off for the first frames of every video after a camera's first: the
matcher's tries on a segment's first frames see no animal, so the segment's
identities restart with the start-frame search, which finds them once the
lights are back.

Frames are drawn with NumPy and encoded as MPEG-4 part 2 in MP4 by the FFmpeg
binary the imageio-ffmpeg package carries (the `app` extra): nothing here needs
OpenCV's Python bindings, whose GUI build does not load on a server without X11
libraries.
"""

from __future__ import annotations

import csv
import dataclasses
import io
import json
import math
import os
import subprocess
from datetime import datetime, timedelta

import numpy as np

from .files import write_atomic, write_text

__all__ = ["PRESETS", "TRUTH_COLUMNS", "SamplePreset", "SampleRecording", "make_sample_recording",
           "render_frame"]

FRAME_WIDTH = 2560  # the width the crop rule is written for
FLOOR_RGB = (74, 66, 58)
WALL_RGB = (92, 98, 96)
PIG_RGB = (236, 188, 178)
PIG_EDGE_RGB = (205, 150, 140)
ORANGE_RGB = (255, 140, 0)
MARKER_W = 30
SUBPIXELS = 4  # samples per pixel side for the smoothed edges of the animals


@dataclasses.dataclass(frozen=True)
class SamplePreset:
    """Size of a synthetic recording.

    `crop_width` is the width of the pen strip kept by the crop rule: the marker
    is placed so that the rule's box starts `crop_width` columns from the right
    edge. It must stay at most 340 so that the marker reaches column 2300, which
    is what makes the rule keep the strip up to the right edge.
    """

    crop_width: int = 320
    height: int = 240
    fps: int = 10
    frames_per_video: int = 48
    videos: int = 3
    cameras: int = 2
    animals: int = 10
    seed: int = 7
    # frames at the start of every video but a camera's first in which the pen is dark
    dark_start_frames: int = 0

    def __post_init__(self):
        if not 120 <= self.crop_width <= 340:
            raise ValueError(f"crop_width must lie in 120..340, got {self.crop_width}")
        if self.height < 96:
            raise ValueError(f"height must be at least 96, got {self.height}")
        if self.frames_per_video < 30:
            raise ValueError(f"frames_per_video must be at least 30, got {self.frames_per_video}")
        if self.animals < 1 or self.animals > 10:
            raise ValueError(f"animals must lie in 1..10, got {self.animals}")
        if self.videos < 1 or self.cameras < 1:
            raise ValueError(f"videos and cameras must be at least 1, got {self.videos} and {self.cameras}")
        if not 0 <= self.dark_start_frames <= self.frames_per_video - 20:
            raise ValueError(f"dark_start_frames must lie in 0..frames_per_video - 20, got {self.dark_start_frames}")


PRESETS = {
    "demo": SamplePreset(),
    # small frames and a few seconds per video, for tests: one camera with two videos, and the
    # demo's two cameras with three videos each
    "tiny": SamplePreset(crop_width=192, height=128, fps=10, frames_per_video=30, videos=2, cameras=1),
    "chain": SamplePreset(crop_width=192, height=128, fps=10, frames_per_video=30),
    # the lights come on 2.5 s into every later video: the matcher tries the segment's frames 0,
    # 10 and 20 (frame n of a folder is the video's frame n + 1) in the dark, the start-frame search
    # finds the animals at frame 30; one segment of 0.1 minutes per video
    "restart": SamplePreset(crop_width=192, height=128, fps=10, frames_per_video=60, videos=3, cameras=1,
                            dark_start_frames=25),
}


TRUTH_COLUMNS = ["camera", "video", "frame", "animal", "cx", "cy", "x1", "y1", "x2", "y2"]


@dataclasses.dataclass
class SampleRecording:
    """Where a generated recording went."""

    base_dir: str
    sub_dir: str
    video_paths: list  # camera by camera, each camera's videos in time order
    pen_json_path: str
    preset: SamplePreset
    crop_box: tuple  # the box the crop rule is expected to give
    cameras: list = dataclasses.field(default_factory=list)  # camera numbers, as in the file names
    truth_path: str = None


def _video_name(camera: int, seq: int, start: datetime) -> str:
    return f"Camera{camera}_{seq}_{start.strftime('%Y%m%d%H%M%S')}.mp4"


class _Scene:
    """Positions of the animals at any time, in pen (cropped) coordinates."""

    def __init__(self, preset: SamplePreset, seed=None):
        self.p = preset
        w, h = preset.crop_width, preset.height
        rng = np.random.RandomState(preset.seed if seed is None else seed)
        # Ellipse size from the pen size: ten animals take roughly an eighth of the pen.
        self.a = max(7.0, w / 18.0)
        self.b = self.a * 0.5
        top, bottom = 0.22 * h + self.b, h - 10 - self.b
        left, right = 10 + self.a, w - 10 - self.a
        cols = 5
        rows = math.ceil(preset.animals / cols)
        self.base = []
        for i in range(preset.animals):
            r, c = divmod(i, cols)
            x = left + (right - left) * (c + 0.5) / cols
            y = top + (bottom - top) * (r + 0.5) / max(rows, 1)
            self.base.append((x, y))
        self.base = np.array(self.base, dtype=float)
        self.angle = rng.uniform(-25, 25, preset.animals)
        self.phase = rng.uniform(0, 2 * math.pi, preset.animals)
        self.amp = (right - left) / cols * 0.06
        n = preset.frames_per_video
        # Two animals (0 and 1) start out touching and part within the first few frames.
        self.part_until = max(4.0, 0.2 * n)
        # The last animal walks over its neighbour late in the first video, after
        # the start frame (frame 10) and before the last frames.
        self.stack_centre = 0.7 * n
        self.stack_half = max(3.0, 0.2 * n)

    def state(self, t: float):
        """Centres and angles of all animals at time t (frames since the recording started)."""
        p = self.p
        centres = self.base.copy()
        centres[:, 0] += self.amp * np.sin(0.09 * t + self.phase)
        centres[:, 1] += 0.6 * self.amp * np.cos(0.07 * t + self.phase)
        angles = self.angle + 8.0 * np.sin(0.05 * t + self.phase)
        if p.animals >= 2 and t < self.part_until:
            # animal 1 slides towards animal 0 until they touch at t = 0
            gap = centres[1, 0] - centres[0, 0]
            pull = (gap - 2 * self.a + 1) * (1 - t / self.part_until)
            centres[1, 0] -= pull
            centres[1, 1] = centres[0, 1] + 0.3 * self.b
            angles[0] = angles[1] = 0.0
        if p.animals >= 4:
            top_i, under_i = p.animals - 1, p.animals - 2
            d = abs(t - self.stack_centre)
            if d < self.stack_half:
                # fraction of the way from its own place onto the neighbour's
                f = min(1.0, 1.25 * (1 - d / self.stack_half))
                centres[top_i] = (1 - f) * centres[top_i] + f * centres[under_i]
                angles[top_i] = (1 - f) * angles[top_i] + f * angles[under_i]
        return centres, angles


def _draw_animal(frame, centre, axes, angle):
    """Draws one animal into the RGB `frame`: an ellipse centred on the pixel `centre` (x, y) with
    whole-pixel half-axes, turned by `angle` degrees, filled in the body colour and edged in the
    edge colour, smoothed. Each pixel takes the mean colour of SUBPIXELS x SUBPIXELS samples: the
    edge colour within a pixel of the outline (a smoothed one-pixel line covers about that), the
    body colour inside it, the pixel's own colour outside."""
    (cx, cy), (a, b) = centre, axes
    height, width = frame.shape[:2]
    reach = max(a, b) + 2
    x0, x1 = max(cx - reach, 0), min(cx + reach + 1, width)
    y0, y1 = max(cy - reach, 0), min(cy + reach + 1, height)
    if x0 >= x1 or y0 >= y1:
        return
    offsets = (np.arange(SUBPIXELS, dtype=np.float32) + 0.5) / SUBPIXELS - 0.5
    xs = (np.arange(x0 - cx, x1 - cx, dtype=np.float32)[:, None] + offsets).ravel()
    ys = (np.arange(y0 - cy, y1 - cy, dtype=np.float32)[:, None] + offsets).ravel()
    cos, sin = math.cos(math.radians(angle)), math.sin(math.radians(angle))
    u = xs[None, :] * cos + ys[:, None] * sin  # along the long axis
    v = ys[:, None] * cos - xs[None, :] * sin
    radius = np.sqrt((u / a) ** 2 + (v / b) ** 2)
    # distance to the outline, to first order: the radius's excess over its gradient's length
    gradient = np.sqrt((u / a**2) ** 2 + (v / b**2) ** 2) / np.maximum(radius, 1e-9)
    distance = (radius - 1) / np.maximum(gradient, 1e-9)
    edge = np.abs(distance) <= 1
    inside = (distance < 0) & ~edge
    shape = (y1 - y0, SUBPIXELS, x1 - x0, SUBPIXELS)
    edge_share = edge.reshape(shape).mean(axis=(1, 3))[..., None]
    inside_share = inside.reshape(shape).mean(axis=(1, 3))[..., None]
    patch = frame[y0:y1, x0:x1].astype(np.float32)
    patch = (patch * (1 - edge_share - inside_share) + np.float32(PIG_EDGE_RGB) * edge_share
             + np.float32(PIG_RGB) * inside_share)
    frame[y0:y1, x0:x1] = np.rint(patch).astype(np.uint8)


def render_frame(scene: _Scene, t: float, marker_x1: int, dark: bool = False) -> np.ndarray:
    """One full-width RGB frame of the scene at time t; `dark` dims everything but the marker."""
    p = scene.p
    x0 = FRAME_WIDTH - p.crop_width
    row = np.empty((FRAME_WIDTH, 3), np.uint8)
    row[:x0], row[x0:] = WALL_RGB, FLOOR_RGB
    frame = np.empty((p.height, FRAME_WIDTH, 3), np.uint8)
    frame[:] = row  # a whole row at a time: far quicker than a colour broadcast over the frame
    centres, angles = scene.state(t)
    axes = (int(round(scene.a)), int(round(scene.b)))
    for (cx, cy), ang in zip(centres, angles):
        _draw_animal(frame, (int(round(cx)) + x0, int(round(cy))), axes, float(ang))
    if dark:
        frame //= 4
    marker_h = max(8, p.height // 14)
    frame[3 : 3 + marker_h, marker_x1 : marker_x1 + MARKER_W] = ORANGE_RGB
    return frame


def true_boxes(scene: _Scene, t: float):
    """Centres and boxes (x1, y1, x2, y2, one past the last pixel) of every animal at time t; a box
    holds the drawn ellipse with its one-pixel smoothed edge."""
    centres, angles = scene.state(t)
    a, b = round(scene.a) + 1, round(scene.b) + 1
    th = np.radians(angles)
    half_w = np.sqrt((a * np.cos(th)) ** 2 + (b * np.sin(th)) ** 2)
    half_h = np.sqrt((a * np.sin(th)) ** 2 + (b * np.cos(th)) ** 2)
    cx, cy = np.round(centres[:, 0]), np.round(centres[:, 1])
    boxes = np.stack([cx - half_w, cy - half_h, cx + half_w + 1, cy + half_h + 1], axis=1)
    return centres, np.round(boxes).astype(int)


def _write_video(path, scene, preset, first_t, marker_x1, dark_frames=0):
    from .render import ffmpeg_executable

    command = [ffmpeg_executable(), "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24",
               "-s", f"{FRAME_WIDTH}x{preset.height}", "-r", str(preset.fps), "-i", "-",
               # MPEG-4 part 2 at a fine quantiser: the flat colours keep the files small
               "-c:v", "mpeg4", "-q:v", "2", "-pix_fmt", "yuv420p", "-f", "mp4"]

    def write(tmp):
        encoder = subprocess.Popen([*command, tmp], stdin=subprocess.PIPE, stderr=subprocess.PIPE)
        complete = False
        try:
            with encoder.stdin:
                for i in range(preset.frames_per_video):
                    frame = render_frame(scene, first_t + i, marker_x1, dark=i < dark_frames)
                    encoder.stdin.write(frame.tobytes())
            complete = True
        except BrokenPipeError:
            pass  # FFmpeg stopped early: what it printed says why
        except BaseException:
            encoder.kill()
            raise
        finally:
            errors = encoder.stderr.read().decode(errors="replace").strip()
            encoder.wait()
        if not complete or encoder.returncode != 0:
            raise OSError(f"FFmpeg could not write the sample video {path}: {errors or 'no message'}")

    write_atomic(path, write)


def make_sample_recording(out_dir, preset: SamplePreset | str = "demo", camera: int = 1,
                          start: str = "20240501100000", sub_dir: str = "day1",
                          marker: bool = True) -> SampleRecording:
    """Write a synthetic recording under `out_dir` and say where it went.

    Layout: `out_dir/<sub_dir>/Camera<N>_<seq>_<YYYYMMDDhhmmss>.mp4`, one file per
    camera and video, cameras numbered from `camera` up, each video starting where
    the previous one of its camera ended; the pen polygon file
    `out_dir/pen_polygon.json` in the coordinates of the cropped frames (all
    cameras share it); and `out_dir/truth.csv`, every animal's true place per
    camera, video and frame (the frame's position in its video), in cropped
    coordinates. `marker=False` leaves out the orange marker. Existing videos of
    the same name are kept, so regenerating is cheap.
    """
    if isinstance(preset, str):
        if preset not in PRESETS:
            raise ValueError(f"unknown preset {preset!r}; known: {', '.join(PRESETS)}")
        preset = PRESETS[preset]
    start_time = datetime.strptime(start, "%Y%m%d%H%M%S")
    folder = os.path.join(out_dir, sub_dir)
    os.makedirs(folder, exist_ok=True)
    x0 = FRAME_WIDTH - preset.crop_width
    # the crop rule starts its box 50 columns left of the marker; without a marker
    # nothing in the frame is orange
    marker_x1 = x0 + 50 if marker else FRAME_WIDTH
    seconds = preset.frames_per_video / preset.fps
    paths, truth_rows = [], []
    cameras = list(range(camera, camera + preset.cameras))
    for c, cam in enumerate(cameras):
        scene = _Scene(preset, seed=preset.seed + c)
        for v in range(preset.videos):
            name = _video_name(cam, v + 1, start_time + timedelta(seconds=v * seconds))
            path = os.path.join(folder, name)
            paths.append(path)
            first_t = v * preset.frames_per_video
            if not os.path.exists(path):
                _write_video(path, scene, preset, first_t, marker_x1, preset.dark_start_frames if v else 0)
            for i in range(preset.frames_per_video):
                centres, boxes = true_boxes(scene, first_t + i)
                for k, ((cx, cy), box) in enumerate(zip(centres, boxes)):
                    truth_rows.append((str(cam), name[:-4], i, k + 1, round(float(cx), 2),
                                       round(float(cy), 2), *(int(b) for b in box)))
    w, h = preset.crop_width, preset.height
    top = int(0.2 * h)
    pen = {
        "shapes": [
            {
                "label": "pen",
                "points": [[4, top], [w - 4, top], [w - 3, h - 3], [3, h - 3]],
            }
        ]
    }
    pen_path = write_text(os.path.join(out_dir, "pen_polygon.json"), json.dumps(pen, indent=4))
    truth = io.StringIO()
    csv.writer(truth).writerows([TRUTH_COLUMNS, *truth_rows])
    truth_path = write_text(os.path.join(out_dir, "truth.csv"), truth.getvalue())
    return SampleRecording(
        base_dir=str(out_dir),
        sub_dir=sub_dir,
        video_paths=paths,
        pen_json_path=pen_path,
        preset=preset,
        crop_box=(x0, 0, FRAME_WIDTH, 1440),
        cameras=[str(c) for c in cameras],
        truth_path=truth_path,
    )
