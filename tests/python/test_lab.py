"""The lab file, the checks before work, `herdmask init` and the decoder's messages."""

import json
import os

import pandas as pd
import pytest

import herdmask as hm
from herdmask.app import checks, lab
from herdmask.app.decoder_log import decoder_messages, summary
from herdmask.app.recordings import Recording

PEN = {"shapes": [{"label": "pen", "points": [[10, 10], [90, 10], [90, 50], [10, 50]]}]}


def _lab_folder(tmp_path):
    (tmp_path / "rec").mkdir()
    (tmp_path / "pens").mkdir()
    for n in (1, 2, 3):
        (tmp_path / "pens" / f"p{n}.json").write_text(json.dumps(PEN))
    return tmp_path


GOOD = """
recordings = "rec"
[defaults]
animals = 8
pen = "pens/p1.json"
[cameras.2]
crop = "none"
[cameras.Camera10]
pen = "pens/p2.json"
crop = [0, 0, 100, 60]
animals = 12
[cameras.1]
pen = "pens/p3.json"
marker_area = [0, 0, 50, 50]
"""


def test_lab_file_gives_each_camera_its_own_setup(tmp_path):
    folder = _lab_folder(tmp_path)
    (folder / "lab.toml").write_text(GOOD)
    got = lab.read_lab(str(folder / "lab.toml"))
    assert got.recordings == (str(folder / "rec"),)
    assert list(got.cameras) == ["1", "2", "10"]  # number order
    one, two, ten = got.cameras.values()
    assert (one.pen, one.crop, one.animals, one.marker_area) == (str(folder / "pens/p3.json"), "marker", 8,
                                                                 (0, 0, 50, 50))
    assert (two.pen, two.crop, two.animals) == (str(folder / "pens/p1.json"), "none", 8)
    assert (ten.crop, ten.animals, ten.crop_text) == ((0, 0, 100, 60), 12, "0,0,100,60")
    # the command line's options override the file for every camera
    over = got.overridden(animals=5, crop="none", pen=None)
    assert {s.animals for s in over.cameras.values()} == {5} and over.cameras["1"].marker_area is None
    assert over.cameras["10"].pen == ten.pen


@pytest.mark.parametrize("change, fault", [
    (("animals = 12", "animals = 0"), "camera 10: animals must be a whole number of at least 1, got 0"),
    (('pen = "pens/p3.json"', 'pen = "pens/nope.json"'), "camera 1: no pen polygon file"),
    (("crop = [0, 0, 100, 60]", "crop = [50, 0, 10, 60]"), "camera 10: crop must be"),
    (('crop = "none"', 'crop = "none"\nmarker_area = [0, 0, 5, 5]'), "camera 2: marker_area is given but crop"),
    (("animals = 12", "animal = 12"), "camera 10: unknown key 'animal'"),
    (("[cameras.1]", "[cameras.pen1]"), "cameras: 'pen1' is not a camera number"),
    (('recordings = "rec"', 'recordings = "elsewhere"'), "recordings: no such folder"),
    (("[cameras.2]", "[cameras.2"), "not a TOML file"),
])
def test_a_bad_lab_file_gives_one_line_naming_the_fault(tmp_path, change, fault):
    folder = _lab_folder(tmp_path)
    (folder / "lab.toml").write_text(GOOD.replace(*change))
    with pytest.raises(lab.LabFileError) as exc:
        lab.read_lab(str(folder / "lab.toml"))
    assert len(exc.value.lines) == 1
    assert fault in exc.value.lines[0] and exc.value.lines[0].startswith(str(folder / "lab.toml"))


def test_names_with_impossible_dates_are_left_out_with_a_warning():
    names = ["Camera1_1_20240231120000", "Camera1_2_20240501126100", "Camera1_3_20240501120000"]
    table = pd.DataFrame({"Date": [n[-14:-6] for n in names],
                          "Time": [f"{n[-6:-4]}:{n[-4:-2]}:{n[-2:]}" for n in names], "Video Name": names})
    kept, warning = checks.impossible_names(table)
    assert list(kept["Video Name"]) == names[2:]
    assert "Left out 2 video(s)" in warning and names[0] in warning and names[1] in warning
    assert checks.impossible_names(kept)[1] is None


def _video(name, fps=25.0, minutes=10.0, size=(2560, 1440)):
    info = hm.VideoInfo(name, fps, int(fps * 60 * minutes), size[0], size[1], minutes)
    return Recording("1", name, name, "20240501", "10:00:00", info)


def test_time_step_needs_a_frame_per_segment_and_a_bounded_number_of_links():
    videos = [_video("a", fps=25.0), _video("b", fps=10.0), Recording("1", "c", "c", "20240501", "11:00:00")]
    assert checks.time_step_faults(videos, 0.1) == []
    tiny = checks.time_step_faults(videos, 1e-9)
    assert len(tiny) == 2
    assert "in b (10 frames per second)" in tiny[0] and "--time-step 0.0017 or more" in tiny[0]
    assert "more than the limit of 1,000,000" in tiny[1]
    # 100 + 100 links and one for the video that cannot be opened
    assert checks.time_step_faults(videos, 0.1, max_links=201) == []
    assert "about 201 links" in checks.time_step_faults(videos, 0.1, max_links=200)[0]


@pytest.mark.parametrize("orange, area, why", [
    ((2300, 0, 2340, 120), None, None),                  # 40 x 120 of 2560 x 1440
    ((2300, 0, 2310, 16), None, "too small"),            # 10 x 16: a stray patch
    ((2300, 0, 2303, 400), None, "too small"),           # 3 pixels wide: a line
    ((100, 100, 1000, 500), None, "too large"),          # 9.8% of the frame
    ((2300, 0, 2340, 120), (2200, 0, 2560, 100), "outside the marker_area"),
    ((2300, 0, 2340, 120), (2200, 0, 2560, 200), None),
])
def test_marker_plausibility(orange, area, why):
    fault = checks.marker_fault("7", orange, (2560, 1440), "Camera7_1_20240501100000", area)
    if why is None:
        assert fault is None
    else:
        assert fault.startswith("camera 7: the orange region found in Camera7_1_20240501100000") and why in fault
        assert fault.endswith(checks.WAYS_OUT)


def test_crop_and_pen_must_fit_the_frames():
    assert checks.crop_fault("3", (0, 0, 2560, 1440), (2560, 1440), "v") is None
    assert "does not fit its 1920 x 1080 frames (v)" in checks.crop_fault("3", (0, 0, 2560, 1440), (1920, 1080), "v")
    square = [(10, 10), (90, 10), (90, 50), (10, 50)]
    assert checks.pen_fault("3", "p.json", square, (100, 60)) is None
    # half of it past the right edge of a 50-pixel-wide crop
    assert "only 50% of the pen polygon" in checks.pen_fault("3", "p.json", square, (50, 60))
    assert "encloses no area" in checks.pen_fault("3", "p.json", [(0, 0), (5, 5), (9, 9)], (50, 60))


def test_cameras_the_lab_names_must_have_videos():
    setup = lab.CameraSetup("1", "p.json")
    the_lab = lab.Lab(("rec",), {"1": setup, "5": setup}, "lab.toml")
    faults, notes = checks.unknown_cameras(the_lab, {"1": 3, "2": 4})
    assert faults == ["lab.toml: camera 5: no video of camera 5 in the recordings (cameras found: 1, 2)"]
    assert notes == ["Camera 2: 4 video(s) left out, the lab file does not name the camera."]


def test_init_writes_a_lab_file_that_reads_back(tmp_path, capsys):
    pytest.importorskip("cv2")
    from herdmask.app import init
    from herdmask.app.samples import make_sample_recording

    sample = make_sample_recording(str(tmp_path / "rec"), "tiny")
    os.remove(sample.pen_json_path)  # a lab without pens yet: init points each camera at a file to draw
    path, lines = init.write_lab(sample.base_dir, str(tmp_path / "lab"))
    assert any("Camera 1: 2 video(s)" in line and "crop marker" in line and "pens/camera_1.json" in line
               for line in lines)
    with pytest.raises(lab.LabFileError, match="camera 1: no pen polygon file .*camera_1.json"):
        lab.read_lab(path)
    (tmp_path / "lab" / "pens").mkdir()
    (tmp_path / "lab" / "pens" / "camera_1.json").write_text(json.dumps(PEN))
    setup = lab.read_lab(path).cameras["1"]
    assert setup.crop == "marker" and setup.animals == 10
    x1, y1, x2, y2 = setup.marker_area
    assert x1 <= sample.crop_box[0] + 50 and x2 >= sample.crop_box[0] + 80  # the sample's marker lies inside
    from PIL import Image

    with Image.open(tmp_path / "lab" / "cameras" / "camera_1.jpg") as im:  # the frame as extraction crops it
        assert im.size == (sample.preset.crop_width, sample.preset.height)
    with pytest.raises(ValueError, match="exists; give --force"):
        init.write_lab(sample.base_dir, str(tmp_path / "lab"))


def test_decoder_messages_are_caught_and_dask_lines_passed_on(capfd):
    with decoder_messages() as said:
        os.write(2, b"[h264 @ 0x55d390541740] non-intra slice in an IDR NAL unit\n")
        os.write(2, b"2024-05-01 10:00:00,123 - distributed.worker - WARNING - busy\n")
        os.write(2, b"[h264 @ 0x55d390541740] error while decoding MB 3 4\n")
    assert summary(said.text) == "non-intra slice in an IDR NAL unit (and 1 more line(s))"
    assert "distributed.worker" in capfd.readouterr().err and "distributed" not in said.text
