"""Pen region: the pen polygon file, in-pen tests and the motion score."""


__all__ = ["DEFAULT_PEN_JSON_PATHS", "get_pen_json_path"]

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
