"""Mask_Refinement against a plain OpenCV-Python/NumPy formulation of the same steps."""

import contextlib
import copy
import io
import json
import math

import cv2
import numpy as np
import pytest

from herdmask import Mask_Refinement
from valued_masks import DTYPES, with_values

H, W = 96, 128
PEN = [[6, 4], [120, 8.7], [124, 90], [3, 92.4]]


# --- the plain formulation: full-frame blob images, all-pairs vertex distances ---

class PlainRefinement:
    def __init__(self, min_area_ratio=0.3, max_distance_ratios=(0.5, 1.5), max_prev_dist=200,
                 pen=PEN):
        self.MIN_AREA_RATIO = min_area_ratio
        self.MAX_DISTANCE_RATIOS = max_distance_ratios
        self.MAX_PREV_DIST = max_prev_dist
        self.prev_centroids = {}
        self.pen = pen

    def in_pen(self, mask):
        h, w = mask.shape[-2:]
        pen = np.zeros((h, w), np.uint8)
        cv2.fillPoly(pen, [np.array(self.pen).astype(np.int32)], 1)
        return np.logical_and(mask, pen.astype(bool))

    @staticmethod
    def blob_shortest_distance(a, b):
        ca, _ = cv2.findContours(a, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
        cb, _ = cv2.findContours(b, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
        if not ca or not cb:
            return float("inf")
        pa = np.vstack([c.reshape(-1, 2) for c in ca]).astype(np.float64)
        pb = np.vstack([c.reshape(-1, 2) for c in cb]).astype(np.float64)
        return np.sqrt(((pa[:, None, :] - pb[None, :, :]) ** 2).sum(-1)).min()

    def get_main_blob(self, mask, prev_centroids, object_id):
        m = (mask * 255).astype(np.uint8)
        if m.ndim == 3:
            m = m[0]
        n, labels, stats, centroids = cv2.connectedComponentsWithStats(m, connectivity=8)
        areas = stats[1:, cv2.CC_STAT_AREA]
        prev = prev_centroids.get(object_id)
        top5 = np.argsort(-areas, kind="stable")[:5] + 1
        if prev is None:
            best = top5[0]
        else:
            best = top5[np.argmin(np.sqrt(((centroids[top5] - prev) ** 2).sum(1)))]
        main_area = stats[best, cv2.CC_STAT_AREA]
        radius = np.sqrt(main_area / np.pi)
        ratio = self.MAX_DISTANCE_RATIOS[0] if main_area >= 1000 else self.MAX_DISTANCE_RATIOS[1]
        return n, stats, centroids, main_area * self.MIN_AREA_RATIO, radius * ratio, best, labels

    def get_dis(self, n, labels, stats, centroids, max_dist, min_area, best, prev_centroids,
                object_id, frame_idx, mask, video_segments):
        cleaned = np.zeros(labels.shape, bool)
        for label in range(1, n):
            main_blob = (labels == best).astype(np.uint8)
            blob = (labels == label).astype(np.uint8)
            to_main = self.blob_shortest_distance(main_blob, blob)
            prev = prev_centroids.get(object_id)
            to_prev = 0 if prev is None else np.sqrt(((centroids[label] - prev) ** 2).sum())
            if to_prev <= self.MAX_PREV_DIST:
                if label == best or (stats[label, cv2.CC_STAT_AREA] >= min_area
                                     and to_main <= max_dist):
                    cleaned[labels == label] = True
        if not cleaned.any():
            if frame_idx == list(video_segments.keys())[0]:
                cleaned = mask.astype(bool)
            else:
                cleaned = np.zeros(labels.shape, bool)
                print(f"clean frame{frame_idx}--obj_id{object_id}")
        return cleaned[np.newaxis] if cleaned.ndim == 2 else cleaned

    def process(self, video_segments):
        for frame_idx, objects in video_segments.items():
            for object_id, mask in objects.items():
                if not np.any(mask):
                    continue
                in_pen = self.in_pen(mask)
                if not np.any(in_pen):
                    video_segments[frame_idx][object_id] = in_pen
                    continue
                n, stats, cents, min_area, max_dist, best, labels = self.get_main_blob(
                    in_pen, self.prev_centroids, object_id)
                cleaned = self.get_dis(n, labels, stats, cents, max_dist, min_area, best,
                                       self.prev_centroids, object_id, frame_idx, mask,
                                       video_segments)
                video_segments[frame_idx][object_id] = cleaned
                if cleaned.any():
                    m = cv2.moments(cleaned[0].astype(np.uint8))
                    if m["m00"] != 0:
                        self.prev_centroids[object_id] = np.array(
                            [m["m10"] / m["m00"], m["m01"] / m["m00"]])
                else:
                    print(f"frame {frame_idx}--obj_id{object_id}-- no mask")
        return video_segments


# --- inputs ---

@pytest.fixture
def pen_dir(tmp_path, monkeypatch):
    (tmp_path / "pen_polygon.json").write_text(json.dumps({"shapes": [{"points": PEN}]}))
    monkeypatch.chdir(tmp_path)
    return tmp_path


def animal(rng, center, size=(14, 9), h=H, w=W, satellites=2, specks=3, far=1):
    """An ellipse with nearby satellites, floor specks and a far fragment."""
    m = np.zeros((h, w), np.uint8)
    cx, cy = center
    cv2.ellipse(m, (int(cx), int(cy)), size, float(rng.uniform(0, 180)), 0, 360, 1, -1)
    for _ in range(satellites):
        a = rng.uniform(0, 2 * np.pi)
        d = rng.uniform(size[0] * 0.9, size[0] * 1.8)
        cv2.circle(m, (int(cx + d * np.cos(a)), int(cy + d * np.sin(a))), int(rng.integers(1, 5)),
                   1, -1)
    for _ in range(specks):
        m[rng.integers(0, h), rng.integers(0, w)] = 1
    for _ in range(far):
        x, y = rng.integers(0, w - 8), rng.integers(0, h - 8)
        m[y:y + rng.integers(1, 8), x:x + rng.integers(1, 8)] = 1
    return m.astype(bool)[np.newaxis]


def realistic_segments(seed, frames=8, objects=4, jump_at=None):
    rng = np.random.default_rng(seed)
    pos = {o: np.array([rng.uniform(15, W - 15), rng.uniform(15, H - 15)]) for o in range(objects)}
    video = {}
    for f in range(frames):
        video[f] = {}
        for o in range(objects):
            pos[o] = np.clip(pos[o] + rng.normal(0, 3, 2), 0, [W - 1, H - 1])
            if jump_at == f and o == 0:
                pos[o] = np.array([W - 1 - pos[o][0], H - 1 - pos[o][1]])
            kind = rng.random()
            if kind < 0.08:
                video[f][o] = np.zeros((1, H, W), bool)
            elif kind < 0.14:  # wholly outside the pen
                m = np.zeros((1, H, W), bool)
                m[0, 93:, :20] = True
                video[f][o] = m
            else:
                video[f][o] = animal(rng, pos[o], size=(int(rng.integers(5, 16)),
                                                        int(rng.integers(3, 10))))
    return video


def random_segments(seed, frames=4, objects=3, density=0.03):
    """Speckle: many components, most of equal area, so ties decide the main blob."""
    rng = np.random.default_rng(seed)
    return {f * 2 + 3: {f"obj{o}": rng.random((1, H, W)) < density for o in range(objects)}
            for f in range(frames)}


def run_both(video, refine_kwargs, plain_kwargs, passes=1):
    ours, plain = Mask_Refinement(**refine_kwargs), PlainRefinement(**plain_kwargs)
    vs_ours, vs_plain = copy.deepcopy(video), copy.deepcopy(video)
    out_ours, out_plain = io.StringIO(), io.StringIO()
    for _ in range(passes):
        with contextlib.redirect_stdout(out_ours):
            result = ours.process_video_segments(vs_ours, "D:\\x\\Camera99_1_2024", ["f"] * 100)
        with contextlib.redirect_stdout(out_plain):
            plain.process(vs_plain)
        assert result is vs_ours
    for f in video:
        for o in video[f]:
            a, b = vs_ours[f][o], vs_plain[f][o]
            assert a.shape == b.shape and a.dtype == b.dtype, (f, o)
            assert np.array_equal(a, b), (f, o)
    assert ours.prev_centroids.keys() == plain.prev_centroids.keys()
    for o, c in plain.prev_centroids.items():
        assert ours.prev_centroids[o].dtype == np.float64
        assert np.array_equal(ours.prev_centroids[o], c), o
    assert out_ours.getvalue() == out_plain.getvalue()
    return out_ours.getvalue()


@pytest.mark.parametrize("seed", range(6))
def test_realistic_sequences_match_plain_formulation(pen_dir, seed):
    run_both(realistic_segments(seed, jump_at=4), {"max_prev_dist": 40}, {"max_prev_dist": 40})


@pytest.mark.parametrize("seed,density", [(0, 0.02), (1, 0.05), (2, 0.2), (3, 0.3)])
def test_speckle_masks_match_plain_formulation(pen_dir, seed, density):
    run_both(random_segments(seed, density=density), {"max_prev_dist": 30},
             {"max_prev_dist": 30}, passes=2)


@pytest.mark.parametrize("dtype", DTYPES)
def test_every_dtype_is_refined_as_its_non_zero_pixels(pen_dir, dtype):
    rng = np.random.default_rng(5)
    video = {f: {o: with_values(m, dtype, rng) for o, m in objects.items()}
             for f, objects in realistic_segments(2, jump_at=4).items()}
    run_both(video, {"max_prev_dist": 40}, {"max_prev_dist": 40})


def test_jump_beyond_max_prev_dist_drops_object_and_keeps_centroid(pen_dir):
    first = np.zeros((1, H, W), bool)
    first[0, 10:20, 10:20] = True
    later = np.zeros((1, H, W), bool)
    later[0, 70:80, 100:110] = True
    video = {5: {"a": first}, 6: {"a": later}}
    printed = run_both(video, {"max_prev_dist": 50}, {"max_prev_dist": 50})
    assert printed == "clean frame6--obj_ida\nframe 6--obj_ida-- no mask\n"


def test_first_frame_falls_back_to_unclipped_mask(pen_dir):
    video = {7: {1: np.zeros((1, H, W), bool)}, 2: {1: np.zeros((1, H, W), bool)}}
    video[7][1][0, 0:3, 0:60] = True  # mostly outside the pen, far from the old centroid
    video[7][1][0, 50:60, 50:60] = True
    ours = Mask_Refinement(max_prev_dist=5)
    ours.prev_centroids[1] = np.array([120.0, 90.0])
    plain = PlainRefinement(max_prev_dist=5)
    plain.prev_centroids[1] = np.array([120.0, 90.0])
    vs_ours, vs_plain = copy.deepcopy(video), copy.deepcopy(video)
    ours.process_video_segments(vs_ours, "d", ["f"] * 10)
    plain.process(vs_plain)
    assert np.array_equal(vs_ours[7][1], video[7][1])  # unclipped, pen or not
    assert np.array_equal(ours.prev_centroids[1], plain.prev_centroids[1])


@pytest.mark.parametrize("main_side,expected_ratio_item", [((27, 37), 1), ((25, 40), 0)])
def test_main_area_999_and_1000_pick_ratio_items(main_side, expected_ratio_item):
    mask = np.zeros((1, 80, 80), bool)
    mask[0, 5:5 + main_side[0], 5:5 + main_side[1]] = True
    ref = Mask_Refinement(max_distance_ratios=[0.25, 4.0])
    n, stats, cents, min_area, max_dist, best, labels = ref.get_main_blob(mask, {}, 0)
    area = main_side[0] * main_side[1]
    assert (n, best, stats[best, 4]) == (2, 1, area)
    assert max_dist == math.sqrt(area / math.pi) * [0.25, 4.0][expected_ratio_item]
    assert min_area == area * 0.3


def _ratio_for(radius, gap):
    ratio = gap / radius
    while radius * ratio < gap:
        ratio = np.nextafter(ratio, np.inf)
    while radius * ratio > gap:
        ratio = np.nextafter(ratio, 0)
    assert radius * ratio == gap
    return float(ratio)


@pytest.mark.parametrize("sat_area,gap_shrink,kept", [
    (25, False, True),   # area exactly the threshold, gap exactly the threshold
    (24, False, False),  # one pixel short
    (25, True, False),   # threshold one ulp below the gap
])
def test_keep_rules_are_inclusive(pen_dir, sat_area, gap_shrink, kept):
    mask = np.zeros((1, H, W), bool)
    mask[0, 30:40, 30:40] = True  # main: 100 pixels, right vertices at x = 39
    gap = 6
    mask[0, 30:30 + sat_area // 5, 39 + gap:39 + gap + 5] = True
    if sat_area % 5:
        mask[0, 30 + sat_area // 5, 39 + gap:39 + gap + sat_area % 5] = True
    ratio = _ratio_for(math.sqrt(100 / math.pi), gap)
    if gap_shrink:
        ratio = float(np.nextafter(ratio, 0))
    ref = Mask_Refinement(min_area_ratio=0.25, max_distance_ratios=[9.0, ratio])
    video = {0: {0: mask.copy()}}
    ref.process_video_segments(video, "d", ["f"])
    assert video[0][0].sum() == (100 + sat_area if kept else 100)
    run_both({0: {0: mask}}, {"min_area_ratio": 0.25, "max_distance_ratios": [9.0, ratio]},
             {"min_area_ratio": 0.25, "max_distance_ratios": [9.0, ratio]})


@pytest.mark.parametrize("seed", range(4))
def test_inner_methods_match_plain_formulation(seed):
    rng = np.random.default_rng(seed)
    ours, plain = Mask_Refinement(max_prev_dist=60), PlainRefinement(max_prev_dist=60)
    for trial in range(6):
        mask = animal(rng, (rng.uniform(0, W), rng.uniform(0, H)), specks=int(rng.integers(0, 30)))
        if not mask.any():
            continue
        prev = {} if trial % 2 else {9: rng.uniform(0, W, 2)}
        got, want = ours.get_main_blob(mask, prev, 9), plain.get_main_blob(mask, prev, 9)
        assert got[0] == want[0] and got[3:6] == want[3:6]
        for g, w in zip((got[1], got[2], got[6]), (want[1], want[2], want[6])):
            assert g.dtype == w.dtype and np.array_equal(g, w)
        segs = {4: {}, 5: {}}
        args = (want[0], want[6], want[1], want[2], want[4], want[3], want[5], prev, 9, 5, mask,
                segs)
        out_a, out_b = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out_a):
            a = ours.get_dis_to_main_and_prev_blob(*args)
        with contextlib.redirect_stdout(out_b):
            b = plain.get_dis(*args)
        assert a.shape == b.shape and np.array_equal(a, b)
        assert out_a.getvalue() == out_b.getvalue()


@pytest.mark.parametrize("seed", range(3))
def test_blob_shortest_distance_equals_all_pairs_minimum(seed):
    rng = np.random.default_rng(seed)
    ref = Mask_Refinement()
    for _ in range(20):
        a = (rng.random((40, 50)) < rng.uniform(0.001, 0.3)).astype(np.uint8)
        b = (rng.random((40, 50)) < rng.uniform(0.001, 0.3)).astype(np.uint8)
        assert ref.blob_shortest_distance(a, b) == PlainRefinement.blob_shortest_distance(a, b)
    empty = np.zeros((40, 50), np.uint8)
    assert ref.blob_shortest_distance(empty, a) == math.inf
    assert ref.blob_shortest_distance(a, a) == 0.0


def test_defaults_and_shared_ratio_list():
    a, b = Mask_Refinement(), Mask_Refinement()
    assert (a.MIN_AREA_RATIO, a.MAX_DISTANCE_RATIOS, a.MAX_PREV_DIST, a.custom_pen_json_path,
            a.prev_centroids) == (0.3, [0.5, 1.5], 200, "pen_polygon.json", {})
    assert a.MAX_DISTANCE_RATIOS is b.MAX_DISTANCE_RATIOS
    with pytest.raises(TypeError):
        a.get_main_blob(np.ones((3, 3)), {})
    with pytest.raises(TypeError):
        a.process_video_segments({}, "d", [], extra=1)


def test_empty_and_outside_pen_entries(pen_dir, capsys):
    empty = np.zeros((1, H, W), bool)
    outside2d = np.zeros((H, W), np.uint8)
    outside2d[94:, :3] = 1
    video = {0: {"e": empty, "o": outside2d}}
    ref = Mask_Refinement()
    ref.process_video_segments(video, "d", ["f"])
    assert video[0]["e"] is empty
    assert video[0]["o"].shape == (H, W) and video[0]["o"].dtype == bool and not video[0]["o"].any()
    assert ref.prev_centroids == {} and capsys.readouterr().out == ""


def test_zero_size_mask_does_not_kill_labelling(pen_dir):
    ref = Mask_Refinement()
    video = {0: {0: np.zeros((1, 0, 0), bool)}}
    ref.process_video_segments(video, "d", ["f"])
    assert video[0][0].shape == (1, 0, 0)
    with pytest.raises(ValueError):
        ref.get_main_blob(np.zeros((0, 0), bool), {}, 0)
    assert ref.blob_shortest_distance(np.zeros((0, 0), np.uint8), np.zeros((0, 0), np.uint8)) == math.inf


def test_failure_part_way_keeps_rewritten_entries(pen_dir):
    good = np.zeros((1, H, W), bool)
    good[0, 20:30, 20:30] = True
    good[0, 60:62, 90:92] = True
    bad = np.zeros((2, H, W), bool)
    bad[0, 5, 5] = True
    video = {0: {"a": good.copy(), "b": bad, "c": good.copy()}}
    ref = Mask_Refinement()
    with pytest.raises(ValueError, match="two-dimensional"):
        ref.process_video_segments(video, "d", ["f"])
    assert video[0]["a"].sum() == 100 and video[0]["b"] is bad and video[0]["c"].sum() == 104


def test_missing_inputs_raise_clear_errors(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    mask = np.zeros((1, H, W), bool)
    mask[0, 5, 5] = True
    with pytest.raises(FileNotFoundError):
        Mask_Refinement().process_video_segments({0: {0: mask}}, "d", ["f"])
    with pytest.raises(IndexError):
        Mask_Refinement().process_video_segments({3: {0: mask}}, "d", ["f"])
    with pytest.raises(TypeError, match="pen polygon"):
        Mask_Refinement(custom_pen_json_path=None).process_video_segments({0: {0: mask}}, "d", ["f"])
    # Only a mask with set pixels needs the pen and its frame's name.
    empty = {3: {0: np.zeros((1, H, W), bool)}}
    assert Mask_Refinement(custom_pen_json_path=None).process_video_segments(empty, "d", ["f"])


# --- streamed refinement ---

def tracker_order(video, start):
    """The frames of `video` as a tracker hands them over from `start`: forward, then backward."""
    keys = sorted(video)
    at = keys.index(start)
    return [(k, video[k]) for k in keys[at:] + keys[:at][::-1]]


@pytest.mark.parametrize("seed, start", [(0, 0), (1, 3), (2, 7), (3, 5)])
def test_streamed_refinement_equals_the_whole_dict(pen_dir, seed, start):
    video = realistic_segments(seed, jump_at=2)
    whole, streamed = Mask_Refinement(max_prev_dist=40), Mask_Refinement(max_prev_dist=40)
    # A second link on the same refiner: its first frame meets the centroids left by the first.
    for link in range(2):
        expected, got = copy.deepcopy(video), {}
        out_whole, out_stream = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out_whole):
            whole.process_video_segments(expected, "d", ["f"] * len(video))
        with contextlib.redirect_stdout(out_stream):
            for frame_idx, objects in streamed.stream(
                    tracker_order(copy.deepcopy(video), start), "d", ["f"] * len(video)):
                assert frame_idx not in got and frame_idx == len(got)
                got[frame_idx] = objects
        assert out_stream.getvalue() == out_whole.getvalue()
        for f in video:
            assert list(got[f]) == list(expected[f])
            for o, a in got[f].items():
                b = expected[f][o]
                assert a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a, b), (link, f, o)
        assert {o: c.tolist() for o, c in streamed.prev_centroids.items()} == \
               {o: c.tolist() for o, c in whole.prev_centroids.items()}


def test_stream_waits_for_missing_frames_and_refuses_strays(pen_dir):
    mask = np.zeros((1, H, W), bool)
    mask[0, 20:30, 20:30] = True
    names = ["f"] * 4
    # Frame 0 never comes: frames 2 and 3 wait until the end, and frame 2 is then the first.
    ref = Mask_Refinement(max_prev_dist=5)
    ref.prev_centroids[0] = np.array([100.0, 80.0])
    seen = list(ref.stream([(2, {0: mask}), (3, {0: mask.copy()})], "d", names, order=[0, 2, 3]))
    assert [f for f, _ in seen] == [2, 3]
    assert seen[0][1][0].sum() == 100  # the first frame keeps the unclipped mask
    assert seen[1][1][0].sum() == 100
    with pytest.raises(ValueError, match="not one of the frames"):
        list(Mask_Refinement().stream([(9, {0: mask})], "d", names))
    with pytest.raises(ValueError, match="again after it was refined"):
        list(Mask_Refinement().stream([(0, {0: mask}), (0, {0: mask})], "d", names))
