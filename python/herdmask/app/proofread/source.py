"""The run folder as proofreading and rendering read it, through the run folder's own reader
(`runfolder.RunFolder`) and its track ids with the corrections in force (`identity.TrackMap`).

Everything else in proofreading asks this module for links, their frames' objects and images,
and the camera's TrackMap as the corrections stand now.
"""

from __future__ import annotations

import dataclasses
import json
import os

from .. import identity, records
from ..runfolder import RunFolder

__all__ = ["FrameUnavailable", "LinkView", "RunView", "track_colour"]


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
        runs = [(o.box_a, o.box_b, o.first_frame, o.last_frame) for o in self.record.long_overlaps]
        return runs, self.record.overlap_went_wrong or None


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


def _scaled_size(size, scale):
    return max(1, round(size[0] * scale)), max(1, round(size[1] * scale))


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
            ids = identity.track_map(run, camera, corrections=[])
            cameras[camera] = [LinkView(r, ids.position(r), ids.run_ids(r) if r.done else {}) for r in ids.chain]
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

    def annotation_path(self, link, index):
        return os.path.join(self.run.annotation_dir(link.record), f"output_pp_{index}.json")

    def report_path(self, link):
        return os.path.join(self.run.report_dir(link.record), "tracking_question_report.csv")

    # ---------------------------------------------------------- frames

    def frame_objects(self, link, index):
        """(image path, [(box key, (x1, y1, x2, y2))]) of the masks the frame's annotation file holds, empty
        ones left out."""
        image_path, found = self.frame_outlines(link, index)
        return image_path, [(key, box) for key, box, _ in found]

    def frame_outlines(self, link, index):
        """The same with each mask's polygon texts: (image path, [(box key, box, polygon texts)])."""
        with open(self.annotation_path(link, index), encoding="utf-8") as f:
            data = json.load(f)
        return data.get("image_path", ""), [
            (f"Box{int(det['object_id']) - 1}", tuple(det["xyxy"][0]), det["formatted_polygon"])
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
        if not (image_path and os.path.isfile(image_path)):
            return self.frames_decoded_again(link, [index], scale)[index]
        with open(image_path, "rb") as f:
            image = Image.open(f)
            size = _scaled_size(image.size, scale)
            if scale < 1:
                image.draft("RGB", size)  # a JPEG decoded straight at a half, quarter, ... of its size
            image.load()
        if image.mode != "RGB":  # an RGB JPEG is used as decoded, not copied
            image = image.convert("RGB")
        return image if image.size == size else image.resize(size, Image.BILINEAR)

    def frame_i420(self, link, index, size, image_path=None):
        """The frame as a 4:2:0 picture of `size` (width, height; even), as video encoders take it
        (`herdmask.jpeg_to_i420`): its extracted file, else the frame decoded again."""
        import herdmask as hm

        if image_path is None:
            image_path = self.frame_objects(link, index)[0]
        if not (image_path and os.path.isfile(image_path)):
            return self.frames_decoded_again_i420(link, [index], size)[index]
        return hm.jpeg_to_i420(image_path, *size)

    def frames_decoded_again(self, link, indices, scale=1.0):
        """{index: RGB image at `scale` times its size} of the frames at `indices` whose frame files
        are gone, decoded again from the recording in one pass (the others are left out)."""
        from PIL import Image

        images = {}
        for index, bgr in self._read_again(link, indices).items():
            image = Image.fromarray(bgr, "RGB")
            size = _scaled_size(image.size, scale)
            if image.size != size:
                image = image.resize(size, Image.BILINEAR)
            images[index] = Image.merge("RGB", image.split()[::-1])
        return images

    def frames_decoded_again_i420(self, link, indices, size):
        """{index: 4:2:0 picture of `size`} of the frames at `indices` whose frame files are gone,
        as `frames_decoded_again` reads them."""
        import herdmask as hm

        return {index: hm.bgr_to_i420(bgr, *size) for index, bgr in self._read_again(link, indices).items()}

    def _read_again(self, link, indices):
        """{index: BGR frame} of the frames at `indices` whose frame files are gone, read in one pass."""
        gone = [i for i in indices if not os.path.isfile(self.frame_objects(link, i)[0] or "")]
        if not gone:
            return {}
        try:
            # cut and scaled as the link's frames were (crop box, --resize), by the run folder's one reader
            frames = self.run.frames(link.record, gone)
        except (OSError, ValueError, IndexError, KeyError) as exc:
            which = f"frame {gone[0]}" if len(gone) == 1 else f"frames {gone[0]} to {gone[-1]}"
            raise FrameUnavailable(f"{which} of {link.key}: the frame files are gone and cannot be read again "
                                   f"from the recording: {exc}") from None
        return dict(zip(gone, frames))

    def tracks(self, link):
        """The link's tracks table as numpy columns: frame, box_key, x, y, w, h, area, cx, cy, one row
        per annotation file and non-empty mask."""
        table = self.run.tracks(link.record)
        return {c: table[c].to_numpy(dtype=object if c == "box_key" else None) for c in table.columns}

    # ---------------------------------------------------------- corrections

    def corrections(self):
        """(the corrections in force per camera, the ones that no longer apply with why)."""
        return identity.corrections_in_force(self.run)

    def track_map(self, camera, made=None):
        """The camera's track ids with the corrections in force now: those of the folder's
        corrections file, or of `made` (the corrections made so far) when given."""
        in_force = identity.corrections_in_force(self.run, made)[0]
        return identity.track_map(self.run, camera, in_force.get(str(camera), []))
