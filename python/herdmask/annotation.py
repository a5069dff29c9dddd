"""Annotation files and drawing: reading and rescaling annotation files, masks
from their polygons, and pictures of masks, boxes and labels."""

import functools
import json
import math
import numbers
import operator
import os
import random
import threading

import numpy as np

from .files import write_atomic, write_text_atomic
from ._native import annotation as _core

__all__ = [
    "retrieve_annotation",
    "fix_polygon_scaling",
    "process_json_and_generate_masks",
    "draw_masks_on_image",
    "img_bbx_drawing",
    "draw_labelled_masks",
    "draw_labelled_masks_i420",
    "label_tab",
    "video_segments_mask_visual",
    "mask_outlines",
]


# Finding the label font walks the system's font folders, which costs more than
# drawing ten labels; each thread keeps the one it found (a font object is not
# shared between threads).
_thread_fonts = threading.local()


def _load_font(size=None):
    """The label font: "arial.ttf" at 11 points, or at `size` pixels a bold sans font."""
    fonts = getattr(_thread_fonts, "fonts", None)
    if fonts is None:
        fonts = _thread_fonts.fonts = {}
    font = fonts.get(size)
    if font is None:
        from PIL import ImageFont

        try:
            font = ImageFont.truetype("arial.ttf", 11) if size is None else _sized_font(size)
        except Exception:  # no such font here: labels use the default font
            font = ImageFont.load_default() if size is None else ImageFont.load_default(size=size)
        fonts[size] = font
    return font


def _sized_font(size):
    from PIL import ImageFont

    for name in ("DejaVuSans-Bold.ttf", "arialbd.ttf", "arial.ttf"):
        try:
            return ImageFont.truetype(name, size)
        except OSError:
            continue
    return ImageFont.load_default(size=size)


def _random_color():
    return (random.randint(0, 254), random.randint(0, 254), random.randint(0, 254))


def _fill_polygon(draw, points, fill, outline):
    # The imaging library refuses a polygon of fewer than two vertices; a single
    # vertex still marks its pixel, and a text with no vertex draws nothing.
    if len(points) >= 2:
        draw.polygon(points, fill=fill, outline=outline, width=0)
    elif points:
        draw.point(points, fill=fill)


def _near(v, size, pad=8):
    # The imaging library walks the whole length of a far-away rectangle edge;
    # moved to just outside the image, an edge draws the same visible pixels.
    return min(max(v, -pad), size + pad)


# Boxes are drawn with 64-bit pixel positions; a coordinate this large is no box.
_BOX_LIMIT = 2**62


def _check_box(box, object_id, json_path):
    for v in box:
        if isinstance(v, numbers.Integral):
            ok = abs(int(v)) <= _BOX_LIMIT
        elif isinstance(v, numbers.Real):
            ok = math.isfinite(v) and abs(v) <= _BOX_LIMIT
        else:
            continue  # not a number: the drawing raises its own error
        if not ok:
            raise ValueError(f"box {box!r} of object {object_id!r} in {json_path}: coordinates must "
                             f"be finite numbers within +-2**62")


def _save_image(image, save_path):
    """Saves through a temporary file beside `save_path` and a rename, so that a save
    that fails midway never leaves a truncated picture, nor spoils one already there."""
    try:
        path = os.fsdecode(save_path)
    except TypeError:  # a file object: the caller owns it
        image.save(save_path)
        return
    from PIL import Image

    ext = os.path.splitext(path)[1].lower()
    Image.init()
    if ext not in Image.EXTENSION:  # refused before anything is written, as the imaging library does
        raise ValueError(f"unknown file extension: {ext}")
    write_atomic(path, lambda tmp: image.save(tmp, format=Image.EXTENSION[ext]))


def retrieve_annotation(json_path, save_path=None, box_drawing=False, object_ids="all"):
    """Draws an annotation file's objects over its frame image; returns the RGBA picture."""
    from PIL import Image, ImageDraw

    with open(json_path) as f:
        data = json.load(f)
    image = Image.open(data["image_path"]).convert("RGBA")
    overlay = Image.new("RGBA", image.size, (255, 255, 255, 0))
    draw = ImageDraw.Draw(overlay)
    width, height = image.size
    draw_all = isinstance(object_ids, str) and object_ids == "all"
    font = None

    detections = data["detections"]
    for det in detections:
        object_id = det["object_id"]
        if not (draw_all or object_id in object_ids):
            continue
        color = _random_color()
        fill = color + (100,)
        for box in det["xyxy"]:
            x1, y1, x2, y2 = box
            if box_drawing:
                _check_box(box, object_id, json_path)
            for poly in det["formatted_polygon"]:
                _fill_polygon(draw, _core.polygon_points(poly, width, height), fill, color)
            if box_drawing:
                draw.rectangle([_near(x1, width), _near(y1, height), _near(x2, width),
                                _near(y2, height)], outline=color, width=2)
                font = font or _load_font()
                label = f"Box {object_id - 1}"
                left, top, right, bottom = draw.textbbox((x1, y1), label, font=font)
                text_w, text_h = right - left, bottom - top
                draw.rectangle([_near(x1, width), _near(y1 - text_h - 4, height),
                                _near(x1 + text_w + 4, width), _near(y1, height)], fill=color)
                draw.text((x1 + 2, y1 - text_h - 2), label, fill="white", font=font)

    # Only the composite after the last detection is kept, so one is enough; a file
    # without detections gives the image itself.
    annotated = Image.alpha_composite(image, overlay) if detections else image
    if save_path:
        _save_image(annotated, save_path)
    return annotated


def fix_polygon_scaling(json_path, save_path):
    """Rewrites polygons normalised by the swapped image sides; writes `save_path` atomically."""
    from PIL import Image

    with open(json_path) as f:
        data = json.load(f)
    image_path = data["image_path"]
    try:
        with Image.open(image_path) as img:
            width, height = img.size
    except Exception as e:  # any failure to open the image is reported, not raised
        print(f"Error loading image: {e}")
        return
    factor_x = height / width
    factor_y = width / height
    for det in data["detections"]:
        polygons = det["formatted_polygon"]
        if isinstance(polygons, str) or not all(isinstance(p, str) for p in polygons):
            raise TypeError('"formatted_polygon" must be a list of strings')
        det["formatted_polygon"] = _core.rescale_polygon_texts(list(polygons), factor_x, factor_y)
    write_text_atomic(os.fspath(save_path), json.dumps(data, indent=4))


def process_json_and_generate_masks(json_path, height, width):
    """(image_path, uint8 masks of shape (n, height, width), object ids minus 1) of a file."""
    return _core.masks_from_json(os.fspath(json_path), operator.index(height),
                                 operator.index(width))


@functools.lru_cache(maxsize=None)
def _mask_color(index):
    # The legacy generator seeded per position: the same position always gets the
    # same colour, without disturbing the caller's global generator.
    r, g, b = np.random.RandomState(index).randint(0, 256, 3)
    return int(r), int(g), int(b)


def _lent_pixels(image):
    """The image's own memory, lent without a copy where the imaging library
    keeps it in one block, or None."""
    try:
        return image.__arrow_c_array__()
    except (AttributeError, ValueError):  # an older library, or rows in several blocks
        return None


def _composite(image, masks, with_boxes):
    return _core_composite(image, masks, [_mask_color(42 + i) for i in range(len(masks))], with_boxes)


def _core_composite(image, masks, colours, with_boxes=True):
    from PIL import Image

    if image.mode not in ("RGB", "RGBA"):
        image = image.convert("RGBA")
    width, height = image.size
    source = _lent_pixels(image)
    if source is None:
        source = image.tobytes()
    # The picture is painted straight into a new image's memory where it is lent;
    # every byte is written, so the memory is not cleared first.
    out = Image.new("RGBA", image.size, None)
    target = _lent_pixels(out)
    pixels, boxes = _core.composite_masks(source, image.mode, height, width, masks, colours,
                                          with_boxes, target)
    if target is None:
        out = Image.fromarray(pixels, "RGBA")
    return out, boxes


def draw_masks_on_image(image, masks):
    """The image as RGBA with each mask painted in its colour at alpha 128 where it
    is greater than 0 (later masks on top)."""
    return _composite(image, list(masks), False)[0]


def _boxes_and_labels(image, boxes, labels, colours, font, width=3, padding=4, inset=False):
    """Boxes and label tabs over `image`. With `inset` the text sits inside its tab whatever
    the font's bearing (large labels); without, where `img_bbx_drawing` has always put it."""
    from PIL import ImageDraw

    draw = ImageDraw.Draw(image)
    for box, label, color in zip(boxes, labels, colours):
        x_tl, y_tl, x_br, y_br = (int(v) for v in box)
        draw.rectangle((x_tl, y_tl, x_br, y_br), outline=color, width=width)
        if inset:
            tab = _tab_image(label, color, font.size, padding)
            image.paste(tab, (x_tl, y_tl - tab.height + 1))
            continue
        x1, y1, x2, y2 = draw.textbbox((x_tl, y_tl), label, font=font)
        text_w, text_h = x2 - x1, y2 - y1
        draw.rectangle((x_tl, y_tl - text_h - padding, x_tl + text_w + padding, y_tl), fill=color)
        x, y = x_tl + 2, y_tl - text_h - padding
        if inset:
            x, y = x_tl + padding // 2 - (x1 - x_tl), y - (y1 - y_tl) + padding // 2
        draw.text((x, y), label, fill="white", font=font)
    return image


@functools.lru_cache(maxsize=4096)
def _tab_image(label, colour, size, padding):
    """The label in white inside its tab of `colour`, as an RGB image: the text in
    a font of `size` pixels `padding` // 2 from the tab's left and top edges, the
    tab `padding` + 1 pixels wider and taller than the text. Ids repeat on every
    frame, so each tab is drawn once."""
    from PIL import Image, ImageDraw

    font = _load_font(size)
    x1, y1, x2, y2 = ImageDraw.Draw(Image.new("1", (1, 1))).textbbox((0, 0), label, font=font)
    tab = Image.new("RGB", (x2 - x1 + padding + 1, y2 - y1 + padding + 1), colour)
    ImageDraw.Draw(tab).text((padding // 2 - x1, padding // 2 - y1), label, fill="white", font=font)
    return tab


def _label_style(label_size):
    """(font size, box line width, tab padding) of labels `label_size` pixels high."""
    size = max(6, int(label_size))
    scale = max(1, int(label_size) // 11)
    return size, 3 * scale, 4 * scale


def label_tab(label, colour, label_size):
    """The tab `draw_labelled_masks` writes a label on, as a height x width x 3 uint8
    RGB array (read-only, shared between callers): the label in white on the
    (r, g, b) colour, `label_size` pixels high."""
    return _tab_array(str(label), tuple(int(c) for c in colour), *_label_style(label_size)[::2])


@functools.lru_cache(maxsize=4096)
def _tab_array(label, colour, size, padding):
    tab = np.array(_tab_image(label, colour, size, padding))
    tab.flags.writeable = False
    return tab


def img_bbx_drawing(image, mask_dict):
    """Masks, their tight boxes and key labels drawn over the image; returns a new RGBA image."""
    keys = list(mask_dict)
    # The boxes bound the non-zero pixels, as the tight-box convention has it; they
    # are found in the pass that paints the masks.
    image, boxes = _composite(image, [mask_dict[k] for k in keys], True)
    font = _load_font() if keys else None
    colours = [_mask_color(42 + ii) for ii in range(len(keys))]
    return _boxes_and_labels(image, boxes, [str(k) for k in keys], colours, font)


def draw_labelled_masks(image, masks, labels, colours, label_size=None):
    """The picture `img_bbx_drawing` draws, with colours and labels of the caller's choosing.

    Each mask is painted in its (r, g, b) colour at alpha 128 where it is greater
    than 0 (later masks on top), its tight box outlined in that colour and its label
    written on a tab above the box. `label_size` is the labels' height in pixels
    (None: the font `img_bbx_drawing` uses); lines and tabs grow with it, so that
    labels stay readable on large frames. Returns a new RGBA image.
    """
    masks, labels, colours = list(masks), [str(v) for v in labels], [tuple(int(c) for c in v) for v in colours]
    if not len(masks) == len(labels) == len(colours):
        raise ValueError(f"{len(masks)} masks need as many labels and colours, got {len(labels)} and "
                         f"{len(colours)}")
    drawn, boxes = _core_composite(image, masks, colours)
    if not masks:
        return drawn
    if label_size is None:
        return _boxes_and_labels(drawn, boxes, labels, colours, _load_font(None), width=3, padding=4)
    size, width, padding = _label_style(label_size)
    return _boxes_and_labels(drawn, boxes, labels, colours, _load_font(size), width=width, padding=padding,
                             inset=True)


def draw_labelled_masks_i420(frame, polygons, labels, colours, label_size):
    """Draws over `frame` in place what `draw_labelled_masks` draws with label_size, for
    masks given by their outlines: per mask its polygon texts as annotation files store
    them ("formatted_polygon"), filled at the frame's size as
    `process_json_and_generate_masks` fills them, each in its (r, g, b) colour with its
    tight box and its label. `frame` is a 4:2:0 picture of even sides, a C-contiguous
    uint8 array of height * 3 / 2 rows (the luma, then the two difference planes),
    studio-range BT.601 as video encoders take it (`jpeg_to_i420`); it comes out as the
    RGB drawing would convert, within rounding. Returns `frame`."""
    polygons, labels = list(polygons), [str(v) for v in labels]
    colours = [tuple(int(c) for c in v) for v in colours]
    if not len(polygons) == len(labels) == len(colours):
        raise ValueError(f"{len(polygons)} masks need as many labels and colours, got {len(labels)} and "
                         f"{len(colours)}")
    if any(isinstance(texts, str) or not all(isinstance(t, str) for t in texts) for texts in polygons):
        raise TypeError("each mask's polygons must be a list of polygon texts")
    _, width, _ = _label_style(label_size)
    tabs = [label_tab(label, colour, label_size) for label, colour in zip(labels, colours)]
    _core.draw_masks_i420(frame, [list(texts) for texts in polygons], colours, tabs, width)
    return frame


def mask_outlines(masks, label="pig"):
    """Per mask, ((x, y, width, height), polygon texts): the box of its pixels
    greater than 0 (all 0 when there are none) and one text per outer outline as
    annotation files store it, the label then x y pairs naming pixel centres as
    fractions of the mask's size ((x + 0.5) / width, 8 decimals). An outline of
    one or two pixels comes as a thin triangle. Masks may be 2-D or carry leading
    axes of length 1, of any dtype."""
    return _core.mask_outlines(masks if isinstance(masks, np.ndarray) else list(masks), str(label))


def video_segments_mask_visual(video_segments, frame_idx, object_id):
    """Shows one tracked mask in the current plotting figure (no window is opened)."""
    import matplotlib.pyplot as plt

    plt.imshow(np.squeeze(video_segments[frame_idx][object_id]))
