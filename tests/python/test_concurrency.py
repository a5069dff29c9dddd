"""The heavy steps release the GIL and share caches: running them from several
threads at once must give exactly the results of running them one after another."""

import copy
import json
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
from PIL import Image

import herdmask as hm

H, W = 120, 160
THREADS = 4
ROUNDS = 6


def _animal_masks(seed, n=6):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:H, :W]
    masks = {}
    for k in range(n):
        cy, cx = rng.uniform(10, H - 10), rng.uniform(10, W - 10)
        ry, rx = rng.uniform(6, 18), rng.uniform(8, 24)
        m = ((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1
        if k % 3 == 0:  # a satellite and a far fragment, as the tracker leaves them
            m |= ((yy - cy - ry - 4) / 3) ** 2 + ((xx - cx) / 3) ** 2 <= 1
            m[int(rng.integers(0, H - 3)):, :3] = True
        masks[f"Box{k}"] = m
    return masks


def _write_annotation_folder(root, frames=6):
    image = os.path.join(root, "frame.jpg")
    Image.fromarray(np.full((H, W, 3), 120, np.uint8)).save(image)
    folder = os.path.join(root, "ann")
    os.makedirs(folder)
    rng = np.random.default_rng(3)
    for f in range(frames):
        dets = []
        for obj in range(1, 6):
            x, y = rng.uniform(0.05, 0.7, 2)
            poly = f"pig {x} {y} {x + 0.2} {y} {x + 0.2} {y + 0.25} {x} {y + 0.25}"
            dets.append({"object_id": obj, "xyxy": [[0, 0, 1, 1]], "formatted_polygon": [poly]})
        with open(os.path.join(folder, f"output_pp_{f}.json"), "w") as out:
            json.dump({"image_path": image, "detections": dets}, out)
    return image, folder


def _pen_file(root):
    path = os.path.join(root, "pen.json")
    with open(path, "w") as out:
        json.dump({"shapes": [{"points": [[5, 4], [150, 6.5], [155, 110], [4, 115]]}]}, out)
    return path


def _measures(seed):
    masks = _animal_masks(seed)
    values = list(masks.values())
    return (hm.intersection_between_masks(masks).to_numpy(),
            hm.cal_masks_iou_scores(values, values[::-1]),
            hm.cal_centroid_distance(values, values))


def _refine(pen, image, seed):
    segments = {f: {k: m[None] for k, m in _animal_masks(seed + f).items()} for f in range(4)}
    refiner = hm.Mask_Refinement(custom_pen_json_path=pen)
    refiner.process_video_segments(segments, "Camera61_1_20240501063000", [image] * 4)
    return segments, refiner.prev_centroids


def _load(folder):
    last, data = hm.get_gsam_annotation_data(None, save_dir_base=folder)
    return data


def _same(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, pd.DataFrame):
        return a.equals(b)
    if isinstance(a, np.ndarray):
        return a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")
    return a == b


def test_measures_loading_and_refinement_agree_across_threads(tmp_path, capsys):
    image, folder = _write_annotation_folder(str(tmp_path))
    pen = _pen_file(str(tmp_path))
    jobs = []
    for r in range(ROUNDS):
        jobs += [("measures", (r,)), ("load", (folder,)), ("refine", (pen, image, 10 * r))]
    run = {"measures": _measures, "load": _load, "refine": _refine}

    expected = [run[name](*args) for name, args in jobs]
    with ThreadPoolExecutor(THREADS) as pool:
        got = list(pool.map(lambda job: run[job[0]](*job[1]), jobs))
    for (name, args), e, g in zip(jobs, expected, got):
        assert _same(e, g), f"{name}{args} differs when run from several threads"


def test_pen_cache_is_refreshed_while_threads_read_it(tmp_path):
    pen = _pen_file(str(tmp_path))
    mask = np.ones((H, W), bool)
    first = hm.get_in_pen_mask(0, mask, pen, ["unused"])
    with ThreadPoolExecutor(THREADS) as pool:
        results = list(pool.map(lambda _: hm.get_in_pen_mask(0, mask, pen, ["unused"]), range(40)))
    assert all(np.array_equal(first, r) for r in results)

    # A rewritten pen file (new size on disk) must not be answered from the old fill.
    with open(pen, "w") as out:
        json.dump({"shapes": [{"points": [[0, 0], [40, 0], [40, 30], [0, 30.25]]}]}, out)
    with ThreadPoolExecutor(THREADS) as pool:
        after = list(pool.map(lambda _: hm.get_in_pen_mask(0, mask, pen, ["unused"]), range(40)))
    assert all(int(r.sum()) == 41 * 31 for r in after)


def test_refinement_instances_do_not_share_state(tmp_path, capsys):
    image, _ = _write_annotation_folder(str(tmp_path))
    pen = _pen_file(str(tmp_path))
    segments = {f: {k: m[None] for k, m in _animal_masks(f).items()} for f in range(3)}
    copies = [copy.deepcopy(segments) for _ in range(THREADS)]
    refiners = [hm.Mask_Refinement(custom_pen_json_path=pen) for _ in range(THREADS)]
    with ThreadPoolExecutor(THREADS) as pool:
        list(pool.map(lambda i: refiners[i].process_video_segments(copies[i], "Camera61_1", [image] * 3),
                      range(THREADS)))
    for c, r in zip(copies[1:], refiners[1:]):
        assert _same(c, copies[0])
        assert _same(r.prev_centroids, refiners[0].prev_centroids)
