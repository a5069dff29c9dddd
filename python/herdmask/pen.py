"""Pen region: the pen polygon file, in-pen tests and the motion score."""

import os

import numpy as np

from ._native import pen as _core_pen

__all__ = [
    "DEFAULT_PEN_JSON_PATHS",
    "get_pen_json_path",
    "draw_pen",
    "calculate_pen_intersection_ratio",
    "get_in_pen_mask",
    "compute_motion_score_in_polygon",
]

#: Default pen polygon file of each camera, as installed on the recording site's
#: workstation. A driver on another machine passes `custom_pen_json_path` instead,
#: or edits this table before the first call.
DEFAULT_PEN_JSON_PATHS = {
    "Camera61": r"D:\pen_polygons\Camera61\pen_polygon.json",
    "Camera62": r"D:\pen_polygons\Camera62\pen_polygon.json",
    "Camera64": r"D:\pen_polygons\Camera64\pen_polygon.json",
    "Camera65": r"D:\pen_polygons\Camera65\pen_polygon.json",
    "Camera66": r"D:\pen_polygons\Camera66\pen_polygon.json",
    "Camera70": r"D:\pen_polygons\Camera70\pen_polygon.json",
}


def get_pen_json_path(video_dir, custom_pen_json_path=None):
    """Path of the pen polygon file for a frame folder, or None when none is known.

    The camera name is the first backslash-separated piece of `video_dir` that
    contains "Camera", up to its first "_". A given `custom_pen_json_path` is
    returned unchanged whatever the camera.
    """
    camera = None
    for piece in str(video_dir).split("\\"):
        if "Camera" in piece:
            camera = piece.split("_", 1)[0]
            break
    if custom_pen_json_path is not None:
        return custom_pen_json_path
    if camera is None:
        return None
    return DEFAULT_PEN_JSON_PATHS.get(camera)


def draw_pen(image_path, json_path, drawout=False):
    """The pen polygon of `json_path` as a list of (x, y) pairs as stored.

    With `drawout`, returns (RGB image of `image_path` with the closed outline drawn
    in red, 3 pixels wide, polygon). Raises ValueError("No shapes found in the JSON
    file.") when "shapes" is empty, and json.JSONDecodeError naming the file when it
    is not JSON.
    """
    polygon = _core_pen.read_pen_polygon(os.fspath(json_path))
    if not drawout:
        return polygon
    if not polygon:
        raise ValueError(f"pen polygon in {json_path!r} has no points to draw")
    from PIL import Image, ImageDraw

    with Image.open(image_path) as src:
        image = src.convert("RGB")
    ImageDraw.Draw(image).line(polygon + [polygon[0]], fill="red", width=3, joint="curve")
    return image, polygon


def _coordinate_rows(items, width):
    """An (n, width) float64 array from a sequence of indexable items."""
    try:
        arr = np.asarray(items, dtype=np.float64)
    except (ValueError, TypeError):
        arr = None
    if arr is None or arr.ndim != 2 or arr.shape[1] < width:
        # Ragged rows or rows with extra items: only the first `width` are used.
        arr = np.array([[float(item[k]) for k in range(width)] for item in items],
                       dtype=np.float64).reshape(-1, width)
    return np.ascontiguousarray(arr[:, :width])


def calculate_pen_intersection_ratio(polygon_points, boxes, ratio_threshold):
    """(percentages, in_pen): for each box, the share of its area inside the pen
    polygon in percent, and whether that share is at least `ratio_threshold`.

    No boxes give two empty lists. A box of zero area raises ZeroDivisionError.
    """
    polygon = np.asarray(polygon_points, dtype=np.float64)
    if polygon.ndim != 2 or polygon.shape[1] != 2:
        raise ValueError(
            f"polygon_points must be a list of (x, y) pairs, got shape {polygon.shape}")
    box_rows = _coordinate_rows(boxes, 4)
    return _core_pen.intersection_percentages(
        np.ascontiguousarray(polygon), box_rows, float(ratio_threshold))


def get_in_pen_mask(frame_idx, test_mask, pen_json_path, frame_names):
    """`test_mask` with every pixel outside the pen set to 0 / False.

    Same shape and dtype as `test_mask`; only its last two axes are the image. The
    filled pen is cached by the file's content and the frame size, so every change
    of the file is seen.
    """
    # Only the frame's name is looked up (the image is never opened), so an index
    # outside the frame list raises IndexError and any other name passes.
    frame_names[frame_idx]
    mask = np.asarray(test_mask)
    if mask.ndim < 2:
        raise ValueError(f"test_mask must have at least two dimensions, got shape {mask.shape}")
    h, w = mask.shape[-2:]
    path = os.fspath(pen_json_path)
    if mask.dtype.kind not in "biufc":
        if mask.size == 0:  # the pen file is checked, but no pen is filled for no data
            _core_pen.in_pen(np.zeros(0, np.uint8), h, w, 1, path)
            return mask.copy()
        pen = _core_pen.pen_mask(path, h, w).astype(bool)
        out = mask.copy()
        out[..., ~pen] = 0
        return out
    src = np.ascontiguousarray(mask)
    out = _core_pen.in_pen(src.reshape(-1).view(np.uint8), h, w, src.dtype.itemsize, path)
    return out.view(src.dtype).reshape(src.shape)


def compute_motion_score_in_polygon(video_frames, masks_dict):
    """Mean optical-flow magnitude inside each mask between frames 0 and 5.

    Returns {key: score} in the order of `masks_dict`: a float, or the integer 0 for
    a mask with no pixel above 0.
    """
    earlier = os.fspath(video_frames[0])
    later = os.fspath(video_frames[5])
    keys = list(masks_dict.keys())
    masks = []
    for value in masks_dict.values():
        arr = np.asarray(value)
        if arr.dtype.kind not in "bu":
            arr = arr > 0  # only values above 0 count as inside
        masks.append(arr)
    scores = _core_pen.motion_scores(earlier, later, masks)
    return dict(zip(keys, scores))
