"""Behaviour measures of one camera-day (10 animals, 11 hours at 25 frames per second, about a
million frames of positions) against their targets of 60 s and 2 GB, beside the straightforward
pandas formulation of the distance and speed part and one plain copy of the positions; and the
time to score one hour of ground truth with the reference kit's metrics.

Each measurement runs in a process of its own, so that its peak resident memory is its own.
"""

import multiprocessing
import resource
import time

import numpy as np
import pandas as pd

FPS, ANIMALS, HOURS = 25, 10, 11


def _camera_day(seed=0):
    """Positions of a camera-day: each animal walks in spells between long rests, loses its mask
    now and then, and one pair lies together a twentieth of the time; three zones."""
    rng = np.random.default_rng(seed)
    n = FPS * 3600 * HOURS
    frames = np.arange(1, n + 1)
    times = pd.Timestamp("2024-05-01 06:00:00") + pd.to_timedelta((frames - 1) / FPS, unit="s")
    parts = []
    for k in range(ANIMALS):
        moving = np.repeat(rng.random(n // (FPS * 60) + 1) < 0.3, FPS * 60)[:n]  # minute-long spells
        step = rng.normal(0, 1.5, (n, 2)) * moving[:, None]
        xy = np.clip(np.cumsum(step, axis=0) + rng.uniform(200, 1000, 2), 0, 2300)
        xy += rng.normal(0, 0.7, (n, 2))  # the masks' centroid jitter
        kept = rng.random(n) > 0.01
        parts.append(pd.DataFrame({"frame": frames[kept], "time": times[kept], "track_id": k + 1,
                                   "cx": xy[kept, 0], "cy": xy[kept, 1],
                                   "area": rng.integers(60000, 90000, int(kept.sum()))}))
    positions = pd.concat(parts, ignore_index=True)
    together = frames[np.repeat(rng.random(n // FPS + 1) < 0.05, FPS)[:n]]
    contacts = pd.DataFrame({"frame": together, "track_a": 1, "track_b": 2, "overlap": 500})
    return positions, contacts, pd.DataFrame({"frame": frames, "time": times})


def _zones():
    from movement.roi import PolygonOfInterest

    return {"feeder": PolygonOfInterest([(0, 0), (400, 0), (400, 1440), (0, 1440)], name="feeder"),
            "drinker": PolygonOfInterest([(1900, 0), (2300, 0), (2300, 400), (1900, 400)], name="drinker"),
            "lying area": PolygonOfInterest([(800, 700), (2300, 700), (2300, 1440), (800, 1440)], name="lying")}


def _baseline(positions):
    """The straightforward way of the distance and speed part: pandas per animal and hour."""
    rows = []
    for track, p in positions.groupby("track_id"):
        xy = p[["cx", "cy"]].rolling(15, center=True, min_periods=1).mean()
        step = np.hypot(xy["cx"].diff(), xy["cy"].diff())
        speed = step * FPS
        hour = p["time"].dt.floor("1h")
        g = pd.DataFrame({"hour": hour, "step": step, "speed": speed}).groupby("hour")
        rows.append(pd.DataFrame({"track_id": track, "distance": g["step"].sum(), "mean": g["speed"].mean(),
                                  "p95": g["speed"].quantile(0.95)}))
    return pd.concat(rows)


def _peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def _measure(kind, queue):
    try:
        queue.put(_measured(kind))
    except BaseException as exc:  # the parent waits for an answer either way
        queue.put(exc)
        raise


def _measured(kind):
    from herdmask import behaviour

    positions, contacts, frames = _camera_day()
    before = _peak_mb()
    if kind == "copy":
        start = time.perf_counter()
        positions.copy(deep=True)
        elapsed = time.perf_counter() - start
    elif kind == "baseline":
        start = time.perf_counter()
        _baseline(positions)
        elapsed = time.perf_counter() - start
    else:
        start = time.perf_counter()
        zones = _zones()  # imports movement, which compiles its numba functions when imported
        imported = time.perf_counter() - start
        settings = behaviour.BehaviourSettings(fps=FPS, bin="1h")
        start = time.perf_counter()
        result = behaviour.behaviour_measures(positions, settings, contacts=contacts, zones=zones, frames=frames)
        elapsed = time.perf_counter() - start
        assert len(result.table) == ANIMALS * (HOURS + 2)  # hour bins, the day, the whole recording
        return elapsed, before, _peak_mb(), len(positions), imported
    return elapsed, before, _peak_mb(), len(positions), 0.0


def _in_process(kind):
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    process = context.Process(target=_measure, args=(kind, queue))
    process.start()
    found = queue.get()
    process.join()
    if isinstance(found, BaseException):
        raise found
    return found


def _hour_of_ground_truth(seed=1):
    rng = np.random.default_rng(seed)
    n = FPS * 3600
    frames = np.repeat(np.arange(1, n + 1), ANIMALS)
    ids = np.tile(np.arange(1, ANIMALS + 1), n)
    x = np.tile(np.arange(ANIMALS) * 220.0, n) + rng.normal(0, 3, n * ANIMALS)
    truth = pd.DataFrame({"frame": frames, "id": ids, "x": x, "y": 300.0, "w": 180.0, "h": 120.0, "conf": 1.0})
    pred = truth.copy()
    pred[["x", "y"]] += rng.normal(0, 8, (len(pred), 2))
    pred = pred[rng.random(len(pred)) > 0.02]
    late = pred["frame"] > n // 2
    pred.loc[late & pred["id"].isin([1, 2]), "id"] = 3 - pred.loc[late & pred["id"].isin([1, 2]), "id"]
    return pred, truth


def main():
    fast = _in_process("behaviour")
    base = _in_process("baseline")
    copy = _in_process("copy")
    elapsed, before, peak, rows, imported = fast
    print(f"behaviour_measures, one camera-day ({rows} positions, {ANIMALS} animals, {HOURS} h at {FPS} fps, "
          f"3 zones, a pair in contact)")
    print(f"  herdmask {elapsed:7.1f} s (target < 60 s: {'met' if elapsed < 60 else 'MISSED'}), peak resident "
          f"{peak:6.0f} MB (target < 2048 MB: {'met' if peak < 2048 else 'MISSED'}; "
          f"{before:.0f} MB with the input alone); importing movement before it took {imported:.1f} s")
    print(f"  baseline, pandas distance and speed per hour only: {base[0]:7.1f} s, peak {base[2]:6.0f} MB")
    print(f"  floor, one plain copy of the positions: {copy[0]:6.2f} s; herdmask {elapsed / copy[0]:6.1f}x floor")

    from herdmask import scoring

    pred, truth = _hour_of_ground_truth()
    start = time.perf_counter()
    scores = scoring.score_tracks(pred, truth)
    elapsed = time.perf_counter() - start
    print(f"score_tracks, one hour of ground truth ({FPS * 3600} frames, {ANIMALS} animals, box IoU): "
          f"{elapsed:6.1f} s (HOTA {scores.loc['OVERALL', 'HOTA']:.3f}, IDF1 {scores.loc['OVERALL', 'IDF1']:.3f})")


if __name__ == "__main__":
    main()
