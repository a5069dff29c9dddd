"""A run at scale: the tracker's result streamed into the annotation files, frames skipped and
scaled, frames deleted once tracked and read again from the video, and the cost figures."""

import contextlib
import dataclasses
import glob
import io
import os
from types import SimpleNamespace

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
pytest.importorskip("torch")

import herdmask as hm  # noqa: E402
from herdmask.app import chains, cli, export, plan, records, samples, settings, stages, tasks  # noqa: E402
from herdmask.app.models import ModelSettings, load_models  # noqa: E402
from herdmask.app.progress import Progress  # noqa: E402
from herdmask.app.runfolder import RunFolder  # noqa: E402
from herdmask.testing import ColourVideoTracker  # noqa: E402


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    """The tiny sample recording, its first link's frames extracted into a run folder, and what the
    link task takes: (recording, run, link, segment, task settings)."""
    root = tmp_path_factory.mktemp("scale")
    rec = samples.make_sample_recording(str(root / "recording"), "tiny")
    run = RunFolder(str(root / "out"))
    with contextlib.redirect_stdout(io.StringIO()):
        table = stages.catalogue(rec.base_dir)
    links, videos = plan.build_chains(table, run, 0.1, {"1": "x"})
    run.add_videos(videos.values())
    task_settings = dict(time_step=0.1, animals=10, step=10, match_frames=3, max_gap=60.0, small_area=100.0,
                         relink_cost=0.6, relink_margin=0.2, crop="orange marker", model_settings=ModelSettings(),
                         pen_json=rec.pen_json_path, out=run.out, frame_skip=1, resize=None, keep_frames=False)
    link = links["1"][0]
    v = videos[link.video]
    crop = tasks.crop_task("1", [(v.name, v.path, v.fps)], task_settings, run.out)
    extracted = tasks.extract_task((v.camera, v.name, v.path, v.date, v.time), [(link.segment, link.frames_dir)],
                                   crop, task_settings, run.out)
    return rec, run, link, extracted["segments"][link.segment], task_settings


def test_annotation_files_streamed_are_the_whole_result_s(tiny, tmp_path):
    rec, _, link, _, _ = tiny
    models = load_models(ModelSettings())
    names = stages.frame_names_of(link.frames_dir)
    with contextlib.redirect_stdout(io.StringIO()):
        start = stages.search_start(link.frames_dir, names, models, rec.pen_json_path)
        assert start.frame > 0  # the forward pass comes first, the frames before the start wait
        whole = stages.track(start, link.frames_dir, names, models, rec.pen_json_path)
        stages.write_annotation_files(whole, names, str(tmp_path / "whole"))
        os.makedirs(tmp_path / "streamed")
        tally = stages.IdentityTally(start.keys)
        for idx, objects in stages.track_refined(start, link.frames_dir, names, models, rec.pen_json_path):
            stages.write_annotation_file(idx, objects, names, str(tmp_path / "streamed"))
            tally.add(idx, objects)
    files = sorted(os.listdir(tmp_path / "whole"))
    assert len(files) == len(names) and files == sorted(os.listdir(tmp_path / "streamed"))
    for name in files:
        assert (tmp_path / "whole" / name).read_bytes() == (tmp_path / "streamed" / name).read_bytes(), name
    assert tally.rows() == stages.identity_rows(whole, start.keys)


def test_a_link_whose_tracker_raises_midway_leaves_no_annotation_folder(tiny, monkeypatch):
    _, run, link, segment, task_settings = tiny
    real = ColourVideoTracker.track_frames

    def breaks_at_the_fourth_frame(self, *args):
        for n, item in enumerate(real(self, *args)):
            if n == 3:
                raise RuntimeError("tracker lost its device")
            yield item

    monkeypatch.setattr(ColourVideoTracker, "track_frames", breaks_at_the_fourth_frame)
    fields = dataclasses.asdict(link)
    failed = records.LinkRecord.from_dict(tasks.link_task(fields, segment, "", 0, task_settings, "f", "first"))
    assert failed.status == records.FAILED and "tracker lost its device" in failed.reason
    home = run.annotation_dir(failed)
    assert not os.path.exists(home) and not os.path.exists(home + ".new")
    # its frames went (but the first); a rerun extracts them again and the link is done
    assert [os.path.basename(p) for p in glob.glob(os.path.join(link.frames_dir, "*.jpg"))] == ["0000.jpg"]
    monkeypatch.setattr(ColourVideoTracker, "track_frames", real)
    v = run.videos()[link.video]
    crop = tasks.crop_task("1", [(v.name, v.path, v.fps)], task_settings, run.out)
    segment = tasks.extract_task((v.camera, v.name, v.path, v.date, v.time), [(link.segment, link.frames_dir)],
                                 crop, task_settings, run.out)["segments"][link.segment]
    assert segment["frames"] == link.frames_planned
    done = records.LinkRecord.from_dict(tasks.link_task(fields, segment, "", 0, task_settings, "f", "second"))
    assert done.status == records.DONE
    assert len(glob.glob(os.path.join(run.annotation_dir(done), "*.json"))) == link.frames_planned


@pytest.fixture(scope="module")
def skipped_demo(tmp_path_factory):
    """The tiny demo run with --frame-skip 5 --resize 64, its links done and their frame folders thinned."""
    out = tmp_path_factory.mktemp("skipped") / "demo"
    with contextlib.redirect_stdout(io.StringIO()):
        assert cli.main(["demo", "--out", str(out), "--preset", "tiny", "--workers", "1", "--frame-skip", "5",
                         "--resize", "64"]) == 0
    return out


def test_frame_skip_and_resize_against_the_demo_ground_truth(skipped_demo):
    out = skipped_demo
    # video positions 1, 6, ..., 26 of each 30-frame video (the segment's last frame would be at 30, past
    # the video's end), numbered from 1 along the camera's recording
    expected = [2, 7, 12, 17, 22, 27, 32, 37, 42, 47, 52, 57]
    mot = export.run_mot(str(out))["Camera1"]
    assert sorted(set(mot["frame"])) == expected
    truth = hm.export.read_mot(str(out / "ground_truth" / "Camera1.txt"))
    assert set(expected) <= set(truth["frame"])
    # scored on the frames the run looked at, with its boxes back in the crop's pixels
    with contextlib.redirect_stdout(io.StringIO()):
        assert cli.main(["evaluate", str(out), str(out / "ground_truth")]) == 0
    import pandas as pd

    scores = pd.read_csv(out / "evaluation.csv", index_col=0).loc["Camera1"]
    assert scores["frames"] == len(expected) and scores["IDF1"] > 0.85
    # a tracked link keeps its first frame only; frames are read again from the video at its size
    run = RunFolder.open(str(out))
    for r in run.chain("1"):
        folder = os.path.join(run.out, r.frames_dir)
        assert sorted(os.listdir(folder)) == [".herdmask-thinned", "0000.jpg"]
        assert r.frame_size == [96, 64] and r.frame_scale() == (0.5, 0.5) and r.frame_step == 5
        again = run.frames(r, [0, r.frames - 1])
        assert [f.shape for f in again] == [(64, 96, 3)] * 2
        assert np.abs(again[0].astype(int) - cv2.imread(os.path.join(folder, "0000.jpg"))).mean() < 3
        # the contacts stored beside the tracks table are those of the annotation files
        stored = run.contacts(r).values.tolist()
        assert stored == hm.behaviour.segment_contacts(run.annotation_dir(r)).values.tolist() and stored
    with pytest.raises(IndexError):
        run.frame(r, r.frames)


def test_frames_read_again_are_scaled_as_extraction_scales_them(tmp_path):
    from test_video_extraction import make_video

    path = make_video(tmp_path / "v.mp4", 12, 50, 30)
    vp = hm.VideoProcessor(time_step=0.1, output_dir_base=str(tmp_path / "f"), crop=False, resize_dim=(0, 20))
    with contextlib.redirect_stdout(io.StringIO()):
        (outcome,) = vp.extract_video(path, "V", "d")
    plain = hm.read_frames(path, outcome.positions)
    scaled = hm.read_frames(path, outcome.positions, None, 20)
    names = sorted(os.listdir(outcome.frames_dir))
    for frame, small, name in zip(plain, scaled, names):
        assert small.shape == (20, 34, 3)  # 20 x 50 / 30 = 33.3, rounded up
        assert np.array_equal(small, cv2.resize(frame, (34, 20), interpolation=cv2.INTER_AREA))
        assert np.abs(small.astype(int) - cv2.imread(os.path.join(outcome.frames_dir, name))).mean() < 8  # JPEG
    with pytest.raises(ValueError):
        hm.read_frame(path, 1, None, 0)


def test_settings_added_later_keep_the_folders_made_before_current():
    before = {"time_step": 0.1, "crop": "orange marker", "animals": 10.0}
    now = dict(before, frame_skip=1, resize=None)
    assert settings.fingerprint(now, "1") == settings.fingerprint(before, "1")
    assert settings.extraction_key(now, "1") == settings.extraction_key(before, "1")
    assert settings.differences(before, now) == []
    skipped = dict(now, frame_skip=5)
    assert settings.fingerprint(skipped, "1") != settings.fingerprint(before, "1")
    assert settings.extraction_key(skipped, "1") != settings.extraction_key(before, "1")
    assert settings.differences(before, skipped) == ["--frame-skip: 1 before, 5 now"]


def test_a_source_whose_every_animal_stayed_small_is_not_carried_with_no_animals(tmp_path):
    from run_folders import add_link, make_run

    run = make_run(tmp_path / "out")
    source = add_link(run, 1, 1, ids={"Box0": 1, "Box1": 2})
    source.small_area_boxes = ["Box0", "Box1"]
    lineage = tasks._Lineage(_link("1", "V", 0), source, {"step": 10, "match_frames": 3}, ["0000.jpg"], None)
    with contextlib.redirect_stdout(io.StringIO()):
        assert lineage.carry(run) is None
    assert "stayed small" in lineage.restart_reason


def test_review_of_a_link_whose_frames_were_deleted_reads_them_again(tmp_path):
    from herdmask.testing import StandInImagePredictor
    from test_run_parts import _annotations

    ann = _annotations(tmp_path / "a", {2: range(2, 4)})
    for name in ("0001.jpg", "0002.jpg", "0003.jpg"):
        os.remove(tmp_path / "a" / name)
    asked = []

    def frames_again(indices):
        asked.extend(indices)
        return {i: _black(tmp_path, i) for i in indices}

    review = stages.review_annotations(str(ann), str(tmp_path / "r"), StandInImagePredictor(),
                                       frames_again=frames_again)
    assert sorted(asked) == [1, 2, 3] and review.overlap_review is not None


def _black(tmp_path, index):
    path = str(tmp_path / f"again{index}.png")
    cv2.imwrite(path, np.zeros((60, 90, 3), np.uint8))
    return path


def _link(camera, video, n, frames=10):
    return plan.Link(camera, video, f"{n}min", n, f"t{video}{n}", f"t{video}{n}", f"/f/{video}/{n}",
                     records.pack_positions(range(frames)))


def test_time_left_is_the_longest_chain_or_the_frames_shared_among_the_workers():
    work = {"1": [chains.LinkWork(_link("1", "A", n, 100)) for n in range(2)],
            "2": [chains.LinkWork(_link("2", "B", 0, 50))]}
    progress = Progress(work, workers=2)
    assert progress.text() == "" and progress.seconds_left() is None
    first = records.LinkRecord("1", "A", "0min", 0, "", "", frames=100, seconds=50.0)
    progress.settled(first)
    # 0.5 s a frame; 100 frames left in camera 1 and 50 in camera 2, on two workers: camera 1's chain
    assert progress.seconds_left() == 50.0 and progress.text() == "0.50 s a tracked frame, about 50 s left"
    progress.workers = 1
    assert progress.seconds_left() == 75.0


def test_extraction_runs_one_video_ahead_of_the_link_tracked(tmp_path):
    submitted = []
    client = SimpleNamespace(submit=lambda fn, *args, key, **kw: submitted.append(key) or SimpleNamespace(key=key))
    links = [_link("1", video, 0) for video in "ABCD"]
    videos = {v: SimpleNamespace(camera="1", name=v, path=v, date="d", time="t") for v in "ABCD"}
    run = chains.ChainRun(client, RunFolder(str(tmp_path)), {"1": [chains.LinkWork(lk) for lk in links]}, videos,
                          {"1": {}}, {"1": "f"}, None, None, print)
    cam = run.cameras["1"]
    cam.crop = {"box": [0, 0, 1, 1]}
    frames = lambda: [k.split("-")[2] for k in submitted if k.startswith("herdmask-frames")]  # noqa: E731
    run._advance(cam)
    assert frames() == ["A", "B"]
    cam.extraction["A"] = {"segments": {"0min": {"frames": 10}}}
    run._advance(cam)  # link A runs: B waits on the disk, C not yet
    assert frames() == ["A", "B"] and cam.running is not None
    cam.running = None
    run._advance(cam)  # A ended; B's link waits for its frames, C is extracted meanwhile
    assert frames() == ["A", "B", "C"]


def test_rendering_a_thinned_link_reads_its_frames_once_per_chunk_not_per_frame(skipped_demo, monkeypatch):
    from herdmask.app import render
    from herdmask.app.proofread.source import RunView

    view = RunView.open(str(skipped_demo))
    link = view.cameras["1"][0]
    calls = []
    monkeypatch.setattr(hm, "read_frames", lambda path, positions, *a: calls.append(positions) or [
        np.full((64, 96, 3), 9, np.uint8) for _ in positions])
    monkeypatch.setattr(render, "_CHUNK", 4)
    path, frames, _ = render.render_link(view, link, view.track_map("1"))
    # the first frame's file is kept, the other five are read again: chunks [1 2 3] and [4 5]
    assert frames == link.frames == 6 and [len(c) for c in calls] == [3, 2]
    assert cv2.VideoCapture(path).get(cv2.CAP_PROP_FRAME_COUNT) == 6
