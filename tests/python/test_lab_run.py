"""A lab in one run: each camera with its own pen, crop and head count; the checks before work;
the pages of a week; the exports."""

import csv
import dataclasses
import json
import os
import time

import pytest

pytest.importorskip("cv2")
pytest.importorskip("torch")

from herdmask.app import cli, pages, records, samples  # noqa: E402
from herdmask.app.runfolder import RunFolder  # noqa: E402
from run_folders import add_link, add_videos, make_run  # noqa: E402


def _rows(path):
    with open(path) as f:
        return list(csv.DictReader(f))


def _pen(path, points):
    path.write_text(json.dumps({"shapes": [{"label": "pen", "points": points}]}))
    return str(path)


@pytest.fixture()
def three_pens(tmp_path):
    """Cameras 1, 2 and 3, one video each, with 10, 8 and 6 animals; camera 3 also has a file whose
    name gives 31 February."""
    rec = tmp_path / "rec"
    base = samples.PRESETS["tiny"]
    for camera, animals in ((1, 10), (2, 8), (3, 6)):
        samples.make_sample_recording(str(rec), dataclasses.replace(base, videos=1, animals=animals), camera=camera)
    (rec / "day1" / "Camera3_9_20240231100000.mp4").write_bytes(b"")
    w, h, x0 = base.crop_width, base.height, samples.FRAME_WIDTH - base.crop_width
    top = int(0.2 * h)
    inside = [[4, top], [w - 4, top], [w - 3, h - 3], [3, h - 3]]
    lab_dir = tmp_path / "lab"
    lab_dir.mkdir()
    _pen(lab_dir / "pen1.json", inside)
    _pen(lab_dir / "pen2.json", [[x - 1, y] for x, y in inside])
    _pen(lab_dir / "pen3.json", [[x + x0, y] for x, y in inside])  # camera 3 keeps whole frames
    (lab_dir / "lab.toml").write_text(f"""
recordings = "{rec}"
[cameras.1]
pen = "pen1.json"
[cameras.2]
pen = "pen2.json"
zones = "pen2.json"
crop = [{x0}, 0, {samples.FRAME_WIDTH}, {h}]
animals = 8
[cameras.3]
pen = "pen3.json"
crop = "none"
animals = 6
""")
    return lab_dir / "lab.toml"


def test_three_pens_in_one_run_each_with_its_own_pen_crop_and_animals(three_pens, tmp_path, capsys):
    pytest.importorskip("distributed")
    pytest.importorskip("pycocotools")
    out = tmp_path / "out"
    assert cli.main(["run", "--lab", str(three_pens), "--out", str(out), "--workers", "1"]) == 0
    log = capsys.readouterr().out
    assert "Left out 1 video(s) whose names give a date or time that cannot be" in log
    assert "Camera3_9_20240231100000" in log
    rows = {r["camera"]: r for r in _rows(out / "run_summary.csv")}
    assert {c: (r["status"], r["animals"]) for c, r in rows.items()} == {"1": ("done", "10"), "2": ("done", "8"),
                                                                         "3": ("done", "6")}
    stored = RunFolder(str(out)).settings["cameras"]
    assert {c: (v["animals"], v["crop"], os.path.basename(v["pen_json"])) for c, v in stored.items()} == {
        "1": (10, "orange marker", "pen1.json"), "2": (8, "2368,0,2560,128", "pen2.json"),
        "3": (6, "none", "pen3.json")}
    summary = (out / "summary.html").read_text()
    assert summary.index("Across pens") < summary.index("What to look at next")
    assert all(f"cameras/camera_{c}.html" in summary for c in "123")
    assert "STAND-IN" in summary
    assert cli.main(["export", str(out), "--format", "coco", "--out", str(tmp_path / "coco")]) == 0
    assert sorted(os.listdir(tmp_path / "coco")) == ["Camera1.json", "Camera2.json", "Camera3.json"]
    third = json.loads((tmp_path / "coco" / "Camera3.json").read_text())
    assert {a["track_id"] for a in third["annotations"]} == set(range(1, 7))
    assert third["info"]["image_root"] == str(out) and third["info"]["made_with_standins"]
    assert third["images"][0]["file_name"].startswith("frames" + os.sep)
    assert os.path.isfile(os.path.join(out, third["images"][0]["file_name"]))
    # the behaviour measures take each camera's zones from the lab file, and the summary links them
    assert cli.main(["behaviour", str(out)]) == 0
    measured = _rows(out / "behaviour" / "behaviour.csv")
    assert {r["camera"] for r in measured if r.get("zone_pen_s")} == {"Camera2"}
    assert "href='behaviour.html'" in (out / "summary.html").read_text()


@pytest.mark.parametrize("change, lines", [
    (("animals = 6", "animals = 0"), ["camera 3: animals must be a whole number of at least 1, got 0"]),
    (('pen = "pen2.json"', 'pen = "nope.json"'), ["camera 2: no pen polygon file"]),
    (("[cameras.3]", "[cameras.5]"), ["camera 5: no video of camera 5 in the recordings (cameras found: 1, 2, 3)"]),
    (("crop = [2368, 0, 2560, 128]", "crop = [2368, 0, 2560, 200]"),
     ["camera 2: the crop box 2368,0,2560,200 does not fit its 2560 x 128 frames"]),
    (('crop = "none"', 'crop = "marker"'), ["camera 3: only 0% of the pen polygon in"]),  # drawn on whole frames
    (("", ""), ["--time-step 1e-09 gives segments of", "--time-step 1e-09 makes about"]),
])
def test_a_bad_lab_stops_before_any_work_one_line_per_fault(three_pens, tmp_path, capsys, change, lines):
    three_pens.write_text(three_pens.read_text().replace(*change))
    extra = ["--time-step", "1e-9"] if change == ("", "") else []
    out = tmp_path / "out"
    assert cli.main(["run", "--lab", str(three_pens), "--out", str(out), *extra]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == len(lines) and all(line.startswith("herdmask run: ") for line in err)
    assert all(want in got for want, got in zip(lines, err))
    assert not out.exists()


def test_coco_file_names_are_relative_and_a_camera_with_nothing_tracked_gets_no_file(tmp_path, capsys):
    pytest.importorskip("pycocotools")
    run = make_run(tmp_path / "out", {"models": {"gdino": None}})
    for camera in (1, 2):
        add_videos(run, camera, [30])
    add_link(run, 1, 1, ids={"Box0": 1, "Box1": 2})
    add_link(run, 2, 1, status="failed")
    target = tmp_path / "coco"
    assert cli.main(["export", run.out, "--format", "coco", "--out", str(target), "--image-root", str(tmp_path)]) == 0
    said = capsys.readouterr().out
    assert said.startswith("Made with the built-in colour-threshold STAND-IN models")
    assert "Camera2: nothing tracked, no file written" in said and os.listdir(target) == ["Camera1.json"]
    document = json.loads((target / "Camera1.json").read_text())
    assert {im["file_name"] for im in document["images"]} == {os.path.join("out", "frame.png")}
    assert document["info"]["image_root"] == str(tmp_path)
    assert cli.main(["export", run.out, "--format", "coco", "--out", str(target), "--image-root",
                     str(tmp_path / "elsewhere")]) == 2
    assert "lies outside the image root" in capsys.readouterr().err
    add_link(run, 1, 1, status="no-start")
    assert cli.main(["export", run.out, "--format", "mot", "--out", str(target)]) == 2
    assert "nothing to export: no camera of" in capsys.readouterr().err


def _week(camera="1", days=7, hours=11, links_per_hour=600):
    """A camera's chain of done links every 6 s, with a restart every 500 links and an hour of no-start
    stretches a day: records made in memory, as a week's run folder holds them."""
    chain, ids, n, highest = [], None, 0, 0
    for day in range(days):
        for k in range(hours * links_per_hour):
            start = f"2024-05-{day + 1:02d}T{6 + k // 600:02d}:{k % 600 // 10:02d}:{k % 10 * 6:02d}"
            end = f"{start[:17]}{k % 10 * 6 + 5:02d}"
            r = records.LinkRecord(camera, f"Camera{camera}_{day * 100 + k // 100}_v", f"{k % 100}min_to_x", n,
                                   start, end, status=records.DONE, token=str(n))
            n += 1
            if 3000 <= k < 3100:
                r.status, r.reason, ids = records.NO_START, "no examined frame shows exactly 10 animals", None
            else:
                if ids is None or n % 500 == 0:
                    ids, r.started = {f"Box{i}": highest + i + 1 for i in range(10)}, records.RESTARTED
                    highest += 10
                else:
                    r.started = records.CARRIED
                r.keys, r.track_ids, r.questions = list(ids), dict(ids), n % 3
                r.identities = [records.Identity(key, 0, 149, 150, 5000.0) for key in ids]
            chain.append(r)
    return chain


def test_a_week_of_a_pen_pages_in_seconds_and_small(tmp_path):
    from herdmask.app import week_pages

    chain = _week()
    assert len(chain) == 46200
    run = RunFolder(str(tmp_path))
    page = run.camera_file("1", ".html")
    written = []

    def write(path, title, body, nav, banner):
        written.append(path)
        pages._write(path, title, body, nav, banner)

    t0 = time.perf_counter()
    body, tally = week_pages.camera_pages(run, "1", chain, 10, page, "", write)
    pages._write(page, "Camera 1", body)
    seconds = time.perf_counter() - t0
    assert seconds < 30  # some 5 s alone on the machine
    assert len(written) == 7 and tally.links == 46200 and tally.by_status[records.NO_START] == 700
    assert tally.animals_seen == 10 and tally.restarts == sum(r.started == records.RESTARTED for r in chain)
    sizes = [os.path.getsize(p) for p in written + [page]]
    assert max(sizes) < 200_000  # no row per link
    text = open(page).read()
    assert "no examined frame shows 10 animals apart in the pen" in text and "check the camera&#x27;s animals" in text
    assert "7 stretch(es), 700 links" in text
