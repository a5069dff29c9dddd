"""What a run takes in, checked before any work: its lab, its videos, each camera's crop.

The lab comes from `--lab` (its file, with the command line's --pen-json,
--crop-box/--no-crop and --animals overriding it for every camera) or, without
one, from the options alone: every camera found gets the one pen polygon file,
crop and head count. Every fault found, over every camera, is one line; the
run stops on them with exit status 2 before anything is made.
"""

from __future__ import annotations

import dataclasses
import os

from . import checks, lab, plan, recordings

__all__ = ["Intake", "Refused", "take_in"]


class Refused(Exception):
    """The run's input cannot be run; `lines` says why, one line per fault."""

    def __init__(self, lines):
        self.lines = list(lines)
        super().__init__("\n".join(self.lines))


@dataclasses.dataclass
class Intake:
    lab: lab.Lab  # the cameras of the selection only
    table: object  # the catalogue of the selected videos
    videos: dict  # video name -> recordings.Recording
    notes: list  # warnings said before work starts


def _crop_option(args):
    if getattr(args, "no_crop", False):
        return lab.NO_CROP
    return tuple(args.crop_box) if getattr(args, "crop_box", None) else None


def _lab_of(args):
    """The lab of the run before its cameras are known: (Lab, setup every camera found gets, or None)."""
    pen = os.path.abspath(args.pen_json) if args.pen_json else None
    if args.lab:
        try:
            the_lab = lab.read_lab(args.lab)
        except lab.LabFileError as exc:
            raise Refused(exc.lines) from None
        if args.recordings_dir:
            folder = os.path.abspath(args.recordings_dir)
            if not os.path.isdir(folder):
                raise Refused([f"no such folder: {folder}"])
            the_lab = dataclasses.replace(the_lab, recordings=(folder,))
        the_lab = the_lab.overridden(pen=pen, crop=_crop_option(args), animals=args.animals)
        if pen:
            fault = lab.pen_file_fault(pen)
            if fault:
                raise Refused([fault])
        return the_lab, None
    if not args.recordings_dir:
        raise Refused(["give RECORDINGS_DIR, or a lab file with --lab"])
    folder = os.path.abspath(args.recordings_dir)
    if not os.path.isdir(folder):
        raise Refused([f"no such folder: {folder}"])
    pen = pen or os.path.join(folder, "pen_polygon.json")
    fault = lab.pen_file_fault(pen)
    if fault:
        raise Refused([fault + ("; give --pen-json FILE" if fault.startswith("no pen") else "")])
    setup = lab.CameraSetup("", pen, _crop_option(args) or lab.MARKER, args.animals or lab.DEFAULT_ANIMALS)
    return lab.Lab((folder,), {}), setup


def _empty(folders, args):
    why = [line for folder in folders for line in plan.explain_empty_catalogue(folder, args.start, args.end,
                                                                               args.camera)]
    shown = ", ".join(folders)
    return Refused([f"no video to process in {shown}" + (": " + " ".join(why) if why else ".")])


def take_in(args):
    """The run's Intake; Refused with every fault found."""
    if args.start >= args.end:
        raise Refused([f"--start {args.start} is not before --end {args.end}: the time window is empty"])
    the_lab, template = _lab_of(args)
    folders = list(the_lab.recordings)
    everything, notes, faults = recordings.catalogue(folders)
    present = everything["Camera Number"].value_counts().to_dict()
    if template is not None:
        the_lab = lab.lab_for_cameras(folders, present, template.pen, template.crop, template.animals)
    else:
        missing, left_out = checks.unknown_cameras(the_lab, present)
        faults += missing
        if not args.camera:
            notes += left_out
        elif args.camera not in the_lab.cameras:
            faults.append(f"camera {args.camera} is not in the lab file {the_lab.path} (its cameras: "
                          f"{', '.join(the_lab.cameras)})")
    if faults:
        raise Refused(faults)
    table, _, _ = recordings.catalogue(folders, args.start, args.end, args.camera, args.sample_step)
    table = table[table["Camera Number"].isin(list(the_lab.cameras))]
    if table.empty:
        raise _empty(folders, args)
    videos = recordings.probe(table)
    faults += checks.time_step_faults(list(videos.values()), args.time_step, args.max_links)
    for camera, chain in recordings.by_camera(videos).items():
        faults += checks.camera_faults(the_lab.cameras[camera], chain)[1]
    if faults:
        raise Refused(faults)
    selected = {c: the_lab.cameras[c] for c in the_lab.cameras if c in set(table["Camera Number"])}
    return Intake(dataclasses.replace(the_lab, cameras=selected), table, videos, notes)
