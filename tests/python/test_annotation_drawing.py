"""Drawing: the mask composite against per-point drawing, boxes, labels, annotation pictures."""

import json
import random
from concurrent.futures import ThreadPoolExecutor

import matplotlib.pyplot as plt
import numpy as np
import pytest
from PIL import Image, ImageDraw, ImageFont

from herdmask import (draw_masks_on_image, img_bbx_drawing, retrieve_annotation,
                      video_segments_mask_visual)
from valued_masks import DTYPES, valued_masks


def _colour(index):
    np.random.seed(index)
    return tuple(int(v) for v in np.random.randint(0, 256, 3))


def _per_point(image, masks):
    """The plain way: every set pixel drawn as one point, then alpha compositing."""
    overlay = Image.new("RGBA", image.size, (255, 255, 255, 0))
    draw = ImageDraw.Draw(overlay)
    for i, mask in enumerate(masks):
        colour = _colour(42 + i) + (128,)
        ys, xs = np.where(np.asarray(mask) > 0)
        for x, y in zip(xs.tolist(), ys.tolist()):
            draw.point((x, y), fill=colour)
    return Image.alpha_composite(image.convert("RGBA"), overlay)


def _random_masks(rng, n, h, w):
    return [rng.random((h, w)) < rng.uniform(0.05, 0.6) for _ in range(n)]


@pytest.mark.parametrize("mode", ["RGB", "RGBA", "L", "P"])
def test_composite_equals_per_point_drawing(mode):
    rng = np.random.default_rng(len(mode))
    h, w = 23, 31
    pixels = rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
    image = Image.fromarray(pixels, "RGBA").convert(mode)
    masks = _random_masks(rng, 5, h, w)
    # Other dtypes: non-positive values are not set.
    masks[1] = np.where(masks[1], rng.uniform(0.1, 2, (h, w)), -rng.uniform(0, 2, (h, w)))
    masks[2] = masks[2].astype(np.uint8) * 255
    masks[3] = np.where(masks[3], 3, -7).astype(np.int16)
    masks[4] = np.where(masks[4], 1, -1).astype(np.int8)  # a sign test, not a byte test
    got = draw_masks_on_image(image, masks)
    assert got.mode == "RGBA" and got.size == image.size
    np.testing.assert_array_equal(np.asarray(got), np.asarray(_per_point(image, masks)))


def test_composite_with_masks_of_another_size_and_none():
    rng = np.random.default_rng(9)
    image = Image.fromarray(rng.integers(0, 256, (12, 16, 3), dtype=np.uint8))
    masks = [rng.random((20, 9)) < 0.5, rng.random((5, 30)) < 0.5, np.zeros((12, 16), bool)]
    np.testing.assert_array_equal(np.asarray(draw_masks_on_image(image, masks)),
                                  np.asarray(_per_point(image, masks)))
    unchanged = draw_masks_on_image(image, [])
    np.testing.assert_array_equal(np.asarray(unchanged), np.asarray(image.convert("RGBA")))


@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_images_too_large_to_lend_are_copied_in_and_out(mode):
    # Over 16 MB of pixels the imaging library keeps rows in several blocks.
    image = Image.new(mode, (2200, 2000), (40, 80, 120))
    with pytest.raises(ValueError):
        image.__arrow_c_array__()
    mask = np.zeros((2000, 2200), np.float32)
    mask[1990:, 2190:] = 1.0
    mask[5, 7] = -1.0
    got = img_bbx_drawing(image, {"a": mask})
    np.testing.assert_array_equal(np.asarray(got), np.asarray(_reference_bbx(image, {"a": mask})))


def test_later_mask_wins_on_overlap_and_global_generator_is_untouched():
    image = Image.new("RGB", (4, 3), (10, 20, 30))
    first = np.ones((3, 4), bool)
    second = np.zeros((3, 4), bool)
    second[1, 2] = True
    np.random.seed(7)
    state = np.random.get_state()[1].copy()
    out = np.asarray(draw_masks_on_image(image, [first, second]))
    np.testing.assert_array_equal(np.random.get_state()[1], state)
    ref = np.asarray(_per_point(image, [first, second]))
    np.testing.assert_array_equal(out, ref)
    assert tuple(out[1, 2]) != tuple(out[0, 0])


def _reference_bbx(image, mask_dict):
    image = _per_point(image, list(mask_dict.values()))
    draw = ImageDraw.Draw(image)
    try:
        font = ImageFont.truetype("arial.ttf", 11)
    except OSError:
        font = ImageFont.load_default()
    for ii, (index, mask) in enumerate(mask_dict.items()):
        ys, xs = np.where(mask)
        box = (xs.min(), ys.min(), xs.max(), ys.max()) if len(xs) else (0, 0, 0, 0)
        x0, y0, x1, y1 = (int(v) for v in box)
        colour = _colour(42 + ii)
        draw.rectangle((x0, y0, x1, y1), outline=colour, width=3)
        l, t, r, b = draw.textbbox((x0, y0), str(index), font=font)
        draw.rectangle((x0, y0 - (b - t) - 4, x0 + (r - l) + 4, y0), fill=colour)
        draw.text((x0 + 2, y0 - (b - t) - 4), str(index), fill="white", font=font)
    return image


def test_img_bbx_drawing_matches_plain_drawing_and_repeats():
    image = Image.new("RGB", (60, 40), (90, 90, 90))
    masks = {}
    for k, (x, y) in enumerate([(5, 0), (30, 15), (40, 25)]):
        m = np.zeros((40, 60), np.uint8)
        m[y:y + 10, x:x + 14] = 1
        masks[f"Box{k}"] = m
    masks[7] = np.zeros((40, 60), bool)
    first = np.asarray(img_bbx_drawing(image, masks))
    np.testing.assert_array_equal(first, np.asarray(_reference_bbx(image, masks)))
    np.testing.assert_array_equal(first, np.asarray(img_bbx_drawing(image=image, mask_dict=masks)))
    # Each thread keeps its own label font: drawings made at once on two threads
    # are the same picture.
    with ThreadPoolExecutor(2) as pool:
        for drawn in pool.map(lambda _: np.asarray(img_bbx_drawing(image, masks)), range(8)):
            np.testing.assert_array_equal(drawn, first)
    # The box outline has its mask's colour.
    assert tuple(first[20, 30][:3]) == _colour(43)


@pytest.mark.parametrize("dtype", DTYPES)
def test_every_dtype_is_painted_above_zero_and_boxed_where_non_zero(dtype):
    rng = np.random.default_rng(4)
    image = Image.fromarray(rng.integers(0, 256, (30, 50, 3), dtype=np.uint8))
    masks = {f"Box{i}": m for i, m in enumerate(valued_masks(rng, dtype, 5, (30, 50)))}
    np.testing.assert_array_equal(np.asarray(img_bbx_drawing(image, masks)),
                                  np.asarray(_reference_bbx(image, masks)))


# ---- annotation pictures -----------------------------------------------------------------

@pytest.fixture
def annotation_file(tmp_path):
    image = tmp_path / "frame.png"
    Image.new("RGB", (200, 100), (0, 0, 0)).save(image)
    data = {"image_path": str(image), "detections": [
        {"object_id": 1, "xyxy": [[20, 30, 60, 70]],
         "formatted_polygon": ["pig 0.1 0.3 0.3 0.3 0.3 0.7 0.1 0.7"]},
        {"object_id": 2, "xyxy": [[120, 30, 160, 70]],
         "formatted_polygon": ["pig 0.6 0.3 0.8 0.3 0.8 0.7", "pig 0.5 0.25", "pig"]},
        {"object_id": 3, "xyxy": [], "formatted_polygon": ["pig 0.9 0.1 0.95 0.1 0.95 0.2"]},
    ]}
    path = tmp_path / "output_pp_0.json"
    path.write_text(json.dumps(data))
    return path


def test_retrieve_annotation_draws_chosen_objects(annotation_file, tmp_path):
    out = np.asarray(retrieve_annotation(str(annotation_file), object_ids=[2, 3]))
    assert out.shape == (100, 200, 4)
    assert tuple(out[50, 40]) == (0, 0, 0, 255)       # object 1 not chosen
    assert out[40, 150, :3].any()                      # object 2 filled
    assert out[25, 100, :3].any()                      # its single vertex (100, 25)
    assert not out[15, 185, :3].any()                  # object 3 has no box, so no polygon
    fill = out[40, 150]
    assert fill[3] == 255 and max(fill[:3]) <= round(254 * 100 / 255) + 1


def test_retrieve_annotation_boxes_labels_and_saving(annotation_file, tmp_path):
    saved = tmp_path / "picture.png"
    out = retrieve_annotation(annotation_file, save_path=str(saved), box_drawing=True)
    pixels = np.asarray(out)
    assert np.asarray(Image.open(saved)).tolist() == pixels.tolist()
    # Label tab above the box's top-left corner, partly white text on colour.
    tab = pixels[18:30, 20:50, :3]
    assert tab.any() and (tab.min(axis=2) > 200).sum() > 10
    assert pixels[30, 40, :3].any()  # box edge


def test_far_boxes_draw_like_near_ones(tmp_path):
    image = tmp_path / "frame.png"
    Image.new("RGB", (40, 30)).save(image)

    def picture(box):
        path = tmp_path / "far.json"
        path.write_text(json.dumps({"image_path": str(image), "detections": [
            {"object_id": 1, "xyxy": [box], "formatted_polygon": []}]}))
        random.seed(4)  # the same colour for both pictures
        return np.asarray(retrieve_annotation(str(path), box_drawing=True))

    np.testing.assert_array_equal(picture([5, -1e9, 2e9, 20]), picture([5, -50, 100, 20]))


def test_retrieve_annotation_without_detections(tmp_path):
    image = tmp_path / "frame.png"
    Image.new("RGB", (8, 6), (1, 2, 3)).save(image)
    path = tmp_path / "empty.json"
    path.write_text(json.dumps({"image_path": str(image), "detections": []}))
    saved = tmp_path / "out.png"
    out = retrieve_annotation(str(path), str(saved))
    assert out.mode == "RGBA" and out.getpixel((0, 0)) == (1, 2, 3, 255)
    assert saved.exists()


def test_failed_save_leaves_the_old_picture_whole(annotation_file, tmp_path, monkeypatch):
    saved = tmp_path / "picture.png"
    saved.write_bytes(b"the picture saved last time")

    def save_half_then_fail(image, fp, *args, **kwargs):
        with open(fp, "wb") as f:
            f.write(b"\x89PNG half")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(Image.Image, "save", save_half_then_fail)
    with pytest.raises(OSError, match="No space"):
        retrieve_annotation(str(annotation_file), save_path=str(saved))
    assert saved.read_bytes() == b"the picture saved last time"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["frame.png", "output_pp_0.json",
                                                          "picture.png"]


def test_huge_box_coordinates_raise_value_error_naming_the_box(tmp_path):
    image = tmp_path / "frame.png"
    Image.new("RGB", (40, 30)).save(image)
    path = tmp_path / "huge.json"
    for box in ([5, 1e308, 20, 20], [2**70, 5, 20, 20], [5, 5, float("inf"), 20]):
        path.write_text(json.dumps({"image_path": str(image), "detections": [
            {"object_id": 1, "xyxy": [box], "formatted_polygon": []}]}))
        with pytest.raises(ValueError, match=r"box \["):
            retrieve_annotation(str(path), box_drawing=True)
        retrieve_annotation(str(path))  # a box that is not drawn is not looked at


@pytest.mark.parametrize("detection, error", [
    ({"object_id": 1, "xyxy": [[1, 2, 3]], "formatted_polygon": []}, ValueError),
    ({"xyxy": [], "formatted_polygon": []}, KeyError),
    ({"object_id": 1, "xyxy": [[1, 2, 3, 4]], "formatted_polygon": ["p 0.1 x"]}, ValueError),
    ({"object_id": 1, "xyxy": [[1, 2, 3, 4]], "formatted_polygon": ["p nan 0.1"]}, ValueError),
])
def test_retrieve_annotation_bad_detections(tmp_path, detection, error):
    image = tmp_path / "frame.png"
    Image.new("RGB", (8, 6)).save(image)
    path = tmp_path / "bad.json"
    path.write_text(json.dumps({"image_path": str(image), "detections": [detection]}))
    with pytest.raises(error):
        retrieve_annotation(str(path))


def test_video_segments_mask_visual():
    plt.figure()
    segments = {3: {7: np.eye(4, dtype=bool)[None]}}
    assert video_segments_mask_visual(segments, 3, 7) is None
    assert plt.gca().get_images()[0].get_array().shape == (4, 4)
    with pytest.raises(KeyError):
        video_segments_mask_visual(segments, 4, 7)
    plt.close("all")
