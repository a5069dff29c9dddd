"""Per-frame time of the real detector, image predictor and video tracker, and the library's share.

Tiny random-weight models (scripts/make_tiny_models.py): a detector small in
every dimension that sees frames at most 96 pixels wide, and the segmenter's
smallest configuration, whose image encoder always works on 1024 x 1024. On
the tiny sample recording (192 x 128 frames):

- detector: processor, forward pass and post-processing of one frame;
- image predictor: set_image and one predict call for ten boxes;
- start-frame search: the search over frames that all fail (ten boxes, every
  mask overlapping), its time split into model calls and the library's own work;
- tracking: the video predictor per frame and object;
- after tracking: refinement, annotation files, annotation loading and the
  tracking report, per frame; and the same for ten animals in 1440 x 2304
  frames (bench_refine's masks), the library's share a user with real weights
  and real frames pays.

Needs the segmenter package: run it in the segmenter environment,
    PYTHONPATH=python build/segmenter-env/bin/python benchmarks/run.py models
"""

import contextlib
import importlib.util
import io
import os
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SEARCH_FRAMES = 3
FULL_FRAMES = 10
TRACK_FRAMES, TRACK_OBJECTS = 4, 2


class Timed:
    """A model object whose calls (and those of the named methods) add their time to `spent`."""

    def __init__(self, target, spent, methods=()):
        self._target, self._spent, self._methods = target, spent, set(methods)

    def __call__(self, *args, **kwargs):
        return self._timed(self._target, args, kwargs)

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if name in self._methods:
            return lambda *args, **kwargs: self._timed(value, args, kwargs)
        return value

    def _timed(self, fn, args, kwargs):
        start = time.perf_counter()
        try:
            return fn(*args, **kwargs)
        finally:
            self._spent[0] += time.perf_counter() - start


def per_frame(label, seconds, frames, note=""):
    print(f"{label:<55} {seconds / frames * 1e3:10.1f} ms per frame{note}", flush=True)
    return seconds / frames


def tiny_models(folder):
    module_spec = importlib.util.spec_from_file_location("make_tiny_models",
                                                  os.path.join(HERE, "..", "scripts", "make_tiny_models.py"))
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module.make_tiny_models(folder)


def main():
    try:
        import sam2.sam2_image_predictor  # noqa: F401
    except Exception as exc:  # noqa: BLE001
        print(f"skipped: the segmenter package does not load here ({exc!r}); see this file's docstring")
        return
    with tempfile.TemporaryDirectory() as tmp:
        measure(tmp)
    with tempfile.TemporaryDirectory() as tmp:
        full_size_after_tracking(tmp)


def after_tracking(segments, folder, names, pen_json_path, out):
    """Refinement, annotation files, loading and report of one tracked segment: seconds of each."""
    import herdmask as hm
    from herdmask.app import stages

    steps = {
        "refinement": lambda: hm.Mask_Refinement(custom_pen_json_path=pen_json_path).process_video_segments(
            segments, folder, names),
        "annotation files": lambda: stages.write_annotation_files(segments, names, out),
        "loading": lambda: data.update(hm.get_gsam_annotation_data(out, save_dir_base=out)[1]),
        "report": lambda: hm.generate_tracking_report(data, out),
    }
    data, seconds = {}, {}
    with contextlib.redirect_stdout(io.StringIO()):
        for name, step in steps.items():
            start = time.perf_counter()
            step()
            seconds[name] = time.perf_counter() - start
    return seconds


def full_size_after_tracking(tmp):
    import cv2
    from bench_refine import H, OBJECTS, PEN, W, make_segments

    pen = os.path.join(tmp, "pen_polygon.json")
    with open(pen, "w") as f:
        f.write('{"shapes": [{"points": %s}]}' % PEN)
    frame = os.path.join(tmp, "0000.jpg")
    cv2.imwrite(frame, np.full((H, W, 3), 60, np.uint8))
    seconds = after_tracking(make_segments(FULL_FRAMES), tmp, [frame] * FULL_FRAMES, pen,
                             os.path.join(tmp, "annotations"))
    per_frame(f"the same, {OBJECTS} animals at {H} x {W}", sum(seconds.values()), FULL_FRAMES)
    for name, value in seconds.items():
        per_frame(f"  of it {name}", value, FULL_FRAMES)


def measure(tmp):
    import torch
    from PIL import Image

    import herdmask as hm
    from herdmask.app import samples, stages
    from herdmask.app.models import ModelSettings, check_models

    torch.manual_seed(0)
    with contextlib.redirect_stdout(io.StringIO()):
        paths = tiny_models(os.path.join(tmp, "models"))
        rec = samples.make_sample_recording(os.path.join(tmp, "rec"), "tiny")
        table = stages.catalogue(rec.base_dir, [rec.sub_dir])
        stages.extract_frames(table.iloc[:1], os.path.join(tmp, "frames"))
        row = table.iloc[0]
        (folder,) = stages.segment_folders(os.path.join(tmp, "frames"), row["Date"], row["Video Name"])
        names = stages.frame_names_of(folder)
        models = check_models(ModelSettings(paths["gdino"], paths["sam2_config"], paths["sam2_checkpoint"],
                                            device="cpu", box_threshold=0.0, text_threshold=0.0))
    print(f"tiny models, {len(names)} frames of {Image.open(names[0]).size[0]} x {Image.open(names[0]).size[1]}, "
          f"torch threads {torch.get_num_threads()}", flush=True)

    image = Image.open(names[0]).convert("RGB")
    rgb = np.array(image)
    boxes = np.array([[8 + 17 * i, 30, 30 + 17 * i, 60 + 5 * i] for i in range(10)], float)

    def detector():
        inputs = models.processor(images=image, text="pig.", return_tensors="pt")
        with torch.no_grad():
            outputs = models.grounding_model(**inputs)
        models.processor.post_process_grounded_object_detection(
            outputs, inputs.input_ids, text_threshold=0.0, target_sizes=[(rgb.shape[0], rgb.shape[1])])

    def predictor():
        models.image_predictor.set_image(rgb)
        models.image_predictor.predict(point_coords=None, point_labels=None, box=boxes, multimask_output=False)

    detector(), predictor()  # warm-up
    for label, fn, repeat in (("detector (processor, forward, post-processing)", detector, 10),
                              ("image predictor (set_image, predict 10 boxes)", predictor, 3)):
        start = time.perf_counter()
        for _ in range(repeat):
            fn()
        per_frame(label, time.perf_counter() - start, repeat)

    spent = [0.0]
    processor = Timed(models.processor, spent, ["post_process_grounded_object_detection"])
    grounding = Timed(models.grounding_model, spent)
    image_predictor = Timed(models.image_predictor, spent, ["set_image", "predict"])
    with contextlib.redirect_stdout(io.StringIO()):
        start = time.perf_counter()
        hm.initializer(folder, names[:SEARCH_FRAMES], processor, grounding, "cpu", image_predictor, step=1,
                       gdino_thr=0.0, close_set_num=99, custom_pen_json_path=rec.pen_json_path)
        total = time.perf_counter() - start
    per_frame("start-frame search, whole", total, SEARCH_FRAMES)
    per_frame("  of it model calls", spent[0], SEARCH_FRAMES)
    own = per_frame("  of it the library's own work", total - spent[0], SEARCH_FRAMES,
                    f" ({(total - spent[0]) / total:.1%})")

    masks = np.zeros((TRACK_OBJECTS,) + rgb.shape[:2], bool)
    for i in range(TRACK_OBJECTS):
        masks[i, 40:80, 10 + 60 * i:50 + 60 * i] = True
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        start = time.perf_counter()
        segments = models.video_tracker.track(names[:TRACK_FRAMES], masks, 0, list(range(1, TRACK_OBJECTS + 1)))
        tracking = time.perf_counter() - start
    per_frame(f"tracking ({TRACK_OBJECTS} objects)", tracking, TRACK_FRAMES,
              f" ({tracking / TRACK_FRAMES / TRACK_OBJECTS * 1e3:.0f} ms per frame and object)")

    after = sum(after_tracking(segments, folder, names[:TRACK_FRAMES], rec.pen_json_path,
                               os.path.join(tmp, "annotations")).values())
    per_frame("refinement, annotation files, loading, report", after, TRACK_FRAMES)
    library = own / 10 + after / TRACK_FRAMES  # the search examines one frame in ten
    models_time = tracking / TRACK_FRAMES + spent[0] / SEARCH_FRAMES / 10
    print(f"per tracked frame (search on one frame in ten): models {models_time * 1e3:.0f} ms, "
          f"library {library * 1e3:.1f} ms ({library / (library + models_time):.2%})", flush=True)
