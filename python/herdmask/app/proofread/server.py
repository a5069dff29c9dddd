"""The proofreading web application: Starlette on uvicorn, bound to loopback.

Every request needs the session's token: in the query (`?token=`, the address printed at
start), in the cookie the page sets from it, or, for a write, in the X-Herdmask-Token
header the page sends (a cookie alone never writes: another site's form cannot add the
header). Requests naming another host are refused too, so a page elsewhere cannot reach
the server by renaming itself to its address. Files are served only from inside the run
folder, and the one write taken is a correction that checks against the run.
"""

from __future__ import annotations

import http.cookies
import io
import json
import os
import secrets
import threading
import urllib.parse

from .. import corrections as corr
from .. import identity, render
from ..runfolder import RunFolder
from .checks import check_request
from .frames import draw_frame, frame_objects, load_drawing
from .queue import Queue
from .source import FrameUnavailable, RunView

__all__ = ["ProofreadServer", "make_app", "safe_path"]

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
_STATIC_FILES = {"app.js": "text/javascript", "style.css": "text/css"}
MAX_BODY = 16 * 1024
JPEG_QUALITY = 85


class Refused(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def safe_path(root, relative):
    """The file of the run folder `root` that `relative` (as decoded from the address) names;
    Refused for anything else: absolute paths, "." and ".." parts (also when encoded once
    more), hidden files, and any path that leaves the folder through a link."""
    if not relative or "\x00" in relative or "\\" in relative or relative.startswith("/"):
        raise Refused(403, "not a path inside the run folder")
    parts = relative.split("/")
    for part in parts:
        decoded = urllib.parse.unquote(urllib.parse.unquote(part))
        if not part or part.startswith(".") or decoded.startswith(".") or "/" in decoded or "\\" in decoded:
            raise Refused(403, "not a path inside the run folder")
    root_real = os.path.realpath(root)
    real = os.path.realpath(os.path.join(root_real, *parts))
    if os.path.commonpath([real, root_real]) != root_real:
        raise Refused(403, "the path leads out of the run folder")
    if not os.path.isfile(real):
        raise Refused(404, "no such file in the run folder")
    return real


class _Gate:
    """ASGI middleware: the token, the host, and the header for writes, before anything else."""

    def __init__(self, app, token, cookie, hosts):
        self.app, self.token, self.cookie, self.hosts = app, token, cookie, hosts

    def _given(self, scope):
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope.get("headers", [])}
        query = urllib.parse.parse_qs(scope.get("query_string", b"").decode("latin-1"))
        cookies = http.cookies.SimpleCookie()
        try:
            cookies.load(headers.get("cookie", ""))
        except http.cookies.CookieError:
            pass
        cookie = cookies.get(self.cookie)
        return headers, {"query": (query.get("token") or [""])[0], "cookie": cookie.value if cookie else "",
                         "header": headers.get("x-herdmask-token", "")}

    def _ok(self, value):
        return bool(value) and secrets.compare_digest(value.encode("latin-1", "replace"), self.token.encode())

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        headers, given = self._given(scope)
        if self.hosts is not None and headers.get("host", "") not in self.hosts:
            return await _plain(send, 403, "unknown host name")
        if scope["method"] in ("GET", "HEAD"):
            allowed = any(self._ok(v) for v in given.values())
        else:
            allowed = self._ok(given["header"])
        if not allowed:
            return await _plain(send, 403, "this server needs its token: open the address it printed")
        return await self.app(scope, receive, send)


async def _plain(send, status, text):
    body = text.encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})


class ProofreadServer:
    """The run, its queue and the web application over them."""

    def __init__(self, out, token=None):
        self.view = RunView.open(out)
        self.token = token or secrets.token_urlsafe(24)
        self.queue = Queue(self.view)
        # the tracks are read once the first page and the first frame are out (or after a moment
        # each): not in their way
        self.first_page, self.first_frame = threading.Event(), threading.Event()
        self.scanner = threading.Thread(target=self._scan, name="herdmask-queue-scan", daemon=True)

    def _scan(self):
        self.first_page.wait(2.0)
        load_drawing()  # the page asks for a frame as soon as it has the queue
        self.first_frame.wait(2.0)
        self.queue.scan()

    def track_map(self, camera):
        return self.view.track_map(camera)

    # ---------------------------------------------------------- answers

    def run_info(self):
        in_force, stale = self.view.corrections()
        return {"out": self.view.out,
                "cameras": [{"camera": cam, "links": [{"link": lk.key, "status": lk.status, "frames": lk.frames,
                                                      "started": lk.started} for lk in links]}
                            for cam, links in self.view.cameras.items()],
                "corrections": self.corrections_info(), "stale": [{"id": c.id, "what": c.describe(), "why": why}
                                                                  for c, why in stale]}

    def corrections_info(self):
        entries = corr.read_entries(self.view.out)
        undone = {e.get("undoes") for e in entries if e.get("kind") == corr.UNDO}
        shown = []
        for c in corr.effective_corrections(entries):
            shown.append({"id": c.id, "kind": c.kind, "camera": c.camera, "link": c.link, "frame": c.frame,
                          "what": c.describe(), "who": c.who, "when": c.when})
        return {"in_force": shown, "undone": len(undone), "version": len(entries)}

    def link_info(self, camera, key):
        link = self.view.link(camera, key)
        before, after = self.view.neighbours(link)
        video = render.video_path(self.view.out, link)
        return {"camera": link.camera, "link": link.key, "video": link.video, "segment": link.segment,
                "position": link.position, "status": link.status, "frames": link.frames, "started": link.started,
                "carried_from": link.carried_from, "start_frame": link.start_frame,
                "before": before.key if before else None, "after": after.key if after else None,
                "overlay": (os.path.relpath(video, self.view.out) if os.path.isfile(video) else None),
                "moments": [d.as_dict() for d in self.queue.ranked() if d.camera == link.camera and d.link == link.key]}

    def frame_info(self, camera, key, index):
        link = self.view.link(camera, key)
        _, objects = frame_objects(self.view, link, index, self.track_map(link.camera))
        return {"objects": [o.as_dict() for o in objects]}

    def frame_jpeg(self, camera, key, index):
        link = self.view.link(camera, key)
        picture, _ = draw_frame(self.view, link, index, self.track_map(link.camera))
        buffer = io.BytesIO()
        picture.convert("RGB").save(buffer, "JPEG", quality=JPEG_QUALITY)
        return buffer.getvalue()

    def correct(self, request, who=None):
        """Appends a checked correction; identities_corrected.csv is written anew with it, under
        the same lock."""
        return corr.append_correction(self.view.out, request, lambda req, made: check_request(self.view, req, made),
                                      who=who, written=lambda: identity.write_corrected_table(RunFolder(self.view.out)))


def _frame_args(request):
    q = request.query_params
    try:
        return str(q["camera"]), q["link"], int(q.get("frame", 0))
    except (KeyError, ValueError):
        raise Refused(400, "give camera, link and a whole frame number") from None


def make_app(server, hosts):
    """The Starlette application of `server`, answering only for `hosts` ("host:port" texts; None:
    any, for a server listening on every address)."""
    from starlette.applications import Starlette
    from starlette.concurrency import run_in_threadpool
    from starlette.middleware import Middleware
    from starlette.responses import FileResponse, HTMLResponse, JSONResponse, Response
    from starlette.routing import Route

    cookie = f"herdmask-{secrets.token_hex(4)}"

    def index(request):
        with open(os.path.join(STATIC, "index.html"), encoding="utf-8") as f:
            page = f.read().replace("{{token}}", server.token)
        response = HTMLResponse(page, headers={"Cache-Control": "no-store", "Referrer-Policy": "no-referrer"})
        response.set_cookie(cookie, server.token, httponly=True, samesite="strict")
        return response

    def static(request):
        name = request.path_params["name"]
        if name not in _STATIC_FILES:
            raise Refused(404, "no such file")
        return FileResponse(os.path.join(STATIC, name), media_type=_STATIC_FILES[name])

    def run_info(request):
        return JSONResponse(server.run_info())

    def queue(request):
        try:
            page, size = int(request.query_params.get("page", 0)), int(request.query_params.get("size", 50))
        except ValueError:
            raise Refused(400, "page and size are whole numbers") from None
        answer = JSONResponse(server.queue.page(max(0, page), min(max(1, size), 500)))
        server.first_page.set()
        return answer

    def link(request):
        camera, key, _ = _frame_args(request)
        return JSONResponse(server.link_info(camera, key))

    def frame(request):
        return JSONResponse(server.frame_info(*_frame_args(request)))

    def frame_jpeg(request):
        answer = Response(server.frame_jpeg(*_frame_args(request)), media_type="image/jpeg",
                          headers={"Cache-Control": "private, max-age=600"})
        server.first_frame.set()
        return answer

    def files(request):
        return FileResponse(safe_path(server.view.out, request.path_params["path"]))

    def corrections_list(request):
        return JSONResponse(server.corrections_info())

    async def correct(request):
        body = b""
        async for chunk in request.stream():
            body += chunk
            if len(body) > MAX_BODY:
                raise Refused(413, "a correction is a small JSON object")
        try:
            asked = json.loads(body)
        except ValueError:
            raise Refused(400, "the correction is not JSON") from None
        try:
            stored = await run_in_threadpool(server.correct, asked)
        except corr.CorrectionError as exc:
            raise Refused(400, f"correction refused: {exc}") from None
        except corr.LockBusy as exc:
            raise Refused(409, str(exc)) from None
        return JSONResponse({"stored": stored, "corrections": server.corrections_info()})

    def refused(request, exc):
        return JSONResponse({"error": str(exc)}, status_code=exc.status)

    def missing(request, exc):
        text = exc.args[0] if isinstance(exc, KeyError) and exc.args else str(exc)
        return JSONResponse({"error": text}, status_code=404)

    def no_icon(request):
        return Response(status_code=204)

    routes = [Route("/", index), Route("/favicon.ico", no_icon), Route("/static/{name}", static), Route("/api/run", run_info),
              Route("/api/queue", queue), Route("/api/link", link), Route("/api/frame", frame),
              Route("/frame.jpg", frame_jpeg), Route("/files/{path:path}", files),
              Route("/api/corrections", corrections_list, methods=["GET"]),
              Route("/api/corrections", correct, methods=["POST"])]
    return Starlette(routes=routes, middleware=[Middleware(_Gate, token=server.token, cookie=cookie,
                                                          hosts=None if hosts is None else frozenset(hosts))],
                     exception_handlers={Refused: refused, KeyError: missing, FileNotFoundError: missing,
                                         FrameUnavailable: missing})
