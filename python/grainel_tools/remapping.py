"""The perceptual remap: a picture to the colours of a palette, as it looks.

    from grainel_tools import RemapPlan, fit_palette, remap
    out = remap(photo, fit_palette(photo, 16))
    out = remap(photo, palettes.named("pico8"), strength=1.0)
    plan = RemapPlan(palettes.named("pico8"))        # one plan, many frames
    frames = [remap(frame, plan) for frame in frames]

Unlike grainel's exact engines, which diffuse the raw error of every pixel,
the remap diffuses error in linear light, keeps every pixel within the light
the palette can show, picks colours as sRGB codes them, and scans rows in
alternate directions. It passes on its full error wherever an area would
otherwise take one colour in a plateau (skies, ramps, glows: where a band
would show), and less in smooth areas that the palette renders closely and
that vary from colour to colour even undithered, where grain would be the
only visible change. The result is a new image of the input's
kind: an (H, W, 3) or (H, W, 4) array for an array (gray ones become RGB),
an RGB or RGBA PIL image for a PIL image. Alpha passes through. The
remap runs on threads and gives the same bytes on any number of them: a
left-to-right scan hands out bands of rows, each a few pixels behind the
band above it; a serpentine scan, whose rows each start where the row
above ended, scans on one thread while another works out its per-pixel
amounts ahead of it.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _native
from .color_arrays import color_pixels, palette_array
from .cores import threads_for
from .panels import Panel

# The share of its error a pixel passes on at most: measured best for
# fitted and fixed palettes alike (see bench/quality.py); 1.0 dithers
# coarse palettes a little more finely at the cost of grain.
STRENGTH = 0.9


class RemapPlan:
    """What remaps to one palette share, made once: for any number of calls, frames and threads.

    Pass it to remap in place of the palette; the result is the same as
    with the palette itself, only the set-up is done once.
    """

    def __init__(self, palette: Any) -> None:
        self.colors = palette_array(palette)
        self.colors.setflags(write=False)
        self._plan = _native.remap_plan(self.colors)


def remap(image: Any, palette: Any, *, strength: float = STRENGTH,
          method: str = "floyd_steinberg", serpentine: bool = True, threads: int | None = None) -> Any:
    """The picture in the palette's colours, by the perceptual remap.

    `palette` takes what grainel's palette= takes: hex strings, (r, g, b)
    tuples or an (m, 3) array of 1 to 4096 colours; or a Panel, dithered
    to as it looks and written in the colours its driver is sent.
    `strength` in [0, 1] scales the error passed on (0: each pixel its
    nearest colour);
    `method` names any of grainel's error-diffusion kernels; `serpentine`
    False scans every row left to right. `palette` may also be a
    RemapPlan. `threads` None uses every core the process may use for
    pictures of a megapixel and more, one thread below; the bytes are the
    same for any number.
    """
    if isinstance(palette, Panel):
        return palette.sent_of(remap(image, palette.appearance, strength=strength, method=method,
                                     serpentine=serpentine, threads=threads))
    plan = palette if isinstance(palette, RemapPlan) else RemapPlan(palette)
    if isinstance(strength, bool) or not isinstance(strength, (int, float)):
        raise TypeError(f"strength must be a number, not {type(strength).__name__}")
    if not 0.0 <= strength <= 1.0:
        raise ValueError(f"strength must be between 0 and 1, got {strength}")
    if not isinstance(method, str):
        raise TypeError(f"method must be a str, not {type(method).__name__}")
    pixels, to_input_kind = color_pixels(image)
    threads = threads_for(threads, pixels.shape[0] * pixels.shape[1])
    out = np.empty_like(pixels)
    _native.remap(pixels, plan._plan, out, method, float(strength), bool(serpentine), threads)
    return to_input_kind(out)
