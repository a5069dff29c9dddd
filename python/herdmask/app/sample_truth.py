"""The demo measures itself: zones of the generated pen, the animals' true behaviour, and the
run's behaviour table set against it.

The sample's scene knows every animal's path, so the true distance moved (the
length of the true centre's path over the frames a run extracts) and the true
time in each zone (frames whose true centre lies inside it, in stays of at
least the measures' least visit) are exact. The run's animals are paired with
the true ones by their mean centroid distance.
"""

from __future__ import annotations

import json
import os

import numpy as np

from . import samples
from .files import write_text

__all__ = ["COMPARISON_PAGE", "ZONES_FILE", "closeness", "compare_behaviour", "measure_demo", "sample_zones",
           "true_behaviour", "write_comparison_page"]

ZONES_FILE = "zones.json"
COMPARISON_PAGE = "behaviour_truth.html"


def sample_zones(preset):
    """{zone name: [[x, y], ...]} of a preset's pen, in cropped coordinates, placed between the
    animals' resting places: a feeder along the left wall, a drinker in the top right corner
    and a lying area over the right of the bottom row."""
    scene = samples._Scene(preset)
    w, h = preset.crop_width, preset.height
    xs = np.unique(np.round(scene.base[:, 0], 3))
    ys = np.unique(np.round(scene.base[:, 1], 3))
    top = int(0.2 * h)
    between = lambda values, i: float((values[i] + values[i + 1]) / 2)  # noqa: E731
    mid_y = between(ys, 0) if len(ys) > 1 else float(h)
    zones = {"feeder": [[4, top], [between(xs, 0), top], [between(xs, 0), h - 3], [4, h - 3]]}
    if len(xs) > 2:
        right = between(xs, len(xs) - 2)
        zones["drinker"] = [[right, top], [w - 4, top], [w - 4, mid_y], [right, mid_y]]
        if len(ys) > 1:
            left = between(xs, 1)
            zones["lying area"] = [[left, mid_y], [w - 4, mid_y], [w - 4, h - 3], [left, h - 3]]
    return zones


def write_sample_zones(preset, path):
    shapes = [{"label": name, "points": [[round(x, 2), round(y, 2)] for x, y in points], "shape_type": "polygon"}
              for name, points in sample_zones(preset).items()]
    return write_text(path, json.dumps({"shapes": shapes}, indent=4))


def _true_paths(preset):
    """{camera index: (frames, centres n_frames x animals x 2)}: the true centres at the frames a run
    extracts (every frame of a video but its first), numbered as a run numbers them (the frames of
    the camera's earlier videos, then the position in the video, from 1)."""
    out = {}
    n = preset.frames_per_video
    times = np.concatenate([v * n + np.arange(1, n) for v in range(preset.videos)])
    for c in range(preset.cameras):
        scene = samples._Scene(preset, seed=preset.seed + c)
        out[c] = (times + 1, np.stack([scene.state(float(t))[0] for t in times]))
    return out


def true_behaviour(preset, zones, min_visit):
    """Per camera (Camera<N>, numbered from 1) and animal (from 1): the true distance moved in
    pixels and the true seconds in each zone."""
    import pandas as pd
    import shapely

    from herdmask.behaviour import _long_runs

    rows = []
    least = int(round(min_visit * preset.fps))
    for c, (_, centres) in _true_paths(preset).items():
        steps = np.linalg.norm(np.diff(centres, axis=0), axis=2).sum(axis=0)
        for k in range(centres.shape[1]):
            row = {"camera": f"Camera{c + 1}", "animal": k + 1, "distance_px": float(steps[k])}
            for name, zone in zones.items():
                inside = shapely.intersects_xy(zone.region, centres[:, k, 0], centres[:, k, 1])
                row[f"zone_{name}_s"] = _long_runs(inside, least)[0].sum() / preset.fps
            rows.append(row)
    return pd.DataFrame(rows)


def _pairing(positions, centres, frames):
    """{track id: true animal (from 1)}: each track to the animal nearest it on average over its frames."""
    where = {f: i for i, f in enumerate(frames)}
    pairs = {}
    for track, rows in positions.groupby("track_id"):
        idx = [where[f] for f in rows["frame"] if f in where]
        if not idx:
            continue
        seen = rows[rows["frame"].isin(where)][["cx", "cy"]].to_numpy(float)
        distance = np.linalg.norm(centres[idx] - seen[:, None, :], axis=2).mean(axis=0)
        pairs[track] = int(np.argmin(distance)) + 1
    return pairs


def compare_behaviour(table, tracks, preset, zones, min_visit):
    """The run's whole-recording rows beside the truth, one row per camera and animal, with
    each measure's relative error."""
    import pandas as pd

    truth = true_behaviour(preset, zones, min_visit)
    paths = _true_paths(preset)
    rows = []
    for c, (frames, centres) in paths.items():
        camera = f"Camera{c + 1}"
        if camera not in tracks:
            continue
        pairing = _pairing(tracks[camera].positions, centres, frames)
        measured = table[(table["camera"] == camera) & (table["bin_kind"] == "all")]
        for row in measured.to_dict("records"):
            if row["track_id"] not in pairing:
                continue
            animal = pairing[row["track_id"]]
            true = truth[(truth["camera"] == camera) & (truth["animal"] == animal)].iloc[0]
            out = {"camera": camera, "track_id": row["track_id"], "animal": animal,
                   "distance_px": row["distance_px"], "true_distance_px": true["distance_px"]}
            for name in zones:
                out[f"zone_{name}_s"] = row[f"zone_{name}_s"]
                out[f"true_zone_{name}_s"] = true[f"zone_{name}_s"]
            rows.append(out)
    result = pd.DataFrame(rows)
    if len(result):
        result["distance_error"] = result["distance_px"] / result["true_distance_px"] - 1
    return result


def _zone_error(comparison, zones):
    """Per row, the largest zone-time error relative to the tracked time in the zones (seconds off
    over the true seconds; NaN where the animal truly spends no time in any zone)."""
    measured = comparison[[f"zone_{z}_s" for z in zones]].to_numpy(float)
    true = comparison[[f"true_zone_{z}_s" for z in zones]].to_numpy(float)
    total = true.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(total > 0, np.abs(measured - true).sum(axis=1) / total, np.nan)


def closeness(comparison, zones):
    """How close the measures come to the truth, in two sentences."""
    distance = comparison["distance_error"].abs()
    zone_error = _zone_error(comparison, zones)
    lines = [f"Distance moved: within {100 * distance.median():.1f} % of the truth for half of the animals, "
             f"{100 * distance.max():.1f} % for every animal."]
    if np.isfinite(zone_error).any():
        lines.append(f"Zone time: within {100 * np.nanmax(zone_error):.1f} % of the truth for every animal that "
                     "truly spends time in a zone.")
    return lines


def write_comparison_page(out, comparison, zones):
    """Figures of measured against true distance and zone time, and the table, on a page."""
    from .figures import _save, use_file_backend
    from .pages import write_summary_page

    use_file_backend()
    import matplotlib.pyplot as plt

    folder = os.path.join(out, "behaviour")
    os.makedirs(folder, exist_ok=True)
    figures = {}
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5))
    for camera, rows in comparison.groupby("camera"):
        left.scatter(rows["true_distance_px"], rows["distance_px"], label=camera, s=25)
        for z in zones:
            right.scatter(rows[f"true_zone_{z}_s"], rows[f"zone_{z}_s"], s=25, label=f"{camera}, {z}")
    for ax, unit in ((left, "pixels"), (right, "seconds")):
        lo, hi = ax.get_xlim()
        top = max(hi, ax.get_ylim()[1])
        ax.plot([0, top], [0, top], color="black", lw=0.8, ls="--", label="measured = true")
        ax.plot([0, top], [0, 1.05 * top], color="#adb5bd", lw=0.6)
        ax.plot([0, top], [0, 0.95 * top], color="#adb5bd", lw=0.6, label="5 % off")
        ax.set_xlabel(f"true ({unit})")
        ax.set_ylabel(f"measured ({unit})")
    left.set_title("Distance moved per animal")
    right.set_title("Time in each zone per animal")
    right.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=7, frameon=False)
    left.legend(fontsize=8, frameon=False)
    figures["Measured against true, per animal (each point one animal; the grey lines are 5 % off)"] = _save(
        fig, os.path.join(folder, "truth_comparison.png"))
    lines = [f"{len(comparison)} animals paired with the generator's animals by their mean centroid distance.",
             *closeness(comparison, zones),
             "Animals whose masks overlap another's (one walks over its neighbour) measure their centroids off "
             "the truth while they overlap; a short recording makes every pixel of that count."]
    table = comparison.to_html(index=False, border=0, classes="report", float_format=lambda v: f"{v:.2f}")
    return write_summary_page(os.path.join(out, COMPARISON_PAGE), "Behaviour measured against the truth",
                              [("The demo against its generator", lines, figures, table)])


def measure_demo(out, rec, min_visit=2.0):
    """Writes the pen's zones, runs the behaviour measures on the demo's run folder `out` and sets
    them against the truth; returns (comparison table, page path)."""
    from herdmask import behaviour

    from .behaviour import camera_tracks, run_behaviour

    zones_path = write_sample_zones(rec.preset, os.path.join(rec.base_dir, ZONES_FILE))
    table, _, _ = run_behaviour(out, zones_path, bin="1min", out=out)
    zones = behaviour.read_zones(zones_path)
    comparison = compare_behaviour(table, camera_tracks(out), rec.preset, zones, min_visit)
    page = write_comparison_page(out, comparison, zones)
    from .pages import refresh_quality_section

    refresh_quality_section(out)  # the summary links the comparison
    return comparison, page
