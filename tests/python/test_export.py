"""Export to COCO and MOTChallenge text, the strict MOT reader, and the identity metrics."""

import json
import random

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("pycocotools")
pytest.importorskip("trackeval")
from PIL import Image  # noqa: E402
from pycocotools import mask as mask_utils  # noqa: E402

from herdmask import export, get_gsam_annotation_data  # noqa: E402

HEIGHT, WIDTH = 30, 40


def _polygon(rng, label="sow"):
    x, y = rng.uniform(0, 0.8), rng.uniform(0, 0.8)
    w, h = rng.uniform(0.05, 0.2), rng.uniform(0.05, 0.2)
    pts = [(x, y), (x + w, y + rng.uniform(0, h)), (x + w, y + h), (x + rng.uniform(0, w), y + h)]
    return label + " " + " ".join(f"{px} {py}" for px, py in pts)


@pytest.fixture
def segment(tmp_path):
    """Random frames (gaps in the numbering) with up to five objects, one of them empty."""
    rng = random.Random(5)
    image = tmp_path / "frame.png"
    Image.new("RGB", (WIDTH, HEIGHT)).save(image)
    folder = tmp_path / "seg"
    folder.mkdir()
    for frame in (0, 1, 2, 5, 9):
        detections = [{"object_id": oid, "class_name": "sow",
                       "formatted_polygon": [_polygon(rng) for _ in range(rng.randint(1, 2))]}
                      for oid in rng.sample(range(1, 8), rng.randint(0, 5))]
        if frame == 2:
            detections.append({"object_id": 9, "formatted_polygon": []})  # vanished: nothing to export
        (folder / f"output_pp_{frame}.json").write_text(
            json.dumps({"image_path": str(image), "detections": detections}))
    return folder


def _by_frame(data):
    return {r["frame_index"]: r for r in data.values()}


def test_coco_masks_decode_to_the_loaded_masks(segment):
    _, data = get_gsam_annotation_data(None, last_or_not=True, save_dir_base=str(segment))
    doc = export.segment_coco(segment)
    assert doc["categories"] == [{"id": 1, "name": "sow", "supercategory": "animal"}]
    assert [im["frame_index"] for im in doc["images"]] == [0, 1, 2, 5, 9]
    records = _by_frame(data)
    images = {im["id"]: im for im in doc["images"]}
    seen = set()
    for ann in doc["annotations"]:
        record = records[images[ann["image_id"]]["frame_index"]]
        mask = record["masks_dict"][ann["box_key"]]
        np.testing.assert_array_equal(mask_utils.decode(ann["segmentation"]), mask)
        assert ann["track_id"] == int(ann["box_key"][3:]) + 1
        assert ann["area"] == np.count_nonzero(mask)
        rows, cols = np.nonzero(mask)
        assert ann["bbox"] == [cols.min(), rows.min(), cols.max() - cols.min() + 1, rows.max() - rows.min() + 1]
        seen.add((record["frame_index"], ann["box_key"]))
    expected = {(f, k) for f, r in records.items() for k, a in r["mask_areas"].items() if a > 0}
    assert seen == expected and "Box8" not in {k for _, k in seen}
    # loaded annotation data exports the same document
    assert export.segment_coco(data)["annotations"] == doc["annotations"]


def test_mot_round_trip_keeps_boxes_and_ids(segment, tmp_path):
    table = export.segment_mot(segment, frame_offset=100)
    coco = export.segment_coco(segment)
    assert len(table) == len(coco["annotations"])
    assert table["frame"].min() >= 101
    assert sorted(map(tuple, table[["x", "y", "w", "h"]].to_numpy().astype(int).tolist())) == \
        sorted(tuple(a["bbox"]) for a in coco["annotations"])
    path = export.write_mot(table, tmp_path / "seg.txt")
    assert open(path).readline().count(",") == 9
    pd.testing.assert_frame_equal(export.read_mot(path), table)
    # the tracks table holds each mask's box, area and centroid as the loader reads the files
    _, data = get_gsam_annotation_data(None, last_or_not=True, save_dir_base=str(segment))
    tracks = export.segment_tracks(segment)
    for row in tracks.itertuples():
        mask = _by_frame(data)[row.frame]["masks_dict"][row.box_key]
        ys, xs = np.nonzero(mask)
        assert (row.area, row.cx, row.cy) == (xs.size, pytest.approx(xs.mean()), pytest.approx(ys.mean()))
    numbers = {f: 1000 + 2 * f for f in tracks["frame"]}
    assert list(export.tracks_mot(tracks, frame_numbers=numbers)["frame"]) == [numbers[f] for f in tracks["frame"]]


@pytest.mark.parametrize("line, complaint", [
    ("1,2,3,4,5", "5 columns"),
    ("1,2,3,4,5,x,1", "height 'x' is not a number"),
    ("1,2,,4,5,6", "x '' is not a number"),
    ("1,2,3,4,5,nan", "height 'nan' is not a number"),
    ("0,2,3,4,5,6", "frame '0'"),
    ("1,2.5,3,4,5,6", "id '2.5'"),
    ("1,2,3,4,-5,6", "negative box size"),
    ("1,1,5,5,10,10", "id 1 appears twice in frame 1 (first on line 1)"),
])
def test_mot_reader_names_line_and_field(tmp_path, line, complaint):
    path = tmp_path / "bad.txt"
    path.write_text("1,1,0,0,10,10,1,-1,-1,-1\n\n" + line + "\n")
    with pytest.raises(export.MotFormatError, match="bad.txt, line 3: ") as err:
        export.read_mot(path)
    assert complaint in str(err.value)


def test_mot_reader_takes_ground_truth_layouts(tmp_path):
    path = tmp_path / "gt.txt"
    path.write_text("1,1,0,0,10,10\n2, 1, 1.5, 0, 10, 10, 0, 1, 0.8\n")  # six columns; nine as in newer gt files
    table = export.read_mot(path)
    assert table["conf"].tolist() == [1.0, 0.0] and table["x"].tolist() == [0.0, 1.5]


def _tracks(rows):
    return pd.DataFrame([(f, i, x, 0, 10, 10, 1) for f, i, x in rows], columns=export.MOT_COLUMNS)


def test_metrics_of_two_tracks_with_swapped_ids():
    truth = _tracks([(f, i, 30 * i) for f in range(1, 5) for i in (1, 2)])
    perfect = export.evaluate_mot({"pen": truth}, {"pen": truth})
    assert perfect.loc["pen", "IDF1"] == 1 and perfect.loc["pen", "ID switches"] == 0
    # from frame 3 on the tracker gives each animal the other's id
    swapped = _tracks([(f, (3 - i) if f >= 3 else i, 30 * i) for f in range(1, 5) for i in (1, 2)])
    result = export.evaluate_mot({"pen": swapped}, {"pen": truth}).loc["OVERALL"]
    assert result["ID switches"] == 2
    assert result["IDF1"] == pytest.approx(0.5)
    assert result["MOTA"] == pytest.approx(1 - 2 / 8)
    assert result["precision"] == 1 and result["recall"] == 1
    # a box that overlaps less than the threshold is a miss and a false positive
    shifted = _tracks([(1, 1, 6), (1, 2, 60)])
    low = export.evaluate_mot(shifted, _tracks([(1, 1, 0), (1, 2, 60)]), iou_threshold=0.7).loc["OVERALL"]
    assert low["recall"] == 0.5 and low["precision"] == 0.5
    # boxes flagged 0 in the ground truth are not scored
    flagged = _tracks([(1, 1, 0), (1, 2, 60)]).assign(conf=[1, 0])
    assert export.evaluate_mot(_tracks([(1, 1, 0)]), flagged).loc["OVERALL", "recall"] == 1


def test_metrics_refuse_ground_truth_that_does_not_fit():
    truth = _tracks([(1, 1, 0)])
    with pytest.raises(ValueError, match="other frames: predicted frames 7-7, ground-truth frames 1-1"):
        export.evaluate_mot(_tracks([(7, 1, 0)]), truth)
    with pytest.raises(ValueError, match="no ground truth for b"):
        export.evaluate_mot({"a": truth, "b": truth}, {"a": truth})


def test_folders_without_one_segment_are_refused(segment, tmp_path):
    with pytest.raises(FileNotFoundError, match="No such folder"):
        export.segment_mot(tmp_path / "missing")
    (tmp_path / "empty").mkdir()
    with pytest.raises(FileNotFoundError, match="No annotation files"):
        export.segment_mot(tmp_path / "empty")
    (segment / "later").mkdir()
    (segment / "later" / "output_pp_0.json").write_text((segment / "output_pp_0.json").read_text())
    with pytest.raises(ValueError, match="annotation files of 2 segments"):
        export.segment_coco(segment)
