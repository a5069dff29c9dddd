"""Masks from annotation files and polygon rescaling, checked against plain OpenCV/json code."""

import json

import cv2
import numpy as np
import pytest
from PIL import Image

from herdmask import fix_polygon_scaling, process_json_and_generate_masks


def _write(path, data):
    path.write_text(json.dumps(data))
    return str(path)


def _plain_masks(data, height, width):
    """The straightforward reading: float32 masks filled polygon by polygon."""
    masks = []
    for det in data["detections"]:
        mask = np.zeros((height, width), np.float32)
        for poly in det["formatted_polygon"]:
            c = poly.split()[1:]
            pts = [(int(float(c[i]) * width), int(float(c[i + 1]) * height))
                   for i in range(0, len(c), 2)]
            if pts:
                cv2.fillPoly(mask, [np.array(pts, np.int32)], 1)
        masks.append(mask)
    return np.array(masks).astype(np.uint8)


def _random_polygon_text(rng):
    # Star-shaped outlines inside the frame: the fill's clipping at the frame border
    # differs between OpenCV releases, so the comparison stays away from it.
    k = int(rng.integers(1, 12))
    centre = rng.uniform(0.2, 0.8, 2)
    angles = np.sort(rng.uniform(0, 2 * np.pi, k))
    radii = rng.uniform(0, 0.2, k)
    xs, ys = centre[0] + radii * np.cos(angles), centre[1] + radii * np.sin(angles)
    return "pig " + " ".join(f"{float(x)!r} {float(y)!r}" for x, y in zip(xs, ys))


def test_random_polygons_match_plain_fill(tmp_path):
    rng = np.random.default_rng(3)
    for trial in range(40):
        height, width = (int(v) for v in rng.integers(1, 60, 2))
        detections = [
            {"object_id": int(rng.integers(-3, 20)),
             "formatted_polygon": [_random_polygon_text(rng) for _ in range(rng.integers(0, 4))]}
            for _ in range(rng.integers(0, 5))]
        data = {"image_path": "frame.jpg", "detections": detections}
        image_path, masks, keys = process_json_and_generate_masks(
            _write(tmp_path / f"a{trial}.json", data), height, width)
        assert image_path == "frame.jpg"
        assert masks.dtype == np.uint8 and masks.shape == (len(detections), height, width)
        np.testing.assert_array_equal(masks, _plain_masks(data, height, width).reshape(masks.shape))
        assert keys == [d["object_id"] - 1 for d in detections]


def test_round_trip_of_masks_written_as_polygons(tmp_path):
    height, width = 48, 64
    originals = []
    for i in range(4):
        m = np.zeros((height, width), np.uint8)
        cv2.ellipse(m, (10 + 14 * i, 20 + 3 * i), (6 + i, 9), 15.0 * i, 0, 360, 1, -1)
        originals.append(m)
    detections = []
    for i, m in enumerate(originals):
        contours, _ = cv2.findContours(m, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
        # Half a pixel in keeps the truncation on the contour's own pixel.
        texts = ["pig " + " ".join(f"{(x + 0.5) / width} {(y + 0.5) / height}"
                                   for x, y in c[:, 0]) for c in contours]
        detections.append({"object_id": i + 1, "formatted_polygon": texts, "note": "kept"})
    path = _write(tmp_path / "output_pp_0.json", {"image_path": "f.jpg", "detections": detections})
    _, masks, keys = process_json_and_generate_masks(path, height, width)
    np.testing.assert_array_equal(masks, np.array(originals))
    assert keys == [0, 1, 2, 3]


@pytest.mark.parametrize("poly, expected", [
    # triangle (10, 10), (50, 10), (50, 30) on a 100 x 50 frame
    ("0 0.1 0.2 0.5 0.2 0.5 0.6", [(10, 10), (50, 10), (50, 30)]),
    # truncation, not rounding; the number forms float() reads
    ("p 0.999 0.999 0.5_0 1e-1 +.5 5E-1", [(99, 49), (50, 5), (50, 25)]),
])
def test_vertices_are_scaled_and_truncated(tmp_path, poly, expected):
    path = _write(tmp_path / "t.json", {"image_path": "f", "detections": [
        {"object_id": 3, "formatted_polygon": [poly]}, {"formatted_polygon": []}]})
    _, masks, keys = process_json_and_generate_masks(path, height=50, width=100)
    want = np.zeros((50, 100), np.uint8)
    cv2.fillPoly(want, [np.array(expected, np.int32)], 1)
    np.testing.assert_array_equal(masks[0], want)
    assert not masks[1].any()
    assert keys == [2, -1]


def test_empty_detections_and_identifier_only_polygons(tmp_path):
    path = _write(tmp_path / "e.json", {"image_path": "f", "detections": []})
    image_path, masks, keys = process_json_and_generate_masks(path, 5, 6)
    assert (image_path, masks.shape, keys) == ("f", (0, 5, 6), [])
    # An identifier alone used to reach the fill with no points and abort the process.
    path = _write(tmp_path / "i.json", {"image_path": "f", "detections": [
        {"object_id": 1, "formatted_polygon": ["pig", "pig 0 0 0.5 0 0.5 0.5 0 0.5"]}]})
    _, masks, _ = process_json_and_generate_masks(path, 4, 4)
    assert masks.sum() == 9


@pytest.mark.parametrize("content, error", [
    ("{not json", ValueError),
    ('{"detections": []}', KeyError),
    ('{"image_path": "f"}', KeyError),
    ('{"image_path": "f", "detections": [{"object_id": 1}]}', KeyError),
    ('{"image_path": "f", "detections": "p 0 0 1 1"}', TypeError),
    ('{"image_path": "f", "detections": [{"formatted_polygon": "p 0 0 1 1"}]}', TypeError),
    ('{"image_path": "f", "detections": [{"formatted_polygon": [[0, 1]]}]}', TypeError),
    ('{"image_path": "f", "detections": [{"formatted_polygon": ["p 0 1 zero 1"]}]}', ValueError),
    ('{"image_path": "f", "detections": [{"formatted_polygon": ["p 0 1 0.5"]}]}', ValueError),
    ('{"image_path": "f", "detections": [{"formatted_polygon": ["p nan 1 0 0"]}]}', ValueError),
    ('{"image_path": "f", "detections": [{"formatted_polygon": ["p 0 inf 0 0"]}]}', ValueError),
    ('{"image_path": "f", "detections": [{"formatted_polygon": ["p 1e300 1 0 0"]}]}', ValueError),
])
def test_bad_files_raise_clear_errors(tmp_path, content, error):
    path = tmp_path / "bad.json"
    path.write_text(content)
    with pytest.raises(error):
        process_json_and_generate_masks(str(path), 8, 8)


def test_polygons_reaching_far_outside_the_frame_are_clipped(tmp_path):
    path = _write(tmp_path / "far.json", {"image_path": "f", "detections": [
        {"formatted_polygon": ["p -2e8 -3e8 2e8 -3e8 2e8 3e8 -2e8 3e8"]},
        {"formatted_polygon": ["p -5 -5 -4 -5 -4 -4"]},
        {"formatted_polygon": ["p 0.25 -1e6 0.75 -1e6 0.75 0.5 0.25 0.5"]}]})
    _, masks, _ = process_json_and_generate_masks(path, 6, 8)
    assert masks[0].all() and not masks[1].any()
    want = np.zeros((6, 8), np.uint8)
    want[:4, 2:7] = 1
    np.testing.assert_array_equal(masks[2], want)


def test_bad_arguments(tmp_path):
    with pytest.raises(FileNotFoundError):
        process_json_and_generate_masks(str(tmp_path / "missing.json"), 8, 8)
    path = _write(tmp_path / "ok.json", {"image_path": "f", "detections": []})
    with pytest.raises(ValueError, match="negative"):
        process_json_and_generate_masks(path, -1, 8)
    with pytest.raises(TypeError):
        process_json_and_generate_masks(path, 8)


# ---- polygon rescaling -------------------------------------------------------------------

@pytest.fixture
def annotated(tmp_path):
    image = tmp_path / "frame.png"
    Image.new("RGB", (200, 100)).save(image)
    data = {
        "image_path": str(image),
        "score": 0.75,
        "detections": [
            {"xyxy": [[1.5, 2, 3, 4]], "object_id": 1, "formatted_polygon":
                ["pig 0.5 0.25", "pig\t0.1  0.2 0.3 0.4", "pig"], "name": "Ünïcode"},
            {"formatted_polygon": [], "object_id": 2, "extra": {"b": None, "a": [True]}},
        ],
        "tail": 1e-07,
    }
    path = tmp_path / "output_pp_3.json"
    path.write_text(json.dumps(data))
    return path, data


def test_fix_polygon_scaling_writes_what_json_dump_writes(annotated, tmp_path):
    path, data = annotated
    out = tmp_path / "fixed.json"
    assert fix_polygon_scaling(str(path), str(out)) is None
    expected = json.loads(json.dumps(data))
    expected["detections"][0]["formatted_polygon"] = [
        "pig 0.250000 0.500000", "pig 0.050000 0.400000 0.150000 0.800000", "pig "]
    assert out.read_bytes() == json.dumps(expected, indent=4).encode()


def test_fix_polygon_scaling_twice_in_place(annotated):
    # Each pass multiplies x by height / width and y by width / height again; every
    # other field survives both rewrites unchanged and in order.
    path, data = annotated
    fix_polygon_scaling(path, path)
    fix_polygon_scaling(str(path), str(path))
    again = json.loads(path.read_text())
    polys = again["detections"][0]["formatted_polygon"]
    assert polys == ["pig 0.125000 1.000000", "pig 0.025000 0.800000 0.075000 1.600000", "pig "]
    again["detections"][0]["formatted_polygon"] = data["detections"][0]["formatted_polygon"]
    assert json.dumps(again) == json.dumps(data)
    assert sorted(p.name for p in path.parent.iterdir()) == ["frame.png", "output_pp_3.json"]


def test_fix_polygon_scaling_failures_leave_files_alone(annotated, tmp_path, capsys):
    path, data = annotated
    bad_image = dict(data, image_path=str(tmp_path / "nowhere.png"))
    path.write_text(json.dumps(bad_image))
    out = tmp_path / "fixed.json"
    fix_polygon_scaling(str(path), str(out))
    assert capsys.readouterr().out.startswith("Error loading image: ")
    assert not out.exists()

    # A bad token in a later detection: the file being rewritten in place stays whole.
    broken = json.loads(json.dumps(data))
    broken["detections"][1]["formatted_polygon"] = ["pig 0.1 oops"]
    original = json.dumps(broken)
    path.write_text(original)
    with pytest.raises(ValueError, match="oops"):
        fix_polygon_scaling(str(path), str(path))
    assert path.read_text() == original


def test_polygon_numbers_are_read_as_float_reads_them():
    # plain decimals take a quicker reading than exponents and underscores: bit for bit the same
    import struct

    from herdmask._native import annotation as core

    rng = np.random.default_rng(11)
    texts = []
    for sign, whole, places in zip(rng.choice(["", "-", "+"], 2000), rng.integers(0, 4, 2000), rng.integers(-1, 15, 2000)):
        digits = "".join(rng.choice(list("0123456789"), whole + max(places, 0)))
        texts.append(sign + digits[:whole] + ("" if places < 0 else "." + digits[whole:]))
    texts = [t for t in texts if t.strip("+-") not in ("", ".")] + ["1e-3", "1_0.5", "0.30000000000000004"]
    texts += ["0"] * (len(texts) % 2)
    got = [v for point in core.polygon_points("pig " + " ".join(texts), 1.0, 1.0) for v in point]
    assert [struct.pack("d", v) for v in got] == [struct.pack("d", float(t)) for t in texts]
