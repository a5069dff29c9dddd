"""The synthetic recording and the colour-threshold stand-ins the demo runs on."""

import json
import os
import re

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
torch = pytest.importorskip("torch")
from PIL import Image  # noqa: E402

from herdmask.app import samples  # noqa: E402
from herdmask.testing import (  # noqa: E402
    ColourImagePredictor,
    ColourVideoTracker,
    colour_models,
)

NAME_RE = re.compile(r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4")


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    """The two-camera recording and its frames cropped the way the crop rule would crop them."""
    out = tmp_path_factory.mktemp("rec")
    rec = samples.make_sample_recording(str(out), "chain")
    frames = []
    for path in rec.video_paths:
        cap = cv2.VideoCapture(path)
        video = []
        while True:
            ok, f = cap.read()
            if not ok:
                break
            video.append(f)
        cap.release()
        frames.append(video)
    return rec, frames


def _crop_rule(frame):
    """Plain formulation: the rightmost of the two largest orange regions, then the 2300 rule."""
    hsv = cv2.cvtColor(frame, cv2.COLOR_BGR2HSV)
    mask = cv2.inRange(hsv, (10, 150, 150), (25, 255, 255))
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    largest = sorted(contours, key=cv2.contourArea, reverse=True)[:2]
    best = max(largest, key=lambda c: cv2.moments(c)["m10"] / (cv2.moments(c)["m00"] + 1e-5))
    x, y, w, h = cv2.boundingRect(best)
    return (x - 50, 0, 2560 if x + w >= 2300 else 2300, 1440)


def test_recording_layout_names_and_marker(tiny):
    rec, frames = tiny
    p = rec.preset
    assert len(rec.video_paths) == 6 and rec.cameras == ["1", "2"]
    times = {}
    for path, video in zip(rec.video_paths, frames):
        assert os.path.dirname(path) == os.path.join(rec.base_dir, rec.sub_dir)
        m = NAME_RE.fullmatch(os.path.basename(path))
        assert m and m.group(1) in rec.cameras
        times.setdefault(m.group(1), []).append(m.group(4))
        assert "060000" < m.group(4) < "170000"
        assert len(video) == p.frames_per_video
        assert video[0].shape == (p.height, 2560, 3)
        # the marker makes the crop rule keep exactly the pen strip
        assert _crop_rule(video[0]) == rec.crop_box
    for camera in rec.cameras:
        assert times[camera] == sorted(set(times[camera])) and len(times[camera]) == 3
    # the two cameras film different scenes
    assert not np.array_equal(frames[0][0], frames[3][0])
    pen = json.load(open(rec.pen_json_path))["shapes"][0]["points"]
    xs, ys = zip(*pen)
    assert 0 <= min(xs) and max(xs) <= p.crop_width and max(ys) <= p.height


def test_truth_boxes_hold_the_drawn_animals(tiny):
    import csv

    from herdmask.testing import animal_pixels

    rec, frames = tiny
    x0 = rec.crop_box[0]
    rows = [r for r in csv.DictReader(open(rec.truth_path))]
    assert len(rows) == 6 * rec.preset.frames_per_video * rec.preset.animals
    for video_i, t in ((0, 0), (1, 11), (5, 29)):
        name = os.path.basename(rec.video_paths[video_i])[:-4]
        pink = animal_pixels(cv2.cvtColor(frames[video_i][t][:, x0:], cv2.COLOR_BGR2RGB))
        covered = np.zeros_like(pink)
        for r in rows:
            if r["video"] == name and int(r["frame"]) == t:
                x1, y1, x2, y2 = (int(r[k]) for k in ("x1", "y1", "x2", "y2"))
                covered[max(y1, 0):y2, max(x1, 0):x2] = True
                assert pink[int(float(r["cy"])), int(float(r["cx"]))]  # the centre lies on its animal
        assert not (pink & ~covered).any()


def test_regenerating_keeps_existing_videos(tiny, tmp_path):
    rec, _ = tiny
    before = [os.stat(v).st_mtime_ns for v in rec.video_paths]
    truth = open(rec.truth_path).read()
    again = samples.make_sample_recording(rec.base_dir, "chain")
    assert open(again.truth_path).read() == truth
    assert again.video_paths == rec.video_paths
    assert [os.stat(v).st_mtime_ns for v in rec.video_paths] == before


@pytest.mark.parametrize("kwargs", [dict(crop_width=400), dict(height=50), dict(frames_per_video=5),
                                    dict(animals=11), dict(cameras=0)])
def test_preset_rejects_sizes_the_crop_rule_or_search_cannot_use(kwargs):
    with pytest.raises(ValueError):
        samples.SamplePreset(**kwargs)


def _detect(processor, model, rgb, thr=0.25):
    img = Image.fromarray(rgb)
    inputs = processor(images=img, text="pig.", return_tensors="pt").to("cpu")
    with torch.no_grad():
        outputs = model(**inputs)
    return processor.post_process_grounded_object_detection(
        outputs, inputs.input_ids, text_threshold=thr, target_sizes=[img.size[::-1]])


def test_detector_finds_every_separate_animal_and_merges_touching_ones(tiny):
    rec, frames = tiny
    x0 = rec.crop_box[0]
    processor, model, _, _ = colour_models()
    # frame 0 starts with two animals touching; by frame 11 all ten stand apart
    counts = {}
    for t in (0, 11):
        rgb = cv2.cvtColor(frames[0][t][:, x0:], cv2.COLOR_BGR2RGB)
        res = _detect(processor, model, rgb)[0]
        assert set(res) == {"scores", "labels", "boxes"}
        assert res["labels"] == ["pig"] * len(res["labels"])
        assert isinstance(res["boxes"], torch.Tensor) and res["boxes"].shape[1] == 4
        counts[t] = len(res["labels"])
    assert counts == {0: 9, 11: 10}
    # a high text threshold drops everything: scores stay below 1
    assert len(_detect(processor, model, rgb, thr=0.99)[0]["labels"]) == 0


def test_predictor_shapes_follow_the_segmenter_conventions(tiny):
    rec, frames = tiny
    rgb = cv2.cvtColor(frames[0][11][:, rec.crop_box[0]:], cv2.COLOR_BGR2RGB)
    processor, model, predictor, _ = colour_models()
    boxes = _detect(processor, model, rgb)[0]["boxes"].numpy()
    predictor.set_image(rgb)
    h, w = rgb.shape[:2]
    masks, scores, logits = predictor.predict(point_coords=None, point_labels=None, box=boxes,
                                              multimask_output=False)
    assert masks.shape == (10, 1, h, w) and scores.shape[0] == 10 and logits.shape[0] == 10
    flat = masks[:, 0] > 0
    assert flat.sum(axis=0).max() == 1  # no pixel in two masks
    assert (flat.sum(axis=(1, 2)) > 50).all()
    one, s1, _ = predictor.predict(point_coords=None, point_labels=None, box=boxes[:1],
                                   multimask_output=False)
    assert one.shape == (1, h, w)
    np.testing.assert_array_equal(one[0] > 0, flat[0])
    feats = predictor.model.image_encoder(torch.rand(1, 3, 256, 256))["vision_features"]
    assert feats.ndim == 4 and feats.shape[0] == 1
    with pytest.raises(RuntimeError):
        ColourImagePredictor().predict(box=boxes)


def test_tracker_keeps_identities_forward_and_backward(tiny):
    rec, frames = tiny
    x0 = rec.crop_box[0]
    tmp = os.path.join(rec.base_dir, "tracked")
    os.makedirs(tmp, exist_ok=True)
    names = []
    for i, f in enumerate(frames[0]):
        names.append(os.path.join(tmp, f"{i:04d}.jpg"))
        cv2.imwrite(names[-1], f[:, x0:])
    start = 11
    rgb = cv2.cvtColor(cv2.imread(names[start]), cv2.COLOR_BGR2RGB)
    processor, model, predictor, _ = colour_models()
    boxes = _detect(processor, model, rgb)[0]["boxes"].numpy()
    predictor.set_image(rgb)
    masks = predictor.predict(box=boxes, multimask_output=False)[0][:, 0]
    segments = ColourVideoTracker().track(names, masks, start)
    assert list(segments) == list(range(len(names)))
    assert all(list(objs) == list(range(1, 11)) for objs in segments.values())
    assert segments[start][3].shape == (1,) + rgb.shape[:2]

    def centroid(m):
        r, c = np.nonzero(m[0])
        return np.array([c.mean(), r.mean()])

    # animals move a pixel or two per frame: a jump means a swapped identity
    # (checked before one animal walks over another, late in the video)
    for oid in range(1, 11):
        path = [centroid(segments[i][oid]) for i in range(14)]
        steps = np.linalg.norm(np.diff(path, axis=0), axis=1)
        assert steps.max() < 6, (oid, steps)


def test_restart_preset_defeats_the_matcher_and_not_the_search(tmp_path):
    import herdmask as hm

    rec = samples.make_sample_recording(str(tmp_path / "rec"), "restart")
    first, second = rec.video_paths[:2]
    vp = hm.VideoProcessor(output_dir_base=str(tmp_path / "frames"))
    names = {}
    for path in (first, second):
        video = os.path.basename(path)[:-4]
        [outcome] = vp.extract_video(path, video, "20240501", "1")
        names[path] = [os.path.join(outcome.frames_dir, f) for f in sorted(os.listdir(outcome.frames_dir))]
    processor, grounding, predictor, _ = colour_models()

    def search(frames, start_index=0):
        return hm.initializer(os.path.dirname(frames[0]), frames, processor, grounding, "cpu", predictor,
                              start_index=start_index, custom_pen_json_path=rec.pen_json_path)

    masks, _, idx, _ = search(names[first], len(names[first]) - 1)
    previous = {idx: {"masks_dict": {f"Box{i}": m for i, m in enumerate(masks)}}}
    # In the dark the matcher finds nothing; where the lights are on it would carry them.
    assert [hm.matcher(previous, names[second], i, predictor)[4] for i in (0, 10, 20, 30)] == [True] * 3 + [False]
    assert search(names[second])[2] == 30


def test_demo_runs_where_cv2_cannot_load(tiny_demo):
    out, code = tiny_demo  # run where `import cv2` fails, as on a server without X11 libraries
    assert code == 0 and os.path.isfile(out / "evaluation.csv") and os.path.isfile(out / "behaviour_truth.html")
