"""In-pen masks and the motion score on 1440 x 2304 frames against the straightforward
NumPy / OpenCV-Python formulation."""

import json
import os
import pathlib
import sys
import tempfile

import cv2
import numpy as np

import herdmask as hm
from harness import plain_copy, report

# The plain formulations the tests check against are the baselines here too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
from test_pen import ref_motion as motion_baseline  # noqa: E402

H, W = 1440, 2304


def in_pen_baseline(test_mask, pen_json_path):
    h, w = test_mask.shape[-2:]
    pen = np.zeros((h, w), np.uint8)
    with open(pen_json_path) as f:
        points = [(x, y) for x, y in json.load(f)["shapes"][0]["points"]]
    cv2.fillPoly(pen, [np.array(points, dtype=np.int32)], 1)
    return np.logical_and(test_mask, pen.astype(bool))


def main():
    from bench_measures import pig_masks

    folder = tempfile.mkdtemp()
    pen_path = os.path.join(folder, "pen_polygon.json")
    points = [[120.5, 90], [2200, 60], [2250.2, 1380], [1200, 1420], [80, 1350], [60, 700]]
    with open(pen_path, "w") as f:
        json.dump({"shapes": [{"label": "pen", "points": points}]}, f)
    masks = pig_masks()
    mask = masks[0][None].astype(np.uint8)  # as the tracker hands it: 1 x H x W
    frame_names = ["0000.jpg"]
    assert np.array_equal(hm.get_in_pen_mask(0, mask, pen_path, frame_names).astype(bool),
                          in_pen_baseline(mask, pen_path))
    report("get_in_pen_mask 1x1440x2304 uint8 (repeated, one pen file)",
           lambda: hm.get_in_pen_mask(0, mask, pen_path, frame_names),
           lambda: in_pen_baseline(mask, pen_path), repeat=5, number=5, target=10,
           floor=plain_copy([mask]))

    rng = np.random.default_rng(0)
    base = cv2.GaussianBlur(rng.integers(0, 255, (H, W), np.uint8), (9, 9), 3)
    frames = []
    for k in range(6):
        path = os.path.join(folder, f"{k:04d}.jpg")
        cv2.imwrite(path, np.roll(base, (k, 2 * k), axis=(0, 1)))
        frames.append(path)
    named = {f"Box{i}": m for i, m in enumerate(masks)}
    report("compute_motion_score_in_polygon 10 masks 1440x2304",
           lambda: hm.compute_motion_score_in_polygon(frames, named),
           lambda: motion_baseline(frames, named), repeat=2, target=1,
           floor=plain_copy(masks))


if __name__ == "__main__":
    main()
