"""The start-frame search on scripted frames with the stand-in models."""

import numpy as np
import pytest
from PIL import Image

import herdmask
import herdmask.annotation
import herdmask.pen
from herdmask.detect import initializer
from herdmask.testing import (StandInGroundingModel, StandInImagePredictor, StandInProcessor,
                              box_mask)

torch = pytest.importorskip("torch")

HEIGHT, WIDTH = 100, 200


@pytest.fixture
def frames(tmp_path):
    def make(count):
        names = []
        for i in range(count):
            path = tmp_path / f"{i:04d}.jpg"
            Image.new("RGB", (WIDTH, HEIGHT), (i, 2 * i, 3 * i)).save(path)
            names.append(str(path))
        return names

    return make


@pytest.fixture
def pen_stub(monkeypatch):
    """Pen tests replaced by a rule on the box: outside when x1 >= 1000."""
    calls = []

    def draw_pen(image_path, json_path, drawout=False):
        calls.append(("draw_pen", image_path, json_path, drawout))
        return [(0, 0), (WIDTH, 0), (WIDTH, HEIGHT), (0, HEIGHT)]

    def calculate_pen_intersection_ratio(polygon_points, boxes, ratio_threshold):
        calls.append(("ratio", ratio_threshold, np.array(boxes, dtype=float)))
        inside = [float(b[0]) < 1000 for b in boxes]
        return [100.0 if k else 0.0 for k in inside], inside

    drawn = []

    def img_bbx_drawing(image, mask_dict):
        drawn.append((image, dict(mask_dict)))
        return "annotated"

    monkeypatch.setattr(herdmask.pen, "draw_pen", draw_pen, raising=False)
    monkeypatch.setattr(herdmask.pen, "calculate_pen_intersection_ratio",
                        calculate_pen_intersection_ratio, raising=False)
    monkeypatch.setattr(herdmask.annotation, "img_bbx_drawing", img_bbx_drawing, raising=False)
    return calls, drawn


def square(x, y, side=8):
    """A side x side mask at column x, row y."""
    m = np.zeros((HEIGHT, WIDTH), dtype=bool)
    m[y:y + side, x:x + side] = True
    return m


def run(names, detections, masks=None, **kwargs):
    processor = StandInProcessor(detections)
    model = StandInGroundingModel()
    predictor = StandInImagePredictor(masks=masks)
    result = initializer("D:\\v\\Camera61_1", names, processor, model, "cpu", predictor,
                         custom_pen_json_path="pen.json", **kwargs)
    return result, processor, model, predictor


def separate_pigs(n, label="pig", y=5):
    return [(10 + 15 * i, y, 20 + 15 * i, y + 10, 0.9 - 0.01 * i, label) for i in range(n)]


def test_examines_start_then_every_step_and_says_why_each_frame_failed(frames, pen_stub, capsys):
    names = frames(25)
    dets = {"0003.jpg": separate_pigs(2), "0013.jpg": separate_pigs(4)}
    result, processor, model, predictor = run(names, dets, start_index=3, step=10, close_set_num=3)
    assert result == (None, None, None, None)
    assert [c["images"].filename for c in processor.calls] == [names[3], names[13], names[23]]
    assert capsys.readouterr().out == (
        "Using pen JSON path: pen.json\n"
        "Boxes will be kept: [0 1], totally 2 keys\n"
        "ann_frame_idx [3] cannot work, too few bbx found..\n\n"
        "Boxes will be kept: [0 1 2 3], totally 4 keys\n"
        "ann_frame_idx [13] cannot work, too many bbx found..\n\n"
        "No boxes found in frame 23. Skipping to next frame.\n")
    # The model calls as the detector and segmenter expect them.
    assert all(c["text"] == "pig." and c["return_tensors"] == "pt" for c in processor.calls)
    assert all(not c["grad_enabled"] for c in model.calls)
    post = processor.post_process_calls[0]
    assert post["text_threshold"] == 0.25 and post["target_sizes"] == [(HEIGHT, WIDTH)]
    assert post["threshold"] == 0.25  # the detector's own default: no box threshold is passed
    call = predictor.predict_calls[0]
    assert call["point_coords"] is None and call["point_labels"] is None
    assert call["multimask_output"] is False
    assert predictor.set_image_calls == [(HEIGHT, WIDTH, 3)] * 2


@pytest.mark.parametrize("start_index", [25, 40])
def test_start_beyond_the_frames_prints_only_the_pen_path(frames, pen_stub, capsys, start_index):
    result, processor, _, _ = run(frames(25), {}, start_index=start_index)
    assert result == (None, None, None, None)
    assert processor.calls == []
    assert capsys.readouterr().out == "Using pen JSON path: pen.json\n"


@pytest.mark.parametrize("step, printed", [(12, True), (10, False)])
def test_end_of_frames_line_only_when_the_stride_lands_on_the_last_frame(
        frames, pen_stub, capsys, step, printed):
    names = frames(25)
    dets = {f"{i:04d}.jpg": separate_pigs(1) for i in range(25)}
    run(names, dets, step=step)
    out = capsys.readouterr().out
    line = "No frame can work for 10 bbx, potential all stacking \n\n"
    assert (line in out) is printed
    if printed:
        assert out.endswith("ann_frame_idx [24] cannot work, too few bbx found..\n\n" + line)


def test_first_frame_that_works_returns_masks_labels_in_kept_order(frames, pen_stub, capsys):
    _, drawn = pen_stub
    names = frames(5)
    rows = separate_pigs(10)
    # Given in scrambled order and with a person the label filter must drop.
    rows = rows[5:] + rows[:5] + [(150, 80, 160, 90, 0.99, "person")]
    result, _, _, predictor = run(names, {"0000.jpg": rows})
    masks, objects, idx, annotated = result
    assert idx == 0 and annotated == "annotated"
    assert masks.shape == (10, HEIGHT, WIDTH)
    assert list(objects) == ["pig"] * 10
    expected = [box_mask(r[:4], (HEIGHT, WIDTH)) for r in separate_pigs(10)]
    assert all(np.array_equal(m != 0, e) for m, e in zip(masks, expected))
    image, mask_dict = drawn[0]
    assert list(mask_dict) == [f"Box{i}" for i in range(10)]
    assert image.size == (WIDTH, HEIGHT)
    out = capsys.readouterr().out.splitlines()
    assert out[1:3] == ["Boxes will be kept: [0 1 2 3 4 5 6 7 8 9], totally 10 keys",
                        "ann_frame_idx [0] works!!!"]
    assert out[3] == str(np.array([0.9 - 0.01 * i for i in range(10)], dtype=np.float32))


def test_pen_filter_is_applied_before_segmenting(frames, pen_stub):
    calls, _ = pen_stub
    rows = separate_pigs(2) + [(1500, 5, 1510, 15, 0.99, "pig")]
    result, _, _, predictor = run(frames(1), {"0000.jpg": rows}, close_set_num=2)
    assert result[2] == 0
    assert calls[0] == ("draw_pen", frames(1)[0], "pen.json", False)
    assert calls[1][1] == 40
    assert len(predictor.predict_calls[0]["box"]) == 2


@pytest.mark.parametrize("box, kept", [
    ((0, 10, 1500, 1010), False),    # upper half, area exactly 1,500,000
    ((0, 10, 1499, 1010), True),     # upper half, just under
    ((0, 50, 2000, 2050), False),    # top edge at half the height: 4,000,000 exactly
    ((0, 50, 1999, 2050), True),     # top edge at half the height, judged by the larger limit
    ((0, 49.5, 999, 1549.5), True),  # just above half: upper-half limit, 1,498,500
    ((0, 49.5, 1001, 1549.5), False),  # upper half, 1,501,500
])
def test_size_rule_at_its_bounds(frames, pen_stub, box, kept):
    # Boxes of implausible size are still given small masks of their own so only
    # the size rule decides.
    rows = [(*box, 0.5, "pig"), (120, 60, 130, 70, 0.9, "pig")]
    masks = {tuple(int(round(v)) for v in box): square(0, 0),
             (120, 60, 130, 70): square(120, 60)}
    result, _, _, predictor = run(frames(1), {"0000.jpg": rows}, masks=masks, close_set_num=2)
    assert (result[2] == 0) is kept
    assert len(predictor.predict_calls[0]["box"]) == (2 if kept else 1)


def test_no_box_left_counts_as_too_few_without_asking_the_segmenter(frames, pen_stub, capsys):
    rows = [(1500, 5, 1510, 15, 0.9, "pig"), (0, 10, 3000, 3000, 0.9, "pig")]
    result, _, _, predictor = run(frames(1), {"0000.jpg": rows}, close_set_num=1)
    assert result == (None, None, None, None)
    assert predictor.predict_calls == [] and predictor.set_image_calls == []
    assert capsys.readouterr().out.endswith(
        "ann_frame_idx [0] cannot work, too few bbx found..\n\n"
        "No frame can work for 1 bbx, potential all stacking \n\n")


@pytest.mark.parametrize("masks, scores, kept", [
    # b lies inside a: 50 % of b is covered (cell b,a), 50 % of a is covered (cell a,b).
    ((square(10, 10, 10), square(15, 15, 5)), (0.9, 0.8), [0, 2]),
    ((square(10, 10, 10), square(15, 15, 5)), (0.8, 0.9), [1, 2]),
    ((square(10, 10, 10), square(15, 15, 5)), (0.8, 0.8), [2]),          # equal: both go
    # b inside a large a: only b's cell exceeds 8 %; with equal scores b (the row) goes.
    ((square(0, 0, 60), square(10, 10, 5)), (0.8, 0.8), [0, 2]),
    # 2 of 25 pixels each way = exactly 8 %: nothing is dropped.
    ((square(10, 10, 5), square(13, 14, 5)), (0.8, 0.9), [0, 1, 2]),
])
def test_overlap_removal(frames, pen_stub, capsys, masks, scores, kept):
    # Box order is fixed by the top edges; masks are chosen per box.
    rows = [(1, 1, 9, 9, scores[0], "pig"), (2, 2, 9, 9, scores[1], "pig"),
            (100, 80, 110, 90, 0.5, "pig")]
    script = {(1, 1, 9, 9): masks[0], (2, 2, 9, 9): masks[1],
              (100, 80, 110, 90): square(100, 80)}
    result, _, _, _ = run(frames(1), {"0000.jpg": rows}, masks=script, close_set_num=len(kept))
    assert result[2] == 0
    assert f"Boxes will be kept: {np.array(kept)}, totally {len(kept)} keys" in capsys.readouterr().out
    assert list(result[1]) == ["pig"] * len(kept)
    for got, want in zip(result[0], [([*masks, square(100, 80)])[k] for k in kept]):
        assert np.array_equal(got != 0, want)


def test_a_removed_box_still_removes_others(frames, pen_stub, capsys):
    # a outranks b and overlaps it; b, already marked, still outranks and removes c,
    # which a does not touch.
    a, b, c = square(0, 0, 10), square(5, 5, 10), square(12, 12, 10)
    rows = [(1, 1, 5, 5, 0.9, "pig"), (2, 2, 5, 5, 0.8, "pig"), (3, 3, 5, 5, 0.7, "pig")]
    script = {(1, 1, 5, 5): a, (2, 2, 5, 5): b, (3, 3, 5, 5): c}
    result, _, _, _ = run(frames(1), {"0000.jpg": rows}, masks=script, close_set_num=1)
    assert result[2] == 0
    assert "Boxes will be kept: [0], totally 1 keys" in capsys.readouterr().out


def test_single_box_keeps_its_leading_mask_axis(frames, pen_stub):
    result, _, _, _ = run(frames(1), {"0000.jpg": separate_pigs(1)}, close_set_num=1)
    masks, objects, idx, _ = result
    assert masks.shape == (1, 1, HEIGHT, WIDTH)
    assert list(objects) == ["pig"] and idx == 0


def test_wrong_arguments_are_type_errors(frames):
    with pytest.raises(TypeError):
        initializer("v", [], None, None, "cpu")
    with pytest.raises(TypeError):
        initializer("v", [], None, None, "cpu", None, stride=3)
    assert herdmask.initializer is initializer
