"""The driver's own pieces: annotation files it writes as the tracking run would."""

import json
import os

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")

import herdmask as hm  # noqa: E402
from herdmask.app import stages  # noqa: E402
from valued_masks import DTYPES, valued_masks  # noqa: E402


def _raster(polygons, h, w):
    """Plain reading of a polygon text: scale by the image size, truncate, fill."""
    m = np.zeros((h, w), np.uint8)
    for text in polygons:
        v = [float(t) for t in text.split()[1:]]
        pts = np.array([[int(v[i] * w), int(v[i + 1] * h)] for i in range(0, len(v), 2)], np.int32)
        cv2.fillPoly(m, [pts], 1)
    return m.astype(bool)


def _blobs(rng, h, w):
    m = np.zeros((h, w), np.uint8)
    for _ in range(rng.randint(1, 4)):
        cx, cy = rng.randint(0, w), rng.randint(0, h)
        cv2.ellipse(m, (cx, cy), (rng.randint(2, 30), rng.randint(2, 20)), rng.uniform(0, 180), 0, 360, 1, -1)
    return m.astype(bool)


@pytest.mark.parametrize("seed", range(12))
def test_polygons_rasterise_back_to_the_mask(seed):
    rng = np.random.RandomState(seed)
    h, w = rng.randint(20, 200), rng.randint(20, 300)
    mask = _blobs(rng, h, w)
    polys = stages.mask_polygons(mask[None])  # leading axis as trackers give it
    assert all(p.split()[0] == "pig" for p in polys)
    back = _raster(polys, h, w)
    # convex blobs come back exactly; touching blobs may fill a concave notch
    assert (back >= mask).all()
    assert (back & ~mask).sum() <= 0.02 * mask.sum() + 4


@pytest.mark.parametrize("shape", ["single", "line", "corner"])
def test_slivers_still_get_a_polygon(shape):
    m = np.zeros((10, 12), bool)
    if shape == "single":
        m[4, 5] = True
    elif shape == "line":
        m[2, 3:9] = True
    else:
        m[9, 11] = True
    polys = stages.mask_polygons(m)
    assert len(polys) == 1
    assert (_raster(polys, 10, 12) == m).all()


def plain_outlines(masks, label="pig"):
    """Each mask's box and outline texts the straightforward way: OpenCV-Python
    traces the whole frame, Python formats every coordinate."""
    out = []
    for mask in masks:
        m = np.ascontiguousarray(np.asarray(mask) > 0).view(np.uint8)
        h, w = m.shape
        texts = []
        for c in cv2.findContours(m, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[0]:
            pts = c.reshape(-1, 2)
            pts = np.vstack([pts, pts[-1:], pts[:1]])[:3] if len(pts) < 3 else pts
            texts.append(label + "".join(f" {(x + 0.5) / w:.8f} {(y + 0.5) / h:.8f}" for x, y in pts))
        out.append((cv2.boundingRect(m), texts))
    return out


@pytest.mark.parametrize("dtype", DTYPES)
def test_outlines_match_whole_frame_tracing(dtype):
    rng = np.random.default_rng(7)
    # widths of 256 and 512 put exact ties at the eighth decimal
    for shape in [(32, 256), (17, 512), (40, 61)]:
        masks = valued_masks(rng, dtype, 12, shape)
        masks.append(np.zeros(shape, dtype))
        assert hm.mask_outlines(masks, "sow") == plain_outlines(masks, "sow")


def test_annotation_files_hold_what_the_loader_reads(tmp_path):
    h, w = 40, 60
    frames = []
    for i in range(3):
        p = tmp_path / f"{i:04d}.jpg"
        cv2.imwrite(str(p), np.zeros((h, w, 3), np.uint8))
        frames.append(str(p))
    a = np.zeros((1, h, w), bool)
    a[0, 5:15, 10:30] = True
    empty = np.zeros((1, h, w), bool)
    segments = {0: {1: a, 2: empty}, 2: {1: a, 2: a}}
    out = tmp_path / "ann"
    stages.write_annotation_files(segments, frames, str(out))
    assert sorted(os.listdir(out)) == ["output_pp_0.json", "output_pp_2.json"]
    data = json.load(open(out / "output_pp_0.json"))
    assert data["image_path"] == os.path.abspath(frames[0])
    d1, d2 = data["detections"]
    assert (d1["object_id"], d2["object_id"]) == (1, 2)
    assert d1["xyxy"] == [[10, 5, 30, 15]]
    assert (_raster(d1["formatted_polygon"], h, w) == a[0]).all()
    # an object lost in a frame keeps its place with no outline (the report sees a zero area)
    assert d2["formatted_polygon"] == [] and d2["xyxy"] == [[0, 0, 0, 0]]


@pytest.mark.skipif(not hasattr(hm, "process_json_and_generate_masks"), reason="mask loader not built yet")
def test_library_reads_the_files_back(tmp_path):
    rng = np.random.RandomState(3)
    h, w = 50, 70
    frame = tmp_path / "0000.jpg"
    cv2.imwrite(str(frame), np.zeros((h, w, 3), np.uint8))
    masks = [np.zeros((h, w), bool) for _ in range(3)]
    for m in masks:
        cx, cy = rng.randint(10, w - 10), rng.randint(10, h - 10)
        cv2.ellipse(m.view(np.uint8), (cx, cy), (8, 5), rng.uniform(0, 180), 0, 360, 1, -1)
    stages.write_annotation_files({0: {i + 1: m[None] for i, m in enumerate(masks)}}, [str(frame)],
                                    str(tmp_path))
    image_path, got, keys = hm.process_json_and_generate_masks(str(tmp_path / "output_pp_0.json"), h, w)
    assert image_path == os.path.abspath(frame) and list(keys) == [0, 1, 2]
    for m, g in zip(masks, got):
        assert (g.astype(bool) == m).all()


def test_frame_names_follow_frame_numbers_past_9999(tmp_path):
    for n in (9998, 9999, 10000, 10001):
        (tmp_path / f"{n:04d}.jpg").write_bytes(b"")
    names = [os.path.basename(p) for p in stages.frame_names_of(str(tmp_path))]
    assert names == ["9998.jpg", "9999.jpg", "10000.jpg", "10001.jpg"]
