"""Writing files so that no failure or signal ever leaves a partial one behind."""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
from collections.abc import Callable
from pathlib import Path
from typing import BinaryIO

from .errors import FileError, FileExists, reason

# Errors of os.link on file systems without hard links; those fall back to
# a check for an existing file followed by a rename.
_NO_HARD_LINKS = {errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK, errno.EXDEV, errno.ENOSYS}


def _create_temp(folder: Path, name: str) -> tuple[int, Path]:
    # Hidden, beside the target (a rename never crosses file systems), and
    # created with O_EXCL under the usual umask, as the final file would be.
    while True:
        path = folder / f".{name}.{secrets.token_hex(4)}.tmp"
        try:
            return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), path
        except FileExistsError:
            continue


def _publish(temp: Path, path: Path, replace: bool) -> None:
    if replace:
        os.replace(temp, path)
        return
    try:
        os.link(temp, path)  # fails if path exists, even one made a moment ago
    except OSError as exc:
        if exc.errno not in _NO_HARD_LINKS:
            raise
        if os.path.lexists(path):
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), str(path)) from None
        os.replace(temp, path)
    else:
        os.unlink(temp)


def is_special(path: Path) -> bool:
    """A device or pipe (/dev/null, a named pipe): written in place, never replaced."""
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def write_atomically(path: Path, write: Callable[[BinaryIO], None], *, replace: bool) -> None:
    """Let `write` fill a new file, then rename it to `path`.

    The data reaches the disk before the rename, so `path` either keeps what
    it held (or stays absent) or gets the whole new file: an exception, a
    full disk, a signal or a crash in between leaves at most the hidden
    temporary file of a crash. Without `replace` an existing `path` is never
    touched (FileError). Devices and pipes are written directly.
    """
    path = Path(path)
    try:
        if path.is_dir():
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        if is_special(path):
            with open(path, "wb") as stream:
                write(stream)
            return
        if not replace and os.path.lexists(path):
            raise FileExists("writing", path, "exists; use replace=True to replace it")
        fd, temp = _create_temp(path.parent, path.name)
    except OSError as exc:
        raise FileError("writing", path, reason(exc)) from None
    try:
        with os.fdopen(fd, "wb") as stream:
            write(stream)
            stream.flush()
            os.fsync(stream.fileno())
        try:
            _publish(temp, path, replace)
        except FileExistsError:  # made since the check above
            raise FileExists("writing", path, "exists; use replace=True to replace it") from None
    except BaseException as exc:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        if isinstance(exc, (OSError, ValueError)) and not isinstance(exc, FileError):
            raise FileError("writing", path, reason(exc)) from None
        raise


def check_folder(folder: Path, shown: Path | None = None) -> None:
    """Make `folder` (and its parents) and prove that files can be created in it.

    Asked before any image is read, so that an unwritable output folder is
    reported once, up front, not after every image has been dithered. The
    error names `shown`, the one file to be written there, if given.
    """
    try:
        folder.mkdir(parents=True, exist_ok=True)
        fd, temp = _create_temp(folder, "grainel-probe")
        os.close(fd)
        os.unlink(temp)
    except OSError as exc:
        raise FileError("writing", shown or folder, reason(exc)) from None
