"""The exit status of every herdmask command, and how an unforeseen error ends one.

    0  every link done (run, demo), or the command did what it was asked
    1  the run finished but some link is not done
    2  bad input: nothing was started
    3  the output folder holds results made with other settings (give --redo)
    4  a package is missing (or a scheduler or worker lacks herdmask at this version)
    5  an internal error: one line on stderr, the traceback in a log file
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
import traceback

__all__ = ["BAD_INPUT", "INTERNAL_ERROR", "MISSING_PACKAGE", "NOT_DONE", "OK", "SETTINGS_DIFFER", "internal_error"]

OK, NOT_DONE, BAD_INPUT, SETTINGS_DIFFER, MISSING_PACKAGE, INTERNAL_ERROR = 0, 1, 2, 3, 4, 5


def internal_error(command, exc, log_dir=None):
    """Writes the traceback of `exc` into a log under `log_dir` (else the temporary folder), says so
    in one line on stderr; returns INTERNAL_ERROR."""
    text = "".join(traceback.format_exception(exc))
    log = None
    for folder in (log_dir, tempfile.gettempdir()):
        if not folder:
            continue
        try:
            os.makedirs(folder, exist_ok=True)
            log = os.path.join(folder, "herdmask.log" if folder == log_dir else f"herdmask-{os.getpid()}.log")
            with open(log, "a", encoding="utf-8") as f:
                f.write(f"== herdmask {command} at {time.strftime('%Y-%m-%dT%H:%M:%S')}\n{text}")
            break
        except OSError:
            log = None
    said = " ".join(str(exc).split())
    print(f"herdmask {command}: internal error, {type(exc).__name__}" + (f": {said}" if said else "")
          + (f" (the traceback is in {log})" if log else ""), file=sys.stderr)
    return INTERNAL_ERROR
