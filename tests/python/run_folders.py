"""Hand-made run folders: link records written directly, with annotation files and tracks
tables where a link is done, for the tests of identity, frame numbers, export and pages."""

import json
import os

from PIL import Image

from herdmask import export
from herdmask.app import records
from herdmask.app.runfolder import RunFolder, VideoEntry

WIDTH, HEIGHT = 40, 30
SEGMENT = "0min_to_0.1min"


def video_name(camera, n):
    return f"Camera{camera}_{n}_2024050110{n:02d}00"


def make_run(root, settings=None):
    run = RunFolder(root)
    run.write_settings(dict(settings or {}, version=2))
    os.makedirs(run.path("links"), exist_ok=True)
    return run


def add_videos(run, camera, counts):
    """Videos n = 1, 2, ... of `camera` with `counts` frames each."""
    run.add_videos([VideoEntry(str(camera), video_name(camera, n), f"/rec/{video_name(camera, n)}.mp4", "20240501",
                               f"10:{n:02d}:00", 10.0, count) for n, count in enumerate(counts, start=1)])


def add_link(run, camera, n, status="done", started="start-frame search", ids=None, source=None, frames=3,
             token=None):
    """Link of video n (its one segment); a done one gets `frames` annotation files of boxes Box0, Box1
    (Box0 left, Box1 right) at video positions 1, 2, ..."""
    ids = ids or {}
    video = video_name(camera, n)
    record = records.LinkRecord(str(camera), video, SEGMENT, n - 1, f"2024-05-01T10:{n:02d}:00",
                                f"2024-05-01T10:{n:02d}:06", status=status, started=started if status == "done" else "",
                                token=token or f"t{camera}{n}", fingerprint="f")
    if source is not None:
        record.carried_from, record.source_token = source.key, source.token
    if status == "done":
        record.keys = list(ids)
        record.track_ids = dict(ids)
        record.frames = frames
        record.positions = list(range(1, frames + 1))
        record.identities = [records.Identity(k, 0, frames - 1, frames, 40.0) for k in ids]
        annotation_dir, report_dir = run.staged_dirs(record)
        image = os.path.join(run.out, "frame.png")
        if not os.path.exists(image):
            Image.new("RGB", (WIDTH, HEIGHT)).save(image)
        for f in range(frames):
            dets = [{"object_id": int(k[3:]) + 1, "formatted_polygon": [_square(0.1 + 0.5 * int(k[3:]) + 0.02 * f)]}
                    for k in ids]
            with open(os.path.join(annotation_dir, f"output_pp_{f}.json"), "w") as out:
                json.dump({"image_path": image, "frame_index": f, "detections": dets}, out)
        export.segment_tracks(annotation_dir).to_csv(os.path.join(report_dir, "tracks.csv"), index=False)
    run.write_record(record)
    return record


def _square(x):
    return f"pig {x} 0.2 {x + 0.3} 0.2 {x + 0.3} 0.6 {x} 0.6"
