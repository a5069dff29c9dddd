"""Files the library writes: whole at once, through a temporary file and a rename."""

import contextlib
import os
import secrets


def write_text_atomic(path, text):
    """Writes `text` (UTF-8) to `path` through a temporary file in the same folder
    and a rename, so that a failure never leaves a truncated file behind.

    FileNotFoundError when the folder does not exist; OSError when writing or
    replacing fails (the temporary file is removed then).
    """
    path = os.fspath(path)
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"No such directory: '{folder}'")
    name = os.path.basename(path)
    while True:
        tmp = os.path.join(folder, f".{name}.tmp{secrets.randbelow(10**9)}")
        try:
            # Created as open() creates files (0666 less the umask), so the final
            # file gets the permissions a plain write would give it.
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with open(fd, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
