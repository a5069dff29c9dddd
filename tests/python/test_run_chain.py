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
from herdmask import export  # noqa: E402
from herdmask.app import cli, samples  # noqa: E402
from herdmask.app.runfolder import RunFolder  # noqa: E402

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
        # the same key keeps the same track id along the chain, ids numbered from 1 in each camera
        assert len({(r["box_key"], r["track_id"]) for rows in links for r in rows}) == 10
        assert {int(r["track_id"]) for rows in links for r in rows} == set(range(1, 11))
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
    # with no correction made, identities_corrected.csv holds the run's ids
    assert {(r["video"], r["box_key"], r["track_id"]) for r in _rows(out / "identities_corrected.csv")} == {
        (r["video"], r["box_key"], r["track_id"]) for r in identities}
    # the review's long overlaps are kept as values beside their sentence
    run = RunFolder.open(str(out))
    reviewed = [r for c in run.cameras() for r in run.chain(c) if r.long_overlap.startswith("Long overlaps")]
    for r in reviewed:
        first = r.long_overlaps[0]
        assert f"{first.box_a}-{first.box_b} (frames {first.first_frame}-{first.last_frame})" in r.long_overlap
        assert f"went wrong there is {r.overlap_went_wrong} " in r.long_overlap
    assert reviewed
    # the pages exist and link each other
    page = (out / "summary.html").read_text()
    assert "cameras/camera_1.html" in page and "cameras/camera_2.html" in page
    assert "Against ground truth: HOTA " in page and "evaluation.html" in page  # the demo scores itself
    camera_page = (out / "cameras" / "camera_1.html").read_text()
    assert "camera_1_week.png" in camera_page and "camera_1_crop.png" in camera_page
    day_page = (out / "cameras" / "camera_1_2024-05-01.html").read_text()
    assert "camera_1_2024-05-01.png" in day_page and "segment.html" in day_page
    for text in (page, camera_page):
        assert "None" not in text and "['" not in text


def _dask(*args):
    return [sys.executable, "-m", f"distributed.cli.dask_{args[0]}", *args[1:]]


@contextlib.contextmanager
def _dask_processes(folder, workers, nanny=False):
    """A scheduler and worker processes on the loopback address; yields (address, worker processes).
    With `nanny` a worker that dies comes back, and the scheduler gives up on a task at its first
    worker death (the run tries it once more)."""
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR + os.pathsep + os.environ.get("PYTHONPATH", ""),
               MPLBACKEND="Agg", DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES="0")
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
            procs.append(subprocess.Popen(_dask("worker", address, "--nthreads", "1",
                                                "--nanny" if nanny else "--no-nanny", "--no-dashboard", "--host",
                                                "127.0.0.1"), env=env, stdout=log, stderr=log))
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

    # a camera none of whose videos shows the marker stops the run before any work, saying what to do
    assert _run(rec, out) == 2
    err = capsys.readouterr().err
    assert err.splitlines() == ["herdmask run: camera 3: no orange marker in the first frame of 1 video(s); give "
                                "--crop-box X1,Y1,X2,Y2 or --no-crop, or set the camera's crop in the lab file"]
    for path in (tmp_path / "rec" / "day1").glob("Camera3_*.mp4"):
        path.unlink()
    assert _run(rec, out) == 1
    log = capsys.readouterr().out
    rows = {r["video"]: r for r in _rows(out / "run_summary.csv")}
    assert rows[name1]["status"] == "failed" and "Error" in rows[name1]["reason"]
    assert rows[name2]["status"] == "no-frames" and "could not be opened" in rows[name2]["reason"]
    assert f"{name2}: the decoder reported: " in log  # what the decoder said about the cut video, named
    assert rows[name3]["status"] == "done" and rows[name3]["started"] == "start-frame search"
    assert log.splitlines()[-1] == ("3 links: 1 tracked (0 carried, 0 re-linked, 0 restarted, 1 by the start-frame "
                                    "search), 2 not done.")
    page = (out / "summary.html").read_text()
    assert "Not tracked, the video cannot be opened" in page and "replace the video" in page
    assert "Not tracked, an error in the link" in page

    # the causes mended: the links not done are tried again
    blocked.unlink()
    shutil.copy(tmp_path / "whole.mp4", second)
    assert _run(rec, out) == 0
    log = capsys.readouterr().out
    rows = {r["video"]: r for r in _rows(out / "run_summary.csv")}
    assert rows[name1]["status"] == rows[name2]["status"] == "done"
    assert rows[name2]["started"] == "carried"
    # the third, done before, is not redone; an hour after the second, its keys would have restarted
    assert rows[name3]["finished"] and "Keys restarted" not in log
    finished = {v: r["finished"] for v, r in rows.items()}

    # a rerun skips the done links
    assert _run(rec, out) == 0
    log = capsys.readouterr().out
    assert "3 links, 3 done in an earlier run, 0 to do." in log
    assert {v: r["finished"] for v, r in _rows_by_video(out).items()} == finished

    # other settings: said, and nothing redone without --redo
    box = ["--crop-box", "2368,0,2560,128"]
    assert _run(rec, out, *box) == 3
    err = capsys.readouterr().err
    assert "camera 1: the crop (--crop-box, --no-crop or the lab file): orange marker before, 2368,0,2560,128 now" in err
    assert "--redo" in err
    assert _run(rec, out, *box, "--redo") == 0
    log = capsys.readouterr().out
    # only the crop changed: the frames are extracted again, with the new crop, and the old ones go
    first_file = json.load(open(next((out / "annotations" / name1).glob("*/output_pp_0.json"))))
    assert cv2.imread(first_file["image_path"]).shape[1] == 192 and len(os.listdir(out / "frames")) == 1
    rows = _rows_by_video(out)
    assert {r["status"] for r in rows.values()} == {"done"}
    assert [rows[n]["started"] for n in (name1, name2, name3)] == ["start-frame search", "carried", "restarted"]
    assert re.search(r"Keys restarted: 59 min passed since the last tracked segment \(\S+ 0min_to_0.05min\), "
                     r"more than --max-gap 60.0 s", log)
    assert log.splitlines()[-1] == ("3 links: 3 tracked (1 carried, 0 re-linked, 1 restarted, 1 by the start-frame "
                                    "search), 0 not done.")
    ids = {(r["video"], r["box_key"]): int(r["track_id"]) for r in _rows(out / "identities.csv")}
    assert ids[(name2, "Box0")] == ids[(name1, "Box0")] != ids[(name3, "Box0")]


def _rows_by_video(out):
    return {r["video"]: r for r in _rows(out / "run_summary.csv")}


def test_a_worker_killed_on_every_try_of_one_link_loses_that_link_only(tmp_path):
    rec = samples.make_sample_recording(str(tmp_path / "rec"), "tiny")
    out = tmp_path / "out"
    target = os.path.basename(rec.video_paths[0])[:-4]
    log = out / "logs" / target / "0.02min_to_0.04min.log"
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR + os.pathsep + os.environ.get("PYTHONPATH", ""), MPLBACKEND="Agg")
    with _dask_processes(str(tmp_path), 2, nanny=True) as (address, _):
        run = subprocess.Popen([sys.executable, "-m", "herdmask", "run", rec.base_dir, "--out", str(out),
                                "--scheduler", address, "--time-step", "0.02"], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
        killed = set()
        while run.poll() is None:  # every worker that takes the link dies
            for pid in map(int, re.findall(r"\(pid (\d+)\)", log.read_text() if log.exists() else "")):
                if pid not in killed:
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(pid, signal.SIGKILL)
                    killed.add(pid)
            time.sleep(0.05)
        output = run.communicate()[0]
    assert run.returncode == 1 and len(killed) == 2, output
    rows = _rows(out / "run_summary.csv")
    assert [r["status"] for r in rows] == ["done", "failed", "done", "done", "done", "done"], output
    # (the memory the worker held is said too when the scheduler reported it before the kill)
    assert rows[1]["reason"].startswith("worker lost (tcp://127.0.0.1:") and "died twice" in rows[1]["reason"]
    # the chain went on over the lost link: the next link carried the animals of the one before it
    assert rows[2]["started"] == "carried" and rows[2]["carried_from"] == f"{target}/0min_to_0.02min"


def _files_of(folder):
    return {os.path.relpath(os.path.join(root, n), folder): open(os.path.join(root, n), "rb").read()
            for root, _, names in os.walk(folder) for n in names}


def test_redo_with_an_unreachable_scheduler_keeps_every_earlier_result(demo_run, tmp_path, capsys):
    out, _ = demo_run
    copy = tmp_path / "copy"
    shutil.copytree(out, copy, ignore=shutil.ignore_patterns("frames", "recording"))
    before = _files_of(copy)
    argv = ["run", str(out / "recording"), "--out", str(copy), "--redo", "--scheduler", "tcp://127.0.0.1:9"]
    assert cli.main(argv + ["--small-area", "50"]) == 2
    assert "cannot reach the dask scheduler" in capsys.readouterr().err
    assert _files_of(copy) == before


def test_abc_rerun_keeps_c_on_a_ids_and_two_selections_share_the_folder(tmp_path, capsys, monkeypatch):
    from distributed import LocalCluster

    from herdmask.app import stages, tasks

    rec = samples.make_sample_recording(str(tmp_path / "rec"), "chain")
    out = tmp_path / "out"
    a, b, c = (os.path.basename(p)[:-4] for p in rec.video_paths[:3])
    whole = open(rec.video_paths[1], "rb").read()
    open(rec.video_paths[1], "wb").write(whole[:3000])
    carry = stages.carry_start
    # neither the matcher nor the position can carry the animals into B (an in-process worker sees this)
    monkeypatch.setattr(stages, "carry_start", lambda data, names, *args, **kwargs: None if b in names[0] else
                        carry(data, names, *args, **kwargs))
    monkeypatch.setattr(tasks._Lineage, "relink", lambda self, start: None)

    with LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=":0") as cluster:
        def run(*extra):
            return cli.main(["run", rec.base_dir, "--out", str(out), "--scheduler", cluster.scheduler_address,
                             *extra])

        assert run("--camera", "1") == 1
        rows = _rows_by_video(out)
        assert rows[b]["status"] == "no-frames" and rows[c]["started"] == "carried"
        assert rows[c]["carried_from"].startswith(a)  # over B, which was not done
        open(rec.video_paths[1], "wb").write(whole)
        assert run("--camera", "1") == 0
        ids = {}
        for r in _rows(out / "identities.csv"):
            ids.setdefault(r["video"], set()).add(int(r["track_id"]))
        assert _rows_by_video(out)[b]["started"] == "restarted" and ids[b] == set(range(11, 21))
        assert ids[a] == ids[c] == set(range(1, 11))
        # a second selection into the same folder: the index and the export cover both
        assert run("--camera", "2") == 0
    capsys.readouterr()
    assert {r["camera"] for r in _rows(out / "run_summary.csv")} == {"1", "2"}
    assert cli.main(["export", str(out), "--format", "mot", "--out", str(tmp_path / "mot")]) == 0
    assert sorted(os.listdir(tmp_path / "mot")) == ["Camera1.txt", "Camera2.txt"]
    mot = export.read_mot(tmp_path / "mot" / "Camera1.txt")
    assert set(mot[mot["frame"] > 60]["id"]) == set(range(1, 11))  # C, after A's 30 frames and B's 30


def test_the_forced_restart_preset_re_links(one_worker, tmp_path, capsys):
    rec = samples.make_sample_recording(str(tmp_path / "rec"), "restart")
    out = tmp_path / "out"
    assert cli.main(["run", rec.base_dir, "--out", str(out), "--scheduler", one_worker]) == 0
    assert [r["started"] for r in _rows(out / "run_summary.csv")] == ["start-frame search", "re-linked", "re-linked"]
    assert {int(r["track_id"]) for r in _rows(out / "identities.csv")} == set(range(1, 11))
    assert "re-linked to Camera1_1_" in (out / "cameras" / "camera_1.html").read_text()
