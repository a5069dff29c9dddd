"""Best last frame, continuous runs, the cross-video matcher and the overlap vote."""

import numpy as np
import pandas as pd
import pytest
from PIL import Image

import herdmask as hm
from herdmask import review
from valued_masks import DTYPES, with_values

H, W = 40, 120


def _square(i, side=6, shape=(H, W)):
    m = np.zeros(shape, dtype=bool)
    m[2:2 + side, 2 + 11 * i:2 + 11 * i + side] = True
    return m


def _frame(n=10, **override):
    masks = {f"Box{i}": _square(i) for i in range(n)}
    masks.update(override)
    return {"masks_dict": masks, "frame_index": 0}


# ---------------------------------------------------------------- best last frame

def test_last_frame_599_is_silent_and_other_keys_announce_switch(capsys):
    frames = {598: _frame(), 599: _frame()}
    best, flag = hm.find_best_laste_frame(frames)
    assert best is frames[599] and flag is False
    assert capsys.readouterr().out == ""
    frames = {600: _frame()}
    assert hm.find_best_laste_frame(frames)[0] is frames[600]
    assert capsys.readouterr().out == (
        "Switched to frame key 600 due to small mask area in later frames.\n")


def test_walk_skips_failing_frames_latest_first():
    tiny = np.zeros((H, W), bool)
    tiny[0, :10] = True  # exactly min_area pixels: not enough
    overlapping = np.zeros((H, W), bool)
    overlapping[2:8, 5:11] = True  # half of it lies on Box0
    frames = {
        1: _frame(),
        2: _frame(n=9),             # nine masks for ten tracks
        3: _frame(Box1=overlapping),
        4: _frame(Box3=tiny),
    }
    best, flag = hm.find_best_laste_frame(frames)
    assert best is frames[1] and flag is False


@pytest.mark.parametrize("covered_columns,qualifies", [(3, False), (2, True)])
def test_overlap_bound_is_fifty_percent(covered_columns, qualifies):
    # Box0 is 6 x 6; Box1 covers `covered_columns` of its six columns.
    box1 = np.zeros((H, W), bool)
    box1[2:8, 8 - covered_columns:14 - covered_columns] = True
    masks = {"Box0": _square(0), "Box1": box1}
    frames = {599: {"masks_dict": masks}}
    best, flag = hm.find_best_laste_frame(frames, 10, 1, [f"X{i}" for i in range(8)])
    assert flag is (not qualifies)


def test_removal_reaches_every_stored_frame_and_counts_none():
    frames = {k: _frame() for k in range(5)}
    frames[0]["masks_dict"][None] = _square(0)
    removal = ["Box3", None]
    best, flag = hm.find_best_laste_frame(frames, 10, 10, removal)
    assert flag is False and best is frames[4]
    assert all("Box3" not in r["masks_dict"] and None not in r["masks_dict"] for r in frames.values())
    assert removal == ["Box3", None]


def test_falsy_removal_list_removes_nothing_but_counts(capsys):
    frames = {599: _frame(n=9)}
    frames[599]["masks_dict"][""] = _square(9)
    # Ten masks present, n_track 9: qualifies, and the "" mask stays.
    best, _ = hm.find_best_laste_frame(frames, remove_stack_obs=[""])
    assert best is frames[599] and "" in best["masks_dict"]


def test_no_qualifying_frame_within_attempts(capsys):
    frames = {k: _frame(n=9) for k in range(6)}
    frames[2] = _frame()
    assert hm.find_best_laste_frame(frames, max_attempts=3) == (None, True)
    assert capsys.readouterr().out == (
        "No valid frame found with all masks area > 10 in the last 3 frames for 10 tracks.\n")
    assert hm.find_best_laste_frame(frames, 10.5, 0) == (None, True)
    assert "area > 10.5 in the last 0 frames" in capsys.readouterr().out


def test_many_removals_let_an_empty_frame_qualify():
    frames = {599: {"masks_dict": {}}}
    assert hm.find_best_laste_frame(frames, remove_stack_obs=[f"Box{i}" for i in range(10)]) == (
        frames[599], False)


def test_running_past_first_key_and_bad_records_raise():
    with pytest.raises(IndexError, match="holds 2 frames"):
        hm.find_best_laste_frame({1: _frame(n=9), 2: _frame(n=9)})
    with pytest.raises(IndexError, match="holds 0 frames"):
        hm.find_best_laste_frame({})
    with pytest.raises(KeyError):
        hm.find_best_laste_frame({599: {}})
    with pytest.raises(ValueError):
        hm.find_best_laste_frame({599: _frame(Box0=np.zeros((5, 5), bool))})
    with pytest.raises(TypeError):
        hm.find_best_laste_frame({}, 1, 2, [], 5)


def test_shared_default_removal_list():
    default = review.find_best_laste_frame.__defaults__[2]
    assert default == [] and review.find_best_laste_frame.__defaults__[2] is default


def _plain_check(masks, min_area, n_track):
    areas = [int(np.count_nonzero(m)) for m in masks]
    if not all(a > min_area for a in areas):
        return False
    if sum(a > 0 for a in areas) < n_track:
        return False
    for i in range(len(masks)):
        if areas[i] <= 1:
            continue
        for j in range(i):
            both = np.logical_and(masks[i], masks[j]).sum()
            if both / areas[i] * 100 >= 50 or (areas[j] > 0 and both / areas[j] * 100 >= 50):
                return False
    return True


@pytest.mark.parametrize("dtype", DTYPES)
def test_frame_check_matches_plain_numpy_on_random_masks(dtype):
    rng = np.random.default_rng(3)
    for _ in range(200):
        n = int(rng.integers(0, 6))
        masks = []
        for _ in range(n):
            m = np.zeros((20, 30), bool)
            y, x = rng.integers(0, 18), rng.integers(0, 28)
            m[y:y + rng.integers(0, 10), x:x + rng.integers(0, 12)] = True
            masks.append(with_values(m, dtype, rng))
        min_area, n_track = float(rng.integers(0, 20)), int(rng.integers(0, 6))
        got = (review._core.check_last_frame(masks, min_area, n_track)
               == review._core.LastFrameVerdict.qualifies)
        assert got == _plain_check(masks, min_area, n_track)


# ---------------------------------------------------------------- continuous runs

@pytest.mark.parametrize(
    "frames,n,expected",
    [([1, 2, 3, 7, 8], 3, [[1, 2, 3]]),
     ([1, 2, 3, 7, 8], 2, [[1, 2, 3], [7, 8]]),
     ([9, 7, 8], 3, [[7, 8, 9]]),
     ([5, 5, 6, 7], 3, [[5, 6, 7]]),
     ([5, 5, 6, 7], 1, [[5], [5, 6, 7]]),
     ([4, 9], 0, [[4], [9]]),
     ([4, 9], 2, None)])
def test_continuous_runs(frames, n, expected):
    df = pd.DataFrame({"Box ID": ["Box2"] * len(frames), "Frame ID": frames})
    got = hm.find_continuous_frames(df, n_consecutive=n)
    assert got == ({} if expected is None else {"Box2": expected})


def test_continuous_runs_keys_ascending_and_empty_table():
    df = pd.DataFrame({"Box Pair": ["B-C", "A-B", "B-C", "A-B"], "Frame ID": [1, 4, 2, 5]})
    got = hm.find_continuous_frames(df, "Box Pair", 2)
    assert list(got) == ["A-B", "B-C"]
    assert hm.find_continuous_frames(pd.DataFrame({"Box ID": [], "Frame ID": []})) == {}
