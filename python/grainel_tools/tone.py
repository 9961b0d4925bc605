"""Tone mapping into a panel's range, before it is dithered.

    from grainel_tools import mix_dither, panels, remap
    from grainel_tools.tone import Tone, tone_map
    panel = panels.named("spectra6")
    out = mix_dither(tone_map(photo, panel), panel)      # the panel's measured best
    out = remap(tone_map(photo, panel, Tone(saturation=1.4, knee=0.8)), panel)

A panel's white is the paper's and its black a dark grey, and its inks
mix to a small gamut. In OKLab, the picture's light is first scaled by
`exposure`, its lightness bent by `contrast` as an S and, by `lift`,
raised so that its black lands on the panel's (its white already lands on
the panel's, which the eye takes for white). Its chroma is then scaled by
`saturation` and compressed, past `knee` of the most the panel shows at
that lightness and hue, towards that most: each colour keeps its lightness
and hue. Both maps are monotone: a lighter colour stays lighter, and at
one lightness and hue a more colourful one stays more colourful, so more
saturation always puts more colour on the panel. The defaults were chosen
by measurement (bench/panels.py): on its pictures every change of
lightness cost more than it gained, so only chroma is mapped unless asked.

The arithmetic uses only sums, products and quotients, which give the same
bits on every machine, and the package's own sRGB curve.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache
from itertools import combinations
from typing import Any, NamedTuple

import numpy as np

from .color_arrays import rgb_key
from .panels import Panel
from .srgb import LINEAR, srgb_bytes

# Linear sRGB to LMS, and the cube roots of LMS to OKLab, and back (Ottosson 2020).
_TO_LMS = ((0.4122214708, 0.5363325363, 0.0514459929),
           (0.2119034982, 0.6806995451, 0.1073969566),
           (0.0883024619, 0.2817188376, 0.6299787005))
_TO_LAB = ((0.2104542553, 0.7936177850, -0.0040720468),
           (1.9779984951, -2.4285922050, 0.4505937099),
           (0.0259040371, 0.7827717662, -0.8086757660))
_FROM_LAB = ((1.0, 0.3963377774, 0.2158037573),
             (1.0, -0.1055613458, -0.0638541728),
             (1.0, -0.0894841775, -1.2914855480))
_FROM_LMS = ((4.0767416621, -3.3077115913, 0.2309699292),
             (-1.2684380046, 2.6097574011, -0.3413193965),
             (-0.0041960863, -0.7034186147, 1.7076147010))
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
    rest compressed towards the limit (1: none, the dithering clips).
    Each shipped panel has its measured best (BEST).
    """

    exposure: float = 0.0
    contrast: float = 0.0
    lift: float = 0.0
    saturation: float = 1.0
    knee: float = 0.8

    def __post_init__(self) -> None:
        for name, low, high in [("exposure", -8.0, 8.0), ("contrast", -1.0, 1.0), ("lift", 0.0, 1.0),
                                ("saturation", 0.0, 8.0), ("knee", 0.0, 1.0)]:
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{name} must be a number, not {type(value).__name__}")
            if not low <= value <= high:
                raise ValueError(f"{name} must be between {low:g} and {high:g}, got {value}")


class Best(NamedTuple):
    """What measured best for a panel: its tone map, and whether colour mixes (mix_dither with
    its blue noise) dither it better than the remap."""

    tone: Tone
    mixed: bool


# The measured best for each shipped panel (bench/panels.py, on the tune half of the quality
# pictures). Spectra 6, whose few inks lie far apart, gains most from mixes of colours fitted
# softly into its gamut; ACeP, whose inks are pale and its black a grey, from a little less
# chroma, left for the remap to clip.
BEST = {"spectra6": Best(Tone(knee=0.9), True), "acep7": Best(Tone(saturation=0.8, knee=1.0), False)}


def best_for(panel: Panel) -> Best:
    """A panel's measured best, or the remap after Tone()'s defaults."""
    return BEST.get(panel.name, Best(Tone(), False))


def tone_map(image: Any, panel: Panel, tone: Tone | None = None) -> Any:
    """The picture (array or PIL image; alpha kept) mapped into the panel's range, same kind back.

    `tone` None takes the panel's measured best (best_for)."""
    tone = best_for(panel).tone if tone is None else tone
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
    facets = _hull(panel.appearance)
    if facets is not None and tone.knee < 1.0:
        limit = _chroma_limit(lightness, a, b, chroma, facets)
        kept = tone.knee * limit
        over = np.maximum(chroma - kept, 0.0) / np.maximum(limit - kept, 1e-12)
        squeezed = np.where(chroma > kept, kept + (limit - kept) * over / (1.0 + over), chroma)
        scale = np.where(chroma > 0.0, squeezed / np.maximum(chroma, 1e-12), 0.0)
        a, b = a * scale, b * scale
    return srgb_bytes(linear_of(np.stack([lightness, a, b], axis=-1)))


def _mul(matrix: tuple[tuple[float, ...], ...], x: np.ndarray) -> np.ndarray:
    # Row by row rather than by a matrix product, whose fused operations vary by machine.
    return np.stack([x[..., 0] * m[0] + x[..., 1] * m[1] + x[..., 2] * m[2] for m in matrix], axis=-1)


def _cbrt(x: np.ndarray) -> np.ndarray:
    """Cube roots of values >= 0 by Newton's method from the exponent's third."""
    bits = np.maximum(x, 1e-30).view(np.int64)
    y: np.ndarray = ((bits - (1023 << 52)) // 3 + (1023 << 52)).view(np.float64)
    for _ in range(6):
        y = y - (y * y * y - x) / (3.0 * y * y)
    return y


def oklab(linear: np.ndarray) -> np.ndarray:
    """Linear sRGB (..., 3) to OKLab."""
    return _mul(_TO_LAB, _cbrt(np.maximum(_mul(_TO_LMS, linear), 0.0)))


def linear_of(lab: np.ndarray) -> np.ndarray:
    """OKLab (..., 3) to linear sRGB (not clipped)."""
    lms = _mul(_FROM_LAB, lab)
    return _mul(_FROM_LMS, lms * lms * lms)


def _darkest(appearance: tuple[tuple[int, int, int], ...]) -> float:
    """The OKLab lightness of the panel's black: its darkest colour."""
    return float(oklab(LINEAR[np.array(appearance, np.uint8)])[:, 0].min())


@lru_cache(maxsize=16)
def _hull(appearance: tuple[tuple[int, int, int], ...]) -> np.ndarray | None:
    """The faces of the light the panel's inks mix to, as (n, 4) rows of (normal, offset):
    a colour p is shown when normal . p <= offset for every row. None when the inks span no
    solid (black, white and one ink; greys), where chroma is left to the dithering."""
    points = LINEAR[np.array(appearance, np.uint8)]
    if len(points) > 32 or np.linalg.matrix_rank(points[1:] - points[0], tol=1e-3) < 3:
        return None
    faces = []
    for i, j, k in combinations(range(len(points)), 3):
        normal = np.cross(points[j] - points[i], points[k] - points[i])
        if np.abs(normal).max() < 1e-9:
            continue
        side = (points * normal).sum(axis=1) - (points[i] * normal).sum()
        if (side <= 1e-9).all():
            faces.append((*normal, (points[i] * normal).sum()))
        elif (side >= -1e-9).all():
            faces.append((*-normal, -(points[i] * normal).sum()))
    return np.array(faces)


def _shown(linear: np.ndarray, facets: np.ndarray) -> np.ndarray:
    inside = np.ones(linear.shape[:-1], bool)
    for nx, ny, nz, offset in facets:
        inside &= linear[..., 0] * nx + linear[..., 1] * ny + linear[..., 2] * nz <= offset + 1e-9
    return inside


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
        inside = _shown(linear_of(np.stack([lightness, middle * unit_a, middle * unit_b], axis=-1)), facets)
        low, high = np.where(inside, middle, low), np.where(inside, high, middle)
    grey = _shown(linear_of(np.stack([lightness, 0 * lightness, 0 * lightness], axis=-1)), facets)
    return np.where(grey, low, 0.0)
