"""`herdmask run`: every camera's recordings as one chain of links, on dask.distributed.

What it writes under --out is described in `runfolder`. A done link is kept on
a rerun while it is current: made with the same settings by this version, and
its source (the link it took its track ids from) not made again since. Every
other link of the selection is made (again). Nothing in the folder changes
before every check has passed, the cluster is up and every worker has loaded
the models; a link made again replaces its old outputs only when it ends.
"""

from __future__ import annotations

import dataclasses
import gc
import math
import os
import shutil
import sys
import tempfile
import time

from . import exits, identity, intake, pages, plan, records, settings
from .decoder_log import summary as summary_of
from .chains import ChainRun, LinkWork
from .progress import Progress, duration_text, work_estimate
from .models import MissingPackage, ModelLoadError, ModelSettings, check_models
from .runfolder import IDENTITIES, RUN_SUMMARY, TIMING, RunFolder, hold_lock

__all__ = ["Planned", "camera_task_settings", "plan_run", "run_batch"]


PROGRESS_EVERY = 60.0  # seconds between progress lines when there is no progress bar


class _Stop(Exception):
    """A problem found before any work starts: a line for the user per fault, and the exit status."""

    def __init__(self, message, code=exits.BAD_INPUT):
        super().__init__(message)
        self.code = code
        self.lines = message.splitlines() if isinstance(message, str) else list(message)


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


def _checked_models(model_settings):
    """The models' description, after loading them once in the driver and letting them go (the
    workers load their own; a GPU is not held by the driver for the run)."""
    try:
        models = check_models(model_settings)
    except MissingPackage as exc:
        raise _Stop(str(exc), exits.MISSING_PACKAGE) from None
    except ModelLoadError as exc:
        raise _Stop(str(exc)) from None
    description = models.description
    del models
    gc.collect()
    torch = sys.modules.get("torch")
    if torch is not None and torch.cuda.is_available():
        torch.cuda.empty_cache()
    return description


def _check_renderer():
    from .render import ffmpeg_executable

    try:
        ffmpeg_executable()
    except FileNotFoundError as exc:
        raise _Stop(f"--render: {exc}", exits.MISSING_PACKAGE) from None


def _preflight(args):
    try:
        taken = intake.take_in(args)
    except intake.Refused as refused:
        raise _Stop(refused.lines) from None
    out = os.path.abspath(args.out)
    _check_output_folder(out)
    model_settings = ModelSettings.from_args(args)
    description = _checked_models(model_settings)
    if args.render:
        _check_renderer()
    for line in taken.notes:
        print(line)
    return taken, out, model_settings, description


def _busy(out):
    return _Stop(f"another herdmask run is writing into {out}; wait for it to end or choose another --out")


def _compare_settings(args, run, current):
    """Stops when the folder holds results made with other settings, unless --redo is given."""
    stored = run.settings
    if not stored:
        return
    differences = settings.differences(stored, current)
    if stored.get("version") != settings.SETTINGS_VERSION:
        differences = differences or ["the folder was made by an earlier version of herdmask"]
    if not differences:
        return
    if not args.redo:
        raise _Stop(f"{run.out} holds results made with other settings ({'; '.join(differences)}). "
                    "Rerun with --redo to make them again with the new settings, or choose another --out.",
                    exits.SETTINGS_DIFFER)
    print(f"Settings changed ({'; '.join(differences)}): --redo makes every link again; each keeps its old "
          "results until its new ones are made.")


# ------------------------------------------------------------------ what to do


def _plan_work(args, run, chains, fingerprints):
    """{camera: [LinkWork]}: which links of the selection to make, and why again when they were done."""
    work = {}
    for camera, links in chains.items():
        folder_chain = run.read_chain(camera)  # one camera's records at a time
        by_key = {r.key: r for r in folder_chain}
        todo, items = set(), []
        for link in links:
            r = by_key.get(link.key)
            if r is None or r.status != records.DONE:
                why = ""
            elif args.redo:
                why = "--redo"
            elif r.carried_from in todo and r.started in records.LINEAGE:
                why = f"{r.carried_from}, which it took its identities from, is made again in this run"
            else:
                why = identity.redo_reason(r, by_key, fingerprints[camera])
                if not why:
                    items.append(LinkWork(link, keep=r.token))
                    continue
            todo.add(link.key)
            items.append(LinkWork(link, redo_reason=why))
        work[camera] = items
    return work


# ------------------------------------------------------------------ the run


def _line(r):
    head = r.describe()
    if r.status != records.DONE:
        return f"{head}: {r.status}, {r.reason}"
    text = (f"{head}: done, {r.how_started()}; {r.animals} animals from frame {r.start_frame}, track ids "
            f"{pages.id_ranges(sorted(r.track_ids.values()))}, {r.questions} question(s) in the report")
    if r.restart_reason:
        text += f". Keys restarted: {r.restart_reason}" if r.started == records.RESTARTED else \
            f". Re-linked by position: {r.restart_reason}"
    return text + (f". Note: {r.note}" if r.note else "")


class _Summary:
    """run_summary.csv over every link recorded in the folder, rewritten as links end."""

    # Each rewrite takes time in proportion to the links recorded: rewritten after every link,
    # a run of days of recordings spent hours of the driver's time on it.
    SECONDS_BETWEEN_WRITES = 2.0

    def __init__(self, run):
        self.run = run
        self.written = -math.inf

    def settled(self, record):
        self.run.remember(record)
        if time.perf_counter() - self.written >= self.SECONDS_BETWEEN_WRITES:
            self.write()

    def write(self):
        ordered = [r for camera in self.run.cameras() for r in self.run.chain(camera)]
        records.write_table(self.run.path(RUN_SUMMARY), records.summary_table(ordered))
        self.written = time.perf_counter()


def _on_cluster(args, run, work, videos, current, task_settings, fingerprints, summary, timing, start_wall, progress):
    """Starts (or reaches) the cluster, checks it, then makes the links; returns (crop results,
    setup seconds, cluster wall seconds, workers)."""
    import herdmask
    from tqdm import tqdm

    from . import cluster

    try:
        client, local = cluster.connect(args.scheduler, args.workers)
    except cluster.ClusterProblem as exc:
        raise _Stop(str(exc)) from None
    try:
        try:
            cluster.check_cluster(client, herdmask.__version__)
            # one set of models serves every camera
            model_settings = next(iter(task_settings.values()))["model_settings"]
            n_workers = cluster.load_models_on_workers(client, model_settings)
        except cluster.ClusterProblem as exc:
            raise _Stop(str(exc), exits.MISSING_PACKAGE if exc.missing else exits.BAD_INPUT) from None
        # everything checked: from here on the folder changes
        _write_settings(run, current)
        run.add_videos(videos.values())
        print(f"dask scheduler {client.scheduler.address}, {n_workers or 'no'} worker(s)"
              + ("" if n_workers else " yet: the links wait for workers to join"))
        t_cluster = time.perf_counter()
        total = sum(w.keep is None for items in work.values() for w in items)
        bar = tqdm(total=total, unit="link", desc="links", file=sys.stderr, leave=False,
                   disable=not sys.stderr.isatty())
        progress.workers = max(1, n_workers)
        said = [time.perf_counter()]

        def settled(record):
            summary.settled(record)
            for key in ("models", "library", "pages"):
                timing[key] += getattr(record, f"seconds_{key}") or 0
            progress.settled(record)
            bar.set_postfix_str(progress.text(), refresh=False)
            bar.update(1)
            tqdm.write(_line(record), file=sys.stdout)
            if bar.disable and progress.text() and time.perf_counter() - said[0] >= PROGRESS_EVERY:
                said[0] = time.perf_counter()
                print(f"Progress: {bar.n} of {total} links, {progress.text()}.")

        chains = ChainRun(client, run, work, videos, task_settings, fingerprints, cluster.WorkerWatch(client),
                          settled, lambda line: tqdm.write(line, file=sys.stdout))
        chains.follow()
        bar.close()
        timing["extraction"] += chains.seconds["extraction"]
        n_workers = max(n_workers, len(client.scheduler_info()["workers"]))
        return chains.crops, t_cluster - start_wall, time.perf_counter() - t_cluster, n_workers
    finally:
        client.close()
        if local is not None:
            local.close()


def _camera_info(run, camera, crop):
    path = run.camera_file(camera, ".json")
    if crop is not None:
        records.write_json(path, crop, durable=False)
        return crop
    return records.read_json(path) or {"camera": camera}


def _drop_unused_frames(run, extractions):
    """Frames of other extraction settings that no record refers to any more go."""
    base = os.path.join(run.out, "frames")
    if not os.path.isdir(base):
        return
    used = {r.frames_dir.split(os.sep)[1] for r in run.records() if r.frames_dir.startswith("frames" + os.sep)}
    for name in os.listdir(base):
        if name not in extractions and name not in used:
            shutil.rmtree(os.path.join(base, name), ignore_errors=True)


def _run(args):
    start_wall = time.perf_counter()
    checked = _preflight(args)
    with hold_lock(checked[1], _busy(checked[1])):
        return _run_locked(args, start_wall, *checked)


def _write_settings(run, current):
    run.write_settings(dict(settings.merged(run.settings, current), version=settings.SETTINGS_VERSION))


def camera_task_settings(args, setup, model_settings, out):
    """What a camera's tasks work with, in the types the options have."""
    values = {name: getattr(args, name) for name in ("time_step", "step", "match_frames", "max_gap", "small_area",
                                                     "relink_cost", "relink_margin", "frame_skip", "resize",
                                                     "keep_frames")}
    return dict(values, animals=setup.animals, crop=setup.crop_text, pen_json=setup.pen, model_settings=model_settings,
                out=out)


@dataclasses.dataclass
class Planned:
    """What a run will do: its settings, and per camera the links to make or keep."""

    current: dict
    fingerprints: dict  # camera -> fingerprint of its deciding settings
    extractions: dict  # camera -> the frames folder of its extraction settings
    chains: dict  # camera -> [plan.Link]
    videos: dict  # video name -> VideoEntry
    work: dict  # camera -> [LinkWork]


def plan_run(args, taken, run, model_settings):
    """The driver's planning, once the input is checked: the settings compared with the folder's
    (stopping when they differ without --redo), the chains, and which links to make."""
    cameras = taken.lab.cameras
    current = settings.run_settings(args, model_settings, cameras)
    _compare_settings(args, run, current)
    fingerprints = {c: settings.fingerprint(current, c) for c in cameras}
    extractions = {c: settings.extraction_key(current, c) for c in cameras}
    chains, videos = plan.build_chains(taken.table, run, args.time_step, extractions, taken.videos, args.frame_skip)
    return Planned(current, fingerprints, extractions, chains, videos, _plan_work(args, run, chains, fingerprints))


def _keep_decoder_messages(run, probed):
    """What the decoders said when the driver probed a video goes into the log of the video's link
    when the video cannot be opened, else into its extraction log."""
    for name, video in probed.items():
        if not video.decoder:
            continue
        log = run.extraction_log(name) if video.info else run.link_log(name, plan.WHOLE_VIDEO)
        os.makedirs(os.path.dirname(log), exist_ok=True)
        with open(log, "a", encoding="utf-8") as f:
            f.write(f"== the decoder reported when the run probed {name}:\n{video.decoder}")


def _run_locked(args, start_wall, taken, out, model_settings, description):
    run = RunFolder(out)
    planned = plan_run(args, taken, run, model_settings)
    current, fingerprints, extractions = planned.current, planned.fingerprints, planned.extractions
    chains, videos, work = planned.chains, planned.videos, planned.work
    selected = [w for items in work.values() for w in items]
    todo = [w for w in selected if w.keep is None]
    print(f"{len(videos)} video(s) of {len(chains)} camera(s): {len(selected)} links, {len(selected) - len(todo)} "
          f"done in an earlier run, {len(todo)} to do.")
    estimate, to_track = work_estimate(run, work, videos, args.frame_skip)
    if todo:
        print(estimate)
    progress = Progress(work, args.workers)
    pace_before = (records.read_json(run.path(TIMING)) or {}).get("seconds_per_tracked_frame")
    if pace_before and to_track and not args.scheduler:
        print(f"At the {pace_before:.2f} s a tracked frame this folder's last run took: about "
              f"{duration_text(progress.time_at(pace_before))} on {args.workers} worker(s).")
    print(description)
    for name, v in taken.videos.items():
        if v.decoder:
            print(f"{name}: the decoder reported: {summary_of(v.decoder)}")
    unreadable = [v.name for v in videos.values() if not v.frame_count]
    if unreadable:
        print(f"Cannot open {len(unreadable)} video(s): {', '.join(unreadable)}.")
    task_settings = {c: camera_task_settings(args, s, model_settings, out) for c, s in taken.lab.cameras.items()}
    timing = {"extraction": 0.0, "models": 0.0, "library": 0.0, "pages": 0.0}
    summary = _Summary(run)
    crops, cluster_wall, n_workers, setup = {}, 0.0, 0, 0.0
    if todo:
        try:
            crops, setup, cluster_wall, n_workers = _on_cluster(args, run, work, videos, current, task_settings,
                                                                fingerprints, summary, timing, start_wall, progress)
        finally:
            if run.settings.get("version") == settings.SETTINGS_VERSION:
                summary.write()
    elif not run.settings:
        _write_settings(run, current)
    busy = sum(timing.values())
    timing.update(wall=round(time.perf_counter() - start_wall, 3), setup=round(setup, 3),
                  cluster_wall=round(cluster_wall, 3),
                  workers=n_workers, waiting=round(max(0.0, n_workers * cluster_wall - busy), 3))
    timing = {k: round(v, 3) if isinstance(v, float) else v for k, v in timing.items()}
    timing.update(progress.figures(), frame_skip=args.frame_skip, models_used=description)
    if timing["seconds_per_tracked_frame"] is None:  # nothing tracked this time: the last pace stands
        timing["seconds_per_tracked_frame"] = pace_before

    _keep_decoder_messages(run, taken.videos)
    run.forget()
    summary.write()
    identities = identity.track_table(run)
    records.write_table(run.path(IDENTITIES), identities)
    infos = {cam: _camera_info(run, cam, crops.get(cam)) for cam in run.cameras()}
    _drop_unused_frames(run, set(extractions.values()))
    timing["disk"] = run.disk_usage()  # before this run's own pages are rewritten
    records.write_json(run.path(TIMING), timing)
    page = pages.write_run_pages(run, infos, timing, description)
    ended = [run.read_record(w.link.video, w.link.segment) for w in selected]
    tracked = [r for r in ended if r is not None and r.done]
    count = {how: sum(r.started == how for r in tracked) for how in
             (records.CARRIED, records.RELINKED, records.RESTARTED, records.STARTED_BY_SEARCH)}
    not_done = len(selected) - len(tracked)
    _after_links(args, run)
    print(f"Summary page: {page}")
    print(f"{len(selected)} links: {len(tracked)} tracked ({count[records.CARRIED]} carried, "
          f"{count[records.RELINKED]} re-linked, {count[records.RESTARTED]} restarted, "
          f"{count[records.STARTED_BY_SEARCH]} by the start-frame search), {not_done} not done.")
    return exits.OK if not_done == 0 else exits.NOT_DONE


def _after_links(args, run):
    """identities_corrected.csv, the overlay videos (--render) of the links made or corrected since
    their last video, and which corrections no longer apply (their links were made again)."""
    from . import render
    from .corrections import CorrectionError

    try:
        identity.write_corrected_table(run)
        notes = identity.correction_notes(run)
        made = render.render_run(run.out, changed_only=True) if args.render else []
    except CorrectionError as exc:
        notes, made = [f"The corrections cannot be applied: {exc}"], []
    if made:
        print(f"Overlay videos: {sum(path is not None for _, path, _ in made)} of {len(made)} link(s) rendered under "
              f"{run.path('renders')}")
    for line in notes:
        print(line)


def run_batch(args) -> int:
    """Runs the `run` command; returns the exit status (see `exits`)."""
    try:
        return _run(args)
    except _Stop as stop:
        for line in stop.lines:
            print(f"herdmask run: {line}", file=sys.stderr)
        return stop.code
