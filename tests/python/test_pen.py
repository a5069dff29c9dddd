"""Pen polygon file, in-pen tests and the motion score, against shapely / OpenCV-Python."""

import json
import os

import cv2
import numpy as np
import pytest
import shapely.geometry

import herdmask as hm


def write_pen(path, points, **extra):
    with open(path, "w") as f:
        json.dump({"shapes": [{"points": points, "label": "pen"}], **extra}, f)
    return str(path)


def star_polygon(rng, cx, cy, rmin, rmax, n):
    """A random simple (star-shaped) polygon with real coordinates."""
    angles = np.sort(rng.uniform(0, 2 * np.pi, n))
    radii = rng.uniform(rmin, rmax, n)
    return [[cx + r * np.cos(a), cy + r * np.sin(a)] for a, r in zip(angles, radii)]


@pytest.mark.parametrize(
    "video_dir, custom, want",
    [
        (r"D:\data\day1\Camera62_3_20240501101500\0min_to_0.1min", None,
         hm.DEFAULT_PEN_JSON_PATHS["Camera62"]),
        ("D:/data/day1/Camera62_3_20240501101500/0min_to_0.1min", None, None),
        ("D:/data/day1/Camera62_3_20240501101500/0min_to_0.1min", "c.json", "c.json"),
        (r"E:\Camera63_1_20240501063000", None, None),
        (r"E:\Camera61_1_20240501063000", "mine.json", "mine.json"),
        (r"E:\x\Camera70", None, hm.DEFAULT_PEN_JSON_PATHS["Camera70"]),
        (r"E:\camera61_1", None, None),  # the test is case-sensitive
        ("", None, None),
    ],
)
def test_get_pen_json_path(video_dir, custom, want):
    assert hm.get_pen_json_path(video_dir, custom) == want


def test_default_table_names_six_cameras():
    assert sorted(hm.DEFAULT_PEN_JSON_PATHS) == [
        "Camera61", "Camera62", "Camera64", "Camera65", "Camera66", "Camera70"]


def test_draw_pen_reads_points_as_stored(tmp_path):
    path = write_pen(tmp_path / "pen.json", [[10, 10], [90.5, 10], [90, 80], [10, 80]])
    poly = hm.draw_pen("never opened", path)
    assert poly == [(10, 10), (90.5, 10), (90, 80), (10, 80)]
    assert [type(c) for p in poly for c in p] == [int, int, float, int, int, int, int, int]


def test_draw_pen_draws_closed_red_outline(tmp_path):
    from PIL import Image, ImageDraw

    path = write_pen(tmp_path / "pen.json", [[10, 10], [90, 15], [60, 70]])
    Image.new("L", (100, 80), 40).save(tmp_path / "f.png")
    image, poly = hm.draw_pen(str(tmp_path / "f.png"), path, drawout=True)
    want = Image.new("RGB", (100, 80), (40, 40, 40))
    ImageDraw.Draw(want).line(poly + [poly[0]], fill="red", width=3, joint="curve")
    assert image.mode == "RGB"
    assert np.array_equal(np.asarray(image), np.asarray(want))
    assert np.asarray(image)[40, 35].tolist() == [255, 0, 0]  # the closing edge is drawn


@pytest.mark.parametrize(
    "content, error, match",
    [
        ({"shapes": []}, ValueError, "No shapes found in the JSON file."),
        ({"shapes": None}, ValueError, "No shapes found in the JSON file."),
        ({"other": 1}, KeyError, "shapes"),
        ({"shapes": [{"label": "pen"}]}, KeyError, "points"),
    ],
)
def test_draw_pen_errors(tmp_path, content, error, match):
    path = tmp_path / "pen.json"
    path.write_text(json.dumps(content))
    with pytest.raises(error, match=match):
        hm.draw_pen("x", str(path))


def test_draw_pen_missing_or_broken_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        hm.draw_pen("x", str(tmp_path / "absent.json"))
    (tmp_path / "bad.json").write_text("{not json")
    with pytest.raises(ValueError):
        hm.draw_pen("x", str(tmp_path / "bad.json"))


def test_ratio_examples_and_threshold_boundary():
    square = [(10, 10), (90, 10), (90, 90), (10, 90)]
    boxes = [(20, 20, 30, 30), (0, 20, 20, 30), (0, 0, 5, 5), (90, 20, 100, 30)]
    pct, inside = hm.calculate_pen_intersection_ratio(square, boxes, 40)
    assert pct == [100.0, 50.0, 0.0, 0.0]  # the last box only touches the pen
    assert inside == [True, True, False, False]
    assert all(type(p) is float for p in pct)
    assert hm.calculate_pen_intersection_ratio(square, boxes, 50)[1] == [True, True, False, False]
    assert hm.calculate_pen_intersection_ratio(square, np.array(boxes), 50.0001)[1][1] is False


def test_ratio_matches_shapely_on_random_polygons():
    rng = np.random.default_rng(11)
    for _ in range(30):
        poly = star_polygon(rng, 300, 200, 40, 180, int(rng.integers(3, 14)))
        boxes = []
        for _ in range(12):
            x1, y1 = rng.uniform(50, 500), rng.uniform(0, 400)
            boxes.append([x1, y1, x1 + rng.uniform(1, 150), y1 + rng.uniform(1, 150)])
        boxes.append([int(poly[0][0]), int(poly[0][1]), int(poly[0][0]) + 20, int(poly[0][1]) + 7])
        pct, inside = hm.calculate_pen_intersection_ratio(poly, boxes, 40)
        shape = shapely.geometry.Polygon(poly)
        want = [shape.intersection(shapely.geometry.box(*b)).area / shapely.geometry.box(*b).area * 100
                for b in boxes]
        np.testing.assert_allclose(pct, want, rtol=1e-9, atol=1e-9)
        assert inside == [p >= 40 for p in pct]


def test_ratio_without_boxes_gives_empty_lists():
    assert hm.calculate_pen_intersection_ratio([(0, 0), (5, 0), (0, 5)], [], 40) == ([], [])
    assert hm.calculate_pen_intersection_ratio([(0, 0), (5, 0), (0, 5)], np.zeros((0, 4)), 40) == ([], [])


@pytest.mark.parametrize(
    "polygon, boxes, error, match",
    [
        ([(0, 0), (5, 5)], [(0, 0, 1, 1)], ValueError, "at least three points"),
        ([(0, 0), (5, 5)], [], ValueError, "at least three points"),
        ([(0, 0), (5, float("nan")), (0, 5)], [(0, 0, 1, 1)], ValueError, "not finite"),
        ([(0, 0), (5, 0), (0, 5)], [(0, 0, float("inf"), 1)], ValueError, "not finite"),
        ([(0, 0), (5, 0), (0, 5)], [(0, 0, 1, 1), (2, 2, 2, 4)], ZeroDivisionError, "box 1 .*zero area"),
        ([(0, 0, 1), (5, 0, 1), (0, 5, 1)], [(0, 0, 1, 1)], ValueError, "pairs"),
    ],
)
def test_ratio_bad_input(polygon, boxes, error, match):
    with pytest.raises(error, match=match):
        hm.calculate_pen_intersection_ratio(polygon, boxes, 40)


def test_ratio_on_self_intersecting_polygon_does_not_crash():
    bowtie = [(0, 0), (10, 10), (10, 0), (0, 10)]
    try:
        pct, _ = hm.calculate_pen_intersection_ratio(bowtie, [(0, 0, 10, 10), (2, 4, 8, 6)], 40)
    except ValueError:
        return
    assert len(pct) == 2


def fill_ref(polygon, h, w, thickness=0):
    pen = np.zeros((h, w), np.uint8)
    pts = np.array(polygon, dtype=np.int32)
    if thickness:
        cv2.polylines(pen, [pts], True, 1, thickness=thickness)
    else:
        cv2.fillPoly(pen, [pts], 1)
    return pen


def test_pen_fill_matches_opencv_python_up_to_edge_pixels(tmp_path):
    # OpenCV releases differ in which pixels along a slanted edge the filler sets;
    # axis-aligned pens agree exactly, any other pen within a band around its outline.
    rect = [[3.9, 2], [90, 2], [90, 60.5], [3.9, 60.5]]
    path = write_pen(tmp_path / "rect.json", rect)
    assert np.array_equal(hm._native.pen.pen_mask(path, 70, 110), fill_ref(rect, 70, 110))
    rng = np.random.default_rng(3)
    for trial in range(40):
        poly = star_polygon(rng, 60, 40, 5, 70, int(rng.integers(3, 10)))
        path = write_pen(tmp_path / f"pen{trial}.json", poly)
        diff = hm._native.pen.pen_mask(path, 70, 110) != fill_ref(poly, 70, 110)
        assert not (diff & (fill_ref(poly, 70, 110, thickness=7) == 0)).any()


@pytest.mark.parametrize(
    "dtype, lead", [(bool, ()), (np.uint8, ()), (np.uint8, (1,)), (np.float32, (1,)),
                    (np.int64, (3,)), (bool, (2, 1)), (np.complex64, ()), (object, ())])
def test_in_pen_mask_is_logical_and_with_the_filled_pen(tmp_path, dtype, lead):
    rng = np.random.default_rng(len(lead) * 10 + np.dtype(dtype).itemsize)
    for trial in range(4):
        poly = star_polygon(rng, 60, 40, 5, 70, int(rng.integers(3, 10)))
        poly[0] = [100.7, -3.5]  # real coordinates truncate toward zero, outside the frame too
        path = write_pen(tmp_path / f"pen{trial}.json", poly)
        mask = (rng.random(lead + (70, 110)) < 0.5).astype(dtype)
        got = hm.get_in_pen_mask(1, mask, path, ["f0.jpg", "f1.jpg"])
        assert got.shape == mask.shape and got.dtype == mask.dtype
        pen = hm._native.pen.pen_mask(path, 70, 110)
        assert np.array_equal(got.astype(bool), np.logical_and(mask, pen.astype(bool)))


@pytest.mark.parametrize("dtype, lead", [(np.uint8, (1,)), (bool, ()), (np.float32, (2,))])
def test_in_pen_mask_on_frame_sized_sparse_blobs(tmp_path, dtype, lead):
    # Large outputs are fresh zero pages written only near the blobs: blobs at the
    # frame's corners, straddling the pen's edge and far apart must come out whole.
    h, w = 720, 1536
    poly = [[40.5, 30], [1500, 10], [1490.7, 700], [600, 715], [20, 650]]
    path = write_pen(tmp_path / "pen.json", poly)
    yy, xx = np.mgrid[:h, :w]
    mask = np.zeros(lead + (h, w), dtype)
    for cy, cx, r in [(0, 0, 9), (25, 700, 30), (360, 1495, 70), (719, 1535, 4), (400, 200, 90)]:
        blob = (yy - cy) ** 2 + (xx - cx) ** 2 < r * r
        mask[..., blob] = ((xx + 3 * yy) % 250 + 1)[blob].astype(dtype)
    got = hm.get_in_pen_mask(0, mask, path, ["a"])
    pen = fill_ref(poly, h, w).astype(bool)
    want = np.where(pen, mask, 0).astype(dtype)
    assert got.shape == mask.shape and got.dtype == mask.dtype
    assert np.array_equal(got, want)
    got[...] = 1  # a new, writable array that shares nothing with the input
    assert np.array_equal(np.where(pen, mask, 0).astype(dtype), want)


def test_in_pen_mask_keeps_values_inside_and_follows_file_changes(tmp_path):
    path = tmp_path / "pen.json"
    write_pen(path, [[0, 0], [4, 0], [4, 4], [0, 4]])
    mask = np.full((8, 8), 255, np.uint8)
    first = hm.get_in_pen_mask(0, mask, str(path), ["a"])
    assert first[:5, :5].min() == 255 and first.sum() == 25 * 255
    write_pen(path, [[0, 0], [6, 0], [6, 6], [0, 6]])
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
    assert hm.get_in_pen_mask(0, mask, str(path), ["a"]).sum() == 49 * 255
    assert mask.min() == 255  # the input is not changed


def test_pen_cache_sees_a_rewrite_with_the_same_size_and_time(tmp_path):
    path = tmp_path / "pen.json"
    write_pen(path, [[0, 0], [4, 0], [4, 4], [0, 4]])
    st = os.stat(path)
    mask = np.ones((8, 8), bool)
    assert hm.get_in_pen_mask(0, mask, str(path), ["a"]).sum() == 25
    write_pen(path, [[0, 0], [6, 0], [6, 6], [0, 6]])
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
    assert os.stat(path).st_size == st.st_size
    assert hm.get_in_pen_mask(0, mask, str(path), ["a"]).sum() == 49


def test_draw_pen_invalid_json_raises_json_decode_error_naming_the_file(tmp_path):
    path = tmp_path / "pen.json"
    path.write_text('{"shapes": [{"points": [[0, 0], [4, 0],]}]}')
    for call in (lambda: hm.draw_pen("x", str(path)),
                 lambda: hm.get_in_pen_mask(0, np.ones((4, 4), bool), str(path), ["a"])):
        with pytest.raises(json.JSONDecodeError, match="pen.json") as caught:
            call()
        # Where the standard parser stops too: the "]" after the trailing comma.
        assert caught.value.pos == 39 and caught.value.doc == path.read_text()


def test_in_pen_mask_bad_input(tmp_path):
    path = write_pen(tmp_path / "pen.json", [[0, 0], [4, 0], [4, 4]])
    with pytest.raises(IndexError):
        hm.get_in_pen_mask(3, np.ones((5, 5), bool), path, ["a"])
    with pytest.raises(ValueError, match="two dimensions"):
        hm.get_in_pen_mask(0, np.ones(5, bool), path, ["a"])
    with pytest.raises(FileNotFoundError):
        hm.get_in_pen_mask(0, np.ones((5, 5), bool), str(tmp_path / "none.json"), ["a"])
    two = write_pen(tmp_path / "two.json", [[0, 0], [4, 4]])
    with pytest.raises(ValueError, match="at least three points"):
        hm.get_in_pen_mask(0, np.ones((5, 5), bool), two, ["a"])
    assert hm.get_in_pen_mask(0, np.ones((0, 0), bool), path, ["a"]).shape == (0, 0)


@pytest.fixture
def frames(tmp_path):
    rng = np.random.default_rng(4)
    base = cv2.GaussianBlur(rng.integers(0, 255, (96, 128), np.uint8), (7, 7), 2)
    paths = []
    for k in range(6):
        p = tmp_path / f"{k:04d}.jpg"
        shifted = np.roll(base, (k // 2, k), axis=(0, 1))
        cv2.imwrite(str(p), cv2.cvtColor(shifted, cv2.COLOR_GRAY2BGR))
        paths.append(str(p))
    return paths


def ref_motion(video_frames, masks_dict):
    a = cv2.imread(video_frames[0], cv2.IMREAD_GRAYSCALE)
    b = cv2.imread(video_frames[5], cv2.IMREAD_GRAYSCALE)
    flow = cv2.calcOpticalFlowFarneback(a, b, None, 0.5, 3, 15, 3, 5, 1.2, 0)
    mag, _ = cv2.cartToPolar(flow[..., 0], flow[..., 1])
    out = {}
    for key, mask in masks_dict.items():
        bm = (mask > 0).astype(np.uint8)
        masked = cv2.bitwise_and(mag, mag, mask=bm)
        out[key] = np.mean(masked[bm == 1]) if np.any(bm) else 0
    return out


def test_motion_scores_match_opencv_python(frames):
    rng = np.random.default_rng(8)
    square = np.zeros((96, 128), np.uint8)
    square[20:60, 30:90] = 1
    masks = {"Box1": square, "Box0": square * 255, "noise": rng.random((96, 128)) < 0.2,
             "empty": np.zeros((96, 128), bool), "neg": -np.ones((96, 128), np.float32)}
    got = hm.compute_motion_score_in_polygon(frames, masks)
    want = ref_motion(frames, masks)
    assert list(got) == list(masks)
    for key in masks:
        assert type(got[key]) is (int if key in ("empty", "neg") else float)
        np.testing.assert_allclose(got[key], want[key], rtol=1e-4, atol=1e-4)
    assert got["Box1"] == got["Box0"] and got["Box1"] > 1  # the image moved by several pixels
    assert got["empty"] == 0 and got["neg"] == 0


def test_motion_edge_cases(frames, tmp_path):
    still = [frames[0]] * 6
    square = np.zeros((96, 128), bool)
    square[10:50, 10:50] = True
    assert abs(hm.compute_motion_score_in_polygon(still, {"a": square})["a"]) < 1e-6
    assert hm.compute_motion_score_in_polygon(frames, {}) == {}
    with pytest.raises(IndexError):
        hm.compute_motion_score_in_polygon(frames[:5], {})
    with pytest.raises(ValueError, match="96 x 128"):
        hm.compute_motion_score_in_polygon(frames, {"a": np.ones((50, 50), bool)})
    with pytest.raises(FileNotFoundError):
        hm.compute_motion_score_in_polygon(frames[:5] + [str(tmp_path / "gone.jpg")], {})
    (tmp_path / "junk.jpg").write_bytes(b"not an image")
    with pytest.raises(ValueError, match="could not read"):
        hm.compute_motion_score_in_polygon([str(tmp_path / "junk.jpg")] * 6, {})
