"""Memory stays flat over a thousand repeated calls of each heavy step.

For each step: warm up, read the resident set size, run 1000 calls, read it again.
A leak of even one mask-sized buffer per call would show as hundreds of megabytes.
"""

import json
import os
import tempfile

import numpy as np
from PIL import Image

import herdmask as hm

CALLS = 1000
H, W = 360, 576


def rss_mb():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def masks(n=10, seed=0):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:H, :W]
    out = {}
    for k in range(n):
        cy, cx = rng.uniform(40, H - 40), rng.uniform(40, W - 40)
        out[f"Box{k}"] = ((yy - cy) / 30) ** 2 + ((xx - cx) / 50) ** 2 <= 1
    return out


def main():
    work = tempfile.mkdtemp(prefix="herdmask-leaks-")
    image = os.path.join(work, "frame.png")
    Image.fromarray(np.full((H, W, 3), 100, np.uint8)).save(image)
    pen = os.path.join(work, "pen.json")
    with open(pen, "w") as f:
        json.dump({"shapes": [{"points": [[10, 10], [W - 10, 12], [W - 15, H - 10], [8, H - 12]]}]}, f)
    folder = os.path.join(work, "ann")
    os.makedirs(folder)
    dets = [{"object_id": k + 1, "xyxy": [[0, 0, 1, 1]],
             "formatted_polygon": [f"pig {0.05 * k} 0.1 {0.05 * k + 0.04} 0.1 {0.05 * k + 0.04} 0.5"]}
            for k in range(10)]
    for f in range(3):
        with open(os.path.join(folder, f"output_pp_{f}.json"), "w") as out:
            json.dump({"image_path": image, "detections": dets}, out)

    m = masks()
    values = list(m.values())
    segments_source = {0: {k: v[None] for k, v in m.items()}}
    img = Image.open(image).convert("RGB")
    rgb = np.array(img)
    reals = {k: v.astype(np.float32) for k, v in m.items()}
    records = hm.get_gsam_annotation_data(None, save_dir_base=folder)[1]

    def refine():
        segments = {0: dict(segments_source[0])}
        hm.Mask_Refinement(custom_pen_json_path=pen).process_video_segments(segments, "x", [image])

    steps = {
        "intersection_between_masks": lambda: hm.intersection_between_masks(m),
        "cal_masks_iou_scores": lambda: hm.cal_masks_iou_scores(values, values),
        "cal_centroid_distance": lambda: hm.cal_centroid_distance(values, values),
        "get_in_pen_mask": lambda: hm.get_in_pen_mask(0, values[0], pen, [image]),
        "process_json_and_generate_masks": lambda: hm.process_json_and_generate_masks(
            os.path.join(folder, "output_pp_0.json"), H, W),
        "get_gsam_annotation_data": lambda: hm.get_gsam_annotation_data(None, save_dir_base=folder),
        "draw_masks_on_image": lambda: hm.draw_masks_on_image(img, values),
        "img_bbx_drawing (float32 masks)": lambda: hm.img_bbx_drawing(img, reals),
        "encoder inputs (float32 masks)": lambda: hm.detect._feature_inputs(rgb, reals.values()),
        "Mask_Refinement.process_video_segments": refine,
        "generate_tracking_report": lambda: hm.generate_tracking_report(records, work),
        "find_best_laste_frame": lambda: hm.find_best_laste_frame(records, max_attempts=1),
    }
    import contextlib
    import io

    for name, step in steps.items():
        calls = CALLS if name != "get_gsam_annotation_data" else CALLS // 4
        with contextlib.redirect_stdout(io.StringIO()):
            for _ in range(20):
                step()
            before = rss_mb()
            for _ in range(calls):
                step()
            after = rss_mb()
        growth = after - before
        verdict = "flat" if growth < 8 else "GROWS"
        print(f"{name:<45} {calls:5d} calls  rss {before:8.1f} -> {after:8.1f} MB  ({growth:+.1f} MB) {verdict}",
              flush=True)


if __name__ == "__main__":
    main()
