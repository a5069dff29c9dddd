"""Detection and segmentation: model calls, start-frame search, annotation data, image features."""

import os

import numpy as np

from ._native import detect as _core_detect

__all__ = [
    "get_gsam_annotation_data",
    "process_gdino_results",
    "initializer",
    "examined_frames",
    "enhance_dark_text",
    "generate_sam2_image_features",
]

# The detector prompt: lower case, with the full stop the detector's tokenizer
# uses to separate phrases.
_PROMPT = "pig."
# Share of a box's area, in percent, that must lie inside the pen.
_IN_PEN_PERCENT = 40


# --- the detector's output -------------------------------------------------


def _host_array(values):
    """A tensor (on any device) or array-like as a NumPy array in host memory."""
    if hasattr(values, "cpu") and hasattr(values, "numpy"):
        if hasattr(values, "detach"):
            values = values.detach()
        return values.cpu().numpy()
    return np.asarray(values)


def _label_texts(result):
    # Newer detector post-processing keeps the texts under "text_labels" and is
    # moving "labels" over to class ids; the texts are what the filter compares.
    labels = result["text_labels"] if "text_labels" in result else result["labels"]
    if hasattr(labels, "cpu"):
        labels = _host_array(labels).tolist()
    return np.array(list(labels))


def process_gdino_results(gdino_results, target_label="pig"):
    """Boxes, scores and label texts of one image's detections, top to bottom then left to right.

    Only detections labelled `target_label` are kept when there is at least one;
    otherwise every detection is kept.
    """
    result = gdino_results[0]
    scores = _host_array(result["scores"])
    labels = _label_texts(result)
    boxes = _host_array(result["boxes"])
    if boxes.size == 0:
        boxes = boxes.reshape(0, 4)
    # lexsort is stable and takes its primary key last: top edge, then left edge.
    order = np.lexsort((boxes[:, 0], boxes[:, 1]))
    boxes, scores, labels = boxes[order], scores[order], labels[order]
    if len(labels) == 0:
        selected = np.zeros(0, dtype=bool)
    else:
        selected = labels == target_label
        if not selected.any():
            selected = np.ones(len(labels), dtype=bool)
    return boxes[selected], scores[selected], labels[selected]


# --- start-frame search ----------------------------------------------------


def _box_array(boxes):
    arr = np.asarray(boxes)
    dtype = np.float32 if arr.dtype == np.float32 else np.float64
    return np.ascontiguousarray(arr, dtype=dtype).reshape(-1, 4)


def _frame_failed(ann_frame_idx, too_many, frame_count, close_set_num):
    kind = "many" if too_many else "few"
    print(f"ann_frame_idx [{ann_frame_idx}] cannot work, too {kind} bbx found..\n")
    if ann_frame_idx == frame_count - 1:
        print(f"No frame can work for {close_set_num} bbx, potential all stacking \n")


def _masks_dict(masks):
    return {f"Box{idx}": masks[idx] for idx in range(len(masks))}


def _in_pen_and_plausible(boxes, scores, labels, img_path, pen_json_path, height):
    """The detections that lie in the pen (40 % of the box) and have a plausible size."""
    from .pen import calculate_pen_intersection_ratio, draw_pen

    pen_polygon_points = draw_pen(img_path, pen_json_path, drawout=False)
    _ratios, in_pen_index = calculate_pen_intersection_ratio(
        pen_polygon_points, boxes, _IN_PEN_PERCENT)
    in_pen = np.asarray(in_pen_index, dtype=bool)
    boxes, scores, labels = boxes[in_pen], scores[in_pen], labels[in_pen]
    sized = _core_detect.plausible_size(_box_array(boxes), float(height))
    return boxes[sized], scores[sized], labels[sized]


def _one_mask_per_box(masks, scores, logits):
    """The segmenter's masks with one leading entry per box."""
    if masks.ndim == 3:
        return masks[None], scores[None], logits[None]
    if masks.ndim == 4:
        return masks.squeeze(1), scores, logits
    return masks, scores, logits


def _kept_only(masks, labels, scores, take):
    """Positions of the boxes that survive the overlap rule, ascending, and, when
    `take` of them survive, their masks, labels and scores. When the kept boxes
    are one run of positions (every box, or all but some at either end) the masks
    are handed on as a slice, without a copy; otherwise the core copies the kept
    planes as it reads the masks, where it can."""
    as_stack = isinstance(masks, np.ndarray) and masks.ndim >= 3
    boxkeys, taken = _core_detect.drop_overlaps(
        masks, np.asarray(scores, dtype=np.float64).ravel().tolist(), take if as_stack else -1)
    if len(boxkeys) != take:
        return boxkeys, None
    keys = np.asarray(boxkeys, dtype=np.int64)
    if taken is not None:
        masks = taken.view(masks.dtype).reshape((len(boxkeys),) + masks.shape[1:])
    elif len(keys) and keys[-1] - keys[0] + 1 == len(keys) and len(masks):
        # Kept positions ascend without repeats, so a run is a slice.
        masks = masks[keys[0]:keys[-1] + 1]
    elif len(boxkeys) != len(masks):
        masks = masks[boxkeys]
    return boxkeys, (masks, labels[boxkeys], scores[boxkeys])


def examined_frames(frame_count, start_index=0, step=10):
    """The frame indices the start-frame search examines, in order: start_index,
    start_index + step, ... while below frame_count (a range)."""
    return range(start_index, frame_count, step)


def initializer(video_dir, frame_names, processor, grounding_model, device, image_predictor,
                start_index=0, step=10, gdino_thr=0.25, close_set_num=10, custom_pen_json_path=None):
    """Finds the first examined frame with exactly `close_set_num` clean in-pen masks.

    Frames start_index, start_index + step, ... are examined. Returns (masks,
    labels, frame index, annotated image) for that frame, or four Nones.
    """
    import torch
    from PIL import Image

    from .annotation import img_bbx_drawing
    from .pen import get_pen_json_path

    text = _PROMPT
    pen_json_path = get_pen_json_path(video_dir, custom_pen_json_path)
    print(f"Using pen JSON path: {pen_json_path}")
    frame_count = len(frame_names)

    for ann_frame_idx in examined_frames(frame_count, start_index, step):
        img_path = frame_names[ann_frame_idx]
        image = Image.open(img_path)
        width, height = image.size

        gdino_inputs = processor(images=image, text=text, return_tensors="pt").to(device)
        with torch.no_grad():
            gdino_outputs = grounding_model(**gdino_inputs)
        gdino_results = processor.post_process_grounded_object_detection(
            gdino_outputs, gdino_inputs.input_ids, text_threshold=gdino_thr,
            target_sizes=[(height, width)])

        input_boxes, gdino_scores, gdino_labels = process_gdino_results(gdino_results)
        if input_boxes.shape[0] == 0:
            print(f"No boxes found in frame {ann_frame_idx}. Skipping to next frame.")
            continue

        input_boxes, gdino_scores, gdino_labels = _in_pen_and_plausible(
            input_boxes, gdino_scores, gdino_labels, img_path, pen_json_path, height)
        if input_boxes.shape[0] == 0:
            # An empty prompt is not a question the segmenter answers: no animal is kept.
            _frame_failed(ann_frame_idx, False, frame_count, close_set_num)
            continue

        image_predictor.set_image(np.array(image.convert("RGB")))
        masks, scores, logits = image_predictor.predict(
            point_coords=None, point_labels=None, box=input_boxes, multimask_output=False)
        masks, scores, logits = _one_mask_per_box(masks, scores, logits)

        boxkeys, kept_only = _kept_only(masks, gdino_labels, gdino_scores, close_set_num)
        print(f"Boxes will be kept: {boxkeys}, totally {len(boxkeys)} keys")

        kept = len(boxkeys)
        if kept_only is not None:
            masks, OBJECTS, gdino_scores = kept_only
            print(f"ann_frame_idx [{ann_frame_idx}] works!!!")
            print(gdino_scores)
            annotated_frame = img_bbx_drawing(image.copy(), _masks_dict(masks))
            return masks, OBJECTS, ann_frame_idx, annotated_frame
        _frame_failed(ann_frame_idx, kept > close_set_num, frame_count, close_set_num)

    return None, None, None, None


# --- annotation data ---------------------------------------------------------


def _records(paths, height, width, with_tables):
    """Frame records of `paths`, in order; the heavy work runs in the core."""
    import pandas as pd

    records = []
    for (json_path, image_path, frame_text, masks, boxkeys, areas,
         table) in _core_detect.load_frame_masks(list(paths), height, width, with_tables):
        masks_dict = {f"Box{k}": m for k, m in zip(boxkeys, masks)}
        record = {
            "frame_index": int(frame_text),
            "masks_dict": masks_dict,
            "mask_areas": {f"Box{k}": a for k, a in zip(boxkeys, areas)},
            "json_path": json_path,
            "image_path": image_path,
        }
        if with_tables:
            keys = list(masks_dict)
            record["intersections_df"] = pd.DataFrame(table, index=keys, columns=keys)
        records.append(record)
    return records


def get_gsam_annotation_data(video_dir, last_or_not=False, ixx=0,
                             save_dir_base="D:\\ToBeLabeled_20pigs\\GSAM2_output_2hr"):
    """Loads the annotation files found under `save_dir_base` into frame records.

    The files are those named "..._<number>.json" in the folder tree, listed folder
    by folder (sub-folders in name order), by number within a folder. A record
    holds "frame_index" (the number after "output_pp_" in the file name),
    "masks_dict" and "mask_areas" (by key "Box<object id - 1>"), "json_path" and
    "image_path"; every mask has the size of the first file's image.

    Returns (last_frame, gsam_annotation_data) in one of three modes:

    - `last_or_not` true: a record for every file, keyed by its position in the
      list; `last_frame` is the last record.
    - `last_or_not` false and `ixx` > 0: the record of the file at position `ixx`
      only, as {ixx: record}, returned as both values; two empty maps when there
      is no such file.
    - otherwise (the default): as the first mode, and every record also holds
      "intersections_df", the pairwise intersection table of its masks.

    Prints a message and returns (None, None) when there is no annotation file.
    `video_dir` is not used: the files are found through `save_dir_base` alone.
    """
    paths = _core_detect.discover_annotation_files(os.fspath(save_dir_base))
    if not paths:
        print(f"No JSON files found in {save_dir_base}. "
              "Please check the directory and try again.")
        return None, None
    height, width = _core_detect.annotation_frame_size(paths[0])

    if not last_or_not and ixx > 0:
        if ixx < len(paths):
            data = {ixx: _records([paths[ixx]], height, width, False)[0]}
            return data, data
        return {}, {}

    records = _records(paths, height, width, with_tables=not last_or_not)
    data = dict(enumerate(records))
    return data[len(records) - 1], data


# --- image features --------------------------------------------------------


def _rgb_array(image):
    """An 8-bit height x width x 3 RGB array of a PIL-style image or an array."""
    if hasattr(image, "convert") and hasattr(image, "mode"):
        if image.mode != "RGB":
            image = image.convert("RGB")
    arr = np.asarray(image)
    if arr.ndim != 3 or arr.shape[2] != 3 or arr.dtype != np.uint8:
        raise ValueError(
            f"expected an RGB image of height x width x 3 bytes, got an array of shape "
            f"{arr.shape} and dtype {arr.dtype}")
    return np.ascontiguousarray(arr)


def _rgb_copy(image):
    """The frame as a new height x width x 3 RGB array (an RGB image is not
    converted to itself first, which would copy it twice)."""
    return np.array(image if image.mode == "RGB" else image.convert("RGB"))


def enhance_dark_text(image_pil, gamma=1.5):
    """Gray version of an RGB image, brightened by `gamma` and histogram-equalised (mode "L")."""
    from PIL import Image

    inv_gamma = 1.0 / gamma
    gray = _core_detect.enhance_dark_text(_rgb_array(image_pil), float(inv_gamma))
    return Image.fromarray(gray)


def _feature_inputs(image_np, masks):
    """The encoder input of each mask, or None, prepared together in C++: a mask
    under 10 non-zero pixels, or one whose pixels greater than 0 span a single
    row or column (or none), gives None."""
    return _core_detect.feature_inputs(image_np, list(masks))


def _encoder_device(encoder):
    """Device of the encoder's weights; the CPU for an encoder without any."""
    import torch

    parameters = getattr(encoder, "parameters", None)
    if parameters is not None:
        for parameter in parameters():
            return parameter.device
    return torch.device("cpu")


def _encode(crops, image_predictor):
    """One pooled encoder vector per prepared crop (None stays None)."""
    import torch

    encoder = image_predictor.model.image_encoder
    device = None
    features = []
    for crop in crops:
        if crop is None:
            features.append(None)
            continue
        if device is None:
            device = _encoder_device(encoder)
        crop_tensor = torch.from_numpy(crop).to(device)
        with torch.no_grad():
            embedding = encoder(crop_tensor)["vision_features"]
            pooled_feat = embedding.mean(dim=(2, 3))
        features.append(pooled_feat.squeeze(0))
    return features


def generate_sam2_image_features(image, masks, image_predictor):
    """One encoder feature vector per mask (None for masks under 10 pixels or one pixel thin)."""
    image_np = _rgb_copy(image)
    image_predictor.set_image(image_np)
    return _encode(_feature_inputs(image_np, masks), image_predictor)
