"""Tracking review: the question report and the best-last-frame walk against
their straightforward pandas/NumPy formulations."""

import contextlib
import io
import os
import tempfile

import numpy as np
import pandas as pd

from harness import dtype_text, plain_copy, report

import herdmask as hm

COLUMNS = ["Frame ID", "Box Pair", "Intersection Value", "Mask Area1", "Mask Area2",
           "Report type", "Box ID", "Mask Areas"]


def _annotation_data(n_frames=600, n_boxes=10, seed=0):
    rng = np.random.default_rng(seed)
    keys = [f"Box{i}" for i in range(n_boxes)]
    data = {}
    for fid in range(n_frames):
        cells = rng.uniform(0, 30, (n_boxes, n_boxes))
        if fid % 3 == 0:  # a third of the frames hold a strongly overlapping pair
            i, j = rng.choice(n_boxes, 2, replace=False)
            cells[i, j] = rng.uniform(80, 100)
        np.fill_diagonal(cells, 0)
        areas = {k: int(a) for k, a in zip(keys, rng.integers(3000, 20000, n_boxes))}
        if fid % 50 == 0:
            areas[keys[fid % n_boxes]] = 0
        data[fid] = {"mask_areas": areas,
                     "intersections_df": pd.DataFrame(cells, index=keys, columns=keys)}
    return data


def _plain_report(data, save_dir, thr=80):
    overlap_frames, zero_area_frames = [], []
    for fid, rec in data.items():
        for key, area in rec["mask_areas"].items():
            if area <= 0.1:
                zero_area_frames.append({"Frame ID": fid, "Report type": "Zero area detected",
                                         "Box ID": key, "Mask Areas": area})
        if (rec["intersections_df"] > thr).any().any():
            overlap_frames.append(fid)
    overlap_frames_data = pd.DataFrame(columns=COLUMNS)
    box_keys_df = pd.DataFrame(columns=COLUMNS)
    for fid in overlap_frames:
        df = data[fid]["intersections_df"]
        areas = data[fid]["mask_areas"]
        box_keys = []
        for i, j in zip(*np.where(df.values > thr)):
            rk, ck = df.index[i], df.columns[j]
            box_keys.append({"Frame ID": fid, "Box Pair": f"{rk}-{ck}",
                             "Intersection Value": round(df.iloc[i, j], 2),
                             "Mask Area1": areas[rk], "Mask Area2": areas[ck],
                             "Report type": "High overlap mask detected"})
        box_keys_df = pd.DataFrame(box_keys, columns=COLUMNS)
        overlap_frames_data = pd.concat([overlap_frames_data, box_keys_df], ignore_index=True)
    report_df = pd.concat([overlap_frames_data, pd.DataFrame(zero_area_frames, columns=COLUMNS)],
                          ignore_index=True)[COLUMNS]
    report_df.to_csv(os.path.join(save_dir, "tracking_question_report.csv"), index=False)
    return overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df


def _pig_masks(h=1440, w=2304, n=10, seed=1):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w]
    masks = []
    for i in range(n):
        cy, cx = 200 + (i // 5) * 600, 250 + (i % 5) * 420
        ry, rx = rng.integers(120, 180), rng.integers(60, 110)
        masks.append(((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1)
    masks[1] = masks[0].copy()  # one pair lies on top of each other in every frame
    return masks


def _plain_best_last_frame(laste_frame, min_area=10, max_attempts=10, n_track=10):
    keys_sorted = sorted(laste_frame)
    for attempt in range(max_attempts):
        masks_dict = laste_frame[keys_sorted[-1 - attempt]]["masks_dict"]
        keys = list(masks_dict)
        areas = {k: int(np.count_nonzero(masks_dict[k])) for k in keys}
        table = np.zeros((len(keys), len(keys)))
        for i in range(len(keys)):
            if areas[keys[i]] <= 1:
                continue
            for j in range(i):
                both = np.logical_and(masks_dict[keys[i]], masks_dict[keys[j]]).sum()
                table[i, j] = both / areas[keys[i]] * 100
                table[j, i] = both / areas[keys[j]] * 100 if areas[keys[j]] > 0 else 0
        values = list(areas.values())
        if (all(a > min_area for a in values) and sum(a > 0 for a in values) >= n_track
                and (table < 50).all()):
            return laste_frame[keys_sorted[-1 - attempt]], False
    return None, True


def _silent(fn, *args):
    with contextlib.redirect_stdout(io.StringIO()):
        return fn(*args)


def main():
    data = _annotation_data()
    with tempfile.TemporaryDirectory() as fast_dir, tempfile.TemporaryDirectory() as base_dir:
        report("generate_tracking_report, 600 frames x 10 boxes",
               lambda: _silent(hm.generate_tracking_report, data, fast_dir),
               lambda: _plain_report(data, base_dir), target=10)
        a = pd.read_csv(os.path.join(fast_dir, "tracking_question_report.csv"))
        b = pd.read_csv(os.path.join(base_dir, "tracking_question_report.csv"))
        pd.testing.assert_frame_equal(a, b, check_dtype=False)

    # The last frames of a finished video, as the annotation files load them
    # (uint8) and as a tracker's own masks would give them (bool). A pair lies on
    # top of each other in every frame, so the walk reads all ten frames; the
    # floor is one copy of the hundred masks it reads. The float32 frames (masks
    # as the segmenter gives them) share one set of masks, to spare 1.3 GB.
    for dtype, target in [(np.uint8, 12), (bool, 20), (np.float32, 12)]:
        masks = [m.astype(dtype) for m in _pig_masks()]
        share = dtype == np.float32
        frames = {k: {"masks_dict": {f"Box{i}": m if share else m.copy()
                                     for i, m in enumerate(masks)}}
                  for k in range(590, 600)}
        assert _plain_best_last_frame(frames) == (None, True)
        assert _silent(hm.find_best_laste_frame, frames) == (None, True)
        every_mask = [m for record in frames.values() for m in record["masks_dict"].values()]
        report(f"find_best_laste_frame, 10 frames x 10 {dtype_text(masks)} masks",
               lambda: _silent(hm.find_best_laste_frame, frames),
               lambda: _plain_best_last_frame(frames), target=target,
               floor=plain_copy(every_mask), floor_target=1.5)


if __name__ == "__main__":
    main()
