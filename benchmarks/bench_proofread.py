"""The proofreading page and the overlay videos on a run of 1,000 links of ten animals at 1440 x 2304.

The run folder is made up (`proofread.synthetic`: no tracking; one link's frames and
annotation files, hard-linked into the other 999 links). Timed:

- the queue's first page from a cold start: `herdmask proofread` started as a new
  process until its first queue page has come back (target under 1 s), and the same
  inside a running Python (reading the run folder and ranking);
- the frame view: the frame's JPEG with every mask in its track colour and its id,
  as the page asks for it (target at most 150 ms), and the frame's objects;
- the overlay video of one link (60 frames), 720 high as `herdmask render` makes it by
  default and at full size, against the library's extraction of as many frames of the
  same size from a recording (target: at least as fast).
"""

import contextlib
import io
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

from harness import best_time

LINKS, FRAMES, ANIMALS, HEIGHT, WIDTH = 1000, 60, 10, 1440, 2304
FPS = 25


def _get(url):
    with urllib.request.urlopen(url, timeout=30) as r:
        return r.read()


def _cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cold_start(out):
    """Seconds from starting the command to its first queue page, the processor seconds the
    command spent until then, and the seconds of the frame view of the page's first moment
    asked for right after, as the page does."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.path.abspath("python"),
                                                                     os.environ.get("PYTHONPATH")])))
    t0 = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-m", "herdmask", "proofread", out, "--no-browser"], env=env,
                            stdout=subprocess.PIPE, text=True)
    try:
        address = next(line for line in proc.stdout if line.startswith("http://")).strip()
        base, token = address.split("/?token=")
        page = json.loads(_get(f"{base}/api/queue?page=0&size=50&token={token}"))
        first, cpu = time.perf_counter() - t0, _cpu_seconds(proc.pid)
        moment = page["items"][0]
        t0 = time.perf_counter()
        _get(f"{base}/frame.jpg?camera={moment['camera']}&link={moment['link']}&frame={moment['frame']}&token={token}")
        return first, cpu, time.perf_counter() - t0
    finally:
        proc.terminate()
        proc.wait()


def _thread_cpu(fn):
    """Processor seconds this thread spends in fn()."""
    start = time.thread_time()
    fn()
    return time.thread_time() - start


def import_seconds():
    """Processor seconds of a Python that imports what `herdmask proofread` needs for its first
    page (the command, its sub-command, the server and its web framework) and exits."""
    import resource

    code = ("from herdmask.app import cli; cli.build_parser('proofread'); import uvicorn, "
            "herdmask.app.proofread.server")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([sys.executable, "-c", code], check=True, env=dict(os.environ, PYTHONPATH=os.path.abspath("python")))
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def make_video(path, frames):
    """A 2560 x 1440 recording of `frames` frames like the made-up run's."""
    import cv2
    import numpy as np

    from herdmask.app.proofread.synthetic import _masks

    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), FPS, (2560, HEIGHT))
    for i in range(frames + 1):
        frame = np.full((HEIGHT, 2560, 3), (55, 62, 70), np.uint8)
        masks = _masks(i, ANIMALS, HEIGHT, WIDTH)
        for a in range(ANIMALS):
            frame[:, 200:200 + WIDTH][masks[a]] = (150 + 6 * a, 170, 200 - 8 * a)
        writer.write(frame)
    writer.release()


def extraction_seconds(tmp, frames):
    import herdmask as hm

    video = os.path.join(tmp, "Camera1_1_20240501100000.mp4")
    make_video(video, frames)
    processor = hm.VideoProcessor(camera_crop_coords={"1": (200, 0, 200 + WIDTH, HEIGHT)})
    folder = os.path.join(tmp, "extracted")

    def extract():
        with contextlib.redirect_stdout(io.StringIO()):
            processor.crop_video_to_frames(video, folder, 0, (frames + 1) / FPS / 60, "1", True)

    seconds = best_time(extract, repeat=3)
    saved = len(os.listdir(folder))
    return seconds, saved


def main():
    from herdmask.app import render
    from herdmask.app.proofread import open_server
    from herdmask.app.proofread.server import ProofreadServer
    from herdmask.app.proofread.synthetic import make_run_folder

    with tempfile.TemporaryDirectory() as tmp:
        t0 = time.perf_counter()
        out = make_run_folder(os.path.join(tmp, "run"), links=LINKS, frames=FRAMES, animals=ANIMALS, height=HEIGHT,
                              width=WIDTH)
        print(f"  made-up run: {LINKS} links of {FRAMES} frames, {ANIMALS} animals at {HEIGHT} x {WIDTH} "
              f"({time.perf_counter() - t0:.0f} s to make)")

        starts = [cold_start(out) for _ in range(5)]
        print(f"  queue's first page from a cold start of `herdmask proofread`: best {min(s[0] for s in starts):.2f} s, "
              f"median {statistics.median(s[0] for s in starts):.2f} s (target under 1 s); processor time of the "
              f"command until then {min(s[1] for s in starts):.2f} s, of which starting Python and importing "
              f"what it needs {import_seconds():.2f} s; the first frame view right after: best "
              f"{min(s[2] for s in starts) * 1e3:.0f} ms, median "
              f"{statistics.median(s[2] for s in starts) * 1e3:.0f} ms; load average {os.getloadavg()[0]:.1f}")

        def in_process():
            ProofreadServer(out).queue.page(0, 50)

        print(f"  the same inside Python (read the run folder, rank, first page): {best_time(in_process) * 1e3:.0f} ms")

        address, server, thread, proofread = open_server(out)
        try:
            proofread.first_page.set()  # the checks wait for the page's first answers: none come here
            proofread.first_frame.set()
            t0 = time.perf_counter()
            proofread.scanner.join()
            print(f"  track checks of all {LINKS} links in the background: {time.perf_counter() - t0:.1f} s "
                  f"({len(proofread.queue.ranked())} moments)")
            base, token = address.split("/?token=")
            link = proofread.view.cameras["1"][LINKS // 2]
            views, objects = [], []
            for frame in range(0, FRAMES, 6):
                where = f"camera=1&link={link.key}&frame={frame}&token={token}"
                t0 = time.perf_counter()
                jpeg = _get(f"{base}/frame.jpg?{where}")
                views.append(time.perf_counter() - t0)
                t0 = time.perf_counter()
                _get(f"{base}/api/frame?{where}")
                objects.append(time.perf_counter() - t0)
            print(f"  frame view (JPEG of {len(jpeg) // 1024} KB with masks and ids): median "
                  f"{statistics.median(views) * 1e3:.0f} ms, worst {max(views) * 1e3:.0f} ms (target at most "
                  f"150 ms); its objects: median {statistics.median(objects) * 1e3:.0f} ms")
            cpu = _thread_cpu(lambda: [proofread.frame_jpeg("1", link.key, f) for f in range(0, FRAMES, 6)])
            print(f"  processor time of a frame view, in the server's own process: {cpu / len(views) * 1e3:.0f} ms")
        finally:
            server.should_exit = True
            thread.join(5)

        ids = proofread.view.track_map("1")
        link = proofread.view.cameras["1"][0]
        extracted, saved = extraction_seconds(tmp, FRAMES)
        print(f"  extraction of {saved} frames of {HEIGHT} x {WIDTH} from a recording: {extracted:.2f} s "
              f"({saved / extracted:.0f} frames/s)")
        for height, what in ((render.DEFAULT_HEIGHT, f"{render.DEFAULT_HEIGHT} high (the default)"),
                             (0, "full size")):
            seconds = best_time(lambda: render.render_link(proofread.view, link, ids, height=height), repeat=3)
            print(f"  overlay video of a link, {what}: {FRAMES} frames in {seconds:.2f} s ({FRAMES / seconds:.0f} "
                  f"frames/s), {extracted / seconds * FRAMES / saved:.2f}x the extraction's pace (target at "
                  f"least 1x); load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
