"""One frame of a link drawn for a person: every animal's mask in its track's colour with its id,
after the corrections in force. The proofreading page and the overlay videos draw through here;
the pixels are painted by the library's drawing step."""

from __future__ import annotations

import dataclasses
import os

from .source import track_colour

__all__ = ["FrameObject", "WRONG_COLOUR", "draw_frame", "draw_frame_i420", "frame_objects", "label_height",
           "load_drawing"]

WRONG_COLOUR = (110, 110, 110)


@dataclasses.dataclass
class FrameObject:
    key: str  # box key in the link's annotation files
    track: int  # id after the corrections
    run_track: int  # id as the run made it
    wrong: bool  # marked wrong by a correction
    box: tuple  # x1, y1, x2, y2
    polygons: list = dataclasses.field(default_factory=list, repr=False)  # its outline's polygon texts

    def as_dict(self):
        return {"key": self.key, "track": self.track, "run_track": self.run_track, "wrong": self.wrong,
                "box": list(self.box), "colour": "#%02x%02x%02x" % (WRONG_COLOUR if self.wrong else
                                                                    track_colour(self.track))}


def frame_objects(view, link, index, ids):
    """(image path, [FrameObject]) of the masks a frame holds; `ids` is the link's camera's
    TrackMap (`RunView.track_map`), or the link's ids over all its frames as its `link_ids`
    gives them (what a caller drawing many of the link's frames asks for once)."""
    image_path, found = view.frame_outlines(link, index)
    keys = [k for k, _, _ in found if k in link.track_ids]
    if callable(ids):  # the link's ids worked out at once
        given = [ids(k, index) for k in keys]
        ids, wrong = [link.track_ids[k] if t is None else t for k, t in zip(keys, given)], [t is None for t in given]
    else:
        ids, wrong = ids.ids_at(link.record, keys, index)
    outlines = {k: (box, polygons) for k, box, polygons in found}
    return image_path, [FrameObject(k, int(t), link.track_ids[k], bool(w), *outlines[k])
                        for k, t, w in zip(keys, ids, wrong)]


def label_height(image_height):
    """Labels about a fortieth of the frame's height: readable when the frame is shown whole."""
    return max(11, image_height // 40)


def load_drawing():
    """Loads what drawing a frame needs (the library's drawing step with its extension, the
    imaging library and its JPEG codec), which a page server starts without."""
    import herdmask as hm
    from PIL import Image

    Image.preinit()
    return hm.draw_labelled_masks


def _drawn(objects, show_wrong):
    """(objects drawn, their labels, their colours): masks marked wrong grey with their id and "?"
    when `show_wrong`, else left out."""
    shown = [o for o in objects if show_wrong or not o.wrong]
    return (shown, [f"{o.track}?" if o.wrong else str(o.track) for o in shown],
            [WRONG_COLOUR if o.wrong else track_colour(o.track) for o in shown])


def draw_frame(view, link, index, ids, show_wrong=True, scale=1.0, image=None):
    """(RGBA picture of the frame at `scale` times its size, its objects). Masks marked wrong are
    drawn grey with their id and "?" when `show_wrong`, else left out, as every output leaves
    them out; `ids` as for `frame_objects`. The masks are filled at the picture's size from their
    outlines. `image`: the frame as an RGB image at that size when the caller has it (read
    again from the recording with its neighbours), else it is read here."""
    import herdmask as hm

    image_path, objects = frame_objects(view, link, index, ids)
    if image is None:
        image = view.frame_image(link, index, image_path, scale)
    width, height = image.size
    _, masks, keys = view.frame_masks(link, index, height, width)
    plane = dict(zip(keys, masks))
    shown, labels, colours = _drawn(objects, show_wrong)
    picture = hm.draw_labelled_masks(image, [plane[o.key] for o in shown], labels, colours,
                                     label_size=label_height(height))
    return picture, objects


def draw_frame_i420(view, link, index, ids, size, read_again=None):
    """The frame drawn as `draw_frame` draws it without the masks marked wrong, as a 4:2:0
    picture of `size` (width, height), both even (`herdmask.draw_labelled_masks_i420`): what
    a video encoder takes. `read_again(index)`: the frame as such a picture when its file is
    gone and the caller reads such frames with their neighbours; else it is read here."""
    import herdmask as hm

    image_path, objects = frame_objects(view, link, index, ids)
    if read_again is not None and not (image_path and os.path.isfile(image_path)):
        frame = read_again(index)
    else:
        frame = view.frame_i420(link, index, size, image_path)
    shown, labels, colours = _drawn(objects, show_wrong=False)
    return hm.draw_labelled_masks_i420(frame, [o.polygons for o in shown], labels, colours,
                                       label_size=label_height(size[1]))
