"""How the command writes a file: whole, or not at all, its folder made first.

Every file the command makes (records, tables, pages, figures, annotation
files, the sample's videos) goes through the library's writer
(`herdmask.files`), so a reader sees the old file or the new one, never half.
"""

from __future__ import annotations

from herdmask import files as _files

__all__ = ["write_atomic", "write_text"]


def write_atomic(path, write):
    """Makes the file `path`, and its folder, by calling write(temporary path); returns `path`."""
    return _files.write_atomic(path, write, make_folder=True)


def write_text(path, text):
    """Writes `text` as UTF-8 to `path`, making its folder; returns `path`."""
    return _files.write_text_atomic(path, text, make_folder=True)
