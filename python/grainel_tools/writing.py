"""Writing pictures to files: safely, compactly, and without changing a pixel.

    from grainel_tools import write_image
    write_image(grainel.dither(photo, palette=palettes.named("pico8")), "out.png")
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import BinaryIO, Union

from PIL import Image

from .errors import FileError, reason
from .formats import FormatError, format_for, format_named, save
from .pictures import Picture
from .safe_files import write_atomically

Destination = Union[str, "os.PathLike[str]", BinaryIO]


def write_image(image: Image.Image, dest: Destination, *, format: str | None = None,
                replace: bool = False, lossy: bool = False) -> None:
    """Write one image; see write_picture."""
    write_picture(Picture([image]), dest, format=format, replace=replace, lossy=lossy)


def write_picture(picture: Picture, dest: Destination, *, format: str | None = None,
                  replace: bool = False, lossy: bool = False) -> None:
    """Write a picture in the format its file name (or `format`) names.

    It is stored in the smallest form that holds every pixel exactly (1-bit,
    2- or 4-bit gray, indexed colour with transparency, ...). A format that
    would change pixels is refused: JPEG unless `lossy`, GIF beyond 256
    colours, PBM beyond black and white. A path is written through a
    temporary file renamed into place, so it is never left half-written,
    and an existing file is replaced only with `replace`. FileError says
    what went wrong.
    """
    if not isinstance(dest, (str, os.PathLike)):
        name = getattr(dest, "name", "output")
        try:
            save(picture, dest, format_named(format or "png"), lossy=lossy)
        except (OSError, ValueError) as exc:
            raise FileError("writing", name, reason(exc)) from None
        return
    path = Path(dest)
    try:
        fmt = format_named(format) if format else format_for(path)
    except FormatError as exc:
        raise FileError("writing", path, str(exc)) from None

    def fill(stream: BinaryIO) -> None:
        try:
            save(picture, stream, fmt, lossy=lossy)
        except FormatError as exc:
            raise FileError("writing", path, str(exc)) from None

    write_atomically(path, fill, replace=replace)
