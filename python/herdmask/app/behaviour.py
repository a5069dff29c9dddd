"""`herdmask behaviour`: per-animal behaviour measures of a run, per time bin, with a page.

The tables go to RUN_DIR/behaviour/ (behaviour.csv and .parquet: one row per
animal and bin; behaviour_pairs.csv and .parquet: one row per pair of animals
in contact and bin), the figures beside them, and the page to
RUN_DIR/behaviour.html.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import re
from datetime import datetime, timedelta

from .export import report_errors
from .layout import is_run_folder

__all__ = ["BEHAVIOUR_DIR", "BEHAVIOUR_PAGE", "CameraTracks", "add_parser", "behaviour_command", "camera_tracks",
           "frame_times", "run_behaviour"]

BEHAVIOUR_DIR = "behaviour"
BEHAVIOUR_PAGE = "behaviour.html"
_VIDEO_START = re.compile(r"_(\d{14})$")
_SEGMENT = re.compile(r"^(\d+(?:\.\d+)?)min_to_(\d+(?:\.\d+)?)min$")


def _scale(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"expected a positive number of pixels per metre, got {text}")
    return value


def _duration(text):
    import pandas as pd

    try:
        seconds = pd.Timedelta(text).total_seconds()
    except ValueError:
        seconds = math.nan
    if not seconds > 0:
        raise argparse.ArgumentTypeError(f"expected a duration such as 1h, 30min or 90s, got {text}")
    return text


def add_parser(sub):
    p = sub.add_parser(
        "behaviour", help="distance, speed, activity, zone time and contacts per animal and time bin",
        description="Measure each animal of a run (track ids along each camera's chain): distance moved and "
                    "speed from smoothed mask centroids, active and resting time and bouts, time and visits in "
                    "each zone, time in contact with each other animal, time tracked and missing; per time bin, "
                    "for day and night where the recording times allow, and over the whole recording. Writes "
                    f"{BEHAVIOUR_DIR}/behaviour.csv and .parquet, the pair table behaviour_pairs.csv and .parquet, "
                    f"figures and {BEHAVIOUR_PAGE} into RUN_DIR.")
    p.add_argument("run_dir", metavar="RUN_DIR")
    p.add_argument("--zones", metavar="ZONES.json",
                   help="named zone polygons (feeder, drinker, lying area, ...), in the form of the pen polygon "
                        "file, in the coordinates of the cropped frames")
    p.add_argument("--pixels-per-metre", type=_scale, metavar="X",
                   help="scale of the cropped frames; adds distance and speed in metres")
    p.add_argument("--bin", type=_duration, default="1h", help="length of the time bins (default 1h)")
    p.set_defaults(handler=behaviour_command)
    return p


# ------------------------------------------------------------------ reading the run folder


@dataclasses.dataclass
class CameraTracks:
    """What the measures of one camera's chain rest on."""

    positions: object  # DataFrame: frame, time, track_id, cx, cy, area, x, y, w, h, box_key
    contacts: object  # DataFrame: frame, track_a, track_b, overlap
    frames: object  # DataFrame: frame, time of every frame of the tracked links
    fps: float
    thumbnail: str | None  # a frame image of the camera, for drawing paths over


def _video_start(video):
    found = _VIDEO_START.search(video)
    if not found:
        raise ValueError(f"cannot tell when {video} starts: its name does not end in _YYYYMMDDhhmmss")
    return datetime.strptime(found.group(1), "%Y%m%d%H%M%S")


def _segment_minutes(segment):
    found = _SEGMENT.match(segment)
    if not found:
        raise ValueError(f"cannot tell where segment {segment!r} lies in its video")
    return float(found.group(1)), float(found.group(2))


def _video_fps(links):
    """Frames per second of each video, from its segments' frame counts: a segment keeps the frames
    after its start up to its end, the last one of a video a frame fewer (the video ends there)."""
    by_video = {}
    for link in links:
        if link["segment"] and link["frames"]:
            by_video.setdefault(link["video"], []).append(link)
    rates = {}
    for video, segs in by_video.items():
        segs.sort(key=lambda lk: _segment_minutes(lk["segment"])[0])
        found = []
        for i, link in enumerate(segs):
            start, end = _segment_minutes(link["segment"])
            if end > start:
                found.append((link["frames"] + (i == len(segs) - 1)) / (60 * (end - start)))
        if found:
            rates[video] = round(found[0] if len(found) == 1 else max(found[:-1]), 3)
    return rates


def _link_times(links):
    """(link, its first frame number along the chain, the clock times of its frames) of each tracked
    link whose video's frame rate is known, and the frame rates {video: fps}."""
    import numpy as np
    import pandas as pd

    from herdmask import export

    rates = _video_fps(links)
    found = []
    for link in export._tracked_links(links):
        fps = rates.get(link["video"])
        if not fps:
            continue
        start = _video_start(link["video"]) + timedelta(minutes=_segment_minutes(link["segment"])[0])
        times = pd.Timestamp(start) + pd.to_timedelta((np.arange(link["frames"]) + 1) / fps, unit="s")
        found.append((link, link["frame_offset"] + 1, times))
    return found, rates


def frame_times(run_dir):
    """{camera sequence name: DataFrame of frame (numbered from 1 along the chain, as the run's
    MOTChallenge export numbers them) and time} of every frame of the run's tracked links."""
    import numpy as np
    import pandas as pd

    from herdmask import export

    out = {}
    for name, links in export.run_chains(run_dir).items():
        found, _ = _link_times(links)
        if found:
            out[name] = pd.concat([pd.DataFrame({"frame": first + np.arange(len(times)), "time": times})
                                   for _, first, times in found], ignore_index=True)
    return out


def camera_tracks(run_dir, reach=1):
    """{camera sequence name: CameraTracks} of a run folder.

    The one place this command reads a run folder: track ids and frame numbers
    along each camera's chain as `herdmask export` gives them, positions and
    contacts computed from each tracked link's annotation files, and clock
    times from the video names, the segments and the frame rate their frame
    counts give.
    """
    import numpy as np
    import pandas as pd

    from herdmask import behaviour, export

    out = {}
    for name, links in export.run_chains(run_dir).items():
        found, rates = _link_times(links)
        positions, contacts, frames, thumbnail = [], [], [], None
        for link, first, times in found:
            frames.append(pd.DataFrame({"frame": first + np.arange(len(times)), "time": times}))
            p, c = behaviour.segment_tracks(link["annotation_dir"], link["track_ids"], first, reach)
            p["time"] = times[(p["frame"] - first).to_numpy()]
            positions.append(p)
            contacts.append(c)
            if thumbnail is None:
                thumbnail = _first_image(link["annotation_dir"])
        if not frames:
            continue
        out[name] = CameraTracks(pd.concat(positions, ignore_index=True), pd.concat(contacts, ignore_index=True),
                                 pd.concat(frames, ignore_index=True), float(np.median(list(rates.values()))),
                                 thumbnail)
    return out


def _first_image(annotation_dir):
    import json

    from herdmask._native import detect as _core_detect

    for path in _core_detect.discover_annotation_files(annotation_dir)[:1]:
        with open(path) as f:
            image = json.load(f).get("image_path")
        if image and os.path.isfile(image):
            return image
    return None


# ------------------------------------------------------------------ the command


def run_behaviour(run_dir, zones_path=None, pixels_per_metre=None, bin="1h", out=None):
    """Measures every camera of a run folder; returns (table, pairs, {camera: BehaviourResult}).
    Writes the tables, figures and page when `out` (a folder) is given."""
    import pandas as pd

    from herdmask import behaviour

    zones = behaviour.read_zones(zones_path) if zones_path else {}
    if not is_run_folder(run_dir):
        raise FileNotFoundError(f"{run_dir} is not a run folder: it has no identities.csv")
    results, tracks = {}, camera_tracks(run_dir)
    if not tracks:
        raise ValueError(f"{run_dir} holds no tracked segment to measure")
    for name, t in tracks.items():
        settings = behaviour.BehaviourSettings(fps=t.fps, bin=bin, pixels_per_metre=pixels_per_metre)
        results[name] = behaviour.behaviour_measures(t.positions, settings, contacts=t.contacts, zones=zones,
                                                     frames=t.frames)
    table = pd.concat([r.table.assign(camera=n) for n, r in results.items()], ignore_index=True)
    pairs = pd.concat([r.pairs.assign(camera=n) for n, r in results.items()], ignore_index=True)
    table = table[["camera"] + [c for c in table.columns if c != "camera"]]
    pairs = pairs[["camera"] + [c for c in pairs.columns if c != "camera"]]
    if out is not None:
        from .behaviour_page import write_behaviour_page

        folder = os.path.join(out, BEHAVIOUR_DIR)
        for path in behaviour.write_behaviour_tables({"": table, "_pairs": pairs}, folder):
            print(f"Table: {path}")
        page = write_behaviour_page(os.path.join(out, BEHAVIOUR_PAGE), folder, table, pairs, results,
                                    {n: t.thumbnail for n, t in tracks.items()}, zones)
        print(f"Page: {page}")
    return table, pairs, results


def _summary_lines(table):
    lines = []
    whole = table[table["bin_kind"] == "all"]
    for row in whole.itertuples(index=False):
        lines.append(f"{row.camera} animal {row.track_id}: {row.distance_px:.0f} pixels moved in "
                     f"{row.tracked_s:.1f} s tracked ({row.missing_s:.1f} s missing), active {row.active_s:.1f} s, "
                     f"resting {row.resting_s:.1f} s.")
    return lines


def _run(args):
    table, _, _ = run_behaviour(args.run_dir, args.zones, args.pixels_per_metre, args.bin, out=args.run_dir)
    for line in _summary_lines(table):
        print(line)
    return 0


def behaviour_command(args):
    return report_errors("behaviour", _run, args)
