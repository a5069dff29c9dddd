"""Interrupted work never leaves a partial product: frame extraction killed in the
middle of a segment and rerun yields complete folders only, and a write that fails
half-way leaves the file it would have replaced as it was."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import cv2
import numpy as np
import pandas as pd
import pytest

import herdmask as hm

FPS = 25


def _video(path, frames, size=(320, 180)):
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), FPS, size)
    for i in range(frames):
        frame = np.full((size[1], size[0], 3), (i * 3) % 255, np.uint8)
        writer.write(frame)
    writer.release()


def _table(path):
    return pd.DataFrame([{"Camera Number": "61", "Date": "20240501", "Time": "06:30:00",
                          "File Path": path, "Video Name": "Camera61_1_20240501063000"}])


EXTRACT = textwrap.dedent("""
    import sys, pandas as pd, herdmask as hm
    table = pd.DataFrame([{"Camera Number": "61", "Date": "20240501", "Time": "06:30:00",
                           "File Path": sys.argv[1], "Video Name": "Camera61_1_20240501063000"}])
    hm.VideoProcessor(time_step=0.02, crop=False, output_dir_base=sys.argv[2]).process_videos_to_frames(table)
""")


def _walk_folders(base):
    """(frame folders under their final name, temporary folders) below `base`."""
    final, partial = [], []
    for folder, subdirs, _ in os.walk(base):
        for name in subdirs:
            if name == "right_cropped_frames":
                final.append(os.path.join(folder, name))
            elif name.endswith(".partial"):
                partial.append(os.path.join(folder, name))
    return final, partial


def _listing(base, final):
    return {os.path.relpath(f, base): sorted(os.listdir(f)) for f in final}


def _assert_complete(base, final, reference):
    for name, files in _listing(base, final).items():
        assert files == reference[name], f"{name} holds {len(files)} of {len(reference[name])} frames"


def test_extraction_killed_mid_segment_then_rerun_leaves_complete_folders(tmp_path):
    video = str(tmp_path / "v.mp4")
    _video(video, 6 * FPS, size=(1280, 720))  # 0.1 minutes: five segments of 30 frames
    clean = str(tmp_path / "clean")
    processor = hm.VideoProcessor(time_step=0.02, crop=False, output_dir_base=clean)
    processor.process_videos_to_frames(_table(video))
    reference = _listing(clean, _walk_folders(clean)[0])
    assert len(reference) == 5

    base = str(tmp_path / "frames")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-c", EXTRACT, video, base], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # Kill it while a segment is being written into its temporary folder.
    deadline = time.time() + 120
    killed_mid_segment = False
    while time.time() < deadline and proc.poll() is None:
        final, partial = _walk_folders(base)
        if len(final) >= 1 and any(os.listdir(p) for p in partial):
            proc.send_signal(signal.SIGKILL)
            killed_mid_segment = True
            break
        time.sleep(0.002)
    proc.wait()
    if not killed_mid_segment:
        pytest.skip("extraction finished before it could be interrupted")

    final, partial = _walk_folders(base)
    assert partial, "the kill should have left a temporary folder behind"
    _assert_complete(base, final, reference)

    hm.VideoProcessor(time_step=0.02, crop=False, output_dir_base=base).process_videos_to_frames(_table(video))
    final, partial = _walk_folders(base)
    assert partial == []
    assert _listing(base, final) == reference


def _annotation(path, image, polygon):
    with open(path, "w") as out:
        json.dump({"image_path": image, "note": "kept",
                   "detections": [{"object_id": 1, "xyxy": [[0, 0, 4, 4]], "formatted_polygon": [polygon]}]},
                  out, indent=4)


def test_rescaling_that_fails_half_way_leaves_the_file_intact(tmp_path):
    image = str(tmp_path / "f.png")
    cv2.imwrite(image, np.zeros((100, 200, 3), np.uint8))
    path = str(tmp_path / "output_pp_1.json")
    _annotation(path, image, "pig 0.5 0.25 0.1 0.2")
    with open(path) as f:
        data = json.load(f)
    data["detections"].append({"object_id": 2, "xyxy": [[0, 0, 1, 1]], "formatted_polygon": ["pig 0.5 x"]})
    with open(path, "w") as out:
        json.dump(data, out, indent=4)
    before = open(path, "rb").read()
    with pytest.raises(ValueError):
        hm.fix_polygon_scaling(path, path)
    assert open(path, "rb").read() == before
    assert [p for p in os.listdir(tmp_path) if p.startswith(".")] == []


def test_report_that_fails_half_way_leaves_the_old_report_intact(tmp_path):
    mask = np.zeros((20, 20), bool)
    good = {0: {"frame_index": 0, "masks_dict": {"Box0": mask}, "mask_areas": {"Box0": 0},
                "intersections_df": hm.intersection_between_masks({"Box0": mask})}}
    hm.generate_tracking_report(good, str(tmp_path))
    report = tmp_path / "tracking_question_report.csv"
    before = report.read_bytes()
    assert before.startswith(b"Frame ID")

    broken = dict(good)
    broken[1] = {"frame_index": 1, "masks_dict": {"Box0": mask}}  # no areas, no table
    broken[2] = {"frame_index": 2, "masks_dict": {"Box0": mask}, "mask_areas": {"Box0": 0},
                 "intersections_df": hm.intersection_between_masks({"Box0": mask})}
    with pytest.raises(KeyError):
        hm.generate_tracking_report(broken, str(tmp_path))
    assert report.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["tracking_question_report.csv"]
