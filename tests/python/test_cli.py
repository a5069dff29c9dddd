"""The herdmask command: its arguments and the review of a folder of annotation files."""

import csv
import json
import os
import re

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
pytest.importorskip("torch")

import herdmask as hm  # noqa: E402
from herdmask.app import cli, stages  # noqa: E402

REVIEW_STEPS = ["get_gsam_annotation_data", "generate_tracking_report", "find_continuous_frames",
                "process_overlap_frames", "find_boxes_with_small_area_from_last_video", "draw_intersection_heatmap"]


def needs(*names):
    missing = [n for n in names if not hasattr(hm, n)]
    return pytest.mark.skipif(bool(missing), reason=f"library steps not built yet: {', '.join(missing)}")


@pytest.mark.parametrize("argv", [
    ["run", "x"],                                      # --out is required
    ["run", "x", "--out", "o", "--start", "6:00"],     # not hh:mm:ss
    ["run", "x", "--out", "o", "--workers", "0"],
    ["run", "x", "--out", "o", "--time-step", "0"],
    ["run", "x", "--out", "o", "--time-step", "nan"],
    ["run", "x", "--out", "o", "--max-gap", "nan"],          # would carry keys across any gap
    ["run", "x", "--out", "o", "--max-gap", "-1"],
    ["run", "x", "--out", "o", "--sample-step", "-2"],
    ["run", "x", "--out", "o", "--crop-box", "10,0,5,20"],   # x2 before x1
    ["run", "x", "--out", "o", "--no-crop", "--crop-box", "0,0,5,5"],
    ["review", "x"],
    ["frobnicate"],
])
def test_bad_arguments_exit_with_usage(argv, capsys):
    with pytest.raises(SystemExit) as exc:
        cli.main(argv)
    assert exc.value.code == 2
    assert "usage: herdmask" in capsys.readouterr().err


def test_missing_review_folder_is_reported_not_raised(tmp_path, capsys):
    assert cli.main(["review", str(tmp_path / "nope"), "--out", str(tmp_path / "o")]) == 2
    assert "no such folder" in capsys.readouterr().err


def _pngs_of(page):
    text = open(page).read()
    return [os.path.join(os.path.dirname(page), src) for src in re.findall(r"<img[^>]* src='([^']+)'", text)]


def _annotation_folder(tmp_path, n=8, h=60, w=90):
    """Three animals; Box1 lies on Box0 in frames 2-5, Box2 vanishes in frames 6-7."""
    frames = []
    for i in range(n):
        img = np.full((h, w, 3), 60, np.uint8)
        p = tmp_path / "frames" / f"{i:04d}.jpg"
        p.parent.mkdir(exist_ok=True)
        cv2.imwrite(str(p), img)
        frames.append(str(p))
    segments = {}
    for i in range(n):
        objs = {}
        for oid, (cx, cy) in enumerate([(20, 20), (60, 20), (45, 45)], start=1):
            m = np.zeros((h, w), np.uint8)
            if oid == 2 and 2 <= i <= 5:
                cx = 22  # on top of animal 1
            if not (oid == 3 and i >= 6):
                cv2.ellipse(m, (cx, cy), (10, 6), 0, 0, 360, 1, -1)
            objs[oid] = m.astype(bool)[None]
        segments[i] = objs
    ann = tmp_path / "ann"
    stages.write_annotation_files(segments, frames, str(ann))
    return ann


@needs(*REVIEW_STEPS)
def test_review_of_a_folder_of_annotation_files(tmp_path, capsys):
    ann = _annotation_folder(tmp_path)
    out = tmp_path / "review"
    argv = ["review", str(ann), "--out", str(out), "--min-frame-id", "4", "--area-threshold", "5",
            "--min-count", "1"]
    assert cli.main(argv) == 0
    log = capsys.readouterr().out
    assert "STAND-IN" in log
    rows = list(csv.DictReader(open(out / "tracking_question_report.csv")))
    overlaps = {(int(r["Frame ID"]), r["Box Pair"]) for r in rows if r["Report type"].startswith("High")}
    assert {f for f, _ in overlaps} == {2, 3, 4, 5}
    zero = [(int(r["Frame ID"]), r["Box ID"]) for r in rows if r["Report type"] == "Zero area detected"]
    assert zero == [(6, "Box2"), (7, "Box2")]
    assert "Boxes that stayed small late in the segment (not carried on): Box2." in log
    # both coverages exceed the threshold; the animal that moved is the one named
    assert "Long overlaps: Box0-Box1 (frames 2-5), Box1-Box0 (frames 2-5)." in log
    assert "went wrong there is Box1" in log
    assert "[" not in log.split("Long overlaps:")[1].splitlines()[0]  # a sentence, not a Python list
    pngs = _pngs_of(out / "review.html")
    assert {os.path.basename(p) for p in pngs} == {"intersection_heatmap.png", "first_long_overlap.png",
                                                   "mask_areas.png"}
    assert all(cv2.imread(p) is not None for p in pngs)


def test_run_without_the_app_packages_says_what_to_install(monkeypatch, capsys):
    monkeypatch.setattr(cli, "_missing_app_packages", lambda command: ["distributed", "tqdm"])
    assert cli.main(["run", "x", "--out", "o"]) == 4
    assert capsys.readouterr().err == "herdmask run needs distributed, tqdm: pip install herdmask[app]\n"


def test_an_internal_error_is_one_line_exit_5_and_its_traceback_in_a_log(monkeypatch, tmp_path, capsys):
    from herdmask.app import evaluate

    def broken(args):
        raise ZeroDivisionError("a fault of the program")

    monkeypatch.setattr(evaluate, "_run", broken)
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    assert cli.main(["evaluate", "p", "g"]) == 5
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "internal error, ZeroDivisionError: a fault of the program" in err
    log = err.split("the traceback is in ")[1].rstrip(")\n")
    assert "Traceback" in open(log).read() and "a fault of the program" in open(log).read()
