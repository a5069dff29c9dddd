"""Run folders made up without tracking, for trying the proofreading page, rendering and their
timings on a run of any size: one camera's chain of links, animals gliding as ellipses.

Only the first link's frames and annotation files are drawn; every other link's annotation
files are hard links to them (the same frames, the same masks), so a chain of thousands of
links costs the disk one link. Also `swap_ids`, which makes an identity swap in a run's
annotation files on purpose, as a tracker makes them.
"""

from __future__ import annotations

import json
import math
import os

import numpy as np

FPS = 25.0
from .. import records
from ..files import write_atomic
from ..runfolder import TRACKS, RunFolder, VideoEntry

__all__ = ["make_run_folder", "swap_ids"]


def _masks(frame, animals, height, width):
    """Boolean ellipse masks of the animals at a frame: each circles slowly round its own place."""
    yy, xx = np.ogrid[:height, :width]
    out = np.zeros((animals, height, width), dtype=bool)
    cols = math.ceil(math.sqrt(animals * width / height))
    rows = math.ceil(animals / cols)
    ry, rx = height / rows / 4, width / cols / 3.2
    for a in range(animals):
        angle = 0.02 * frame + a
        cy = (a // cols + 0.5) * height / rows + ry * 0.6 * math.sin(angle)
        cx = (a % cols + 0.5) * width / cols + rx * 0.6 * math.cos(angle)
        out[a] = ((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1
    return out


def _write_first_link(folder, frames_dir, frames, animals, height, width):
    import herdmask as hm
    from PIL import Image

    os.makedirs(frames_dir, exist_ok=True)
    ground = np.zeros((height, width, 3), dtype=np.uint8)
    ground[:] = (70, 62, 55)
    for i in range(frames):
        masks = _masks(i, animals, height, width)
        picture = ground.copy()
        for a in range(animals):
            picture[masks[a]] = (200 - 8 * a, 170, 150 + 6 * a)
        path = write_atomic(os.path.join(frames_dir, f"{i:04d}.jpg"),
                            lambda tmp, p=picture: Image.fromarray(p).save(tmp, "JPEG", quality=85))
        detections = []
        for oid, ((x, y, w, h), polygons) in enumerate(hm.mask_outlines(masks, "pig"), start=1):
            detections.append({"object_id": oid, "class_name": "pig", "xyxy": [[x, y, x + w, y + h]],
                               "formatted_polygon": polygons})
        with open(os.path.join(folder, f"output_pp_{i}.json"), "w") as f:
            json.dump({"image_path": os.path.abspath(path), "frame_index": i, "detections": detections}, f)


def _swap_tracks(run, record, first, key_a, key_b):
    """The link's tracks table with the two box keys swapped from frame `first` on."""
    table = run.tracks(record)
    later = table["frame"] >= first
    table.loc[later, "box_key"] = table.loc[later, "box_key"].map({key_a: key_b, key_b: key_a}).fillna(
        table.loc[later, "box_key"])
    table = table.sort_values(["frame", "box_key"], key=lambda c: c.str[3:].astype(int) if c.name == "box_key" else c)
    path = run.tracks_path(record)
    os.unlink(path)  # never written through a hard link
    table.to_csv(path, index=False)


def make_run_folder(out, links=3, frames=10, animals=3, height=96, width=144, segments_per_video=10,
                    time_step=0.04, camera="1"):
    """Writes a run folder of one camera's chain of `links` done links into `out`; returns `out`."""
    run = RunFolder(os.path.abspath(out))
    run.write_settings({"version": 2, "time_step": time_step})
    os.makedirs(run.path("links"), exist_ok=True)
    videos = -(-links // segments_per_video)
    names = [f"Camera{camera}_{v + 1}_20240501{10 + v // 60:02d}{v % 60:02d}00" for v in range(videos)]
    run.add_videos([VideoEntry(camera, name, f"/recordings/{name}.mp4", "20240501", f"{10 + v // 60:02d}:{v % 60:02d}:00",
                               FPS, segments_per_video * frames) for v, name in enumerate(names)])
    first, previous = None, None
    for n in range(links):
        video_no, seg_no = divmod(n, segments_per_video)
        start, end = round(seg_no * time_step, 6), round((seg_no + 1) * time_step, 6)
        clock = f"2024-05-01T{10 + video_no // 60:02d}:{video_no % 60:02d}:{seg_no * 3:02d}"
        record = records.LinkRecord(camera, names[video_no], f"{start!r}min_to_{end!r}min".replace(".0min", "min"),
                                    n, clock, clock, status=records.DONE, token=f"made-{n}", fingerprint="synthetic",
                                    started=records.STARTED_BY_SEARCH if n == 0 else records.CARRIED,
                                    start_frame=0, frames=frames, positions=list(range(seg_no * frames + 1,
                                                                                        (seg_no + 1) * frames + 1)),
                                    keys=[f"Box{a}" for a in range(animals)], questions=0,
                                    track_ids={f"Box{a}": a + 1 for a in range(animals)},
                                    identities=[records.Identity(f"Box{a}", 0, frames - 1, frames, 1.0)
                                                for a in range(animals)])
        if previous is not None:
            record.carried_from, record.source_token = previous.key, previous.token
        annotation_dir, report_dir = run.staged_dirs(record)
        if first is None:
            frames_dir = run.frames_dir("synthetic", "20240501", record.video, record.segment)
            _write_first_link(annotation_dir, frames_dir, frames, animals, height, width)
            from herdmask import export

            export.segment_tracks(annotation_dir).to_csv(os.path.join(report_dir, TRACKS), index=False)
            first = (annotation_dir, report_dir)
        else:
            for i in range(frames):
                name = f"output_pp_{i}.json"
                os.link(os.path.join(first[0], name), os.path.join(annotation_dir, name))
            os.link(os.path.join(first[1], TRACKS), os.path.join(report_dir, TRACKS))
        run.write_record(record)
        if first == (annotation_dir, report_dir):
            first = (run.annotation_dir(record), run.report_dir(record))
        previous = record
    return run.out


def swap_ids(out, video, segment, frame, key_a, key_b):
    """Swaps two box keys in the run's annotation files and tracks tables from `frame` of the link
    video/segment to the end of its camera's chain (files are written anew, never through a hard
    link): an identity swap as a tracker makes one. Returns the number of files changed."""
    from .source import RunView

    view = RunView.open(out)
    link = next(lk for lk in view.links.values() if lk.video == video and lk.segment == segment)
    a, b = int(key_a[3:]) + 1, int(key_b[3:]) + 1
    changed = 0
    for later in view.cameras[link.camera][link.position:]:
        if not later.done:
            continue
        first = frame if later is link else 0
        for index in range(first, later.frames):
            path = view.annotation_path(later, index)
            with open(path) as f:
                data = json.load(f)
            for det in data["detections"]:
                det["object_id"] = {a: b, b: a}.get(det["object_id"], det["object_id"])
            data["detections"].sort(key=lambda d: d["object_id"])
            os.unlink(path)
            with open(path, "w") as f:
                json.dump(data, f, indent=4)
            changed += 1
        _swap_tracks(view.run, later.record, first, key_a, key_b)
    return changed
