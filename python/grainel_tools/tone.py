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
# The search for the nearest colour a panel shows: on so many faces, in so many steps (it has
# settled to well below a byte by then).
_FACES_TRIED = 3
_ROUNDS = 4


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
    hull = _hull(panel.appearance)
    if hull is not None and tone.knee < 1.0:
        limit = _chroma_limit(lightness, a, b, chroma, hull.facets)
        kept = tone.knee * limit
        over = np.maximum(chroma - kept, 0.0) / np.maximum(limit - kept, 1e-12)
        squeezed = np.where(chroma > kept, kept + (limit - kept) * over / (1.0 + over), chroma)
        scale = np.where(chroma > 0.0, squeezed / np.maximum(chroma, 1e-12), 0.0)
        a, b = a * scale, b * scale
    mapped = linear_of(np.stack([lightness, a, b], axis=-1))
    return srgb_bytes(mapped if hull is None else _nearest_shown(mapped, hull))


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


class _Hull(NamedTuple):
    """The light the panel's inks mix to: a colour p is shown when normal . p <= offset for every
    row (normal, offset) of `facets` (n, 4); `faces` (n, 3, 3) holds each facet's triangle of
    inks, in linear light."""

    facets: np.ndarray
    faces: np.ndarray


@lru_cache(maxsize=16)
def _hull(appearance: tuple[tuple[int, int, int], ...]) -> _Hull | None:
    """The hull of the panel's inks. None when they span no solid (black, white and one ink;
    greys), where chroma is left to the dithering."""
    points = LINEAR[np.array(appearance, np.uint8)]
    if len(points) > 32 or np.linalg.matrix_rank(points[1:] - points[0], tol=1e-3) < 3:
        return None
    facets, faces = [], []
    for i, j, k in combinations(range(len(points)), 3):
        normal = np.cross(points[j] - points[i], points[k] - points[i])
        if np.abs(normal).max() < 1e-9:
            continue
        side = (points * normal).sum(axis=1) - (points[i] * normal).sum()
        if (side <= 1e-9).all():
            facets.append((*normal, (points[i] * normal).sum()))
        elif (side >= -1e-9).all():
            facets.append((*-normal, -(points[i] * normal).sum()))
        else:
            continue
        faces.append(points[[i, j, k]])
    return _Hull(np.array(facets), np.array(faces))


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


def _nearest_shown(linear: np.ndarray, hull: _Hull) -> np.ndarray:
    """Colours ((k, 3) linear) the panel cannot show moved to the nearest one it shows, in OKLab.

    The nearest lies on a face of the hull, and on one of the few faces
    whose planes the colour lies furthest beyond. On each of those,
    Gauss-Newton steps in the face's two barycentric coordinates walk from
    its centre towards the colour; each step is the exact least-squares
    step of the linearised problem within the face's triangle (inside it,
    or on the best of its three edges). The nearest of the faces' points
    wins.
    """
    outside = ~_shown(linear, hull.facets)
    if not outside.any():
        return linear
    colors = linear[outside]
    goal = oklab(colors)[:, None]  # against (k, faces tried, 3)
    normals = hull.facets[:, :3]
    beyond = (_dot(colors[:, None], normals[None]) - hull.facets[:, 3]) / np.sqrt(_dot(normals, normals))
    tried = np.argsort(-beyond, axis=1, kind="stable")[:, :_FACES_TRIED]
    corners = hull.faces[tried]
    first = corners[..., 0, :]
    along_u, along_v = corners[..., 1, :] - first, corners[..., 2, :] - first
    u = np.full(tried.shape, 1.0 / 3.0)
    v = u.copy()
    for _ in range(_ROUNDS):
        point = first + along_u * u[..., None] + along_v * v[..., None]
        roots = _cbrt(np.maximum(_mul(_TO_LMS, point), 1e-12))
        miss = _mul(_TO_LAB, roots) - goal
        # OKLab's change along u and v: the cube roots' slopes 1 / (3 root^2) between the matrices.
        slope = 1.0 / (3.0 * roots * roots)
        du = _mul(_TO_LAB, _mul(_TO_LMS, along_u) * slope)
        dv = _mul(_TO_LAB, _mul(_TO_LMS, along_v) * slope)
        u, v = _step_in_face(miss, du, dv, u, v)
    found = first + along_u * u[..., None] + along_v * v[..., None]
    best = _squared_distance(oklab(found), goal).argmin(axis=1)
    moved = linear.copy()
    moved[outside] = found[np.arange(len(colors)), best]
    return moved


def _step_in_face(miss: np.ndarray, du: np.ndarray, dv: np.ndarray, u: np.ndarray,
                  v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The (u, v) in the triangle u, v >= 0, u + v <= 1 nearest to the goal by the linearised
    OKLab: miss + du (u' - u) + dv (v' - v) at its shortest."""
    uu, uv, vv = _dot(du, du), _dot(du, dv), _dot(dv, dv)
    mu, mv = _dot(du, miss), _dot(dv, miss)
    det = np.maximum(uu * vv - uv * uv, 1e-30)
    edge = du - dv  # along u + v = 1, from (0, 1) to (1, 0)
    from_corner = miss - du * u[..., None] + dv * (1.0 - v)[..., None]
    along_edge = np.clip(-_dot(from_corner, edge) / np.maximum(_dot(edge, edge), 1e-30), 0.0, 1.0)
    candidates = [
        (u - (vv * mu - uv * mv) / det, v - (uu * mv - uv * mu) / det),  # the plane's best
        (0.0 * u, np.clip(v - (mv - uv * u) / np.maximum(vv, 1e-30), 0.0, 1.0)),  # on u = 0
        (np.clip(u - (mu - uv * v) / np.maximum(uu, 1e-30), 0.0, 1.0), 0.0 * v),  # on v = 0
        (along_edge, 1.0 - along_edge),  # on u + v = 1
    ]
    best_u, best_v, best = u, v, np.full(u.shape, np.inf)
    for cu, cv in candidates:
        left = miss + du * (cu - u)[..., None] + dv * (cv - v)[..., None]
        length = np.where((cu >= 0.0) & (cv >= 0.0) & (cu + cv <= 1.0), _dot(left, left), np.inf)
        better = length < best
        best = np.where(better, length, best)
        best_u, best_v = np.where(better, cu, best_u), np.where(better, cv, best_v)
    return best_u, best_v


def _dot(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    dot: np.ndarray = x[..., 0] * y[..., 0] + x[..., 1] * y[..., 1] + x[..., 2] * y[..., 2]
    return dot


def _squared_distance(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    return _dot(x - y, x - y)
