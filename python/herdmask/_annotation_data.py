"""Loading a tracking run's annotation files into per-frame records."""

import os

import pandas as pd

from ._native import annotation as _core


def _records(paths, height, width, with_tables):
    """Frame records of `paths`, in order; the heavy work runs in the core."""
    records = []
    for (json_path, image_path, frame_text, masks, boxkeys, areas,
         table) in _core.load_frame_masks(list(paths), height, width, with_tables):
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
    """Loads the annotation files under `save_dir_base` into frame records.

    Returns (last_frame, gsam_annotation_data); see the package documentation for
    the three modes. `video_dir` is accepted for compatibility and not used.
    """
    paths = _core.discover_annotation_files(os.fspath(save_dir_base))
    if not paths:
        print(f"No JSON files found in {save_dir_base}. "
              "Please check the directory and try again.")
        return None, None
    height, width = _core.annotation_frame_size(paths[0])

    if not last_or_not and ixx > 0:
        if ixx < len(paths):
            data = {ixx: _records([paths[ixx]], height, width, False)[0]}
            return data, data
        return {}, {}

    records = _records(paths, height, width, with_tables=not last_or_not)
    data = dict(enumerate(records))
    return data[len(records) - 1], data
