"""Frame extraction of a full-size H.264 camera video against the plain OpenCV-Python loop,
and against the floor: the decoder alone, decoding every frame and writing nothing.

The clip (2560 x 1440, 25 fps, 10 s) is made with Debian's `ffmpeg` command (libx264,
preset veryfast, default quality, a key frame every 50 frames, 4:2:0), from frames of a
textured pen floor with moving blobs and an orange marker.
"""

import contextlib
import io
import os
import resource
import shutil
import subprocess
import tempfile
import time

import cv2
import numpy as np
import pandas as pd

from harness import report

import herdmask
from herdmask._native import video as _core_video

WIDTH, HEIGHT, FPS, SECONDS = 2560, 1440, 25, 10
TIME_STEP = 0.1
MARKER = (400, 600, 470, 680)  # x1, y1, x2, y2 of the orange marker, left of the pen


def frames():
    """A camera-like recording: smooth shading, texture and moving blobs, plus the marker."""
    rng = np.random.default_rng(7)
    yy, xx = np.mgrid[0:HEIGHT, 0:WIDTH]
    # Greyish pen floor: shading and texture, but nothing saturated enough to pass for orange.
    shade = 60 + (xx // 12) % 90 + (yy // 9) % 60
    base = shade[:, :, None] + rng.integers(0, 24, (HEIGHT, WIDTH, 3))
    base = base.astype(np.uint8)
    for i in range(FPS * SECONDS):
        frame = base.copy()
        for k in range(10):
            cx = (300 + 200 * k + 9 * i) % (WIDTH - 300)
            cy = 200 + 100 * k
            cv2.ellipse(frame, (cx, cy), (120, 60), k * 20, 0, 360, (180, 170, 200), -1)
        x1, y1, x2, y2 = MARKER
        frame[y1:y2, x1:x2] = (0, 140, 255)
        yield frame


def make_video(path):
    """The clip, H.264 through the ffmpeg command."""
    command = ["ffmpeg", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgr24",
               "-s", f"{WIDTH}x{HEIGHT}", "-r", str(FPS), "-i", "-", "-c:v", "libx264",
               "-preset", "veryfast", "-g", "50", "-pix_fmt", "yuv420p", path]
    with subprocess.Popen(command, stdin=subprocess.PIPE) as encoder:
        for frame in frames():
            encoder.stdin.write(frame.tobytes())
        encoder.stdin.close()
        if encoder.wait() != 0:
            raise RuntimeError("ffmpeg could not make the H.264 clip")


def baseline(video_path, out_base, date, name, total_minutes, crop_box):
    """What a driver would write with OpenCV-Python alone: read, slice, write."""
    x1, y1, x2, y2 = crop_box
    start = 0
    while start < total_minutes:
        end = min(start + TIME_STEP, total_minutes)
        out = f"{out_base}/{date}/{name}/{start}min_to_{end}min/right_cropped_frames"
        os.makedirs(out, exist_ok=True)
        cap = cv2.VideoCapture(video_path)
        fps = int(cap.get(cv2.CAP_PROP_FPS))
        start_frame, end_frame = round(fps * 60 * start), round(fps * 60 * end)
        cap.set(cv2.CAP_PROP_POS_FRAMES, start_frame)
        cap.read()
        save_idx = 0
        for frame_idx in range(start_frame, end_frame):
            ok, frame = cap.read()
            if not ok:
                break
            print(f"Processing frame {frame_idx} (saved as {save_idx:04d}.jpg)")
            cv2.imwrite(os.path.join(out, f"{save_idx:04d}.jpg"),
                        frame[max(y1, 0):y2, max(x1, 0):x2])
            save_idx += 1
        cap.release()
        start += TIME_STEP


def frames_of_files(video_path, names, crop_box):
    """The video's frames (OpenCV's reader) behind the files `names` (relative paths,
    <segment>/right_cropped_frames/NNNN.jpg), cropped as written: file N of the segment
    starting at minute m is frame round(m * 60 * fps) + 1 + N."""
    wanted = {}
    for rel in names:
        segment = rel.split(os.sep)[-3]
        start = float(segment.split("min_to_")[0])
        wanted[round(start * 60 * FPS) + 1 + int(os.path.basename(rel)[:4])] = rel
    x1, y1, x2, y2 = crop_box
    cap, index, found = cv2.VideoCapture(video_path), 0, {}
    while len(found) < len(wanted):
        ok, frame = cap.read()
        if not ok:
            break
        if index in wanted:
            found[wanted[index]] = frame[max(y1, 0):y2, max(x1, 0):x2].astype(int)
        index += 1
    return found


def compare_outputs(fast_root, base_root, video_path, crop_box):
    """File names must match; returns (files, max, mean) absolute difference of the
    decoded pixels over every fifth file, and each side's mean difference from the
    video's frames there (JPEG's own rounding)."""
    fast = sorted(os.path.relpath(os.path.join(d, f), fast_root)
                  for d, _, fs in os.walk(fast_root) for f in fs)
    base = sorted(os.path.relpath(os.path.join(d, f), base_root)
                  for d, _, fs in os.walk(base_root) for f in fs)
    assert fast == base and fast, "different file names"
    worst, total, count = 0, 0.0, 0
    source = frames_of_files(video_path, fast[::5], crop_box)
    from_source = {"herdmask": 0.0, "baseline": 0.0}
    for rel in fast[::5]:
        a = cv2.imread(os.path.join(fast_root, rel)).astype(int)
        b = cv2.imread(os.path.join(base_root, rel)).astype(int)
        assert a.shape == b.shape == source[rel].shape, rel
        diff = np.abs(a - b)
        worst = max(worst, int(diff.max()))
        total += float(diff.sum())
        count += diff.size
        from_source["herdmask"] += float(np.abs(a - source[rel]).sum())
        from_source["baseline"] += float(np.abs(b - source[rel]).sum())
    assert total / count < 2.0, f"mean pixel difference {total / count}"
    return len(fast), worst, total / count, {k: v / count for k, v in from_source.items()}


def interleaved(fast, base, rounds=2):
    """Alternating runs with CPU time: on a shared machine the load moves between the
    two blocks of timings above, and overlap can only pay off when a core is idle."""
    totals = {"herdmask": [0.0, 0.0], "baseline": [0.0, 0.0]}
    for _ in range(rounds):
        for label, fn in (("herdmask", fast), ("baseline", base)):
            before = resource.getrusage(resource.RUSAGE_SELF)
            start = time.perf_counter()
            fn()
            after = resource.getrusage(resource.RUSAGE_SELF)
            totals[label][0] += time.perf_counter() - start
            totals[label][1] += (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    (fw, fc), (bw, bc) = totals["herdmask"], totals["baseline"]
    print(f"  interleaved x{rounds}: herdmask wall {fw / rounds:.2f} s cpu {fc / rounds:.2f} s, "
          f"baseline wall {bw / rounds:.2f} s cpu {bc / rounds:.2f} s, wall ratio {bw / fw:.2f}x, "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        name = "Camera61_1_20240501063000"
        video_path = os.path.join(tmp, name + ".mp4")
        make_video(video_path)
        df = pd.DataFrame([("61", "20240501", "06:30:00", video_path, name)],
                          columns=["Camera Number", "Date", "Time", "File Path", "Video Name"])
        fast_root, base_root = os.path.join(tmp, "fast"), os.path.join(tmp, "base")
        processor = herdmask.VideoProcessor(output_dir_base=fast_root, time_step=TIME_STEP)
        with contextlib.redirect_stdout(io.StringIO()):
            total = processor.get_video_duration(video_path)
        x1 = MARKER[0] - 50
        crop_box = (x1, 0, 2300, 1440)

        def fast():
            shutil.rmtree(fast_root, ignore_errors=True)
            processor.camera_crop_coords.clear()
            with contextlib.redirect_stdout(io.StringIO()):
                processor.process_videos_to_frames(df)

        def base():
            shutil.rmtree(base_root, ignore_errors=True)
            with contextlib.redirect_stdout(io.StringIO()):
                baseline(video_path, base_root, "20240501", name, total, crop_box)

        def decoder():
            assert _core_video.decode_all_frames(video_path) == FPS * SECONDS

        report(f"process_videos_to_frames {WIDTH}x{HEIGHT} H.264 {SECONDS}s", fast, base,
               repeat=3, target=2.5, floor=decoder, floor_target=1.5)
        interleaved(fast, base)
        assert processor.camera_crop_coords == {"61": crop_box}
        files, worst, mean, from_source = compare_outputs(fast_root, base_root, video_path, crop_box)
        print(f"  {files} files, same names; decoded pixels against OpenCV-Python's files: "
              f"max difference {worst}, mean {mean:.3f}; mean difference from the video's frames: "
              f"herdmask {from_source['herdmask']:.3f}, OpenCV-Python {from_source['baseline']:.3f}")


if __name__ == "__main__":
    main()
