"""What `herdmask evaluate` scores beyond MOTChallenge boxes: mask tracks and time bins.

Ground truth with masks (MOTS text, MOTS PNG folders, COCO documents with track
ids) is scored on mask IoU, with the predictions read as masks too (a run
folder, a segment's annotation folder, COCO with track ids or MOTS); anything
else on box IoU. Time bins come from the run's clock times when PREDICTED is a
run folder, else from --fps, counted from each sequence's first frame.
"""

from __future__ import annotations

import os

from .runfolder import is_run_folder

__all__ = ["frame_bins", "load_pair", "write_binned"]

BINNED_TABLE = "evaluation_bins.csv"


def _is_mots_text(path):
    with open(path, encoding="utf-8-sig", errors="replace") as f:
        for line in f:
            if line.strip():
                return "," not in line and len(line.split()) == 6
    return False


def _png_folder(path):
    inner = os.path.join(path, "instances")
    folder = inner if os.path.isdir(inner) else path
    return any(n.lower().endswith(".png") for n in os.listdir(folder))


def _mask_file(path):
    return path.lower().endswith(".json") or (path.lower().endswith(".txt") and _is_mots_text(path))


def _read_mask_file(path):
    from herdmask import scoring

    return scoring.coco_tracks(path) if path.lower().endswith(".json") else scoring.read_mots_text(path)


def _mask_sources(path):
    """{sequence: reader} of the mask tracks at `path`, or None when it holds none."""
    name = lambda p: os.path.splitext(os.path.basename(os.path.normpath(p)))[0]  # noqa: E731
    if os.path.isfile(path):
        return {name(path): lambda: _read_mask_file(path)} if _mask_file(path) else None
    if not os.path.isdir(path) or is_run_folder(path):
        return None
    from herdmask import scoring

    if _png_folder(path):
        return {name(path): lambda: scoring.read_mots_png(path)}
    found = {}
    for entry in sorted(os.listdir(path)):
        full = os.path.join(path, entry)
        if os.path.isfile(full) and entry.lower().endswith((".json", ".txt")) and _mask_file(full):
            found[name(full)] = lambda p=full: _read_mask_file(p)
        elif os.path.isdir(full) and _png_folder(full):
            found[entry] = lambda p=full: scoring.read_mots_png(p)
    return found or None


def _predicted_masks(path):
    from herdmask import export, scoring

    from .export import run_coco

    if os.path.isdir(path) and is_run_folder(path):
        return {name: scoring.coco_tracks(doc) for name, doc in run_coco(path).items()}
    sources = _mask_sources(path)
    if sources:
        return {name: read() for name, read in sources.items()}
    if os.path.isdir(path):
        return {os.path.basename(os.path.normpath(os.path.abspath(path))):
                scoring.coco_tracks(export.segment_coco(path))}
    raise ValueError(f"PREDICTED: {path} holds no masks (a run folder, a segment's annotation folder, COCO with "
                     "track ids or MOTS), and the ground truth is scored on masks")


def load_pair(predicted_path, truth_path, load_boxes):
    """(predicted, truth), each {sequence: track table}: masks on both sides when the ground truth
    holds masks, else boxes read by `load_boxes(path, predicted)`."""
    sources = _mask_sources(truth_path)
    if not sources:
        return load_boxes(predicted_path, True), load_boxes(truth_path, False)
    truth = {name: read() for name, read in sources.items()}
    return _predicted_masks(predicted_path), truth


def frame_bins(predicted_path, sequences, bin_text, fps):
    """{sequence: Series frame -> bin label}: the run's clock times for a run folder, else the time
    since frame 1 at `fps`; `sequences` is {sequence: (tables whose frames are binned)}."""
    import numpy as np
    import pandas as pd

    length = pd.Timedelta(bin_text)
    out = {}
    if os.path.isdir(predicted_path) and is_run_folder(predicted_path):
        from .behaviour import frame_times

        for name, times in frame_times(predicted_path).items():
            starts = times["time"].dt.floor(length)
            labels = starts.dt.strftime("%Y-%m-%d %H:%M:%S")
            out[name] = pd.Series(labels.to_numpy(), index=times["frame"].to_numpy())
        return out
    if not fps:
        raise ValueError("--bin needs --fps unless PREDICTED is a run folder (whose clock times are known)")
    for name, tables in sequences.items():
        last = max([int(t["frame"].max()) for t in tables if len(t)] or [1])
        frames = np.arange(1, last + 1)
        starts = pd.to_timedelta((frames - 1) / fps, unit="s").floor(length)
        out[name] = pd.Series([str(s) for s in starts], index=frames)
    return out


def write_binned(binned, out):
    from .files import write_text

    return write_text(os.path.join(out, BINNED_TABLE), binned.to_csv())
