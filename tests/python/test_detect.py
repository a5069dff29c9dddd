"""Detection ordering and filtering; the dark-image enhancement and per-animal features."""

from types import SimpleNamespace

import cv2
import numpy as np
import pytest
from PIL import Image

from herdmask import _native
from herdmask.detect import enhance_dark_text, generate_sam2_image_features, process_gdino_results
from herdmask.testing import StandInImagePredictor, StandInProcessor, box_mask
from valued_masks import DTYPES, valued_masks

torch = pytest.importorskip("torch")


def detections(boxes, scores, labels, label_ids=False):
    processor = StandInProcessor({"f": {"boxes": boxes, "scores": scores, "labels": labels}},
                                 label_ids=label_ids)
    processor(images=SimpleNamespace(filename="f"))
    return processor.post_process_grounded_object_detection({"frame_token": [0]})


# --- detection post-processing ----------------------------------------------


@pytest.mark.parametrize("label_ids", [False, True])
def test_sorted_by_top_then_left_edge_stably(label_ids):
    boxes = [(5, 50, 9, 60), (30, 10, 40, 20), (20, 10, 25, 20), (30, 10, 41, 21)]
    result = detections(boxes, [0.1, 0.2, 0.3, 0.4], ["pig"] * 4, label_ids)
    out_boxes, scores, labels = process_gdino_results(result)
    assert out_boxes[:, :2].tolist() == [[20, 10], [30, 10], [30, 10], [5, 50]]
    assert scores.tolist() == pytest.approx([0.3, 0.2, 0.4, 0.1])  # ties keep input order
    assert labels.tolist() == ["pig"] * 4
    assert isinstance(out_boxes, np.ndarray) and isinstance(scores, np.ndarray)


@pytest.mark.parametrize("labels, target, kept", [
    (["pig", "pig", "person"], "pig", ["pig", "pig"]),
    (["person", "dog"], "pig", ["person", "dog"]),
    (["pig", "pig"], "Pig", ["pig", "pig"]),
    (["pig", "person"], "person", ["person"]),
])
def test_label_filter_only_when_the_target_was_found(labels, target, kept):
    boxes = [(0, i, 5, i + 5) for i in range(len(labels))]
    result = detections(boxes, [0.5] * len(labels), labels)
    _, scores, out_labels = process_gdino_results(result, target_label=target)
    assert out_labels.tolist() == kept and len(scores) == len(kept)


def test_newer_results_with_label_ids_filter_on_the_texts():
    result = detections([(0, 0, 5, 5), (0, 1, 5, 5)], [0.5, 0.6], ["person", "pig"], label_ids=True)
    assert result[0]["labels"].dtype == torch.long
    _, _, labels = process_gdino_results(result)
    assert labels.tolist() == ["pig"]


def test_no_detections_give_three_empty_arrays():
    boxes, scores, labels = process_gdino_results(detections([], [], []))
    assert boxes.shape == (0, 4) and scores.shape == (0,) and labels.shape == (0,)


def test_missing_key_propagates():
    with pytest.raises(KeyError):
        process_gdino_results([{"scores": torch.zeros(0), "labels": []}])


# --- dark-image enhancement -------------------------------------------------


def reference_enhance(rgb, gamma):
    gray = cv2.cvtColor(rgb[:, :, ::-1], cv2.COLOR_BGR2GRAY)
    table = np.array([((i / 255.0) ** (1.0 / gamma)) * 255 for i in range(256)]).astype("uint8")
    return cv2.equalizeHist(cv2.LUT(gray, table))


@pytest.mark.parametrize("gamma", [1.5, 10, 0.7, 3])
def test_enhance_matches_plain_formulation(gamma):
    rng = np.random.default_rng(int(gamma * 10))
    for shape in [(1, 1), (17, 31), (120, 90)]:
        rgb = (rng.random((*shape, 3)) ** 3 * 255).astype(np.uint8)
        out = enhance_dark_text(Image.fromarray(rgb), gamma)
        assert out.mode == "L" and out.size == (shape[1], shape[0])
        np.testing.assert_array_equal(np.asarray(out), reference_enhance(rgb, gamma))


def test_gamma_table_truncates():
    # A two-level image: equalisation puts the lower level at 0 and the upper at
    # 255, so the table is read through an image whose two levels map apart.
    rgb = np.zeros((1, 2, 3), np.uint8)
    rgb[0, 1] = 1
    assert np.asarray(enhance_dark_text(Image.fromarray(rgb), 10)).tolist() == [[0, 255]]
    with pytest.raises(ZeroDivisionError):
        enhance_dark_text(Image.fromarray(rgb), 0)


def test_enhance_converts_other_modes_and_rejects_non_images():
    rgba = Image.new("RGBA", (4, 3), (25, 25, 25, 7))
    out = enhance_dark_text(rgba)
    assert out.size == (4, 3)
    with pytest.raises(ValueError):
        enhance_dark_text(np.zeros((4, 4), np.uint8))


# --- image features ---------------------------------------------------------


def reference_input(image, mask):
    """The per-mask encoder input built with Pillow and NumPy, resized with Pillow's bilinear."""
    y, x = np.where(mask > 0)
    x1, x2, y1, y2 = x.min(), x.max(), y.min(), y.max()
    crop = image.crop((x1, y1, x2, y2))
    overlay = Image.fromarray((mask[y1:y2, x1:x2] * 255).astype(np.uint8), mode="L")
    gray = Image.fromarray(reference_enhance(np.array(crop.convert("RGB")), 10))
    overlay = overlay.resize(gray.size)
    composite = Image.composite(gray.convert("RGB"), Image.new("RGB", gray.size, (0, 0, 0)),
                                overlay.convert("1"))
    plane = np.asarray(composite, dtype=np.float32)[:, :, 0] / 255.0
    resized = np.asarray(Image.fromarray(plane, mode="F").resize((256, 256), Image.BILINEAR))
    return np.broadcast_to(resized, (1, 3, 256, 256))


def random_blob(rng, shape):
    h, w = shape
    cy, cx = rng.integers(0, h), rng.integers(0, w)
    ry, rx = rng.integers(2, h // 2), rng.integers(2, w // 2)
    yy, xx = np.mgrid[:h, :w]
    return ((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 + rng.random((h, w)) * 0.3 < 1


def test_encoder_input_matches_plain_formulation_on_random_masks():
    rng = np.random.default_rng(5)
    for shape in [(60, 80), (300, 420), (120, 900)]:
        image = Image.fromarray(rng.integers(0, 256, (*shape, 3), dtype=np.uint8))
        rgb = np.array(image)
        for _ in range(4):
            mask = random_blob(rng, shape)
            if (mask > 0).sum() < 10:
                continue
            got, = _native.detect.feature_inputs(rgb, [mask])
            np.testing.assert_allclose(got, reference_input(image, mask), atol=2e-6)


@pytest.mark.parametrize("dtype", DTYPES)
def test_encoder_inputs_of_every_dtype(dtype):
    """The size test counts non-zero pixels; the window and the cut-out take those
    greater than 0, and a mask without a window of them gives None."""
    rng = np.random.default_rng(17)
    shape = (40, 60)
    image = Image.fromarray(rng.integers(0, 256, (*shape, 3), dtype=np.uint8))
    masks = valued_masks(rng, dtype, 12, shape)
    got = _native.detect.feature_inputs(np.array(image), masks)
    made = 0
    for mask, crop in zip(masks, got):
        ys, xs = np.nonzero(mask > 0)
        if (np.count_nonzero(mask) < 10 or not len(ys) or ys.min() == ys.max()
                or xs.min() == xs.max()):
            assert crop is None
            continue
        made += 1
        np.testing.assert_allclose(crop, reference_input(image, mask > 0), atol=2e-6)
    assert made >= 4


def test_encoder_input_window_stops_before_last_row_and_column():
    mask = np.zeros((30, 40), bool)
    mask[5:9, 10:21] = True  # rows 5..8, columns 10..20: a 10 x 3 window
    rgb = np.full((30, 40, 3), (200, 100, 50), np.uint8)
    rgb[8, :] = 255
    rgb[:, 20] = 255
    got, = _native.detect.feature_inputs(rgb, [mask])
    # Without the white last row and column the window is uniform: gray 124, which
    # the gamma table sends to 237 and equalisation leaves as it is.
    np.testing.assert_allclose(got, np.full((1, 3, 256, 256), 237 / 255), atol=1e-6)


@pytest.fixture
def predictor():
    return StandInImagePredictor(feature_dim=6)


def test_features_per_mask_none_for_tiny_and_thin_masks(predictor):
    rng = np.random.default_rng(1)
    image = Image.fromarray(rng.integers(0, 80, (50, 70, 3), dtype=np.uint8))
    nine_pixels = np.zeros((50, 70), np.uint8)
    nine_pixels[20:23, 30:33] = 1
    row = np.zeros((50, 70), bool)
    row[40, 5:60] = True
    pig = box_mask((10, 10, 40, 30), (50, 70))
    same_pig = pig.astype(np.float32)
    other = box_mask((45, 5, 68, 45), (50, 70))
    negative = np.where(pig, 1.0, -1.0)  # set where > 0 only
    # Ten non-zero elements pass the size test; the window comes from the four
    # positive ones (a 2 x 2 square gives a 1 x 1 window). None positive: None.
    few_positive = np.zeros((50, 70))
    few_positive[0, :6] = -2.0
    few_positive[10:12, 10:12] = 0.5
    all_negative = -np.ones((50, 70))
    feats = generate_sam2_image_features(
        image, [pig, nine_pixels, row, same_pig, other, negative, few_positive, all_negative],
        predictor)
    assert [f is None for f in feats] == [False, True, True, False, False, False, False, True]
    assert feats[0].shape == (6,)
    assert torch.equal(feats[0], feats[3]) and torch.equal(feats[0], feats[5])
    assert not torch.allclose(feats[0], feats[4])
    encoder = predictor.model.image_encoder
    assert all(c["shape"] == (1, 3, 256, 256) and not c["grad_enabled"] for c in encoder.calls)
    assert predictor.set_image_calls == [(50, 70, 3)]


def test_no_masks_still_sets_the_image(predictor):
    assert generate_sam2_image_features(Image.new("L", (8, 6)), [], predictor) == []
    assert predictor.set_image_calls == [(6, 8, 3)]


def test_features_follow_the_encoder_device(predictor):
    encoder = predictor.model.image_encoder
    feats = generate_sam2_image_features(Image.new("RGB", (20, 20)), [np.ones((20, 20))], predictor)
    assert feats[0].device == next(encoder.parameters()).device
    assert encoder.calls[0]["device"] == next(encoder.parameters()).device


def test_mask_of_another_size_is_a_value_error(predictor):
    with pytest.raises(ValueError, match="does not match"):
        generate_sam2_image_features(Image.new("RGB", (20, 20)), [np.ones((21, 20))], predictor)
    # Every mask is checked before any is prepared or encoded.
    with pytest.raises(ValueError, match="mask of 20 x 19 pixels"):
        generate_sam2_image_features(Image.new("RGB", (20, 20)),
                                     [np.ones((20, 20), bool), np.ones((20, 19), bool),
                                      np.ones((18, 20), bool)], predictor)
    assert predictor.model.image_encoder.calls == []


def test_batch_preparation_equals_one_mask_at_a_time():
    # Enough frame-sized masks to be shared among threads, with tiny and thin ones among them.
    rng = np.random.default_rng(8)
    shape = (720, 1280)
    rgb = rng.integers(0, 256, (*shape, 3), dtype=np.uint8)
    masks = [random_blob(rng, shape) for _ in range(12)]
    masks[3] = np.zeros(shape, np.uint8)
    masks[3][100, 200:300] = 7
    masks[7] = np.zeros(shape, bool)
    masks[7][5:8, 5:8] = True
    masks[11] = masks[11].astype(np.float32)
    batch = _native.detect.feature_inputs(rgb, masks)
    for mask, got in zip(masks, batch):
        alone, = _native.detect.feature_inputs(rgb, [mask])
        assert (got is None) == (alone is None)
        if got is not None:
            assert got.shape == (1, 3, 256, 256) and np.array_equal(got, alone)
    assert batch[3] is None and batch[7] is None
    assert _native.detect.feature_inputs(rgb, []) == []


@pytest.mark.parametrize("dtype", [np.float32, np.float64, bool])
@pytest.mark.parametrize("layout", ["stack", "with_unit_axis", "strided"])
def test_kept_masks_are_the_segmenters_planes_bit_for_bit(dtype, layout):
    from herdmask import detect as det

    rng = np.random.default_rng(5)
    animals = np.zeros((6, 1, 40, 52), dtype)
    for k in range(6):  # apart from each other, each with the odd -0.0, NaN or soft edge value
        y, x = 2 + 20 * (k // 3), 2 + 17 * (k % 3)
        animals[k, 0, y:y + 8, x:x + 10] = 1
        animals[k, 0, y + 10, x + rng.integers(0, 12)] = rng.choice([-0.0, np.nan, 0.25])
    labels = np.array(["pig"] * 6)
    scores = np.linspace(0.9, 0.4, 6)
    # A doubled animal loses to its better-scored twin: scattered survivors are
    # copied, a run of survivors is handed on as a slice.
    for doubled, keys in [((1, 4), [0, 2, 3, 5]), ((4, 5), [0, 1, 2, 3]), ((), [0, 1, 2, 3, 4, 5])]:
        masks = animals.copy()
        for d in doubled:
            masks[d] = masks[d - 1]
        if layout == "stack":
            masks = masks[:, 0]
        elif layout == "strided":
            masks = masks[:, 0, :, ::2]
        boxkeys, kept = det._kept_only(masks, labels, scores, len(keys))
        assert list(boxkeys) == keys
        got, got_labels, got_scores = kept
        want = masks[keys]
        assert got.shape == want.shape and got.dtype == want.dtype
        assert got.tobytes() == want.tobytes()
        assert np.shares_memory(got, masks) == (keys[-1] - keys[0] + 1 == len(keys))
        assert list(got_scores) == list(scores[keys]) and list(got_labels) == list(labels[keys])
        assert det._kept_only(masks, labels, scores, len(keys) + 1)[1] is None
