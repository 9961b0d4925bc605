"""The light a few colours mix to, and the nearest colour in it.

    from grainel_tools.gamut import into_hull
    shown = into_hull(photo, palette)     # before it is dithered to palette

A dithered picture seen from a little way off is a mix of its palette's
colours: in linear light it lies inside their hull, so no dithering shows
a colour beyond the hull closer than the hull's nearest point. Error
diffusion left to find that out carries the error it cannot spend into
the pixels around, as specks of far colours and smears. Moving such
colours onto the hull first, to the nearest point in OKLab, leaves the
dithering only error it can spend.

The arithmetic uses only sums, products and quotients, which give the same
bits on every machine, and the package's own sRGB curve.
"""

from __future__ import annotations

from functools import lru_cache
from itertools import combinations
from typing import Any, NamedTuple

import numpy as np

from .color_arrays import color_pixels, palette_array, rgb_key
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
# Gauss-Newton steps of the search for the nearest colour shown: it has
# settled to well below a byte by then.
_ROUNDS = 4
# Colours searched at once: the search holds a few numbers per colour and face.
_CHUNK = 4096


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


class Hull(NamedTuple):
    """The light some colours mix to: a colour p is inside when normal . p <= offset for every
    row (normal, offset) of `facets` (n, 4); `faces` (n, 3, 3) holds each facet's triangle of
    colours, in linear light."""

    facets: np.ndarray
    faces: np.ndarray


@lru_cache(maxsize=16)
def hull_of(colors: tuple[tuple[int, int, int], ...]) -> Hull | None:
    """The hull of up to 32 sRGB colours. None when they span no solid (greys; two colours and
    a third between), or are more: the hull is found by trying every three of them."""
    points = LINEAR[np.array(colors, np.uint8)]
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
    return Hull(np.array(facets), np.array(faces))


def inside(linear: np.ndarray, facets: np.ndarray) -> np.ndarray:
    """Whether each colour (..., 3 linear) lies within the facets' hull."""
    within = np.ones(linear.shape[:-1], bool)
    for nx, ny, nz, offset in facets:
        within &= linear[..., 0] * nx + linear[..., 1] * ny + linear[..., 2] * nz <= offset + 1e-9
    return within


def into_hull(image: Any, palette: Any) -> Any:
    """The picture (array or PIL image; alpha kept) with every colour beyond the palette's hull
    moved to its nearest in it; the picture as it is where hull_of finds no hull."""
    hull = hull_of(tuple(map(tuple, palette_array(palette).tolist())))
    if hull is None:
        return image
    pixels, to_input_kind = color_pixels(image)
    colors, where = np.unique(rgb_key(pixels).reshape(-1), return_inverse=True)
    rgb = np.stack([colors >> 16, (colors >> 8) & 255, colors & 255], axis=-1).astype(np.uint8)
    out = pixels.copy()
    out[..., :3] = srgb_bytes(nearest_inside(LINEAR[rgb], hull))[where].reshape(pixels.shape[:2] + (3,))
    return to_input_kind(out)


def nearest_inside(linear: np.ndarray, hull: Hull) -> np.ndarray:
    """Colours ((k, 3) linear) beyond the hull moved to the nearest colour in it, in OKLab.

    The nearest lies on one of the hull's faces. On each face, Gauss-Newton
    steps in its two barycentric coordinates walk from its centre towards
    the colour; each step is the exact least-squares step of the
    linearised problem within the face's triangle (inside it, or on the
    best of its three edges). The nearest of the faces' points wins: every
    face is tried, as the faces a colour lies furthest beyond need not
    hold its nearest point where many small ones meet.
    """
    outside = np.flatnonzero(~inside(linear, hull.facets))
    moved = linear.copy()
    for start in range(0, len(outside), _CHUNK):
        chosen = outside[start:start + _CHUNK]
        moved[chosen] = _nearest_on_faces(linear[chosen], hull.faces)
    return moved


def _nearest_on_faces(colors: np.ndarray, faces: np.ndarray) -> np.ndarray:
    goal = oklab(colors)[:, None]  # against (k, faces, 3)
    first = np.broadcast_to(faces[None, :, 0, :], (len(colors),) + faces[:, 0].shape)
    along_u, along_v = faces[None, :, 1, :] - faces[None, :, 0, :], faces[None, :, 2, :] - faces[None, :, 0, :]
    u = np.full(first.shape[:2], 1.0 / 3.0)
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
    found_best: np.ndarray = found[np.arange(len(colors)), best]
    return found_best


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
