"""True tracks of a generated sample recording, as MOTChallenge ground truth.

The sample's scene knows where every animal is at every moment, so each
camera's recording has exact ground truth: one id per animal (1, 2, ...) and
each animal's box, each frame numbered as a run numbers it (`runfolder.frame_number`:
its position in its video after the frames of the camera's earlier videos),
for the frames frame extraction keeps, which are all of a video's frames but
its first (that one only serves the crop detection). `herdmask evaluate`
scores a run or the demo against it.
"""

from __future__ import annotations

import os
import re

from .runfolder import VideoEntry, frame_number, sequence_name, video_offsets

__all__ = ["TRUTH_BOX_COLUMNS", "ground_truth_tables", "sample_truth", "write_sample_ground_truth"]

# the columns of the sample's truth.csv that place every animal's box: the frame is its position
# in its video, x2 and y2 lie one past the box
TRUTH_BOX_COLUMNS = ["camera", "video", "frame", "animal", "x1", "y1", "x2", "y2"]
_NAME = re.compile(r"^Camera(\d+)_(\d+)_(\d{14})")


def sample_truth(rec):
    """Every animal's true box per camera, video and frame of a `samples.SampleRecording`,
    in pen (cropped) coordinates, as a table with `TRUTH_BOX_COLUMNS`."""
    import pandas as pd

    return pd.read_csv(rec.truth_path, dtype={"camera": str})[TRUTH_BOX_COLUMNS]


def ground_truth_tables(truth, frame_counts):
    """{Camera<N>: MOT table} from a truth table: ids are the animals, frames numbered along each
    camera's videos in time order (`frame_counts` {video name: frames}), over the frames extraction
    keeps."""
    import pandas as pd

    from herdmask.export import MOT_COLUMNS

    out = {}
    for camera, rows in truth.groupby(truth["camera"].astype(str), sort=True):
        names = sorted(rows["video"].unique(), key=lambda v: _NAME.match(v).group(3))
        offsets = video_offsets([VideoEntry(camera, name, "", _NAME.match(name).group(3), "", 0.0,
                                            frame_counts[name]) for name in names])
        parts = []
        for video in names:
            v = rows[(rows["video"] == video) & (rows["frame"] > 0)]
            parts.append(pd.DataFrame({"frame": frame_number(offsets[video], v["frame"].to_numpy()), "id": v["animal"],
                                       "x": v["x1"], "y": v["y1"], "w": v["x2"] - v["x1"], "h": v["y2"] - v["y1"],
                                       "conf": 1.0}))
        out[sequence_name(camera)] = pd.concat(parts, ignore_index=True)[MOT_COLUMNS]
    return out


def write_sample_ground_truth(rec, out_dir):
    """Writes Camera<N>.txt per camera of the recording into `out_dir`; returns the paths."""
    from herdmask.export import write_mot

    os.makedirs(out_dir, exist_ok=True)
    import herdmask as hm

    counts = {os.path.basename(path)[:-4]: hm.probe_video(path).frame_count for path in rec.video_paths}
    return [write_mot(table, os.path.join(out_dir, f"{name}.txt"))
            for name, table in ground_truth_tables(sample_truth(rec), counts).items()]
