"""Crop-box detection and frame extraction, checked against plain OpenCV-Python."""

import contextlib
import io
import os
import struct
import threading

import cv2
import numpy as np
import pandas as pd
import pytest

from herdmask import VideoProcessor

ORANGE = (0, 128, 255)  # BGR, hue 15


def make_video(path, frames, width, height, fps=25, blobs=((30, 8, 10, 10),)):
    """Grey frames whose brightness encodes their position, with orange rectangles."""
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), fps, (width, height))
    assert writer.isOpened()
    for i in range(frames):
        frame = np.full((height, width, 3), 40 + (i * 3) % 150, np.uint8)
        frame[:, : width // 3, 0] = 200
        for x, y, w, h in blobs:
            frame[y:y + h, x:x + w] = ORANGE
        writer.write(frame)
    writer.release()
    return str(path)


def decoded(path):
    cap = cv2.VideoCapture(path)
    frames = []
    while True:
        ok, frame = cap.read()
        if not ok:
            return frames
        frames.append(frame)


def reference_region(frame):
    hsv = cv2.cvtColor(frame, cv2.COLOR_BGR2HSV)
    mask = cv2.inRange(hsv, (10, 150, 150), (25, 255, 255))
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    if not contours:
        return None
    top = sorted(contours, key=cv2.contourArea, reverse=True)[:2]

    def centroid_x(c):
        m = cv2.moments(c)
        return m["m10"] / (m["m00"] + 0.00001)

    x, y, w, h = cv2.boundingRect(max(top, key=centroid_x))
    return (x, y, x + w, y + h)


def reference_box(region):
    x1, _, x2, _ = region
    return (x1 - 50, 0, 2560 if x2 >= 2300 else 2300, 1440)


def box_text(b):
    return f"x1={b[0]}, y1={b[1]}, x2={b[2]}, y2={b[3]}"


def files_in(folder):
    return sorted(os.listdir(folder))


# --- orange region -------------------------------------------------------------------------


def random_frame(rng, n_blobs):
    h, w = 60, 90
    frame = rng.integers(0, 120, (h, w, 3), dtype=np.uint8)
    for _ in range(n_blobs):
        x, y = int(rng.integers(0, w - 5)), int(rng.integers(0, h - 5))
        bw, bh = int(rng.integers(1, 25)), int(rng.integers(1, 20))
        colour = (int(rng.integers(0, 60)), int(rng.integers(60, 200)), int(rng.integers(200, 256)))
        if rng.random() < 0.5:
            cv2.rectangle(frame, (x, y), (x + bw, y + bh), colour, -1)
        else:
            cv2.ellipse(frame, (x, y), (bw, bh), int(rng.integers(0, 180)), 0, 360, colour, -1)
    return frame


def test_orange_region_matches_opencv_python_on_random_frames():
    rng = np.random.default_rng(3)
    vp = VideoProcessor()
    seen = set()
    for i in range(300):
        frame = random_frame(rng, i % 5)
        got = vp.find_orange_region(frame)
        assert got == reference_region(frame), i
        seen.add(got is None)
        # Non-contiguous and Fortran-ordered views read the same pixels.
        assert vp.find_orange_region(np.asfortranarray(frame)) == got
    assert seen == {True, False}


@pytest.mark.parametrize("blobs, expected", [
    # Similar sizes: the further right wins even though it is smaller.
    ([(5, 5, 20, 20), (50, 5, 19, 20)], (50, 5, 69, 25)),
    # Three blobs: the small one furthest right takes no part.
    ([(5, 5, 20, 20), (40, 5, 18, 20), (80, 5, 4, 4)], (40, 5, 58, 25)),
    ([(5, 5, 20, 20)], (5, 5, 25, 25)),
    ([], None),
])
def test_orange_region_choice(blobs, expected):
    frame = np.full((40, 90, 3), 90, np.uint8)
    for x, y, w, h in blobs:
        frame[y:y + h, x:x + w] = ORANGE
    assert VideoProcessor().find_orange_region(frame) == expected


def test_orange_bounds_are_inclusive():
    # Every 8-bit colour whose HSV sits on or next to a bound, one pixel at a time.
    grid = np.stack(np.meshgrid(np.arange(0, 256, 3), np.arange(0, 256, 3), np.arange(150, 256, 3),
                                indexing="ij"), axis=-1).reshape(-1, 1, 3).astype(np.uint8)
    hsv = cv2.cvtColor(grid, cv2.COLOR_BGR2HSV).reshape(-1, 3)
    h, s, v = hsv[:, 0], hsv[:, 1], hsv[:, 2]
    near = np.isin(h, [9, 10, 25, 26]) | np.isin(s, [149, 150]) | np.isin(v, [149, 150])
    near &= (h >= 9) & (h <= 26) & (s >= 149) & (v >= 149)
    colours = grid.reshape(-1, 3)[near]
    assert len(colours) > 50
    vp = VideoProcessor()
    for bgr, (hh, ss, vv) in zip(colours, hsv[near]):
        frame = np.zeros((3, 3, 3), np.uint8)
        frame[1, 1] = bgr
        inside = 10 <= hh <= 25 and ss >= 150 and vv >= 150
        assert vp.find_orange_region(frame) == ((1, 1, 2, 2) if inside else None), (bgr, hh, ss, vv)


@pytest.mark.parametrize("frame", [np.zeros((4, 4), np.uint8), np.zeros((4, 4, 4), np.uint8),
                                   np.zeros((4, 4, 3), np.float32), np.zeros((0, 4, 3), np.uint8)])
def test_orange_region_rejects_non_bgr_frames(frame):
    with pytest.raises(ValueError, match="frame"):
        VideoProcessor().find_orange_region(frame)


# --- duration -------------------------------------------------------------------------------


def test_video_duration(tmp_path, capsys):
    path = make_video(tmp_path / "v.mp4", 30, 32, 24)
    vp = VideoProcessor()
    assert vp.get_video_duration(path) == pytest.approx(30 / 25 / 60)
    missing = str(tmp_path / "missing.mp4")
    result = vp.get_video_duration(missing)
    assert result == 0 and type(result) is int
    assert capsys.readouterr().out.splitlines() == [
        "Video FPS: 25.0", "Total frames: 30.0", "Video duration: 1.20 seconds",
        f"Error: Could not open video {missing}"]


# --- one segment ----------------------------------------------------------------------------


def test_frame_skip_keeps_every_fifth_and_the_last(tmp_path, capsys):
    path = make_video(tmp_path / "v.mp4", 160, 48, 32)
    out = str(tmp_path / "seg")
    vp = VideoProcessor(frame_skip=5)
    print("before")
    vp.crop_video_to_frames(path, out, 0, 0.1, "61")
    print("after")
    frames = decoded(path)
    region = reference_region(frames[0])
    box = reference_box(region)
    kept = list(range(0, 150, 5)) + [149]
    assert capsys.readouterr().out.splitlines() == (
        ["before", f"cv2 crop region for Camera 61: {box_text(region)}",
         f"Detected crop region for Camera 61: {box_text(box)}"]
        + [f"Processing frame {f} (saved as {i:04d}.jpg)" for i, f in enumerate(kept)]
        + [f"Cropped frames from 0 to 0.1 minutes saved to {out}.", "Dim: (32, 48, 3)", "after"])
    assert vp.camera_crop_coords == {"61": box}
    assert files_in(out) == [f"{i:04d}.jpg" for i in range(31)]
    # Each saved frame is the one after its printed number; the negative left edge
    # clamps to the frame instead of counting from the right. (Neighbouring frames differ
    # by 3 levels over most of the picture; JPEG's rounding of these hard colours is 2.5-3.1.)
    for i, f in enumerate(kept):
        saved = cv2.imread(os.path.join(out, f"{i:04d}.jpg")).astype(int)
        assert np.abs(saved - frames[f + 1]).mean() < 3.5


def test_cached_box_crop_and_resize(tmp_path, capsys):
    path = make_video(tmp_path / "v.mp4", 12, 130, 30, blobs=())
    out = str(tmp_path / "seg")
    vp = VideoProcessor(resize_dim=(999, 20), camera_crop_coords={"7": (-40, 5, 100, 25)})
    vp.crop_video_to_frames(path, out, 0, 4 / 1500, "7")
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "Detected crop region for Camera 7: x1=-40, y1=5, x2=100, y2=25"
    assert lines[-1] == "Dim: (20, 100, 3)"  # 20 * 100 / 20 rows
    assert vp.camera_crop_coords == {"7": (-40, 5, 100, 25)}
    frames = decoded(path)
    expected = cv2.resize(frames[1][5:25, 0:100], (100, 20), interpolation=cv2.INTER_AREA)
    assert np.abs(cv2.imread(os.path.join(out, "0000.jpg")).astype(int) - expected).mean() < 3

    vp = VideoProcessor(resize_dim=(999, 20), camera_crop_coords={"7": (0, 0, 100, 30)})
    vp.crop_video_to_frames(path, str(tmp_path / "seg2"), 0, 4 / 1500, "7")
    assert capsys.readouterr().out.splitlines()[-1] == "Dim: (20, 67, 3)"
    assert cv2.imread(str(tmp_path / "seg2" / "0003.jpg")).shape == (20, 67, 3)


def test_uncropped_frames_are_whole_and_skip_detection(tmp_path, capsys):
    path = make_video(tmp_path / "v.mp4", 6, 32, 24, blobs=())
    vp = VideoProcessor()
    vp.crop_video_to_frames(path, str(tmp_path / "seg"), 0, 2 / 1500, "61", crop=False)
    assert capsys.readouterr().out.splitlines() == [
        "Processing frame 0 (saved as 0000.jpg)", "Processing frame 1 (saved as 0001.jpg)",
        f"Cropped frames from 0 to {2 / 1500!r} minutes saved to {tmp_path / 'seg'}.",
        "Dim: (24, 32, 3)"]
    assert vp.camera_crop_coords == {}


@pytest.mark.parametrize("start, end, message", [
    (29 / 1500, 1, "Dim: None"),  # the first frame is the video's last
    (5, 6, "Error: Could not read the first frame."),
])
def test_segments_that_save_nothing(tmp_path, capsys, start, end, message):
    path = make_video(tmp_path / "v.mp4", 30, 32, 24)
    out = tmp_path / "seg"
    VideoProcessor().crop_video_to_frames(path, str(out), start, end, "61")
    assert capsys.readouterr().out.splitlines()[-1] == message
    assert files_in(out) == []


def test_missing_video_and_no_orange(tmp_path, capsys):
    vp = VideoProcessor()
    vp.crop_video_to_frames(str(tmp_path / "none.mp4"), str(tmp_path / "a"), 0, 1, "61")
    path = make_video(tmp_path / "v.mp4", 6, 32, 24, blobs=())
    vp.crop_video_to_frames(path, str(tmp_path / "b"), 0, 1, "61")
    assert capsys.readouterr().out.splitlines() == [
        "Error: Could not open video.", "No orange region detected. Exiting."]
    assert files_in(tmp_path / "a") == files_in(tmp_path / "b") == []
    assert vp.camera_crop_coords == {}


def test_nothing_printed_or_written_after_a_failed_frame_write(tmp_path, capsys):
    path = make_video(tmp_path / "v.mp4", 12, 32, 24)
    out = tmp_path / "seg"
    (out / "0002.jpg").mkdir(parents=True)
    (out / "0005.jpg").write_bytes(b"an earlier run's image")
    with pytest.raises(OSError, match="0002.jpg"):
        VideoProcessor().crop_video_to_frames(path, str(out), 0, 8 / 1500, "61")
    lines = capsys.readouterr().out.splitlines()
    assert lines[2:] == [f"Processing frame {i} (saved as {i:04d}.jpg)" for i in range(3)]
    assert files_in(out) == ["0000.jpg", "0001.jpg", "0002.jpg", "0005.jpg"]
    assert (out / "0005.jpg").read_bytes() == b"an earlier run's image"


def test_crop_box_that_leaves_no_pixels_is_not_cached(tmp_path, capsys):
    # Wider than the rule's 2560 columns, with the marker right of them: the box starts
    # past its own right edge.
    path = make_video(tmp_path / "v.mp4", 4, 2624, 16, blobs=((2612, 4, 8, 8),))
    vp = VideoProcessor()
    for attempt in range(2):
        with pytest.raises(ValueError, match="leaves no pixels"):
            vp.crop_video_to_frames(path, str(tmp_path / "seg"), 0, 1, "61")
        assert vp.camera_crop_coords == {}
        assert capsys.readouterr().out.startswith("cv2 crop region for Camera 61: x1=2612")


def test_full_size_frames_use_the_wide_box(tmp_path, capsys):
    path = make_video(tmp_path / "v.mp4", 3, 2560, 1440, blobs=((2200, 600, 120, 80),))
    out = str(tmp_path / "seg")
    vp = VideoProcessor()
    vp.crop_video_to_frames(path, out, 0, 1, "61")
    region = reference_region(decoded(path)[0])
    assert region[2] >= 2300
    box = reference_box(region)
    assert box[2:] == (2560, 1440)
    lines = capsys.readouterr().out.splitlines()
    assert lines[:2] == [f"cv2 crop region for Camera 61: {box_text(region)}",
                         f"Detected crop region for Camera 61: {box_text(box)}"]
    assert lines[-1] == f"Dim: (1440, {2560 - box[0]}, 3)"
    assert files_in(out) == ["0000.jpg", "0001.jpg"]


# --- whole tables -------------------------------------------------------------------------


def table(*rows):
    return pd.DataFrame([(cam, "20240501", "06:30:00", path, name) for cam, path, name in rows],
                        columns=["Camera Number", "Date", "Time", "File Path", "Video Name"])


def test_segments_of_real_minutes(tmp_path, capsys):
    # 250 frames at 10 per second: 0.41666... minutes in 0.1-minute segments.
    a = make_video(tmp_path / "a.mp4", 250, 32, 24, fps=10)
    b = make_video(tmp_path / "b.mp4", 20, 32, 24, fps=10)
    base = str(tmp_path / "out")
    vp = VideoProcessor(output_dir_base=base)
    vp.process_videos_to_frames(table(("61", a, "A"), ("61", b, "B")))
    out = capsys.readouterr().out.splitlines()
    names = ["0min_to_0.1min", "0.1min_to_0.2min", "0.2min_to_0.30000000000000004min",
             "0.30000000000000004min_to_0.4min", f"0.4min_to_{250 / 600!r}min"]
    assert sorted(os.listdir(f"{base}/20240501/A")) == sorted(names)
    counts = [len(os.listdir(f"{base}/20240501/A/{n}/right_cropped_frames")) for n in names]
    assert counts == [60, 60, 60, 60, 9]
    assert os.listdir(f"{base}/20240501/B") == [f"0min_to_{20 / 600!r}min"]
    # One detection for the camera, then the cached box for every later segment.
    assert sum(line.startswith("cv2 crop region") for line in out) == 1
    assert sum(line.startswith("Detected crop region") for line in out) == 6
    assert f"Cropped frames from 0.30000000000000004 to 0.4 minutes saved to {base}/20240501/A/" \
           f"0.30000000000000004min_to_0.4min/right_cropped_frames." in out
    assert "Processing frame 180 (saved as 0000.jpg)" in out
    assert not any(".partial" in line for line in out)

    before = {p: os.path.getmtime(p) for p in
              (os.path.join(d, f) for d, _, fs in os.walk(base) for f in fs)}
    vp.process_videos_to_frames(table(("61", a, "A")))
    again = capsys.readouterr().out.splitlines()
    assert again[3:] == [f"Skipping {base}/20240501/A/{n}/right_cropped_frames, already exists."
                         for n in names]
    assert {p: os.path.getmtime(p) for p in before} == before


def test_integer_time_step_keeps_integer_minutes(tmp_path, capsys):
    path = make_video(tmp_path / "v.mp4", 70, 16, 16, fps=1)
    vp = VideoProcessor(time_step=1, output_dir_base=str(tmp_path), crop=False)
    vp.process_videos_to_frames(table(("61", path, "V")))
    assert sorted(os.listdir(tmp_path / "20240501" / "V")) == ["0min_to_1min",
                                                               f"1min_to_{70 / 60!r}min"]


def test_interrupted_and_empty_segments_are_redone(tmp_path, capsys):
    good = make_video(tmp_path / "good.mp4", 20, 32, 24, fps=10)
    plain = make_video(tmp_path / "plain.mp4", 20, 32, 24, fps=10, blobs=())
    base = str(tmp_path / "out")
    final = f"{base}/20240501/G/0min_to_{20 / 600!r}min/right_cropped_frames"
    os.makedirs(final + ".partial")
    open(os.path.join(final + ".partial", "9999.jpg"), "wb").close()
    vp = VideoProcessor(output_dir_base=base)
    df = table(("61", good, "G"), ("62", plain, "P"))
    for _ in range(2):
        vp.process_videos_to_frames(df)
    out = capsys.readouterr().out.splitlines()
    assert files_in(final) == [f"{i:04d}.jpg" for i in range(19)]
    assert not os.path.exists(final + ".partial")
    # Nothing saved: no folder stays behind, so the rerun tries detection again.
    assert out.count("No orange region detected. Exiting.") == 2
    assert not os.path.exists(f"{base}/20240501/P/0min_to_{20 / 600!r}min/right_cropped_frames")
    assert vp.camera_crop_coords.keys() == {"61"}


@pytest.mark.parametrize("field, value", [
    ("time_step", 0), ("time_step", -0.1), ("time_step", float("nan")),
    ("time_step", float("inf")), ("time_step", 1e-300), ("time_step", "0.1"),
    ("time_step", True), ("frame_skip", 0), ("frame_skip", -2), ("frame_skip", 1.5),
    ("frame_skip", None), ("frame_skip", True)])
def test_settings_that_cannot_progress_are_rejected(tmp_path, capsys, field, value):
    path = make_video(tmp_path / "v.mp4", 20, 16, 16, fps=10)
    vp = VideoProcessor(output_dir_base=str(tmp_path / "out"), **{field: value})
    with pytest.raises(ValueError, match=field):
        vp.process_videos_to_frames(table(("61", path, "V")))
    if field == "frame_skip":
        with pytest.raises(ValueError, match=field):
            vp.crop_video_to_frames(path, str(tmp_path / "seg"), 0, 1)
    assert not any(n.endswith(".jpg") for _, _, fs in os.walk(tmp_path) for n in fs)


def test_time_step_that_cannot_get_through_a_later_video_is_refused_before_the_first(
        tmp_path, capsys):
    good = make_video(tmp_path / "good.mp4", 20, 16, 16, fps=10)
    # A header claiming 2**31 frames at one frame per 2**32 seconds: some 7.7e16 minutes,
    # where adding 0.1 changes nothing.
    writer = cv2.VideoWriter(str(tmp_path / "huge.avi"), cv2.VideoWriter_fourcc(*"MJPG"), 10,
                             (16, 16))
    writer.write(np.zeros((16, 16, 3), np.uint8))
    writer.release()
    data = bytearray((tmp_path / "huge.avi").read_bytes())
    strh = data.find(b"strh") + 8
    struct.pack_into("<II", data, strh + 20, 0xFFFFFFFF, 1)  # scale, rate
    struct.pack_into("<I", data, strh + 32, 2**31 - 1)  # length
    (tmp_path / "huge.avi").write_bytes(bytes(data))
    vp = VideoProcessor(output_dir_base=str(tmp_path / "out"), crop=False)
    with pytest.raises(ValueError, match="time_step"):
        vp.process_videos_to_frames(table(("61", good, "G"), ("61", str(tmp_path / "huge.avi"), "H")))
    assert capsys.readouterr().out == "" and not (tmp_path / "out").exists()


def test_non_whole_frame_rate_loses_no_frame_at_the_end(tmp_path, capsys):
    # 100 frames at 29.97 per second: cut at a truncated 29, the last segment would end
    # at frame 97; it runs on to frame 99, the video's last.
    path = make_video(tmp_path / "v.mp4", 100, 32, 24, fps=29.97, blobs=())
    base = str(tmp_path / "out")
    VideoProcessor(time_step=0.02, output_dir_base=base, crop=False).process_videos_to_frames(
        table(("61", path, "V")))
    folders = sorted(os.listdir(f"{base}/20240501/V"))
    assert folders == ["0.02min_to_0.04min", f"0.04min_to_{100 / 29.97 / 60!r}min",
                       "0min_to_0.02min"]
    saved = [cv2.imread(os.path.join(f"{base}/20240501/V", folder, "right_cropped_frames", name))
             for folder in (folders[2], folders[0], folders[1])
             for name in files_in(f"{base}/20240501/V/{folder}/right_cropped_frames")]
    # Every frame after the first, in order, each once.
    frames = decoded(path)
    assert len(saved) == 99
    assert max(np.abs(a.astype(int) - b).mean() for a, b in zip(saved, frames[1:])) < 3


def test_two_processors_on_two_threads_write_what_two_serial_runs_write(tmp_path, capsys):
    a = make_video(tmp_path / "a.mp4", 60, 32, 24, fps=10)
    b = make_video(tmp_path / "b.mp4", 45, 32, 24, fps=10, blobs=((20, 4, 6, 6),))
    df_one, df_two = table(("61", a, "A"), ("62", b, "B")), table(("62", b, "B"), ("61", a, "A"))

    def run(base, df):
        VideoProcessor(output_dir_base=str(tmp_path / base), time_step=0.02,
                       frame_skip=2).process_videos_to_frames(df)

    threads = [threading.Thread(target=run, args=("t1", df_one)),
               threading.Thread(target=run, args=("t2", df_two))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    run("s1", df_one)
    run("s2", df_two)

    def contents(base):
        root = tmp_path / base
        return {os.path.relpath(os.path.join(d, f), root): open(os.path.join(d, f), "rb").read()
                for d, _, fs in os.walk(root) for f in fs}

    assert contents("t1") == contents("s1") and contents("t2") == contents("s2")
    assert len(contents("s1")) > 40


def test_messages_follow_a_redirected_stdout(tmp_path):
    path = make_video(tmp_path / "v.mp4", 4, 16, 16, blobs=())
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        VideoProcessor().crop_video_to_frames(path, str(tmp_path / "s"), 0, 1, "61")
    assert buffer.getvalue() == "No orange region detected. Exiting.\n"


@pytest.mark.parametrize("time_step, frame_skip", [(0.0125, 1), (0.02, 3)])
def test_consecutive_segments_match_segments_cut_one_by_one(tmp_path, capsys, time_step,
                                                            frame_skip):
    # Segment bounds fall on half frames and one folder already exists, so the run both
    # carries on from the previous segment's reader and has to seek past a gap.
    path = make_video(tmp_path / "v.mp4", 64, 32, 24, fps=10)
    total = 64 / 600
    base = str(tmp_path / "run")
    vp = VideoProcessor(output_dir_base=base, time_step=time_step, frame_skip=frame_skip)
    bounds, start = [], 0
    while start < total:
        bounds.append((start, min(start + time_step, total)))
        start += time_step
    gap = f"{base}/20240501/V/{bounds[2][0]!r}min_to_{bounds[2][1]!r}min/right_cropped_frames"
    os.makedirs(gap)
    vp.process_videos_to_frames(table(("61", path, "V")))
    capsys.readouterr()
    single = VideoProcessor(frame_skip=frame_skip, camera_crop_coords=dict(vp.camera_crop_coords))
    for i, (s, e) in enumerate(bounds):
        if i == 2:
            continue
        alone = str(tmp_path / f"alone{i}")
        single.crop_video_to_frames(path, alone, s, e, camera_number="61")
        run = f"{base}/20240501/V/{s!r}min_to_{e!r}min/right_cropped_frames"
        assert files_in(run) == files_in(alone) and files_in(run)
        for name in files_in(run):
            with open(os.path.join(run, name), "rb") as a, open(os.path.join(alone, name), "rb") as b:
                assert a.read() == b.read(), (i, name)
