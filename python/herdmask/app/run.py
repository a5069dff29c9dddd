"""`herdmask run`: one dask job per video, resumable, with a run summary.

Layout under --out:
    frames/<date>/<video>/<segment>/right_cropped_frames/   extracted frames
    annotations/<video>/<segment>/output_pp_<n>.json       per-frame annotation files
    reports/<video>/<segment>/tracking_question_report.csv
    logs/<video>.log                                        everything a job printed
    jobs/<video>.json                                       written last: the job is finished
    run_summary.csv

A job is skipped when its jobs/ file exists; inside an unfinished job, frame
segments already extracted and segments already tracked (their annotation
folder holds a `.done` file) are skipped, so an interrupted run picks up where
it stopped. With --scheduler the workers must see --out and the recordings
under the same paths (a shared file system) and have herdmask installed.
"""

from __future__ import annotations

import contextlib
import json
import os
import sys
import time

__all__ = ["run_batch", "run_video_job"]

_MODELS = {}


def _models(cfg):
    from . import models as models_mod

    key = (cfg.get("gdino"), cfg.get("sam2_config"), cfg.get("sam2_checkpoint"), cfg.get("device"))
    if key not in _MODELS:
        _MODELS[key] = models_mod.load_models(*key)
    return _MODELS[key]


def _write_json(path, data):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(data, f, indent=2)
    os.replace(tmp, path)


def run_video_job(row, cfg):
    """Process one catalogued video (a dict of the catalogue's columns); returns its summary."""
    import pandas as pd

    from . import stages

    out = cfg["out"]
    video = row["Video Name"]
    marker = os.path.join(out, "jobs", video + ".json")
    if os.path.exists(marker):
        with open(marker) as f:
            return dict(json.load(f), status="skipped")
    for sub in ("jobs", "logs"):
        os.makedirs(os.path.join(out, sub), exist_ok=True)
    t0 = time.time()
    summary = {"video": video, "camera": row["Camera Number"], "date": row["Date"], "time": row["Time"],
               "segments": 0, "frames": 0, "tracked": 0, "no_start_frame": 0, "questions": 0}
    with open(os.path.join(out, "logs", video + ".log"), "a") as log, contextlib.redirect_stdout(log):
        models = _models(cfg)
        print(models.description)
        df = pd.DataFrame([{k: row[k] for k in ("Camera Number", "Date", "Time", "File Path", "Video Name")}])
        frames_base = os.path.join(out, "frames")
        stages.extract_frames(df, frames_base, time_step=cfg["time_step"])
        for folder in stages.segment_folders(frames_base, row["Date"], video):
            segment = os.path.basename(os.path.dirname(folder))
            names = stages.frame_names_of(folder)
            summary["segments"] += 1
            summary["frames"] += len(names)
            ann_dir = os.path.join(out, "annotations", video, segment)
            done = os.path.join(ann_dir, ".done")
            if os.path.exists(done):
                with open(done) as f:
                    seg = json.load(f)
            else:
                track = stages.track_segment(folder, models, cfg["pen_json"], ann_dir,
                                               close_set_num=cfg["animals"], step=cfg["step"])
                seg = {"ann_frame_idx": track.ann_frame_idx, "questions": 0}
                if track.ann_frame_idx is not None:
                    review = stages.review_annotations(ann_dir, os.path.join(out, "reports", video, segment))
                    seg["questions"] = len(review.overlap_rows) + len(review.zero_area_rows)
                os.makedirs(ann_dir, exist_ok=True)
                _write_json(done, seg)
            if seg["ann_frame_idx"] is None:
                summary["no_start_frame"] += 1
            else:
                summary["tracked"] += 1
                summary["questions"] += seg["questions"]
    summary["seconds"] = round(time.time() - t0, 1)
    _write_json(marker, summary)
    return dict(summary, status="done")


def _client(args):
    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        return Client(args.scheduler), None
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           dashboard_address=None, silence_logs=40)
    return Client(cluster), cluster


def run_batch(args) -> int:
    import pandas as pd
    from dask.distributed import as_completed
    from tqdm import tqdm

    from . import stages

    out = os.path.abspath(args.out)
    recordings = os.path.abspath(args.recordings_dir)
    if not os.path.isdir(recordings):
        print(f"herdmask run: no such folder: {recordings}", file=sys.stderr)
        return 2
    pen_json = os.path.abspath(args.pen_json or os.path.join(recordings, "pen_polygon.json"))
    if not os.path.exists(pen_json):
        print(f"herdmask run: no pen polygon file {pen_json}; give --pen-json", file=sys.stderr)
        return 2
    given = [args.gdino is not None, args.sam2_config is not None, args.sam2_checkpoint is not None]
    if any(given) and not all(given):
        print("herdmask run: give --gdino, --sam2-config and --sam2-checkpoint together, or none of them",
              file=sys.stderr)
        return 2
    os.makedirs(out, exist_ok=True)
    df = stages.catalogue(recordings, None, args.start, args.end, args.camera, args.sample_step)
    if df.empty:
        print("No camera video found in the time window.")
        return 0
    cfg = {"out": out, "time_step": args.time_step, "animals": args.animals, "step": args.step,
           "pen_json": pen_json, "gdino": args.gdino, "sam2_config": args.sam2_config,
           "sam2_checkpoint": args.sam2_checkpoint, "device": args.device}
    rows = df.to_dict("records")
    results = []
    todo = []
    for row in rows:
        marker = os.path.join(out, "jobs", row["Video Name"] + ".json")
        if os.path.exists(marker):
            with open(marker) as f:
                results.append(dict(json.load(f), status="skipped"))
        else:
            todo.append(row)
    print(f"{len(rows)} videos: {len(results)} already done, {len(todo)} to process.")
    if args.gdino:
        print(f"Models: Grounding DINO from {args.gdino}, SAM2 {args.sam2_checkpoint}.")
    else:
        from herdmask.testing import COLOUR_NOTICE

        print(COLOUR_NOTICE)
    if todo:
        client, cluster = _client(args)
        try:
            print(f"dask scheduler: {client.scheduler.address}")
            futures = {client.submit(run_video_job, row, cfg, pure=False,
                                     key=f"herdmask-{row['Video Name']}"): row for row in todo}
            for fut in tqdm(as_completed(futures), total=len(futures), desc="videos", unit="video"):
                row = futures[fut]
                try:
                    results.append(fut.result())
                except Exception as exc:  # one bad video must not stop the others
                    results.append({"video": row["Video Name"], "status": "failed",
                                    "error": f"{type(exc).__name__}: {exc}"})
        finally:
            client.close()
            if cluster is not None:
                cluster.close()
    table = pd.DataFrame(results)
    cols = [c for c in ("video", "status", "segments", "frames", "tracked", "no_start_frame", "questions",
                        "seconds", "error") if c in table.columns]
    table = table[cols].sort_values("video")
    table.to_csv(os.path.join(out, "run_summary.csv"), index=False)
    print()
    print("Run summary")
    print(table.to_string(index=False))
    failed = int((table["status"] == "failed").sum())
    print(f"{len(table)} videos: {int((table['status'] == 'done').sum())} processed, "
          f"{int((table['status'] == 'skipped').sum())} skipped (already done), {failed} failed. "
          f"Logs in {os.path.join(out, 'logs')}.")
    return 1 if failed else 0
