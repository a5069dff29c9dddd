"""Tracking scored the way the field scores it: HOTA (with DetA, AssA and LocA) beside
MOTA, IDF1, identity switches, fragmentations, precision and recall.

Tracks are tables with one row per frame and object: "frame", "id", the box
"x", "y", "w", "h", "conf" (MOTChallenge text as `export.read_mot` reads it),
and for mask tracks also "mask", the mask as a compressed RLE ({"size":
[height, width], "counts": ...}). Two mask tracks are matched on mask IoU,
anything else on box IoU. The metrics are those of the reference evaluation kit
(trackeval), fed per frame with the similarities it computes itself, so the
numbers are the kit's own. Ground-truth rows with confidence 0 are not scored
(MOTChallenge's mark); ground-truth rows with "ignore" true (MOTS ignore
regions) are no objects, and unmatched predicted masks lying more than half
inside them are dropped, as the kit's MOTS evaluation does.

Ground truth is read from MOTChallenge text (`export.read_mot`), MOTS text
(`read_mots_text`), MOTS PNG folders (`read_mots_png`) and COCO documents with
track ids (`coco_tracks`). pycocotools and trackeval (the `export` extra) are
imported when needed.
"""

from __future__ import annotations

import json
import os
import re

import numpy as np
import pandas as pd

from .export import METRIC_COLUMNS

__all__ = ["SCORE_COLUMNS", "MotsFormatError", "coco_tracks", "read_mots_text", "read_mots_png", "score_tracks",
           "mask_tracks"]

SCORE_COLUMNS = METRIC_COLUMNS
_IGNORE_CLASS = 10  # MOTS: class 10 marks regions not to be scored
_NUMBER = re.compile(r"(\d+)")


class MotsFormatError(ValueError):
    """A MOTS text file or PNG folder that cannot be read: the message names the file and the fault."""


# ------------------------------------------------------------------ reading mask tracks


def _with_boxes(rows, masks):
    """A mask-track table from (frame, id, ignore) rows and their RLEs: boxes from the masks."""
    from pycocotools import mask as mask_utils

    boxes = mask_utils.toBbox(masks) if masks else np.zeros((0, 4))
    table = pd.DataFrame(rows, columns=["frame", "id", "ignore"])
    table[["x", "y", "w", "h"]] = np.asarray(boxes, float).reshape(-1, 4)
    table["conf"] = 1.0
    table["mask"] = masks
    return table.astype({"frame": np.int64, "id": np.int64, "ignore": bool})[
        ["frame", "id", "x", "y", "w", "h", "conf", "mask", "ignore"]]


def read_mots_text(path):
    """Mask tracks of a MOTS text file: one line "frame id class height width rle" per mask,
    frames as written (from 1 in MOTS Challenge files), ids as written (class * 1000 +
    instance), the mask as COCO's compressed RLE text. Class 10 lines are ignore regions.
    Raises MotsFormatError naming the file and line."""
    path = os.fspath(path)
    rows, masks = [], []
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, start=1):
            fields = line.split()
            if not fields:
                continue
            if len(fields) != 6:
                raise MotsFormatError(f"{path}, line {n}: {len(fields)} fields, MOTS text has 6 "
                                      "(frame id class height width rle)")
            try:
                frame, ident, cls, height, width = (int(v) for v in fields[:5])
            except ValueError:
                raise MotsFormatError(f"{path}, line {n}: frame, id, class, height and width must be whole "
                                      "numbers") from None
            rows.append((frame, ident, cls == _IGNORE_CLASS))
            masks.append({"size": [height, width], "counts": fields[5].encode("ascii")})
    return _with_boxes(rows, masks)


def read_mots_png(folder):
    """Mask tracks of a MOTS PNG folder (the annotation tools' mask-track export): one PNG per
    frame, found in `folder` or its instances/ sub-folder and numbered in its name; each pixel
    holds class * 1000 + instance (0 background, class 10 ignore). File number n is frame n + 1,
    as MOTChallenge frames count from 1. Raises MotsFormatError when no PNG is found."""
    from PIL import Image
    from pycocotools import mask as mask_utils

    folder = os.fspath(folder)
    if os.path.isdir(os.path.join(folder, "instances")):
        folder = os.path.join(folder, "instances")
    names = [n for n in os.listdir(folder) if n.lower().endswith(".png") and _NUMBER.search(n)] if os.path.isdir(
        folder) else []
    if not names:
        raise MotsFormatError(f"{folder}: no numbered PNG files (MOTS PNG holds one per frame)")
    rows, masks = [], []
    for name in sorted(names, key=lambda n: int(_NUMBER.findall(n)[-1])):
        frame = int(_NUMBER.findall(name)[-1]) + 1
        with Image.open(os.path.join(folder, name)) as im:
            values = np.asarray(im)
        if values.ndim != 2:
            raise MotsFormatError(f"{os.path.join(folder, name)}: a MOTS PNG has one channel, this one "
                                  f"{values.shape[-1]}")
        for ident in np.unique(values):
            if ident == 0:
                continue
            rows.append((frame, int(ident), int(ident) // 1000 == _IGNORE_CLASS))
            rle = mask_utils.encode(np.asfortranarray(values == ident, dtype=np.uint8))
            masks.append(rle)
    return _with_boxes(rows, masks)


def coco_tracks(document):
    """Mask tracks of a COCO instance-segmentation document whose annotations carry "track_id"
    (as `herdmask export --format coco` writes them): frames from the images' "frame_id" (else
    their "frame_index" + 1, else their id). Polygons and uncompressed RLE become compressed RLE."""
    from pycocotools import mask as mask_utils

    if not isinstance(document, dict):
        with open(os.fspath(document), encoding="utf-8") as f:
            document = json.load(f)
    images = {}
    for image in document.get("images", []):
        frame = image.get("frame_id", image.get("frame_index", image["id"] - 1) + 1)
        images[image["id"]] = (int(frame), int(image["height"]), int(image["width"]))
    rows, masks = [], []
    for ann in document.get("annotations", []):
        if "track_id" not in ann:
            raise ValueError(f"COCO annotation {ann.get('id')} has no track_id: the document holds no tracks")
        frame, height, width = images[ann["image_id"]]
        seg = ann["segmentation"]
        if isinstance(seg, list):
            rle = mask_utils.merge(mask_utils.frPyObjects(seg, height, width))
        elif isinstance(seg.get("counts"), list):
            rle = mask_utils.frPyObjects(seg, height, width)
        else:
            rle = {"size": seg["size"], "counts": seg["counts"].encode("ascii") if isinstance(seg["counts"], str)
                   else seg["counts"]}
        rows.append((frame, int(ann["track_id"]), bool(ann.get("iscrowd", 0))))
        masks.append(rle)
    return _with_boxes(rows, masks)


def mask_tracks(table):
    """Whether a track table holds masks."""
    return "mask" in table.columns


# ------------------------------------------------------------------ per-frame data for the kit


def _box_ious(gt, pred):
    from trackeval.datasets._base_dataset import _BaseDataset

    return _BaseDataset._calculate_box_ious(gt, pred, box_format="xywh")


def _mask_ious(gt, pred, do_ioa=False):
    from trackeval.datasets._base_dataset import _BaseDataset

    if not len(gt) or not len(pred):
        return np.zeros((len(gt), len(pred)))
    return np.asarray(_BaseDataset._calculate_mask_ious(gt, pred, is_encoded=True, do_ioa=do_ioa), float)


def _drop_in_ignore(similarity, pred_masks, ignore_masks):
    """Predicted masks left unmatched at IoU 0.5 and lying more than half inside an ignore region."""
    from pycocotools import mask as mask_utils
    from scipy.optimize import linear_sum_assignment

    unmatched = np.arange(len(pred_masks))
    if similarity.shape[0] and similarity.shape[1]:
        scores = similarity.copy()
        scores[scores < 0.5 - np.finfo("float").eps] = -10000
        rows, cols = linear_sum_assignment(-scores)
        unmatched = np.delete(unmatched, cols[scores[rows, cols] > 0 + np.finfo("float").eps])
    if not len(unmatched):
        return unmatched
    region = mask_utils.merge(list(ignore_masks), intersect=False)
    inside = _mask_ious([pred_masks[i] for i in unmatched], [region], do_ioa=True)
    return unmatched[np.any(inside > 0.5 + np.finfo("float").eps, axis=1)]


def _by_frame(table, frames, columns):
    """The rows of `table` split by frame in the order of `frames`: (start, end) row ranges into
    the table sorted by frame, and its `columns` as arrays in that order."""
    table = table.sort_values("frame", kind="stable")
    numbers = table["frame"].to_numpy(np.int64)
    bounds = np.searchsorted(numbers, frames), np.searchsorted(numbers, frames, side="right")
    return bounds, {c: (table[c].to_numpy() if c != "box" else table[["x", "y", "w", "h"]].to_numpy(float))
                    for c in columns}


def _sequence_data(gt, pred, use_masks):
    """The kit's per-sequence input: per frame the ids (numbered from 0) and the similarity matrix."""
    gt = gt[gt["conf"] != 0]
    ignore = gt[gt["ignore"]] if "ignore" in gt else gt.iloc[:0]
    if "ignore" in gt:
        gt = gt[~gt["ignore"]]
    frames = np.union1d(gt["frame"].unique(), pred["frame"].unique()).astype(np.int64)
    shape = "mask" if use_masks else "box"
    (g0, g1), g = _by_frame(gt, frames, ["id", shape])
    (p0, p1), p = _by_frame(pred, frames, ["id", shape])
    (i0, i1), i = _by_frame(ignore, frames, ["mask"] if use_masks else [])
    g["id"] = np.unique(g["id"], return_inverse=True)[1].reshape(-1) if len(g["id"]) else g["id"].astype(int)
    data = {"gt_ids": [], "tracker_ids": [], "similarity_scores": []}
    for k in range(len(frames)):
        gs, ps = slice(g0[k], g1[k]), slice(p0[k], p1[k])
        pred_ids = p["id"][ps]
        if use_masks:
            similarity = _mask_ious(list(g["mask"][gs]), list(p["mask"][ps]))
            if i1[k] > i0[k] and len(pred_ids):
                dropped = _drop_in_ignore(similarity, list(p["mask"][ps]), list(i["mask"][i0[k]:i1[k]]))
                pred_ids = np.delete(pred_ids, dropped)
                similarity = np.delete(similarity, dropped, axis=1)
        else:
            similarity = _box_ious(g["box"][gs], p["box"][ps])
        data["gt_ids"].append(g["id"][gs].astype(int))
        data["tracker_ids"].append(pred_ids)
        data["similarity_scores"].append(np.asarray(similarity, float).reshape(g1[k] - g0[k], len(pred_ids)))
    seen = np.unique(np.concatenate(data["tracker_ids"])) if data["tracker_ids"] else np.zeros(0)
    data["tracker_ids"] = [np.searchsorted(seen, ids).astype(int) for ids in data["tracker_ids"]]
    data.update(num_timesteps=len(frames), num_gt_ids=int(len(np.unique(g["id"]))), num_tracker_ids=len(seen),
                num_gt_dets=int(sum(len(ids) for ids in data["gt_ids"])),
                num_tracker_dets=int(sum(len(ids) for ids in data["tracker_ids"])))
    return data


def _metrics(iou_threshold):
    from trackeval.metrics import CLEAR, HOTA, Identity

    config = {"THRESHOLD": iou_threshold, "PRINT_CONFIG": False}
    return [HOTA(), CLEAR(config), Identity(config)]


def _row(results, gt_tracks, frames):
    hota, clear, identity = results["HOTA"], results["CLEAR"], results["Identity"]
    return {"HOTA": float(np.mean(hota["HOTA"])), "DetA": float(np.mean(hota["DetA"])),
            "AssA": float(np.mean(hota["AssA"])), "LocA": float(np.mean(hota["LocA"])),
            "MOTA": float(clear["MOTA"]), "IDF1": float(identity["IDF1"]), "ID switches": int(clear["IDSW"]),
            "fragmentations": int(clear["Frag"]), "precision": float(clear["CLR_Pr"]),
            "recall": float(clear["CLR_Re"]), "ground-truth tracks": int(gt_tracks), "frames": int(frames)}


def _score(pairs, iou_threshold):
    """One row per sequence of {name: (gt, pred)} and the OVERALL row, combined as the kit combines."""
    metrics = _metrics(iou_threshold)
    per_metric = {m.get_name(): {} for m in metrics}
    rows = {}
    for name, (gt, pred) in pairs.items():
        use_masks = mask_tracks(gt) and mask_tracks(pred)
        data = _sequence_data(gt, pred, use_masks)
        found = {m.get_name(): m.eval_sequence(data) for m in metrics}
        for metric, res in found.items():
            per_metric[metric][name] = res
        rows[name] = _row(found, data["num_gt_ids"], data["num_timesteps"])
    combined = {m.get_name(): m.combine_sequences(per_metric[m.get_name()]) for m in metrics}
    rows["OVERALL"] = _row(combined, sum(r["ground-truth tracks"] for r in rows.values()),
                           sum(r["frames"] for r in rows.values()))
    table = pd.DataFrame.from_dict(rows, orient="index")[SCORE_COLUMNS]
    table.index.name = "sequence"
    return table


def _frame_range(table):
    return f"{table['frame'].min()}-{table['frame'].max()}" if len(table) else "none"


def score_tracks(predicted, ground_truth, iou_threshold=0.5, frame_bins=None):
    """Scores of predicted tracks against ground truth per sequence and overall (the last
    row, "OVERALL", combines the sequences as the kit does), columns `SCORE_COLUMNS`.

    `predicted` and `ground_truth` are {sequence name: track table} (or one
    table each, then named "sequence"). A prediction matches a true object for
    CLEAR and the identity scores when their IoU is at least `iou_threshold`;
    HOTA averages over its own thresholds 0.05 to 0.95. HOTA, DetA, AssA and
    LocA are those averages; the scores lie in 0..1 (MOTA may be negative).

    `frame_bins`: {sequence: Series mapping frame number to a bin label}. Then
    the result is (table, binned): `binned` scores each bin as a sequence of its
    own (identities counted within the bin), indexed by bin and sequence, with
    an OVERALL row per bin.

    A sequence without ground truth, or whose ground truth holds none of its
    frames, raises ValueError.
    """
    if isinstance(predicted, pd.DataFrame):
        predicted = {"sequence": predicted}
    if isinstance(ground_truth, pd.DataFrame):
        ground_truth = {"sequence": ground_truth}
    if not 0 < iou_threshold <= 1:
        raise ValueError(f"iou_threshold must lie in (0, 1], got {iou_threshold}")
    missing = [name for name in predicted if name not in ground_truth]
    if missing:
        raise ValueError(f"no ground truth for {', '.join(missing)} (ground truth has "
                         f"{', '.join(ground_truth) or 'nothing'})")
    pairs = {}
    for name, pred in predicted.items():
        gt = ground_truth[name]
        scored = gt[gt["conf"] != 0]
        if len(pred) and not set(pred["frame"]) & set(scored["frame"]):
            raise ValueError(f"the ground truth of {name} is for other frames: predicted frames "
                             f"{_frame_range(pred)}, ground-truth frames {_frame_range(scored)}")
        pairs[name] = (gt, pred)
    table = _score(pairs, iou_threshold)
    if frame_bins is None:
        return table
    binned = []
    labels = sorted({label for bins in frame_bins.values() for label in pd.unique(bins)})
    for label in labels:
        part = {}
        for name, (gt, pred) in pairs.items():
            bins = frame_bins.get(name)
            if bins is None:
                continue
            def within(t, b=bins):
                return t[t["frame"].map(b) == label]
            g, p = within(gt), within(pred)
            if len(g) or len(p):
                part[name] = (g, p)
        if part:
            scored = _score(part, iou_threshold).reset_index()
            scored.insert(0, "bin", label)
            binned.append(scored)
    binned = pd.concat(binned, ignore_index=True).set_index(["bin", "sequence"]) if binned else pd.DataFrame(
        columns=SCORE_COLUMNS)
    return table, binned
