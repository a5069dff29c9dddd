"""The cross-video matcher and the overlap-frame vote, with stand-in models."""

import numpy as np
import pandas as pd
import pytest
from PIL import Image

import herdmask as hm
from herdmask.testing import StandInImagePredictor
from valued_masks import DTYPES, valued_masks

H, W = 50, 80


class BoxPredictor:
    """Segments each prompted box as its filled rectangle, or returns preset masks."""

    def __init__(self, preset=None, ndim=4):
        self.preset, self.ndim, self.images, self.boxes = preset, ndim, [], []

    def set_image(self, image):
        self.images.append(image)

    def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
        assert point_coords is None and point_labels is None and multimask_output is False
        self.boxes.append(np.asarray(box))
        if self.preset is not None:
            masks = np.asarray(self.preset, dtype=np.float32)
        else:
            masks = np.zeros((len(box),) + self.images[-1].shape[:2], np.float32)
            for i, (x1, y1, x2, y2) in enumerate(box):
                masks[i, y1:y2 + 1, x1:x2 + 1] = 1
        scores = np.ones(len(masks), np.float32)
        if self.ndim == 4:
            return masks[:, None], scores[:, None], masks[:, None]
        if self.ndim == 2:
            return masks[0], scores[0], masks[0]
        return masks, scores, masks


def _square(i, side=5):
    m = np.zeros((H, W), bool)
    m[3:3 + side, 2 + 7 * i:2 + 7 * i + side] = True
    return m


@pytest.fixture
def frame_names(tmp_path):
    path = tmp_path / "0000.jpg"
    Image.fromarray(np.full((H, W, 3), 90, np.uint8)).save(path)
    return [str(path)]


def _last_frames(n=10):
    return {k: {"masks_dict": {f"Box{i}": _square(i) for i in range(n)}} for k in (598, 599)}


def test_removed_box_is_dropped_everywhere_and_survivors_renumbered(frame_names, capsys):
    frames = _last_frames()
    predictor = BoxPredictor()
    shown = []
    masks, objects, keep_box, best, flag = hm.matcher(
        frames, frame_names, 0, predictor, ["Box3"], display_func=shown.append)
    assert keep_box == [f"Box{i}" for i in range(10) if i != 3]
    assert masks.shape == (9, H, W) and objects == ["pig"] * 9 and flag is False
    assert best is frames[599] and all("Box3" not in r["masks_dict"] for r in frames.values())
    # Boxes go to the predictor as inclusive tight boxes in the frame's order.
    assert predictor.boxes[0].tolist()[:3] == [[2, 3, 6, 7], [9, 3, 13, 7], [16, 3, 20, 7]]
    assert predictor.images[0].shape == (H, W, 3) and predictor.images[0].dtype == np.uint8
    assert len(shown) == 1 and shown[0].size == (W, H) and shown[0].mode == "RGBA"
    assert capsys.readouterr().out == "ann_frame_idx [0] works for mask finding!!!\n"


def test_unknown_removal_key_keeps_every_box_but_lowers_track_count(frame_names):
    frames = _last_frames(n=9)
    out = hm.matcher(frames, frame_names, 0, BoxPredictor(), ["Pig12"])
    assert out[2] == [f"Box{i}" for i in range(10)] and out[0].shape[0] == 9


def _flat_masks(ranges):
    masks = np.zeros((len(ranges), H * W), np.float32)
    for i, (a, b) in enumerate(ranges):
        masks[i, a:b] = 1
    return masks.reshape(len(ranges), H, W)


def _rows(first, last):
    m = np.zeros((H, W), bool)
    m[first:last] = True
    return m


@pytest.mark.parametrize(
    "ranges,min_area,accepted",
    [([(0, 1000), (900, 1900)], 10, True),      # 10 percent both ways
     ([(1, 1000), (900, 1900)], 10, False),     # 100 of 999 is 10.01 percent
     ([(0, 1000), (900, 1900)], 1000, True),    # area exactly min_area
     ([(0, 1000), (900, 1900)], 1001, False),
     ([(0, 1000)], 10, False)])                 # fewer masks than tracks
def test_acceptance_bounds(frame_names, capsys, ranges, min_area, accepted):
    frames = {599: {"masks_dict": {"Box0": _rows(0, 20), "Box1": _rows(25, 45)}}}
    shown = []
    out = hm.matcher(frames, frame_names, 0, BoxPredictor(_flat_masks(ranges)),
                     [f"X{i}" for i in range(8)], min_area, display_func=shown.append)
    assert len(shown) == 1
    text = capsys.readouterr().out
    if accepted:
        assert out[4] is False and text == "ann_frame_idx [0] works for mask finding!!!\n"
    else:
        assert out == (None, None, None, None, True)
        assert text == "ann_frame_idx [0] cannot work..\n\n"


@pytest.mark.parametrize("ndim", [2, 3])
def test_single_box_output_shapes(frame_names, ndim):
    frames = {599: {"masks_dict": {"Box0": _square(0)}}}
    out = hm.matcher(frames, frame_names, 0, BoxPredictor(ndim=ndim),
                     [f"X{i}" for i in range(9)])
    assert out[0].shape == (1, H, W) and out[1] == ["pig"]


def test_no_usable_last_frame(frame_names, capsys):
    frames = _last_frames(n=8)
    shown = []
    assert hm.matcher(frames, frame_names, image_predictor=BoxPredictor(), max_attempts=2,
                      display_func=shown.append) == (None, None, None, None, True)
    assert shown == [] and capsys.readouterr().out.endswith(
        "Issue is from the laste frame, not enough masks found.\n")
    with pytest.raises(AttributeError):
        hm.matcher(_last_frames(), frame_names)


def test_matcher_on_a_video_shorter_than_its_attempts_reports_that_no_frame_works(
        frame_names, capsys):
    frames = _last_frames(n=8)  # two stored frames, neither with enough masks
    assert hm.matcher(frames, frame_names, image_predictor=BoxPredictor()) == \
        (None, None, None, None, True)
    assert capsys.readouterr().out.splitlines() == [
        "No valid frame found with all masks area > 10 in the last 2 frames for 10 tracks.",
        "Issue is from the laste frame, not enough masks found."]


# ---------------------------------------------------------------- overlap vote

class FeaturePredictor(BoxPredictor):
    """A box predictor with the stand-in encoder: each crop's features follow what
    it shows of the frame."""

    def __init__(self):
        super().__init__()
        self.model = StandInImagePredictor(feature_dim=8).model


@pytest.fixture
def stand_ins():
    return FeaturePredictor()


def _annotation(tmp_path, n_frames, moved=None):
    """Ten still squares; `moved` maps frame -> (box, shift) for a drifting box."""
    image = tmp_path / "frame.png"
    rng = np.random.default_rng(0)  # texture, so that a moved crop shows something else
    Image.fromarray(rng.integers(0, 256, (H, W, 3), dtype=np.uint8)).save(image)
    data = {}
    for f in range(n_frames):
        masks = {f"Box{i}": _square(i) for i in range(10)}
        if moved and f in moved:
            box, shift = moved[f]
            masks[box] = np.roll(masks[box], shift, axis=0)
        data[f] = {"masks_dict": masks, "image_path": str(image)}
    return data


def test_single_pair_run_compares_five_frames_before(tmp_path, stand_ins, capsys):
    rows = pd.DataFrame({"Box Pair": ["Box3-Box7"] * 3, "Frame ID": [10, 11, 40]})
    data = _annotation(tmp_path, 20, moved={f: ("Box7", 3 + f % 2) for f in range(5, 10)})
    test_frame, worst, runs, worst_boxes = hm.process_overlap_frames(rows, data, stand_ins)
    assert (test_frame, runs) == (10, {"Box3-Box7": [[10, 11]]})
    assert worst_boxes == ["Box7"] * 5 and worst == "Box7"
    assert len(stand_ins.images) == 10  # each compared frame and frame 11 set in turn
    assert capsys.readouterr().out.splitlines()[1:] == [
        "Box Pair: Box3-Box7",
        "First frame with a single boxpair: 10",
        "First frame with multiple boxpairs: nan",
        "reverse_track: False",
        "Most frequent box with errors: Box7"]


def test_overlap_from_frame_zero_looks_forward(tmp_path, stand_ins, capsys):
    rows = pd.DataFrame({"Box Pair": ["Box1-Box2"] * 6, "Frame ID": list(range(6))})
    data = _annotation(tmp_path, 8, moved={f: ("Box1", 5) for f in range(5, 8)})
    test_frame, worst, _, worst_boxes = hm.process_overlap_frames(rows, data, stand_ins, 2)
    # Frames 5..9 against frame 4; frames 8 and 9 lie beyond the data and are skipped.
    assert test_frame == 5 and worst_boxes == ["Box1"] * 3 and worst == "Box1"
    assert "reverse_track: True" in capsys.readouterr().out


def test_two_pairs_need_longer_runs_and_missing_features_are_worst(tmp_path, stand_ins):
    frames = [20, 21, 22, 20, 21, 22, 23]
    rows = pd.DataFrame({"Box Pair": ["Box3-Box7"] * 3 + ["Box1-Box3"] * 4, "Frame ID": frames})
    data = _annotation(tmp_path, 30, moved={f: ("Box1", 3) for f in range(15, 20)})
    data[16]["masks_dict"]["Box3"] = np.zeros((H, W), bool)
    test_frame, worst, runs, worst_boxes = hm.process_overlap_frames(rows, data, stand_ins)
    assert runs == {"Box1-Box3": [[20, 21, 22, 23]]} and test_frame == 20
    # Box3 is empty in frame 16: no feature, infinite mismatch. Box1 drifted.
    assert worst_boxes == ["Box1", "Box3", "Box1", "Box1", "Box1"] and worst == "Box1"


def test_vote_tie_goes_to_first_seen(tmp_path, stand_ins):
    # Test frame 4: frames -1..3 against frame 5, and frame -1 is skipped.
    rows = pd.DataFrame({"Box Pair": ["Box2-Box5"] * 2, "Frame ID": [4, 5]})
    data = _annotation(tmp_path, 12, moved={0: ("Box5", 4), 1: ("Box2", 4), 2: ("Box2", 4),
                                             3: ("Box5", 4)})
    _, worst, _, worst_boxes = hm.process_overlap_frames(rows, data, stand_ins)
    assert worst_boxes == ["Box5", "Box2", "Box2", "Box5"] and worst == "Box5"


@pytest.mark.parametrize("dtype", DTYPES)
def test_one_read_of_each_frame_gives_the_ious_and_the_encoder_inputs(dtype):
    from herdmask import _native

    rng = np.random.default_rng(8)
    rgb_old, rgb_new = (rng.integers(0, 256, (H, W, 3), dtype=np.uint8) for _ in range(2))
    old, new = valued_masks(rng, dtype, 6, (H, W)), valued_masks(rng, dtype, 6, (H, W))
    ious, box_ious, inputs_old, inputs_new = _native.review.compare_frames(rgb_old, old, rgb_new,
                                                                             new)
    def box(m):
        ys, xs = np.nonzero(m)
        return (xs.min(), ys.min(), xs.max(), ys.max()) if len(xs) else (0, 0, 0, 0)

    for k, (a, b) in enumerate(zip(old, new)):
        both, either = np.logical_and(a, b).sum(), np.logical_or(a, b).sum()
        assert ious[k] == both / (either + 1e-06)
        (ax1, ay1, ax2, ay2), (bx1, by1, bx2, by2) = box(a), box(b)
        inter = max(0, min(ax2, bx2) - max(ax1, bx1)) * max(0, min(ay2, by2) - max(ay1, by1))
        union = (ax2 - ax1) * (ay2 - ay1) + (bx2 - bx1) * (by2 - by1) - inter
        assert box_ious[k] == pytest.approx(inter / (union + 1e-06), rel=1e-12)
    for rgb, masks, inputs in [(rgb_old, old, inputs_old), (rgb_new, new, inputs_new)]:
        for got, want in zip(inputs, _native.detect.feature_inputs(rgb, masks), strict=True):
            assert (got is None) == (want is None)
            if got is not None:
                np.testing.assert_array_equal(got, want)


def test_no_run_or_no_comparable_frame_raise_clearly(tmp_path, stand_ins):
    rows = pd.DataFrame({"Box Pair": ["Box1-Box2", "Box1-Box3"], "Frame ID": [3, 9]})
    with pytest.raises(TypeError, match="no box pair overlaps"):
        hm.process_overlap_frames(rows, _annotation(tmp_path, 12), stand_ins)
    rows = pd.DataFrame({"Box Pair": ["Box1-Box2"] * 2, "Frame ID": [30, 31]})
    with pytest.raises(hm.NoComparableFrameError, match="no frame around test frame 30") as exc:
        hm.process_overlap_frames(rows, _annotation(tmp_path, 12), stand_ins)
    assert isinstance(exc.value, IndexError)
