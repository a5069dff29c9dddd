"""How the command writes a file: whole, or not at all, its folder made first.

Every file the command makes (records, tables, pages, figures, annotation
files, the sample's videos) goes through the library's writer
(`herdmask.files`), so a reader sees the old file or the new one, never half.
What a rerun relies on (link records, the run's tables, its settings and the
catalogue of its videos) is written durably: synced to the disk with its
folder before the call returns.
"""

from __future__ import annotations

from herdmask import files as _files

__all__ = ["sync_folder", "write_atomic", "write_text"]

sync_folder = _files.sync_folder


def write_atomic(path, write, durable=False):
    """Makes the file `path`, and its folder, by calling write(temporary path); returns `path`."""
    return _files.write_atomic(path, write, make_folder=True, durable=durable)


def write_text(path, text, durable=False):
    """Writes `text` as UTF-8 to `path`, making its folder; returns `path`."""
    return _files.write_text_atomic(path, text, make_folder=True, durable=durable)
