"""The review rules the command asks for as values, and re-linking a restarted
segment's animals to the previous segment's by position."""

import itertools

import numpy as np
import pandas as pd
import pytest

import herdmask as hm


def disc(cy, cx, r, shape=(60, 80)):
    yy, xx = np.ogrid[:shape[0], :shape[1]]
    return (yy - cy) ** 2 + (xx - cx) ** 2 <= r * r


def test_search_frames_and_long_overlap_length():
    assert list(hm.examined_frames(25, 3, 10)) == [3, 13, 23]
    assert list(hm.examined_frames(5, 7)) == []
    one = pd.DataFrame({"Frame ID": [10, 11, 40], "Box Pair": ["Box3-Box7"] * 3})
    assert hm.long_overlap_length(one) == 2 and hm.long_overlap_runs(one) == {"Box3-Box7": [[10, 11]]}
    # The two orders of one pair are two pairs: runs must last n_consecutive + 2.
    both = pd.DataFrame({"Frame ID": [1, 2, 3, 1, 2, 3, 4], "Box Pair": ["Box1-Box4"] * 3 + ["Box4-Box1"] * 4})
    assert hm.long_overlap_length(both, 1) == 3 and hm.long_overlap_runs(both, 2) == {"Box4-Box1": [[1, 2, 3, 4]]}


def test_removal_list_lets_a_small_pen_carry_its_animals(capsys):
    keys = [f"Box{i}" for i in range(7)]
    removal = hm.matcher_removal_list(keys, ["Box3", "Box9"])
    assert removal[0] == "Box3" and len(removal) == 4
    frame = {k: disc(8 + 14 * (i // 4), 8 + 18 * (i % 4), 5) for i, k in enumerate(keys)}
    # Six animals carried: a frame showing them qualifies, one where one is lost does not.
    best, failed = hm.find_best_laste_frame({0: {"masks_dict": dict(frame)}}, 10, 1, removal)
    assert not failed and list(best["masks_dict"]) == [k for k in keys if k != "Box3"]
    frame["Box5"] = np.zeros_like(frame["Box5"])
    assert hm.find_best_laste_frame({0: {"masks_dict": dict(frame)}}, 1, 1, removal) == (None, True)
    assert "for 6 tracks" in capsys.readouterr().out
    assert hm.matcher_removal_list([f"Box{i}" for i in range(12)], ["Box2"]) == ["Box2"]


def test_relink_pairs_animals_that_stayed_and_doubts_a_swap():
    centres = [(10, 10), (10, 40), (30, 65), (45, 20), (45, 50)]
    previous = {f"Box{i}": disc(cy, cx, 6).astype(np.uint8) for i, (cy, cx) in enumerate(centres)}
    # The new search numbers them in another order, each moved two pixels.
    order = [3, 0, 4, 1, 2]
    start = np.stack([disc(centres[i][0] + 2, centres[i][1] - 1, 6) for i in order]).astype(np.float32)
    found = hm.relink_by_position(previous, start[:, None])
    assert found.pairs == {k: f"Box{i}" for k, i in enumerate(order)} and found.unambiguous
    assert found.unpaired == [] and all(m > 0.5 for m in found.margins.values())

    # Two animals lying on each other: paired, each close, but either could be either.
    pair = {"Box0": disc(30, 30, 8), "Box1": disc(30, 36, 8)}
    found = hm.relink_by_position(pair, {"a": disc(30, 32, 8), "b": disc(30, 35, 8)})
    assert found.pairs == {"a": "Box0", "b": "Box1"} and not found.unambiguous
    assert max(found.costs.values()) < 0.6 and min(found.margins.values()) < 0.2
    # Far from where any animal lay: too costly, though nothing else competes.
    found = hm.relink_by_position({"Box0": disc(10, 10, 6)}, [disc(40, 60, 6)])
    assert found.pairs == {0: "Box0"} and found.margins == {0: np.inf} and not found.unambiguous
    # More animals than before: one is left over; an empty previous mask costs 1.
    found = hm.relink_by_position({"Box0": disc(10, 10, 5), "Box1": np.zeros((60, 80), bool)},
                                  [disc(10, 10, 5), disc(40, 60, 5), disc(40, 20, 5)])
    assert found.pairs[0] == "Box0" and len(found.unpaired) == 1 and not found.unambiguous
    assert max(found.costs.values()) == 1.0
    with pytest.raises(ValueError):
        hm.relink_by_position(pair, [disc(1, 1, 1, (10, 10))])


def test_relink_is_the_cheapest_one_to_one_pairing():
    rng = np.random.default_rng(11)
    for trial in range(40):
        n_prev = int(rng.integers(1, 6))
        n_new = int(rng.integers(1, n_prev + 1))
        prev = [disc(*rng.integers(5, 55, 2), int(rng.integers(2, 9))) for _ in range(n_prev)]
        new = [disc(*rng.integers(5, 55, 2), int(rng.integers(2, 9))) for _ in range(n_new)]
        found = hm.relink_by_position(dict(enumerate(prev)), new)

        def cost(a, b):
            iou = (a & b).sum() / ((a | b).sum() + 1e-6)
            (ay, ax), (by, bx) = (np.argwhere(m).mean(axis=0) for m in (a, b))
            return 0.5 * (1 - iou) + 0.5 * min(1.0, np.hypot(ay - by, ax - bx) / np.sqrt(b.sum()))

        table = np.array([[cost(a, b) for b in prev] for a in new])
        best = min(itertools.permutations(range(n_prev), n_new),
                   key=lambda p: sum(table[i, j] for i, j in enumerate(p)))
        assert sum(found.costs.values()) == pytest.approx(sum(table[i, j] for i, j in enumerate(best)))
        assert found.costs == pytest.approx({i: table[i, found.pairs[i]] for i in range(n_new)}), trial
