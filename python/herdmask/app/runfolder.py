"""The run folder (`herdmask run --out OUT`): where every file of a run goes, and how it is read.

    settings.json                                   the deciding settings the results are made with
    videos.json                                     every video the folder's runs took in: its camera,
                                                    path, start, frame rate and frame count
    links/<video>/<segment>.json                    each link's record, written when the link ends
    annotations/<video>/<segment>/output_pp_<n>.json
    reports/<video>/<segment>/                      tracking_question_report.csv, tracks.csv, figures,
                                                    segment.html
    frames/<extraction>/<date>/<video>/<segment>/right_cropped_frames/
                                                    the extracted frames; <extraction> names the time
                                                    step and crop they were made with
    logs/<video>/<segment>.log, logs/<video>/extraction.log, logs/herdmask.log
    cameras/camera_<N>.html                         one page per camera; beside it the camera's crop
                                                    box (camera_<N>.json) and its figures
    run_summary.csv, identities.csv, timing.json, summary.html
    identities_corrected.csv                        the track ids after the corrections in
                                                    corrections.jsonl (see `identity`)
    corrections.jsonl                               a person's corrections of track ids
    renders/camera_<N>/<video>/<segment>.mp4        overlay videos (`herdmask render`, `run --render`)
    evaluation.csv, evaluation.png, evaluation.html `herdmask evaluate`'s scores of the run

A video that cannot be opened is one link whose report, record and log are
named "video". Everything a run folder holds is read through `RunFolder`.

A link made again writes its annotation and report folders beside the old
ones (<folder>.new, holding the making's token); its record, written when it
ends, makes the new ones the link's, and they then take the old ones' place.
A reader finds the link's outputs whichever step an interruption stopped at.

Frames are numbered along a camera's recording by their position in their
video and the video's place among the camera's videos: frame number = 1 +
(frames of the camera's earlier videos) + (position in the video), so that
ground truth lines up whatever link failed.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import shutil

import numpy as np

from . import records
from .files import write_text

__all__ = ["EVALUATION_CHART", "EVALUATION_PAGE", "EVALUATION_TABLE", "IDENTITIES", "IDENTITIES_CORRECTED",
           "NotARunFolder", "RUN_LOCK", "RUN_SUMMARY", "RunFolder", "SETTINGS", "SUMMARY_PAGE", "TIMING", "VIDEOS",
           "VideoEntry", "frame_number", "hold_lock", "is_run_folder", "sequence_name", "video_offsets"]

SETTINGS = "settings.json"
VIDEOS = "videos.json"
RUN_LOCK = ".herdmask-run.lock"  # held by whatever writes into the folder
RUN_SUMMARY = "run_summary.csv"
IDENTITIES = "identities.csv"
IDENTITIES_CORRECTED = "identities_corrected.csv"
TIMING = "timing.json"
SUMMARY_PAGE = "summary.html"
EVALUATION_TABLE = "evaluation.csv"
EVALUATION_CHART = "evaluation.png"
EVALUATION_PAGE = "evaluation.html"
TRACKS = "tracks.csv"
TRACKS_COLUMNS = ["frame", "box_key", "x", "y", "w", "h", "area", "cx", "cy"]
CONTACTS = "contacts.csv"
CONTACTS_REACH = 1  # the reach (pixels) a link's contacts table is made with: masks that touch
_TOKEN_FILE = ".herdmask-token"
_THINNED = ".herdmask-thinned"  # in a frame folder whose frames but the first were deleted
_STAGED, _OLD = ".new", ".old"


class NotARunFolder(FileNotFoundError):
    """A folder that holds no run; str() is one line saying so."""


def is_run_folder(path):
    return os.path.isfile(os.path.join(path, SETTINGS)) and os.path.isdir(os.path.join(path, "links"))


def sequence_name(camera):
    """The name of a camera's sequence in exports and ground truth: Camera<N>."""
    camera = str(camera)
    return camera if camera.lower().startswith("camera") else f"Camera{camera}"


def frame_number(video_offset, position):
    """A frame's number along its camera's recording, from 1: `video_offset` frames of earlier
    videos, then its position in its own video (from 0)."""
    return video_offset + np.asarray(position, dtype=np.int64) + 1


@dataclasses.dataclass
class VideoEntry:
    camera: str
    name: str
    path: str
    date: str
    time: str
    fps: float = 0.0
    frame_count: int = 0  # 0 while the video cannot be opened

    @property
    def order(self):
        return (self.date, self.time, self.name)


def video_offsets(entries):
    """{video name: frames of the camera's videos before it}, the entries being one camera's."""
    offsets, total = {}, 0
    for v in sorted(entries, key=lambda v: v.order):
        offsets[v.name] = total
        total += int(v.frame_count)
    return offsets


# one process may hold a folder's lock in nested steps (the demo runs `run`, then `evaluate`)
_HELD = {}


@contextlib.contextmanager
def hold_lock(out, busy):
    """Holds the folder's lock while the block runs, so that two processes never write into
    one folder at once; `busy` is raised when another process holds it. The system drops
    the lock when the process ends, however it ends."""
    import fcntl

    out = os.path.realpath(out)
    if out in _HELD:
        _HELD[out] += 1
        try:
            yield
        finally:
            _HELD[out] -= 1
        return
    os.makedirs(out, exist_ok=True)
    fd = os.open(os.path.join(out, RUN_LOCK), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise busy from None
        _HELD[out] = 1
        try:
            yield
        finally:
            del _HELD[out]
    finally:
        os.close(fd)


class RunFolder:
    """The files of one run folder."""

    def __init__(self, out):
        self.out = os.path.abspath(out)
        self._records = None

    @classmethod
    def open(cls, out):
        """The run folder `out` for reading; NotARunFolder when it holds no run."""
        if not is_run_folder(out):
            raise NotARunFolder(f"{out} is not a run folder (it has no {SETTINGS} and links/)")
        return cls(out)

    # ------------------------------------------------------------ the folder's files

    def path(self, name):
        return os.path.join(self.out, name)

    @property
    def settings(self):
        return records.read_json(self.path(SETTINGS)) or {}

    def write_settings(self, settings):
        records.write_json(self.path(SETTINGS), settings)

    def frames_base(self, extraction):
        """The folder frame extraction writes <date>/<video>/<segment>/right_cropped_frames/ into."""
        return os.path.join(self.out, "frames", extraction)

    def frames_dir(self, extraction, date, video, segment):
        return os.path.join(self.frames_base(extraction), date, video, segment, "right_cropped_frames")

    def extraction_log(self, video):
        return os.path.join(self.out, "logs", video, "extraction.log")

    def driver_log(self):
        return os.path.join(self.out, "logs", "herdmask.log")

    def camera_file(self, camera, ending):
        """cameras/camera_<N><ending>: ".html" the camera's page, ".json" its crop box, "_crop.png"
        and "_identities.png" its figures."""
        return os.path.join(self.out, "cameras", f"camera_{camera}{ending}")

    def camera_scratch(self, camera):
        """Where the crop box search of a camera puts its first frames while it runs."""
        return os.path.join(self.out, "cameras", f".scratch-{camera}")

    # ------------------------------------------------------------ videos

    def videos(self):
        """{video name: VideoEntry} of every video the folder's runs took in."""
        data = records.read_json(self.path(VIDEOS)) or {}
        names = {f.name for f in dataclasses.fields(VideoEntry)}
        return {name: VideoEntry(**{k: v for k, v in entry.items() if k in names})
                for name, entry in (data.get("videos") or {}).items()}

    def add_videos(self, entries):
        """Records the videos a run takes in beside those of earlier runs (a video seen again
        takes its new path and frame count)."""
        known = self.videos()
        known.update({v.name: v for v in entries})
        records.write_json(self.path(VIDEOS), {"version": 1, "videos": {
            name: dataclasses.asdict(v) for name, v in sorted(known.items())}})

    def video_path(self, record):
        """The recording the link's frames came from, to extract a frame again on demand."""
        entry = self.videos().get(record.video)
        if entry is None:
            raise KeyError(f"{record.video} is not among the videos of {self.out}")
        return entry.path

    def video_positions(self, record):
        """Position in the video file of each saved frame (annotation file frame index) of the link."""
        return np.asarray(record.positions, dtype=np.int64)

    def frames(self, record, frame_indices):
        """The link's frames at the given frame indices (as its annotation files number them), read
        again from its video: BGR arrays of the pixels extraction decoded there, cut and scaled as
        the link's saved frames were, before their JPEG encoding. Serves every page, overlay and
        check that needs a frame once the link's frame folder is gone (see `thin_frames`)."""
        import herdmask as hm

        if not record.crop_box or not record.frame_size:
            raise ValueError(f"{record.key} was made before its frames could be read again from its video; "
                             f"its frames are in {os.path.join(self.out, record.frames_dir)}")
        positions = self.video_positions(record)
        wanted = []
        for index in frame_indices:
            if not 0 <= int(index) < len(positions):
                raise IndexError(f"{record.key} has frames 0 to {len(positions) - 1}, not {index}")
            wanted.append(int(positions[int(index)]))
        return hm.read_frames(self.video_path(record), wanted, record.crop_box, record.resize_height)

    def frame(self, record, frame_index):
        """One frame of the link, read again from its video; see `frames`."""
        return self.frames(record, [frame_index])[0]

    def sampled_frames(self, camera):
        """The frame numbers (along the camera's recording) the folder's settings extract, and the
        frame numbers its videos span, as two sorted arrays: with --frame-skip N the first holds one
        frame in N of each segment (and its last)."""
        import herdmask as hm

        step, skip = self.settings.get("time_step"), self.settings.get("frame_skip") or 1
        entries = [v for v in self.videos().values() if v.camera == str(camera)]
        offsets = video_offsets(entries)
        sampled, spanned = [], []
        for v in entries:
            if not v.frame_count or not v.fps:
                continue
            info = hm.VideoInfo(v.path, v.fps, v.frame_count, 0, 0, v.frame_count / v.fps / 60)
            for plan in hm.plan_segments(info, step, int(skip)):
                sampled.append(frame_number(offsets[v.name], plan.positions))
            spanned.append(frame_number(offsets[v.name], np.arange(v.frame_count)))
        join = (lambda parts: np.unique(np.concatenate(parts)) if parts else np.zeros(0, np.int64))
        return join(sampled), join(spanned)

    def sequence_frames(self, record, offsets=None):
        """The frame number along the camera's recording (see the module's text) of each saved frame
        of the link; `offsets` may hold `video_offsets` of its camera, computed once by a caller."""
        if offsets is None:
            offsets = video_offsets([v for v in self.videos().values() if v.camera == record.camera])
        if record.video not in offsets:
            raise KeyError(f"{record.video} is not among the videos of {self.out}")
        return frame_number(offsets[record.video], self.video_positions(record))

    def camera_offsets(self, camera):
        return video_offsets([v for v in self.videos().values() if v.camera == str(camera)])

    # ------------------------------------------------------------ frame folders

    def thin_frames(self, frames_dir):
        """Deletes a frame folder's frames but its first: the loaders of the link's annotation
        files take the frame size from that one. The folder is marked first, so that extraction
        makes it whole again for a link that needs its frames (`is_thinned`)."""
        if not os.path.isdir(frames_dir) or self.is_thinned(frames_dir):
            return
        names = sorted((n for n in os.listdir(frames_dir) if n.endswith(".jpg") and n[:-4].isdigit()),
                       key=lambda n: int(n[:-4]))
        write_text(os.path.join(frames_dir, _THINNED), "the frames after the first were deleted\n")
        for name in names[1:]:
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(frames_dir, name))

    @staticmethod
    def is_thinned(frames_dir):
        return os.path.exists(os.path.join(frames_dir, _THINNED))

    def disk_usage(self):
        """Bytes the folder holds: {"frames", "annotations", "reports and pages", "total"}."""
        parts = {"frames": _bytes_under(self.path("frames")),
                 "annotations": _bytes_under(self.path("annotations")),
                 "reports and pages": _bytes_under(self.path("reports")) + _bytes_under(self.path("cameras"))
                 + sum(_bytes_under(self.path(n)) for n in (SUMMARY_PAGE, EVALUATION_PAGE, EVALUATION_CHART))}
        parts["total"] = _bytes_under(self.out)
        return parts

    # ------------------------------------------------------------ link records

    def record_path(self, video, segment):
        return os.path.join(self.out, "links", video, (segment or "video") + ".json")

    def read_record(self, video, segment):
        return records.read_record(self.record_path(video, segment))

    def records(self):
        """Every link record in the folder, whichever run made it."""
        if self._records is None:
            found = []
            base = os.path.join(self.out, "links")
            for root, _, files in os.walk(base):
                for name in files:
                    if name.endswith(".json") and not name.startswith("."):
                        r = records.read_record(os.path.join(root, name))
                        if r is not None:
                            found.append(r)
            self._records = found
        return self._records

    def remember(self, record):
        """Takes a record another process wrote into the records read so far."""
        if self._records is not None:
            self._records = [r for r in self._records if r.key != record.key] + [record]

    def forget(self):
        """Reads the records again on the next call (after a run wrote some)."""
        self._records = None

    def cameras(self):
        """Camera numbers of the links recorded, as text, in number order."""
        return sorted({r.camera for r in self.records()}, key=lambda c: (len(c), c))

    def chain(self, camera):
        """Every link recorded for the camera, in recording order. A video once unreadable and cut
        into segments since is those segments only."""
        mine = [r for r in self.records() if r.camera == str(camera)]
        cut = {r.video for r in mine if r.segment}
        return sorted((r for r in mine if r.segment or r.video not in cut), key=chain_order)

    # ------------------------------------------------------------ a link's outputs

    def _annotation_home(self, record):
        return os.path.join(self.out, "annotations", record.video, record.segment)

    def _report_home(self, record):
        return os.path.join(self.out, "reports", record.video, record.name)

    def annotation_dir(self, record):
        return _current(self._annotation_home(record), record.token)

    def report_dir(self, record):
        return _current(self._report_home(record), record.token)

    def log_path(self, record):
        return os.path.join(self.out, "logs", record.video, record.name + ".log")

    def tracks_path(self, record):
        return os.path.join(self.report_dir(record), TRACKS)

    def tracks(self, record):
        """The link's tracks table: per annotation file and box key, frame (the file's frame index),
        box_key, x, y, w, h, area, cx, cy."""
        import pandas as pd

        table = pd.read_csv(self.tracks_path(record), dtype={"box_key": str})
        missing = [c for c in TRACKS_COLUMNS if c not in table.columns]
        if missing:
            raise ValueError(f"{self.tracks_path(record)} lacks the column(s) {', '.join(missing)}")
        return table[TRACKS_COLUMNS]

    def contacts_path(self, record):
        return os.path.join(self.report_dir(record), CONTACTS)

    def contacts(self, record, reach=CONTACTS_REACH):
        """The link's mask contacts by box key (`herdmask.behaviour.KEY_CONTACT_COLUMNS`: frame, key_a,
        key_b, overlap): the table the link stored beside its tracks table, or, for another reach or a
        link made before links stored one, found again in its annotation files."""
        import pandas as pd

        from herdmask import behaviour

        path = self.contacts_path(record)
        if reach != CONTACTS_REACH or not os.path.isfile(path):
            return behaviour.segment_contacts(self.annotation_dir(record), reach)
        table = pd.read_csv(path, dtype={"key_a": str, "key_b": str})
        return table[behaviour.KEY_CONTACT_COLUMNS].astype({"frame": np.int64, "overlap": np.int64})

    def staged_dirs(self, record):
        """(annotation folder, report folder) a making of the link writes into, beside the link's
        current ones, emptied and marked with the making's token."""
        committed = self.read_record(record.video, record.segment)
        token = committed.token if committed is not None and committed.status == records.DONE else None
        staged = []
        for home in (self._annotation_home(record), self._report_home(record)):
            _settle(home, token)
            folder = home + _STAGED
            _remove(folder)
            os.makedirs(folder)
            write_text(os.path.join(folder, _TOKEN_FILE), record.token)
            staged.append(folder)
        return tuple(staged)

    def write_record(self, record):
        """Writes the link's record; when it is done, its staged outputs become the link's (when it
        is not, they go)."""
        before = self.read_record(record.video, record.segment)
        records.write_record(self.record_path(record.video, record.segment), record)
        self.remember(record)
        # a link not done this time leaves the outputs of its last done making where they are
        keep = record if record.status == records.DONE else before
        token = keep.token if keep is not None and keep.status == records.DONE else None
        for home in (self._annotation_home(record), self._report_home(record)):
            _settle(home, token)


def _bytes_under(path):
    """Bytes of the file, or of every file under the folder, at `path` (0 when there is none)."""
    if os.path.isfile(path):
        return os.path.getsize(path)
    total = 0
    for root, _, files in os.walk(path):
        for name in files:
            with contextlib.suppress(OSError):
                total += os.lstat(os.path.join(root, name)).st_size
    return total


def chain_order(record):
    return (record.start_time, record.video, record.segment)


def _token_of(folder):
    try:
        with open(os.path.join(folder, _TOKEN_FILE), encoding="utf-8") as f:
            return f.read().strip()
    except OSError:
        return None


def _current(home, token):
    """The folder holding the outputs of the making `token`: its staged folder while the swap
    after its record is not finished, else its home."""
    staged = home + _STAGED
    if token and os.path.isdir(staged) and _token_of(staged) == token:
        return staged
    return home


def _remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def _settle(home, token=None):
    """Finishes what an interrupted making left at `home`: a staged folder of the committed
    making `token` takes the home's place; any other staged folder, and an old one, go."""
    staged, old = home + _STAGED, home + _OLD
    if token is not None and os.path.isdir(staged) and _token_of(staged) == token:
        if os.path.lexists(home):
            _remove(old)
            os.rename(home, old)
        os.rename(staged, home)
    else:
        _remove(staged)
    _remove(old)
