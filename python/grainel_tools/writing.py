"""Writing pictures to files: safely, compactly, and without changing a pixel.

    from grainel_tools import write_image
    write_image(grainel.dither(photo, palette=palettes.named("pico8")), "out.png")
"""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path
from typing import BinaryIO, Union

import numpy as np
from PIL import Image

from .errors import Cancelled, FileError, FormatError, reason
from .formats import encode, format_for, format_named
from .pictures import Picture, same_mode, as_image
from .safe_files import write_atomically

Destination = Union[str, "os.PathLike[str]", BinaryIO]


def write_image(image: Image.Image | np.ndarray, dest: Destination, *, format: str | None = None,
                replace: bool = False, lossy: bool = False) -> None:
    """Write one image, a PIL image or a uint8 array as grainel returns it; see write_picture."""
    write_picture(Picture([as_image(image)]), dest, format=format, replace=replace, lossy=lossy)


def write_picture(picture: Picture, dest: Destination, *, format: str | None = None,
                  replace: bool = False, lossy: bool = False) -> None:
    """Write a picture in the format its file name (or `format`) names.

    It is stored in the smallest form that holds every pixel exactly (1-bit,
    2- or 4-bit gray, indexed colour with transparency, ...). A format that
    would change pixels is refused: JPEG unless `lossy`, GIF beyond 256
    colours, PBM beyond black and white. A path is written through a
    temporary file renamed into place, so it is never left half-written,
    and an existing file is replaced only with `replace`. FileError says
    what went wrong. Frames may be PIL images or arrays.
    """
    if not isinstance(picture, Picture):
        raise TypeError(f"picture must be a Picture, not {type(picture).__name__} "
                        "(write_image writes one image)")
    if not picture.frames:
        raise ValueError("picture has no frames")
    frames = same_mode([as_image(f, "picture frame") for f in picture.frames])
    picture = picture.with_frames(frames, picture.palette)
    path = Path(dest) if isinstance(dest, (str, os.PathLike)) else None
    try:
        fmt = format_for(path) if path and not format else format_named(format or "png")
        data = encode(picture, fmt, lossy=lossy, stem=path.stem if path else "image")
    except FormatError as exc:
        raise FileError("writing", path or getattr(dest, "name", "output"), str(exc)) from None
    write_data(data, dest, replace=replace)


def write_data(data: bytes, dest: Destination, *, replace: bool = False,
               cancelled: Callable[[], bool] | None = None) -> None:
    """Write a whole file: a path safely (see write_atomically), a stream as it is.

    Once `cancelled` says yes, the file is dropped (Cancelled) rather than
    put in place.
    """
    if not isinstance(dest, (str, os.PathLike)):
        try:
            dest.write(data)
        except (OSError, ValueError) as exc:
            raise FileError("writing", getattr(dest, "name", "output"), reason(exc)) from None
        return

    def fill(stream: BinaryIO) -> None:
        stream.write(data)
        if cancelled is not None and cancelled():
            raise Cancelled(str(dest))

    write_atomically(Path(dest), fill, replace=replace)
