"""Ordered dither that knows the palette: each colour shown as a mix of palette colours.

    from grainel_tools import mix_dither, matrix
    out = mix_dither(photo, palettes.named("acep7"))              # blue noise, 64 x 64
    out = mix_dither(photo, palettes.named("pico8"), matrix="bayer8x8")
    plan = MixPlan(palettes.named("pico8"))                         # one plan, many frames
    frames = [mix_dither(frame, plan) for frame in frames]

Plain ordered dither to a palette adds a threshold offset to each pixel and
takes the nearest colour, so an uneven palette shows its gaps. Here every
colour gets a mix of palette colours whose average light is that colour's,
and the matrix's threshold at a pixel picks which colour of the mix the pixel
shows, darkest at the lowest thresholds. A pixel depends only on its value
and its position, so an unchanged area stays unchanged from frame to frame,
and the result is the same on every run. Any matrix of ordered dither works:
the Bayer sizes and names, the named matrices of grainel_tools.matrix, and
rank or threshold arrays as grainel.ordered_dither takes them.
"""

from __future__ import annotations

from functools import lru_cache
from typing import Any

import numpy as np

from . import _native, matrices
from .color_arrays import color_pixels, palette_array
from .panels import Panel

DEFAULT_MATRIX = "bluenoise64"
_BELOW_ONE = np.float32(1.0) - np.float32(2.0 ** -23)  # grainel keeps every threshold below 1


class MixPlan:
    """The colour mixes of one palette, made once and shared by any number of calls and threads.

    `order` lists the palette indices darkest first: the order in which a
    matrix's thresholds, from low to high, reach a mix's colours.
    """

    def __init__(self, palette: Any) -> None:
        self.colors = palette_array(palette)
        self.colors.setflags(write=False)
        self._plan, self.order = _native.mix_plan(self.colors)

    def mix(self, colors: Any) -> np.ndarray:
        """The mixes of (k, 3) uint8 colours: a (k, palette size) array of shares adding up to 1.

        Column j is the share of palette colour j in each colour's mix.
        """
        rgb = np.ascontiguousarray(np.asarray(colors, dtype=np.uint8).reshape(-1, 3))
        by_rank = np.frombuffer(_native.mix_shares(self._plan, rgb), dtype=np.uint32)
        shares = np.zeros((len(rgb), len(self.colors)))
        shares[:, list(self.order)] = by_rank.reshape(len(rgb), -1) / 2.0 ** 14
        return shares


@lru_cache(maxsize=8)
def _plan_of(colors: bytes) -> MixPlan:
    return MixPlan(np.frombuffer(colors, dtype=np.uint8).reshape(-1, 3))


def thresholds(matrix: Any = DEFAULT_MATRIX) -> np.ndarray:
    """The matrix as grainel.ordered_dither reads it: float32 thresholds in [0, 1)."""
    if isinstance(matrix, str) and matrices.is_named(matrix):
        matrix = matrices.matrix(matrix)
    elif isinstance(matrix, (str, int)) and not isinstance(matrix, bool):
        # A Bayer name or size: grainel's own matrix.
        try:
            bayer, height, width = _native.matrix(matrix)
        except ValueError:
            if not isinstance(matrix, str):
                raise
            raise ValueError(f"unknown dither matrix {matrix!r}; valid values: 'bayer2x2', 'bayer4x4', "
                             f"'bayer8x8', 'bayer16x16', the size as an int (2, 4, 8, 16), a named "
                             f"matrix ({', '.join(matrices.NAMED)}), or a 2-D array") from None
        return np.frombuffer(bayer, dtype=np.float32).reshape(height, width).copy()
    cells = np.asarray(matrix)
    if cells.ndim != 2 or cells.size == 0:
        raise ValueError(f"matrix must be a non-empty 2-D array, got shape {list(cells.shape)}")
    if cells.dtype.kind in "iu":
        if cells.min() < 0 or cells.max() >= 2 ** 24:
            raise ValueError("integer matrix values must be from 0 to 2^24 - 1")
        steps = np.float32(max(int(cells.max()) + 1, cells.size))
        t = (cells.astype(np.float32) + np.float32(0.5)) / steps
    elif cells.dtype.kind == "f":
        if not np.all((cells >= 0.0) & (cells <= 1.0)):
            raise ValueError("float matrix thresholds must be in [0, 1]")
        t = cells.astype(np.float32)
    else:
        raise TypeError(f"matrix must hold integers or floats, not {cells.dtype}")
    below_one: np.ndarray = np.minimum(t, _BELOW_ONE)
    return below_one


def mix_dither(image: Any, palette: Any, matrix: Any = DEFAULT_MATRIX) -> Any:
    """The picture in the palette's colours, each colour shown as a mix in the matrix's pattern.

    `palette` takes what grainel's palette= takes (1 to 4096 colours), a
    MixPlan, or a Panel (mixed as it looks, written as it is sent); plans
    of the last few palettes are kept, so the frames of an
    animation share one. `matrix` takes what grainel.ordered_dither takes,
    and the names of grainel_tools.matrix. Arrays give (H, W, 3 or 4) arrays
    back (gray becomes RGB), PIL images give RGB or RGBA images; alpha passes
    through.
    """
    if isinstance(palette, Panel):
        return palette.sent_of(mix_dither(image, palette.appearance, matrix))
    plan = palette if isinstance(palette, MixPlan) else _plan_of(palette_array(palette).tobytes())
    # The native code takes each threshold as a whole number of 2^-24 steps.
    fixed_point = np.floor(thresholds(matrix).astype(np.float64) * 2.0 ** 24).astype(np.uint32)
    pixels, to_input_kind = color_pixels(image)
    out = np.empty_like(pixels)
    _native.mix_dither(pixels, plan._plan, np.ascontiguousarray(fixed_point).view(np.uint8), out)
    return to_input_kind(out)
