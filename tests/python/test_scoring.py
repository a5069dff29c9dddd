"""Tracking scores against the reference evaluation kit run on files, as the field runs it."""

import contextlib
import io
import os

import numpy as np
import pandas as pd
import pytest

trackeval = pytest.importorskip("trackeval")
mask_utils = pytest.importorskip("pycocotools.mask")

from herdmask import export, scoring  # noqa: E402

_FIELDS = {"HOTA": ("HOTA", "HOTA"), "DetA": ("HOTA", "DetA"), "AssA": ("HOTA", "AssA"), "LocA": ("HOTA", "LocA"),
           "MOTA": ("CLEAR", "MOTA"), "IDF1": ("Identity", "IDF1"), "ID switches": ("CLEAR", "IDSW"),
           "fragmentations": ("CLEAR", "Frag"), "precision": ("CLEAR", "CLR_Pr"), "recall": ("CLEAR", "CLR_Re")}


def _kit(dataset_class, gt_lines, tracker_lines, lengths, tmp_path):
    """The kit's own scores from files in its layout: {sequence or COMBINED_SEQ: {column: value}}."""
    for seq in lengths:
        os.makedirs(tmp_path / "gt" / seq / "gt", exist_ok=True)
        (tmp_path / "gt" / seq / "gt" / "gt.txt").write_text("".join(gt_lines[seq]))
        os.makedirs(tmp_path / "trackers" / "mine" / "data", exist_ok=True)
        (tmp_path / "trackers" / "mine" / "data" / f"{seq}.txt").write_text("".join(tracker_lines[seq]))
    quiet = {"PRINT_CONFIG": False}
    dataset = dataset_class({**quiet, "GT_FOLDER": str(tmp_path / "gt"), "TRACKERS_FOLDER": str(tmp_path / "trackers"),
                             "SKIP_SPLIT_FOL": True, "SEQ_INFO": dict(lengths), "TRACKERS_TO_EVAL": ["mine"]})
    evaluator = trackeval.Evaluator({**quiet, "PRINT_RESULTS": False, "OUTPUT_SUMMARY": False,
                                     "OUTPUT_DETAILED": False, "PLOT_CURVES": False, "TIME_PROGRESS": False})
    metrics = [trackeval.metrics.HOTA(), trackeval.metrics.CLEAR(quiet), trackeval.metrics.Identity(quiet)]
    with contextlib.redirect_stdout(io.StringIO()):
        found, _ = evaluator.evaluate([dataset], metrics)
    per_seq = next(iter(found.values()))["mine"]
    return {seq: {col: float(np.mean(res["pedestrian"][m][f])) for col, (m, f) in _FIELDS.items()}
            for seq, res in per_seq.items()}


def _assert_same(ours, kit):
    for seq, want in kit.items():
        name = "OVERALL" if seq == "COMBINED_SEQ" else seq
        for col, value in want.items():
            assert ours.loc[name, col] == pytest.approx(value, abs=1e-6), (name, col)


def _mot_lines(table, gt):
    tail = ",1,1\n" if gt else ",-1,-1,-1\n"
    return [f"{r.frame},{r.id},{r.x},{r.y},{r.w},{r.h},{r.conf:g}{tail}" for r in table.itertuples()]


def _boxes(rows):
    return pd.DataFrame(rows, columns=["frame", "id", "x", "y", "w", "h", "conf"]).astype({"frame": int, "id": int})


def test_box_scores_equal_the_kit_on_swapped_ids_and_random_tracks(tmp_path):
    # hand-made: two animals side by side whose ids swap halfway; a true box marked not to be scored
    truth = _boxes([(f, k, 10 + 40 * k + f, 20, 30, 30, 1.0) for f in range(1, 9) for k in (1, 2)]
                   + [(3, 9, 200, 200, 10, 10, 0.0)])
    swapped = truth[truth["conf"] == 1].copy()
    late = swapped["frame"] > 4
    swapped.loc[late, "id"] = 3 - swapped.loc[late, "id"]
    # random: jittered, dropped and spurious boxes with some ids exchanged, over two sequences
    rng = np.random.default_rng(5)
    gt_r = _boxes([(f, k, 50 * k + f + rng.normal(0, 3), 40 + rng.normal(0, 3), 30, 25, 1.0)
                   for f in range(1, 41) for k in range(1, 6)])
    pred_r = gt_r[rng.random(len(gt_r)) > 0.1].copy()
    pred_r[["x", "y"]] += rng.normal(0, 4, (len(pred_r), 2))
    pred_r.loc[pred_r["frame"] > 25, "id"] = pred_r.loc[pred_r["frame"] > 25, "id"] % 5 + 1
    pred_r = pd.concat([pred_r, _boxes([(f, 9, 400, 400, 20, 20, 1.0) for f in range(5, 12)])])
    gts, preds = {"swap": truth, "random": gt_r}, {"swap": swapped, "random": pred_r}
    ours = export.evaluate_mot(preds, gts)
    kit = _kit(trackeval.datasets.MotChallenge2DBox, {s: _mot_lines(t, True) for s, t in gts.items()},
               {s: _mot_lines(t, False) for s, t in preds.items()}, {"swap": 8, "random": 40}, tmp_path)
    _assert_same(ours, kit)
    assert ours.loc["swap", "ID switches"] == 2 and ours.loc["swap", "IDF1"] == pytest.approx(0.5)


def test_demo_scores_equal_the_kit(tiny_demo, tmp_path):
    from herdmask.app.export import run_mot

    out, _ = tiny_demo
    preds = run_mot(out)
    gts = {n: export.read_mot(os.path.join(out, "ground_truth", f"{n}.txt")) for n in preds}
    ours = export.evaluate_mot(preds, gts)
    lengths = {n: int(max(gts[n]["frame"].max(), preds[n]["frame"].max())) for n in preds}
    kit = _kit(trackeval.datasets.MotChallenge2DBox, {s: _mot_lines(t, True) for s, t in gts.items()},
               {s: _mot_lines(t, False) for s, t in preds.items()}, lengths, tmp_path)
    _assert_same(ours, kit)
    assert ours.loc["OVERALL", "HOTA"] > 0.7


def _ellipse_mask(shape, cx, cy):
    yy, xx = np.mgrid[: shape[0], : shape[1]]
    return ((xx - cx) / 9.0) ** 2 + ((yy - cy) / 5.0) ** 2 <= 1


def test_mask_scores_equal_the_kit_and_mots_png_reads_the_same(tmp_path):
    shape, rng = (40, 80), np.random.default_rng(3)
    gt_lines, pred_lines, pngs = [], [], tmp_path / "png" / "instances"
    os.makedirs(pngs)
    for f in range(1, 7):
        image = np.zeros(shape, np.uint16)
        for k, cx in ((1, 15 + 2 * f), (2, 60 - f)):
            true = _ellipse_mask(shape, cx, 20)
            image[true] = 2000 + k
            seen = _ellipse_mask(shape, cx + rng.integers(-3, 4), 20 + rng.integers(-2, 3))
            for lines, mask, ident in ((gt_lines, true, 2000 + k), (pred_lines, seen, 2000 + (3 - k if f > 3 else k))):
                rle = mask_utils.encode(np.asfortranarray(mask.astype(np.uint8)))
                lines.append(f"{f} {ident} 2 {shape[0]} {shape[1]} {rle['counts'].decode()}\n")
        from PIL import Image

        Image.fromarray(image).save(pngs / f"{f - 1:06d}.png")
    (tmp_path / "gt.txt").write_text("".join(gt_lines))
    (tmp_path / "pred.txt").write_text("".join(pred_lines))
    pred = scoring.read_mots_text(tmp_path / "pred.txt")
    ours = scoring.score_tracks({"s": pred}, {"s": scoring.read_mots_text(tmp_path / "gt.txt")})
    kit = _kit(trackeval.datasets.MOTSChallenge, {"s": gt_lines}, {"s": pred_lines}, {"s": 6}, tmp_path / "kit")
    _assert_same(ours, kit)
    assert ours.loc["s", "ID switches"] == 2
    from_png = scoring.score_tracks({"s": pred}, {"s": scoring.read_mots_png(tmp_path / "png")})
    pd.testing.assert_frame_equal(from_png, ours)


def test_bins_score_each_bin_on_its_own():
    truth = _boxes([(f, 1, f, 0, 10, 10, 1.0) for f in range(1, 11)])
    pred = truth.copy()
    pred.loc[pred["frame"] > 5, "id"] = 2  # a switch at the bin boundary is no switch within either bin
    bins = {"sequence": pd.Series(["early"] * 5 + ["late"] * 5, index=range(1, 11))}
    whole, binned = scoring.score_tracks(pred, truth, frame_bins=bins)
    assert whole.loc["sequence", "ID switches"] == 1
    assert list(binned.loc[("early", "sequence")][["ID switches", "frames"]]) == [0, 5]
    assert binned.loc[("late", "OVERALL"), "IDF1"] == 1
