"""The figures on the command's pages: PNG files drawn with matplotlib and Pillow.

Axis labels and legends use the words of the pages' text (Box3, frame,
recording time); legends sit beside the plot, never over the data.
"""

from __future__ import annotations

import os
import warnings
from datetime import datetime

import numpy as np

from . import records
from .files import write_atomic

__all__ = ["identity_timeline", "save_review_figures", "use_file_backend"]

STARTED_COLOURS = {records.STARTED_BY_SEARCH: "#2b8a3e", records.CARRIED: "#1c7ed6", records.RELINKED: "#7048e8",
                   records.RESTARTED: "#e8590c"}


def use_file_backend():
    import matplotlib

    if matplotlib.get_backend().lower() != "agg":
        matplotlib.use("Agg", force=True)


def _save(fig, path):
    import matplotlib.pyplot as plt

    try:
        return write_atomic(path, lambda tmp: fig.savefig(tmp, dpi=90, bbox_inches="tight"))
    finally:
        plt.close(fig)


def _key_order(keys):
    def number(k):
        try:
            return int(str(k)[3:])
        except ValueError:
            return 10**9

    return sorted(set(keys), key=lambda k: (number(k), str(k)))


def _heatmap(table, frame_index, path):
    import matplotlib.pyplot as plt

    import herdmask as hm

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # show() on a file back end only warns
        hm.draw_intersection_heatmap(table)
    fig = plt.gcf()
    ax = fig.axes[0]
    keys = [str(k) for k in table.index]
    ax.set_xticklabels(keys, rotation=90)
    ax.set_yticklabels(keys, rotation=0)
    ax.set_xlabel("Covering box")
    ax.set_ylabel("Covered box")
    ax.set_title(f"Share of each box's mask covered by another box (%), frame {frame_index}")
    _save(fig, path)


def _mask_areas(data, path):
    import matplotlib.pyplot as plt

    frames = sorted(data)
    keys = _key_order(k for f in frames for k in data[f]["mask_areas"])
    fig, ax = plt.subplots(figsize=(9, 4))
    cmap = plt.get_cmap("tab10" if len(keys) <= 10 else "tab20")
    for i, key in enumerate(keys):
        ax.plot([data[f]["frame_index"] for f in frames],
                [data[f]["mask_areas"].get(key, np.nan) for f in frames], label=key, lw=1.4,
                color=cmap(i % cmap.N))
    ax.set_xlabel("Frame")
    ax.set_ylabel("Mask area (pixels)")
    ax.set_title("Mask area of each box")
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    _save(fig, path)


def save_review_figures(review, fig_dir, prefix=""):
    """Heatmap of the most crowded frame, the first long overlap and mask areas per box;
    returns {caption: png path}."""
    from PIL import Image

    import herdmask as hm

    use_file_backend()
    os.makedirs(fig_dir, exist_ok=True)
    figures = {}
    data = review.annotation_data or {}
    if not data:
        return figures
    # the frame whose worst pairwise coverage is highest shows the overlaps best
    peaks = {k: float(np.max(np.asarray(r["intersections_df"], dtype=float), initial=0.0)) for k, r in data.items()}
    crowded = max(peaks, key=peaks.get)
    if peaks[crowded] > 0:
        path = os.path.join(fig_dir, f"{prefix}intersection_heatmap.png")
        _heatmap(data[crowded]["intersections_df"], data[crowded]["frame_index"], path)
        figures[f"Mask coverage between boxes in frame {data[crowded]['frame_index']}, the frame with the "
                "largest overlap"] = path
    if review.overlap_review is not None and review.overlap_review[0] in data:
        record = data[review.overlap_review[0]]
        with Image.open(record["image_path"]) as im:
            drawn = hm.img_bbx_drawing(im.convert("RGB"), record["masks_dict"])
        path = write_atomic(os.path.join(fig_dir, f"{prefix}first_long_overlap.png"), drawn.save)
        figures[f"Masks in frame {record['frame_index']}, where the first long overlap begins"] = path
    path = os.path.join(fig_dir, f"{prefix}mask_areas.png")
    _mask_areas(data, path)
    figures["Mask area of each box, frame by frame"] = path
    return figures


def identity_timeline(chain, path, title):
    """Track id against the camera's segments in recording order: a bar per animal and segment, coloured
    by how the segment's tracking started; a dashed line where the keys restarted; grey where a
    segment was not tracked. Every segment gets the same width, so a short one beside a gap in
    the recording stays visible."""
    use_file_backend()
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    done = [r for r in chain if r.status == records.DONE]
    tracks = sorted({i for r in done for i in r.track_ids.values()})
    row = {t: i for i, t in enumerate(tracks)}
    fig, ax = plt.subplots(figsize=(10, 1.4 + 0.32 * max(len(tracks), 3)))
    shown = set()
    for x, r in enumerate(chain):
        if r.status != records.DONE:
            ax.axvspan(x, x + 1, color="#adb5bd", alpha=0.5, lw=0)
            shown.add("not done")
            continue
        width = 1 / max(1, r.frames or 1)
        colour = STARTED_COLOURS.get(r.started, "#868e96")
        shown.add(r.started)
        seen = [i for i in r.identities if i.first_frame is not None and i.box_key in r.track_ids]
        if seen:
            # one call per segment: a camera's chain over days holds thousands of segments
            a = np.array([x + width * i.first_frame for i in seen])
            b = np.array([x + width * (i.last_frame + 1) for i in seen])
            ax.barh([row[r.track_ids[i.box_key]] for i in seen], b - a, left=a, height=0.6, color=colour,
                    edgecolor="white", lw=0.5)
        if r.started == records.RESTARTED:
            ax.axvline(x, color="#c92a2a", ls="--", lw=1.5)
            shown.add("keys restarted")
    starts = [datetime.fromisoformat(r.start_time).strftime("%H:%M:%S") for r in chain]
    ax.set_xlim(0, max(1, len(chain)))
    ax.xaxis.set_major_locator(MaxNLocator(nbins=10, integer=True))
    ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: starts[int(v)] if 0 <= v < len(starts) else ""))
    plt.setp(ax.get_xticklabels(), rotation=30, ha="right")
    ax.set_yticks(range(len(tracks)))
    ax.set_yticklabels([str(t) for t in tracks])
    ax.set_ylim(len(tracks) - 0.5 if tracks else 0.5, -0.5)
    ax.set_ylabel("Track id")
    ax.set_xlabel("Segments in recording order, marked with their start time (gaps between videos not to scale)")
    ax.set_title(title)
    handles = [Patch(color=c, label=("segment started by the start-frame search"
                                     if how == records.STARTED_BY_SEARCH else f"segment {how}"))
               for how, c in STARTED_COLOURS.items() if how in shown]
    if "keys restarted" in shown:
        handles.append(Line2D([], [], color="#c92a2a", ls="--", label="keys restarted"))
    if "not done" in shown:
        handles.append(Patch(color="#adb5bd", alpha=0.5, label="segment not tracked"))
    if handles:
        ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    return _save(fig, path)
