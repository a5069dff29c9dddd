"""Pictures in 4:2:0 planes for the overlay videos: JPEG frames decoded straight to them, and
masks, boxes and labels drawn over them as the RGB drawing draws them."""

import json

import numpy as np
import pytest
from PIL import Image

import herdmask as hm


def _i420_of_rgb(rgb):
    """The plain formulation: studio-range BT.601 per pixel, each difference the mean of two by two."""
    r, g, b = (rgb[..., i].astype(np.float64) for i in range(3))
    y = 16 + (0.299 * r + 0.587 * g + 0.114 * b) * 219 / 255
    u = 128 + (-0.168736 * r - 0.331264 * g + 0.5 * b) * 224 / 255
    v = 128 + (0.5 * r - 0.418688 * g - 0.081312 * b) * 224 / 255
    h, w = y.shape
    half = [c.reshape(h // 2, 2, w // 2, 2).mean(axis=(1, 3)) for c in (u, v)]
    return np.concatenate([y.ravel(), half[0].ravel(), half[1].ravel()]).reshape(h * 3 // 2, w)


def _polygon(points, w, h):
    return "pig " + " ".join(f"{(x + 0.5) / w:.8f} {(y + 0.5) / h:.8f}" for x, y in points)


def _annotation(folder, outlines):
    path = folder / "a.json"
    detections = [{"object_id": k + 1, "formatted_polygon": p} for k, p in enumerate(outlines)]
    path.write_text(json.dumps({"image_path": "", "detections": detections}))
    return path


def test_drawing_in_i420_is_the_rgb_drawing_converted(tmp_path):
    h, w = 120, 160
    # a base of one colour per two by two pixels: all that 4:2:0 keeps of it
    rng = np.random.default_rng(5)
    yy, xx = np.mgrid[:h // 2, :w // 2]
    base = np.clip(np.stack([xx * 2, yy * 4, 255 - xx], axis=-1) + rng.integers(0, 40, (h // 2, w // 2, 3)), 0, 255)
    base = base.astype(np.uint8).repeat(2, axis=0).repeat(2, axis=1)
    # overlapping masks (the later on top), one reaching out of the frame, one of two pixels,
    # boxes and tabs at odd places, a tab cut by the frame's top
    outlines = [[_polygon([(11, 31), (90, 35), (70, 100), (15, 80)], w, h)],
                [_polygon([(51, 21), (150, 41), (170, 119), (60, 90)], w, h), _polygon([(5, 5), (20, 5), (12, 15)], w, h)],
                [_polygon([(131, 101), (132, 101)], w, h)]]
    masks = hm.process_json_and_generate_masks(_annotation(tmp_path, outlines), h, w)[1]
    labels, colours = ["7", "12?", "3"], [(230, 25, 75), (110, 110, 110), (0, 130, 200)]

    rgb = np.asarray(hm.draw_labelled_masks(Image.fromarray(base), masks, labels, colours, label_size=14))[..., :3]
    frame = np.round(_i420_of_rgb(base)).astype(np.uint8)
    assert hm.draw_labelled_masks_i420(frame, outlines, labels, colours, label_size=14) is frame
    diff = np.abs(frame - _i420_of_rgb(rgb))
    assert diff.max() <= 1.5 and (frame != np.round(_i420_of_rgb(base))).mean() > 0.3

    # past 254 masks the drawing keeps its place per pixel in 16 bits
    many = [[_polygon([(x, y), (x + 3, y), (x + 3, y + 2)], w, h)] for y in range(0, 100, 6) for x in range(0, 150, 8)]
    colours = [(k % 256, 255 - k % 256, 90) for k in range(len(many))]
    masks = [hm.process_json_and_generate_masks(_annotation(tmp_path, [p]), h, w)[1][0] for p in many]
    rgb = np.asarray(hm.draw_labelled_masks(Image.fromarray(base), masks, [""] * len(many), colours, label_size=11))
    frame = np.round(_i420_of_rgb(base)).astype(np.uint8)
    hm.draw_labelled_masks_i420(frame, many, [""] * len(many), colours, label_size=11)
    assert len(many) > 255 and np.abs(frame - _i420_of_rgb(rgb[..., :3])).max() <= 1.5


@pytest.mark.parametrize("mode, subsampling, size", [("RGB", 2, (80, 48)), ("RGB", 0, (60, 36)), ("L", 2, (80, 48)),
                                                     ("CMYK", 2, (160, 96))])
def test_jpeg_frames_decode_straight_to_i420_like_the_rgb_decoding(tmp_path, mode, subsampling, size):
    # 4:2:0 at half size is the decoder's own scaling; 4:4:4 to a size between eighths is resized;
    # grey has no differences; CMYK goes through OpenCV's decoder
    yy, xx = np.mgrid[:96, :160]
    rgb = np.stack([xx * 1.5, yy * 2.5, 200 - xx], axis=-1).astype(np.uint8)
    path = tmp_path / "frame.jpg"
    Image.fromarray(rgb).convert(mode).save(path, quality=95, subsampling=subsampling)
    got = hm.jpeg_to_i420(path, *size)
    with Image.open(path) as im:
        want = _i420_of_rgb(np.asarray(im.convert("RGB").resize(size, Image.BOX)))
    assert got.shape == (size[1] * 3 // 2, size[0]) and np.abs(got - want).mean() < 1.5

    # a frame read again from the recording (BGR) comes out in the same studio range
    got = hm.bgr_to_i420(np.full((30, 40, 3), (200, 130, 0), np.uint8), 20, 16)
    assert np.abs(got - _i420_of_rgb(np.full((16, 20, 3), (0, 130, 200)))).max() <= 1


def test_truncated_and_bomb_jpeg_frames_raise_instead_of_coming_out_grey_or_eating_memory(tmp_path):
    whole = tmp_path / "whole.jpg"
    Image.new("RGB", (64, 48), (10, 200, 30)).save(whole, quality=90)
    cut = tmp_path / "cut.jpg"
    cut.write_bytes(whole.read_bytes()[:300])
    with pytest.raises(ValueError, match="cut.jpg"):
        hm.jpeg_to_i420(cut, 32, 24)
    data = bytearray(whole.read_bytes())  # the frame header claiming 60000 x 60000 pixels
    at = data.index(b"\xff\xc0") + 5
    data[at:at + 4] = (60000).to_bytes(2, "big") * 2
    bomb = tmp_path / "bomb.jpg"
    bomb.write_bytes(bytes(data))
    with pytest.raises(ValueError, match="more than a frame"):
        hm.jpeg_to_i420(bomb, 32, 24)
