"""`herdmask demo`: `herdmask run` on a generated sample recording.

Generates two cameras with three consecutive videos each (ten moving animals,
one walking over another in the first video), then runs the same code as
`herdmask run` on it: catalogue, frame extraction, the start-frame search on
each camera's first segment, identities carried from segment to segment with
the matcher, tracking, refinement, annotation files and the review, with the
run's pages. Last it scores the run against the recording's true tracks, which
it writes beforehand as MOTChallenge ground truth.
"""

from __future__ import annotations

import os
import sys

from . import exits, ground_truth, samples
from .runfolder import hold_lock

__all__ = ["run_demo"]


def run_demo(out="herdmask-demo", preset="demo", workers=2, run_options=()):
    """Generate the sample under `out`/recording and run on it into `out` (with `run_options`, more
    options of `herdmask run`); returns the exit status."""
    from .cli import build_parser
    from .run import run_batch

    out = os.path.abspath(out)
    try:
        with hold_lock(out, _Busy(out)):
            return _demo(out, preset, workers, build_parser, run_batch, list(run_options))
    except _Busy as busy:
        print(f"herdmask demo: {busy}", file=sys.stderr)
        return exits.BAD_INPUT


class _Busy(Exception):
    def __init__(self, out):
        super().__init__(f"another herdmask run is writing into {out}; wait for it to end or choose another --out")


def _demo(out, preset, workers, build_parser, run_batch, run_options):
    print("Generating a synthetic recording")
    rec = samples.make_sample_recording(os.path.join(out, "recording"), preset)
    for path in rec.video_paths:
        print(f"  video: {path}")
    print(f"  pen polygon: {rec.pen_json_path}")
    print(f"  true places of the animals: {rec.truth_path}")
    truth_dir = os.path.join(out, "ground_truth")
    ground_truth.write_sample_ground_truth(rec, truth_dir)
    print(f"  true tracks as MOTChallenge ground truth: {truth_dir}"
          f" (score the run: herdmask evaluate {out} {truth_dir})")
    print()
    # the demo's videos are cut in two segments each, the tiny ones are one segment
    time_step = "0.04" if preset == "demo" else "0.1"
    argv = ["run", rec.base_dir, "--out", out, "--workers", str(workers), "--time-step", time_step, *run_options]
    print("herdmask " + " ".join(argv))
    status = run_batch(build_parser().parse_args(argv))
    _score(out, truth_dir)
    _measure(out, rec)
    return status


def _measure(out, rec):
    """The run's behaviour measures set against the generator's truth, in a few lines."""
    import contextlib
    import io

    from .sample_truth import closeness, measure_demo

    try:
        with contextlib.redirect_stdout(io.StringIO()):
            comparison, page = measure_demo(out, rec)
    except (ImportError, OSError, ValueError) as exc:
        print(f"Behaviour against the truth not measured: {exc}")
        return
    for line in closeness(comparison, [c[len("true_zone_"):-2] for c in comparison if c.startswith("true_zone_")]):
        print("Behaviour against the truth: " + line)
    print(f"  {page}")


def _score(out, truth_dir):
    """Scores the run against the recording's true tracks onto the summary page, in one line."""
    import contextlib
    import io

    from .cli import main

    printed = io.StringIO()
    with contextlib.redirect_stdout(printed), contextlib.redirect_stderr(printed):
        scored = main(["evaluate", out, truth_dir]) == 0
    lines = printed.getvalue().splitlines()
    if scored:
        print("Against the true tracks: " + next(line for line in lines if line.startswith("IDF1 ")))
    else:
        print("Scoring against the true tracks failed: " + (lines[-1] if lines else "no message"))
