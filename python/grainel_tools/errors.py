"""The one error the file helpers raise: which file, read or written, and why."""

from __future__ import annotations


class FileError(Exception):
    """A file that could not be read or written.

    str() reads "reading photo.jpg: not an image ..." or "writing out/a.png:
    no space left on device", so a message always says which side failed.
    """

    def __init__(self, action: str, path: object, reason: str) -> None:
        # All three in args, so that the error pickles (a Dask worker sends it back).
        super().__init__(action, path, reason)
        self.action, self.path, self.reason = action, path, reason

    def __str__(self) -> str:
        return f"{self.action} {self.path}: {self.reason}"


class FileExists(FileError):
    """A file that is there already and was not to be replaced."""


class Cancelled(Exception):
    """The batch was interrupted before this file was written."""


def reason(exc: BaseException) -> str:
    """A short lower-case reason for an exception, without its file name."""
    from PIL import UnidentifiedImageError

    if isinstance(exc, UnidentifiedImageError):
        return "not an image, or a format Pillow cannot read"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror[0].lower() + exc.strerror[1:]
    return " ".join(str(exc).split()) or type(exc).__name__
