"""A week of ten pens: the driver's planning and the run's pages over a run folder of
10 cameras x 46,200 links (11 hours a day, seven days, 0.1-minute segments).

The run folder is written directly, as a finished run leaves it (a record per
link, most done, with stretches not tracked, restarts and re-links), beside a
recordings folder of empty video files whose probe answers as a 10-minute
25-fps video would; nothing is tracked. Planning (`herdmask run --lab` up to
the work list: the lab, the catalogue, the checks, the chains, every record
read and judged) and the pages (summary, camera and day pages) each run in a
process of their own, timed with their peak resident memory. Targets: planning
under 30 s and 2 GB, the pages under 60 s.

    python benchmarks/run.py lab     # the folder is made once under build/bench-lab
"""

import json
import os
import pathlib
import resource
import subprocess
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

CAMERAS, DAYS, FIRST_HOUR, HOURS = 10, 7, 6, 11
VIDEO_MINUTES, FPS, TIME_STEP = 10, 25, 0.1
FOLDER = ROOT / "build" / "bench-lab"
UNREADABLE_EVERY = 250  # one video in this many cannot be opened


def _video_names(camera):
    names = []
    for day in range(DAYS):
        date = f"202405{day + 1:02d}"
        for k in range(HOURS * 60 // VIDEO_MINUTES):
            minutes = FIRST_HOUR * 60 + k * VIDEO_MINUTES + 1  # a minute past, inside the time window
            names.append((date, f"Camera{camera}_{day * 100 + k + 1}_{date}{minutes // 60:02d}{minutes % 60:02d}00"))
    return names


def _unreadable(name):
    return int(name.split("_")[1]) % UNREADABLE_EVERY == 7


def fake_probe(path):
    """A 10-minute 25-fps 2560 x 1440 video, or unreadable, by its name."""
    import herdmask as hm

    name = os.path.basename(path)[:-4]
    if _unreadable(name):
        raise hm.UnreadableVideoError(f"cannot open video {path}")
    frames = VIDEO_MINUTES * 60 * FPS
    return hm.VideoInfo(os.fspath(path), float(FPS), frames, 2560, 1440, frames / FPS / 60)


def _args(folder):
    from herdmask.app import cli

    return cli.build_parser().parse_args(["run", "--lab", str(folder / "lab.toml"), "--out", str(folder / "out"),
                                          "--start", "05:00:00", "--end", "18:00:00"])


def _write_lab(folder):
    pen = {"shapes": [{"label": "pen", "points": [[10, 10], [2000, 10], [2000, 1400], [10, 1400]]}]}
    (folder / "pens").mkdir(parents=True, exist_ok=True)
    lines = ['recordings = "recordings"', "[defaults]", "animals = 10", "crop = [0, 0, 2300, 1440]"]
    for c in range(1, CAMERAS + 1):
        (folder / "pens" / f"camera_{c}.json").write_text(json.dumps(pen))
        lines += [f"[cameras.{c}]", f'pen = "pens/camera_{c}.json"']
    (folder / "lab.toml").write_text("\n".join(lines) + "\n")


def make_week(folder=FOLDER):
    """Writes the lab, the recordings and the run folder (once; a marker file says it is complete)."""
    import herdmask as hm
    from herdmask.app import lab, records, settings
    from herdmask.app.models import ModelSettings
    from herdmask.app import runfolder
    from herdmask.app.runfolder import RunFolder, VideoEntry

    done_marker = folder / "complete"
    if done_marker.exists():
        return folder
    t0 = time.perf_counter()
    _write_lab(folder)
    (folder / "recordings").mkdir(exist_ok=True)
    args = _args(folder)
    the_lab = lab.read_lab(args.lab)
    current = settings.run_settings(args, ModelSettings(), the_lab.cameras)
    run = RunFolder(args.out)
    run.write_settings(dict(current, version=settings.SETTINGS_VERSION))
    plans = hm.plan_segments(fake_probe("x/Camera1_1_20240501060100.mp4"), TIME_STEP)
    rng = np.random.default_rng(7)
    entries = []
    template = records.LinkRecord("", "", "", 0, "", "").to_dict()
    for c in range(1, CAMERAS + 1):
        camera = str(c)
        fingerprint = settings.fingerprint(current, camera)
        extraction = settings.extraction_key(current, camera)
        position, highest, ids, stretch = 0, 0, None, 0
        for date, name in _video_names(c):
            day_dir = folder / "recordings" / date
            day_dir.mkdir(parents=True, exist_ok=True)
            (day_dir / f"{name}.mp4").touch()
            readable = not _unreadable(name)
            entries.append(VideoEntry(camera, name, str(day_dir / f"{name}.mp4"), date,
                                      f"{name[-6:-4]}:{name[-4:-2]}:{name[-2:]}", FPS if readable else 0.0,
                                      VIDEO_MINUTES * 60 * FPS if readable else 0))
            start = np.datetime64(f"{date[:4]}-{date[4:6]}-{date[6:]}T{name[-6:-4]}:{name[-4:-2]}:00")
            segments = plans if readable else [None]
            links_dir = folder / "out" / "links" / name
            links_dir.mkdir(parents=True, exist_ok=True)
            for p in segments:
                r = dict(template, camera=camera, video=name, position=position, fingerprint=fingerprint,
                         token=f"{c}-{position}", version=records.RECORD_VERSION)
                position += 1
                if p is None:
                    r.update(segment="", start_time=str(start), end_time=str(start), status=records.NO_FRAMES,
                             reason="the video could not be opened (unreadable, truncated or not a video)")
                    ids = None
                else:
                    t0_, t1_ = (start + np.timedelta64(int(round(m * 60000)), "ms") for m in (p.start_min, p.end_min))
                    r.update(segment=p.folder, start_time=str(t0_)[:19], end_time=str(t1_)[:19])
                    if stretch == 0 and rng.random() < 0.002:
                        stretch = int(rng.geometric(1 / 20))
                    if stretch > 0:
                        stretch -= 1
                        r.update(status=records.NO_START, reason="no examined frame (0, 10, 20 of 150) shows exactly "
                                                                 "10 animals apart in the pen")
                        ids = None
                    elif rng.random() < 0.0005:
                        r.update(status=records.FAILED, reason="worker lost (its worker died twice)")
                        ids = None
                    else:
                        how = rng.random()
                        if ids is None or how < 0.005:
                            started = records.RESTARTED if ids is not None or highest else records.STARTED_BY_SEARCH
                            ids = {f"Box{k}": highest + k + 1 for k in range(10)}
                            highest += 10
                        else:
                            started = records.RELINKED if how < 0.008 else records.CARRIED
                        n = len(p.positions)
                        r.update(status=records.DONE, started=started, keys=list(ids), track_ids=ids,
                                 frames=n, positions=records.pack_positions(p.positions), start_frame=0,
                                 frames_dir=os.path.join("frames", extraction, date, name, p.folder,
                                                         "right_cropped_frames"),
                                 identities=[{"box_key": k, "first_frame": 0, "last_frame": n - 1,
                                              "frames_tracked": n, "mean_area": 5000.0} for k in ids],
                                 questions=int(rng.poisson(0.5)),
                                 restart_reason="the matcher could not carry the animals" if started in (
                                     records.RESTARTED, records.RELINKED) else "")
                (links_dir / f"{r['segment'] or 'video'}.json").write_text(json.dumps(r, indent=2, sort_keys=True))
    run.add_videos(entries)
    made = time.perf_counter() - t0
    # the end of the run that made them read them all once, and indexed them
    time.sleep(runfolder.INDEX_SETTLED_NS / 1e9)
    t1 = time.perf_counter()
    for c in range(1, CAMERAS + 1):
        run.read_chain(str(c))
    done_marker.write_text(f"made in {made:.0f} s, read and indexed in {time.perf_counter() - t1:.0f} s\n")
    return folder


def _plan(folder):
    """The driver's planning in this process; prints seconds and links planned."""
    import herdmask as hm
    from herdmask.app import intake, run
    from herdmask.app.models import ModelSettings
    from herdmask.app.runfolder import RunFolder

    hm.probe_video = fake_probe
    args = _args(folder)
    t0, c0 = time.perf_counter(), time.process_time()
    taken = intake.take_in(args)
    planned = run.plan_run(args, taken, RunFolder(args.out), ModelSettings())
    seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
    links = sum(len(w) for w in planned.work.values())
    todo = sum(w.keep is None for items in planned.work.values() for w in items)
    print(json.dumps({"seconds": seconds, "cpu": cpu, "links": links, "todo": todo, "peak": _peak()}))


def _pages(folder):
    from herdmask.app import pages
    from herdmask.app.runfolder import RunFolder

    t0, c0 = time.perf_counter(), time.process_time()
    pages.write_run_pages(RunFolder(str(folder / "out")), {}, {}, "stand-ins")
    print(json.dumps({"seconds": time.perf_counter() - t0, "cpu": time.process_time() - c0, "peak": _peak()}))


def _peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _in_child(part, folder):
    """What the part printed (with its process's peak resident memory in bytes)."""
    started = subprocess.run([sys.executable, __file__, part, str(folder)], capture_output=True, text=True,
                             check=True, env=dict(os.environ, PYTHONPATH=str(ROOT / "python")))
    return json.loads(started.stdout.strip().splitlines()[-1])


def main():
    t0 = time.perf_counter()
    folder = make_week()
    print(f"run folder: {CAMERAS} cameras x {DAYS} days x {HOURS} h ({time.perf_counter() - t0:.0f} s to reach; "
          f"{(folder / 'complete').read_text().strip()})")
    planned = _in_child("plan", folder)
    print(f"planning: {planned['links']:,} links ({planned['todo']:,} to do) in {planned['seconds']:.1f} s "
          f"({planned['cpu']:.1f} s of CPU), peak {planned['peak'] / 2**30:.2f} GiB  (targets: 30 s, 2 GiB)")
    made = _in_child("pages", folder)
    print(f"pages (summary, camera and day pages): {made['seconds']:.1f} s ({made['cpu']:.1f} s of CPU), "
          f"peak {made['peak'] / 2**30:.2f} GiB  (target: 60 s)")


if __name__ == "__main__":
    if len(sys.argv) == 3:
        {"plan": _plan, "pages": _pages}[sys.argv[1]](pathlib.Path(sys.argv[2]))
    else:
        main()
