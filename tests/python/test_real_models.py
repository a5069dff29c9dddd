"""The command and its model loading with the real detector and segmenter libraries.

Tiny random-weight models made offline by scripts/make_tiny_models.py; a
generated recording of two short videos. Random weights find no animals: the
run asks for one animal with both detector thresholds at 0, so every query is a
detection, the segmenter's near-whole-frame masks overlap, and the overlap rule
keeps the best one; that is the start frame the whole chain goes on from, and
the matcher carries that animal into the second video.
"""

import csv
import glob
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import ROOT

cv2 = pytest.importorskip("cv2")
torch = pytest.importorskip("torch")

from herdmask.app import cli, samples, stages  # noqa: E402
from herdmask.app.models import ModelLoadError, ModelSettings, check_models, load_models  # noqa: E402
from test_models import docs_block  # noqa: E402

@pytest.fixture(scope="module")
def tiny(segmenter, tiny_model_script, tmp_path_factory):
    pytest.importorskip("transformers")
    return tiny_model_script.make_tiny_models(str(tmp_path_factory.mktemp("models")))


@pytest.fixture(scope="module")
def models(tiny):
    return load_models(ModelSettings(tiny["gdino"], tiny["sam2_config"], tiny["sam2_checkpoint"], device="cpu",
                                     box_threshold=0.0, text_threshold=0.0))


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    """The tiny sample's two videos cut to 3 frames each at 1 frame a second (2 frames per segment)."""
    src = samples.make_sample_recording(str(tmp_path_factory.mktemp("sample")), "tiny")
    base = tmp_path_factory.mktemp("recording")
    os.makedirs(base / src.sub_dir)
    for path in src.video_paths:
        reader = cv2.VideoCapture(path)
        frames = [f for ok, f in iter(lambda: reader.read(), (False, None))]
        writer = cv2.VideoWriter(str(base / src.sub_dir / os.path.basename(path)), cv2.VideoWriter_fourcc(*"mp4v"),
                                 1.0, (frames[0].shape[1], frames[0].shape[0]))
        for frame in frames[::10]:
            writer.write(frame)
        writer.release()
    shutil.copy(src.pen_json_path, base / "pen_polygon.json")
    return base


def test_load_faults_become_one_line(tiny):
    base = dict(gdino=tiny["gdino"], sam2_checkpoint=tiny["sam2_checkpoint"], device="cpu")
    cases = [
        (dict(sam2_config="sam2.1_hiera_t.yaml"), "SAM2 config not found: sam2.1_hiera_t.yaml is neither a file "
                                                  "nor a config of the sam2 package; did you mean "
                                                  "configs/sam2.1/sam2.1_hiera_t.yaml?"),
        (dict(sam2_config="configs/sam2.1/sam2.1_hiera_s.yaml"), "does not match the config"),
        (dict(sam2_config=tiny["sam2_config"], gdino=os.path.dirname(tiny["gdino"])), "holds no model"),
    ]
    if not torch.cuda.is_available():
        cases.append((dict(sam2_config=tiny["sam2_config"], device="cuda"), "sees no CUDA device"))
    for change, words in cases:
        with pytest.raises(ModelLoadError) as exc:
            check_models(ModelSettings(**dict(base, **change)))
        assert words in str(exc.value) and "\n" not in str(exc.value)


def test_documented_weights_block_loads_the_package_config(tiny, tmp_path, monkeypatch):
    os.makedirs(tmp_path / "weights")
    os.symlink(tiny["gdino"], tmp_path / "weights" / "grounding-dino-tiny")
    os.symlink(tiny["sam2_checkpoint"], tmp_path / "weights" / "sam2.1_hiera_tiny.pt")
    monkeypatch.chdir(tmp_path)
    scope = {}
    exec(compile(*docs_block("models.md"), "exec"), scope)
    assert not scope["models"].standin and scope["models"].video_tracker is not None


def test_box_threshold_reaches_the_real_post_processing(models, recording):
    from PIL import Image

    image = Image.fromarray(np.full((64, 96, 3), 120, np.uint8))
    inputs = models.processor(images=image, text="pig.", return_tensors="pt")
    with torch.no_grad():
        outputs = models.grounding_model(**inputs)
    counts = []
    for box_threshold in (0.0, 1.0):
        models.processor.box_threshold = box_threshold
        results = models.processor.post_process_grounded_object_detection(
            outputs, inputs.input_ids, text_threshold=0.0, target_sizes=[(64, 96)])
        counts.append(len(results[0]["scores"]))
    models.processor.box_threshold = 0.0
    assert counts == [models.grounding_model.config.num_queries, 0]


def test_tracker_follows_frame_names_both_ways(models, tmp_path):
    """Frames named 9 and 10 (10 sorts first as text) beside a file the video loader cannot read."""
    from sam2.utils.misc import load_video_frames_from_jpg_images

    from herdmask.app.models import _folder_of

    names = []
    for i, grey in ((9, 30), (10, 230)):
        names.append(str(tmp_path / f"{i}.jpg"))
        cv2.imwrite(names[-1], np.full((32, 48, 3), grey, np.uint8))
    cv2.imwrite(str(tmp_path / "preview.jpg"), np.zeros((32, 48, 3), np.uint8))
    with _folder_of(names) as folder:
        images, _, _ = load_video_frames_from_jpg_images(folder, 64, offload_video_to_cpu=True)
    assert np.all(np.diff(images.mean(dim=(1, 2, 3)).numpy()) > 0)  # the loader reads them in frame_names order
    tracker = models.video_tracker
    tracker.offload_video_to_cpu = tracker.offload_state_to_cpu = True
    try:
        mask = np.zeros((1, 1, 32, 48), bool)
        mask[0, 0, 8:24, 10:30] = True
        segments = tracker.track(names, mask, 1, [4])  # from the last frame back to the first
    finally:
        tracker.offload_video_to_cpu = tracker.offload_state_to_cpu = False
    assert sorted(segments) == [0, 1] and all(list(s) == [4] for s in segments.values())
    assert segments[0][4].shape == (1, 32, 48)
    assert np.array_equal(segments[1][4][0], mask[0, 0])  # the start frame keeps the mask it was given


def test_run_and_review_end_to_end(tiny, recording, tmp_path, capsys):
    out = tmp_path / "out"
    argv = [sys.executable, "-m", "herdmask", "run", str(recording), "--out", str(out), "--workers", "1",
            "--gdino", tiny["gdino"], "--sam2-config", tiny["sam2_config"], "--sam2-checkpoint",
            tiny["sam2_checkpoint"], "--device", "cpu", "--animals", "1", "--box-threshold", "0",
            "--text-threshold", "0", "--offload-video-to-cpu"]
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    done = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=900)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert "Grounding DINO" in done.stdout and "STAND-IN" not in done.stdout
    rows = list(csv.DictReader(open(out / "run_summary.csv")))
    assert len(rows) == 2 and {r["status"] for r in rows} == {"done"}
    # the second video's animal carried over by the matcher with the real image predictor
    keys = sorted(csv.DictReader(open(out / "identities.csv")), key=lambda r: r["video"])
    assert [(r["box_key"], r["started"]) for r in keys] == [("Box0", "start-frame search"), ("Box0", "carried")]

    # every frame of both videos tracked, refined and written (the frame folders are thinned once
    # their links are done, so the saved frames are counted by the records)
    for row in rows:
        segment = out / "annotations" / row["video"] / row["segment"]
        first = json.load(open(segment / "output_pp_0.json"))
        assert len(glob.glob(str(segment / "output_pp_*.json"))) == int(row["frames"]) == 2
        assert [d["object_id"] for d in first["detections"]] == [1]

    # the review compares the animals of a long overlap with the real image encoder
    names, segments = [], {}
    for i in range(5):
        names.append(str(tmp_path / f"{i:04d}.jpg"))
        cv2.imwrite(names[-1], np.random.default_rng(i).integers(0, 255, (64, 96, 3), np.uint8))
        a, b = np.zeros((2, 1, 64, 96), bool)
        a[0, 20:40, 10:40] = b[0, 20:40, 50:80] = True
        segments[i] = {1: a, 2: np.roll(a, 2, axis=2) if i >= 1 else b}  # the second track drifts onto the first
    stages.write_annotation_files(segments, names, str(tmp_path / "ann"))
    capsys.readouterr()
    assert cli.main(["review", str(tmp_path / "ann"), "--out", str(tmp_path / "review"), "--device", "cpu",
                     "--sam2-config", tiny["sam2_config"], "--sam2-checkpoint", tiny["sam2_checkpoint"]]) == 0
    log = capsys.readouterr().out
    assert "Using SAM2" in log and "Box0-Box1 (frames 1-4)" in log and "went wrong there is Box1" in log
