"""The run's own pieces: carrying keys with the matcher, the overlap review's outcomes, the
checks made before any work, the segment plan, the crop box and the files a run writes."""

import json
import os
from types import SimpleNamespace

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")

from herdmask.app import cli, records, runfolder, stages  # noqa: E402
from herdmask.testing import StandInImagePredictor  # noqa: E402


def _frame(tmp_path, name, h=60, w=90):
    path = tmp_path / name
    cv2.imwrite(str(path), np.zeros((h, w, 3), np.uint8))
    return str(path)


def _box(y1, y2, x1, x2, h=60, w=90):
    m = np.zeros((h, w), np.uint8)
    m[y1:y2, x1:x2] = 1
    return m


def test_keys_carried_for_a_pen_of_fewer_than_ten_with_a_removed_box(tmp_path):
    # three animals whose keys are no longer consecutive; Box2 stayed tiny and is dropped
    masks = {"Box0": _box(5, 15, 5, 20), "Box2": _box(30, 34, 40, 44), "Box5": _box(40, 55, 60, 85)}
    previous = {i: {"frame_index": i, "masks_dict": dict(masks)} for i in range(2)}  # fewer frames than ten
    names = [_frame(tmp_path, "0000.jpg")]
    start = stages.carry_start(previous, names, StandInImagePredictor(), remove_stack_box=["Box2"], frames=(0,))
    assert start is not None and start.keys == ["Box0", "Box5"] and start.frame == 0
    assert np.asarray(start.masks).shape[0] == 2 and start.matched_from == 1
    # the tracker follows them under their own keys' object ids
    seen = {}
    tracker = SimpleNamespace(track=lambda names, m, idx, ids: seen.setdefault("ids", ids) and {})
    stages.track(start, str(tmp_path), names, SimpleNamespace(video_tracker=tracker), None, refine=False)
    assert seen["ids"] == [1, 6]
    # masks the matcher cannot accept (all on one spot) give no start, not an exception
    stuck = StandInImagePredictor(masks=lambda box, shape: _box(0, 20, 0, 20).astype(bool))
    assert stages.carry_start(previous, names, stuck, frames=(0,)) is None


def _annotations(folder, inside, n=4):
    """Boxes 1 and 3 stay put; box 2 lies inside box 1 and box 4 inside box 3 in the frames
    `inside` gives, and apart elsewhere, so only the small box's coverage exceeds the threshold."""
    folder.mkdir()
    frames = [_frame(folder, f"{i:04d}.jpg") for i in range(n)]
    covered = {2: (8, 14, 8, 14), 4: (35, 41, 55, 61)}
    apart = {2: (45, 51, 10, 16), 4: (5, 11, 70, 76)}
    segments = {}
    for i in range(n):
        objs = {1: _box(5, 25, 5, 25), 3: _box(30, 50, 50, 80)}
        for oid in (2, 4):
            objs[oid] = _box(*(covered if i in inside.get(oid, ()) else apart)[oid])
        segments[i] = {oid: m.astype(bool)[None] for oid, m in sorted(objs.items())}
    stages.write_annotation_files(segments, frames, str(folder / "ann"))
    return folder / "ann"


def test_overlap_review_catches_only_its_own_no_frame_outcome(tmp_path):
    # Box1 inside Box0 in frames 0-3, Box3 inside Box2 in frames 1-3: the review turns to the
    # end of the run and lands on frame 0, with no frame before it to compare
    ann = _annotations(tmp_path / "a", {2: range(0, 4), 4: range(1, 4)})
    review = stages.review_annotations(str(ann), str(tmp_path / "r"), StandInImagePredictor())
    assert review.overlap_review is None and "too close to the ends" in review.overlap_text()

    class Broken(StandInImagePredictor):
        def set_image(self, image):
            raise IndexError("a fault inside the predictor")

    ann = _annotations(tmp_path / "b", {2: range(2, 4)})
    with pytest.raises(IndexError, match="fault inside"):
        stages.review_annotations(str(ann), str(tmp_path / "r2"), Broken())


@pytest.fixture()
def recordings(tmp_path):
    rec = tmp_path / "rec"
    (rec / "day1").mkdir(parents=True)
    (rec / "pen_polygon.json").write_text(json.dumps({"shapes": [{"points": [[0, 0], [9, 0], [9, 9]]}]}))
    return rec


@pytest.mark.parametrize("case, expected", [
    ("out is a file", "cannot be written"),
    ("start after end", "is not before --end"),
    ("pen missing", "no pen polygon file"),
    ("pen not json", "cannot be used"),
    ("pen of two points", "at least 3"),
    ("no models", "none"),  # the detector folder given
    ("names", "do not match the name pattern Camera<N>_<n>_<YYYYMMDDhhmmss>.mp4: day1/cam1.mp4, day1/x.avi"),
    ("window", "1 of 1 matching video(s) lie outside the time window 06:00:00 to 09:00:00"),
    ("camera", "of other cameras than --camera 7 (cameras there: 1)"),
])
def test_problems_found_before_any_work_are_one_line(recordings, tmp_path, capsys, case, expected):
    argv = ["run", str(recordings), "--out", str(tmp_path / "out")]
    for name in ("Camera1_1_20240501100000.mp4", "cam1.mp4", "x.avi"):
        (recordings / "day1" / name).write_bytes(b"")
    if case == "out is a file":
        (tmp_path / "f").write_text("")
        argv[3] = str(tmp_path / "f" / "out")
    elif case == "start after end":
        argv += ["--start", "12:00:00", "--end", "08:00:00"]
    elif case == "pen missing":
        argv += ["--pen-json", str(tmp_path / "nope.json")]
    elif case.startswith("pen"):
        bad = "{" if case == "pen not json" else json.dumps({"shapes": [{"points": [[0, 0], [1, 1]]}]})
        (recordings / "pen_polygon.json").write_text(bad)
    elif case == "no models":
        argv += ["--gdino", str(tmp_path / "none"), "--sam2-config", "x", "--sam2-checkpoint", "y"]
    elif case == "window":
        argv += ["--end", "09:00:00"]
    elif case == "camera":
        argv += ["--camera", "7"]
    if case in ("names", "window", "camera"):
        os.remove(recordings / "day1" / "Camera1_1_20240501100000.mp4")
        if case != "names":
            (recordings / "day1" / "Camera1_1_20240501100000.mp4").write_bytes(b"")
    assert cli.main(argv) == 2
    captured = capsys.readouterr()
    lines = captured.err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("herdmask run: ") and expected in lines[0]
    assert "Traceback" not in captured.out + captured.err and "dask scheduler" not in captured.out
    assert not os.path.exists(tmp_path / "out")  # nothing made before the checks pass


def _video(path, orange=None, frames=3, h=128):
    frame = np.full((h, 2560, 3), 60, np.uint8)
    if orange is not None:
        x, y, w, hh = orange
        frame[y:y + hh, x:x + w] = (0, 140, 255)
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), 10.0, (2560, h))
    for _ in range(frames):
        writer.write(frame)
    writer.release()
    return str(path)


def test_crop_box_of_a_camera_warns_on_a_stray_orange_speck_and_says_why_there_is_none(tmp_path):
    from herdmask.app import tasks

    speck = _video(tmp_path / "speck.mp4", orange=(2400, 10, 8, 4))
    marker = _video(tmp_path / "marker.mp4", orange=(2400, 10, 30, 9))
    bare = _video(tmp_path / "bare.mp4")
    auto = {"crop": "orange marker"}
    r = tasks.crop_task("9", [("speck", speck, 10.0)], auto, str(tmp_path / "o"))
    assert r["box"] == [2350, 0, 2560, 1440] and "covers only 32 pixels (8 x 4" in r["warning"]
    assert os.path.exists(r["thumbnail"])
    r = tasks.crop_task("9", [("marker", marker, 10.0)], auto, str(tmp_path / "o"))
    assert r["box"] == [2350, 0, 2560, 1440] and r["warning"] is None
    # a camera's first video without the marker: the box comes from its next video
    r = tasks.crop_task("9", [("bare", bare, 10.0), ("marker", marker, 10.0)], auto, str(tmp_path / "o"))
    assert r["source"] == "marker" and r["box"] and "no orange marker in the first frame of bare" in r["note"]
    r = tasks.crop_task("9", [("bare", bare, 10.0)], auto, str(tmp_path / "o"))
    assert r["box"] is None and r["reason"] == ("no orange marker in the first frame of bare; give --crop-box "
                                                "X1,Y1,X2,Y2 or --no-crop")
    outside = {"crop": "0,0,2600,100", "time_step": 0.1}
    r = tasks.crop_task("9", [("bare", bare, 10.0), ("marker", marker, 10.0)], outside, str(tmp_path / "o"))
    assert r["box"] is None and "does not lie inside the 2560 x 128 frames" in r["reason"]


def test_a_crop_box_outside_the_frames_is_an_error_not_the_marker(tmp_path):
    from herdmask.app import tasks

    marker = _video(tmp_path / "marker.mp4", orange=(2400, 10, 30, 9))
    settings = {"crop": "0,0,2600,100", "time_step": 0.1}
    crop = tasks.crop_task("9", [("marker", marker, 10.0)], settings, str(tmp_path / "o"))
    folder = str(tmp_path / "o" / "frames" / "x" / "20240501" / "marker" / "0min_to_0.005min" / "right_cropped_frames")
    made = tasks.extract_task(("9", "marker", marker, "20240501", "10:00:00"), [("0min_to_0.005min", folder)],
                              crop, settings, str(tmp_path / "o"))
    assert made["segments"] == {"0min_to_0.005min": {"frames": 0, "reason": crop["reason"]}}
    assert not os.path.exists(folder)


def test_last_annotation_frames_are_the_tail_of_the_whole_folder(tmp_path):
    import herdmask as hm

    ann = _annotations(tmp_path / "a", {2: range(1, 3)}, n=5)
    _, whole = hm.get_gsam_annotation_data(str(ann), last_or_not=True, save_dir_base=str(ann))
    tail = stages.last_annotation_frames(str(ann), count=3)
    assert sorted(tail) == [2, 3, 4]
    for key, record in tail.items():
        assert record["frame_index"] == whole[key]["frame_index"]
        assert list(record["masks_dict"]) == list(whole[key]["masks_dict"])
        for box, mask in record["masks_dict"].items():
            np.testing.assert_array_equal(mask, whole[key]["masks_dict"][box])
    assert sorted(stages.last_annotation_frames(str(ann), count=9)) == [0, 1, 2, 3, 4]


def test_run_files_are_written_whole_and_readable_like_any_other_file(tmp_path):
    # run_summary.csv, identities.csv and the records once came out owner-only (0600)
    old = os.umask(0o022)
    try:
        path = tmp_path / "links" / "v" / "s.json"
        records.write_json(str(path), {"status": "done"})
        assert os.stat(path).st_mode & 0o777 == 0o644

        def broken(tmp):
            with open(tmp, "w") as f:
                f.write("half")
            raise OSError("disk full")

        from herdmask.app.files import write_atomic

        with pytest.raises(OSError, match="disk full"):
            write_atomic(str(path), broken, durable=True)
    finally:
        os.umask(old)
    assert records.read_json(str(path)) == {"status": "done"} and os.listdir(path.parent) == ["s.json"]
    path.write_text("[]")  # JSON, but no record: read as none rather than failing the run on r.get
    assert records.read_json(str(path)) is None and records.read_record(str(path)) is None


def test_two_runs_never_write_into_one_folder_at_once(tmp_path):
    import subprocess
    import sys

    out = str(tmp_path / "out")
    with runfolder.hold_lock(out, RuntimeError("busy")):
        with runfolder.hold_lock(out, RuntimeError("busy")):  # the same process may nest (demo, then evaluate)
            pass
        other = subprocess.run([sys.executable, "-c", "import sys; from herdmask.app.runfolder import hold_lock\n"
                                "with hold_lock(sys.argv[1], SystemExit(7)): pass", out],
                               env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        assert other.returncode == 7
    # the lock goes with the run that held it
    with runfolder.hold_lock(out, RuntimeError("busy")):
        pass
