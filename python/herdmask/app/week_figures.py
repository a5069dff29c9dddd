"""The figures of a camera's week: when it was tracked, and its track ids over each day.

Both are rasters in clock time (hours of the day across, days or track ids down),
painted pixel for pixel with Pillow: a week of ten pens is some eighty of them,
and a raster costs the same whether its day held ten links or six thousand.
Colours: how a link started (as on the segment pages), what became of the links
that were not tracked.
"""

from __future__ import annotations

import os
from datetime import date

import numpy as np

from . import records
from .figures import STARTED_COLOURS
from .files import write_atomic
from .week import STARTED_CODES, STATUS_CODES

__all__ = ["STATUS_COLOURS", "day_timeline", "week_overview"]

STATUS_COLOURS = {records.DONE: "#2b8a3e", records.NO_START: "#f59f00", records.NO_FRAMES: "#868e96",
                  records.FAILED: "#c92a2a"}
STATUS_WORDS = {records.DONE: "tracked", records.NO_START: "not tracked: no start frame",
                records.NO_FRAMES: "not tracked: no frames", records.FAILED: "not tracked: failed"}
_NOTHING, _INK, _GRID, _RESTART = "#f1f3f5", "#212529", "#adb5bd", "#c92a2a"
LEFT, TOP, LEGEND, GAP = 48, 30, 230, 6  # LEFT: at least, or as wide as the row labels
WIDTH = 900  # of the plotting area, in pixels


def _rgb(colour):
    return tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def _table(colours_by_code):
    """Colour lookup table: code -> RGB, 0 and unknown codes "nothing"."""
    table = np.array([_rgb(_NOTHING)] * 256, np.uint8)
    for code, colour in colours_by_code.items():
        table[code] = _rgb(colour)
    return table


def _font(size, bold=False):
    from PIL import ImageFont

    import matplotlib

    name = "DejaVuSans-Bold.ttf" if bold else "DejaVuSans.ttf"
    try:
        return ImageFont.truetype(os.path.join(matplotlib.get_data_path(), "fonts", "ttf", name), size)
    except OSError:
        return ImageFont.load_default()


class _Panel:
    """A raster of codes with its colours, row height in pixels and row labels [(row, text)]."""

    def __init__(self, codes, colours, row_px, labels, name=""):
        self.codes, self.colours, self.row_px, self.labels, self.name = codes, colours, row_px, labels, name

    @property
    def height(self):
        return self.codes.shape[0] * self.row_px


def _chart(path, title, panels, hours, legend, marks=()):
    """Draws the panels one under the other over one clock-time axis (`hours` first and last) and
    saves the PNG; `marks` are hours where dashed lines cross the last panel."""
    from PIL import Image, ImageDraw

    first, last = hours
    small, big = _font(11), _font(13, bold=True)
    left = max([LEFT] + [int(small.getlength(text)) + 14 for p in panels for _, text in p.labels])
    height = TOP + sum(p.height + GAP for p in panels) + 44
    image = Image.new("RGB", (left + WIDTH + LEGEND, max(height, 40 + 18 * len(legend))), "white")
    draw = ImageDraw.Draw(image)
    draw.text((left, 8), title, fill=_INK, font=big)
    y = TOP
    for p in panels:
        rgb = _table(p.colours)[p.codes]
        plot = Image.fromarray(rgb).resize((WIDTH, p.height), Image.NEAREST)
        image.paste(plot, (left, y))
        draw.rectangle((left - 1, y - 1, left + WIDTH, y + p.height), outline=_GRID)
        for row, text in p.labels:
            middle = y + row * p.row_px + p.row_px // 2
            draw.text((left - 6, middle), text, fill=_INK, font=small, anchor="rm")
        if p.name:  # the axis's name, over its labels
            draw.text((left - 6, y - 2), p.name, fill=_INK, font=small, anchor="rb")
        y += p.height + GAP
    top_of_last = y - GAP - panels[-1].height
    for hour in marks:
        x = left + round((hour - first) / (last - first) * WIDTH)
        for dash in range(top_of_last, y - GAP, 8):
            draw.line((x, dash, x, min(dash + 4, y - GAP)), fill=_RESTART, width=1)
    ticks = _ticks(first, last)
    seconds = len(ticks) > 1 and ticks[1] - ticks[0] < 1 / 60 - 1e-9
    for hour in ticks:
        x = left + round((hour - first) / (last - first) * WIDTH)
        draw.line((x, y - GAP, x, y - GAP + 4), fill=_INK)
        draw.text((x, y + 2), _clock(hour, seconds), fill=_INK, font=small, anchor="mt")
    draw.text((left + WIDTH // 2, y + 20), "Clock time", fill=_INK, font=small, anchor="mt")
    ly = TOP
    for colour, text in legend:
        draw.rectangle((left + WIDTH + 16, ly, left + WIDTH + 28, ly + 12), fill=colour, outline=_GRID)
        draw.text((left + WIDTH + 34, ly + 6), text, fill=_INK, font=small, anchor="lm")
        ly += 18
    return write_atomic(path, lambda tmp: image.save(tmp, format="PNG"))


_TICK_MINUTES = (120, 60, 30, 10, 5, 1, 0.5, 1 / 6)


def _ticks(first, last):
    """Clock times (hours) to mark on an axis from `first` to `last`: at most 14, on round times."""
    span = (last - first) * 60
    step = next((m for m in reversed(_TICK_MINUTES) if span / m <= 14), _TICK_MINUTES[0]) / 60
    return [k * step for k in range(int(np.ceil(first / step - 1e-9)), int(np.floor(last / step + 1e-9)) + 1)]


def _clock(hour, with_seconds):
    seconds = int(round(hour * 3600))
    text = f"{seconds // 3600 % 24:02d}:{seconds // 60 % 60:02d}"
    return text + f":{seconds % 60:02d}" if with_seconds else text


def _status_colours():
    return {code: STATUS_COLOURS[s] for s, code in STATUS_CODES.items()}


def _status_legend(grid):
    found = [(STATUS_COLOURS[s], STATUS_WORDS[s]) for s, code in STATUS_CODES.items() if (grid == code).any()]
    return found + [(_NOTHING, "nothing recorded")]


def week_overview(timelines, path, title):
    """Days down, clock time across: each bin coloured by what became of its links."""
    days = list(timelines)
    grid = np.stack([timelines[d].status for d in days])
    labels = [(i, date.fromisoformat(d).strftime("%a %d %b")) for i, d in enumerate(days)]
    panel = _Panel(grid, _status_colours(), 20, labels)
    return _chart(path, title, [panel], next(iter(timelines.values())).hours, _status_legend(grid))


def _id_labels(ids, row_px):
    """Labels for the rows of track ids: every row while they fit, else about every 16 pixels."""
    every = max(1, -(-16 // row_px))
    return [(k, str(ids[k])) for k in range(0, len(ids), every)]


def day_timeline(timeline, path, title):
    """Track ids down, clock time across: where an animal was tracked, coloured by how its link
    started; above, what became of the day's links; dashed lines where the keys restarted."""
    ids = timeline.ids
    rows = max(len(ids), 1)
    row_px = int(min(14, max(1, 640 // rows)))
    cells = timeline.cells if ids else np.zeros((1, timeline.status.size), np.uint8)
    started = {code: STARTED_COLOURS[s] for s, code in STARTED_CODES.items()}
    panels = [_Panel(timeline.status[None, :], _status_colours(), 12, [(0, "links")]),
              _Panel(cells, started, row_px, _id_labels(ids, row_px))]
    present = set(np.unique(cells).tolist())
    legend = [(STARTED_COLOURS[s], "search" if s == records.STARTED_BY_SEARCH else s)
              for s, code in STARTED_CODES.items() if code in present]
    legend += [(c, w) for c, w in _status_legend(timeline.status) if w != STATUS_WORDS[records.DONE]]
    if timeline.restarts:
        legend.append((_RESTART, "keys restarted"))
    return _chart(path, title, panels, timeline.hours, legend, [m / 60 for m in timeline.restarts])
