"""`herdmask render RUN_DIR`: per link and camera, a video of the link's frames with every animal's
mask in its track's colour and its id, after the corrections in force.

The videos are H.264 in MP4 (yuv420p, the moov atom first), which Chromium plays, also
Debian's build; VP8 and VP9 encode four to seven times slower at these frame sizes. They go
to renders/camera_<N>/<video>/<segment>.mp4 in the run folder, each written whole under a
temporary name. Frames are drawn by the library's drawing step while FFmpeg (the binary the
imageio-ffmpeg package carries, else one on PATH) encodes the frames before them.

Frames go to the encoder as the 4:2:0 planes it encodes: the JPEG frames are decoded straight
to them and the masks painted over them (`herdmask.draw_labelled_masks_i420`), which spares
the colour conversions both ways and two thirds of the bytes an RGBA picture would take. Odd
sides are rounded up to even ones (the frame stretched by a pixel), as 4:2:0 needs them.
"""

from __future__ import annotations

import concurrent.futures
import ctypes
import os
import re
import shutil
import subprocess
import sys
import threading
import time

from .files import write_atomic

__all__ = ["add_parser", "ffmpeg_executable", "render_command", "render_link", "render_run", "video_path",
           "video_size"]

DEFAULT_FPS = 25.0
DEFAULT_HEIGHT = 720
_SEGMENT = re.compile(r"^(\d+(?:\.\d+)?)min_to_(\d+(?:\.\d+)?)min$")
_AHEAD = 3  # frames drawn ahead of the encoder
_ONE_ENCODING_THREAD = 1 << 20  # pixels a frame
# What the pictures are (`herdmask.jpeg_to_i420`), said in the stream, so that a player does
# not take the HD matrix for them
_BT601 = ["-color_range", "tv", "-colorspace", "smpte170m"]
_CHUNK = 24  # frames whose files are gone read again from the recording in one pass (memory stays bounded)


def add_parser(sub):
    p = sub.add_parser(
        "render", help="overlay videos of a run: each link's frames with the masks in track colours and ids",
        description="Write, per link of RUN_DIR (the --out folder of herdmask run), a video of its frames with "
                    "every animal's mask in its track's colour and its id, after the corrections in "
                    "corrections.jsonl: RUN_DIR/renders/camera_<N>/<video>/<segment>.mp4 (H.264). The "
                    "proofreading page plays them.")
    p.add_argument("run_dir", metavar="RUN_DIR")
    p.add_argument("--camera", help="only this camera number")
    p.add_argument("--height", type=_height, default=DEFAULT_HEIGHT, metavar="PIXELS",
                   help=f"the videos' largest height (default {DEFAULT_HEIGHT}, half of a 1440-high frame, "
                        "which a browser shows whole; frames no taller keep their size; 0: full size, "
                        "about three times slower for 1440 x 2304 frames)")
    p.set_defaults(handler=render_command)
    return p


def _height(text):
    import argparse

    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0 or 0 < value < 16:
        raise argparse.ArgumentTypeError(f"expected 0 or a whole number of pixels from 16 up, got {text}")
    return value


def video_path(out, link):
    return os.path.join(out, "renders", f"camera_{link.camera}", link.video, (link.segment or "video") + ".mp4")


def ffmpeg_executable():
    try:
        import imageio_ffmpeg

        return imageio_ffmpeg.get_ffmpeg_exe()
    except (ImportError, RuntimeError):
        found = shutil.which("ffmpeg")
        if found is None:
            raise FileNotFoundError("rendering needs FFmpeg: pip install 'herdmask[app]' (imageio-ffmpeg) or "
                                    "install ffmpeg") from None
        return found


def link_fps(link):
    """Frames per second of a link's frames: its frames over its segment's length."""
    m = _SEGMENT.match(link.segment or "")
    seconds = (float(m.group(2)) - float(m.group(1))) * 60 if m else 0.0
    return round(link.frames / seconds, 3) if seconds > 0 and link.frames else DEFAULT_FPS


def _encoder(ffmpeg, path, size, fps):
    width, height = size
    # Up to about a million pixels a frame one encoding thread keeps pace with the two drawing
    # threads, and the encoder's own threads would only contend with them for the processors.
    threads = ["-threads", "1"] if width * height <= _ONE_ENCODING_THREAD else []
    encoder = subprocess.Popen(
        [ffmpeg, "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{width}x{height}",
         "-r", str(fps), "-i", "-", "-c:v", "libx264", "-preset", "ultrafast", "-crf", "23", *threads,
         "-pix_fmt", "yuv420p", *_BT601, "-movflags", "+faststart", path],
        stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    try:  # a frame in one or two writes rather than sixteen or more, each waking the encoder
        import fcntl

        fcntl.fcntl(encoder.stdin.fileno(), fcntl.F_SETPIPE_SZ, 1 << 20)
    except (ImportError, AttributeError, OSError):  # not Linux, or pipes held to less
        pass
    return encoder


def video_size(frame_size, height):
    """(width, height) of a link's video for frames of `frame_size`: no taller than `height` (0: the
    frames' size), each side rounded up to an even number."""
    width, frame_height = frame_size
    scale = min(1.0, height / frame_height) if height else 1.0
    return tuple(max(1, round(side * scale)) + max(1, round(side * scale)) % 2 for side in (width, frame_height))


def render_link(view, link, ids, ffmpeg=None, height=DEFAULT_HEIGHT):
    """Writes the link's overlay video, no taller than `height` pixels (0: the frames' size), with
    the track ids of `ids`, its camera's TrackMap; returns (path, frames drawn, seconds)."""
    from .proofread.frames import draw_frame_i420

    ffmpeg = ffmpeg or ffmpeg_executable()
    _keep_freed_memory()
    t0 = time.perf_counter()
    indices = [i for i in range(link.frames) if os.path.isfile(view.annotation_path(link, i))]
    if not indices:
        raise FileNotFoundError(f"{link.key} has no annotation files")
    size = video_size(view.frame_size(link, indices[0]), height)
    ids = ids.link_ids(link.record)

    def draw(n, index, again):
        return draw_frame_i420(view, link, index, ids, size, read_again=lambda _: again.picture(n, index))

    def encode(tmp):
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool, \
                concurrent.futures.ThreadPoolExecutor(max_workers=1) as reader:
            frames = _ReadAgain(view, link, indices, size, reader)
            encoder = _encoder(ffmpeg, tmp, size, link_fps(link))  # starts while the first frames are drawn
            pending = [pool.submit(draw, n, i, frames) for n, i in enumerate(indices[:_AHEAD])]
            try:
                for n in range(len(indices)):
                    picture = pending.pop(0).result()
                    if n + _AHEAD < len(indices):
                        pending.append(pool.submit(draw, n + _AHEAD, indices[n + _AHEAD], frames))
                    encoder.stdin.write(picture)
                encoder.stdin.close()
            except BaseException:
                encoder.kill()
                encoder.wait()
                raise
            finally:
                for f in pending:
                    f.cancel()
            if encoder.wait() != 0:
                raise RuntimeError(f"FFmpeg could not encode {link.key}: {encoder.stderr.read().decode(errors='replace')}")

    path = write_atomic(video_path(view.out, link), encode)
    return path, len(indices), time.perf_counter() - t0


def _keep_freed_memory():
    """Lets glibc's allocator keep the frame-sized blocks a drawn frame frees for the next frame.

    Each frame allocates and frees some 20 MB in blocks of a few MB (the decoded frame, its
    mask planes, the picture, its bytes for the encoder) on the drawing threads; by default
    the allocator hands them back to the system after every frame and takes them again,
    faulting each page in anew: a third of the drawing's processor time. Blocks from 32 MB
    up are still given back when freed, and free memory beyond 128 MB at an arena's top."""
    global _memory_kept
    if _memory_kept or not sys.platform.startswith("linux"):
        return
    _memory_kept = True
    try:
        libc = ctypes.CDLL(None)
        mallopt = libc.mallopt
    except (OSError, AttributeError):  # not glibc's allocator
        return
    mallopt(_M_MMAP_THRESHOLD, 32 << 20)
    mallopt(_M_TRIM_THRESHOLD, 128 << 20)


_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3  # glibc's malloc.h
_memory_kept = False


class _ReadAgain:
    """The frames of a link whose files are gone (a done link's frame folder keeps its first frame),
    read again from the recording a chunk at a time, the next chunk while this one is drawn:
    one reader and one seek per chunk, not per frame. Nothing is read while the files are there."""

    def __init__(self, view, link, indices, size, reader):
        self.chunks = [indices[k:k + _CHUNK] for k in range(0, len(indices), _CHUNK)]
        self.read = lambda chunk: reader.submit(view.frames_decoded_again_i420, link, chunk, size)
        self.reading = {}  # chunk number -> future of {index: picture}, of this chunk and the next
        self.lock = threading.Lock()  # the drawing threads ask for chunks

    def picture(self, n, index):
        """The picture of the link's n-th drawn frame, `index`, whose file is gone."""
        k = n // _CHUNK
        with self.lock:
            for j in (k, k + 1):
                if j < len(self.chunks) and j not in self.reading:
                    self.reading[j] = self.read(self.chunks[j])
            for j in [j for j in self.reading if j < k - 1]:  # the threads draw at most a frame or two apart
                del self.reading[j]
            chunk = self.reading[k]
        return chunk.result()[index]


def _current(view, link):
    """Whether the link's video was made after its record and after the last correction."""
    from .corrections import CORRECTIONS

    try:
        made = os.path.getmtime(video_path(view.out, link))
    except OSError:
        return False
    sources = [os.path.join(view.out, CORRECTIONS), view.run.record_path(link.video, link.segment)]
    return all(os.path.getmtime(p) < made for p in sources if os.path.exists(p))


def render_run(out, camera=None, height=DEFAULT_HEIGHT, changed_only=False):
    """Renders every tracked link of the run (of one camera); returns [(link, path or None, message)].

    With `changed_only`, a link whose video is newer than its record and than the corrections
    file is left as it is (a rerun renders what it made again and what corrections changed)."""
    from .proofread.source import FrameUnavailable, RunView

    view = RunView.open(out)
    if camera is not None and str(camera) not in view.cameras:
        raise ValueError(f"the run has no camera {camera} (cameras: {', '.join(view.cameras)})")
    ffmpeg = ffmpeg_executable()
    done = []
    for cam, links in view.cameras.items():
        if camera is not None and cam != str(camera):
            continue
        ids = view.track_map(cam)
        for link in links:
            if not link.done or (changed_only and _current(view, link)):
                continue
            try:
                path, frames, seconds = render_link(view, link, ids, ffmpeg, height)
            except (FrameUnavailable, FileNotFoundError, ValueError, RuntimeError) as exc:
                message = f"Camera {cam} {link.key}: not rendered: {exc}"
                done.append((link, None, message))
            else:
                message = (f"Camera {cam} {link.key}: {frames} frames in {seconds:.1f} s "
                           f"({frames / seconds:.0f} frames/s) -> {path}")
                done.append((link, path, message))
            print(message, flush=True)
    return done


def render_command(args):
    from .export import report_errors

    def run(args):
        from . import identity
        from .runfolder import RunFolder

        for line in identity.correction_notes(RunFolder.open(args.run_dir)):
            print(line)
        made = render_run(args.run_dir, args.camera, args.height)
        if not made:
            print("No tracked link to render.")
        return 0 if all(path for _, path, _ in made) else 1

    return report_errors("render", run, args)
