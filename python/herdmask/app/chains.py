"""Following every camera's chain on the cluster, link after link.

Each camera's chain runs beside the others; within a chain, link k+1 is
submitted once link k has settled, in whatever state, and it reads link k's
record from the run folder: no task waits on another task's result, so no
link is ever reported with another task's exception. Frame extraction runs
ahead, video by video, once the camera's crop box is known.

A task whose worker dies is tried once more; a link lost twice is `failed`
with the reason "worker lost" and the worker's last memory figure, and the
chain goes on.
"""

from __future__ import annotations

import dataclasses
import time

from . import records
from .runfolder import chain_order

__all__ = ["ChainRun", "LinkWork"]

LOST = "worker lost"
# Videos whose frames are extracted ahead of the one a camera's chain is tracking: their frames
# wait on the disk meanwhile, and a tracked link's frames go (see tasks), so this bounds the disk.
EXTRACT_AHEAD = 1


@dataclasses.dataclass
class LinkWork:
    """What the chain does with one link of this run: make it (and why again, if it was done) or
    keep its record."""

    link: object  # plan.Link
    redo_reason: str = ""
    keep: object = None  # the record kept (a done link that is current)


class _Camera:
    def __init__(self, camera, work, folder_chain, todo_keys):
        self.camera = camera
        self.work = work  # [LinkWork] in chain order
        self.next = 0
        self.running = None  # (future, LinkWork, attempt, token)
        # every record of the camera in the folder, in recording order, as the chain settles
        self.records = {r.key: r for r in folder_chain}
        self.highest = max((i for r in folder_chain if r.key not in todo_keys for i in r.track_ids.values()),
                           default=0)
        self.crop = None
        self.extraction = {}  # video -> result
        self.extracting = set()  # videos whose extraction was submitted

    def source_before(self, link, outdated):
        """The key of the last done, current link before `link` in the camera's recording."""
        here = (link.start_time, link.video, link.segment)
        best = None
        for r in self.records.values():
            if r.done and r.key not in outdated and chain_order(r) < here and (best is None
                                                                               or chain_order(r) > chain_order(best)):
                best = r
        return best.key if best else ""


class ChainRun:
    """Submits and follows the work of one run; `settled(record)` is told of every link that ends."""

    def __init__(self, client, run, plan, videos, task_settings, fingerprint, watch, settled, printed):
        self.client, self.run, self.videos = client, run, videos
        self.task_settings, self.fingerprint, self.watch = task_settings, fingerprint, watch
        self.settled, self.printed = settled, printed
        self.pending = {}  # future key -> (future, what, retry)
        self.crops = {}
        self.seconds = {"extraction": 0.0}
        self.outdated = set()
        self.cameras = {}
        for camera, work in plan.items():
            todo = {w.link.key for w in work if w.keep is None}
            self.outdated |= todo
            self.cameras[camera] = _Camera(camera, work, run.chain(camera), todo)
        self.serial = 0

    # ------------------------------------------------------------ submitting

    def _submit(self, what, fn, *args, priority=0, retry=None):
        from .tasks import new_token

        self.serial += 1
        key = f"herdmask-{what[0]}-{what[1]}-{new_token()}"
        future = self.client.submit(fn, *args, key=key, priority=priority, pure=False)
        self.pending[key] = (future, what, retry or (fn, args, priority, 0))
        return future

    def start(self):
        from .tasks import crop_task

        for camera, cam in self.cameras.items():
            if any(w.keep is None and w.link.segment for w in cam.work):
                readable = [(v.name, v.path, v.fps) for v in self.videos.values()
                            if v.camera == camera and v.frame_count]
                self._submit(("crop", camera), crop_task, camera, readable, self.task_settings, self.run.out,
                             priority=20)
            else:
                self._advance(cam)

    def _extract_ahead(self, cam):
        """Submits the frame extraction of the video the camera's chain is at and of the next
        EXTRACT_AHEAD videos it has links to make in."""
        from .tasks import extract_task

        if cam.crop is None:
            return
        here = cam.next - 1 if cam.running is not None else cam.next
        todo = {}
        for w in cam.work[max(0, here):]:
            if w.keep is None and w.link.segment:
                todo.setdefault(w.link.video, []).append(w.link)
        for name in list(todo)[:1 + EXTRACT_AHEAD]:
            if name in cam.extracting:
                continue
            cam.extracting.add(name)
            links = [w.link for w in cam.work if w.keep is None and w.link.segment and w.link.video == name]
            v = self.videos[name]
            self._submit(("frames", name), extract_task, (v.camera, v.name, v.path, v.date, v.time),
                         [(lk.segment, lk.frames_dir) for lk in links], cam.crop, self.task_settings, self.run.out)

    def _advance(self, cam):
        """Submits the camera's next link to make, passing over the links it keeps, and the
        extraction of the videos it comes to next."""
        try:
            self._next_link(cam)
        finally:
            self._extract_ahead(cam)

    def _next_link(self, cam):
        from .tasks import link_task, new_token

        while cam.running is None and cam.next < len(cam.work):
            w = cam.work[cam.next]
            if w.keep is not None:
                cam.next += 1
                continue
            segment = None
            if w.link.segment:
                if cam.crop is None:
                    return  # the crop box first
                ext = cam.extraction.get(w.link.video)
                if ext is None:
                    return  # its frames first
                segment = ext["segments"].get(w.link.segment) or {"frames": 0, "reason": ext.get("error")
                                                                  or "no frames extracted"}
            source = cam.source_before(w.link, self.outdated)
            token = new_token()
            args = (dataclasses.asdict(w.link), segment, source, cam.highest, self.task_settings, self.fingerprint,
                    token, w.redo_reason)
            future = self._submit(("link", cam.camera), link_task, *args, priority=10)
            cam.running = (future.key, w, token)
            cam.next += 1

    # ------------------------------------------------------------ following

    def follow(self):
        """Runs until every chain has ended."""
        from distributed import wait
        from distributed.client import FuturesCancelledError

        self.start()
        while self.pending:
            try:
                wait([f for f, _, _ in self.pending.values()], timeout=1.0, return_when="FIRST_COMPLETED")
            except (TimeoutError, FuturesCancelledError):
                pass  # the statuses below tell what ended
            self.watch.look()
            for key in [k for k, (f, _, _) in self.pending.items() if f.status != "pending"]:
                self._ended(key)

    def _ended(self, key):
        future, what, (fn, args, priority, tries) = self.pending.pop(key)
        try:
            result, error = future.result(), None
        except Exception as exc:  # the task never returned: its worker died, or it was cancelled
            result, error = None, exc
        finally:
            future.release()
        if error is not None and tries == 0:
            worker, _ = _last_worker(error, *self.watch.lost(key))
            self.printed(f"{_what(what)}: the task did not finish on {worker or 'its worker'} "
                         f"({type(error).__name__}); trying it once more.")
            fresh = self._submit(what, fn, *args, priority=priority, retry=(fn, args, priority, 1))
            if what[0] == "link":
                cam = self.cameras[what[1]]
                cam.running = (fresh.key, cam.running[1], cam.running[2])
            return
        kind, name = what
        if kind == "crop":
            cam = self.cameras[name]
            cam.crop = result if error is None else {"camera": name, "box": None,
                                                     "reason": f"finding the crop box did not finish: {error}"}
            self.crops[name] = cam.crop
            self.seconds["extraction"] += cam.crop.get("seconds", 0)
            for line in (cam.crop.get("warning") and f"warning: {cam.crop['warning']}", cam.crop.get("note")):
                if line:
                    self.printed(f"Camera {name}: {line}.")
            self._advance(cam)
        elif kind == "frames":
            ext = result
            if error is not None:
                ext = {"video": name, "segments": {}, "error": f"frame extraction did not finish: {_said(error)}"}
            cam = self.cameras[self.videos[name].camera]
            cam.extraction[name] = ext
            self.seconds["extraction"] += ext.get("seconds", 0)
            self._advance(cam)
        else:
            cam = self.cameras[name]
            _, w, token = cam.running
            cam.running = None
            record = self.run.read_record(w.link.video, w.link.segment)
            if record is None or record.token != token:
                record = self._lost(w, token, key, error)
            cam.records[record.key] = record
            self.outdated.discard(record.key)
            cam.highest = max([cam.highest, *record.track_ids.values()])
            self.settled(record)
            self._advance(cam)

    def _lost(self, w, token, key, error):
        """The record of a link whose task never wrote one."""
        worker, memory = _last_worker(error, *self.watch.lost(key))
        lk = w.link
        record = records.LinkRecord(lk.camera, lk.video, lk.segment, lk.position, lk.start_time, lk.end_time,
                                    token=token, fingerprint=self.fingerprint, worker=worker, memory=memory,
                                    redo_reason=w.redo_reason)
        if type(error).__name__ == "KilledWorker":
            held = f", {memory / 2**30:.2f} GiB in use when last seen" if memory is not None else ""
            record.reason = f"{LOST} ({worker or 'its worker'} died twice{held})"
        else:
            record.reason = f"the task did not finish: {_said(error)}"
        record.finished = time.strftime("%Y-%m-%dT%H:%M:%S")
        self.run.write_record(record)
        return record


def _last_worker(error, worker, memory):
    """(address, last reported memory) of the worker a task died on: as dask's error names it,
    else as the watch last saw it."""
    state = getattr(error, "last_worker", None)
    if state is not None:
        worker = getattr(state, "address", None) or worker
        metrics = getattr(state, "metrics", None) or {}
        if metrics.get("memory") is not None:
            memory = int(metrics["memory"])
    return worker, memory


def _what(what):
    kind, name = what
    return {"crop": f"Camera {name}: the crop box", "frames": f"{name}: frame extraction",
            "link": f"Camera {name}: a link"}[kind]


def _said(error):
    if error is None:
        return "no result"
    return f"{type(error).__name__}: {' '.join(str(error).split())}" if str(error) else type(error).__name__
