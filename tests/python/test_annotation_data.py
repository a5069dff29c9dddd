"""Loading a folder of annotation files: discovery order, the three modes, records."""

import json

import cv2
import numpy as np
import pandas as pd
import pytest

from herdmask import get_gsam_annotation_data, process_json_and_generate_masks
from test_measures import ref_table

HEIGHT, WIDTH = 24, 32


def _square(x, y, side):
    x0, y0, x1, y1 = x / WIDTH, y / HEIGHT, (x + side) / WIDTH, (y + side) / HEIGHT
    return f"pig {x0} {y0} {x1} {y0} {x1} {y1} {x0} {y1}"


def _annotation(image, frame, objects):
    return {"image_path": str(image), "frame": frame,
            "detections": [{"object_id": oid, "formatted_polygon": [_square(*sq)]}
                           for oid, sq in objects]}


@pytest.fixture
def run_folder(tmp_path):
    """Nested folders with gaps in the numbering, unrelated files and unordered names."""
    image = tmp_path / "frame.png"
    cv2.imwrite(str(image), np.zeros((HEIGHT, WIDTH, 3), np.uint8))
    root = tmp_path / "run"
    layout = {
        "output_pp_2.json": [(1, (0, 0, 6)), (2, (3, 3, 6))],
        "output_pp_10.json": [(1, (10, 2, 5)), (3, (12, 4, 2)), (2, (20, 10, 3))],
        "output_pp_1.json": [(1, (0, 0, 4))],
        "b/output_pp_30.json": [(5, (1, 1, 1)), (5, (2, 2, 2))],
        "a/output_pp_21.json": [],
        "a/deeper/output_pp_25.json": [(2, (0, 0, 9))],
    }
    for name, objects in layout.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        frame = int(name.rsplit("_", 1)[1].split(".")[0])
        path.write_text(json.dumps(_annotation(image, frame, objects)))
    (root / "notes.json").write_text("{broken")
    (root / "output_pp_4.txt").write_text("{broken")
    return root


ORDER = ["output_pp_1.json", "output_pp_2.json", "output_pp_10.json", "a/output_pp_21.json",
         "a/deeper/output_pp_25.json", "b/output_pp_30.json"]


def _plain_table(masks_dict, areas):
    keys = list(masks_dict)
    return pd.DataFrame(ref_table(masks_dict, areas), index=keys, columns=keys)


def _check_record(record, root, rel):
    path = str(root / rel)
    image_path, masks, boxkeys = process_json_and_generate_masks(path, HEIGHT, WIDTH)
    assert record["json_path"] == path
    assert record["image_path"] == image_path
    assert record["frame_index"] == int(rel.rsplit("_", 1)[1].split(".")[0])
    expected = {f"Box{k}": m for k, m in zip(boxkeys, masks)}
    assert list(record["masks_dict"]) == list(expected)
    for key, mask in expected.items():
        np.testing.assert_array_equal(record["masks_dict"][key], mask)
        assert record["mask_areas"][key] == np.count_nonzero(mask)
        assert type(record["mask_areas"][key]) is int
    assert list(record["mask_areas"]) == list(expected)


def test_all_files_with_tables(run_folder):
    last, data = get_gsam_annotation_data("ignored", save_dir_base=str(run_folder))
    assert list(data) == list(range(len(ORDER)))
    for key, rel in enumerate(ORDER):
        record = data[key]
        _check_record(record, run_folder, rel)
        pd.testing.assert_frame_equal(record["intersections_df"],
                                      _plain_table(record["masks_dict"], record["mask_areas"]))
    assert last is data[len(ORDER) - 1]
    assert last["frame_index"] == 30
    # A repeated object id keeps one key holding the later mask.
    assert list(last["masks_dict"]) == ["Box4"] and last["mask_areas"]["Box4"] == 9
    assert data[2]["intersections_df"].loc["Box0", "Box2"] == pytest.approx(100 * 9 / 36)


def test_all_files_without_tables(run_folder):
    last, data = get_gsam_annotation_data(None, True, 3, run_folder)
    assert list(data) == list(range(len(ORDER)))
    for key, rel in enumerate(ORDER):
        assert set(data[key]) == {"frame_index", "masks_dict", "mask_areas", "json_path",
                                  "image_path"}
        _check_record(data[key], run_folder, rel)
    assert last is data[5]


@pytest.mark.parametrize("ixx", [1, 4, 5])
def test_single_file_mode(run_folder, ixx):
    last, data = get_gsam_annotation_data(None, last_or_not=False, ixx=ixx,
                                          save_dir_base=run_folder)
    assert last is data and list(data) == [ixx]
    assert "intersections_df" not in data[ixx]
    _check_record(data[ixx], run_folder, ORDER[ixx])


def test_single_file_mode_out_of_range(run_folder):
    assert get_gsam_annotation_data(None, False, 6, run_folder) == ({}, {})


def test_no_files_prints_and_returns_none(tmp_path, capsys):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "notes.json").write_text("{}")
    for root in (tmp_path, tmp_path / "missing"):
        assert get_gsam_annotation_data(None, save_dir_base=str(root)) == (None, None)
        assert capsys.readouterr().out == (
            f"No JSON files found in {root}. Please check the directory and try again.\n")


def test_errors_reach_the_caller(run_folder):
    bad = run_folder / "a" / "output_pp_21.json"
    bad.write_text('{"image_path": "x", "detections": [{"formatted_polygon": ["p 0.1"]}]}')
    with pytest.raises(ValueError, match="output_pp_21"):
        get_gsam_annotation_data(None, save_dir_base=run_folder)
    (run_folder / "output_pp_1.json").write_text(json.dumps(
        {"image_path": str(run_folder / "nowhere.png"), "detections": []}))
    with pytest.raises(FileNotFoundError, match="nowhere"):
        get_gsam_annotation_data(None, save_dir_base=run_folder)
    with pytest.raises(TypeError):
        get_gsam_annotation_data()


def test_file_name_without_marker_is_rejected(run_folder):
    (run_folder / "b" / "frame_99.json").write_text((run_folder / "output_pp_1.json").read_text())
    with pytest.raises(ValueError, match="frame_99"):
        get_gsam_annotation_data(None, True, 0, run_folder)
