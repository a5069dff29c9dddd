"""Mask_Refinement.process_video_segments on full-resolution tracking output.

60 frames of ten animals at 1440 x 2304, each mask an elongated body with a few
close satellites, floor specks, a far fragment and now and then a piece outside
the pen. The baseline is the straightforward formulation (pen polygon read and
filled per object, full-frame blob images, all-pairs vertex distances); it is
timed on the first BASELINE_FRAMES frames and scaled per frame.
"""

import contextlib
import io
import json
import os
import sys
import tempfile
import time
import tracemalloc

import cv2
import numpy as np

from harness import best_time, plain_copy
from herdmask import Mask_Refinement

# The plain formulation the tests check against is the baseline here too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from test_refine import PlainRefinement  # noqa: E402

H, W = 1440, 2304
FRAMES, OBJECTS = 60, 10
BASELINE_FRAMES = 3
PEN = [[60, 40], [2250, 70], [2280, 1400], [30, 1420]]


def make_segments(frames, seed=0):
    """Dense frame-sized boolean masks, every page written, as a tracker hands them over."""
    rng = np.random.default_rng(seed)
    pos = rng.uniform([200, 200], [W - 200, H - 200], (OBJECTS, 2))
    angle = rng.uniform(0, 180, OBJECTS)
    segments = {}
    for f in range(frames):
        segments[f] = {}
        for o in range(OBJECTS):
            pos[o] = np.clip(pos[o] + rng.normal(0, 6, 2), 20, [W - 20, H - 20])
            angle[o] += rng.normal(0, 3)
            mask = np.empty((1, H, W), bool)
            mask.fill(False)
            m = mask[0].view(np.uint8)
            cx, cy = int(pos[o][0]), int(pos[o][1])
            cv2.ellipse(m, (cx, cy), (150, 60), float(angle[o]), 0, 360, 1, -1)
            for _ in range(rng.integers(1, 4)):  # satellites: a leg, an ear, a neighbour's edge
                a, d = rng.uniform(0, 2 * np.pi), rng.uniform(60, 220)
                cv2.circle(m, (int(cx + d * np.cos(a)), int(cy + d * np.sin(a))),
                           int(rng.integers(4, 25)), 1, -1)
            for _ in range(rng.integers(3, 15)):  # floor specks
                y, x = rng.integers(0, H - 3), rng.integers(0, W - 3)
                m[y:y + rng.integers(1, 4), x:x + rng.integers(1, 4)] = 1
            y, x = rng.integers(0, H - 40), rng.integers(0, W - 40)  # a far fragment
            m[y:y + rng.integers(5, 40), x:x + rng.integers(5, 40)] = 1
            if rng.random() < 0.2:  # leaks over the pen's edge
                m[0:30, rng.integers(0, W - 200):][:, :200] = 1
            segments[f][o] = mask
    return segments


class Baseline(PlainRefinement):
    """The plain refiner the tests check against, reading the pen file for every
    mask as the straightforward step does."""

    def __init__(self, pen_path):
        super().__init__()
        self.pen_path = pen_path

    def in_pen(self, mask):
        with open(self.pen_path) as fh:
            self.pen = json.load(fh)["shapes"][0]["points"]
        return super().in_pen(mask)


def _rss_kb(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def main():
    folder = tempfile.mkdtemp()
    pen_path = os.path.join(folder, "pen_polygon.json")
    with open(pen_path, "w") as fh:
        json.dump({"shapes": [{"points": PEN}]}, fh)
    names = [f"{i:04d}.jpg" for i in range(FRAMES)]

    fast_times, floor_times = [], []
    for _ in range(3):
        segments = make_segments(FRAMES)
        # The floor: one plain copy of the masks the call reads.
        floor_times.append(best_time(plain_copy(
            [m for objects in segments.values() for m in objects.values()], targets=OBJECTS),
            repeat=1))
        refiner = Mask_Refinement(custom_pen_json_path=pen_path)
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            refiner.process_video_segments(segments, folder, names)
        fast_times.append(time.perf_counter() - start)
        del segments
    fast = min(fast_times)
    floor = min(floor_times)

    segments = make_segments(BASELINE_FRAMES)
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        Baseline(pen_path).process(segments)
    base = (time.perf_counter() - start) * FRAMES / BASELINE_FRAMES
    ratio = base / fast
    print(f"{'process_video_segments 60 x 10 at 1440x2304':<55} herdmask {fast * 1e3:10.2f} ms  "
          f"baseline {base * 1e3:10.2f} ms  ratio {ratio:8.1f}x  target >= 50x: "
          f"{'met' if ratio >= 50 else 'MISSED'}  floor {floor * 1e3:8.2f} ms  "
          f"{fast / floor:5.2f}x floor  (baseline timed on {BASELINE_FRAMES} frames, "
          f"scaled per frame)", flush=True)

    # Memory: the masks the caller holds, then what the call adds on top of them.
    segments = make_segments(FRAMES)
    held = _rss_kb("VmRSS")
    with open("/proc/self/clear_refs", "w") as fh:  # resets the peak-RSS mark
        fh.write("5")
    refiner = Mask_Refinement(custom_pen_json_path=pen_path)
    tracemalloc.start()
    with contextlib.redirect_stdout(io.StringIO()):
        refiner.process_video_segments(segments, folder, names)
    current, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    frame_mb = H * W / 2**20
    after = _rss_kb("VmRSS")
    print(f"    masks held before the call {FRAMES * OBJECTS} x {frame_mb:.1f} MB; peak RSS over "
          f"them during the call {(_rss_kb('VmHWM') - held) / 1024:.1f} MB; RSS after "
          f"{(after - held) / 1024:+.1f} MB; Python-allocator peak {peak / 2**20:.1f} MB", flush=True)
