"""The tracking question report and the small-area box count."""

import csv
import os
import stat

import numpy as np
import pandas as pd
import pytest

import herdmask as hm

COLUMNS = ["Frame ID", "Box Pair", "Intersection Value", "Mask Area1", "Mask Area2",
           "Report type", "Box ID", "Mask Areas"]


def _table(keys, cells):
    return pd.DataFrame(np.asarray(cells, dtype=float), index=keys, columns=keys)


def _record(areas, cells):
    keys = list(areas)
    return {"mask_areas": dict(areas), "intersections_df": _table(keys, cells)}


def _report_text(folder):
    with open(os.path.join(folder, "tracking_question_report.csv"), newline="") as f:
        return f.read()


def test_frame_with_both_kinds_of_question_gives_exact_file(tmp_path, capsys):
    data = {
        3: _record({"Box1": 2500, "Box4": 1200, "Box7": 0},
                   [[0, 20.0, 0], [85.456, 0, 0], [0, 0, 0]]),
        4: _record({"Box1": 2400, "Box4": 0.1, "Box7": 1},
                   [[0, 90.0, 0], [81.0, 0, 0], [0, 0, 0]]),
    }
    overlap_df, zero_rows, overlap_frames, last_df = hm.generate_tracking_report(data, tmp_path)
    assert _report_text(tmp_path) == (
        "Frame ID,Box Pair,Intersection Value,Mask Area1,Mask Area2,Report type,Box ID,Mask Areas\n"
        "3,Box4-Box1,85.46,1200,2500,High overlap mask detected,,\n"
        "4,Box1-Box4,90.0,2400,0.1,High overlap mask detected,,\n"
        "4,Box4-Box1,81.0,0.1,2400,High overlap mask detected,,\n"
        "3,,,,,Zero area detected,Box7,0\n"
        "4,,,,,Zero area detected,Box4,0.1\n")
    assert overlap_frames == [3, 4]
    assert zero_rows == [
        {"Frame ID": 3, "Report type": "Zero area detected", "Box ID": "Box7", "Mask Areas": 0},
        {"Frame ID": 4, "Report type": "Zero area detected", "Box ID": "Box4", "Mask Areas": 0.1},
    ]
    assert list(overlap_df.columns) == COLUMNS and list(last_df.columns) == COLUMNS
    assert overlap_df["Box Pair"].tolist() == ["Box4-Box1", "Box1-Box4", "Box4-Box1"]
    assert list(overlap_df.index) == [0, 1, 2]
    assert last_df["Frame ID"].tolist() == [4, 4]
    assert last_df["Box ID"].isna().all() and last_df["Mask Areas"].isna().all()
    out = capsys.readouterr().out
    path = os.path.join(tmp_path, "tracking_question_report.csv")
    assert out == f"Generating tracking question report...\n\nTracking question report saved to {path}\n"

    # The file reads back cell for cell, both as a table and as plain CSV.
    back = pd.read_csv(path)
    assert list(back.columns) == COLUMNS
    assert back["Intersection Value"].tolist()[:3] == [85.46, 90.0, 81.0]
    assert back["Mask Areas"].tolist()[3:] == [0.0, 0.1]
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    assert all(len(r) == 8 for r in rows) and rows[4][6] == "Box7"


@pytest.mark.parametrize("cell,is_overlap", [(80.0, False), (80.01, True)])
def test_threshold_is_strict(tmp_path, cell, is_overlap):
    data = {0: _record({"Box0": 50, "Box1": 60}, [[0, cell], [0, 0]])}
    overlap_df, _, frames, _ = hm.generate_tracking_report(data, tmp_path)
    assert frames == ([0] if is_overlap else [])
    assert len(overlap_df) == int(is_overlap)


@pytest.mark.parametrize("area,is_zero", [(0, True), (0.1, True), (0.10001, False), (1, False)])
def test_zero_area_bound(tmp_path, area, is_zero):
    data = {0: _record({"Box0": area}, [[0]])}
    _, zero_rows, _, _ = hm.generate_tracking_report(data, tmp_path)
    assert len(zero_rows) == int(is_zero)
    assert os.path.exists(tmp_path / "tracking_question_report.csv") == is_zero


def test_no_question_writes_nothing_and_prints_nothing(tmp_path, capsys):
    data = {0: _record({"Box0": 5, "Box1": 6}, [[0, 10], [10, 0]])}
    overlap_df, zero_rows, frames, last_df = hm.generate_tracking_report(data, tmp_path)
    assert (zero_rows, frames) == ([], [])
    assert overlap_df.empty and list(overlap_df.columns) == COLUMNS and last_df.empty
    assert capsys.readouterr().out == "" and os.listdir(tmp_path) == []


def test_only_zero_area_rows_leave_overlap_fields_empty(tmp_path):
    data = {i: _record({"Box0": 0, "Box1": 40}, [[0, 0], [0, 0]]) for i in range(3)}
    hm.generate_tracking_report(data, tmp_path)
    lines = _report_text(tmp_path).splitlines()
    assert lines[0] == ",".join(COLUMNS)
    assert lines[1:] == [f"{i},,,,,Zero area detected,Box0,0" for i in range(3)]


def test_last_overlap_frame_table_holds_only_its_rows(tmp_path):
    data = {i: _record({"Box0": 50, "Box1": 60}, [[0, 90 + i], [0, 0]]) for i in range(3)}
    overlap_df, _, frames, last_df = hm.generate_tracking_report(data, tmp_path, 85)
    assert frames == [0, 1, 2] and len(overlap_df) == 3
    assert last_df["Frame ID"].tolist() == [2] and last_df["Intersection Value"].tolist() == [92.0]


def _plain_report(data, thr):
    """The report as plain pandas would build it, row by row."""
    zero, overlap = [], []
    for fid, rec in data.items():
        for key, area in rec["mask_areas"].items():
            if area <= 0.1:
                zero.append({"Frame ID": fid, "Report type": "Zero area detected",
                             "Box ID": key, "Mask Areas": area})
        df = rec["intersections_df"]
        for i, j in zip(*np.where(df.values > thr)):
            rk, ck = df.index[i], df.columns[j]
            overlap.append({"Frame ID": fid, "Box Pair": f"{rk}-{ck}",
                            "Intersection Value": round(df.iloc[i, j], 2),
                            "Mask Area1": rec["mask_areas"][rk], "Mask Area2": rec["mask_areas"][ck],
                            "Report type": "High overlap mask detected"})
    return pd.DataFrame(overlap + zero, columns=COLUMNS)


def test_report_matches_plain_pandas_on_random_frames(tmp_path):
    rng = np.random.default_rng(5)
    keys = [f"Box{i}" for i in range(6)]
    data = {}
    for fid in range(40):
        cells = rng.uniform(0, 100, (6, 6)) * (rng.random((6, 6)) < 0.2)
        np.fill_diagonal(cells, 0)
        areas = {k: int(a) for k, a in zip(keys, rng.integers(0, 3, 6) * rng.integers(0, 5000, 6))}
        data[fid] = {"mask_areas": areas, "intersections_df": _table(keys, cells)}
    hm.generate_tracking_report(data, tmp_path, 60)
    got = pd.read_csv(tmp_path / "tracking_question_report.csv")
    want = _plain_report(data, 60)
    pd.testing.assert_frame_equal(got, want, check_dtype=False)


def test_report_with_an_empty_folder_goes_to_the_working_folder(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    hm.generate_tracking_report({0: _record({"Box0": 0}, [[0]])}, "")
    assert capsys.readouterr().out.splitlines()[-1] == \
        "Tracking question report saved to tracking_question_report.csv"
    assert os.listdir(tmp_path) == ["tracking_question_report.csv"]


def test_report_folder_errors_leave_no_partial_file(tmp_path):
    data = {0: _record({"Box0": 0}, [[0]])}
    with pytest.raises(FileNotFoundError, match="does not exist"):
        hm.generate_tracking_report(data, tmp_path / "missing")
    # A folder standing where the file goes cannot be replaced.
    blocked = tmp_path / "blocked"
    (blocked / "tracking_question_report.csv").mkdir(parents=True)
    with pytest.raises(OSError, match="tracking_question_report.csv"):
        hm.generate_tracking_report(data, blocked)
    assert os.listdir(blocked) == ["tracking_question_report.csv"]
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(stat.S_IRUSR | stat.S_IXUSR)
    try:
        if os.access(locked, os.W_OK):
            pytest.skip("running with rights that ignore folder permissions")
        with pytest.raises(OSError):
            hm.generate_tracking_report(data, locked)
        assert os.listdir(locked) == []
    finally:
        locked.chmod(stat.S_IRWXU)


@pytest.mark.parametrize(
    "record,error",
    [({"intersections_df": _table(["Box0"], [[0]])}, KeyError),
     ({"mask_areas": {"Box0": 3}}, KeyError),
     ({"mask_areas": {"Box0": 3}, "intersections_df": _table(["Box0", "Box1"], [[0, 99], [0, 0]])},
      KeyError),
     ({"mask_areas": {"Box0": "big"}, "intersections_df": _table(["Box0"], [[0]])}, TypeError)])
def test_broken_records_raise(tmp_path, record, error):
    with pytest.raises(error):
        hm.generate_tracking_report({0: record}, tmp_path)
    with pytest.raises(TypeError, match="gsam_annotation_data must be a map"):
        hm.generate_tracking_report(None, tmp_path)


def test_small_area_boxes_count_late_frames_in_first_seen_order():
    frames = {}
    for fid in range(450, 700):
        frames[fid] = {"mask_areas": {"Box2": 100 if fid > 598 else 500,
                                      "Box5": 3 if fid > 550 else 900,
                                      "Box1": 0}}
    frames[400] = {"no areas": True}  # frames at or below the bound are never looked at
    # Box1 is small in 199 late frames, Box5 in 149, Box2 in exactly 101 (frames 599..699).
    got = hm.find_boxes_with_small_area_from_last_video(frames)
    assert got == ["Box1", "Box5", "Box2"]
    del frames[699]  # Box2 now small in exactly 100 late frames: not enough
    assert hm.find_boxes_with_small_area_from_last_video(frames) == ["Box1", "Box5"]
    assert hm.find_boxes_with_small_area_from_last_video({}) == []
    assert hm.find_boxes_with_small_area_from_last_video(frames, min_frame_id=10**6) == []
    frames[800] = {}
    with pytest.raises(KeyError, match="mask_areas"):
        hm.find_boxes_with_small_area_from_last_video(frames)
