"""One file of a batch: read, dithered and written, and what the user should hear of it.

    from grainel_tools import Settings, dither_file
    notes = dither_file("photo.jpg", "photo.png", Settings(method="atkinson", levels=3))
"""

from __future__ import annotations

import contextlib
import io
import os
import sys
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, Union

from PIL import Image

from .errors import Cancelled, FileError, FormatError, reason
from .formats import STDIO, all_or_nothing_alpha, encode, format_of, holds_alpha, output_format
from .frame_files import FrameFiles, read_frame_files
from .panels import Panel
from .pictures import Picture, read_picture, transparent
from .pipeline import dither_picture, output_size
from .settings import Settings
from .sizing import WHITE
from .writing import write_data

PathName = Union[str, "os.PathLike[str]"]
Source = Union[PathName, FrameFiles]  # a folder of frames is read as one animation
Job = tuple[Source, PathName]


@dataclass(frozen=True)
class FileOptions:
    """How files are read and written.

    `color_managed=False` keeps pixel values as stored instead of converting
    an embedded ICC profile to sRGB. `replace` lets results replace existing
    files, inputs included. `lossy` allows JPEG output. `max_pixels` refuses
    larger images, and results (0: no limit), and takes the place of
    Pillow's own limit in the process that reads. `format` is the format
    for standard output, and for a file whose extension names none
    (panel.bin). `msb_first` and `pad_rows` lay out packed indices
    (packed.py). `preview`, for a panel, also writes the result there as
    the panel shows it.
    """

    color_managed: bool = True
    replace: bool = False
    lossy: bool = False
    max_pixels: int | None = None
    format: str | None = None
    msb_first: bool = True
    pad_rows: bool = True
    preview: str | None = None


def dither_file(src: Source, dst: PathName, settings: Settings = Settings(),
                options: FileOptions = FileOptions(),
                cancelled: Callable[[], bool] | None = None) -> list[str]:
    """Read, dither and write one file ("-": standard input or output); returns notes for the user.

    `cancelled` is asked between the steps; once it says yes the file is
    dropped (Cancelled) rather than written. A picture with transparency
    written to a format without it is flattened onto white, unless
    `settings.background` says otherwise, and a note says so.
    """
    return dither_file_gated(src, dst, settings, options, cancelled, contextlib.nullcontext)


def dither_file_gated(src: Source, dst: PathName, settings: Settings, options: FileOptions,
                      cancelled: Callable[[], bool] | None,
                      writing: Callable[[], contextlib.AbstractContextManager[Any]]) -> list[str]:
    """dither_file, its writing done inside `writing()`: on threads, a WriteGate's entry."""
    def checkpoint() -> None:
        if cancelled is not None and cancelled():
            raise Cancelled(str(src))

    notes: list[str] = []
    shown = "standard output" if dst == STDIO else dst
    if options.max_pixels is not None:
        Image.MAX_IMAGE_PIXELS = None  # the check below is the one in force
    try:
        fmt = output_format(dst, options.format, msb_first=options.msb_first, pad_rows=options.pad_rows)
    except FormatError as exc:
        raise FileError("writing", shown, str(exc)) from None
    checkpoint()
    picture = read_source(src, options)
    width, height = output_size(settings, picture.frames[0].size)
    if options.max_pixels and width * height > options.max_pixels:
        raise FileError("writing", shown, f"the result, {width}x{height}, is over the limit of "
                        f"{options.max_pixels} pixels (--max-pixels)")
    if settings.background is None and not holds_alpha(fmt) and transparent(picture.frames):
        settings = replace(settings, background=WHITE)
        notes.append(f"{shown}: {fmt.name} holds no transparency; flattened onto white "
                     "(--background sets the colour)")
    elif settings.background is None and (binary := all_or_nothing_alpha(picture, fmt)) is not None:
        picture = binary
        notes.append(f"{shown}: {fmt.name} holds no partial transparency; alpha below half made "
                     "transparent, the rest opaque (--background flattens instead)")
    checkpoint()
    result = dither_picture(settings, picture)
    checkpoint()
    try:
        encoded = encode(result, fmt, lossy=options.lossy, stem="image" if dst == STDIO else Path(dst).stem)
    except (FormatError, OSError) as exc:
        raise FileError("writing", shown, reason(exc)) from None
    # Made before either file is written, so that a preview that cannot be leaves no result either.
    preview_path = options.preview if settings.panel is not None else None
    preview = None if preview_path is None else encoded_preview(result, settings.panel, preview_path)
    checkpoint()
    with writing():
        if dst == STDIO:
            write_data(encoded, sys.stdout.buffer)
            sys.stdout.buffer.flush()
        else:
            write_data(encoded, dst, replace=options.replace, cancelled=cancelled)
        if preview is not None and preview_path is not None:
            write_data(preview, preview_path, replace=options.replace, cancelled=cancelled)
    return notes


def encoded_preview(result: Picture, panel: Panel, path: PathName) -> bytes:
    """The result drawn in the panel's seen colours, indexed in its order, for judging on a screen."""
    shown = result.with_frames([panel.seen_of(f) for f in result.frames], list(panel.seen))
    try:
        return encode(shown, format_of(Path(path), None))
    except (FormatError, OSError) as exc:
        raise FileError("writing", path, reason(exc)) from None


def read_source(src: Source, options: FileOptions) -> Picture:
    """The picture a job reads: a file, standard input, or a folder of frames."""
    limit = options.max_pixels or None
    if isinstance(src, FrameFiles):
        return read_frame_files(src, color_managed=options.color_managed, max_pixels=limit)
    source: Any = src
    if src == STDIO:
        source = io.BytesIO(sys.stdin.buffer.read())
        source.name = "standard input"
    return read_picture(source, color_managed=options.color_managed, max_pixels=limit)


class WriteGate:
    """What files of a batch on threads are being written: once closed, it waits for them and lets no more start."""

    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._writing = 0  # files being written now
        self._closed = False

    @contextlib.contextmanager
    def entry(self) -> Iterator[None]:
        """Held while one file is written; Cancelled once the gate is closed."""
        with self._changed:
            if self._closed:
                raise Cancelled()
            self._writing += 1
        try:
            yield
        finally:
            with self._changed:
                self._writing -= 1
                self._changed.notify_all()

    def close(self) -> None:
        with self._changed:
            self._closed = True
            self._changed.wait_for(lambda: self._writing == 0)
