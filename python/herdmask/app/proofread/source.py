"""The run folder as proofreading, rendering and the corrected outputs read it, through the run
folder's own reader (`runfolder.RunFolder`) and its track ids (`identity.track_map`).

Everything else in proofreading asks this module for links, their track ids, their frames'
objects and images, and the corrections in force: the one place where corrections meet the
run's ids until `identity.TrackMap` applies them itself.
"""

from __future__ import annotations

import dataclasses
import json
import os
import re

from .. import corrections as corr
from .. import identity, records
from ..runfolder import RunFolder, sequence_name

__all__ = ["FrameUnavailable", "LinkView", "RunView", "corrected_identities", "corrected_run_coco", "corrected_run_mot",
           "correction_notes", "track_colour"]

_LONG_OVERLAP = re.compile(r"(Box\d+)-(Box\d+) \(frames (\d+)-(\d+)\)")
_WENT_WRONG = re.compile(r"most\s+likely went wrong there is (Box\d+)")


class FrameUnavailable(FileNotFoundError):
    """The frame's image is gone and cannot be made again here."""


@dataclasses.dataclass
class LinkView:
    """A link of a camera's chain as proofreading shows it: its record, its place, its ids."""

    record: records.LinkRecord
    position: int  # place in the camera's chain as it is now, from 0
    track_ids: dict  # box key -> id as the run made it

    def __getattr__(self, name):  # camera, video, segment, key, status, started, frames, ...
        if name == "record":
            raise AttributeError(name)
        return getattr(self.record, name)

    @property
    def stamp(self):
        """What changes when the link is made again."""
        return self.record.token

    def long_overlaps(self):
        """[(box, box, first frame, last frame)] of the long overlaps the review found, and the box
        whose track most likely went wrong at the first (or None)."""
        runs = [(a, b, int(f0), int(f1)) for a, b, f0, f1 in _LONG_OVERLAP.findall(self.long_overlap or "")]
        went = _WENT_WRONG.search(self.long_overlap or "")
        return runs, went.group(1) if went else None


# A palette of colours told apart at a glance; ids past it cycle with a changed shade.
_PALETTE = [(230, 25, 75), (60, 180, 75), (255, 225, 25), (0, 130, 200), (245, 130, 48), (145, 30, 180),
            (70, 240, 240), (240, 50, 230), (210, 245, 60), (250, 190, 212), (0, 128, 128), (220, 190, 255),
            (170, 110, 40), (255, 250, 200), (128, 0, 0), (170, 255, 195), (128, 128, 0), (255, 215, 180),
            (0, 0, 128), (128, 128, 128)]


def track_colour(track_id):
    """The (r, g, b) colour of a track id, the same on every page, frame and video."""
    r, g, b = _PALETTE[(track_id - 1) % len(_PALETTE)]
    if ((track_id - 1) // len(_PALETTE)) % 2:
        r, g, b = (c * 3 // 5 for c in (r, g, b))
    return r, g, b


class RunView:
    """A run folder's cameras, links and track ids, and the corrections made to them."""

    def __init__(self, run, cameras):
        self.run = run
        self.out = run.out
        self.cameras = cameras  # {camera: [LinkView] in chain order}
        self.links = {(lk.camera, lk.key): lk for links in cameras.values() for lk in links}

    @classmethod
    def open(cls, out):
        """NotARunFolder (a FileNotFoundError) when `out` holds no run."""
        run = RunFolder.open(out)
        cameras = {}
        for camera in run.cameras():
            ids = identity.track_map(run, camera)
            cameras[camera] = [LinkView(r, n, ids.ids(r) if r.done else {}) for n, r in enumerate(run.chain(camera))]
        return cls(run, cameras)

    # ---------------------------------------------------------- links

    def link(self, camera, key):
        found = self.links.get((str(camera), key))
        if found is None:
            raise KeyError(f"camera {camera} has no link {key}")
        return found

    def neighbours(self, link):
        """The links one step before and after in the chain (None at its ends)."""
        chain = self.cameras[link.camera]
        return (chain[link.position - 1] if link.position > 0 else None,
                chain[link.position + 1] if link.position + 1 < len(chain) else None)

    def positions(self, camera):
        return {lk.key: lk.position for lk in self.cameras[camera]}

    def annotation_path(self, link, index):
        return os.path.join(self.run.annotation_dir(link.record), f"output_pp_{index}.json")

    def report_path(self, link):
        return os.path.join(self.run.report_dir(link.record), "tracking_question_report.csv")

    # ---------------------------------------------------------- frames

    def frame_objects(self, link, index):
        """[(box key, (x1, y1, x2, y2))] of the masks the frame's annotation file holds, empty ones left out."""
        with open(self.annotation_path(link, index), encoding="utf-8") as f:
            data = json.load(f)
        return data.get("image_path", ""), [
            (f"Box{int(det['object_id']) - 1}", tuple(det["xyxy"][0]))
            for det in data.get("detections", []) if det.get("formatted_polygon")]

    def frame_masks(self, link, index, height, width):
        """(image path, uint8 masks n x height x width, box keys) of one annotation file."""
        import herdmask as hm

        image_path, masks, ids = hm.process_json_and_generate_masks(self.annotation_path(link, index), height,
                                                                    width)
        return image_path, masks, [f"Box{i}" for i in ids]

    def frame_size(self, link, index):
        """(width, height) of a frame."""
        from PIL import Image

        path = self.frame_objects(link, index)[0]
        if path and os.path.isfile(path):
            with Image.open(path) as im:
                return im.size
        return self.frame_image(link, index, path).size

    def frame_image(self, link, index, image_path=None, scale=1.0):
        """The frame as an RGB image, `scale` times its size: its extracted file, else the frame
        decoded again from its recording (the frame folders may be gone)."""
        from PIL import Image

        if image_path is None:
            image_path = self.frame_objects(link, index)[0]
        if image_path and os.path.isfile(image_path):
            with Image.open(image_path) as im:
                size = (max(1, round(im.width * scale)), max(1, round(im.height * scale)))
                if scale < 1:
                    im.draft("RGB", size)  # a JPEG decoded straight at a half, quarter, ... of its size
                image = im.convert("RGB")
        else:
            image = self._decoded_again(link, index)
            size = (max(1, round(image.width * scale)), max(1, round(image.height * scale)))
        return image if image.size == size else image.resize(size, Image.BILINEAR)

    def _decoded_again(self, link, index):
        import herdmask as hm
        from PIL import Image

        positions = self.run.video_positions(link.record)
        try:
            video = self.run.video_path(link.record)
        except KeyError:
            video = None
        if video is None or not 0 <= index < len(positions) or not os.path.isfile(video):
            raise FrameUnavailable(f"frame {index} of {link.key}: its frame file is gone and its recording "
                                   f"{video or '(not recorded)'} cannot give it again")
        crop = (records.read_json(self.run.camera_file(link.camera, ".json")) or {}).get("box")
        try:
            bgr = hm.video.read_frame(video, int(positions[index]), crop)
        except (OSError, ValueError) as exc:
            raise FrameUnavailable(f"frame {index} of {link.key}: {exc}") from None
        return Image.merge("RGB", Image.fromarray(bgr, "RGB").split()[::-1])

    def tracks(self, link):
        """The link's tracks table as numpy columns: frame, box_key, x, y, w, h, area, cx, cy, one row
        per annotation file and non-empty mask."""
        table = self.run.tracks(link.record)
        return {c: table[c].to_numpy(dtype=object if c == "box_key" else None) for c in table.columns}

    # ---------------------------------------------------------- corrections

    def corrections(self):
        """(the corrections in force per camera, the ones that no longer apply with why)."""
        made = corr.effective_corrections(corr.read_entries(self.out))
        stale = corr.stale_corrections(made, self.done_links())
        gone = {c.id for c, _ in stale}
        per_camera = {}
        for c in made:
            if c.id not in gone:
                per_camera.setdefault(c.camera, []).append(c)
        return per_camera, stale

    def done_links(self):
        return {(lk.camera, lk.key): (lk.frames, lk.stamp) for lk in self.links.values() if lk.done}

    def ids_at(self, link, index, keys, in_force):
        """(ids, wrong) of the box keys `keys` at frame `index` of `link` after the corrections in force."""
        import numpy as np

        base = [link.track_ids[k] for k in keys]
        n = len(keys)
        return corr.apply_corrections(base, np.full(n, link.position), np.full(n, index),
                                      in_force.get(link.camera, []), self.positions(link.camera))

    def known_ids(self, camera, in_force):
        """Every id the camera's chain has, made by the run or given by a correction."""
        ids = {t for lk in self.cameras[camera] for t in lk.track_ids.values()}
        return ids | {c.other for c in in_force.get(camera, []) if c.kind == corr.NEW_ID}


# ------------------------------------------------------------------ the run's outputs, corrected


class _Corrector:
    """Applies the corrections in force to the rows of a run's exported sequences."""

    def __init__(self, out):
        from ..export import run_links

        self.view = RunView.open(out)
        self.in_force, self.stale = self.view.corrections()
        self.cameras = {sequence_name(c): c for c in self.view.cameras}
        self.links = run_links(out)[1]  # {sequence: [(record, frame numbers, ids)]}

    def apply(self, name, keys, frame_index, ids):
        """(ids, kept) of rows of sequence `name` given their link keys and frame indices."""
        import numpy as np

        camera = self.cameras.get(name)
        corrections = self.in_force.get(camera, []) if camera is not None else []
        ids = np.asarray(ids, dtype=np.int64)
        if not corrections:
            return ids, np.ones(len(ids), dtype=bool)
        positions = self.view.positions(camera)
        position = np.array([positions.get(k, -1) for k in keys], dtype=np.int64)
        corrected, wrong = corr.apply_corrections(ids, position, frame_index, corrections, positions)
        return corrected, ~wrong

    def frame_places(self, name):
        """(sorted frame numbers, their link keys, their frame indices) of a sequence's saved frames."""
        import numpy as np

        numbers, keys, indices = [], [], []
        for record, frames, _ in self.links.get(name, []):
            numbers.append(np.asarray(frames, dtype=np.int64))
            keys += [record.key] * len(frames)
            indices.append(np.arange(len(frames)))
        if not numbers:
            return np.zeros(0, np.int64), [], np.zeros(0, np.int64)
        numbers, indices = np.concatenate(numbers), np.concatenate(indices)
        order = np.argsort(numbers, kind="stable")
        return numbers[order], [keys[i] for i in order], indices[order]

    def notes(self):
        return correction_notes(self.in_force, self.stale)


def correction_notes(in_force, stale):
    """Lines saying how many corrections apply, and which no longer do and why (after a rerun
    made their links again): `RunView.corrections()` gives both."""
    applied = sum(len(v) for v in in_force.values())
    lines = [f"{applied} correction(s) from {corr.CORRECTIONS} applied."] if applied else []
    return lines + [f"A correction no longer applies: {c.describe()} ({why})." for c, why in stale]


def corrected_run_mot(out):
    """The run's MOTChallenge tables ({sequence: table}) with the corrections in force, and lines to print."""
    import numpy as np

    from ..export import run_mot

    fix = _Corrector(out)
    tables = run_mot(out)
    for name, table in tables.items():
        numbers, keys, indices = fix.frame_places(name)
        if not len(table) or not len(numbers):
            continue
        at = np.searchsorted(numbers, table["frame"].to_numpy())
        ids, kept = fix.apply(name, [keys[i] for i in at], indices[at], table["id"].to_numpy())
        tables[name] = table.assign(id=ids)[kept].reset_index(drop=True)
    return tables, fix.notes()


def corrected_run_coco(out):
    """The run's COCO documents ({sequence: document}) with the corrections in force, and lines to print."""
    from ..export import run_coco

    fix = _Corrector(out)
    documents = run_coco(out)
    for name, doc in documents.items():
        images = {im["id"]: im for im in doc["images"]}
        keys = [f"{images[a['image_id']]['video']}/{images[a['image_id']]['segment'] or 'video'}"
                for a in doc["annotations"]]
        frames = [images[a["image_id"]]["frame_index"] for a in doc["annotations"]]
        ids, kept = fix.apply(name, keys, frames, [a["track_id"] for a in doc["annotations"]])
        annotations = []
        for a, track, keep in zip(doc["annotations"], ids.tolist(), kept.tolist()):
            if keep:
                annotations.append(dict(a, id=len(annotations) + 1, track_id=track))
        doc["annotations"] = annotations
    return documents, fix.notes()


def corrected_identities(view):
    """identities.csv's second file: per done link and box key, the runs of frames over which its
    corrected id holds, as a table (camera, video, segment, box_key, first_frame, last_frame,
    track_id, wrong); a key no correction touches is one run over the link's frames."""
    import numpy as np
    import pandas as pd

    in_force = view.corrections()[0]
    rows = []
    for camera, links in view.cameras.items():
        positions = view.positions(camera)
        for link in links:
            if not link.done or not link.track_ids or not link.frames:
                continue
            keys = list(link.track_ids)
            frame = np.tile(np.arange(link.frames), len(keys))
            base = np.repeat([link.track_ids[k] for k in keys], link.frames)
            ids, wrong = corr.apply_corrections(base, np.full(len(base), link.position), frame,
                                                in_force.get(camera, []), positions)
            for n, key in enumerate(keys):
                part = slice(n * link.frames, (n + 1) * link.frames)
                ids_k, wrong_k = ids[part], wrong[part]
                starts = np.flatnonzero(np.r_[True, (ids_k[1:] != ids_k[:-1]) | (wrong_k[1:] != wrong_k[:-1])])
                ends = np.r_[starts[1:] - 1, link.frames - 1]
                rows += [(camera, link.video, link.segment, key, int(s), int(e), int(ids_k[s]), bool(wrong_k[s]))
                         for s, e in zip(starts, ends)]
    return pd.DataFrame(rows, columns=["camera", "video", "segment", "box_key", "first_frame", "last_frame",
                                       "track_id", "wrong"])
