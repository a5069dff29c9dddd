"""Writing a file whole, or not at all: every file the library and the command write.

The file is made under a temporary name in its own folder and renamed over its
path, so a reader (a page open in a browser, a rerun after a crash, a worker on
another host) sees the old file or the new one, never half of one, and a write
that fails (disk full, file-size limit) spoils nothing already there.
"""

import contextlib
import os
import secrets

__all__ = ["sync_folder", "write_atomic", "write_text_atomic"]


def write_atomic(path, write, make_folder=False, durable=False):
    """Makes the file `path` by calling write(temporary path), then renames the
    temporary file (in the same folder) over `path`; returns `path`.

    With `durable` the file's bytes reach the disk before the rename and the
    rename reaches it before the call returns (the file, then its folder, are
    synced): after a power cut the path holds the old file or the new one,
    whole. Records and settings are written so; frames and figures need not be.

    The folder must exist (FileNotFoundError otherwise) unless `make_folder` is
    true. The temporary name is hidden and ends in the extension of `path`, so
    writers that choose the format by the name (matplotlib, Pillow, OpenCV's
    video writer) choose the right one, while no pattern that reads finished
    files (annotation files end in "_<n>.json") takes it for one. On any failure
    the temporary file is removed and the error raised.
    """
    path = os.fspath(path)
    folder = os.path.dirname(path) or "."
    if make_folder:
        os.makedirs(folder, exist_ok=True)
    elif not os.path.isdir(folder):
        raise FileNotFoundError(f"No such directory: '{folder}'")
    name = os.path.basename(path)
    extension = os.path.splitext(name)[1]
    while True:
        tmp = os.path.join(folder, f".{name}.tmp{secrets.token_hex(4)}{extension}")
        try:
            # Made as open() makes files (0666 less the umask), so the final file gets
            # the permissions a plain write would give it.
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            break
        except FileExistsError:
            continue
    try:
        write(tmp)
        if durable:
            _sync(tmp)
        os.replace(tmp, path)
        if durable:
            _sync(folder, directory=True)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    return path


def write_text_atomic(path, text, make_folder=False, durable=False):
    """Writes `text` as UTF-8 to `path` with `write_atomic`; returns `path`."""

    def write(tmp):
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            f.write(text)

    return write_atomic(path, write, make_folder, durable)


def _sync(path, directory=False):
    fd = os.open(path, (os.O_RDONLY | getattr(os, "O_DIRECTORY", 0)) if directory else os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def sync_folder(path):
    """Makes the entries of the folder `path` (files renamed or removed in it) reach the disk."""
    _sync(os.fspath(path), directory=True)
