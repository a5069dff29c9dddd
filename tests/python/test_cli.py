"""The herdmask command end to end: demo, batch run with resume, review."""

import csv
import json
import os
import re

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
pytest.importorskip("torch")

import herdmask as hm  # noqa: E402
from herdmask.app import cli, samples, stages  # noqa: E402

PIPELINE_STEPS = ["VideoMetadata", "VideoProcessor", "initializer", "Mask_Refinement", "get_gsam_annotation_data",
                  "generate_tracking_report", "find_continuous_frames", "process_overlap_frames",
                  "find_boxes_with_small_area_from_last_video", "matcher", "img_bbx_drawing",
                  "draw_intersection_heatmap"]
REVIEW_STEPS = ["get_gsam_annotation_data", "generate_tracking_report", "find_continuous_frames",
                "process_overlap_frames", "find_boxes_with_small_area_from_last_video", "draw_intersection_heatmap"]


def needs(*names):
    missing = [n for n in names if not hasattr(hm, n)]
    return pytest.mark.skipif(bool(missing), reason=f"library steps not built yet: {', '.join(missing)}")


@pytest.mark.parametrize("argv", [
    ["run", "x"],                                      # --out is required
    ["run", "x", "--out", "o", "--start", "6:00"],     # not hh:mm:ss
    ["run", "x", "--out", "o", "--workers", "0"],
    ["review", "x"],
    ["frobnicate"],
])
def test_bad_arguments_exit_with_usage(argv, capsys):
    with pytest.raises(SystemExit) as exc:
        cli.main(argv)
    assert exc.value.code == 2
    assert "usage: herdmask" in capsys.readouterr().err


def test_missing_folders_are_reported_not_raised(tmp_path, capsys):
    assert cli.main(["review", str(tmp_path / "nope"), "--out", str(tmp_path / "o")]) == 2
    assert cli.main(["run", str(tmp_path / "nope"), "--out", str(tmp_path / "o")]) == 2
    assert "no such folder" in capsys.readouterr().err
    os.makedirs(tmp_path / "rec")
    assert cli.main(["run", str(tmp_path / "rec"), "--out", str(tmp_path / "o")]) == 2
    assert "pen polygon" in capsys.readouterr().err
    (tmp_path / "rec" / "pen_polygon.json").write_text("{}")
    # real models need the detector and both segmenter files together
    assert cli.main(["run", str(tmp_path / "rec"), "--out", str(tmp_path / "o"), "--gdino", "w"]) == 2
    assert "together" in capsys.readouterr().err


def _pngs_of(page):
    text = open(page).read()
    return [os.path.join(os.path.dirname(page), src) for src in re.findall(r"<img src='([^']+)'", text)]


@needs("VideoMetadata", "VideoProcessor")
def test_demo_intake_prints_where_the_frames_went(tmp_path, capsys, monkeypatch):
    from herdmask.app import demo

    monkeypatch.setattr(demo, "TRACKING_STEPS", ["no_such_step"])
    assert demo.run_demo(str(tmp_path / "d"), preset="tiny") is None
    log = capsys.readouterr().out
    where = re.findall(r"^frames of (\S+): (\S+) \((\d+) frames\)$", log, re.M)
    assert [w[0] for w in where] == ["Camera1_1_20240501100000", "Camera1_2_20240501100003"]
    for video, folder, count in where:
        assert folder.startswith(str(tmp_path / "d" / "frames" / "20240501" / video))
        assert len(os.listdir(folder)) == int(count) == samples.PRESETS["tiny"].frames_per_video - 1
    assert "crop boxes used: {'1': (2368, 0, 2560, 1440)}" in log
    assert "Stopping after frame extraction" in log


@needs(*PIPELINE_STEPS)
def test_demo_on_the_tiny_preset_writes_every_product(tmp_path, capsys):
    out = tmp_path / "demo"
    assert cli.main(["demo", "--out", str(out), "--preset", "tiny"]) == 0
    log = capsys.readouterr().out
    assert "STAND-INS" in log and "Summary page:" in log
    p = samples.PRESETS["tiny"]
    # frame folders of both videos, numbered from 0000.jpg, cropped to the pen strip
    folders = sorted(str(f) for f in out.glob("frames/*/*/*min_to_*min/right_cropped_frames"))
    assert len(folders) == 2
    for folder in folders:
        names = sorted(os.listdir(folder))
        assert names[0] == "0000.jpg" and len(names) == p.frames_per_video - 1
        assert cv2.imread(os.path.join(folder, names[0])).shape == (p.height, p.crop_width, 3)
    # one annotation file per frame of the first video, ten objects each
    ann = next(out.glob("annotations/*"))
    files = sorted(os.listdir(ann), key=lambda n: int(n[10:-5]))
    assert files == [f"output_pp_{i}.json" for i in range(p.frames_per_video - 1)]
    data = json.load(open(ann / files[-1]))
    assert [d["object_id"] for d in data["detections"]] == list(range(1, 11))
    assert os.path.exists(data["image_path"])
    # the summary page and every figure it shows
    pngs = _pngs_of(out / "summary.html")
    names = {os.path.basename(x) for x in pngs}
    assert {"start_frame.png", "mask_areas.png", "intersection_heatmap.png"} <= names
    assert "identities_next_video.png" in names or "could not carry" in log
    for png in pngs:
        assert cv2.imread(png) is not None
    # the walk-over leaves overlapping masks: the report names them
    rows = list(csv.DictReader(open(out / "review" / "tracking_question_report.csv")))
    assert any(r["Report type"] == "High overlap mask detected" for r in rows)


@pytest.fixture(scope="module")
def two_videos(tmp_path_factory):
    base = tmp_path_factory.mktemp("recordings")
    samples.make_sample_recording(str(base), "tiny")
    return base


@needs("VideoMetadata")
@pytest.mark.parametrize("extra", [["--camera", "2"], ["--end", "10:00:00"], ["--start", "10:00:03"]])
def test_run_with_nothing_in_the_window_starts_no_cluster(two_videos, tmp_path, capsys, extra):
    assert cli.main(["run", str(two_videos), "--out", str(tmp_path / "o")] + extra) == 0
    out = capsys.readouterr().out
    assert out.splitlines()[-1] == "No camera video found in the time window."
    assert "dask scheduler" not in out


@needs(*PIPELINE_STEPS)
def test_run_on_a_local_cluster_then_resume(two_videos, tmp_path, capsys):
    out = tmp_path / "run"
    argv = ["run", str(two_videos), "--out", str(out), "--workers", "2"]
    assert cli.main(argv) == 0
    first = capsys.readouterr().out
    assert "2 videos: 0 already done, 2 to process." in first
    assert "2 processed, 0 skipped" in first
    jobs = sorted(os.listdir(out / "jobs"))
    assert len(jobs) == 2
    for job in jobs:
        summary = json.load(open(out / "jobs" / job))
        assert summary["segments"] == 1 and summary["tracked"] == 1
        video = job[:-5]
        seg = next((out / "annotations" / video).iterdir())
        assert (seg / ".done").exists() and (seg / "output_pp_0.json").exists()
        assert "Boxes will be kept" in open(out / "logs" / f"{video}.log").read()

    # a finished run is skipped as a whole
    assert cli.main(argv) == 0
    again = capsys.readouterr().out
    assert "2 already done, 0 to process." in again and "0 processed, 2 skipped" in again

    # an interrupted job: its marker and one segment's tracking lost, the frames kept
    video = jobs[0][:-5]
    os.remove(out / "jobs" / jobs[0])
    seg = next((out / "annotations" / video).iterdir())
    os.remove(seg / ".done")
    stamp = os.stat(next(out.glob(f"frames/*/{video}/*/right_cropped_frames/0000.jpg"))).st_mtime_ns
    assert cli.main(argv) == 0
    resumed = capsys.readouterr().out
    assert "1 already done, 1 to process." in resumed and "1 processed, 1 skipped" in resumed
    assert "Skipping " in open(out / "logs" / f"{video}.log").read()
    assert os.stat(next(out.glob(f"frames/*/{video}/*/right_cropped_frames/0000.jpg"))).st_mtime_ns == stamp
    rows = list(csv.DictReader(open(out / "run_summary.csv")))
    assert sorted(r["status"] for r in rows) == ["done", "skipped"]


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
    assert "Small-area boxes: ['Box2']" in log
    # both coverages exceed the threshold; the animal that moved is the one named
    assert "Long overlaps: Box0-Box1 (frames 2-5), Box1-Box0 (frames 2-5)." in log
    assert "went wrong there is Box1" in log
    pngs = _pngs_of(out / "review.html")
    assert {os.path.basename(p) for p in pngs} == {"intersection_heatmap.png", "first_long_overlap.png",
                                                   "mask_areas.png"}
    assert all(cv2.imread(p) is not None for p in pngs)
