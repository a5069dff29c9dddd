"""Side-by-side timing of a fast step and its straightforward formulation."""

import time
import tracemalloc


def best_time(fn, repeat=3, number=1):
    """Smallest wall time of `repeat` runs of `number` calls."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def peak_memory(fn):
    """Peak bytes allocated through Python's allocators (NumPy included) during one call."""
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def report(name, fast_fn, baseline_fn, repeat=3, number=1, target=None):
    """Times both and prints one line with the ratio baseline / fast."""
    fast = best_time(fast_fn, repeat, number)
    base = best_time(baseline_fn, repeat, number)
    ratio = base / fast if fast > 0 else float("inf")
    verdict = ""
    if target is not None:
        verdict = f"  target >= {target}x: {'met' if ratio >= target else 'MISSED'}"
    print(f"{name:<55} herdmask {fast * 1e3:10.2f} ms  baseline {base * 1e3:10.2f} ms  "
          f"ratio {ratio:8.1f}x{verdict}", flush=True)
    return ratio
