"""Tracking review: the question report, long overlaps and the box that went
wrong, the best last frame of a finished video and the carry-over of its animals
to the next video."""

import itertools
import math
import os
from collections import Counter
from dataclasses import dataclass

import numpy as np

from . import _report
from .files import write_text_atomic
from ._native import measures as _core_measures
from ._native import review as _core
from ._text import number_text

__all__ = [
    "find_best_laste_frame",
    "find_continuous_frames",
    "process_overlap_frames",
    "matcher",
    "generate_tracking_report",
    "find_boxes_with_small_area_from_last_video",
    "NoComparableFrameError",
    "long_overlap_length",
    "long_overlap_runs",
    "matcher_removal_list",
    "Relinking",
    "relink_by_position",
]


class NoComparableFrameError(IndexError):
    """process_overlap_frames found no frame around the test frame inside the
    annotation data. An IndexError, as it always was, so that a caller can tell
    this outcome apart from an IndexError raised by anything the review calls."""


_REPORT_NAME = "tracking_question_report.csv"
_PEN_CAPACITY = 10
_NORMAL_LAST_KEY = 599


def _require_map(value, name):
    if not hasattr(value, "items"):
        raise TypeError(f"{name} must be a map from frame id to frame record, "
                        f"got {type(value).__name__}")


def _empty_report_table():
    import pandas as pd

    return pd.DataFrame(columns=_report.COLUMNS)


def _overlap_table(frame_ids, pairs, values, areas1, areas2):
    n = len(frame_ids)
    if n == 0:
        return _empty_report_table()
    import pandas as pd

    return pd.DataFrame(
        {
            "Frame ID": frame_ids,
            "Box Pair": pairs,
            "Intersection Value": values,
            "Mask Area1": areas1,
            "Mask Area2": areas2,
            "Report type": [_report.OVERLAP_TEXT] * n,
            "Box ID": np.full(n, np.nan),
            "Mask Areas": np.full(n, np.nan),
        },
        columns=_report.COLUMNS,
    )


def generate_tracking_report(gsam_annotation_data, save_dir_base, intersection_thrr=80):
    """Writes tracking_question_report.csv listing vanished masks and overlapping pairs.

    Returns (overlap rows table, zero-area rows, overlap frame ids, the last overlap
    frame's rows table)."""
    _require_map(gsam_annotation_data, "gsam_annotation_data")
    found = _report.scan(gsam_annotation_data, float(intersection_thrr))
    zero_area_frames, overlap_frames = found.zero_rows, found.overlap_frames
    overlap_frames_data = _empty_report_table()
    box_keys_df = _empty_report_table()
    if not zero_area_frames and not overlap_frames:
        return overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df
    print("Generating tracking question report...\n")
    if overlap_frames:
        overlap_frames_data = _overlap_table(*found.columns)
        box_keys_df = _overlap_table(*(c[found.last_start:] for c in found.columns))
    report_path = os.path.join(save_dir_base, _REPORT_NAME)
    # Joined with an empty folder, the name stands alone: the working folder.
    folder = os.fspath(save_dir_base) or os.curdir
    if not os.path.isdir(folder):
        raise FileNotFoundError(
            f"tracking report: the report folder '{folder}' does not exist")
    write_text_atomic(os.path.join(folder, _REPORT_NAME), found.csv_text())
    print(f"Tracking question report saved to {report_path}")
    return overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df


def _plain(value):
    return int(value) if isinstance(value, (int, np.integer)) else value


def find_continuous_frames(frames_df, group_by="Box ID", n_consecutive=3):
    """Runs of consecutive "Frame ID" values per group key, at least n_consecutive long."""
    result = {}
    for box_id, group in frames_df.groupby(group_by):
        frames = sorted(_plain(f) for f in group["Frame ID"].to_numpy())
        for _, run in itertools.groupby(enumerate(frames), lambda item: item[0] - item[1]):
            seq = [frame for _, frame in run]
            if len(seq) >= n_consecutive:
                result.setdefault(box_id, []).append(seq)
    return result


def long_overlap_length(overlap_frames_dataframe, n_consecutive=2):
    """How many consecutive frames an overlap must last for process_overlap_frames to
    review it: n_consecutive when the rows hold one box pair, n_consecutive + 2 when they
    hold several (the two orders of one pair count as two)."""
    several = overlap_frames_dataframe["Box Pair"].nunique() > 1
    return n_consecutive + 2 if several else n_consecutive


def long_overlap_runs(overlap_frames_dataframe, n_consecutive=2):
    """The runs of overlap frames per box pair that process_overlap_frames reviews:
    find_continuous_frames by "Box Pair" with the length of long_overlap_length."""
    return find_continuous_frames(overlap_frames_dataframe, group_by="Box Pair",
                                  n_consecutive=long_overlap_length(overlap_frames_dataframe,
                                                                    n_consecutive))


def _frame_text(value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "nan"
    return number_text(value)


def _first_frames(counts, largest):
    pick = max if largest else min
    single = [f for f, c in counts.items() if c == 1]
    multiple = [f for f, c in counts.items() if c > 1]
    return (_plain(pick(single)) if single else None,
            _plain(pick(multiple)) if multiple else None)


def process_overlap_frames(overlap_frames_dataframe, gsam_annotation_data, image_predictor,
                           n_consecutive=2):
    """Finds the first long overlap and votes for the box whose track most likely went wrong.

    Returns (test frame, most frequent worst box, runs per box pair, worst box per
    compared frame)."""
    from PIL import Image

    from . import cosine_scores_cal
    from .detect import _encode, _rgb_copy

    df = overlap_frames_dataframe
    con_frames_dict = long_overlap_runs(df, n_consecutive)
    print(f"Box pairs overlapping in consecutive frames: {list(con_frames_dict)}")

    first_single_box_pair_frames = {}
    first_multiple_box_pairs_frames = {}
    reverse_track = False
    for k, runs in con_frames_dict.items():
        flattened = [frame for run in runs for frame in run]
        rows = df[df["Frame ID"].isin(flattened)]
        counts = rows.groupby("Frame ID").size().to_dict()
        single, multiple = _first_frames(counts, largest=False)
        if single == 0 or multiple == 0:
            single, multiple = _first_frames(counts, largest=True)
            reverse_track = True
        else:
            reverse_track = False
        print(f"Box Pair: {k}")
        print(f"First frame with a single boxpair: {_frame_text(single)}")
        print(f"First frame with multiple boxpairs: {_frame_text(multiple)}")
        print(f"reverse_track: {reverse_track}")
        first_single_box_pair_frames[k] = single
        first_multiple_box_pairs_frames[k] = multiple

    test_boxes = sorted({box for pair in con_frames_dict for box in str(pair).split("-")})
    all_values = [v for v in itertools.chain(first_single_box_pair_frames.values(),
                                             first_multiple_box_pairs_frames.values())
                  if v is not None]
    if not con_frames_dict:
        raise TypeError(
            "process_overlap_frames: no box pair overlaps in enough consecutive frames "
            f"(n_consecutive={number_text(n_consecutive)}), so there is no test frame")
    if not all_values:
        raise TypeError("process_overlap_frames: no overlapping box pair has a first frame, "
                        "so there is no test frame")
    test_frame = min(all_values)
    if reverse_track:
        frame_range = range(test_frame, test_frame + 5)
        n = test_frame - 1
    else:
        frame_range = range(test_frame - 5, test_frame)
        n = test_frame + 1

    size = len(gsam_annotation_data)
    worst_boxes = []
    # Every compared frame is set against the same frame n: its masks and picture
    # are read at the first comparison and kept for the others.
    masks_new = image_new = None
    for m in frame_range:
        if n < 0 or n >= size or m < 0 or m >= size:
            continue
        old_record, new_record = gsam_annotation_data[m], gsam_annotation_data[n]
        masks_old = [old_record["masks_dict"][box] for box in test_boxes]
        image_old = _rgb_copy(Image.open(old_record["image_path"]))
        if image_new is None:
            masks_new = [new_record["masks_dict"][box] for box in test_boxes]
            image_new = _rgb_copy(Image.open(new_record["image_path"]))
        # Each mask is read once for the mask and box IoUs and the encoder inputs
        # of both frames' features.
        ious_shape, ious_bbox, inputs_old, inputs_new = _core.compare_frames(
            image_old, masks_old, image_new, masks_new)
        image_predictor.set_image(image_old)
        image_features_old = _encode(inputs_old, image_predictor)
        image_predictor.set_image(image_new)
        image_features_new = _encode(inputs_new, image_predictor)
        cosine_scores = np.asarray(cosine_scores_cal(image_features_new, image_features_old),
                                   dtype=np.float64)
        cosine_diag = np.diagonal(cosine_scores)
        mismatch_scores = (1.0 * (1 - cosine_diag) + 1.0 * (1 - ious_shape)
                           + 1.0 * (1 - ious_bbox))
        worst_boxes.append(test_boxes[int(np.argmax(mismatch_scores))])

    if not worst_boxes:
        raise NoComparableFrameError(
            f"process_overlap_frames: no frame around test frame {number_text(test_frame)} "
            f"could be compared with frame {number_text(n)}; the annotation data holds "
            f"{number_text(size)} frames")
    most_frequent_box = Counter(worst_boxes).most_common(1)[0][0]
    print("Most frequent box with errors:", most_frequent_box)
    return test_frame, most_frequent_box, con_frames_dict, worst_boxes


def find_best_laste_frame(laste_frame, min_area=10, max_attempts=10, remove_stack_obs=[]):  # noqa: B006 - one shared default list is part of the interface
    """The latest of the last max_attempts frames whose masks are all large, numerous
    enough and apart. Strikes remove_stack_obs out of every frame's "masks_dict" first.

    Returns (frame record, False) or (None, True)."""
    n_track = _PEN_CAPACITY - sum(1 for entry in remove_stack_obs if entry is not None)
    if any(remove_stack_obs):
        for record in laste_frame.values():
            masks_dict = record["masks_dict"]
            for key in remove_stack_obs:
                masks_dict.pop(key, None)

    keys_sorted = sorted(laste_frame.keys())
    key_idx = -1
    attempts = 0
    while attempts < max_attempts:
        if -key_idx > len(keys_sorted):
            raise IndexError(
                f"find_best_laste_frame: attempt {number_text(attempts + 1)} of "
                f"{number_text(max_attempts)} runs past the first stored frame; laste_frame "
                f"holds {number_text(len(keys_sorted))} frames")
        key = keys_sorted[key_idx]
        masks = laste_frame[key]["masks_dict"]
        verdict = _core.check_last_frame(list(masks.values()), float(min_area), n_track)
        if verdict == _core.LastFrameVerdict.qualifies:
            if key != _NORMAL_LAST_KEY:
                print(f"Switched to frame key {number_text(key)} due to small mask area "
                      "in later frames.")
            return laste_frame[key], False
        key_idx -= 1
        attempts += 1
    print(f"No valid frame found with all masks area > {number_text(min_area)} in the last "
          f"{number_text(max_attempts)} frames for {number_text(n_track)} tracks.")
    return None, True


def matcher(laste_frame, frame_names, ann_frame_idx=0, image_predictor=None,
            remove_stack_box=None, min_area=10, max_attempts=10, display_func=None):
    """Carries the finished video's animals to frame ann_frame_idx of the next video by
    prompting the image predictor with the best last frame's boxes.

    Returns (masks, OBJECTS, keep_box, best_laste_frame, False) or (None, None, None, None, True)."""
    from PIL import Image

    if remove_stack_box is None:
        remove_stack_box = []
    # No more attempts than stored frames: a short video whose frames all fail is a
    # video without a usable last frame, not an error.
    best_laste_frame, no_best_laste_frame = find_best_laste_frame(
        dict(laste_frame), min_area=min_area, max_attempts=min(max_attempts, len(laste_frame)),
        remove_stack_obs=remove_stack_box)
    keep_box = [f"Box{i}" for i in range(10) if f"Box{i}" not in remove_stack_box]
    if no_best_laste_frame:
        print("Issue is from the laste frame, not enough masks found.")
        return None, None, None, None, True

    old_masks = list(best_laste_frame["masks_dict"].values())
    last_boxes = _core_measures.mask_boxes(old_masks)
    n_track = len(best_laste_frame["masks_dict"])

    image = Image.open(frame_names[ann_frame_idx])
    image_rgb = np.array(image.convert("RGB"))
    image_predictor.set_image(image_rgb)
    masks, scores, logits = image_predictor.predict(
        point_coords=None, point_labels=None, box=last_boxes, multimask_output=False)
    if masks.ndim == 2:
        masks, scores, logits = masks[None], scores[None], logits[None]
    elif masks.ndim == 4:
        masks = masks.squeeze(1)
    OBJECTS = ["pig"] * len(masks)

    success = (_core.check_new_masks(list(masks), n_track, float(min_area))
               == _core.MatchVerdict.accepted)
    if display_func is not None:
        from . import img_bbx_drawing

        display_func(img_bbx_drawing(image.copy(), best_laste_frame["masks_dict"]))
    if success:
        print(f"ann_frame_idx [{number_text(ann_frame_idx)}] works for mask finding!!!")
        return masks, OBJECTS, keep_box, best_laste_frame, no_best_laste_frame
    print(f"ann_frame_idx [{number_text(ann_frame_idx)}] cannot work..\n")
    return None, None, None, None, True


def find_boxes_with_small_area_from_last_video(laste_frame, min_frame_id=500, area_threshold=100,
                                               min_count=100):
    """Boxes whose area is at most area_threshold in more than min_count frames after
    min_frame_id, in the order each first did so."""
    _require_map(laste_frame, "laste_frame")
    area_threshold, min_count = float(area_threshold), float(min_count)
    first_key = {}  # each key as it was first seen, whether small or not
    counts = {}     # small-area counts, in the order each box first counted
    for fid, record in laste_frame.items():
        if not fid > min_frame_id:
            continue
        frame_text = _report.text(fid)
        areas = _report.lookup(record, "mask_areas")
        if areas is _report.MISSING:
            raise KeyError(f"frame record {frame_text} has no 'mask_areas' entry")
        for key, value in areas.items():
            try:
                area = _report.as_real(value)
            except Exception:
                raise TypeError(f"the mask area of {_report.text(key)} in frame {frame_text} "
                                "is not a number") from None
            key = first_key.setdefault(key, key)
            if area <= area_threshold:
                counts[key] = counts.get(key, 0) + 1
    return [key for key, count in counts.items() if count > min_count]


def matcher_removal_list(box_keys, remove=()):
    """The `remove_stack_box` list with which `matcher` carries the animals `box_keys`
    (the keys of the previous segment's last frame) less those in `remove`.

    The best last frame must show ten masks less one per entry of the removal list.
    So a pen of fewer than ten animals needs one entry per missing animal, a text that
    matches no box key ("absent-0", ...); these follow the keys of `remove` that are
    in `box_keys` (others would count against the animals without removing any). With
    more than ten keys no entry is added, and the test asks for at least ten masks less
    the removed ones.
    """
    keys = list(box_keys)
    removed = [key for key in remove if key in keys]
    return removed + [f"absent-{i}" for i in range(max(0, _PEN_CAPACITY - len(keys)))]


@dataclass(frozen=True)
class Relinking:
    """Which animal of the previous segment each new start mask is, by position.

    `pairs` maps each paired new key to a previous key (one to one); `costs` and
    `margins` give, per paired new key, the pair's cost and how much cheaper it is
    than the next best candidate of either of its two animals (inf when there is
    none); `unpaired` lists the new keys left without a partner (more new masks than
    previous ones). `unambiguous` holds when every new key is paired, each pair costs
    at most `max_cost` and each margin is at least `min_margin`.
    """

    pairs: dict
    costs: dict
    margins: dict
    unpaired: list
    unambiguous: bool


def _keys_and_masks(masks, what):
    if hasattr(masks, "items"):
        return list(masks.keys()), list(masks.values())
    if isinstance(masks, np.ndarray):
        # A stack K x H x W, or K x 1 x H x W as the segmenter hands one box over.
        return list(range(len(masks))), masks
    masks = list(masks)
    if not masks:
        raise ValueError(f"{what}: no masks")
    return list(range(len(masks))), masks


def _position_costs(previous, start_masks):
    """(cost matrix new x previous, new keys, previous keys) of relink_by_position."""
    new_keys, new_masks = _keys_and_masks(start_masks, "start masks")
    previous_keys, previous_masks = _keys_and_masks(previous, "previous masks")
    iou, distance, previous_area = _core.position_measures(new_masks, previous_masks)
    # Distance in units of the previous animal's size, capped at 1: an animal that
    # stayed in place costs nothing, one a body's width or more away costs as much
    # as one that does not overlap at all.
    with np.errstate(divide="ignore", invalid="ignore"):
        reach = distance / np.sqrt(previous_area)[None, :]
    reach = np.where(np.isnan(reach), 1.0, np.minimum(reach, 1.0))
    return 0.5 * (1.0 - iou) + 0.5 * reach, new_keys, previous_keys


def relink_by_position(previous, start_masks, max_cost=0.6, min_margin=0.2):
    """Pairs the animals found on a new start frame with the previous segment's animals
    by where they lie, one to one, when the matcher could not carry them.

    `previous` maps the previous segment's box keys to their masks in its last frame
    (the best last frame's "masks_dict", say); `start_masks` are the new masks, a map
    from key to mask or a sequence or stack (keyed by position). A pair costs the mean
    of 1 - mask IoU and the centroid distance divided by the square root of the
    previous mask's area (at most 1), so each part and the cost lie in 0..1; the
    assignment of least total cost is taken (scipy's linear_sum_assignment). Two
    animals side by side cost about 0.9 (no overlap, a body's width apart), so the
    default `max_cost` 0.6 keeps only pairs that overlap or lie close; `min_margin`
    0.2 asks each pair to beat every other candidate of both its animals by that much,
    which animals lying on each other do not. Returns a Relinking.
    """
    from scipy.optimize import linear_sum_assignment

    cost, new_keys, previous_keys = _position_costs(previous, start_masks)
    rows, cols = linear_sum_assignment(cost)
    pairs, costs, margins = {}, {}, {}
    for i, j in sorted(zip(rows.tolist(), cols.tolist())):
        others = np.concatenate([np.delete(cost[i, :], j), np.delete(cost[:, j], i)])
        key = new_keys[i]
        pairs[key] = previous_keys[j]
        costs[key] = float(cost[i, j])
        margins[key] = float(others.min() - cost[i, j]) if others.size else math.inf
    unpaired = [key for key in new_keys if key not in pairs]
    unambiguous = not unpaired and all(c <= max_cost for c in costs.values()) and \
        all(m >= min_margin for m in margins.values())
    return Relinking(pairs, costs, margins, unpaired, unambiguous)
