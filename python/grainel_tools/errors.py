"""Every error grainel_tools raises of its own, in one place.

FileError says which file, read or written, failed and why; the ValueErrors
say which argument or option is wrong; UsageError is the command line's.
Each is importable where its users meet it too (grainel_tools.FormatError,
palettes.PaletteError, ...).
"""

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


class OptionError(ValueError):
    """An option value that makes every image fail; reported as a usage error."""


class PlanError(ValueError):
    """A batch that would overwrite a file or write one output twice; nothing was done."""


class FormatError(ValueError):
    """The format cannot hold the result exactly (or at all)."""


class PaletteError(ValueError):
    """A palette name that names no palette, or a palette file that holds a malformed one."""


class UsageError(Exception):
    """A command line that cannot run as given: shown with the usage line, exit status 2.

    Its own class, apart from the ValueErrors above, so that only what the
    command line's planning raises on purpose is turned into a usage message.
    """


def reason(exc: BaseException) -> str:
    """A short lower-case reason for an exception, without its file name."""
    from PIL import UnidentifiedImageError

    if isinstance(exc, UnidentifiedImageError):
        return "not an image, or a format Pillow cannot read"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror[0].lower() + exc.strerror[1:]
    return " ".join(str(exc).split()) or type(exc).__name__
