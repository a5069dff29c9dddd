"""Overlap, similarity and clustering measures against plain NumPy / OpenCV formulations."""

import cv2
import numpy as np
import pandas as pd
import pytest

import herdmask as hm
from herdmask import _native
from valued_masks import DTYPES, valued_masks


def blob(shape, center, axes, angle=0):
    m = np.zeros(shape, np.uint8)
    cv2.ellipse(m, center, axes, angle, 0, 360, 1, -1)
    return m.astype(bool)


def mask_family(seed=0, shape=(40, 50)):
    """Masks that exercise the box-restricted counting: empty, full, one pixel,
    touching, nested, random noise and pig-like ellipses."""
    rng = np.random.default_rng(seed)
    h, w = shape
    one = np.zeros(shape, bool)
    one[h - 1, w - 1] = True
    left = np.zeros(shape, bool)
    left[5:20, 0:25] = True
    right = np.zeros(shape, bool)
    right[5:20, 25:50] = True  # touches `left` along a column edge
    inner = np.zeros(shape, bool)
    inner[8:12, 5:9] = True  # nested inside `left`
    return [
        np.zeros(shape, bool),
        np.ones(shape, bool),
        one,
        left,
        right,
        inner,
        rng.random(shape) < 0.3,
        blob(shape, (20, 20), (15, 8), 30),
        blob(shape, (30, 22), (12, 9), 100),
    ]


def as_variant(m, variant):
    if variant == "bool":
        return m
    if variant == "uint8":
        return m.astype(np.uint8)
    if variant == "uint8_255":
        return m.astype(np.uint8) * 255
    return m[None].astype(np.uint8)  # 1 x H x W


VARIANTS = ["bool", "uint8", "uint8_255", "leading_axis"]


def ref_coverage(m1, m2):
    inter = np.count_nonzero(m1 * m2)
    area = np.count_nonzero(m1)
    return (inter / area) * 100 if area > 0 else 0


def ref_table(masks_dict, areas=None):
    keys = list(masks_dict)
    n = len(keys)
    out = np.zeros((n, n))
    for i in range(n):
        for j in range(n):
            ai = areas[keys[i]] if areas else np.count_nonzero(masks_dict[keys[i]])
            aj = areas[keys[j]] if areas else np.count_nonzero(masks_dict[keys[j]])
            if ai <= 1 or j >= i:
                continue
            inter = np.count_nonzero(np.squeeze(masks_dict[keys[i]]) * np.squeeze(masks_dict[keys[j]]))
            out[i, j] = inter / ai * 100 if ai > 0 else 0
            out[j, i] = inter / aj * 100 if aj > 0 else 0
    return out


def ref_iou(news, olds):
    out = np.zeros((len(news), len(olds)))
    for i, a in enumerate(news):
        for j, b in enumerate(olds):
            a2, b2 = np.squeeze(a), np.squeeze(b)
            out[i, j] = np.logical_and(a2, b2).sum() / (np.logical_or(a2, b2).sum() + 1e-06)
    return out


def ref_centroid_similarity(news, olds):
    def centroid(m):
        mo = cv2.moments(np.squeeze(m).astype(np.uint8))
        if mo["m00"] == 0:
            return (np.nan, np.nan)
        return (mo["m01"] / mo["m00"], mo["m10"] / mo["m00"])

    d = np.zeros((len(news), len(olds)))
    for i, a in enumerate(news):
        for j, b in enumerate(olds):
            ca, cb = centroid(a), centroid(b)
            d[i, j] = np.nan if np.isnan(ca + cb).any() else np.linalg.norm(np.subtract(ca, cb))
    d[np.isnan(d)] = np.nanmax(d) + 1.0
    return 1 - d / (np.max(d) + 1e-06)


@pytest.mark.parametrize("variant", VARIANTS)
def test_pairwise_measures_match_whole_frame_numpy(variant):
    masks = [as_variant(m, variant) for m in mask_family()]
    for a in masks:
        for b in masks:
            got = hm.calculate_masks_intersection(a, b)
            want = ref_coverage(a, b)
            assert got == want and (type(got) is int) == (type(want) is int)
    assert np.array_equal(hm.cal_masks_iou_scores(masks, masks[::-1]), ref_iou(masks, masks[::-1]))
    named = {f"Box{i}": m for i, m in enumerate(masks)}
    table = hm.intersection_between_masks(named)
    assert np.array_equal(table.to_numpy(), ref_table(named))
    sim = hm.cal_centroid_distance(masks[2:], masks)
    np.testing.assert_allclose(sim, ref_centroid_similarity(masks[2:], masks), rtol=1e-12, atol=0)


@pytest.mark.parametrize("dtype", DTYPES)
def test_every_dtype_is_read_as_each_measure_defines(dtype):
    """Overlaps take non-zero pixels as set (NaN too, -0.0 not), and a pixel set in
    both masks as one non-zero in each: a product would count NaN x 0 and lose
    products that underflow. Centroids weigh each pixel by its uint8 cast."""
    rng = np.random.default_rng(21)
    masks = valued_masks(rng, dtype, 7, (30, 41))
    masks.append(np.zeros((30, 41), dtype))
    both = [[np.count_nonzero(np.logical_and(a, b)) for b in masks] for a in masks]
    areas = [np.count_nonzero(m) for m in masks]
    for i, a in enumerate(masks):
        assert _native.common.count_set(a) == areas[i]
        for j, b in enumerate(masks):
            want = both[i][j] / areas[i] * 100 if areas[i] else 0
            assert hm.calculate_masks_intersection(a, b) == want
    assert np.array_equal(hm.cal_masks_iou_scores(masks, masks[::-1]), ref_iou(masks, masks[::-1]))
    named = {f"Box{i}": m for i, m in enumerate(masks)}
    table = hm.intersection_between_masks(named, dict(zip(named, areas))).to_numpy()
    for i in range(len(masks)):
        for j in range(i):
            if areas[i] > 1:
                assert table[i, j] == (both[i][j] / areas[i] * 100 if areas[i] else 0)
                assert table[j, i] == (both[i][j] / areas[j] * 100 if areas[j] else 0)
    with np.errstate(invalid="ignore"):  # NaN cast to uint8
        want = ref_centroid_similarity(masks[:4], masks)
    np.testing.assert_allclose(hm.cal_centroid_distance(masks[:4], masks), want, rtol=1e-12,
                               atol=0)


def test_reals_are_read_in_place_only_where_aligned():
    rng = np.random.default_rng(2)
    mask = rng.random((9, 13)) < 0.4
    raw = np.zeros(mask.size * 4 + 1, np.uint8)
    unaligned = np.frombuffer(raw.data, np.float32, count=mask.size, offset=1).reshape(mask.shape)
    assert unaligned.ctypes.data % 4
    raw[1:] = np.where(mask, np.float32(np.nan), np.float32(-0.0)).view(np.uint8).ravel()
    assert _native.common.count_set(unaligned) == np.count_nonzero(mask)
    strided = np.where(mask, 2.5, -0.0)[:, ::2]
    assert _native.common.count_set(strided) == np.count_nonzero(mask[:, ::2])


def test_realistic_pig_blobs_match_numpy():
    rng = np.random.default_rng(5)
    shape = (288, 460)
    masks = [blob(shape, (int(rng.integers(40, 420)), int(rng.integers(40, 250))),
                  (int(rng.integers(25, 45)), int(rng.integers(12, 22))), int(rng.integers(0, 180)))
             for _ in range(8)]
    named = {i + 3: m.astype(np.uint8) for i, m in enumerate(masks)}
    areas = {k: int(rng.integers(0, 3000)) for k in named}
    areas[4] = 1
    table = hm.intersection_between_masks(named, areas)
    assert list(table.index) == list(named) and list(table.columns) == list(named)
    assert table.to_numpy().dtype == np.float64
    assert np.array_equal(table.to_numpy(), ref_table(named, areas))
    assert np.array_equal(hm.cal_masks_iou_scores(masks[:3], masks), ref_iou(masks[:3], masks))
    np.testing.assert_allclose(hm.cal_centroid_distance(masks[:4], masks),
                               ref_centroid_similarity(masks[:4], masks), rtol=1e-12, atol=0)


@pytest.mark.parametrize(
    "box1, box2, want",
    [
        ((0, 0, 10, 10), (10, 0, 20, 10), 0.0),  # touching edge
        ((0, 0, 10, 10), (5, 5, 15, 15), 25 / 175),
        ((0, 0, 10, 10), (0, 0, 10, 10), 1.0),
        ((0.5, 0.5, 2.5, 1.5), (1.0, 0.0, 3.0, 1.0), 0.75 / (2 + 2 - 0.75)),
        (np.array([0, 0, 4, 4]), [2, 2, 6, 6, 0.9], 4 / 28),
    ],
)
def test_calculate_iou(box1, box2, want):
    assert hm.calculate_iou(box1, box2) == want


def test_calculate_iou_without_union_is_integer_zero():
    got = hm.calculate_iou((3, 3, 3, 3), (5, 5, 5, 5))
    assert got == 0 and type(got) is int


def test_coverage_pair_keeps_integer_zero_and_uses_given_areas():
    a = np.zeros((10, 10), bool)
    a[0:2, 0:5] = True  # 10 pixels
    got = hm.calculate_masks_intersection_new(a, a, 0, 50)
    assert got == (0, 20.0) and type(got[0]) is int and type(got[1]) is float
    assert hm.calculate_masks_intersection_new(a, a, 4, np.int64(-3)) == (250.0, 0)


def test_nested_coverage_is_one_sided():
    outer = np.zeros((30, 30), np.uint8)
    outer[0:20, 0:20] = 1
    inner = np.zeros((30, 30), bool)
    inner[5:10, 5:10] = True
    assert hm.calculate_masks_intersection(inner, outer) == 100.0
    assert hm.calculate_masks_intersection(outer, inner) == 100 * 25 / 400


def test_intersection_table_area_thresholds():
    masks = mask_family()[3:6]  # left, right, inner
    named = dict(zip(["B0", "B1", "B2"], masks))
    last_tiny = hm.intersection_between_masks(named, {"B0": 375, "B1": 375, "B2": 1})
    assert np.all(last_tiny.loc["B2"] == 0) and np.all(last_tiny["B2"] == 0)
    first_tiny = hm.intersection_between_masks(named, {"B0": 1, "B1": 375, "B2": 16})
    assert first_tiny.loc["B0", "B2"] == 1600.0  # divided by the given area of 1
    assert np.all(np.diag(first_tiny.to_numpy()) == 0)
    # Without areas (None or an empty map) each mask's own pixel count is used.
    own = hm.intersection_between_masks(named, {})
    assert own.loc["B2", "B0"] == 100.0 and own.loc["B0", "B2"] == 100 * 16 / 375
    with pytest.raises(KeyError):
        hm.intersection_between_masks(named, {"B0": 10, "B1": 10})
    empty = hm.intersection_between_masks({})
    assert isinstance(empty, pd.DataFrame) and empty.shape == (0, 0)


@pytest.mark.parametrize(
    "call",
    [
        lambda a, b: hm.calculate_masks_intersection(a, b),
        lambda a, b: hm.calculate_masks_intersection_new(a, b, 5, 5),
        lambda a, b: hm.intersection_between_masks({"x": a, "y": b}),
        lambda a, b: hm.cal_masks_iou_scores([a], [b]),
    ],
)
def test_bad_mask_shapes_raise_value_error(call):
    a = np.ones((10, 12), bool)
    with pytest.raises(ValueError, match="differ in size"):
        call(a, np.ones((12, 10), bool))
    with pytest.raises(ValueError, match="two-dimensional"):
        call(a, np.ones((2, 10, 12), bool))


def test_iou_matrix_shapes_and_constant():
    m = np.zeros((20, 20), bool)
    m[0:10, 0:10] = True
    got = hm.cal_masks_iou_scores([m, m], [m, m, m])
    assert got.shape == (2, 3) and got.dtype == np.float64
    assert got[0, 0] == 100 / 100.000001
    assert hm.cal_masks_iou_scores([], [m]).shape == (0, 1)
    assert hm.cal_masks_iou_scores([np.zeros_like(m)], [np.zeros_like(m)])[0, 0] == 0


def test_centroid_similarity_cases():
    shape = (40, 60)
    a = np.zeros(shape, bool)
    a[10, 10] = True
    b = np.zeros(shape, bool)
    b[10, 20] = True
    assert hm.cal_centroid_distance([a], [b])[0, 0] == 1 - 10 / (10 + 1e-06)
    got = hm.cal_centroid_distance([b, np.zeros(shape, bool)], [a])
    np.testing.assert_allclose(got[:, 0], [1 - 10 / (11 + 1e-06), 1 - 11 / (11 + 1e-06)],
                               rtol=1e-12)
    assert hm.cal_centroid_distance([a | b], [a | b])[0, 0] == 1.0
    # Centroids are per mask, so masks of other frame sizes still compare.
    wide = np.zeros((40, 80), bool)
    wide[10, 10] = True
    assert hm.cal_centroid_distance([wide], [a])[0, 0] == 1.0
    with pytest.raises(ValueError, match="two-dimensional"):
        hm.cal_centroid_distance([np.ones((2, 40, 60))], [a])
    assert np.isnan(hm.cal_centroid_distance([np.zeros(shape)], [a])).all()
    with pytest.raises(ValueError, match="at least one mask"):
        hm.cal_centroid_distance([], [a])


class FakeTensor:
    """Stands in for a device tensor: only detach / cpu / numpy are used."""

    def __init__(self, values):
        self.values = np.asarray(values, np.float32)

    def detach(self):
        return self

    def cpu(self):
        return self

    def numpy(self):
        return self.values


def test_cosine_scores():
    from sklearn.metrics.pairwise import cosine_similarity

    rng = np.random.default_rng(2)
    feats_new = [rng.normal(size=8) for _ in range(4)]
    feats_old = [rng.normal(size=8) for _ in range(3)]
    new = [feats_new[0], None, FakeTensor(feats_new[2]), feats_new[3]]
    old = [None, feats_old[1], FakeTensor(feats_old[2])]
    got = hm.cosine_scores_cal(new, old)
    assert got.shape == (4, 3) and got.dtype == np.float64
    want = np.full((4, 3), -np.inf)
    full = cosine_similarity(np.stack(feats_new), np.stack(feats_old))
    for i in (0, 2, 3):
        for j in (1, 2):
            want[i, j] = full[i, j]
    np.testing.assert_allclose(got, want, rtol=1e-6)
    assert np.all(hm.cosine_scores_cal(feats_new, [None, None]) == -np.inf)
    assert hm.cosine_scores_cal([], []).shape == (0, 0)


def ref_cluster_centroid(m):
    contours, _ = cv2.findContours(m.astype(np.uint8), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    if not contours:
        return None
    mo = cv2.moments(max(contours, key=cv2.contourArea))
    if mo["m00"] == 0:
        return None
    return int(mo["m10"] / mo["m00"]), int(mo["m01"] / mo["m00"])


def square_at(shape, x, y, r=3):
    m = np.zeros(shape, np.uint8)
    m[max(y - r, 0):y + r + 1, max(x - r, 0):x + r + 1] = 1
    return m


def test_clusters_follow_centroid_gaps():
    shape = (30, 460)
    masks = {"a": square_at(shape, 5, 10), "b": square_at(shape, 55, 10),
             "c": square_at(shape, 405, 10), "z": np.zeros(shape, np.uint8)}
    assert hm.cluster_masks_and_print(masks) == {"Noise": [], "Cluster 0": ["a", "b"],
                                                 "Cluster 1": ["c"]}
    assert hm.cluster_masks_and_print(masks, 100, min_samples=2) == {
        "Noise": ["c"], "Cluster 0": ["a", "b"]}
    with pytest.raises(ValueError):
        hm.cluster_masks_and_print({"z": np.zeros(shape, bool)})


def test_cluster_centroids_match_whole_frame_contours(monkeypatch):
    rng = np.random.default_rng(3)
    masks = mask_family(seed=4) + [rng.random((40, 50)) < 0.05]
    two_blobs = square_at((40, 50), 8, 8, 2) | square_at((40, 50), 35, 30, 6)
    masks.append(two_blobs)
    seen = []
    import sklearn.cluster

    class Recorder(sklearn.cluster.DBSCAN):
        def fit(self, X, y=None, sample_weight=None):
            seen.append([tuple(map(int, p)) for p in X])
            return super().fit(X)

    monkeypatch.setattr(sklearn.cluster, "DBSCAN", Recorder)
    hm.cluster_masks_and_print({i: m for i, m in enumerate(masks)})
    want = [c for c in (ref_cluster_centroid(m) for m in masks) if c is not None]
    assert seen == [want]
    assert want[-1] == (35, 30)  # the larger blob only


def test_heatmap_labels_by_position(monkeypatch):
    import matplotlib.pyplot as plt

    shown = []
    monkeypatch.setattr(plt, "show", lambda: shown.append(plt.gcf()))
    table = pd.DataFrame([[0.0, 12.5], [50.0, 0.0]], index=["B7", "B9"], columns=["B7", "B9"])
    assert hm.draw_intersection_heatmap(table) is None
    fig = shown[0]
    ax = fig.axes[0]
    assert [t.get_text() for t in ax.get_xticklabels()] == ["Mask 0", "Mask 1"]
    assert [t.get_text() for t in ax.get_yticklabels()] == ["Mask 0", "Mask 1"]
    assert ax.get_title() == "Intersection Heatmap %"
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Mask 2", "Mask 1")
    assert sorted(t.get_text() for t in ax.texts) == ["0.00", "0.00", "12.50", "50.00"]
    assert tuple(fig.get_size_inches()) == (7, 5)
    plt.close(fig)
