"""What the video decoders write while a video is read, kept with that video.

The decoders underneath the library (FFmpeg's, GStreamer's) write their
complaints straight to the process's standard error, naming no file:
`moov atom not found`, `non-intra slice`, GStreamer warnings. While a block
reads one video, `decoder_messages()` takes over file descriptor 2, so that
those lines can go into the video's log and be summed up in one line of the
run's output; lines a dask process logs meanwhile are passed on unchanged.
"""

from __future__ import annotations

import contextlib
import os
import re
import sys
import tempfile
import threading

__all__ = ["DecoderMessages", "decoder_messages", "summary"]

_LOCK = threading.RLock()
_DEPTH = [0]
# lines of Python's logging (dask's workers and scheduler) are not the decoder's
_LOGGING_LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d+ - |distributed\.|dask\.)")
# "[h264 @ 0x55d390541740] " and "[ WARN:0@1.233] global ./modules/...cpp (862) isPipelinePlaying " say nothing
_PREFIX = re.compile(r"^\[[^\]]*@[^\]]*\]\s*|^\[ WARN:[^\]]*\]\s*global \S+ \(\d+\) \w+\s*|^\(\S+:\d+\):\s*")


class DecoderMessages:
    """The lines captured while the block ran (`text`, after it ended)."""

    def __init__(self):
        self.text = ""

    def __bool__(self):
        return bool(self.text.strip())


@contextlib.contextmanager
def decoder_messages():
    """Captures file descriptor 2 while the block runs; yields a DecoderMessages filled when
    it ends. Nested blocks leave the capture to the outermost one."""
    captured = DecoderMessages()
    with _LOCK:
        if _DEPTH[0]:
            _DEPTH[0] += 1
            try:
                yield captured
            finally:
                _DEPTH[0] -= 1
            return
        sys.stderr.flush()
        saved = os.dup(2)
        sink = tempfile.TemporaryFile(mode="w+b")
        os.dup2(sink.fileno(), 2)
        _DEPTH[0] = 1
        try:
            yield captured
        finally:
            _DEPTH[0] = 0
            with contextlib.suppress(Exception):
                sys.stderr.flush()
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            text = sink.read().decode("utf-8", "replace")
            sink.close()
            ours, theirs = [], []
            for line in text.splitlines(keepends=True):
                (theirs if _LOGGING_LINE.match(line) else ours).append(line)
            if theirs:
                sys.stderr.write("".join(theirs))
            captured.text = "".join(ours)


def summary(text, limit=140):
    """One line for the run's output: the decoder's first message without its address prefix,
    and how many more lines there were; "" when it said nothing."""
    lines = [_PREFIX.sub("", line).strip() for line in text.splitlines()]
    lines = [line for line in lines if line]
    if not lines:
        return ""
    first = lines[0] if len(lines[0]) <= limit else lines[0][:limit - 3] + "..."
    return first + (f" (and {len(lines) - 1} more line(s))" if len(lines) > 1 else "")
