"""The self-contained wheel (`make wheel`, dist/) against the in-place build.

The wheel goes into a virtual environment layered over this one, so both builds
run under the same Python and the same packages; only the extension and the
native libraries it links differ. Timed in turns: frame extraction of a
full-size camera video (decoding and JPEG writing, where the builds differ) and
`herdmask demo` end to end.
"""

import glob
import json
import os
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VENV = os.path.join(REPO, "build", "bench-wheel-venv")

EXTRACT = """
import contextlib, io, sys, time
import pandas as pd
import herdmask
video, out = sys.argv[1], sys.argv[2]
df = pd.DataFrame([("61", "20240501", "06:30:00", video, "Camera61_1_20240501063000")],
                  columns=["Camera Number", "Date", "Time", "File Path", "Video Name"])
start = time.perf_counter()
with contextlib.redirect_stdout(io.StringIO()):
    herdmask.VideoProcessor(output_dir_base=out, time_step=0.1).process_videos_to_frames(df)
print(time.perf_counter() - start, herdmask._core.__file__)
"""


def _wheel_python():
    wheels = glob.glob(os.path.join(REPO, "dist", "herdmask-*.whl"))
    if len(wheels) != 1:
        return None
    if not os.path.exists(os.path.join(VENV, "bin", "python")):
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", VENV], check=True)
    subprocess.run([os.path.join(VENV, "bin", "python"), "-m", "pip", "install", "-q", "--no-deps",
                    "--force-reinstall", wheels[0]], check=True)
    return os.path.join(VENV, "bin", "python")


def _timed(argv, env, cwd):
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, cwd=cwd, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    return time.perf_counter() - start, done.stdout


def main(rounds=2):
    wheel_python = _wheel_python()
    if wheel_python is None:
        print("  no wheel in dist/: run `make wheel` first")
        return
    from bench_video import make_video

    base_env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    builds = {"in-place": ([sys.executable], dict(base_env, PYTHONPATH=os.path.join(REPO, "python"))),
              "wheel": ([wheel_python], base_env)}
    with tempfile.TemporaryDirectory() as tmp:
        video = os.path.join(tmp, "Camera61_1_20240501063000.mp4")
        make_video(video)
        times = {name: {"extraction": [], "demo": []} for name in builds}
        for turn in range(rounds):
            for name, (python, env) in builds.items():
                frames = os.path.join(tmp, f"{name}-frames-{turn}")
                _, out = _timed(python + ["-c", EXTRACT, video, frames], env, tmp)
                seconds, core = out.split()
                assert ("bench-wheel-venv" in core) == (name == "wheel"), core
                times[name]["extraction"].append(float(seconds))
                demo = os.path.join(tmp, f"{name}-demo-{turn}")
                seconds, _ = _timed(python + ["-m", "herdmask", "demo", "--out", demo],
                                    dict(env, MPLBACKEND="Agg"), tmp)
                times[name]["demo"].append(seconds)
                split = json.load(open(os.path.join(demo, "timing.json")))
                print(f"  {name:8s} demo {seconds:.1f} s; run: " +
                      ", ".join(f"{k} {v}" for k, v in split.items() if isinstance(v, (int, float))), flush=True)
    for name, figures in times.items():
        print(f"  {name:8s}: extraction of 10 s at 2560x1440 best {min(figures['extraction']):.2f} s, "
              f"herdmask demo best {min(figures['demo']):.1f} s (of {rounds} in turns)")
    print(f"  load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    main()
