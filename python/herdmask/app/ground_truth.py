"""True tracks of a generated sample recording, as MOTChallenge ground truth.

The sample's scene knows where every animal is at every moment, so each
camera's recording has exact ground truth: one id per animal (1, 2, ...),
frames counted from 1 along the camera's videos in time order, and each
animal's box as the pixels its ellipse covers. `herdmask evaluate` scores a run
or the demo against it.
"""

from __future__ import annotations

import os
import re

__all__ = ["sample_ground_truth", "write_sample_ground_truth"]

_CAMERA = re.compile(r"^(Camera\d+)_(\d+)_")


def _ellipse_box(cx, cy, axes, angle, width, height):
    """Tight pixel box (x, y, w, h) of a filled ellipse as the scene draws it, clipped to the frame."""
    import cv2

    pts = cv2.ellipse2Poly((int(round(cx)), int(round(cy))), axes, int(round(angle)), 0, 360, 1)
    x1, y1 = max(int(pts[:, 0].min()), 0), max(int(pts[:, 1].min()), 0)
    x2, y2 = min(int(pts[:, 0].max()), width - 1), min(int(pts[:, 1].max()), height - 1)
    return x1, y1, x2 - x1 + 1, y2 - y1 + 1


def sample_ground_truth(rec):
    """{camera sequence name: MOT table} of a `samples.SampleRecording`, in pen (cropped) coordinates."""
    import pandas as pd

    from herdmask.export import MOT_COLUMNS

    from .samples import _Scene

    p = rec.preset
    scene = _Scene(p)
    axes = (int(round(scene.a)), int(round(scene.b)))
    videos = {}
    for path in rec.video_paths:
        m = _CAMERA.match(os.path.basename(path))
        if not m:
            raise ValueError(f"{path} is not named Camera<N>_<n>_<time>")
        videos.setdefault(m.group(1), []).append(int(m.group(2)))
    out = {}
    for camera, seqs in videos.items():
        rows = []
        for v in range(len(seqs)):
            for i in range(p.frames_per_video):
                t = v * p.frames_per_video + i
                centres, angles = scene.state(t)
                for animal, ((cx, cy), ang) in enumerate(zip(centres, angles)):
                    box = _ellipse_box(cx, cy, axes, ang, p.crop_width, p.height)
                    rows.append((t + 1, animal + 1, *box, 1.0))
        out[camera] = pd.DataFrame(rows, columns=MOT_COLUMNS)
    return out


def write_sample_ground_truth(rec, out_dir):
    """Writes <camera>.txt per camera of the recording into `out_dir`; returns the paths."""
    from herdmask.export import write_mot

    os.makedirs(out_dir, exist_ok=True)
    return [write_mot(table, os.path.join(out_dir, f"{name}.txt"))
            for name, table in sample_ground_truth(rec).items()]
