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
from datetime import datetime

from .export import report_errors
from .runfolder import RunFolder, hold_lock, is_run_folder, sequence_name

__all__ = ["BEHAVIOUR_DIR", "BEHAVIOUR_PAGE", "CameraTracks", "add_parser", "behaviour_command", "camera_tracks",
           "frame_times", "run_behaviour"]

BEHAVIOUR_DIR = "behaviour"
BEHAVIOUR_PAGE = "behaviour.html"


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
                        "file, in the coordinates of the cropped frames; for every camera, in place of "
                        "the zones the lab file names per camera")
    p.add_argument("--pixels-per-metre", type=_scale, metavar="X",
                   help="scale of the cropped frames; adds distance and speed in metres")
    p.add_argument("--bin", type=_duration, default="1h", help="length of the time bins (default 1h)")
    p.set_defaults(handler=behaviour_command)
    return p


# ------------------------------------------------------------------ reading the run folder


@dataclasses.dataclass
class CameraTracks:
    """What the measures of one camera's chain rest on."""

    positions: object  # DataFrame: frame, time, track_id, box_key, x, y, w, h, area, cx, cy
    contacts: object  # DataFrame: frame, track_a, track_b, overlap
    frames: object  # DataFrame: frame, time of every saved frame of the done links
    fps: float
    thumbnail: str | None  # a frame image of the camera, for drawing paths over


def _link_times(run, record):
    """The clock time of each saved frame of a link: its video's start plus its position over the frame rate."""
    import pandas as pd

    video = run.videos().get(record.video)
    if video is None or not video.fps:
        raise ValueError(f"{run.out} does not know the frame rate of {record.video}")
    start = pd.Timestamp(datetime.strptime(video.date + video.time.replace(":", ""), "%Y%m%d%H%M%S"))
    return start + pd.to_timedelta(run.video_positions(record) / video.fps, unit="s"), video.fps


def camera_tracks(run_dir, reach=1):
    """{camera sequence name: CameraTracks} of a run folder: each done link's tracks table with
    the track ids and frame numbers `herdmask export` gives them, clock times from its videos'
    starts and frame rates, and the contacts of its masks."""
    import numpy as np
    import pandas as pd

    from herdmask import behaviour

    from .export import run_links

    run, sequences = run_links(run_dir)
    out = {}
    for name, (ids, links) in sequences.items():
        positions, contacts, frames, rates, thumbnail = [], [], [], [], None
        for record, numbers in links:
            times, fps = _link_times(run, record)
            rates.append(fps)
            frames.append(pd.DataFrame({"frame": numbers, "time": times}))
            tracks = run.tracks(record)
            # ids through the camera's track map, so that corrections hold; a mask marked wrong goes
            track, wrong = ids.ids_at(record, tracks["box_key"], tracks["frame"])
            tracks = tracks[~wrong]
            index = tracks["frame"].to_numpy()
            tracks = tracks.assign(frame=numbers[index], time=times[index], track_id=track[~wrong])
            positions.append(tracks)
            folder = run.annotation_dir(record)

            def track_of(key, frame, record=record):
                return ids.track_id(record, key, frame)

            contacts.append(behaviour.track_contacts(run.contacts(record, reach), track_of, numbers))
            if thumbnail is None:
                thumbnail = _first_image(folder)
        if frames:
            out[name] = CameraTracks(pd.concat(positions, ignore_index=True), pd.concat(contacts, ignore_index=True),
                                     pd.concat(frames, ignore_index=True), float(np.median(rates)), thumbnail)
    return out


def frame_times(run_dir):
    """{camera sequence name: DataFrame of frame (as the run's export numbers them) and clock time}
    of every saved frame of the run's done links."""
    import pandas as pd

    from .export import run_links

    run, sequences = run_links(run_dir)
    return {name: pd.concat([pd.DataFrame({"frame": numbers, "time": _link_times(run, record)[0]})
                             for record, numbers in links], ignore_index=True)
            for name, (_, links) in sequences.items() if links}


def _first_image(annotation_dir):
    import json

    from herdmask._native import detect as _core_detect

    if not os.path.isdir(annotation_dir):
        return None
    for path in _core_detect.discover_annotation_files(annotation_dir)[:1]:
        with open(path) as f:
            image = json.load(f).get("image_path")
        if image and os.path.isfile(image):
            return image
    return None


# ------------------------------------------------------------------ the command


def _camera_zones(run_dir, given, tracks):
    """{camera sequence name: zones}: the zones given on the command line for every camera, else
    each camera's zones file from the lab file the run was made with."""
    from herdmask import behaviour

    if given is not None:
        return {name: given for name in tracks}
    run = RunFolder(run_dir)
    files = {sequence_name(c): run.zones_file(c) for c in run.cameras()}
    return {name: behaviour.read_zones(files[name]) if files.get(name) else {} for name in tracks}


def run_behaviour(run_dir, zones_path=None, pixels_per_metre=None, bin="1h", out=None):
    """Measures every camera of a run folder; returns (table, pairs, {camera: BehaviourResult}).
    Writes the tables, figures and page when `out` (a folder) is given."""
    import pandas as pd

    from herdmask import behaviour

    given = behaviour.read_zones(zones_path) if zones_path else None  # a bad file is told before anything
    if not is_run_folder(run_dir):
        raise FileNotFoundError(f"{run_dir} is not a run folder (no settings.json and links/)")
    results, tracks = {}, camera_tracks(run_dir)
    if not tracks:
        raise ValueError(f"{run_dir} holds no tracked segment to measure")
    zones = _camera_zones(run_dir, given, tracks)
    for name, t in tracks.items():
        settings = behaviour.BehaviourSettings(fps=t.fps, bin=bin, pixels_per_metre=pixels_per_metre)
        results[name] = behaviour.behaviour_measures(t.positions, settings, contacts=t.contacts, zones=zones[name],
                                                     frames=t.frames)
    table = pd.concat([r.table.assign(camera=n) for n, r in results.items()], ignore_index=True)
    pairs = pd.concat([r.pairs.assign(camera=n) for n, r in results.items()], ignore_index=True)
    table = table[["camera"] + [c for c in table.columns if c != "camera"]]
    pairs = pairs[["camera"] + [c for c in pairs.columns if c != "camera"]]
    if out is not None:
        # the measures join the run's files: not while a run writes them
        with hold_lock(out, ValueError(f"a herdmask run is writing into {out}; measure it when the run has ended")):
            _write(out, table, pairs, results, tracks, zones)
    return table, pairs, results


def _write(out, table, pairs, results, tracks, zones):
    from herdmask import behaviour

    from .behaviour_page import write_behaviour_page

    folder = os.path.join(out, BEHAVIOUR_DIR)
    for path in behaviour.write_behaviour_tables({"": table, "_pairs": pairs}, folder):
        print(f"Table: {path}")
    page = write_behaviour_page(os.path.join(out, BEHAVIOUR_PAGE), folder, table, pairs, results,
                                {n: t.thumbnail for n, t in tracks.items()}, zones)
    print(f"Page: {page}")
    from .pages import refresh_quality_section

    refresh_quality_section(out)


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
    return report_errors("behaviour", _run, args, extra="behaviour")
