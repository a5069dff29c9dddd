"""The figures of a camera's week: when it was tracked, and its track ids over each day.

Both are rasters in clock time (hours of the day across, days or track ids down),
drawn as one image each, so that a week of 46,000 links costs what a day of ten
does. Colours: how a link started (as on the segment pages), what became of the
links that were not tracked.
"""

from __future__ import annotations

from datetime import date

import numpy as np

from . import records
from .figures import STARTED_COLOURS, _save, use_file_backend
from .week import STARTED_CODES, STATUS_CODES

__all__ = ["STATUS_COLOURS", "day_timeline", "week_overview"]

STATUS_COLOURS = {records.DONE: "#2b8a3e", records.NO_START: "#f59f00", records.NO_FRAMES: "#868e96",
                  records.FAILED: "#c92a2a"}
_STATUS_WORDS = {records.DONE: "tracked", records.NO_START: "not tracked: no start frame",
                 records.NO_FRAMES: "not tracked: no frames", records.FAILED: "not tracked: failed"}
_NOTHING = "#f8f9fa"


def _colour_map(colours_by_code):
    from matplotlib.colors import ListedColormap

    top = max(colours_by_code)
    return ListedColormap([colours_by_code.get(code, _NOTHING) for code in range(top + 1)]), top


def _hour_axis(ax, first, last):
    from matplotlib.ticker import FuncFormatter, MultipleLocator

    ax.set_xlim(first, last)
    ax.xaxis.set_major_locator(MultipleLocator(1 if last - first <= 14 else 2))
    ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{int(v) % 24:02d}:00"))
    ax.set_xlabel("Clock time")


def week_overview(timelines, path, title):
    """Days down, clock time across: each minute coloured by what became of its links."""
    use_file_backend()
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    days = list(timelines)
    first = next(iter(timelines.values()))
    grid = np.stack([timelines[d].status for d in days])
    cmap, top = _colour_map({code: STATUS_COLOURS[s] for s, code in STATUS_CODES.items()})
    h0, h1 = first.hours
    fig, ax = plt.subplots(figsize=(10, 0.9 + 0.32 * len(days)))
    ax.imshow(grid, cmap=cmap, vmin=0, vmax=top, aspect="auto", interpolation="nearest",
              extent=(h0, h1, len(days) - 0.5, -0.5))
    _hour_axis(ax, h0, h1)
    ax.set_yticks(range(len(days)))
    ax.set_yticklabels([date.fromisoformat(d).strftime("%a %d %b") for d in days])
    ax.set_title(title)
    seen = {s for s, code in STATUS_CODES.items() if (grid == code).any()}
    handles = [Patch(color=STATUS_COLOURS[s], label=_STATUS_WORDS[s]) for s in STATUS_CODES if s in seen]
    handles.append(Patch(color=_NOTHING, label="nothing recorded", ec="#ced4da"))
    ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    return _save(fig, path)


def day_timeline(timeline, path, title):
    """Track ids down, clock time across: a bar where an animal was tracked, coloured by how its
    link started; above it what became of the day's links; dashed lines where the keys restarted."""
    use_file_backend()
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    ids = timeline.ids
    h0, h1 = timeline.hours
    rows = max(len(ids), 1)
    fig, (strip, ax) = plt.subplots(2, 1, sharex=True, figsize=(10, 1.6 + 0.16 * min(rows, 60)),
                                    gridspec_kw={"height_ratios": [1, max(4, min(rows, 60) / 2)], "hspace": 0.08})
    status_map, status_top = _colour_map({code: STATUS_COLOURS[s] for s, code in STATUS_CODES.items()})
    strip.imshow(timeline.status[None, :], cmap=status_map, vmin=0, vmax=status_top, aspect="auto",
                 interpolation="nearest", extent=(h0, h1, 0.5, -0.5))
    strip.set_yticks([0])
    strip.set_yticklabels(["links"])
    strip.set_title(title)
    started_map, started_top = _colour_map({code: STARTED_COLOURS[s] for s, code in STARTED_CODES.items()})
    if ids:
        ax.imshow(timeline.cells, cmap=started_map, vmin=0, vmax=started_top, aspect="auto",
                  interpolation="nearest", extent=(h0, h1, len(ids) - 0.5, -0.5))
    ax.set_ylim(rows - 0.5, -0.5)
    ax.yaxis.set_major_locator(MaxNLocator(nbins=min(rows, 25), integer=True))
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: str(ids[int(v)]) if 0 <= v < len(ids) else ""))
    ax.set_ylabel("Track id")
    if timeline.restarts:
        ax.vlines(np.asarray(timeline.restarts) / 60, -0.5, rows - 0.5, colors="#c92a2a", linestyles="--", lw=1)
    _hour_axis(ax, h0, h1)
    codes = set(np.unique(timeline.cells).tolist())
    handles = [Patch(color=STARTED_COLOURS[s], label=("search" if s == records.STARTED_BY_SEARCH else s))
               for s, code in STARTED_CODES.items() if code in codes]
    handles += [Patch(color=STATUS_COLOURS[s], label=_STATUS_WORDS[s]) for s, code in STATUS_CODES.items()
                if s != records.DONE and (timeline.status == code).any()]
    if handles:
        ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    return _save(fig, path)
