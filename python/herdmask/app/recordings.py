"""The videos of a lab: the catalogue over its recording folders, and each video probed.

Probing reads every video's header once, in the driver, before any work: its
frame rate, frame count and size feed the checks and the plan. What the
decoders say while a video is probed is kept with the video.
"""

from __future__ import annotations

import contextlib
import dataclasses
import io
from typing import Optional

import herdmask as hm

from . import checks, stages
from .decoder_log import decoder_messages

__all__ = ["Recording", "by_camera", "catalogue", "probe"]


@dataclasses.dataclass
class Recording:
    camera: str
    name: str
    path: str
    date: str
    time: str
    info: Optional[hm.VideoInfo] = None  # None: the video cannot be opened
    decoder: str = ""  # what the decoders wrote while it was probed

    @property
    def order(self):
        return (self.date, self.time, self.name)


def catalogue(folders, start="", end="99:99:99", camera=None, sample_step=0):
    """(the catalogue table of the videos under every folder, lines: warnings about names left
    out, faults). A video name found in two folders is a fault: names key a run's files."""
    import pandas as pd

    tables = []
    for folder in folders:
        with contextlib.redirect_stdout(io.StringIO()):
            tables.append(stages.catalogue(folder, None, start, end, camera, sample_step))
    table = pd.concat(tables, ignore_index=True) if len(tables) > 1 else tables[0]
    table, warning = checks.impossible_names(table)
    faults = []
    twice = table[table["Video Name"].duplicated(keep=False)]
    for name, rows in twice.groupby("Video Name", sort=True):
        faults.append(f"{name}.mp4 is in more than one recordings folder: {', '.join(rows['File Path'])}")
    return table, [warning] if warning else [], faults


def probe(table):
    """{video name: Recording}, each video probed once."""
    found = {}
    for row in table.to_dict("records"):
        with decoder_messages() as said:
            try:
                info = hm.probe_video(row["File Path"])
            except hm.UnreadableVideoError:
                info = None
        found[row["Video Name"]] = Recording(row["Camera Number"], row["Video Name"], row["File Path"], row["Date"],
                                             row["Time"], info, said.text)
    return found


def by_camera(recordings):
    """{camera: [Recording] in time order}, cameras in number order."""
    cameras = {}
    for r in sorted(recordings.values(), key=lambda r: r.order):
        cameras.setdefault(r.camera, []).append(r)
    return {c: cameras[c] for c in sorted(cameras, key=lambda c: (len(c), c))}
