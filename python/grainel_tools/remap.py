"""The perceptual remap: a picture to the colours of a palette, as it looks.

    from grainel_tools import remap, fit_palette
    out = remap(photo, fit_palette(photo, 16))
    out = remap(photo, palettes.named("pico8"), strength=1.0)

Unlike grainel's exact engines, which diffuse the raw error of every pixel,
the remap diffuses error in linear light, keeps every pixel within the light
the palette can show, picks colours as sRGB codes them, and scans rows in
alternate directions. It passes on its full error wherever an area would
otherwise take one colour in a plateau (skies, ramps, glows: where a band
would show), and less in smooth areas that the palette renders closely and
that vary from colour to colour even undithered, where grain would be the
only visible change. The result is a new image of the input's
kind: an (H, W, 3) or (H, W, 4) array for an array (gray ones become RGB),
an RGB or RGBA PIL image for a PIL image. Alpha passes through.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _native
from .color_arrays import color_pixels, palette_array
from .panels import Panel

# The share of its error a pixel passes on at most: measured best for
# fitted and fixed palettes alike (see bench/quality.py); 1.0 dithers
# coarse palettes a little more finely at the cost of grain.
STRENGTH = 0.9


def remap(image: Any, palette: Any, *, strength: float = STRENGTH,
          method: str = "floyd_steinberg", serpentine: bool = True) -> Any:
    """The picture in the palette's colours, by the perceptual remap.

    `palette` takes what grainel's palette= takes: hex strings, (r, g, b)
    tuples or an (m, 3) array of 1 to 4096 colours; or a Panel, dithered
    to as it looks and written in the colours its driver is sent. `strength` in [0, 1]
    scales the error passed on (0: each pixel its nearest colour);
    `method` names any of grainel's error-diffusion kernels; `serpentine`
    False scans every row left to right.
    """
    if isinstance(palette, Panel):
        return palette.sent_of(remap(image, palette.appearance, strength=strength, method=method,
                                     serpentine=serpentine))
    colors = palette_array(palette)
    if isinstance(strength, bool) or not isinstance(strength, (int, float)):
        raise TypeError(f"strength must be a number, not {type(strength).__name__}")
    if not 0.0 <= strength <= 1.0:
        raise ValueError(f"strength must be between 0 and 1, got {strength}")
    if not isinstance(method, str):
        raise TypeError(f"method must be a str, not {type(method).__name__}")
    pixels, to_input_kind = color_pixels(image)
    out = np.empty_like(pixels)
    _native.remap(pixels, colors, out, method, float(strength), bool(serpentine))
    return to_input_kind(out)
