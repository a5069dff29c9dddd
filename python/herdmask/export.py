"""Tracking results in the formats of the field's tools, and identity metrics.

A segment's annotation files (or its loaded annotation data) become a table of
tracks (each mask's box, area and centroid), COCO instance segmentation JSON
or MOTChallenge text, with the track ids and frame numbers the caller gives
(by default the files' own object ids and frame numbers). MOTChallenge text is
read back strictly, and predicted tracks are scored against ground truth
(HOTA, MOTA, IDF1, identity switches, ...).

Masks are read through the annotation loader, so what is exported is exactly
what the review steps see. pycocotools and trackeval (the `export` extra) are
imported only by the functions that need them.
"""

import datetime
import json
import math
import os
import re
from collections.abc import Mapping

import numpy as np
import pandas as pd

from .files import write_text_atomic
from ._native import detect as _core_detect
from ._native import measures as _core_measures
from .detect import _records as _load_records

__all__ = [
    "MotFormatError",
    "MOT_COLUMNS",
    "segment_coco",
    "sequence_coco",
    "segment_mot",
    "write_coco",
    "write_mot",
    "read_mot",
    "segment_tracks",
    "tracks_mot",
    "TRACK_COLUMNS",
    "evaluate_mot",
    "METRIC_COLUMNS",
]

MOT_COLUMNS = ["frame", "id", "x", "y", "w", "h", "conf"]
TRACK_COLUMNS = ["frame", "box_key", "x", "y", "w", "h", "area", "cx", "cy"]
# the figures `evaluate_mot` reports, in order
METRIC_COLUMNS = ["HOTA", "DetA", "AssA", "LocA", "MOTA", "IDF1", "ID switches", "fragmentations", "precision",
                  "recall", "ground-truth tracks", "frames"]
_DEFAULT_LABEL = "pig"
_CHUNK = 32  # annotation files loaded at once: bounds the memory a long segment takes
_BOX_KEY = re.compile(r"^Box(-?\d+)$")


class MotFormatError(ValueError):
    """A MOTChallenge text file that cannot be read: the message names the file, line and field."""


# ------------------------------------------------------------------ frame records


def _annotation_paths(folder):
    folder = os.fspath(folder)
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"No such folder: '{folder}'")
    paths = _core_detect.discover_annotation_files(folder)
    if not paths:
        raise FileNotFoundError(f"No annotation files (output_pp_<n>.json) under '{folder}'")
    folders = sorted({os.path.dirname(p) for p in paths})
    if len(folders) > 1:
        # Frame numbers restart in every segment folder: one sequence cannot hold two of them.
        shown = ", ".join(os.path.relpath(f, folder) for f in folders[:3])
        more = f" and {len(folders) - 3} more" if len(folders) > 3 else ""
        raise ValueError(f"'{folder}' holds the annotation files of {len(folders)} segments ({shown}{more}); "
                         "export one segment folder, or a whole run folder")
    return paths


def _frame_records(source):
    """Frame records of one segment in frame order, from a folder (loaded a few files at a
    time) or from annotation data as the loader returns it."""
    if isinstance(source, dict):
        records = sorted(source.values(), key=lambda r: r["frame_index"])
        yield from records
        return
    paths = _annotation_paths(source)
    height, width = _core_detect.annotation_frame_size(paths[0])
    for start in range(0, len(paths), _CHUNK):
        yield from _load_records(paths[start:start + _CHUNK], height, width, False)


def _key_number(key):
    m = _BOX_KEY.match(str(key))
    if not m:
        raise ValueError(f"'{key}' is not a box key (Box followed by a number)")
    return int(m.group(1))


def _track_id(key, track_ids, frame_index):
    """The mask's track id; None leaves the mask out (a `track_ids` function said so)."""
    if track_ids is None:
        return _key_number(key) + 1  # the files' own object id
    if callable(track_ids):
        track = track_ids(key, int(frame_index))
        return None if track is None else int(track)
    if key not in track_ids:
        raise ValueError(f"no track id given for {key}")
    return int(track_ids[key])


def _frame_number(frame_index, frame_numbers, frame_offset):
    if frame_numbers is None:
        return frame_offset + int(frame_index) + 1
    try:
        return int(frame_numbers[int(frame_index)])
    except (IndexError, KeyError):
        raise ValueError(f"no frame number given for frame index {frame_index}") from None


def _boxes(masks):
    """(x, y, width, height) of each mask's tight box, width and height counting pixels."""
    return [(x1, y1, x2 - x1 + 1, y2 - y1 + 1)
            for x1, y1, x2, y2 in _core_measures.mask_boxes(masks).tolist()]


def _tracked_objects(record, track_ids):
    """(box key, track id, mask, area, box) of each non-empty mask of a frame record."""
    keys = [k for k, m in record["masks_dict"].items() if record["mask_areas"][k] > 0]
    masks = [record["masks_dict"][k] for k in keys]
    tracks = [_track_id(k, track_ids, record["frame_index"]) for k in keys]
    kept = [n for n, t in enumerate(tracks) if t is not None]
    keys, masks, tracks = [keys[n] for n in kept], [masks[n] for n in kept], [tracks[n] for n in kept]
    return [(k, t, m, int(record["mask_areas"][k]), b) for k, t, m, b in zip(keys, tracks, masks, _boxes(masks))]


def _label_of(json_path):
    """The object label the annotation file names: a detection's class name, else its
    polygons' identifier; None when the file names none."""
    try:
        with open(json_path) as f:
            detections = json.load(f).get("detections") or []
    except (OSError, ValueError, AttributeError):
        return None
    for det in detections:
        name = det.get("class_name") if isinstance(det, dict) else None
        if isinstance(name, str) and name.strip():
            return name.strip()
        for poly in (det.get("formatted_polygon") or []) if isinstance(det, dict) else []:
            tokens = str(poly).split()
            if tokens:
                return tokens[0]
    return None


# ------------------------------------------------------------------ COCO


class _CocoBuilder:
    """Accumulates images and annotations of one or more segments into one COCO document."""

    def __init__(self, label=None, description=""):
        self.label = label
        self.description = description
        self.images = []
        self.annotations = []
        self.shape = None  # (height, width) of the frames

    def add_segment(self, source, track_ids=None, frame_offset=0, extra=None, frame_numbers=None):
        from pycocotools import mask as mask_utils

        for record in _frame_records(source):
            objects = _tracked_objects(record, track_ids)
            if self.label is None and objects:
                self.label = _label_of(record["json_path"])
            if record["masks_dict"]:
                self.shape = tuple(int(v) for v in next(iter(record["masks_dict"].values())).shape[-2:])
            elif self.shape is None:
                self.shape = _frame_shape(record)
            height, width = self.shape
            image_id = len(self.images) + 1
            image = {"id": image_id, "file_name": record["image_path"], "height": height, "width": width,
                     "frame_index": int(record["frame_index"]),
                     "frame_id": _frame_number(record["frame_index"], frame_numbers, frame_offset)}
            image.update(extra or {})
            self.images.append(image)
            for key, track, mask, area, (x, y, w, h) in objects:
                # The encoder reads column by column; only the box holds set pixels, so only the box
                # is copied into the column-major frame (the rest stays zero pages).
                frame = np.zeros(self.shape, np.uint8, order="F")
                frame[y:y + h, x:x + w] = np.asarray(mask).reshape(self.shape)[y:y + h, x:x + w] != 0
                rle = mask_utils.encode(frame)
                self.annotations.append({
                    "id": len(self.annotations) + 1, "image_id": image_id, "category_id": 1,
                    "segmentation": {"size": [height, width], "counts": rle["counts"].decode("ascii")},
                    "area": area, "bbox": [int(x), int(y), int(w), int(h)], "iscrowd": 0,
                    "track_id": track, "box_key": key})

    def document(self):
        return {
            "info": {"description": self.description, "version": "1.0",
                     "date_created": datetime.date.today().isoformat()},
            "licenses": [],
            "images": self.images,
            "annotations": self.annotations,
            "categories": [{"id": 1, "name": self.label or _DEFAULT_LABEL, "supercategory": "animal"}],
        }


def _frame_shape(record):
    """Frame size of a record without masks, read from its image."""
    from PIL import Image

    with Image.open(record["image_path"]) as img:
        return img.height, img.width


def segment_coco(source, label=None, track_ids=None, frame_numbers=None):
    """COCO instance segmentation document (a dict) of one segment.

    `source` is a segment's annotation folder or its annotation data as
    `get_gsam_annotation_data` returns it. One image per annotation file, one
    category (`label`, by default the label the files name, else "pig"), one
    annotation per non-empty mask: its mask as compressed RLE, its tight box as
    x, y, width, height, its area in pixels, and "track_id", the integer id of
    its box key (`track_ids[key]`, by default the key's number plus one, the
    files' own object id; `track_ids` may also be a function (box key, frame
    index) -> id for ids that change within the segment, None leaving the mask
    out). Images also carry "frame_index" (the frame number
    of the annotation file) and "frame_id": `frame_numbers[frame_index]` when
    given (a sequence or mapping, e.g. the frame's number along a recording),
    else the frame index counted from 1.
    """
    builder = _CocoBuilder(label, description=_describe(source))
    builder.add_segment(source, track_ids, frame_numbers=frame_numbers)
    return builder.document()


def sequence_coco(parts, label=None, description=""):
    """One COCO document (a dict) of several segments in order, e.g. a camera's recording.

    `parts` yields (source, track_ids, frame_numbers, image_fields) per segment:
    `source`, `track_ids` and `frame_numbers` as for `segment_coco`, and
    `image_fields` a dict added to each of the segment's images.
    """
    builder = _CocoBuilder(label, description=description)
    for source, track_ids, frame_numbers, fields in parts:
        builder.add_segment(source, track_ids, extra=fields, frame_numbers=frame_numbers)
    return builder.document()


def _describe(source):
    where = "loaded annotation data" if isinstance(source, dict) else os.path.abspath(os.fspath(source))
    return f"herdmask tracking export of {where}"


def write_coco(document, path):
    """Writes a COCO document as JSON to `path` (replaced in one step); returns `path`."""
    write_text_atomic(os.fspath(path), json.dumps(document))
    return path


# ------------------------------------------------------------------ MOTChallenge


def _mot_table(rows):
    table = pd.DataFrame(rows, columns=MOT_COLUMNS)
    return table.astype({"frame": np.int64, "id": np.int64, "x": float, "y": float, "w": float, "h": float,
                         "conf": float})


def segment_tracks(source):
    """The tracks of one segment as a table with the columns of `TRACK_COLUMNS`.

    `source` as for `segment_coco`. One row per non-empty mask: frame (the
    annotation file's frame index), box_key, its tight box x, y, width, height,
    its area in pixels and its centroid cx, cy (the mean column and row of its
    pixels). Rows are in frame order, then in box-key order.
    """
    rows = []
    for record in _frame_records(source):
        keys = [k for k, m in record["masks_dict"].items() if record["mask_areas"][k] > 0]
        masks = [record["masks_dict"][k] for k in keys]
        centroids = _core_measures.mask_centroids(masks) if masks else np.zeros((0, 2))
        for key, area, (x, y, w, h), (cx, cy) in zip(keys, (record["mask_areas"][k] for k in keys), _boxes(masks),
                                                     centroids.tolist()):
            rows.append((int(record["frame_index"]), key, x, y, w, h, int(area), cx, cy))
    table = pd.DataFrame(rows, columns=TRACK_COLUMNS)
    return table.astype({"frame": np.int64, "box_key": object, "x": np.int64, "y": np.int64, "w": np.int64,
                         "h": np.int64, "area": np.int64, "cx": float, "cy": float})


def tracks_mot(tracks, track_ids=None, frame_numbers=None, frame_offset=0):
    """MOTChallenge rows (columns `MOT_COLUMNS`) of a tracks table as `segment_tracks` gives it:
    frame `frame_numbers[frame]` (else `frame_offset` + frame + 1), the box key's track id
    (`track_ids[key]`, else the key's number plus one; a function (box key, frame) -> id or
    None as for `segment_coco`; or an array of one id per row), the box, confidence 1."""
    if track_ids is None or isinstance(track_ids, Mapping) or callable(track_ids):
        ids = [_track_id(k, track_ids, f) for k, f in zip(tracks["box_key"], tracks["frame"])]
        kept = [n for n, t in enumerate(ids) if t is not None]
        if len(kept) < len(ids):
            tracks, ids = tracks.iloc[kept], [ids[n] for n in kept]
    else:
        ids = np.asarray(track_ids, dtype=np.int64)
        if ids.shape != (len(tracks),):
            raise ValueError(f"{len(ids)} track ids given for {len(tracks)} rows")
    frames = [_frame_number(f, frame_numbers, frame_offset) for f in tracks["frame"]]
    return _mot_table(list(zip(frames, ids, tracks["x"], tracks["y"], tracks["w"], tracks["h"],
                               [1.0] * len(frames))))


def segment_mot(source, track_ids=None, frame_offset=0, frame_numbers=None):
    """MOTChallenge rows of one segment as a table with the columns of `MOT_COLUMNS`.

    `source` and `track_ids` as for `segment_coco`. One row per non-empty mask:
    frame = `frame_numbers[frame index]` when given, else `frame_offset` + the
    annotation file's frame number + 1 (frames count from 1), the track id, the
    mask's tight box as x, y, width, height, and confidence 1. Rows are in frame
    order, then in box-key order.
    """
    return tracks_mot(segment_tracks(source), track_ids, frame_numbers, frame_offset)


def _number(v):
    v = float(v)
    return str(int(v)) if v.is_integer() else repr(v)


def write_mot(table, path):
    """Writes MOTChallenge text (`frame,id,x,y,w,h,conf,-1,-1,-1` per line) to `path`,
    replaced in one step; returns `path`."""
    lines = [f"{int(r.frame)},{int(r.id)},{_number(r.x)},{_number(r.y)},{_number(r.w)},{_number(r.h)},"
             f"{_number(r.conf)},-1,-1,-1\n" for r in table[MOT_COLUMNS].itertuples(index=False)]
    write_text_atomic(os.fspath(path), "".join(lines))
    return path


def read_mot(path):
    """Reads MOTChallenge text into a table with the columns of `MOT_COLUMNS`.

    Every non-blank line needs at least six comma-separated numbers (frame, id,
    x, y, width, height); a seventh is the confidence (1 when absent), further
    columns are ignored. Frames and ids must be whole numbers, frames count
    from 1, widths and heights are not negative, and an id appears at most
    once per frame. Anything else raises
    `MotFormatError` naming the file, the line and the field.
    """
    path = os.fspath(path)
    if os.path.isdir(path):
        raise MotFormatError(f"{path}: is a folder, not a MOTChallenge text file")
    rows, seen = [], {}
    names = ("frame", "id", "x", "y", "width", "height", "conf")
    with open(path, encoding="utf-8-sig", errors="replace") as f:
        for n, line in enumerate(f, start=1):
            text = line.strip()
            if not text:
                continue
            fields = [t.strip() for t in text.split(",")]
            if len(fields) < 6:
                raise MotFormatError(f"{path}, line {n}: {len(fields)} columns, MOTChallenge text needs at "
                                     "least 6 (frame,id,x,y,w,h[,conf,...])")
            values = []
            for i, field in enumerate(fields[:7]):
                try:
                    v = float(field)
                except ValueError:
                    v = math.nan
                if not math.isfinite(v):
                    raise MotFormatError(f"{path}, line {n}: {names[i]} '{field}' is not a number")
                values.append(v)
            frame, ident, x, y, w, h = values[:6]
            if not frame.is_integer() or frame < 1:
                raise MotFormatError(f"{path}, line {n}: frame '{fields[0]}' is not a whole number from 1 up")
            if not ident.is_integer():
                raise MotFormatError(f"{path}, line {n}: id '{fields[1]}' is not a whole number")
            if w < 0 or h < 0:
                raise MotFormatError(f"{path}, line {n}: negative box size {fields[4]} x {fields[5]}")
            first = seen.setdefault((frame, ident), n)
            if first != n:
                raise MotFormatError(f"{path}, line {n}: id {int(ident)} appears twice in frame {int(frame)} "
                                     f"(first on line {first})")
            rows.append((int(frame), int(ident), x, y, w, h, values[6] if len(values) > 6 else 1.0))
    return _mot_table(rows)


# ------------------------------------------------------------------ metrics


def evaluate_mot(predicted, ground_truth, iou_threshold=0.5):
    """HOTA, CLEAR and identity metrics of predicted tracks against ground truth, per
    sequence and overall, as a table indexed by sequence (the last row "OVERALL").

    `predicted` and `ground_truth` are {sequence name: MOT table} (or one table
    each, then named "sequence"); a predicted box matches a ground-truth box
    when their IoU is at least `iou_threshold`. Columns: `METRIC_COLUMNS`.
    Ground-truth rows with confidence 0 are ignored, as MOTChallenge marks
    boxes not to be scored. A sequence without ground truth, or whose
    ground truth holds none of its frames, raises ValueError. The scores are
    the reference evaluation kit's (see `herdmask.scoring`).
    """
    from .scoring import score_tracks

    return score_tracks(predicted, ground_truth, iou_threshold)
