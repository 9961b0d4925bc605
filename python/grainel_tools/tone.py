"""Tone mapping into a panel's range, before it is dithered.

    import grainel
    from grainel_tools import panels, remap
    from grainel_tools.tone import Tone, tone_map
    panel = panels.named("spectra6")
    shown = grainel.dither(tone_map(photo, panel), palette=panel.appearance,
                           serpentine=True, linear=True)     # what measured best
    out = panel.sent_of(shown)                                 # as the driver is sent it
    out = remap(tone_map(photo, panel, Tone(saturation=1.4, knee=0.8)), panel)

A panel's white is the paper's and its black a dark grey, and its inks
mix to a small gamut. In OKLab, the picture's light is first scaled by
`exposure`, its lightness bent by `contrast` as an S and, by `lift`,
raised so that its black lands on the panel's (its white already lands on
the panel's, which the eye takes for white). Its chroma is then scaled by
`saturation` and, if asked, compressed past `knee` of the most the panel
shows at that lightness and hue, towards that most. Both maps are
monotone: a lighter colour stays lighter, and at one lightness and hue a
more colourful one stays more colourful, so more saturation always puts
more colour on the panel. Last, a colour the panel still cannot show
moves to the nearest one it shows, in OKLab: a dithered picture seen from
afar is a mix of the inks, so no dithering shows it closer, and error
diffusion left to clip it instead carries the error it cannot spend into
the pixels around. The defaults were chosen by measurement
(bench/panels.py): on its pictures every change of lightness or chroma
cost more than it gained, so by default only that last move is made; and
Floyd-Steinberg in linear light, serpentine, dithered the result best.

The arithmetic uses only sums, products and quotients, which give the same
bits on every machine, and the package's own sRGB curve.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from .color_arrays import rgb_key
from .gamut import hull_of, inside, linear_of, nearest_inside, oklab
from .panels import Panel
from .srgb import LINEAR, srgb_bytes

__all__ = ["Tone", "linear_of", "mapped_colors", "oklab", "tone_map"]

# OKLab chroma beyond any sRGB colour's: where the search for the panel's limit starts.
_CHROMA_RANGE = 0.5
_STEPS = 18


@dataclass(frozen=True)
class Tone:
    """The parameters of the tone map.

    `exposure` scales the picture's light by 2**exposure. `contrast` in
    [-1, 1] bends lightness as an S around its middle (0: straight; 1:
    half as steep again in the middle, flat at the ends). `lift` in [0, 1]
    is how far the picture's black is raised to the panel's black (0:
    below the panel's black, shadows are left to the dithering, which
    clips them). `saturation` (0 or more) scales OKLab chroma; `knee` in
    [0, 1] is the share of the panel's chroma limit kept as it is, the
    rest compressed towards the limit (1: none). What is left outside the
    panel's gamut then moves to the nearest colour it shows.
    """

    exposure: float = 0.0
    contrast: float = 0.0
    lift: float = 0.0
    saturation: float = 1.0
    knee: float = 1.0

    def __post_init__(self) -> None:
        for name, low, high in [("exposure", -8.0, 8.0), ("contrast", -1.0, 1.0), ("lift", 0.0, 1.0),
                                ("saturation", 0.0, 8.0), ("knee", 0.0, 1.0)]:
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{name} must be a number, not {type(value).__name__}")
            if not low <= value <= high:
                raise ValueError(f"{name} must be between {low:g} and {high:g}, got {value}")


def tone_map(image: Any, panel: Panel, tone: Tone | None = None) -> Any:
    """The picture (array or PIL image; alpha kept) mapped into the panel's range, same kind back.

    `tone` None takes Tone()'s defaults, the measured best."""
    tone = Tone() if tone is None else tone
    from_pil = not isinstance(image, np.ndarray)
    pixels = np.asarray(image.convert("RGBA" if "A" in image.getbands() else "RGB")) if from_pil \
        else np.asarray(image)
    if pixels.ndim != 3 or pixels.shape[2] not in (3, 4) or pixels.dtype != np.uint8:
        raise ValueError(f"image must be (H, W, 3 or 4) uint8, got {pixels.dtype} {list(pixels.shape)}")
    colors, inverse = np.unique(rgb_key(pixels).reshape(-1), return_inverse=True)
    rgb = np.stack([colors >> 16, (colors >> 8) & 255, colors & 255], axis=-1).astype(np.uint8)
    mapped = mapped_colors(rgb, panel, tone)
    out = pixels.copy()
    out[..., :3] = mapped[inverse].reshape(pixels.shape[:2] + (3,))
    if from_pil:
        from PIL import Image

        return Image.fromarray(out, "RGBA" if out.shape[2] == 4 else "RGB")
    return out


def mapped_colors(rgb: np.ndarray, panel: Panel, tone: Tone) -> np.ndarray:
    """(k, 3) uint8 colours tone mapped."""
    lab = oklab(LINEAR[rgb] * 2.0 ** tone.exposure)
    darkest = _darkest(panel.appearance)
    x = np.clip(lab[:, 0], 0.0, 1.0)
    curved = x + tone.contrast * x * (1.0 - x) * (2.0 * x - 1.0)
    black = darkest * tone.lift
    lightness = black + (1.0 - black) * curved
    a, b = lab[:, 1] * tone.saturation, lab[:, 2] * tone.saturation
    chroma = np.sqrt(a * a + b * b)
    hull = hull_of(panel.appearance)
    if hull is not None and tone.knee < 1.0:
        limit = _chroma_limit(lightness, a, b, chroma, hull.facets)
        kept = tone.knee * limit
        over = np.maximum(chroma - kept, 0.0) / np.maximum(limit - kept, 1e-12)
        squeezed = np.where(chroma > kept, kept + (limit - kept) * over / (1.0 + over), chroma)
        scale = np.where(chroma > 0.0, squeezed / np.maximum(chroma, 1e-12), 0.0)
        a, b = a * scale, b * scale
    mapped = linear_of(np.stack([lightness, a, b], axis=-1))
    return srgb_bytes(mapped if hull is None else nearest_inside(mapped, hull))


def _darkest(appearance: tuple[tuple[int, int, int], ...]) -> float:
    """The OKLab lightness of the panel's black: its darkest colour."""
    return float(oklab(LINEAR[np.array(appearance, np.uint8)])[:, 0].min())


def _chroma_limit(lightness: np.ndarray, a: np.ndarray, b: np.ndarray, chroma: np.ndarray,
                  facets: np.ndarray) -> np.ndarray:
    """The most chroma the panel shows at each colour's lightness and hue, by bisection.

    0 where even the grey of that lightness lies outside the panel's light.
    """
    safe = np.maximum(chroma, 1e-12)
    unit_a, unit_b = np.where(chroma > 0, a / safe, 1.0), np.where(chroma > 0, b / safe, 0.0)
    low, high = np.zeros_like(chroma), np.full_like(chroma, _CHROMA_RANGE)
    for _ in range(_STEPS):
        middle = (low + high) * 0.5
        shown = inside(linear_of(np.stack([lightness, middle * unit_a, middle * unit_b], axis=-1)), facets)
        low, high = np.where(shown, middle, low), np.where(shown, high, middle)
    grey = inside(linear_of(np.stack([lightness, 0 * lightness, 0 * lightness], axis=-1)), facets)
    return np.where(grey, low, 0.0)
