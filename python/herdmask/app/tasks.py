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
import inspect
import io
import os
import shutil
import sys
import threading
import time
import traceback
import uuid
from datetime import datetime

import herdmask as hm

from . import identity, records, stages
from .files import write_atomic
from .models import load_models
from .plan import Link
from .runfolder import CONTACTS, CONTACTS_REACH, TRACKS, TRACKS_COLUMNS, RunFolder

__all__ = ["ModelsPlugin", "crop_task", "extract_task", "link_task", "new_token"]

# A worker with several threads would run tasks side by side, sharing the process's
# standard output (each task's log) and pyplot's current figure: its tasks take turns.
_TASK_LOCK = threading.RLock()
TINY_ORANGE_PIXELS = 64

try:
    from distributed.diagnostics.plugin import WorkerPlugin
except ImportError:  # the tasks also run without dask, e.g. called directly
    WorkerPlugin = object


def new_token():
    """Names one making of a link (its record and outputs)."""
    return uuid.uuid4().hex[:12]


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
            result = fn(*args, **kwargs)
        finally:
            self._clock.models += time.perf_counter() - t0
        return self._timed_steps(result) if inspect.isgenerator(result) else result

    def _timed_steps(self, steps):
        """A model that hands over its results one by one (the tracker) works while it is asked
        for the next one."""
        try:
            while True:
                t0 = time.perf_counter()
                try:
                    item = next(steps)
                except StopIteration:
                    return
                finally:
                    self._clock.models += time.perf_counter() - t0
                yield item
        finally:
            steps.close()

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


def _first_frame(path, dest):
    """Writes the video's whole first frame to `dest` (JPEG); returns it, or None when it cannot be read."""
    from PIL import Image

    try:
        frame = hm.read_frame(path, 0)
    except hm.UnreadableVideoError:
        return None
    return write_atomic(dest, Image.fromarray(frame[:, :, ::-1]).save)


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
    with _TASK_LOCK:
        return _crop(camera, videos, settings, RunFolder(out))


def _crop(camera, videos, settings, run):
    from PIL import Image

    t0 = time.perf_counter()
    mode = settings["crop"]
    result = {"camera": camera, "box": None, "source": None, "orange": None, "frame_size": None,
              "warning": None, "reason": None, "thumbnail": None}
    scratch = run.camera_scratch(camera)
    source_frame = os.path.join(scratch, "source.jpg")  # the whole first frame of the source, for the thumbnail
    tried = []
    try:
        for name, path, _ in videos:
            if _first_frame(path, source_frame) is None:
                tried.append(f"the first frame of {name} cannot be read")
                continue
            with Image.open(source_frame) as im:
                width, height = im.size
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
            finding = hm.VideoProcessor().find_crop_box(path)
            if finding is not None:
                result["box"] = list(finding.box)
                orange = result["orange"] = list(finding.orange)
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
            result["thumbnail"] = _thumbnail(source_frame, box, result["orange"], run.camera_file(camera, "_crop.png"))
    except Exception as exc:  # a crop box that cannot be found is the camera's links' reason
        result["reason"] = f"finding the crop box failed: {type(exc).__name__}: {exc}"
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    result["seconds"] = round(time.perf_counter() - t0, 3)
    return result


# ------------------------------------------------------------------ frames


def extract_task(video, segments, crop, settings, out):
    """Frame folders of every segment of one video.

    `video` is (camera, name, path, date, time); `segments` the planned
    (segment, frames folder) in order; `crop` the camera's crop result. Returns
    {"video", "segments": {segment: {"frames", "reason"}}, "error", "seconds"}.
    """
    with _TASK_LOCK:
        return _extract(video, segments, crop, settings, RunFolder(out))


def _no_frames_why(outcome):
    """Why a segment's extraction left no frame, in words."""
    import herdmask as hm

    status = outcome.status
    if outcome.error is not None:
        return f"frame extraction failed: {type(outcome.error).__name__}: {outcome.error}"
    return {hm.SegmentStatus.CANNOT_OPEN: "the video could not be opened",
            hm.SegmentStatus.FIRST_FRAME_UNREADABLE: "the video ends before this segment (truncated, or shorter "
                                                     "than its header says)",
            hm.SegmentStatus.NO_MARKER: "no orange marker in the segment's first frame",
            hm.SegmentStatus.NOT_TRIED: "not tried: frame extraction failed on an earlier segment of the video",
            }.get(status, "no frame of this segment could be read (truncated video?)")


def _box_in(box, width, height):
    """The part of the video's frames a crop box (None: the whole frame) keeps, as x1, y1, x2, y2."""
    if box is None:
        return [0, 0, width, height]
    x1, y1, x2, y2 = box
    return [max(0, x1), max(0, y1), min(width, x2), min(height, y2)]


def _extract(video, segments, crop, settings, run):
    import herdmask as hm

    t0 = time.perf_counter()
    camera, name, path, date, _ = video
    result = {"video": name, "segments": {}, "error": None}
    mode = settings["crop"]
    if crop is None or (mode != "none" and crop.get("box") is None):
        why = (crop or {}).get("reason") or "no crop box for the camera"
        result["segments"] = {segment: {"frames": 0, "reason": why} for segment, _ in segments}
        result["seconds"] = round(time.perf_counter() - t0, 3)
        return result
    coords = {camera: tuple(crop["box"])} if crop.get("box") else {}
    base = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(segments[0][1]))))
    wanted = {folder for _, folder in segments}
    for folder in wanted:
        if run.is_thinned(folder):  # its frames went after an earlier making: made whole again
            _reset_dir(folder)
    text = io.StringIO()
    outcomes, box = {}, None
    try:
        info = hm.probe_video(path)
        box = _box_in(crop.get("box"), info.width, info.height)
        resize = settings.get("resize")
        vp = hm.VideoProcessor(time_step=settings["time_step"], output_dir_base=base, camera_crop_coords=coords,
                               crop=mode != "none", frame_skip=settings.get("frame_skip", 1),
                               resize_dim=None if resize is None else (0, resize))
        with contextlib.redirect_stdout(text):
            outcomes = {o.folder: o for o in vp.extract_video(path, name, date, camera)}
    except Exception as exc:  # the links of this video carry the reason
        result["error"] = f"frame extraction failed: {type(exc).__name__}: {exc}"
    finally:
        log_path = run.extraction_log(name)
        os.makedirs(os.path.dirname(log_path), exist_ok=True)
        with open(log_path, "a") as log:
            log.write(text.getvalue())
    if not settings.get("keep_frames"):
        # segments of the video no link of this run tracks (done before, their frames gone since)
        for outcome in outcomes.values():
            if outcome.status == hm.SegmentStatus.WRITTEN and outcome.frames_dir not in wanted:
                run.thin_frames(outcome.frames_dir)
    for segment, _ in segments:
        outcome = outcomes.get(segment)
        frames = outcome.frames if outcome is not None else 0
        reason = None
        if not frames:
            reason = result["error"] or (_no_frames_why(outcome) if outcome is not None
                                         else "the video could not be opened")
        result["segments"][segment] = {"frames": frames, "reason": reason, "crop_box": box}
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


def _step_in_saved_frames(settings):
    """--step counts frames of the video; with --frame-skip N the frame folder holds one in N."""
    return max(1, round(settings["step"] / settings.get("frame_skip", 1)))


def _described(key):
    return key.replace("/", " ")


def _last_masks(data):
    """{box key: mask} of the animals seen in the last frame of annotation data."""
    last = data[max(data)]
    return {k: m for k, m in last["masks_dict"].items() if last["mask_areas"].get(k, 0) > 0}


class _Lineage:
    """How a link starts: from its source's animals (carried or re-linked) or afresh."""

    def __init__(self, link, source, settings, names, models):
        self.link, self.source, self.settings, self.names, self.models = link, source, settings, names, models
        self.restart_reason = ""
        self.data = None

    def within_gap(self):
        gap = (datetime.fromisoformat(self.link.start_time)
               - datetime.fromisoformat(self.source.end_time)).total_seconds()
        if gap > self.settings["max_gap"]:
            self.restart_reason = (f"{_gap_text(gap)} passed since the last tracked segment "
                                   f"({_described(self.source.key)}), more than --max-gap {self.settings['max_gap']} s")
            return False
        return True

    def carry(self, run):
        """A Start with the source's keys, or None (the reason kept)."""
        self.data = stages.last_annotation_frames(run.annotation_dir(self.source))
        if not self.data:
            self.restart_reason = f"the annotation files of {_described(self.source.key)} are gone"
            return None
        small = set(self.source.small_area_boxes)
        if set(self.data[max(self.data)]["masks_dict"]) <= small:
            # the matcher would accept carrying no animal at all
            self.restart_reason = (f"every animal of {_described(self.source.key)} stayed small late in it "
                                   "(--small-area)")
            return None
        step = _step_in_saved_frames(self.settings)
        tries = [i * step for i in range(self.settings["match_frames"]) if i * step < len(self.names)]
        start = stages.carry_start(self.data, self.names, self.models.image_predictor, self.source.small_area_boxes,
                                   tries)
        if start is None:
            self.restart_reason = (f"the matcher could not carry the animals of {_described(self.source.key)} "
                                   f"into frame(s) {_frames_text(tries)}")
        return start

    def relink(self, start):
        """{new key: source key} when the searched start masks match the source's last animals by
        position without doubt, else None."""
        if not self.data:
            return None
        previous = _last_masks(self.data)
        found = hm.relink_by_position(previous, dict(zip(start.keys, stages.start_planes(start))),
                                      self.settings["relink_cost"], self.settings["relink_margin"])
        if not found.unambiguous:
            self.restart_reason += "; the animals found anew could not be told apart by position"
            return None
        return dict(found.pairs)


def _start(link, source, settings, names, models, run, record, highest, pen_json):
    """Finds the start of tracking and the animals' track ids; None when no frame works (the
    record then says why)."""
    lineage = _Lineage(link, source, settings, names, models) if source is not None else None
    start, key_map = None, None
    if lineage is not None and lineage.within_gap():
        start = lineage.carry(run)
        if start is not None:
            record.started = records.CARRIED
    if start is None:
        start = stages.search_start(link.frames_dir, names, models, pen_json,
                                    close_set_num=settings["animals"], step=_step_in_saved_frames(settings),
                                    gdino_thr=models.text_threshold)
        if start is None:
            examined = list(hm.examined_frames(len(names), 0, _step_in_saved_frames(settings)))
            shown = _frames_text(examined[:6]) + (", ..." if len(examined) > 6 else "")
            record.status = records.NO_START
            record.reason = (f"no examined frame ({shown} of {len(names)}) shows exactly {settings['animals']} "
                             "animals apart in the pen")
            if lineage is not None and lineage.restart_reason:
                record.reason += f" (the keys were to restart: {lineage.restart_reason})"
            return None
        if lineage is None:
            record.started = records.STARTED_BY_SEARCH
        else:
            key_map = lineage.relink(start) if lineage.data else None
            record.started = records.RELINKED if key_map else records.RESTARTED
            record.restart_reason = lineage.restart_reason
    if record.started in records.LINEAGE:
        record.carried_from, record.source_token = source.key, source.token
        record.track_ids = identity.carried_ids(source, start.keys, key_map)
    else:
        record.track_ids = identity.fresh_ids(start.keys, highest)
    record.matched_from = start.matched_from
    return start


def _tracks_table(data):
    """Per annotation file and box key, what the annotation files hold as the loader reads them."""
    from herdmask import export

    return export.segment_tracks(data)[TRACKS_COLUMNS]


def _image_size(path):
    from PIL import Image

    with Image.open(path) as im:
        return list(im.size)


def _pen_for(run, record, settings):
    """The pen polygon file in the coordinates of the link's frames: the given one, or for scaled
    frames a copy scaled with them (the file's points are in the crop's pixels)."""
    if record.resize_height is None:
        return settings["pen_json"]
    return stages.scaled_pen_file(settings["pen_json"], record.frame_scale(),
                                  run.camera_file(record.camera, "_pen_scaled.json"))


def _track_link(link, seg, source, settings, record, models, run, highest):
    from . import pages

    names = stages.frame_names_of(link.frames_dir)
    record.frames = len(names)
    record.frames_dir = os.path.relpath(link.frames_dir, run.out)
    record.positions = list(link.positions[:len(names)])
    record.frame_step = settings.get("frame_skip", 1)
    record.crop_box, record.resize_height = list(seg["crop_box"]), settings.get("resize")
    record.frame_size = _image_size(names[0]) if names else []
    if link.positions and len(names) < 0.9 * len(link.positions):
        record.note = f"only {len(names)} of {len(link.positions)} frames could be read (the video ends early)"
    pen_json = _pen_for(run, record, settings)
    start = _start(link, source, settings, names, models, run, record, highest, pen_json)
    if start is None:
        return
    record.start_frame = start.frame
    record.keys = list(start.keys)
    print(f"Tracking {len(start.keys)} animals ({', '.join(start.keys)}) from frame {start.frame}, "
          f"{record.how_started()}; track ids {', '.join(str(record.track_ids[k]) for k in start.keys)}.")
    annotation_dir, report_dir = run.staged_dirs(record)
    # Each frame is written as soon as it is refined: the tracker's result is never held whole.
    tally = stages.IdentityTally(start.keys)
    with contextlib.closing(stages.track_refined(start, link.frames_dir, names, models, pen_json)) as frames:
        for idx, objects in frames:
            stages.write_annotation_file(idx, objects, names, annotation_dir)
            tally.add(idx, objects)
    record.identities = [records.Identity(**row) for row in tally.rows()]

    # --small-area counts pixels of the video, whatever size its frames were tracked at
    sx, sy = record.frame_scale()
    small = _small_area_arguments(len(names), settings["small_area"] * sx * sy)
    review = stages.review_annotations(annotation_dir, report_dir, models.image_predictor, small_area=small)
    write_atomic(os.path.join(report_dir, TRACKS),
                 lambda tmp: _tracks_table(review.annotation_data).to_csv(tmp, index=False))
    # which animals touch, frame by frame, read off the same masks as the tracks table
    write_atomic(os.path.join(report_dir, CONTACTS), lambda tmp: hm.behaviour.segment_contacts(
        review.annotation_data, CONTACTS_REACH).to_csv(tmp, index=False))
    record.questions = len(review.overlap_rows) + len(review.zero_area_rows)
    record.long_overlap = review.overlap_text()
    record.long_overlaps = [records.LongOverlap(*run) for run in review.overlap_runs()]
    record.overlap_went_wrong = review.went_wrong()
    record.small_area_boxes = list(review.small_area_boxes)
    record.small_area_text = review.small_area_text()
    t0 = time.perf_counter()
    record.figures = pages.link_figures(report_dir, review, start)
    record.report = os.path.basename(review.report_path) if review.report_path else None
    record.status = records.DONE
    record.reason = ""
    pages.write_link_page(run, record, report_dir, review)
    record.seconds_pages = round(time.perf_counter() - t0, 3)


def link_task(link_fields, segment, source_key, highest, settings, fingerprint, token, redo_reason=""):
    """One link of a camera's chain; returns its record as a dict.

    Takes plain values only. `segment` is what extraction made of the link's
    segment ({"frames", "reason"}; None for a video that cannot be opened);
    `source_key` the key of the chain's last done link before this one ("" when
    none), whose record is read from the run folder; `highest` the highest track
    id the camera's chain has used; `token` names this making of the link. A
    link that finds its record of this making already written (its worker died
    after writing it) returns that record instead of doing the work again.
    Whatever goes wrong becomes the record's status and reason.
    """
    with _TASK_LOCK:
        return _link(Link(**link_fields), segment, source_key, highest, settings, fingerprint, token,
                     redo_reason).to_dict()


def _link(link, segment, source_key, highest, settings, fingerprint, token, redo_reason):
    t0 = time.perf_counter()
    run = RunFolder(settings["out"])
    existing = run.read_record(link.video, link.segment)
    if existing is not None and existing.token == token:
        _let_frames_go(run, link, settings)
        return existing
    record = records.LinkRecord(link.camera, link.video, link.segment, link.position, link.start_time,
                                link.end_time, fingerprint=fingerprint, token=token, worker=_worker_name(),
                                redo_reason=redo_reason)
    clock = _Clock()
    with _logged(run.log_path(record)):
        print(f"== {link.describe()}: started on worker {record.worker} (pid {os.getpid()}) at "
              f"{datetime.now().isoformat(timespec='seconds')}")
        if redo_reason:
            print(f"Made again: {redo_reason}.")
        try:
            source = run.read_record(*source_key.split("/", 1)) if source_key else None
            if source_key and (source is None or not source.done):
                raise RuntimeError(f"the record of {source_key}, the last done link before this one, is gone")
            if not link.segment:
                record.status, record.reason = records.NO_FRAMES, ("the video could not be opened "
                                                                   "(unreadable, truncated or not a video)")
            elif not segment or not segment.get("frames"):
                record.status = records.NO_FRAMES
                record.reason = (segment or {}).get("reason") or "no frames extracted"
            else:
                models = _timed_models(load_models(settings["model_settings"]), clock)
                _track_link(link, segment, source, settings, record, models, run, highest)
        except Exception as exc:  # the record says what failed; the chain goes on
            record.status = records.FAILED
            record.reason = f"{type(exc).__name__}: {' '.join(str(exc).split())}"
            traceback.print_exc(file=sys.stdout)
        record.seconds = round(time.perf_counter() - t0, 3)
        record.seconds_models = round(clock.models, 3)
        record.seconds_library = round(record.seconds - clock.models - record.seconds_pages, 3)
        record.finished = datetime.now().isoformat(timespec="seconds")
        run.write_record(record)
        _let_frames_go(run, link, settings)
        print(f"== link finished: {record.status}" + (f" ({record.reason})" if record.reason else ""))
    return record


def _let_frames_go(run, link, settings):
    """Once the link's record is written nothing reads its frames but the loaders of its annotation
    files, which need the first one only; pages read frames again from the video."""
    if link.segment and link.frames_dir and not settings.get("keep_frames"):
        try:
            run.thin_frames(link.frames_dir)
        except OSError as exc:  # the frames stay; the link's results do not depend on them
            print(f"The frames in {link.frames_dir} could not be deleted: {exc}")
