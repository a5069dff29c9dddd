"""The work a run hands to its dask workers: the crop box of a camera, the frames of a
video, and one link of a camera's chain.

Each task takes plain values (the results of the tasks it depends on arrive as
arguments), writes its products under the run's output folder and returns a
plain dict. A link task never raises: whatever goes wrong becomes its record's
status and reason. A link that finds its own finished record (its worker died
after writing it, or its result was lost with a worker) returns that record
instead of doing the work again.
"""

from __future__ import annotations

import contextlib
import dataclasses
import io
import os
import re
import shutil
import sys
import threading
import time
import traceback
from datetime import datetime

from . import layout, records, stages
from .files import write_atomic
from .models import load_models
from .plan import Link

__all__ = ["ModelsPlugin", "crop_task", "extract_task", "link_task"]

# one predictor must not serve two calls at once: a worker with several threads
# runs its links one after the other
_MODEL_LOCK = threading.Lock()
TINY_ORANGE_PIXELS = 64
_CROP_LINE = re.compile(r"^cv2 crop region for Camera \S+: x1=(-?\d+), y1=(-?\d+), x2=(-?\d+), y2=(-?\d+)$", re.M)

try:
    from distributed.diagnostics.plugin import WorkerPlugin
except ImportError:  # the tasks also run without dask, e.g. called directly
    WorkerPlugin = object


class ModelsPlugin(WorkerPlugin):
    """Loads the models once per worker process, with the worker's share of the cores for torch."""

    name = "herdmask-models"

    def __init__(self, model_settings, workers_per_host):
        self.model_settings = model_settings
        self.workers_per_host = dict(workers_per_host)

    def setup(self, worker):
        host = worker.address.rsplit(":", 1)[0]
        share = max(1, (os.cpu_count() or 1) // max(1, self.workers_per_host.get(host, 1)))
        with contextlib.suppress(ImportError):
            import torch

            torch.set_num_threads(share)
        load_models(self.model_settings)


# ------------------------------------------------------------------ helpers


class _Clock:
    def __init__(self):
        self.models = 0.0


class _Timed:
    """Forwards to a model object, adding the time of every call to the clock."""

    _NESTED = ("model", "image_encoder")

    def __init__(self, target, clock):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_clock", clock)

    def _timed(self, fn, *args, **kwargs):
        t0 = time.perf_counter()
        try:
            return fn(*args, **kwargs)
        finally:
            self._clock.models += time.perf_counter() - t0

    def __call__(self, *args, **kwargs):
        return self._timed(self._target, *args, **kwargs)

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if name in self._NESTED:
            return _Timed(value, self._clock)
        if callable(value) and not isinstance(value, type):
            return lambda *a, **k: self._timed(value, *a, **k)
        return value


def _timed_models(models, clock):
    return dataclasses.replace(models, **{name: _Timed(getattr(models, name), clock) for name in
                                          ("processor", "grounding_model", "image_predictor", "video_tracker")})


@contextlib.contextmanager
def _logged(path):
    """Everything printed goes to the log file at `path` (appended)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "a", buffering=1) as log, contextlib.redirect_stdout(log):  # line by line, for tail -f
        yield log


def _worker_name():
    try:
        from distributed import get_worker

        return get_worker().address
    except (ImportError, ValueError):
        return "this process"


def _reset_dir(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


# ------------------------------------------------------------------ crop box


def _first_frame(path, fps, folder, camera, crop, coords=None):
    """Writes the video's first frame (cropped or whole) into `folder`; returns (jpg path or None, what
    the processor printed, the processor)."""
    import herdmask as hm

    _reset_dir(folder)
    vp = hm.VideoProcessor(camera_crop_coords=coords if coords is not None else {})
    text = io.StringIO()
    with contextlib.redirect_stdout(text):
        vp.crop_video_to_frames(path, folder, 0, 1 / (60 * fps), camera, crop)
    jpg = os.path.join(folder, "0000.jpg")
    return (jpg if os.path.exists(jpg) else None), text.getvalue(), vp


def _thumbnail(frame_path, box, orange, dest):
    from PIL import Image, ImageDraw

    with Image.open(frame_path) as im:
        image = im.convert("RGB")
    width, height = image.size
    draw = ImageDraw.Draw(image)
    line = max(2, width // 300)
    if box is not None:
        draw.rectangle(tuple(box[:2]) + (box[2] - 1, box[3] - 1), outline=(0, 200, 255), width=line)
    if orange is not None:
        draw.rectangle(tuple(orange[:2]) + (orange[2] - 1, orange[3] - 1), outline=(255, 0, 255), width=line)
    scale = min(1.0, 1000 / width)
    image = image.resize((max(1, round(width * scale)), max(1, round(height * scale))))
    return write_atomic(dest, image.save)


def crop_task(camera, videos, settings, out):
    """The camera's crop box, from the first of its videos whose first frame shows the marker.

    `videos` are (name, path, fps) of the camera's readable videos in time order.
    Returns {"camera", "box" (None: no crop, or none found), "source", "orange",
    "frame_size", "warning", "reason", "thumbnail", "seconds"}.
    """
    from PIL import Image

    t0 = time.perf_counter()
    mode = settings["crop"]
    result = {"camera": camera, "box": None, "source": None, "orange": None, "frame_size": None,
              "warning": None, "reason": None, "thumbnail": None}
    scratch = layout.camera_scratch(out, camera)
    source_frame = os.path.join(scratch, "source.jpg")  # the whole first frame of the source, for the thumbnail
    tried = []
    try:
        for name, path, fps in videos:
            whole, _, _ = _first_frame(path, fps, os.path.join(scratch, "whole"), camera, False)
            if whole is None:
                tried.append(f"the first frame of {name} cannot be read")
                continue
            with Image.open(whole) as im:
                width, height = im.size
            os.replace(whole, source_frame)
            result["frame_size"] = [width, height]
            result["source"] = name
            if mode == "none":
                break
            if mode != "orange marker":
                box = [int(v) for v in mode.split(",")]
                if not (0 <= box[0] < box[2] <= width and 0 <= box[1] < box[3] <= height):
                    result["reason"] = (f"--crop-box {mode} does not lie inside the {width} x {height} frames "
                                        f"of camera {camera}")
                else:
                    result["box"] = box
                break
            _, text, vp = _first_frame(path, fps, os.path.join(scratch, "cropped"), camera, True)
            found = _CROP_LINE.search(text)
            if camera in vp.camera_crop_coords and found:
                result["box"] = [int(v) for v in vp.camera_crop_coords[camera]]
                orange = [int(v) for v in found.groups()]
                result["orange"] = orange
                area = (orange[2] - orange[0]) * (orange[3] - orange[1])
                if area < TINY_ORANGE_PIXELS:
                    result["warning"] = (
                        f"the orange region found in {name} covers only {area} pixels "
                        f"({orange[2] - orange[0]} x {orange[3] - orange[1]} at x={orange[0]}, y={orange[1]}): "
                        "a stray colour rather than the marker? Check the crop box on the camera's page, or "
                        "give --crop-box X1,Y1,X2,Y2 or --no-crop")
                break
            tried.append(f"no orange marker in the first frame of {name}")
        else:
            if tried:
                hint = any("orange" in t for t in tried)
                result["reason"] = "; ".join(tried) + ("; give --crop-box X1,Y1,X2,Y2 or --no-crop" if hint else "")
            else:
                result["reason"] = "no readable video"
        if result["source"] and result["reason"] is None and tried:
            result["note"] = f"crop box taken from {result['source']}: " + "; ".join(tried)
        if result["source"]:
            box = result["box"] if result["box"] is not None else (
                [0, 0] + result["frame_size"] if mode == "none" else None)
            result["thumbnail"] = _thumbnail(source_frame, box, result["orange"],
                                             layout.camera_file(out, camera, "_crop.png"))
    except Exception as exc:  # a crop box that cannot be found is the camera's links' reason
        result["reason"] = f"finding the crop box failed: {type(exc).__name__}: {exc}"
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    result["seconds"] = round(time.perf_counter() - t0, 3)
    return result


# ------------------------------------------------------------------ frames

_SEGMENT_END = re.compile(r"^(Skipping .*, already exists\.|Cropped frames from .* saved to .*\.|"
                          r"Error: Could not open video\.|Error: Could not read the first frame\.|"
                          r"No orange region detected\. Exiting\.)$", re.M)
_NO_FRAMES_WHY = {
    "Error: Could not open video.": "the video could not be opened",
    "Error: Could not read the first frame.": "the video ends before this segment (truncated, or shorter than "
                                              "its header says)",
    "No orange region detected. Exiting.": "no orange marker in the segment's first frame",
}


def extract_task(video, segments, crop, settings, out):
    """Frame folders of every segment of one video.

    `video` is (camera, name, path, date, time); `segments` the planned
    (segment, frames folder, expected frame count) in order; `crop` the camera's
    crop result. Returns {"video", "segments": {segment: {"frames", "expected",
    "reason"}}, "seconds"}.
    """
    import pandas as pd

    import herdmask as hm

    t0 = time.perf_counter()
    camera, name, path, date, clock = video
    result = {"video": name, "segments": {}, "error": None}
    mode = settings["crop"]
    if crop is None or (mode != "none" and crop.get("box") is None):
        why = (crop or {}).get("reason") or "no crop box for the camera"
        for segment, _, expected in segments:
            result["segments"][segment] = {"frames": 0, "expected": expected, "reason": why}
        result["seconds"] = round(time.perf_counter() - t0, 3)
        return result
    coords = {camera: tuple(crop["box"])} if crop.get("box") else {}
    log_path = layout.extraction_log(out, name)
    text = io.StringIO()
    try:
        vp = hm.VideoProcessor(time_step=settings["time_step"], output_dir_base=layout.frames_base(out),
                               camera_crop_coords=coords, crop=mode != "none")
        table = pd.DataFrame([{"Camera Number": camera, "Date": date, "Time": clock, "File Path": path,
                               "Video Name": name}])
        with contextlib.redirect_stdout(text):
            vp.process_videos_to_frames(table)
    except Exception as exc:  # the links of this video carry the reason
        result["error"] = f"frame extraction failed: {type(exc).__name__}: {exc}"
    finally:
        os.makedirs(os.path.dirname(log_path), exist_ok=True)
        with open(log_path, "a") as log:
            log.write(text.getvalue())
    ends = _SEGMENT_END.findall(text.getvalue())
    for i, (segment, folder, expected) in enumerate(segments):
        frames = len([n for n in os.listdir(folder) if n.endswith(".jpg")]) if os.path.isdir(folder) else 0
        reason = None
        if frames == 0:
            end = ends[i] if len(ends) == len(segments) else ""
            reason = result["error"] or _NO_FRAMES_WHY.get(end, "no frame of this segment could be read "
                                                                "(truncated video?)")
        result["segments"][segment] = {"frames": frames, "expected": expected, "reason": reason}
    result["seconds"] = round(time.perf_counter() - t0, 3)
    return result


# ------------------------------------------------------------------ links


def _gap_text(seconds):
    seconds = int(round(seconds))
    if seconds < 120:
        return f"{seconds} s"
    minutes = seconds // 60
    return f"{minutes // 60} h {minutes % 60} min" if minutes >= 60 else f"{minutes} min"


def _frames_text(frames):
    return ", ".join(str(f) for f in frames)


def _small_area_arguments(n, threshold):
    """The small-area search over the last third of a segment of n frames: a box is named when it
    stays at or below `threshold` pixels in more than half of those frames."""
    min_frame_id = -(-2 * n // 3) - 1
    late = max(0, n - min_frame_id - 1)
    return {"min_frame_id": min_frame_id, "area_threshold": threshold, "min_count": late // 2}


def _write_annotations(video_segments, names, annotation_dir):
    partial = annotation_dir + ".partial"
    _reset_dir(partial)
    stages.write_annotation_files(video_segments, names, partial)
    _reset_dir(annotation_dir)
    os.rename(partial, annotation_dir)


def _carry_of(record, link):
    return {"video": link.video, "segment": link.segment, "annotation_dir": link.annotation_dir,
            "end_time": link.end_time, "small_area_boxes": record.get("small_area_boxes") or [],
            "keys": record.get("keys") or []}


def _carried_start(link, carry, settings, names, models):
    """(Start with the carried keys, None) or (None, why the keys restart)."""
    gap = (datetime.fromisoformat(link.start_time) - datetime.fromisoformat(carry["end_time"])).total_seconds()
    source = f"{carry['video']} {carry['segment']}"
    if gap > settings["max_gap"]:
        return None, (f"{_gap_text(gap)} passed since the last tracked segment ({source}), more than "
                      f"--max-gap {settings['max_gap']} s")
    data = stages.last_annotation_frames(carry["annotation_dir"])
    if not data:
        return None, f"the annotation files of {source} are gone"
    step = settings["step"]
    tries = [i * step for i in range(settings["match_frames"]) if i * step < len(names)]
    with _MODEL_LOCK:
        start = stages.carry_start(data, names, models.image_predictor, carry["small_area_boxes"], tries)
    if start is None:
        return None, f"the matcher could not carry the animals of {source} into frame(s) {_frames_text(tries)}"
    return start, None


def _track_link(link, seg, prev, settings, record, models):
    from . import pages

    names = stages.frame_names_of(link.frames_dir)
    record["frames"] = len(names)
    if seg.get("expected") and len(names) < 0.9 * seg["expected"]:
        record["note"] = f"only {len(names)} of {seg['expected']} frames could be read (the video ends early)"
    carry = (prev or {}).get("carry")
    step = settings["step"]
    start = None
    if carry:
        start, restart_why = _carried_start(link, carry, settings, names, models)
        if start is not None:
            record["started"] = records.CARRIED
            record["carried_from"] = f"{carry['video']}/{carry['segment']}"
            record["matched_from"] = start.matched_from
        else:
            record["started"] = records.RESTARTED
            record["restart_reason"] = restart_why
    else:
        record["started"] = records.STARTED_BY_SEARCH
    if start is None:
        with _MODEL_LOCK:
            start = stages.search_start(link.frames_dir, names, models, settings["pen_json"],
                                        close_set_num=settings["animals"], step=step,
                                        gdino_thr=models.text_threshold)
        if start is None:
            examined = list(range(0, len(names), step))
            shown = _frames_text(examined[:6]) + (", ..." if len(examined) > 6 else "")
            record["status"] = records.NO_START
            record["reason"] = (f"no examined frame ({shown} of {len(names)}) shows exactly {settings['animals']} "
                                "animals apart in the pen")
            return
    record["start_frame"] = start.frame
    record["keys"] = list(start.keys)
    record["animals"] = len(start.keys)
    print(f"Tracking {len(start.keys)} animals ({', '.join(start.keys)}) from frame {start.frame}, "
          f"{record['started']}.")
    with _MODEL_LOCK:
        video_segments = stages.track(start, link.frames_dir, names, models, settings["pen_json"])
    _write_annotations(video_segments, names, link.annotation_dir)
    record["identities"] = stages.identity_rows(video_segments, start.keys)
    del video_segments

    _reset_dir(link.report_dir)
    small = _small_area_arguments(len(names), settings["small_area"])
    with _MODEL_LOCK:
        review = stages.review_annotations(link.annotation_dir, link.report_dir, models.image_predictor,
                                           small_area=small)
    record["questions"] = len(review.overlap_rows) + len(review.zero_area_rows)
    record["long_overlap"] = review.overlap_text()
    record["small_area_boxes"] = list(review.small_area_boxes)
    record["small_area_text"] = review.small_area_text()
    t0 = time.perf_counter()
    record["figures"] = pages.link_figures(link, review, start)
    record["report"] = os.path.relpath(review.report_path, link.out) if review.report_path else None
    record["status"] = records.DONE
    record["reason"] = ""
    pages.write_link_page(link, record, review)
    record["seconds_pages"] = round(time.perf_counter() - t0, 3)


def link_task(link_fields, extraction, prev, settings, fingerprint):
    """One link of a camera's chain; returns its record (see the module's docstring)."""
    t0 = time.perf_counter()
    link = Link(**link_fields)
    existing = records.read_json(link.record_path)
    if existing and existing.get("status") == records.DONE and existing.get("fingerprint") == fingerprint:
        return existing
    record = records.link_record(link, fingerprint)
    record.update(start_frame=None, frames=0, animals=0, keys=[], questions=None, long_overlap="", small_area_boxes=[],
                  note="", restart_reason="", worker=_worker_name())
    clock = _Clock()
    with _logged(link.log_path):
        print(f"== {link.describe()}: started on worker {record['worker']} (pid {os.getpid()}) at "
              f"{datetime.now().isoformat(timespec='seconds')}")
        try:
            if not link.segment:
                record["status"], record["reason"] = records.NO_FRAMES, ("the video could not be opened "
                                                                         "(unreadable, truncated or not a video)")
            elif extraction is None or extraction.get("error"):
                record["reason"] = (extraction or {}).get("error") or "frame extraction did not run"
            else:
                seg = extraction["segments"].get(link.segment) or {"frames": 0, "reason": "no frames extracted"}
                if not seg["frames"]:
                    record["status"], record["reason"] = records.NO_FRAMES, seg["reason"]
                else:
                    models = _timed_models(load_models(settings["model_settings"]), clock)
                    _track_link(link, seg, prev, settings, record, models)
        except Exception as exc:  # the record says what failed; the chain goes on
            record["status"] = records.FAILED
            record["reason"] = f"{type(exc).__name__}: {' '.join(str(exc).split())}"
            traceback.print_exc(file=sys.stdout)
        record["seconds"] = round(time.perf_counter() - t0, 3)
        record["seconds_models"] = round(clock.models, 3)
        record["seconds_library"] = round(record["seconds"] - clock.models - record.get("seconds_pages", 0), 3)
        record["finished"] = datetime.now().isoformat(timespec="seconds")
        if record["status"] == records.DONE:
            record["carry"] = _carry_of(record, link)
        else:
            record["carry"] = (prev or {}).get("carry")
        records.write_json(link.record_path, record)
        print(f"== link finished: {record['status']}" + (f" ({record['reason']})" if record["reason"] else ""))
    return record
