"""Files the library writes: whole at once, through a temporary file and a rename."""

import contextlib
import os
import secrets


def write_atomic(path, write):
    """Makes the file `path` by calling write(temporary path), then renames the
    temporary file (in the same folder) over `path`: a failure never leaves a
    truncated file behind, nor spoils the file already there.

    FileNotFoundError when the folder does not exist; whatever `write` or the
    rename raise otherwise, after the temporary file is removed.
    """
    path = os.fspath(path)
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"No such directory: '{folder}'")
    name = os.path.basename(path)
    while True:
        tmp = os.path.join(folder, f".{name}.tmp{secrets.randbelow(10**9)}")
        try:
            # Created here as open() creates files (0666 less the umask), so the final
            # file gets the permissions a plain write would give it.
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


def write_text_atomic(path, text):
    """Writes `text` as UTF-8 to `path` with write_atomic."""

    def write(tmp):
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            f.write(text)

    write_atomic(path, write)
