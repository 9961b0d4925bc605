"""Animations whose still parts stay still: each frame dithered again only where it changed.

Error diffusion carries every pixel's error to the pixels after it, so a
change anywhere in a frame reshuffles the grain of everything below and to
the right of it: dithered whole, a clip whose background never moves
shimmers all over. A later frame is therefore dithered inside the smallest
rectangle that holds every pixel that changed since the frame before, with
the error carried inside that rectangle, and only the pixels that changed
take the new output; every other pixel keeps the previous frame's, byte
for byte. Both are dithers of the same picture, so where they meet the
grain changes but not the tone.

Ordered, random and mixed dither need none of this: each pixel's output
depends on the pixel and its place alone, so still pixels stay still.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from PIL.Image import Image

def dither_frames(frames: list[Image], dither: Callable[[Image], Image]) -> list[Image]:
    """`dither` applied to every frame, but to each later frame only where it changed."""
    if len({(f.size, f.mode) for f in frames}) > 1:  # pages, not an animation
        return [dither(f) for f in frames]
    out = [dither(frames[0])]
    for before, frame in zip(frames, frames[1:]):
        out.append(_redithered(out[-1], before, frame, dither))
    return out


def _redithered(shown: Image, before: Image, frame: Image, dither: Callable[[Image], Image]) -> Image:
    """`frame` dithered where it differs from `before`, and `shown` (before's output) elsewhere."""
    differs = np.asarray(before) != np.asarray(frame)
    if differs.ndim == 3:
        differs = differs.any(axis=2)
    box = changed_box(differs)
    if box is None:
        return shown.copy()
    if differs.all():
        return dither(frame)
    left, top, right, bottom = box
    new = np.asarray(dither(frame.crop(box)))
    changed = differs[top:bottom, left:right]
    pixels = np.array(shown)
    pixels[top:bottom, left:right][changed] = new[changed]
    from PIL import Image as PILImage

    return PILImage.fromarray(pixels, shown.mode)


def changed_box(changed: np.ndarray) -> tuple[int, int, int, int] | None:
    """The smallest (left, top, right, bottom) holding every true pixel of `changed`; None if none is."""
    rows, columns = np.flatnonzero(changed.any(axis=1)), np.flatnonzero(changed.any(axis=0))
    if not len(rows):
        return None
    return int(columns[0]), int(rows[0]), int(columns[-1]) + 1, int(rows[-1]) + 1
