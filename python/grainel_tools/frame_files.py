"""A folder of still pictures read as the frames of one animation: `grainel frames/ clip.gif`.

Frames are taken in name order, numbers by their value, so that frame2
comes before frame10 whether or not the names are padded with zeros.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .pictures import Picture

DEFAULT_DURATION = 100  # milliseconds a frame: 10 frames a second


@dataclass(frozen=True)
class FrameFiles:
    """The picture files of `folder`, in name order, each one frame of `duration` ms."""

    folder: Path
    paths: tuple[Path, ...]
    duration: int = DEFAULT_DURATION

    def __str__(self) -> str:
        return str(self.folder)


def frame_files(folder: Path, readable: frozenset[str], duration: int = DEFAULT_DURATION) -> FrameFiles:
    """The readable picture files directly in `folder` (hidden ones left out), in name order."""
    names = [p for p in folder.iterdir()
             if p.is_file() and not p.name.startswith(".") and p.suffix.lower() in readable]
    return FrameFiles(folder, tuple(sorted(names, key=_name_order)), duration)


def _name_order(path: Path) -> list[tuple[int, int | str]]:
    # Digits compare as numbers, everything else as case-folded text; the
    # tags keep a number and a text in the same place comparable.
    return [(0, int(part)) if part.isdigit() else (1, part.casefold())
            for part in re.split(r"(\d+)", path.name)]


def read_frame_files(files: FrameFiles, *, color_managed: bool = True,
                     max_pixels: int | None = None) -> Picture:
    """The first frame of every file, as one animation that loops forever.

    The frames of an animation share one canvas, so a file of another size
    is an error that names it.
    """
    from .errors import FileError
    from .pictures import Picture, read_image, same_mode

    if not files.paths:
        raise FileError("reading", files.folder, "no picture files in the folder")
    frames = [read_image(path, color_managed=color_managed, max_pixels=max_pixels) for path in files.paths]
    for path, frame in zip(files.paths, frames):
        if frame.size != frames[0].size:
            (w, h), (first_w, first_h) = frame.size, frames[0].size
            raise FileError("reading", path, f"{w}x{h}, where the first frame ({files.paths[0].name}) "
                            f"is {first_w}x{first_h}: the frames of an animation share one size")
    return Picture(same_mode(frames), durations=[files.duration] * len(frames), loop=0)
