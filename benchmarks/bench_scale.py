"""`herdmask run` on the demo's sample with fewer frames, and the disk a run leaves behind.

Frame skip: the same recording (two cameras, three videos of 48 frames each,
320 x 240 crops, twelve links) run with `--frame-skip 1` and `--frame-skip 5`
on two workers with the colour-threshold stand-ins: frames tracked, the run's
wall time, and IDF1 against the recording's true tracks (scored on the frames
each run extracted).

Disk: the bytes left in the output folder after a run, without and with
`--keep-frames`, per recorded hour (the folder's bytes over the hours of video
it took in), split into frames, annotation files and reports and pages. The
frames' share grows with the crop's pixels; the demo's crops are small.
"""

import contextlib
import io
import os
import sys
import tempfile

from harness import timed_run

WORKERS = 2


def _idf1(out, truth):
    import pandas as pd

    from herdmask.app import cli

    with contextlib.redirect_stdout(io.StringIO()):
        cli.main(["evaluate", out, truth, "--out", out])
    return float(pd.read_csv(os.path.join(out, "evaluation.csv"), index_col=0).loc["OVERALL", "IDF1"])


def _hours(run):
    return sum(v.frame_count / v.fps for v in run.videos().values() if v.fps) / 3600


def main():
    from herdmask.app import ground_truth, samples
    from herdmask.app.runfolder import RunFolder

    with tempfile.TemporaryDirectory() as tmp:
        rec = samples.make_sample_recording(os.path.join(tmp, "recording"), "demo")
        truth = os.path.join(tmp, "truth")
        ground_truth.write_sample_ground_truth(rec, truth)
        runs = {}
        for name, options in (("--frame-skip 1", ()), ("--frame-skip 5", ("--frame-skip", "5")),
                              ("--keep-frames", ("--keep-frames",))):
            out = os.path.join(tmp, name.strip("-").replace(" ", ""))
            wall, timing = timed_run(rec, out, WORKERS, *options)
            run = RunFolder.open(out)
            runs[name] = (wall, timing, _idf1(out, truth), run.disk_usage(), _hours(run))

    print(f"demo sample, {WORKERS} workers, colour-threshold stand-ins, 320 x 240 crops")
    print(f"{'run':<16}{'frames tracked':>15}{'wall s':>9}{'s/tracked frame':>17}{'IDF1':>7}")
    for name in ("--frame-skip 1", "--frame-skip 5"):
        wall, timing, idf1, _, _ = runs[name]
        print(f"{name:<16}{timing['frames_tracked']:>15}{wall:>9.1f}{timing['seconds_per_tracked_frame']:>17.3f}"
              f"{idf1:>7.3f}")
    print("bytes left in the output folder per recorded hour (MB):")
    print(f"{'run':<16}{'frames':>10}{'annotations':>13}{'reports, pages':>16}{'total':>10}")
    for name in ("--frame-skip 1", "--keep-frames"):
        _, _, _, disk, hours = runs[name]
        per_hour = {k: v / hours / 1e6 for k, v in disk.items()}
        shown = "default" if name == "--frame-skip 1" else name
        print(f"{shown:<16}{per_hour['frames']:>10.0f}{per_hour['annotations']:>13.0f}"
              f"{per_hour['reports and pages']:>16.0f}{per_hour['total']:>10.0f}")


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    main()
