"""The model calls against the real detector and segmenter libraries, offline, random weights.

The detector is built from a tiny configuration with a tokenizer vocabulary of a
few words (scripts/make_tiny_models.py), so nothing is downloaded. The segmenter's
image predictor comes from its package's smallest configuration, without a checkpoint.
"""

import numpy as np
import pytest
from PIL import Image

import herdmask.annotation
import herdmask.pen
from herdmask.detect import generate_sam2_image_features, initializer, process_gdino_results
from herdmask.testing import StandInImagePredictor, StandInGroundingModel, StandInProcessor

torch = pytest.importorskip("torch")


@pytest.fixture(scope="module")
def detector(tmp_path_factory, tiny_model_script):
    pytest.importorskip("transformers")
    return tiny_model_script.tiny_grounding_dino(str(tmp_path_factory.mktemp("vocab")))


def test_real_detector_result_is_read_sorted_and_on_the_host(detector):
    processor, model = detector
    image = Image.fromarray(np.random.default_rng(0).integers(0, 255, (48, 80, 3), dtype=np.uint8))
    inputs = processor(images=image, text="pig.", return_tensors="pt").to("cpu")
    with torch.no_grad():
        outputs = model(**inputs)
    results = processor.post_process_grounded_object_detection(
        outputs, inputs.input_ids, text_threshold=0.25, target_sizes=[(48, 80)])
    boxes, scores, labels = process_gdino_results(results)
    raw = results[0]
    assert isinstance(boxes, np.ndarray) and boxes.shape == (len(raw["scores"]), 4)
    assert np.all(np.diff(boxes[:, 1]) >= 0)
    assert labels.dtype.kind == "U" and set(labels) <= set(raw["text_labels"] if "text_labels" in raw
                                                           else raw["labels"])
    order = np.lexsort((raw["boxes"][:, 0].numpy(), raw["boxes"][:, 1].numpy()))
    if "pig" not in labels:  # random weights: every label kept, in sorted order
        np.testing.assert_array_equal(scores, raw["scores"].numpy()[order])


def test_search_runs_on_the_real_detector(detector, tmp_path, monkeypatch, capsys):
    processor, model = detector
    names = []
    for i in range(3):
        path = tmp_path / f"{i:04d}.jpg"
        Image.fromarray(np.full((48, 80, 3), 40 * i, np.uint8)).save(path)
        names.append(str(path))
    monkeypatch.setattr(herdmask.pen, "draw_pen", lambda *a, **k: [(0, 0), (80, 0), (80, 48)],
                        raising=False)
    monkeypatch.setattr(herdmask.pen, "calculate_pen_intersection_ratio",
                        lambda poly, boxes, thr: ([100.0] * len(boxes), [True] * len(boxes)),
                        raising=False)
    monkeypatch.setattr(herdmask.annotation, "img_bbx_drawing", lambda image, d: image,
                        raising=False)
    result = initializer("v", names, processor, model, "cpu", StandInImagePredictor(),
                         step=2, close_set_num=99, custom_pen_json_path="pen.json")
    assert result == (None, None, None, None)
    out = capsys.readouterr().out
    assert "ann_frame_idx [2]" in out or "No boxes found in frame 2" in out


@pytest.fixture(scope="module")
def sam2_predictor(segmenter):
    from sam2.build_sam import build_sam2
    from sam2.sam2_image_predictor import SAM2ImagePredictor

    torch.manual_seed(0)
    model = build_sam2("configs/sam2.1/sam2.1_hiera_t.yaml", ckpt_path=None, device="cpu")
    return SAM2ImagePredictor(model)


def test_real_image_predictor_masks_and_encoder(sam2_predictor, tmp_path):
    image = Image.fromarray(np.random.default_rng(1).integers(0, 255, (64, 96, 3), dtype=np.uint8))
    sam2_predictor.set_image(np.array(image))
    for boxes, shape in [(np.array([[5, 5, 40, 40]]), (1, 64, 96)),
                         (np.array([[5, 5, 40, 40], [50, 10, 90, 60]]), (2, 1, 64, 96))]:
        masks, scores, logits = sam2_predictor.predict(
            point_coords=None, point_labels=None, box=boxes, multimask_output=False)
        assert masks.shape == shape and scores.shape[0] == logits.shape[0] == shape[0]
    mask = np.zeros((64, 96), bool)
    mask[10:30, 20:50] = True
    feats = generate_sam2_image_features(image, [mask, mask], sam2_predictor)
    assert feats[0].ndim == 1 and torch.equal(feats[0], feats[1])


def test_search_reads_the_real_segmenters_masks(sam2_predictor, tmp_path, monkeypatch, capsys):
    """The search hands the real predictor its boxes and reads its answer for one and
    for several boxes; run once to learn how many masks survive, then again asking
    for exactly that many, which must return them with their labels."""
    rng = np.random.default_rng(2)
    names = []
    for i in range(2):
        path = tmp_path / f"{i:04d}.jpg"
        Image.fromarray(rng.integers(0, 255, (64, 96, 3), dtype=np.uint8)).save(path)
        names.append(str(path))
    pen = tmp_path / "pen.json"
    pen.write_text('{"shapes": [{"points": [[0, 0], [96, 0], [96, 64], [0, 64]]}]}')
    script = {"0000": [(5, 5, 40, 40, 0.9, "pig")],
              "0001": [(5, 5, 40, 40, 0.9, "pig"), (50, 10, 90, 60, 0.8, "pig"),
                       (10, 40, 30, 60, 0.7, "pig")]}

    def search(close_set_num, start_index=0):
        return initializer(str(tmp_path), names, StandInProcessor(script), StandInGroundingModel(),
                           "cpu", sam2_predictor, start_index=start_index, step=1,
                           close_set_num=close_set_num, custom_pen_json_path=str(pen))

    assert search(99) == (None, None, None, None)
    out = capsys.readouterr().out
    kept = [int(line.split("totally ")[1].split()[0]) for line in out.splitlines()
            if line.startswith("Boxes will be kept")]
    assert len(kept) == 2 and 1 <= kept[1] <= 3
    masks, labels, frame, annotated = search(kept[1], start_index=1)
    assert frame == 1 and masks.shape == (kept[1], 64, 96) and list(labels) == ["pig"] * kept[1]
    assert annotated.size == (96, 64)
