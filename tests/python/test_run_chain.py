"""`herdmask run` end to end: identities carried along each camera's chain, on a local
cluster and on separate worker processes, a worker killed mid-run, honest statuses and
safe reruns."""

import contextlib
import csv
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from collections import Counter

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
pytest.importorskip("torch")
pytest.importorskip("distributed")

import herdmask as hm  # noqa: E402
from herdmask.app import cli, samples  # noqa: E402

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(hm.__file__)))


def _rows(path):
    with open(path) as f:
        return list(csv.DictReader(f))


def _true_animal_of_each_key(out, recording):
    """{(camera, video, segment): {box key: true animal}}, each key's animal by a vote over the frames
    in which the true animals stand apart."""
    truth = {}
    for r in _rows(os.path.join(recording, "truth.csv")):
        truth.setdefault((r["video"], int(r["frame"])), {})[int(r["animal"])] = (float(r["cx"]), float(r["cy"]))
    found = {}
    for r in _rows(os.path.join(out, "run_summary.csv")):
        ann = os.path.join(out, "annotations", r["video"], r["segment"])
        with contextlib.redirect_stdout(None):
            _, data = hm.get_gsam_annotation_data(ann, last_or_not=True, save_dir_base=ann)
        votes = {}
        for rec in data.values():
            # a segment from minute 0 holds the frames after the first one of its video
            places = truth[(r["video"], rec["frame_index"] + 1)]
            centres = np.array(list(places.values()))
            gaps = np.linalg.norm(centres[:, None] - centres[None], axis=2) + np.eye(len(centres)) * 1e9
            if gaps.min() < 12:
                continue  # one animal on another: no true owner for a mask there
            for key, mask in rec["masks_dict"].items():
                ys, xs = np.nonzero(mask)
                if xs.size:
                    d = np.linalg.norm(centres - [xs.mean(), ys.mean()], axis=1)
                    votes.setdefault(key, Counter())[list(places)[int(d.argmin())]] += 1
        found[(r["camera"], r["video"], r["segment"])] = {k: v.most_common(1)[0][0] for k, v in votes.items()}
    return found


@pytest.fixture(scope="module")
def demo_run(tiny_demo):
    return tiny_demo


def test_each_animal_keeps_its_key_along_its_camera(demo_run, capsys):
    out, code = demo_run
    assert code == 0
    summary = _rows(out / "run_summary.csv")
    assert [(r["camera"], r["status"]) for r in summary] == [("1", "done")] * 3 + [("2", "done")] * 3
    identities = _rows(out / "identities.csv")
    by_link = {}
    for r in identities:
        by_link.setdefault((r["camera"], r["video"]), []).append(r)
    for camera in ("1", "2"):
        links = [rows for (c, _), rows in sorted(by_link.items()) if c == camera]
        assert {r["started"] for r in links[0]} == {"start-frame search"}
        for rows in links[1:]:
            assert {r["started"] for r in rows} == {"carried"}
        # the same key keeps the same track id along the chain
        assert len({(r["box_key"], r["track_id"]) for rows in links for r in rows}) == 10
    # against the true identities: every key names the same animal in every video of its camera
    found = _true_animal_of_each_key(str(out), str(out / "recording"))
    kept = total = 0
    for camera in ("1", "2"):
        links = [keys for (c, _, _), keys in sorted(found.items()) if c == camera]
        for keys in links:
            for key, animal in links[0].items():
                total += 1
                kept += keys.get(key) == animal
    assert total == 60 and kept / total >= 0.95
    # the pages exist and link each other
    page = (out / "summary.html").read_text()
    assert "cameras/camera_1.html" in page and "cameras/camera_2.html" in page
    assert "Against ground truth: IDF1 " in page and "evaluation.html" in page  # the demo scores itself
    camera_page = (out / "cameras" / "camera_1.html").read_text()
    assert "camera_1_identities.png" in camera_page and "camera_1_crop.png" in camera_page
    assert "segment.html" in camera_page
    for text in (page, camera_page):
        assert "None" not in text and "['" not in text


def _dask(*args):
    return [sys.executable, "-m", f"distributed.cli.dask_{args[0]}", *args[1:]]


@contextlib.contextmanager
def _dask_processes(folder, workers):
    """A scheduler and worker processes on the loopback address; yields (address, worker processes)."""
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR + os.pathsep + os.environ.get("PYTHONPATH", ""),
               MPLBACKEND="Agg")
    sched_file = os.path.join(folder, "scheduler.json")
    log = open(os.path.join(folder, "dask.log"), "w")
    procs = [subprocess.Popen(_dask("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                    "--scheduler-file", sched_file), env=env, stdout=log, stderr=log)]
    try:
        deadline = time.time() + 60
        while not os.path.exists(sched_file) and time.time() < deadline:
            time.sleep(0.2)
        address = json.load(open(sched_file))["address"]
        for _ in range(workers):
            procs.append(subprocess.Popen(_dask("worker", address, "--nthreads", "1", "--no-nanny",
                                                "--no-dashboard", "--host", "127.0.0.1"),
                                          env=env, stdout=log, stderr=log))
        from distributed import Client

        with Client(address, timeout="30s") as client:
            client.wait_for_workers(workers, timeout=60)
        yield address, procs[1:]
    finally:
        for p in reversed(procs):  # workers first, while their scheduler still answers
            if p.poll() is None:
                p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        log.close()


def _comparable(path, drop):
    return [{k: v for k, v in r.items() if k not in drop} for r in _rows(path)]


def _finished_lines(out):
    counts = {}
    for root, _, files in os.walk(os.path.join(out, "logs")):
        for name in files:
            if name != "extraction.log":
                text = open(os.path.join(root, name)).read()
                counts[os.path.join(os.path.basename(root), name)] = text.count("== link finished: done")
    return counts


def _kill_a_busy_worker(run, logs, pids):
    """SIGKILL the worker process that is in the middle of a link; returns its pid."""
    deadline = time.time() + 120
    while run.poll() is None and time.time() < deadline:
        for root, _, files in os.walk(logs):
            for name in files:
                text = open(os.path.join(root, name)).read()
                started = re.findall(r"\(pid (\d+)\)", text)
                if started and "link finished" not in text.split("started on worker")[-1] \
                        and int(started[-1]) in pids:
                    os.kill(int(started[-1]), signal.SIGKILL)
                    return int(started[-1])
        time.sleep(0.02)
    return None


def test_separate_workers_one_killed_mid_run_same_result_nothing_lost_or_repeated(demo_run, tmp_path):
    out, _ = demo_run
    run_out = tmp_path / "killed"
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR + os.pathsep + os.environ.get("PYTHONPATH", ""), MPLBACKEND="Agg")
    with _dask_processes(str(tmp_path), 2) as (address, workers):
        run = subprocess.Popen([sys.executable, "-m", "herdmask", "run", str(out / "recording"), "--out",
                                str(run_out), "--scheduler", address], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
        killed = _kill_a_busy_worker(run, run_out / "logs", {p.pid for p in workers})
        output = run.communicate(timeout=300)[0]
        assert killed is not None, output
        if run.returncode != 0:  # a rerun on the worker left completes what the lost one left
            assert cli.main(["run", str(out / "recording"), "--out", str(run_out), "--scheduler", address]) == 0
    # nothing lost: every link done, the same identities as on the local cluster
    assert _comparable(run_out / "identities.csv", ()) == _comparable(out / "identities.csv", ())
    assert (_comparable(run_out / "run_summary.csv", ("seconds", "finished"))
            == _comparable(out / "run_summary.csv", ("seconds", "finished")))
    # nothing done twice: each link finished once, though the killed one started twice
    assert set(_finished_lines(str(run_out)).values()) == {1}


@pytest.fixture()
def awkward_recording(tmp_path):
    """Camera 1: two consecutive videos and one an hour later; camera 3: one video without the
    orange marker."""
    import dataclasses

    preset = samples.PRESETS["tiny"]
    rec = samples.make_sample_recording(str(tmp_path / "rec"), preset)
    one = dataclasses.replace(preset, videos=1)
    later = samples.make_sample_recording(str(tmp_path / "rec"), one, start="20240501110000")
    samples.make_sample_recording(str(tmp_path / "rec"), one, camera=3, marker=False)
    rec.video_paths += later.video_paths
    return rec


@pytest.fixture(scope="module")
def one_worker():
    """A one-worker cluster the reruns below share, instead of starting one each."""
    from distributed import LocalCluster

    with LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=":0") as cluster:
        yield cluster.scheduler_address


def test_statuses_reasons_and_reruns(awkward_recording, one_worker, tmp_path, capsys):
    def _run(rec, out, *extra):
        return cli.main(["run", rec.base_dir, "--out", str(out), "--scheduler", one_worker, *extra])

    rec = awkward_recording
    out = tmp_path / "out"
    first, second, third = rec.video_paths
    name1, name2, name3 = (os.path.basename(p)[:-4] for p in (first, second, third))
    # a folder that cannot be made, a video cut to half its bytes, and no marker
    blocked = out / "annotations" / name1
    blocked.parent.mkdir(parents=True)
    blocked.write_text("in the way")
    shutil.copy(second, tmp_path / "whole.mp4")
    data = open(second, "rb").read()
    open(second, "wb").write(data[: len(data) // 2])

    assert _run(rec, out) == 1
    log = capsys.readouterr().out
    rows = {r["video"]: r for r in _rows(out / "run_summary.csv")}
    assert rows[name1]["status"] == "failed" and "Error" in rows[name1]["reason"]
    assert rows[name2]["status"] == "no-frames" and "could not be opened" in rows[name2]["reason"]
    cam3 = next(r for v, r in rows.items() if v.startswith("Camera3"))
    assert cam3["status"] == "no-frames" and "no orange marker" in cam3["reason"]
    assert "--crop-box" in cam3["reason"]
    assert rows[name3]["status"] == "done" and rows[name3]["started"] == "start-frame search"
    assert log.splitlines()[-1] == "4 links: 1 tracked (0 carried, 0 restarted, 1 by the start-frame search), 3 not done."
    page = (out / "summary.html").read_text()
    assert "3 segment(s) were not tracked" in page and "could not be opened" in page

    # the causes mended: the links not done are tried again
    blocked.unlink()
    shutil.copy(tmp_path / "whole.mp4", second)
    assert _run(rec, out) == 1
    log = capsys.readouterr().out
    rows = {r["video"]: r for r in _rows(out / "run_summary.csv")}
    assert rows[name1]["status"] == rows[name2]["status"] == "done"
    assert rows[name2]["started"] == "carried"
    # the third, done before, is not redone; an hour after the second, its keys would have restarted
    assert rows[name3]["finished"] and "Keys restarted" not in log
    finished = {v: r["finished"] for v, r in rows.items()}

    # a rerun skips the done links and retries the other
    assert _run(rec, out) == 1
    log = capsys.readouterr().out
    assert "4 links, 3 done in an earlier run, 1 to do." in log
    assert {v: r["finished"] for v, r in _rows_by_video(out).items() if v != cam3["video"]} == \
        {v: t for v, t in finished.items() if v != cam3["video"]}

    # other settings: said, and nothing redone without --redo
    box = ["--crop-box", "2368,0,2560,128"]
    assert _run(rec, out, *box) == 3
    err = capsys.readouterr().err
    assert "--crop-box / --no-crop: orange marker before, 2368,0,2560,128 now" in err and "--redo" in err
    assert _run(rec, out, *box, "--redo") == 0
    log = capsys.readouterr().out
    rows = _rows_by_video(out)
    assert {r["status"] for r in rows.values()} == {"done"}
    assert [rows[n]["started"] for n in (name1, name2, name3)] == ["start-frame search", "carried", "restarted"]
    assert re.search(r"Keys restarted: 59 min passed since the last tracked segment \(\S+ 0min_to_0.05min\), "
                     r"more than --max-gap 60.0 s", log)
    assert log.splitlines()[-1] == "4 links: 4 tracked (1 carried, 1 restarted, 2 by the start-frame search), 0 not done."
    ids = {(r["video"], r["box_key"]): int(r["track_id"]) for r in _rows(out / "identities.csv")}
    assert ids[(name2, "Box0")] == ids[(name1, "Box0")] != ids[(name3, "Box0")]


def _rows_by_video(out):
    return {r["video"]: r for r in _rows(out / "run_summary.csv")}
