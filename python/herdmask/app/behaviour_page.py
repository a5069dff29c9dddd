"""The behaviour page of a run and its figures: activity heat map, zone time budgets and paths."""

from __future__ import annotations

import os

import numpy as np

from .figures import _save, use_file_backend
from .pages import write_summary_page

__all__ = ["activity_heatmap", "animal_paths", "write_behaviour_page", "zone_budgets"]


def _label(track):
    return f"animal {track}"


def activity_heatmap(profile, path, title):
    """Animal against time, each slot coloured by the share of its measured time the animal was active."""
    use_file_backend()
    import matplotlib.pyplot as plt
    import matplotlib.dates as mdates

    grid = profile.pivot_table(index="track_id", columns="slot_start", values="active_share", aggfunc="mean")
    fig, ax = plt.subplots(figsize=(10, 1.2 + 0.35 * max(len(grid), 2)))
    columns = grid.columns
    clock = np.issubdtype(np.asarray(columns).dtype, np.datetime64)
    step = profile.attrs.get("slot_seconds", 1)
    if clock:
        left = mdates.date2num(columns.min())
        right = mdates.date2num(columns.max()) + step / 86400
    else:
        left, right = float(columns.min()), float(columns.max()) + step
    image = ax.imshow(grid.to_numpy(float), aspect="auto", cmap="viridis", vmin=0, vmax=1, interpolation="nearest",
                      extent=(left, right, len(grid) - 0.5, -0.5))
    if clock:
        ax.xaxis_date()
        ax.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M:%S" if right - left < 0.05 else "%H:%M"))
        ax.set_xlabel("recording time")
    else:
        ax.set_xlabel("seconds")
    ax.set_yticks(range(len(grid)), [_label(t) for t in grid.index])
    ax.set_title(title)
    fig.colorbar(image, ax=ax, label=f"share of each {step:g}-s slot active", pad=0.01)
    return _save(fig, path)


def zone_budgets(whole, zones, path, title):
    """Per animal, the tracked time split into the zones and elsewhere (stacked bars)."""
    use_file_backend()
    import matplotlib.pyplot as plt

    whole = whole.sort_values("track_id")
    fig, ax = plt.subplots(figsize=(max(6, 0.6 * len(whole) + 3), 4))
    x = np.arange(len(whole))
    bottom = np.zeros(len(whole))
    for name in zones:
        values = whole[f"zone_{name}_s"].to_numpy(float)
        ax.bar(x, values, bottom=bottom, label=name)
        bottom += values
    ax.bar(x, np.clip(whole["tracked_s"].to_numpy(float) - bottom, 0, None), bottom=bottom, color="#ced4da",
           label="elsewhere")
    ax.set_xticks(x, [_label(t) for t in whole["track_id"]], rotation=30, ha="right")
    ax.set_ylabel("seconds tracked")
    ax.set_title(title)
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    return _save(fig, path)


def animal_paths(paths, thumbnail, zones, path, title):
    """Each animal's smoothed path over a frame of the camera, with the zones outlined."""
    use_file_backend()
    import matplotlib.pyplot as plt
    from PIL import Image

    fig, ax = plt.subplots(figsize=(8, 6))
    if thumbnail:
        with Image.open(thumbnail) as im:
            ax.imshow(np.asarray(im.convert("RGB")))
    cmap = plt.get_cmap("tab10" if paths["track_id"].nunique() <= 10 else "tab20")
    for i, (track, p) in enumerate(paths.groupby("track_id")):
        ax.plot(p["x"], p["y"], lw=1.2, color=cmap(i % cmap.N), label=_label(track))
    for name, zone in zones.items():
        xs, ys = zone.region.exterior.xy
        ax.plot(xs, ys, color="white", lw=1, ls="--")
        ax.annotate(name, (float(np.mean(xs)), float(np.mean(ys))), color="white", fontsize=8, ha="center")
    if not thumbnail:
        ax.invert_yaxis()
    ax.set_title(title)
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    return _save(fig, path)


def _table_html(table, limit=60):
    shown = table.head(limit).to_html(index=False, border=0, classes="report", na_rep="",
                                      float_format=lambda v: f"{v:.2f}")
    more = f"<p>... {len(table) - limit} more rows in the CSV file.</p>" if len(table) > limit else ""
    return shown + more


def write_behaviour_page(page, folder, table, pairs, results, thumbnails, zones):
    """The run's behaviour page, figures in `folder`; returns the page's path. `zones` holds each
    camera's zones, {camera: {name: polygon}}."""
    sections = []
    all_zones = zones
    for camera, result in results.items():
        zones = all_zones.get(camera) or {}
        whole = table[(table["camera"] == camera) & (table["bin_kind"] == "all")]
        figures = {}
        if len(result.profile):
            figures["Active share of each animal over time (yellow: active, dark: resting)"] = activity_heatmap(
                result.profile, os.path.join(folder, f"{camera}_activity.png"), f"{camera}: activity")
        if zones:
            figures["Time in each zone per animal, and the tracked time elsewhere"] = zone_budgets(
                whole, zones, os.path.join(folder, f"{camera}_zones.png"), f"{camera}: zone time budgets")
        if len(result.paths):
            figures["Each animal's smoothed path over a frame of the camera"] = animal_paths(
                result.paths, thumbnails.get(camera), zones, os.path.join(folder, f"{camera}_paths.png"),
                f"{camera}: paths")
        lines = [f"{len(whole)} animals (track ids along the camera's chain).", *result.notes]
        extra = "<h3>Over the whole recording</h3>" + _table_html(whole.drop(columns=["camera", "bin_kind"]))
        camera_pairs = pairs[(pairs["camera"] == camera) & (pairs["bin_kind"] == "all")]
        if len(camera_pairs):
            extra += "<h3>Time in contact, per pair (masks touching or overlapping)</h3>" + _table_html(
                camera_pairs.drop(columns=["camera", "bin_kind"]))
        sections.append((camera, lines, figures, extra))
    intro = [("Behaviour per animal",
              ["Every measure rests on the frames where the animal has a mask: tracked_s says how long that is, "
               "missing_s how long its mask was missing within its span. Bins: 'bin' rows are time bins, 'day' and "
               "'night' rows split by clock time, 'all' rows the whole recording.",
               f"All rows: {os.path.join(os.path.basename(folder), 'behaviour.csv')} (and .parquet); pairs in "
               f"contact: {os.path.join(os.path.basename(folder), 'behaviour_pairs.csv')}."], {}, "")]
    return write_summary_page(page, "Behaviour", intro + sections)
