"""Opaque GIF animations written as what changed: each frame after the first is the
rectangle that changed since the frame before, its unchanged pixels transparent.

A dithered animation whose still parts stay still changes in few pixels
from frame to frame. Pillow's writer crops each frame to the rectangle that
changed, but keeps the unchanged pixels inside it, whose noise compresses
badly; it makes them transparent only when it may also renumber the
palette, and a panel or a game reads the indices. Here the palette is kept
as it is, one spare entry after it is the transparent one, and each frame
is drawn over the one before (disposal 1, "do not dispose"). A frame equal
to the one before is a single transparent pixel that keeps its own duration.
"""

from __future__ import annotations

import io

import numpy as np
from PIL import GifImagePlugin, Image

from .still_frames import changed_box

_KEEP = 1  # disposal: leave the frame in place, under the next one


def write_gif_animation(stream: io.BytesIO, frames: list[Image.Image], durations: list[int] | None,
                        loop: int | None) -> bool:
    """Write indexed frames that share one palette of fewer than 256 entries; False if they do not."""
    palette = frames[0].getpalette() or []
    if any(f.mode != "P" or f.info.get("transparency") is not None or f.getpalette() != palette
           for f in frames) or len(palette) // 3 >= 256:
        return False
    spare = len(palette) // 3
    table = palette + [0, 0, 0]
    first = frames[0].copy()
    first.putpalette(table)
    first.info["version"] = b"89a"  # for the frames' control extensions
    header, _ = GifImagePlugin.getheader(first, info={} if loop is None else {"loop": loop})
    stream.write(b"".join(header))
    shown = None
    for k, frame in enumerate(frames):
        index = np.asarray(frame)
        timing = {"duration": durations[k] if durations else 0, "disposal": _KEEP}
        if shown is None:
            stream.write(_encoded(index, 0, 0, table, timing))
        else:
            stream.write(_changed(shown, index, spare, table, timing))
        shown = index
    stream.write(b";")
    return True


def _changed(shown: np.ndarray, index: np.ndarray, spare: int, table: list[int], timing: dict[str, int]) -> bytes:
    """The rectangle of `index` that differs from `shown`, encoded the shorter of two ways.

    Unchanged pixels made transparent compress into long runs where few
    change (a ball moving over a photo); where most change (a pan, a fade)
    the few left break the runs of the pixels around them instead, and the
    rectangle as it is comes out shorter.
    """
    changed = index != shown
    box = changed_box(changed)
    if box is None:
        return _encoded(np.full((1, 1), spare, np.uint8), 0, 0, table, {**timing, "transparency": spare})
    left, top, right, bottom = box
    piece = index[top:bottom, left:right]
    see_through = np.where(changed[top:bottom, left:right], piece, np.uint8(spare)).astype(np.uint8)
    return min(_encoded(piece, left, top, table, timing),
               _encoded(see_through, left, top, table, {**timing, "transparency": spare}), key=len)


def _encoded(index: np.ndarray, left: int, top: int, table: list[int], params: dict[str, int]) -> bytes:
    """One frame of indices at (left, top): its control extension, descriptor and data."""
    image = Image.frombuffer("P", (index.shape[1], index.shape[0]), np.ascontiguousarray(index), "raw", "P", 0, 1)
    image.putpalette(table)
    return b"".join(GifImagePlugin.getdata(image, offset=(left, top), **params))
