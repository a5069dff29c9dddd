"""Peak resident memory of a link's work after tracking, frame by frame.

A stand-in tracker hands over ten animals' masks at 1440 x 2304 one frame at a time;
each frame is refined (`Mask_Refinement.stream`) and its annotation file written with
the library's `mask_outlines`, as the command's annotation writer does. Each
measurement runs in a fresh process: the peak resident set during the link (VmHWM,
reset first) above the resident set just before it. Targets: at most 1 GB above at
150 frames, and at most 15 % more at 600 frames than at 150. A link that starts after
frame 0 keeps its forward pass packed until the backward pass has reached frame 0.

For comparison, the whole-dict way (every frame's masks kept until all are refined and
written) on fewer frames: its peak grows by one frame's masks (33 MB) per frame.
"""

import json
import os
import subprocess
import sys
import tempfile
import time

H, W, ANIMALS = 1440, 2304, 10
PEN = [[40, 40], [2260, 50], [2270, 1400], [30, 1390]]
TARGET_ABOVE_MB, TARGET_GROWTH = 1024, 0.15


class MovingAnimals:
    """Ten ellipses with a fleck beside each, drifting frame by frame: fresh masks every
    frame, as a tracker hands them over, forward from the start frame and then backward."""

    def track_frames(self, frames, start):
        for idx in list(range(start, frames)) + list(range(start - 1, -1, -1)):
            yield idx, {oid: self.mask(oid, idx) for oid in range(1, ANIMALS + 1)}

    @staticmethod
    def mask(oid, idx):
        import cv2
        import numpy as np

        m = np.full((H, W), 0, np.uint8)  # every page written, as a tracker's result is
        cx = 150 + 200 * oid + (3 * idx) % 180
        cy = 250 + 90 * oid + (2 * idx * (oid % 3)) % 120
        cv2.ellipse(m, (cx, cy), (130, 70), (oid * 17 + idx) % 180, 0, 360, 1, -1)
        cv2.circle(m, (cx + 150, cy + 20), 12, 1, -1)
        return m.view(bool)[None]


def _rss_mb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def _write_annotation(hm, objects, idx, frame_names, folder):
    detections = []
    for oid, ((x, y, w, h), polygons) in zip(objects, hm.mask_outlines(list(objects.values()), "pig")):
        detections.append({"object_id": int(oid), "class_name": "pig", "xyxy": [[x, y, x + w, y + h]],
                           "formatted_polygon": polygons})
    data = {"image_path": os.path.abspath(frame_names[idx]), "frame_index": int(idx), "detections": detections}
    with open(os.path.join(folder, f"output_pp_{idx}.json"), "w") as f:
        f.write(json.dumps(data, indent=4))


def one_link(frames, start, way):
    """Runs one link in this process; prints the figures as JSON."""
    import numpy as np

    import herdmask as hm

    work = tempfile.mkdtemp(prefix="herdmask-memory-")
    pen = os.path.join(work, "pen_polygon.json")
    with open(pen, "w") as f:
        json.dump({"shapes": [{"points": PEN}]}, f)
    out = os.path.join(work, "annotations")
    os.makedirs(out)
    frame_names = [os.path.join(work, f"{i:04d}.jpg") for i in range(frames)]
    tracker = MovingAnimals()
    # Warm up the libraries' own first-call allocations on a small frame.
    hm.mask_outlines([np.ones((1, 8, 8), bool)], "pig")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak resident set
    before = _rss_mb("VmRSS")
    t0 = time.perf_counter()
    refiner = hm.Mask_Refinement(custom_pen_json_path=pen)
    written = 0
    if way == "stream":
        for idx, objects in refiner.stream(tracker.track_frames(frames, start), work, frame_names):
            _write_annotation(hm, objects, idx, frame_names, out)
            written += 1
    else:
        segments = dict(tracker.track_frames(frames, start))
        segments = {k: segments[k] for k in sorted(segments)}
        refiner.process_video_segments(segments, work, frame_names)
        for idx, objects in segments.items():
            _write_annotation(hm, objects, idx, frame_names, out)
            written += 1
    seconds = time.perf_counter() - t0
    assert written == frames == len(os.listdir(out))
    print(json.dumps({"before": before, "peak": _rss_mb("VmHWM"), "seconds": seconds}))


def measure(frames, start, way):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, __file__, str(frames), str(start), way], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    for start in (0, 10):
        runs = {}
        for frames in (150, 600):
            r = measure(frames, start, "stream")
            runs[frames] = above = r["peak"] - r["before"]
            print(f"link streamed, {frames} frames from frame {start:<3}  {ANIMALS} animals {H}x{W}: "
                  f"peak {above:7.0f} MB above the {r['before']:.0f} MB before "
                  f"(process peak {r['peak']:.0f} MB), {r['seconds'] / frames * 1e3:5.1f} ms a frame  "
                  f"target <= {TARGET_ABOVE_MB} MB: "
                  f"{'met' if frames != 150 or above <= TARGET_ABOVE_MB else 'MISSED'}", flush=True)
        growth = runs[600] / runs[150] - 1
        print(f"  600 frames against 150 from frame {start}: {growth * 100:+.1f} % "
              f"(target <= {TARGET_GROWTH * 100:.0f} %: {'met' if growth <= TARGET_GROWTH else 'MISSED'})",
              flush=True)
    r = measure(40, 0, "whole")
    print(f"whole dict, 40 frames from frame 0: peak {r['peak'] - r['before']:7.0f} MB above the "
          f"{r['before']:.0f} MB before", flush=True)


if __name__ == "__main__":
    if len(sys.argv) == 4:
        one_link(int(sys.argv[1]), int(sys.argv[2]), sys.argv[3])
    else:
        main()
