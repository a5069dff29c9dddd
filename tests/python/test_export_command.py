"""herdmask export and evaluate on the demo's output, scored against the sample's true tracks."""

import csv
import glob
import json
import os

import pytest

pytest.importorskip("torch")
pytest.importorskip("pycocotools")
pytest.importorskip("trackeval")

from herdmask import export  # noqa: E402
from herdmask.app import cli  # noqa: E402


@pytest.fixture(scope="module")
def demo_run(tiny_demo):
    out, _ = tiny_demo
    return out, sorted(glob.glob(os.path.join(out, "ground_truth", "*.txt")))


def _evaluate(predicted, truth, out, capsys):
    assert cli.main(["evaluate", str(predicted), str(truth), "--out", str(out)]) == 0
    assert "IDF1" in capsys.readouterr().out
    with open(os.path.join(out, "evaluation.csv")) as f:
        rows = {r["sequence"]: r for r in csv.DictReader(f)}
    assert "evaluation.png" in open(os.path.join(out, "evaluation.html")).read()
    return rows["OVERALL"]


def _swap_tracks(tracks_csv, a, b, from_frame):
    """Box keys a and b swapped in a link's tracks table (what the run's MOT export reads) from a frame on."""
    import pandas as pd

    table = pd.read_csv(tracks_csv)
    late = table["frame"] >= from_frame
    table.loc[late, "box_key"] = table.loc[late, "box_key"].map({a: b, b: a}).fillna(table.loc[late, "box_key"])
    table.to_csv(tracks_csv, index=False)


def test_swapped_keys_show_as_identity_switches(demo_run, tmp_path, capsys):
    out, truth = demo_run
    truth_dir = os.path.dirname(truth[0])
    before = _evaluate(out, truth_dir, tmp_path / "before", capsys)
    assert float(before["IDF1"]) > 0.95 and int(before["ID switches"]) <= 1
    segment = sorted({os.path.dirname(p) for p in glob.glob(os.path.join(out, "annotations", "**", "output_pp_*.json"),
                                                            recursive=True)})[0]
    frames = sorted(int(p.rsplit("_", 1)[1].split(".")[0]) for p in glob.glob(os.path.join(segment, "*.json")))
    tracks = segment.replace(os.sep + "annotations" + os.sep, os.sep + "reports" + os.sep) + os.sep + "tracks.csv"
    _swap_tracks(tracks, "Box0", "Box1", frames[len(frames) // 2])
    after = _evaluate(out, truth_dir, tmp_path / "after", capsys)
    assert int(after["ID switches"]) >= int(before["ID switches"]) + 2
    assert float(after["IDF1"]) < float(before["IDF1"]) - 0.005
    _swap_tracks(tracks, "Box0", "Box1", frames[len(frames) // 2])  # the module's other tests see the demo as it was

    # the same segment exported and read back by the command
    assert cli.main(["export", segment, "--format", "mot", "--out", str(tmp_path / "seg.txt")]) == 0
    assert cli.main(["export", segment, "--format", "coco", "--out", str(tmp_path)]) == 0
    table = export.read_mot(tmp_path / "seg.txt")
    with open(tmp_path / (os.path.basename(segment) + ".json")) as f:
        doc = json.load(f)
    assert len(doc["annotations"]) == len(table) > 0
    assert sorted(a["track_id"] for a in doc["annotations"]) == sorted(table["id"])


def test_bad_input_is_one_line_and_a_failure(demo_run, tmp_path, capsys):
    out, truth = demo_run
    (tmp_path / "short.txt").write_text("1,1,10,10,5\n")
    (tmp_path / "words.txt").write_text("1,1,10,10,five,5,1,-1,-1,-1\n")
    (tmp_path / "late.txt").write_text("900,1,10,10,5,5,1,-1,-1,-1\n")
    cases = [
        (["export", str(tmp_path), "--format", "mot", "--out", str(tmp_path / "x.txt")], "No annotation files"),
        (["export", str(tmp_path / "nowhere"), "--format", "coco", "--out", str(tmp_path / "x.json")],
         "no such folder"),
        (["evaluate", str(tmp_path / "short.txt"), truth[0]], "short.txt, line 1: 5 columns"),
        (["evaluate", str(tmp_path / "late.txt"), str(tmp_path / "words.txt")], "width 'five' is not a number"),
        (["evaluate", str(tmp_path / "late.txt"), truth[0], "--pair"], "is for other frames"),
    ]
    for argv, message in cases:
        assert cli.main(argv) == 2, argv
        err = capsys.readouterr().err
        assert message in err and err.count("\n") == 1 and "Traceback" not in err, err


def _mot(path, rows, width=10):
    path.parent.mkdir(exist_ok=True)
    path.write_text("".join(f"{f},{i},{x},0,{width},10,1,-1,-1,-1\n" for f, i, x in rows))
    return str(path)


def test_a_pair_at_exactly_the_iou_threshold_is_a_match_and_names_must_pair(tmp_path, capsys):
    truth = _mot(tmp_path / "gt" / "Camera1.txt", [(1, 1, 0), (2, 1, 0)])
    same = _mot(tmp_path / "pred" / "Camera1.txt", [(1, 7, 0), (2, 7, 0)])
    assert cli.main(["evaluate", same, truth, "--iou", "1", "--out", str(tmp_path / "e")]) == 0
    assert "IDF1 1.000" in capsys.readouterr().out
    # a box twice as wide over the true one: IoU 100 / 200, exactly the threshold
    half = _mot(tmp_path / "half" / "Camera1.txt", [(1, 7, 0), (2, 7, 0)], width=20)
    assert cli.main(["evaluate", half, truth, "--iou", "0.5", "--out", str(tmp_path / "e")]) == 0
    assert "IDF1 1.000" in capsys.readouterr().out
    other = _mot(tmp_path / "other" / "Camera2.txt", [(1, 7, 0)])
    assert cli.main(["evaluate", other, truth, "--out", str(tmp_path / "e")]) == 2
    assert "different names; give --pair" in capsys.readouterr().err
    assert cli.main(["evaluate", other, truth, "--pair", "--out", str(tmp_path / "e")]) == 0
