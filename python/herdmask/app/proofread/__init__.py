"""`herdmask proofread RUN_DIR`: a page in the browser to find the doubtful moments of a run and
correct its track ids in one action each.

It serves the run folder on loopback (see `server` for what it refuses) and prints its
address with the session's token, as notebook servers do. The queue, the frame view and
the corrections are described in `queue`, `frames` and `herdmask.app.corrections`.
"""

from __future__ import annotations

import os
import signal
import socket
import sys
import threading

from ..corrections import CORRECTIONS

__all__ = ["add_parser", "open_server", "proofread_command"]


def add_parser(sub):
    p = sub.add_parser(
        "proofread", help="a page in the browser to find doubtful moments of a run and correct its track ids",
        description="Serve RUN_DIR (the --out folder of herdmask run) to the browser: a queue of doubtful "
                    "moments ranked by doubt, each frame with every animal's mask in its track's colour and its "
                    "id, and one-action corrections (swap two ids, a new id, a wrong mask, undo) kept in "
                    "RUN_DIR/corrections.jsonl, which export, evaluate and render honour. Prints the address with "
                    "the session's token; stop with Ctrl-C.")
    p.add_argument("run_dir", metavar="RUN_DIR")
    p.add_argument("--host", default="127.0.0.1",
                   help="address to listen on (default 127.0.0.1: this machine only)")
    p.add_argument("--port", type=int, default=0, help="port (default: a free one)")
    p.add_argument("--no-browser", action="store_true", help="do not open the page in a browser")
    p.set_defaults(handler=proofread_command)
    return p


def _bound_socket(host, port):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    sock.listen(64)
    return sock


def _hosts(host, port):
    """The host names a request may give: this machine's for loopback, any when listening on every
    address (the token still guards it), else the address given."""
    if host in ("0.0.0.0", "::", ""):
        return None
    names = {host, "localhost", "127.0.0.1", "[::1]"} if host in ("127.0.0.1", "localhost", "::1") else {host}
    return [f"{n}:{port}" for n in names] + [f"[{host}]:{port}"] * (":" in host)


def open_server(run_dir, host="127.0.0.1", port=0, token=None):
    """Starts serving `run_dir` on a thread: (address with the token, the uvicorn server, its
    thread, the ProofreadServer). Set `server.should_exit = True` to stop it."""
    import uvicorn

    from .server import ProofreadServer, make_app

    proofread = ProofreadServer(run_dir, token)
    sock = _bound_socket(host, port)
    port = sock.getsockname()[1]
    app = make_app(proofread, _hosts(host, port))
    # no websockets: the page has none, and the server starts without loading their protocol
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", access_log=False, lifespan="off", ws="none"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, name="herdmask-proofread", daemon=True)
    thread.start()
    proofread.scanner.start()
    shown = f"[{host}]" if ":" in host else host
    return f"http://{shown}:{port}/?token={proofread.token}", server, thread, proofread


def _can_open_browser():
    return sys.platform in ("darwin", "win32") or bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def proofread_command(args):
    try:
        address, server, thread, proofread = open_server(args.run_dir, args.host, args.port)
    except FileNotFoundError as exc:
        print(f"herdmask proofread: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:
        print(f"herdmask proofread: cannot listen on {args.host}:{args.port}: {exc.strerror or exc}", file=sys.stderr)
        return 2
    if args.host not in ("127.0.0.1", "localhost", "::1"):
        print(f"Listening on {args.host}: anyone who can reach it and has the token can change the run's "
              "corrections.")
    print(f"Proofreading {proofread.view.out}: {len(proofread.view.links)} links of "
          f"{len(proofread.view.cameras)} camera(s). Open this address (Ctrl-C stops):")
    print(address, flush=True)
    if not args.no_browser and _can_open_browser():
        import webbrowser

        webbrowser.open(address)
    corrections = os.path.join(proofread.view.out, CORRECTIONS)
    before = _stamp(corrections)
    signal.signal(signal.SIGTERM, _interrupted)  # stopped by `kill` or a service manager: end as on Ctrl-C
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:  # started in the background by a shell
        signal.signal(signal.SIGINT, _interrupted)
    try:
        while thread.is_alive():
            thread.join(0.5)
    except KeyboardInterrupt:
        server.should_exit = True
        thread.join(5)
    if _stamp(corrections) != before:
        _rewrite_pages(proofread.view.out)
    return 0


def _interrupted(signum, frame):
    raise KeyboardInterrupt


def _stamp(path):
    try:
        found = os.stat(path)
    except FileNotFoundError:
        return None
    return found.st_mtime_ns, found.st_size


def _rewrite_pages(out):
    """The static pages show the ids after this session's corrections."""
    from ..pages import rewrite_run_pages
    from ..runfolder import RunFolder, hold_lock

    class Busy(Exception):
        pass

    try:
        with hold_lock(out, Busy()):
            page = rewrite_run_pages(RunFolder(out))
    except Busy:
        print(f"A herdmask run is writing into {out}: its pages will show the corrections when it ends.")
        return
    print(f"Pages written again with the corrections: {page}")
