"""The run folder as proofreading, rendering and the corrected outputs read it: the one place
that knows today's files (run_summary.csv, identities.csv, links/, annotations/).

Everything else asks this module for links, their track ids, their frames' objects and
images, and the corrections in force, so that moving to the run folder's own reader is a
change here alone. The tables are read with the csv module: the server answers its first
page before pandas would have loaded.
"""

from __future__ import annotations

import csv
import dataclasses
import json
import os
import re

from .. import corrections as corr
from .. import layout

__all__ = ["FrameUnavailable", "LinkView", "RunView", "corrected_run_coco", "corrected_run_mot", "sequence_name",
           "track_colour"]

_LONG_OVERLAP = re.compile(r"(Box\d+)-(Box\d+) \(frames (\d+)-(\d+)\)")
_WENT_WRONG = re.compile(r"most\s+likely went wrong there is (Box\d+)")


class FrameUnavailable(FileNotFoundError):
    """The frame's image is gone and cannot be made again here."""


def _int(text):
    try:
        return int(float(text))
    except (TypeError, ValueError):
        return None


@dataclasses.dataclass
class LinkView:
    camera: str
    video: str
    segment: str
    position: int  # place in the camera's chain, from 0
    status: str
    started: str = ""
    carried_from: str = ""
    start_frame: int | None = None
    frames: int = 0
    questions: int | None = None
    long_overlap: str = ""
    small_area_boxes: tuple = ()
    stamp: str = ""  # when its results were made
    track_ids: dict = dataclasses.field(default_factory=dict)  # box key -> id as the run made it

    @property
    def key(self):
        return f"{self.video}/{self.segment or 'video'}"

    @property
    def done(self):
        return self.status == "done"

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

    def __init__(self, out, cameras):
        self.out = out
        self.cameras = cameras  # {camera: [LinkView] in chain order}
        self.links = {(lk.camera, lk.key): lk for links in cameras.values() for lk in links}

    @classmethod
    def open(cls, out):
        out = os.path.abspath(out)
        summary = os.path.join(out, layout.RUN_SUMMARY)
        if not os.path.isfile(summary) or not layout.is_run_folder(out):
            raise FileNotFoundError(f"{out} is not a run folder (no {layout.RUN_SUMMARY} and "
                                    f"{layout.IDENTITIES}): give the --out folder of herdmask run")
        cameras = {}
        with open(summary, newline="", encoding="utf-8") as f:
            for row in csv.DictReader(f):
                links = cameras.setdefault(row["camera"], [])
                links.append(LinkView(
                    camera=row["camera"], video=row["video"], segment=row["segment"], position=len(links),
                    status=row["status"], started=row.get("started", ""), carried_from=row.get("carried_from", ""),
                    start_frame=_int(row.get("start_frame")), frames=_int(row.get("frames")) or 0,
                    questions=_int(row.get("questions")), long_overlap=row.get("long_overlap", ""),
                    small_area_boxes=tuple((row.get("small_area_boxes") or "").split()),
                    stamp=row.get("finished", "")))
        view = cls(out, cameras)
        with open(os.path.join(out, layout.IDENTITIES), newline="", encoding="utf-8") as f:
            for row in csv.DictReader(f):
                link = view.links.get((row["camera"], f"{row['video']}/{row['segment'] or 'video'}"))
                track = _int(row.get("track_id"))
                if link is not None and track is not None:
                    link.track_ids[row["box_key"]] = track
        return view

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

    def record(self, link):
        """The link's own record (links/<video>/<segment>.json), or {}."""
        path = os.path.join(self.out, "links", link.video, (link.segment or "video") + ".json")
        try:
            with open(path, encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def annotation_path(self, link, index):
        return os.path.join(self.out, "annotations", link.video, link.segment, f"output_pp_{index}.json")

    def report_path(self, link):
        return os.path.join(self.out, "reports", link.video, link.segment or "video",
                            "tracking_question_report.csv")

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
        """(width, height) of a frame, from its file's header."""
        from PIL import Image

        path = self.frame_objects(link, index)[0]
        if not (path and os.path.isfile(path)):
            raise FrameUnavailable(f"the frame file {path or '(none named)'} of {link.key} frame {index} is gone")
        with Image.open(path) as im:
            return im.size

    def frame_image(self, link, index, image_path=None, scale=1.0):
        """The frame as an RGB image, `scale` times its size: its extracted file, else the frame read
        again from the video."""
        from PIL import Image

        if image_path is None:
            image_path = self.frame_objects(link, index)[0]
        if image_path and os.path.isfile(image_path):
            with Image.open(image_path) as im:
                size = (max(1, round(im.width * scale)), max(1, round(im.height * scale)))
                if scale < 1:
                    im.draft("RGB", size)  # a JPEG decoded straight at a half, quarter, ... of its size
                image = im.convert("RGB")
            return image if image.size == size else image.resize(size, Image.BILINEAR)
        raise FrameUnavailable(f"the frame file {image_path or '(none named)'} of {link.key} frame {index} is gone, "
                               "and this run folder does not say where in its video the frame lies")

    def tracks(self, link):
        """Per annotation file and box key, as numpy arrays: frame, box_key, x, y, w, h, area, cx, cy.

        Read from the boxes the annotation files hold: area is the box's, (cx, cy) its centre."""
        import numpy as np

        rows = []
        for index in range(link.frames):
            try:
                with open(self.annotation_path(link, index), encoding="utf-8") as f:
                    detections = json.load(f).get("detections", [])
            except FileNotFoundError:
                continue
            for det in detections:
                x1, y1, x2, y2 = det["xyxy"][0]
                if not det.get("formatted_polygon"):
                    x1 = y1 = x2 = y2 = 0
                rows.append((index, int(det["object_id"]) - 1, x1, y1, x2 - x1, y2 - y1))
        table = np.array(rows, dtype=np.float64).reshape(-1, 6)
        frame, key, x, y, w, h = table.T
        return {"frame": frame.astype(np.int64), "box_key": np.array([f"Box{int(k)}" for k in key], dtype=object),
                "x": x, "y": y, "w": w, "h": h, "area": w * h, "cx": x + w / 2, "cy": y + h / 2}

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


def sequence_name(camera):
    camera = str(camera)
    return camera if camera.lower().startswith("camera") else f"Camera{camera}"


class _Corrector:
    """Applies the corrections in force to the rows of a run's exported sequences."""

    def __init__(self, out):
        from herdmask import export

        self.view = RunView.open(out)
        self.in_force, self.stale = self.view.corrections()
        self.chains = export.run_chains(out)
        self.cameras = {sequence_name(c): c for c in self.view.cameras}

    def offsets(self, name):
        """(first frame number, link key) of each link of the sequence, in chain order."""
        return [(link["frame_offset"] + 1, f"{link['video']}/{link['segment'] or 'video'}")
                for link in self.chains.get(name, [])]

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

    def notes(self):
        applied = sum(len(v) for v in self.in_force.values())
        lines = [f"{applied} correction(s) from {corr.CORRECTIONS} applied."] if applied else []
        return lines + [f"A correction no longer applies: {c.describe()} ({why})." for c, why in self.stale]


def corrected_run_mot(out):
    """The run's MOTChallenge tables ({sequence: table}) with the corrections in force, and lines to print."""
    import numpy as np

    from herdmask import export

    fix = _Corrector(out)
    tables = export.run_mot(out)
    for name, table in tables.items():
        links = fix.offsets(name)
        if not len(table) or not links:
            continue
        starts = np.array([s for s, _ in links])
        which = np.searchsorted(starts, table["frame"].to_numpy(), side="right") - 1
        keys = [links[i][1] for i in which]
        ids, kept = fix.apply(name, keys, table["frame"].to_numpy() - starts[which], table["id"].to_numpy())
        table = table.assign(id=ids)[kept].reset_index(drop=True)
        tables[name] = table
    return tables, fix.notes()


def corrected_run_coco(out):
    """The run's COCO documents ({sequence: document}) with the corrections in force, and lines to print."""
    from herdmask import export

    fix = _Corrector(out)
    documents = export.run_coco(out)
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
