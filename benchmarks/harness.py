"""Side-by-side timing of a fast step, its straightforward formulation and the
memory floor: one plain copy of the step's input masks."""

import time
import tracemalloc

import numpy as np


def best_time(fn, repeat=3, number=1):
    """Smallest wall time of `repeat` runs of `number` calls."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def best_times(fns, repeat=3, number=1):
    """Smallest wall time of each of `fns`, timed in turns (one run of each per
    round), so that a change of load on the machine reaches all of them alike."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            start = time.perf_counter()
            for _ in range(number):
                fn()
            best[k] = min(best[k], (time.perf_counter() - start) / number)
    return best


def peak_memory(fn):
    """Peak bytes allocated through Python's allocators (NumPy included) during one call."""
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def plain_copy(arrays, extra_bytes=0, targets=None):
    """One plain copy of `arrays` (np.copyto into prepared arrays of the same size
    and dtype), plus, with `extra_bytes`, one write of an output of that size: the
    least any step that reads the arrays (and writes that output) can cost. The
    targets are written once here, so that the timing holds no page faults.

    An array named several times (the same frame examined again) is copied as
    often, into one target; with `targets`, the arrays (all of one size) take
    turns over that many targets, to time the copy of gigabytes of masks
    without holding a second copy of them."""
    arrays = [np.asarray(a) for a in arrays]
    if targets is None:
        by_id = {}
        targets = [by_id.setdefault(id(a), np.empty_like(a)) for a in arrays]
    else:
        pool = [np.empty_like(arrays[0]) for _ in range(min(targets, len(arrays)))]
        targets = [pool[k % len(pool)] for k in range(len(arrays))]
    out_src = np.ones(extra_bytes, np.uint8)
    out_dst = np.zeros(extra_bytes, np.uint8)

    def copy():
        for dst, src in zip(targets, arrays):
            np.copyto(dst, src)
        if extra_bytes:
            np.copyto(out_dst, out_src)

    copy()
    return copy


def dtype_text(arrays):
    names = sorted({np.asarray(a).dtype.name for a in arrays})
    return "/".join(names)


def report(name, fast_fn, baseline_fn, repeat=3, number=1, target=None, floor=None,
           floor_target=None):
    """Times the step, its baseline and (with `floor`, a function made by
    plain_copy) the copy in turns and prints one line: the ratio baseline / step
    and the step's time as a multiple of the copy. Returns (ratio, multiple)."""
    fns = [fast_fn, baseline_fn] + ([floor] if floor is not None else [])
    times = best_times(fns, repeat, number)
    fast, base = times[0], times[1]
    ratio = base / fast if fast > 0 else float("inf")
    verdict = ""
    if target is not None:
        verdict = f"  target >= {target}x: {'met' if ratio >= target else 'MISSED'}"
    multiple = None
    floor_text = ""
    if floor is not None:
        multiple = fast / times[2] if times[2] > 0 else float("inf")
        floor_text = f"  floor {times[2] * 1e3:8.2f} ms  {multiple:5.2f}x floor"
        if floor_target is not None:
            floor_text += (f" (target <= {floor_target}x: "
                           f"{'met' if multiple <= floor_target else 'MISSED'})")
    print(f"{name:<55} herdmask {fast * 1e3:10.2f} ms  baseline {base * 1e3:10.2f} ms  "
          f"ratio {ratio:8.1f}x{verdict}{floor_text}", flush=True)
    return ratio, multiple


def timed_run(rec, out, workers, *options):
    """`herdmask run` of a sample recording into `out`, its messages swallowed: (wall seconds,
    the run's timing.json). A run that does not end with status 0 stops the benchmark."""
    import contextlib
    import io
    import os

    from herdmask.app import cli, records, runfolder

    argv = ["run", rec.base_dir, "--out", out, "--workers", str(workers), "--time-step", "0.04", *options]
    t0 = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        code = cli.main(argv)
    wall = time.perf_counter() - t0
    if code != 0:
        raise SystemExit(f"herdmask {' '.join(argv)} ended with status {code}")
    return wall, records.read_json(os.path.join(out, runfolder.TIMING))
