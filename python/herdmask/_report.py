"""The tracking question report: the scan of a video's frame records for vanished
masks and for pairs of masks that cover each other too much, and the CSV text of
its rows."""

import csv
import operator
import sys

import numpy as np

COLUMNS = [
    "Frame ID",
    "Box Pair",
    "Intersection Value",
    "Mask Area1",
    "Mask Area2",
    "Report type",
    "Box ID",
    "Mask Areas",
]
ZERO_AREA = 0.1
OVERLAP_TEXT = "High overlap mask detected"
ZERO_AREA_TEXT = "Zero area detected"

_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


def text(value):
    return value if isinstance(value, str) else str(value)


def as_real(value):
    """The value as a C double, converted the way the interpreter's own float
    conversion of an object does it (no text parsing); TypeError when it has none."""
    if isinstance(value, float):
        return float(value)
    kind = type(value)
    if hasattr(kind, "__float__"):
        real = kind.__float__(value)
        if not isinstance(real, float):
            raise TypeError(f"{kind.__name__}.__float__ returned {type(real).__name__}")
        return float(real)
    if hasattr(kind, "__index__"):
        return float(operator.index(value))
    raise TypeError(f"{kind.__name__} is not a real number")


def cell(value):
    """A report value: None (an empty field), an int (integers of NumPy and Python
    that fit 64 bits, written in plain digits), a float (everything else with a
    real value, written as repr writes it) or text."""
    if value is None:
        return None
    if isinstance(value, bool):
        return "True" if value else "False"
    if isinstance(value, str):
        return value
    if not isinstance(value, float) and hasattr(type(value), "__index__"):
        whole = int(operator.index(value))
        return whole if _INT64_MIN <= whole <= _INT64_MAX else text(value)
    try:
        return as_real(value)
    except Exception:  # anything without a real value is written as its text
        return text(value)


def _is_number(c):
    return type(c) is int or type(c) is float


class _Lines:
    """Collects the CSV writer's lines ending in "\\n". The writer is given "\\r\\n"
    as line end so that it quotes every field holding either character."""

    def __init__(self):
        self.parts = []

    def write(self, line):
        self.parts.append(line[:-2] + "\n")


def field_text(c):
    """The CSV field of one cell, as the report writes it."""
    if type(c) is int:
        return str(c)
    if type(c) is float:
        return repr(c)
    lines = _Lines()
    csv.writer(lines, lineterminator="\r\n").writerow([c, ""])
    return lines.parts[0][:-2]


MISSING = object()


def lookup(record, key):
    """record[key], or MISSING: a dict is read as it stands (no __missing__), any
    other mapping through its own look-up, whose KeyError means missing."""
    if isinstance(record, dict):
        return dict.get(record, key, MISSING)
    try:
        return record[key]
    except KeyError:
        return MISSING


def _entry(record, key, fid_cell):
    found = lookup(record, key)
    if found is MISSING:
        raise KeyError(f"frame record {field_text(fid_cell)} has no '{key}' entry")
    return found


def _area_cells(areas, fid_cell):
    """(keys, values, cells) of a frame's "mask_areas"."""
    if type(areas) is dict:
        keys, values = list(areas), list(areas.values())
    else:
        pairs = [(kv[0], kv[1]) for kv in areas.items()]
        keys, values = [k for k, _ in pairs], [v for _, v in pairs]
    if values and set(map(type, values)) == {int} and \
            _INT64_MIN <= min(values) and max(values) <= _INT64_MAX:
        return keys, values, values
    cells = []
    for key, value in zip(keys, values):
        c = cell(value)
        if not _is_number(c):
            raise TypeError(f"tracking report: the mask area of {text(key)} in frame "
                            f"{field_text(fid_cell)} is not a number")
        cells.append(c)
    return keys, values, cells


def _texts(items):
    return items if set(map(type, items)) <= {str} else [
        item if type(item) is str else text(item) for item in items]


def _labels(index):
    # A pandas index lists its labels at once; iterating it boxes them one by one. (Only a caller
    # that has pandas loaded can pass one.)
    pd = sys.modules.get("pandas")
    return _texts(index.tolist() if pd is not None and isinstance(index, pd.Index) else list(index))


class Report:
    """What the report found: the rows of both kinds, with the caller's own objects
    (frame ids, box keys, areas) where the returned tables and rows hold them."""

    def __init__(self):
        self.zero_rows = []       # dicts of the zero-area rows, in scan order
        self.overlap_frames = []  # frame ids, in scan order
        self.columns = ([], [], [], [], [])  # frame id, box pair, value, area 1, area 2
        self.last_start = 0       # first overlap row of the last overlap frame
        self._lines = []

    def csv_text(self):
        """The report file's text: header, every overlap row, then every zero-area row."""
        lines = _Lines()
        writer = csv.writer(lines, lineterminator="\r\n")
        writer.writerow(COLUMNS)
        writer.writerows(row for kind, row in self._lines if kind == 0)
        writer.writerows(row for kind, row in self._lines if kind == 1)
        return "".join(lines.parts)


def scan(data, threshold):
    """Scans the frame records of `data` (a map from frame id to record) in order.

    A mask area at or below 0.1 gives a zero-area row; a table cell strictly above
    `threshold` makes its frame an overlap frame and gives one overlap row, row-major.
    """
    frames = []
    for fid, record in data.items():
        fid_cell = fid if type(fid) is int and _INT64_MIN <= fid <= _INT64_MAX else cell(fid)
        keys, values, cells = _area_cells(_entry(record, "mask_areas", fid_cell), fid_cell)
        table = _entry(record, "intersections_df", fid_cell)
        if not hasattr(table, "index") or not hasattr(table, "columns"):
            raise TypeError(f"tracking report: intersections_df of frame {field_text(fid_cell)} "
                            "must be a labelled table")
        rows, cols = _labels(table.index), _labels(table.columns)
        cells_table = np.ascontiguousarray(table.to_numpy(), "float64")
        if cells_table.ndim != 2 or cells_table.shape != (len(rows), len(cols)):
            raise ValueError("tracking report: the intersection table of frame "
                             f"{field_text(fid_cell)} does not match its labels")
        frames.append((fid, fid_cell, keys, values, cells, rows, cols, cells_table))

    # Both scans run over all frames at once; only frames with a question are visited.
    questions = {}
    if frames:
        area_counts = [len(f[4]) for f in frames]
        all_areas = np.array([c for f in frames for c in f[4]], dtype=np.float64)
        zero = np.flatnonzero(all_areas <= ZERO_AREA)
        area_starts = np.cumsum([0] + area_counts)
        for at, f in zip(zero.tolist(), (np.searchsorted(area_starts, zero, "right") - 1).tolist()):
            questions.setdefault(f, ([], []))[0].append(at - int(area_starts[f]))
        flat = np.concatenate([f[-1].reshape(-1) for f in frames])
        hits = np.flatnonzero(flat > threshold)
        starts = np.cumsum([0] + [f[-1].size for f in frames])
        rounded = (np.rint(flat[hits] * 100.0) / 100.0).tolist()
        for at, f, value in zip(hits.tolist(),
                                (np.searchsorted(starts, hits, "right") - 1).tolist(), rounded):
            questions.setdefault(f, ([], []))[1].append((at - int(starts[f]), value))

    out = Report()
    c_frame, c_pair, c_value, c_area1, c_area2 = out.columns
    for f in sorted(questions):
        fid, fid_cell, keys, values, cells, rows, cols, _ = frames[f]
        zero_boxes, overlaps = questions[f]
        key_texts = None
        if zero_boxes:
            key_texts = _texts(keys)
        for b in zero_boxes:
            out.zero_rows.append({"Frame ID": fid, "Report type": ZERO_AREA_TEXT,
                                  "Box ID": keys[b], "Mask Areas": values[b]})
            out._lines.append((1, [fid_cell, None, None, None, None, ZERO_AREA_TEXT,
                                   key_texts[b], cells[b]]))
        if not overlaps:
            continue
        out.overlap_frames.append(fid)
        out.last_start = len(c_frame)
        position = {}
        for b, key_text in enumerate(key_texts or _texts(keys)):
            position.setdefault(key_text, b)
        width = len(cols)
        for offset, value in overlaps:
            row, col = rows[offset // width], cols[offset % width]
            a1, a2 = position.get(row), position.get(col)
            for label, at in ((row, a1), (col, a2)):
                if at is None:
                    raise KeyError(f"tracking report: box {label} of the intersection table "
                                   f"of frame {field_text(fid_cell)} has no entry in mask_areas")
            pair = f"{row}-{col}"
            c_frame.append(fid)
            c_pair.append(pair)
            c_value.append(value)
            c_area1.append(values[a1])
            c_area2.append(values[a2])
            out._lines.append((0, [fid_cell, pair, value, cells[a1], cells[a2], OVERLAP_TEXT,
                                   None, None]))
    return out
