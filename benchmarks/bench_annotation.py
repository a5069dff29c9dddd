"""Annotation files: loading a tracking run's folder and painting masks, against the
straightforward Python formulation of the same steps."""

import json
import os
import re
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np
import pandas as pd
from PIL import Image, ImageDraw, ImageFont

import herdmask as hm
from harness import best_time, dtype_text, plain_copy, report

# The plain formulations the tests check against are the baselines here too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from test_measures import ref_table  # noqa: E402
from test_pipeline import plain_outlines  # noqa: E402

HEIGHT, WIDTH = 1440, 2304
ANIMALS = 10
FILES = 200


# ---- a tracking run's folder ------------------------------------------------------------

def _outline(cx, cy, angle, rng):
    """A pig-sized outline of 48 vertices, normalised by the frame size."""
    t = np.linspace(0, 2 * np.pi, 48, endpoint=False)
    a, b = 170 + 10 * rng.standard_normal(), 75 + 5 * rng.standard_normal()
    x = a * np.cos(t) * (1 + 0.05 * np.sin(3 * t))
    y = b * np.sin(t)
    xs = cx + x * np.cos(angle) - y * np.sin(angle)
    ys = cy + x * np.sin(angle) + y * np.cos(angle)
    return "pig " + " ".join(f"{px / WIDTH:.6f} {py / HEIGHT:.6f}" for px, py in zip(xs, ys))


def make_run(folder, files, seed=0):
    """`files` annotation files of ANIMALS walking animals, and their frame image."""
    os.makedirs(folder, exist_ok=True)
    image = os.path.join(folder, "frame.jpg")
    cv2.imwrite(image, np.full((HEIGHT, WIDTH, 3), 90, np.uint8))
    rng = np.random.default_rng(seed)
    pos = rng.uniform([250, 250], [WIDTH - 250, HEIGHT - 250], (ANIMALS, 2))
    angle = rng.uniform(0, np.pi, ANIMALS)
    for f in range(files):
        pos = np.clip(pos + rng.normal(0, 8, pos.shape), 200, [WIDTH - 200, HEIGHT - 200])
        angle = angle + rng.normal(0, 0.05, ANIMALS)
        detections = [{"object_id": i + 1,
                       "xyxy": [[float(pos[i, 0] - 180), float(pos[i, 1] - 180),
                                 float(pos[i, 0] + 180), float(pos[i, 1] + 180)]],
                       "formatted_polygon": [_outline(pos[i, 0], pos[i, 1], angle[i], rng)]}
                      for i in range(ANIMALS)]
        with open(os.path.join(folder, f"output_pp_{f}.json"), "w") as fh:
            json.dump({"image_path": image, "detections": detections}, fh)
    return folder


# ---- the straightforward formulation ----------------------------------------------------

def plain_table(masks_dict, areas):
    keys = list(masks_dict)
    return pd.DataFrame(ref_table(masks_dict, areas), index=keys, columns=keys)


def plain_masks(path, h, w):
    with open(path) as fh:
        data = json.load(fh)
    masks, keys = [], []
    for det in data["detections"]:
        mask = np.zeros((h, w), np.float32)
        for poly in det["formatted_polygon"]:
            c = poly.split()[1:]
            pts = [(int(float(c[j]) * w), int(float(c[j + 1]) * h)) for j in range(0, len(c), 2)]
            cv2.fillPoly(mask, [np.array(pts, np.int32)], 1)
        masks.append(mask)
        keys.append(det.get("object_id", 0) - 1)
    return data["image_path"], np.array(masks).astype(np.uint8), keys


def plain_load(root):
    paths = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        valid = []
        for name in filenames:
            m = re.search(r"_(\d+)$", os.path.splitext(name)[0])
            if name.endswith(".json") and m:
                valid.append((int(m.group(1)), name))
        valid.sort(key=lambda t: t[0])
        paths += [os.path.join(dirpath, name) for _, name in valid]
    with open(paths[0]) as fh:
        h, w = cv2.imread(json.load(fh)["image_path"]).shape[:2]
    data = {}
    for i, p in enumerate(paths):
        image_path, masks, keys = plain_masks(p, h, w)
        masks_dict = {f"Box{k}": m for k, m in zip(keys, masks)}
        areas = {k: np.count_nonzero(m) for k, m in masks_dict.items()}
        data[i] = {"frame_index": int(p.split("output_pp_")[-1].split(".")[0]),
                   "masks_dict": masks_dict, "mask_areas": areas, "json_path": p,
                   "image_path": image_path, "intersections_df": plain_table(masks_dict, areas)}
    return data[len(data) - 1], data


def fast_load(root):
    return hm.get_gsam_annotation_data(None, save_dir_base=root)


# ---- peak resident memory of one call, in a fresh process --------------------------------

def _status_kb(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def _measure_child(kind, root):
    fn = fast_load if kind == "fast" else plain_load
    try:  # reset the high-water mark, so imports do not count
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
    except OSError:
        pass
    base = _status_kb("VmRSS")
    start = time.perf_counter()
    result = fn(root)
    seconds = time.perf_counter() - start
    peak = _status_kb("VmHWM") - base
    del result
    print(json.dumps({"seconds": seconds, "peak_mb": peak / 1024}))


def measure(kind, root):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, __file__, "--measure", kind, root], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


# ---- painting masks ----------------------------------------------------------------------

def _colour(i):
    np.random.seed(42 + i)
    return tuple(int(v) for v in np.random.randint(0, 256, 3)) + (128,)


def per_pixel_drawing(image, masks):
    """Every pixel of every mask visited one by one, each set pixel drawn as a point."""
    overlay = Image.new("RGBA", image.size, (255, 255, 255, 0))
    draw = ImageDraw.Draw(overlay)
    width, height = image.size
    for i, mask in enumerate(masks):
        colour = _colour(i)
        for y in range(height):
            row = mask[y]
            for x in range(width):
                if row[x] > 0:
                    draw.point((x, y), fill=colour)
    return Image.alpha_composite(image.convert("RGBA"), overlay)


def point_list_drawing(image, masks):
    """Set pixels found by NumPy, still drawn point by point."""
    overlay = Image.new("RGBA", image.size, (255, 255, 255, 0))
    draw = ImageDraw.Draw(overlay)
    for i, mask in enumerate(masks):
        colour = _colour(i)
        ys, xs = np.where(mask > 0)
        for x, y in zip(xs.tolist(), ys.tolist()):
            draw.point((x, y), fill=colour)
    return Image.alpha_composite(image.convert("RGBA"), overlay)


def plain_img_bbx_drawing(image, mask_dict):
    """Masks painted from NumPy-found points, each box from NumPy's set positions
    (the tight-box facility's way), then the box and its key's label tab."""
    keys = list(mask_dict)
    image = point_list_drawing(image, [mask_dict[k] for k in keys])
    draw = ImageDraw.Draw(image)
    font = ImageFont.load_default()
    for ii, key in enumerate(keys):
        ys, xs = np.where(mask_dict[key])
        x1, y1, x2, y2 = (int(xs.min()), int(ys.min()), int(xs.max()), int(ys.max())) \
            if len(xs) else (0, 0, 0, 0)
        colour = _colour(ii)[:3]
        draw.rectangle((x1, y1, x2, y2), outline=colour, width=3)
        label = str(key)
        left, top, right, bottom = draw.textbbox((x1, y1), label, font=font)
        tw, th = right - left, bottom - top
        draw.rectangle((x1, y1 - th - 4, x1 + tw + 4, y1), fill=colour)
        draw.text((x1 + 2, y1 - th - 4), label, fill="white", font=font)
    return image


def drawing_masks(rng, dtype):
    masks = []
    for _ in range(ANIMALS):
        m = np.zeros((HEIGHT, WIDTH), np.uint8)
        centre = (int(rng.integers(250, WIDTH - 250)), int(rng.integers(250, HEIGHT - 250)))
        cv2.ellipse(m, centre, (175, 75), float(rng.uniform(0, 180)), 0, 360, 1, -1)
        masks.append(m.astype(dtype))
    return masks


def bench_drawing():
    rng = np.random.default_rng(1)
    image = Image.fromarray(rng.integers(0, 256, (HEIGHT, WIDTH, 3), dtype=np.uint8))
    masks = drawing_masks(rng, bool)
    fast = np.asarray(hm.draw_masks_on_image(image, masks))
    same = np.array_equal(fast, np.asarray(point_list_drawing(image, masks)))
    print(f"draw_masks_on_image: {ANIMALS} masks of {sum(int(m.sum()) for m in masks)} pixels "
          f"in all, {WIDTH} x {HEIGHT}; same pixels as point-by-point drawing: {same}")

    # Visiting every pixel in Python takes minutes at this size: it is timed on a
    # centred crop of 1/16 of the frame with all ten masks and scaled by 16 (the
    # visits, not the few drawn points, make up nearly all of its time).
    y0, x0 = HEIGHT * 3 // 8, WIDTH * 3 // 8
    box = (x0, y0, x0 + WIDTH // 4, y0 + HEIGHT // 4)
    crop = image.crop(box)
    crop_masks = [m[box[1]:box[3], box[0]:box[2]] for m in masks]
    start = time.perf_counter()
    crop_pixels = np.asarray(per_pixel_drawing(crop, crop_masks))
    per_pixel = (time.perf_counter() - start) * 16
    assert np.array_equal(crop_pixels, np.asarray(hm.draw_masks_on_image(crop, crop_masks)))
    fast_time = best_time(lambda: hm.draw_masks_on_image(image, masks), repeat=5)
    ratio = per_pixel / fast_time
    print(f"{'draw_masks_on_image vs per-pixel visits (crop x 16)':<55} herdmask "
          f"{fast_time * 1e3:10.2f} ms  baseline {per_pixel * 1e3:10.2f} ms  ratio {ratio:8.1f}x"
          f"  target >= 50x: {'met' if ratio >= 50 else 'MISSED'}", flush=True)

    # Against set pixels found by NumPy, with the masks of the tracker (bool) and
    # of the segmenter (float32, what the start-frame search draws); the floor is
    # one copy of the masks plus one write of the RGBA output.
    output_bytes = HEIGHT * WIDTH * 4
    for dtype, target in [(bool, None), (np.float32, 25)]:
        ms = masks if dtype is bool else [m.astype(dtype) for m in masks]
        kind = dtype_text(ms)
        assert np.array_equal(np.asarray(hm.draw_masks_on_image(image, ms)), fast)
        floor = plain_copy(ms, output_bytes)
        report(f"draw_masks_on_image {kind} vs NumPy-found points",
               lambda: hm.draw_masks_on_image(image, ms), lambda: point_list_drawing(image, ms),
               repeat=7, target=target, floor=floor, floor_target=2)
        named = {f"Box{i}": m for i, m in enumerate(ms)}
        report(f"img_bbx_drawing {kind} vs NumPy points and boxes",
               lambda: hm.img_bbx_drawing(image, named),
               lambda: plain_img_bbx_drawing(image, named),
               repeat=7, target=12 if dtype is not bool else None, floor=floor, floor_target=2)


def bench_loading():
    with tempfile.TemporaryDirectory() as tmp:
        roots = {n: make_run(os.path.join(tmp, f"run{n}"), n) for n in (10, 50, 100, FILES)}
        fast_last, fast = fast_load(roots[10])
        plain_last, plain = plain_load(roots[10])
        same = all(
            list(fast[k]["masks_dict"]) == list(plain[k]["masks_dict"])
            and all(np.array_equal(fast[k]["masks_dict"][b], plain[k]["masks_dict"][b])
                    for b in plain[k]["masks_dict"])
            and fast[k]["mask_areas"] == plain[k]["mask_areas"]
            and fast[k]["intersections_df"].equals(plain[k]["intersections_df"])
            for k in plain)
        del fast, plain, fast_last, plain_last
        print(f"get_gsam_annotation_data: {FILES} files, {ANIMALS} animals, {WIDTH} x {HEIGHT}; "
              f"same records as the plain loading (10 files): {same}")
        rows = {}
        for n in (50, 100, FILES):
            rows[("fast", n)] = measure("fast", roots[n])
        rows[("plain", FILES)] = measure("plain", roots[FILES])
        for (kind, n), r in sorted(rows.items()):
            print(f"  {kind:<5} {n:4d} files: {r['seconds']:8.2f} s  peak memory "
                  f"{r['peak_mb']:8.1f} MB ({r['peak_mb'] / n:6.2f} MB per file)")
        speed = rows[("plain", FILES)]["seconds"] / rows[("fast", FILES)]["seconds"]
        memory = rows[("fast", FILES)]["peak_mb"] / rows[("plain", FILES)]["peak_mb"]
        print(f"{'get_gsam_annotation_data, 200 files':<55} ratio {speed:8.1f}x  target >= 20x: "
              f"{'met' if speed >= 20 else 'MISSED'}; peak memory {memory:.2f} of the plain "
              f"loading, target <= 0.5: {'met' if memory <= 0.5 else 'MISSED'}", flush=True)


def bench_outlines():
    # The tracker's bool masks of one frame, outlined for its annotation file.
    masks = drawing_masks(np.random.default_rng(2), bool)
    assert hm.mask_outlines(masks) == plain_outlines(masks)
    report(f"mask_outlines {dtype_text(masks)} vs OpenCV-Python contours",
           lambda: hm.mask_outlines(masks), lambda: plain_outlines(masks), repeat=7,
           floor=plain_copy(masks))


def main():
    bench_drawing()
    bench_outlines()
    bench_loading()


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--measure":
        _measure_child(sys.argv[2], sys.argv[3])
    else:
        main()
