"""What extraction will cut and did cut, as values: the video probe, segment plans, crop
findings, per-segment outcomes and frames read again by position."""

import contextlib
import io
import os

import cv2
import numpy as np
import pytest

import herdmask as hm
from test_video_extraction import decoded, make_video, reference_box, reference_region, table


def quiet(fn, *args):
    with contextlib.redirect_stdout(io.StringIO()) as out:
        result = fn(*args)
    return result, out.getvalue()


@pytest.mark.parametrize("fps, frame_skip, crop", [(10, 1, True), (29.97, 3, False)])
def test_plans_are_what_extraction_writes(tmp_path, fps, frame_skip, crop):
    # 29.97 per second: cut at a truncated 29, with the last segment clamped to the
    # video's last frame; frame_skip counts from the start of the video.
    path = make_video(tmp_path / "v.mp4", 100, 32, 24, fps=fps)
    info = hm.probe_video(path)
    assert (info.fps, info.frame_count, info.width, info.height) == (fps, 100, 32, 24)
    assert info.minutes == hm.VideoProcessor().get_video_duration(path)
    plans = hm.plan_segments(path, time_step=0.02, frame_skip=frame_skip)
    vp = hm.VideoProcessor(time_step=0.02, frame_skip=frame_skip, output_dir_base=str(tmp_path / "out"),
                           crop=crop)
    outcomes, printed = quiet(vp.extract_video, path, "V", "20240501", "61")
    # The same folders, frames and lines as the table-wide call.
    again = hm.VideoProcessor(time_step=0.02, frame_skip=frame_skip, output_dir_base=str(tmp_path / "ref"),
                              crop=crop)
    _, reference = quiet(again.process_videos_to_frames, table(("61", path, "V")))
    assert printed == reference.replace(str(tmp_path / "ref"), str(tmp_path / "out"))
    assert [p.folder for p in plans] == [o.folder for o in outcomes] == sorted(os.listdir(tmp_path / "out/20240501/V"),
                                                                              key=lambda f: float(f.split("min")[0]))
    frames = decoded(path)
    box = vp.camera_crop_coords.get("61")
    seen = []
    for plan, outcome in zip(plans, outcomes):
        assert outcome.status is hm.SegmentStatus.WRITTEN and outcome.frames_dir == vp.segment_dir("20240501", "V", plan.folder)
        names = sorted(os.listdir(outcome.frames_dir))
        assert len(names) == outcome.saved == len(plan.positions) and (outcome.positions == plan.positions).all()
        again = hm.read_frames(path, plan.positions[::-1], box)[::-1]
        for name, position, frame in zip(names, plan.positions, again):
            expected = frames[position] if box is None else frames[position][:, max(0, box[0]):box[2]]
            assert np.array_equal(frame, expected)
            assert np.abs(cv2.imread(os.path.join(outcome.frames_dir, name)).astype(int) - frame).mean() < 3.5
        seen.extend(plan.positions)
    if frame_skip == 1:  # every frame after the first, once
        assert seen == list(range(1, 100))
    assert plans[-1].end_min == info.minutes and plans[0].start_min == 0 and type(plans[0].start_min) is int


def test_extract_video_outcomes(tmp_path):
    path = make_video(tmp_path / "v.mp4", 52, 32, 24, fps=10)
    vp = hm.VideoProcessor(time_step=0.02, output_dir_base=str(tmp_path / "out"))
    folders = [p.folder for p in hm.plan_segments(path, 0.02)]
    os.makedirs(vp.segment_dir("20240501", "V", folders[0]))
    open(os.path.join(vp.segment_dir("20240501", "V", folders[0]), "0000.jpg"), "wb").close()
    # A file where the third segment's folder goes: its frames cannot be written.
    open(os.path.dirname(vp.segment_dir("20240501", "V", folders[2])), "wb").close()
    outcomes, _ = quiet(vp.extract_video, path, "V", "20240501", "61")
    assert [(o.status, o.saved, o.frames) for o in outcomes] == [
        (hm.SegmentStatus.EXISTS, 0, 1), (hm.SegmentStatus.WRITTEN, 12, 12), (hm.SegmentStatus.WRITE_FAILED, 0, 0),
        (hm.SegmentStatus.NOT_TRIED, 0, 0), (hm.SegmentStatus.NOT_TRIED, 0, 0)]
    assert isinstance(outcomes[2].error, OSError)
    assert not os.path.exists(vp.segment_dir("20240501", "V", folders[3]))
    # The table-wide call raises that very error, after the same lines.
    with pytest.raises(NotADirectoryError):
        quiet(vp.process_videos_to_frames, table(("61", path, "V")))

    plain = make_video(tmp_path / "plain.mp4", 20, 32, 24, fps=10, blobs=())
    outcomes, printed = quiet(hm.VideoProcessor(output_dir_base=str(tmp_path / "p")).extract_video,
                              plain, "P", "D", "62")
    assert [o.status for o in outcomes] == [hm.SegmentStatus.NO_MARKER]
    assert "No orange region detected. Exiting." in printed and not os.path.exists(outcomes[0].frames_dir)
    assert quiet(vp.extract_video, str(tmp_path / "missing.mp4"), "M", "D", "61")[0] == []


def test_crop_box_found_without_printing(tmp_path, capsys):
    path = make_video(tmp_path / "v.mp4", 3, 2560, 64, blobs=((2200, 10, 120, 20), (300, 10, 30, 30)))
    first = decoded(path)[0]
    region = reference_region(first)
    vp = hm.VideoProcessor(camera_crop_coords={"7": (1, 2, 3, 4)})
    found = vp.find_crop_box(path, "61")
    assert found == hm.CropFinding(reference_box(region), region, (2560, 64))
    assert vp.find_crop_box(first, "7") == found and vp.camera_crop_coords == {"7": (1, 2, 3, 4), "61": found.box}
    assert vp.find_crop_box(np.zeros((8, 8, 3), np.uint8)) is None
    assert capsys.readouterr().out == ""
    wide = make_video(tmp_path / "w.mp4", 2, 2624, 16, blobs=((2612, 4, 8, 8),))
    with pytest.raises(ValueError, match="leaves no pixels"):
        vp.find_crop_box(wide, "62")
    assert "62" not in vp.camera_crop_coords
    with pytest.raises(hm.UnreadableVideoError):
        vp.find_crop_box(str(tmp_path / "missing.mp4"))


def test_unreadable_videos_and_frames(tmp_path):
    missing = str(tmp_path / "missing.mp4")
    for call in (lambda: hm.probe_video(missing), lambda: hm.plan_segments(missing),
                 lambda: hm.read_frame(missing, 0)):
        with pytest.raises(OSError, match="cannot open"):
            call()
    path = make_video(tmp_path / "v.mp4", 12, 32, 24)
    assert [f.shape for f in hm.read_frames(path, [3, 3, 0], (8, 2, 20, 30))] == [(22, 12, 3)] * 3
    with pytest.raises(hm.UnreadableVideoError, match="frame 12"):
        hm.read_frames(path, [2, 12])
    with pytest.raises(ValueError):
        hm.read_frame(path, -1)
    with pytest.raises(ValueError, match="leaves no pixels"):
        hm.read_frame(path, 0, (40, 0, 50, 10))
