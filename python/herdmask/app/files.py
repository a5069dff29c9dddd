"""How the command writes a file: whole, or not at all.

Every file the command makes (records, tables, pages, figures, annotation
files, the sample's videos) is written under a temporary name in its own folder
and renamed over its path, so a reader (a page open in a browser, a rerun after
a crash, a worker on another host) sees the old file or the new one, never half
of one.
"""

from __future__ import annotations

import contextlib
import os
import secrets

__all__ = ["write_atomic", "write_text"]


def write_atomic(path, write):
    """Makes the file `path`, and its folder, by calling write(temporary path) and renaming
    the temporary file over `path`; returns `path`. On any failure the temporary file goes
    and the file already at `path` stays as it was.

    The temporary name is hidden and ends in the extension of `path`, so writers that
    choose the format by the name (matplotlib, Pillow, OpenCV's video writer) choose the
    right one, while no pattern the run reads (annotation files end in "_<n>.json") takes
    it for a finished file.
    """
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    name = os.path.basename(path)
    extension = os.path.splitext(name)[1]
    while True:
        tmp = os.path.join(folder, f".{name}.tmp{secrets.token_hex(4)}{extension}")
        try:
            # made as open() makes files (0666 less the umask): the file gets the permissions
            # a plain write would give it, so the lab's other accounts can read the results
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            break
        except FileExistsError:
            continue
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    return path


def write_text(path, text):
    """Writes `text` as UTF-8 to `path` with `write_atomic`; returns `path`."""

    def write(tmp):
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            f.write(text)

    return write_atomic(path, write)
