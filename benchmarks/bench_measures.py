"""Mask measures on ten pig-sized masks of a 1440 x 2304 frame against the
straightforward NumPy / OpenCV-Python formulation, with the bool masks a tracker
gives and the float32 masks the segmenter gives."""

import pathlib
import sys

import cv2
import numpy as np

import herdmask as hm
from harness import dtype_text, plain_copy, report

# The plain formulations the tests check against are the baselines here too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
from test_measures import ref_centroid_similarity as centroid_baseline  # noqa: E402
from test_measures import ref_table as table_baseline  # noqa: E402

H, W = 1440, 2304
FLOOR = 1.5


def pig_masks(n=10, seed=0, dtype=bool):
    """Ellipses of pig size, placed so that several pairs overlap as crowding
    animals do; every page of every mask written, as the models hand them over."""
    rng = np.random.default_rng(seed)
    masks = []
    for i in range(n):
        m = np.zeros((H, W), np.uint8)
        cx = int(300 + (i % 5) * 380 + rng.integers(-60, 60))
        cy = int(400 + (i // 5) * 420 + rng.integers(-60, 60))
        cv2.ellipse(m, (cx, cy), (int(rng.integers(170, 230)), int(rng.integers(70, 100))),
                    int(rng.integers(0, 180)), 0, 360, 1, -1)
        masks.append(m.astype(dtype))
    return masks


def iou_baseline(news, olds):
    out = np.zeros((len(news), len(olds)))
    for i, a in enumerate(news):
        for j, b in enumerate(olds):
            out[i, j] = np.logical_and(a, b).sum() / (np.logical_or(a, b).sum() + 1e-06)
    return out


def main():
    for dtype, targets in [(bool, (50, 50, 10)), (np.float32, (35, 25, 10))]:
        news = pig_masks(seed=1, dtype=dtype)
        olds = pig_masks(seed=2, dtype=dtype)
        kind = dtype_text(news)
        assert np.allclose(hm.cal_masks_iou_scores(news, olds), iou_baseline(news, olds))
        assert np.allclose(hm.cal_centroid_distance(news, olds), centroid_baseline(news, olds))
        named = {f"Box{i}": m for i, m in enumerate(news)}
        areas = {k: int(np.count_nonzero(m)) for k, m in named.items()}
        assert np.allclose(hm.intersection_between_masks(named, areas).to_numpy(),
                           table_baseline(named, areas))
        both = plain_copy(news + olds)
        report(f"cal_masks_iou_scores 10x10 {kind}",
               lambda: hm.cal_masks_iou_scores(news, olds), lambda: iou_baseline(news, olds),
               repeat=7, number=3, target=targets[0], floor=both, floor_target=FLOOR)
        report(f"cal_centroid_distance 10x10 {kind}",
               lambda: hm.cal_centroid_distance(news, olds), lambda: centroid_baseline(news, olds),
               repeat=7, number=3, target=targets[1], floor=both, floor_target=FLOOR)
        report(f"intersection_between_masks 10 masks {kind}",
               lambda: hm.intersection_between_masks(named, areas),
               lambda: table_baseline(named, areas), repeat=7, number=3, target=targets[2],
               floor=plain_copy(news), floor_target=FLOOR)


if __name__ == "__main__":
    main()
