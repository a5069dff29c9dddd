"""`herdmask run`: every camera's recordings as one chain of links, on dask.distributed.

What it writes under --out is described in `layout`. A link is skipped on a
rerun only when its record says done with the same settings; every other link
is tried again. With --scheduler the workers must see the recordings and --out
under the same paths (a shared file system) and have herdmask installed.
"""

from __future__ import annotations

import collections
import contextlib
import dataclasses
import io
import math
import os
import shutil
import sys
import tempfile
import time
import uuid

from . import layout, pages, plan, records, stages
from .models import ModelLoadError, ModelSettings, check_models

__all__ = ["run_batch", "EXIT_OK", "EXIT_NOT_DONE", "EXIT_BAD_INPUT", "EXIT_SETTINGS_DIFFER"]

EXIT_OK, EXIT_NOT_DONE, EXIT_BAD_INPUT, EXIT_SETTINGS_DIFFER = 0, 1, 2, 3


class _Stop(Exception):
    """A problem found before any work starts: one line for the user, and the exit status."""

    def __init__(self, message, code=EXIT_BAD_INPUT):
        super().__init__(message)
        self.code = code


# ------------------------------------------------------------------ checks before any work


def _check_output_folder(out):
    """The output folder, or the nearest folder above it that exists, takes a file; nothing is
    made yet, so a run stopped by a later check leaves no folder behind."""
    existing = out
    while not os.path.lexists(existing):
        existing = os.path.dirname(existing)
    try:
        if not os.path.isdir(existing):
            raise NotADirectoryError(f"{existing} is not a folder")
        with tempfile.NamedTemporaryFile(dir=existing, prefix=".herdmask-write-test"):
            pass
    except OSError as exc:
        raise _Stop(f"the output folder {out} cannot be written: {exc.strerror or exc}") from None


def _check_pen_file(path):
    import herdmask as hm

    if not os.path.isfile(path):
        raise _Stop(f"no pen polygon file {path}; give --pen-json FILE")
    try:
        polygon = hm.draw_pen(None, path, drawout=False)
    except KeyError as exc:
        raise _Stop(f"the pen polygon file {path} cannot be used: it has no {exc} entry") from None
    except Exception as exc:  # any reading fault is the user's file, said in one line
        raise _Stop(f"the pen polygon file {path} cannot be used: {' '.join(str(exc).split())}") from None
    if len(polygon) < 3:
        raise _Stop(f"the pen polygon in {path} has {len(polygon)} point(s); a polygon needs at least 3")


def _preflight(args):
    recordings = os.path.abspath(args.recordings_dir)
    if not os.path.isdir(recordings):
        raise _Stop(f"no such folder: {recordings}")
    if args.start >= args.end:
        raise _Stop(f"--start {args.start} is not before --end {args.end}: the time window is empty")
    pen_json = os.path.abspath(args.pen_json or os.path.join(recordings, "pen_polygon.json"))
    _check_pen_file(pen_json)
    table = _catalogue(args, recordings)
    out = os.path.abspath(args.out)
    _check_output_folder(out)
    model_settings = ModelSettings.from_args(args)
    try:
        # the driver only checks: it keeps no model in memory while the workers load their own
        description = check_models(model_settings).description
    except ModelLoadError as exc:
        raise _Stop(str(exc)) from None
    return recordings, table, out, pen_json, model_settings, description


def _catalogue(args, recordings):
    with contextlib.redirect_stdout(io.StringIO()):
        table = stages.catalogue(recordings, None, args.start, args.end, args.camera, args.sample_step)
    if table.empty:
        why = plan.explain_empty_catalogue(recordings, args.start, args.end, args.camera)
        raise _Stop("no video to process in " + recordings + (": " + " ".join(why) if why else "."))
    return table


@contextlib.contextmanager
def _output_lock(out):
    """Holds the output folder's lock for the run, so that two runs never write into one
    folder at once. The system drops the lock when the process ends, however it ends."""
    import fcntl

    os.makedirs(out, exist_ok=True)
    fd = os.open(os.path.join(out, layout.RUN_LOCK), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise _Stop(f"another herdmask run is writing into {out}; wait for it to end or choose "
                        "another --out") from None
        yield
    finally:
        os.close(fd)


def _settle_settings(args, out, current):
    """Compares with the settings stored in `out`; with --redo clears results made otherwise."""
    os.makedirs(out, exist_ok=True)
    path = os.path.join(out, layout.SETTINGS)
    stored = records.read_json(path)
    if stored is not None and stored != current:
        differences = records.settings_differences(stored, current)
        if not args.redo:
            raise _Stop(f"{out} holds results made with other settings ({'; '.join(differences)}). "
                        "Rerun with --redo to redo them with the new settings, or choose another --out.",
                        EXIT_SETTINGS_DIFFER)
        print(f"Settings changed ({'; '.join(differences)}): --redo removes the results made with the old ones.")
        folders = [os.path.join(out, name) for name in layout.RESULT_FOLDERS]
        if any(stored.get(k) != current.get(k) for k in records.EXTRACTION_SETTINGS):
            folders.append(layout.frames_base(out))
        for folder in folders:
            shutil.rmtree(folder, ignore_errors=True)
    records.write_json(path, current)


# ------------------------------------------------------------------ the cluster


def _client(args):
    import logging

    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        try:
            return Client(args.scheduler, timeout="15s"), None
        except (OSError, TimeoutError) as exc:
            raise _Stop(f"cannot reach the dask scheduler at {args.scheduler}: {exc}") from None
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           dashboard_address=":0", silence_logs=logging.ERROR)
    return Client(cluster), cluster


def _register_models(client, model_settings):
    from .tasks import ModelsPlugin

    per_host = collections.Counter(address.rsplit(":", 1)[0] for address in client.scheduler_info()["workers"])
    replies = client.register_plugin(ModelsPlugin(model_settings, per_host))
    for worker, reply in (replies or {}).items():
        if isinstance(reply, dict) and reply.get("status") == "error":
            raise _Stop(f"the models do not load on worker {worker}: {reply.get('exception_text') or reply}")
    return sum(per_host.values())


# ------------------------------------------------------------------ the run


def _expected_frames(video, link):
    if not video.fps:
        return 0
    return round(video.fps * 60 * link.end_min) - round(video.fps * 60 * link.start_min)


def _line(link, r):
    head = link.describe()
    if r["status"] != records.DONE:
        return f"{head}: {r['status']}, {r['reason']}"
    text = (f"{head}: done, {records.how_started(r)}; {r['animals']} animals from frame {r['start_frame']}, "
            f"{r['questions']} question(s) in the report")
    if r.get("restart_reason"):
        text += f". Keys restarted: {r['restart_reason']}"
    return text + (f". Note: {r['note']}" if r.get("note") else "")


def _lost(link, exc, fingerprint):
    text = " ".join(str(exc).split()) or type(exc).__name__
    return records.link_record(link, fingerprint, f"the task did not finish: {type(exc).__name__}: {text}")


class _Progress:
    """The records of the links that have ended, and run_summary.csv made from them."""

    # Each rewrite takes time in proportion to the links ended so far: rewritten after every
    # link, a run (or a rerun) of days of recordings spent hours of the driver's time on it.
    SECONDS_BETWEEN_WRITES = 2.0

    def __init__(self, out, chains):
        self.out = out
        self.chains = chains
        self.records = {}
        self.written = -math.inf

    def set(self, link, record):
        """Keeps a link's record; run_summary.csv follows within a few seconds."""
        self.records[link.key] = record
        if time.perf_counter() - self.written >= self.SECONDS_BETWEEN_WRITES:
            self.write()

    def write(self):
        ordered = [self.records[lk.key] for links in self.chains.values() for lk in links if lk.key in self.records]
        records.write_table(os.path.join(self.out, layout.RUN_SUMMARY), records.summary_table(ordered))
        self.written = time.perf_counter()

    def per_chain(self):
        return [[self.records[lk.key] for lk in links if lk.key in self.records] for links in self.chains.values()]


def _submit(client, chains, videos, done, task_settings, fingerprint, out):
    from .tasks import crop_task, extract_task, link_task

    token = uuid.uuid4().hex[:8]
    crop_futures, extract_futures, link_futures = {}, [], {}
    for camera, links in chains.items():
        todo = [lk for lk in links if lk.key not in done]
        if not todo:
            continue
        # grouped once: days of recordings make tens of thousands of links per camera
        by_video = {}
        for lk in links:
            by_video.setdefault(lk.video, []).append(lk)
        readable = [(v.name, v.path, v.fps) for v in map(videos.get, by_video) if v.minutes]
        crop = None
        if any(lk.segment for lk in todo):
            crop = client.submit(crop_task, camera, readable, task_settings, out, key=f"herdmask-{token}-crop-{camera}",
                                 priority=20, pure=False)
            crop_futures[camera] = crop
        extraction = {}
        for name in dict.fromkeys(lk.video for lk in todo if lk.segment):
            v = videos[name]
            segs = [(lk.segment, lk.frames_dir, _expected_frames(v, lk)) for lk in by_video[name]]
            extraction[name] = client.submit(extract_task, (v.camera, v.name, v.path, v.date, v.time), segs, crop,
                                             task_settings, out, key=f"herdmask-{token}-frames-{name}", pure=False)
        prev = None
        for lk in links:
            if lk.key in done:
                prev = done[lk.key]
                continue
            fut = client.submit(link_task, dataclasses.asdict(lk), extraction.get(lk.video), prev, task_settings,
                                fingerprint, key=f"herdmask-{token}-link-{camera}-{lk.position}", priority=10,
                                pure=False)
            link_futures[fut.key] = (fut, lk)
            prev = fut
        extract_futures.extend(extraction.values())
    return crop_futures, extract_futures, link_futures


def _camera_info(out, camera, crop):
    path = layout.camera_file(out, camera, ".json")
    if crop is not None:
        records.write_json(path, crop)
        return crop
    return records.read_json(path) or {"camera": camera}


def _crop_result(fut, camera):
    try:
        return fut.result()
    except Exception as exc:  # the task was lost with its workers: the camera's links say why
        return {"camera": camera, "box": None, "reason": f"finding the crop box did not finish: {exc}"}


def _run_on_cluster(args, chains, videos, done, task_settings, fingerprint, progress, timing, crops, start_wall):
    """Submits the chains and follows them to the end; returns (setup, cluster wall, workers) seconds."""
    from dask.distributed import as_completed
    from tqdm import tqdm

    out = progress.out
    client, cluster = _client(args)
    try:
        n_workers = _register_models(client, task_settings["model_settings"])
        print(f"dask scheduler {client.scheduler.address}, {n_workers or 'no'} worker(s)"
              + ("" if n_workers else " yet: the links wait for workers to join"))
        t_cluster = time.perf_counter()
        crop_futures, extract_futures, link_futures = _submit(client, chains, videos, done, task_settings,
                                                              fingerprint, out)
        cameras_of = {fut.key: camera for camera, fut in crop_futures.items()}
        bar = tqdm(total=len(link_futures), unit="link", desc="links", file=sys.stderr, leave=False,
                   disable=not sys.stderr.isatty())
        for fut in as_completed(list(crop_futures.values()) + [f for f, _ in link_futures.values()]):
            if fut.key in cameras_of:
                crop = crops[cameras_of[fut.key]] = _crop_result(fut, cameras_of[fut.key])
                timing["extraction"] += crop.get("seconds", 0)
                if crop.get("warning"):
                    tqdm.write(f"Camera {crop['camera']}: warning: {crop['warning']}.", file=sys.stdout)
                if crop.get("note"):
                    tqdm.write(f"Camera {crop['camera']}: {crop['note']}.", file=sys.stdout)
                continue
            lk = link_futures[fut.key][1]
            try:
                r = fut.result()
            except Exception as exc:  # a lost task (its worker died too often) or a cancelled one
                r = _lost(lk, exc, fingerprint)
                records.write_json(lk.record_path, r)
            progress.set(lk, r)
            for key in ("models", "library", "pages"):
                timing[key] += r.get(f"seconds_{key}") or 0
            bar.update(1)
            tqdm.write(_line(lk, r), file=sys.stdout)
        bar.close()
        for ext in client.gather(extract_futures, errors="skip"):
            timing["extraction"] += ext.get("seconds", 0)
        n_workers = max(n_workers, len(client.scheduler_info()["workers"]))
        return t_cluster - start_wall, time.perf_counter() - t_cluster, n_workers
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def _run(args):
    start_wall = time.perf_counter()
    checked = _preflight(args)
    with _output_lock(checked[2]):
        return _run_locked(args, start_wall, *checked)


def _run_locked(args, start_wall, recordings, table, out, pen_json, model_settings, description):
    current = records.run_settings(args, model_settings, pen_json)
    _settle_settings(args, out, current)
    fingerprint = records.fingerprint(current)
    chains, videos = plan.build_chains(table, out, args.time_step)
    all_links = [lk for links in chains.values() for lk in links]
    progress = _Progress(out, chains)
    done = {}
    for lk in all_links:
        r = records.read_json(lk.record_path)
        if args.redo:
            if r is not None:
                os.remove(lk.record_path)
        elif r and r.get("status") == records.DONE and r.get("fingerprint") == fingerprint:
            done[lk.key] = r
            progress.set(lk, r)
    progress.write()
    print(f"{len(videos)} video(s) of {len(chains)} camera(s): {len(all_links)} links, {len(done)} done in an "
          f"earlier run, {len(all_links) - len(done)} to do.")
    print(description)
    unreadable = [v.name for v in videos.values() if not v.minutes]
    if unreadable:
        print(f"Cannot open {len(unreadable)} video(s): {', '.join(unreadable)}.")
    task_settings = dict(current, model_settings=model_settings)
    timing = {"extraction": 0.0, "models": 0.0, "library": 0.0, "pages": 0.0}
    crops, cluster_wall, n_workers, setup = {}, 0.0, 0, 0.0
    if len(done) < len(all_links):
        try:
            setup, cluster_wall, n_workers = _run_on_cluster(args, chains, videos, done, task_settings, fingerprint,
                                                             progress, timing, crops, start_wall)
        finally:
            progress.write()
    busy = sum(timing.values())
    timing.update(wall=round(time.perf_counter() - start_wall, 3), setup=round(setup, 3),
                  cluster_wall=round(cluster_wall, 3),
                  workers=n_workers, waiting=round(max(0.0, n_workers * cluster_wall - busy), 3))
    timing = {k: round(v, 3) if isinstance(v, float) else v for k, v in timing.items()}
    records.write_json(os.path.join(out, layout.TIMING), timing)

    per_chain = progress.per_chain()
    identities = records.identity_table(per_chain)
    records.write_table(os.path.join(out, layout.IDENTITIES), identities)
    cameras = {cam: _camera_info(out, cam, crops.get(cam)) for cam in chains}
    page = pages.write_run_pages(out, chains, progress.records, cameras, identities, timing, description)
    flat = [r for rs in per_chain for r in rs]
    tracked = [r for r in flat if r["status"] == records.DONE]
    count = {how: sum(r.get("started") == how for r in tracked)
             for how in (records.CARRIED, records.RESTARTED, records.STARTED_BY_SEARCH)}
    not_done = len(all_links) - len(tracked)
    print(f"Summary page: {page}")
    print(f"{len(all_links)} links: {len(tracked)} tracked ({count[records.CARRIED]} carried, "
          f"{count[records.RESTARTED]} restarted, {count[records.STARTED_BY_SEARCH]} by the start-frame search), "
          f"{not_done} not done.")
    return EXIT_OK if not_done == 0 else EXIT_NOT_DONE


def run_batch(args) -> int:
    """Runs the `run` command; returns the exit status (see the README)."""
    try:
        return _run(args)
    except _Stop as stop:
        print(f"herdmask run: {stop}", file=sys.stderr)
        return stop.code

