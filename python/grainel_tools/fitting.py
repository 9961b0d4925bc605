"""Palettes fitted to pictures: "make this photo N colours".

    from grainel_tools import fit_palette, remap
    palette = fit_palette(photo, 16)
    out = remap(photo, palette)                    # or grainel.dither(photo, palette=palette)
    palette = fit_palette(photo, 16, keep=["#000", "#fff"])

The fit works in OKLab, where distances follow how different colours look.
Every distinct colour of the picture counts with the summed weight of its
pixels, and a pixel weighs less where its neighbourhood is busy, since
texture hides quantisation error and smooth areas show it. Greedy variance
splitting gives the starting colours and weighted k-means refines them.
Fully transparent pixels are left out and partly transparent ones count by
their alpha. Then one step moves the fitted colours toward the picture as
the remap dithers it (src/tools/fit/dither_step.h). The same picture
always gives the same palette.
"""

from __future__ import annotations

import sys
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _native
from .color_arrays import MAX_COLORS, color_pixels, distinct_colors, palette_array
from .cores import threads_for
from .panels import Panel
from .remapping import STRENGTH

EFFORT = 5
MAX_EFFORT = 10
# On pictures of more pixels than this, the step toward the dithered
# picture measures its error on bands of rows that add up to about this
# many: each colour's mean error is as well estimated from a quarter of a
# 2048 x 2048 photo, at its own scale, grain and edges included, and the
# step costs a quarter of the time. (k-means itself keeps every pixel:
# fitted on the same bands, palettes of 256 colours rendered wallpapers
# of 2048 pixels 1 to 5% worse.)
SAMPLED_PIXELS = 1 << 20
BAND_ROWS = 32


def fit_palette(image: Any, n: int, *, keep: Any = (), effort: int = EFFORT,
                dithered: bool = True, threads: int | None = None) -> NDArray[np.uint8]:
    """A palette of at most `n` colours (2 to 4096) for the picture, as an (m, 3) uint8 array.

    `image` is an (H, W), (H, W, 3) or (H, W, 4) uint8 array or a PIL image.
    `keep` lists colours the palette must hold as they are (hex strings,
    (r, g, b) tuples or an (k, 3) array); the others are fitted around them.
    `effort` from 1 to 10 trades speed for a closer fit (10 runs k-means
    until no colour changes cluster). The palette has fewer than `n`
    colours when the picture has fewer, or when fitted colours round to
    the same bytes; kept colours come first. `dithered` moves the fitted
    colours toward the picture as grainel_tools.remap shows it, which it
    renders more closely; False gives the plain fit, each colour the mean
    of the picture's colours nearest to it. `threads` None uses every core
    the process may use for pictures of a megapixel and more, one thread
    below; the palette is the same for any number.
    """
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"n must be an int, not {type(n).__name__}")
    if not 2 <= n <= MAX_COLORS:
        raise ValueError(f"n must be between 2 and {MAX_COLORS}, got {n}")
    if isinstance(effort, bool) or not isinstance(effort, (int, np.integer)):
        raise TypeError(f"effort must be an int, not {type(effort).__name__}")
    if not 1 <= effort <= MAX_EFFORT:
        raise ValueError(f"effort must be between 1 and {MAX_EFFORT}, got {effort}")
    kept = _kept_colors(keep)
    if len(kept) > n:
        raise ValueError(f"keep holds {len(kept)} colours, more than the {n} asked for")
    pixels, _ = color_pixels(image)
    if pixels.size == 0:
        raise ValueError(f"image is empty (shape {list(pixels.shape)})")
    threads = threads_for(threads, pixels.shape[0] * pixels.shape[1])
    # Each effort doubles the k-means updates a fit may make (32 at the
    # default, where photos have settled: more changed their scores by
    # less than the photos differ); the most effort runs until nothing
    # changes. Large pictures are fitted on coarser cells first, then on
    # every colour for an eighth as many updates.
    iterations = 2 ** int(effort) if effort < MAX_EFFORT else sys.maxsize
    fitted = _native.fit(pixels, int(n), kept, iterations, max(1, iterations // 8), threads)
    palette = np.frombuffer(fitted, dtype=np.uint8).reshape(-1, 3).copy()
    if not dithered or len(palette) == len(kept):
        return palette
    moved = _native.dither_step(_row_bands(pixels), palette, len(kept), STRENGTH, threads)
    return np.frombuffer(moved, dtype=np.uint8).reshape(-1, 3).copy()


def _row_bands(pixels: NDArray[np.uint8]) -> NDArray[np.uint8]:
    """Evenly spaced bands of BAND_ROWS rows, about SAMPLED_PIXELS in all, or the whole picture."""
    height, width = pixels.shape[:2]
    bands = -(-height // BAND_ROWS)
    every = pixels.size // pixels.shape[2] // SAMPLED_PIXELS
    if every < 2:
        return pixels
    starts = np.arange(0, bands, every) * BAND_ROWS
    rows = (starts[:, None] + np.arange(BAND_ROWS)).ravel()
    sampled: NDArray[np.uint8] = pixels[rows[rows < height]]
    return sampled


def _kept_colors(keep: Any) -> NDArray[np.uint8]:
    """The distinct colours of keep=, in their order, as a (k, 3) uint8 array."""
    if isinstance(keep, Panel):
        raise TypeError("keep takes colours, not a Panel: a panel shows only its own colours, so "
                        "there is nothing to fit around them; dither to it with remap(image, panel), "
                        "or give keep=panel.sent to keep its colours in a palette of more")
    if isinstance(keep, (list, tuple)) and not keep:
        return np.empty((0, 3), np.uint8)
    return distinct_colors(palette_array(keep, "keep"))
