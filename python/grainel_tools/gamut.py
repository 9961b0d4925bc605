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

from . import _native
from .color_arrays import color_pixels, palette_array, rgb_key
from .cores import threads_for
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
# A colour's search on one face costs about what the remap spends on a few
# pixels: threads_for shares out work of a megapixel's cost and more.
_PIXELS_PER_SEARCH = 8
# into_hull searches every face once per cell of colours, 2^_CELL_SHIFT codes a side.
_CELL_BITS = 5
_CELL_SHIFT = 8 - _CELL_BITS


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


def into_hull(image: Any, palette: Any, *, threads: int | None = None) -> Any:
    """The picture (array or PIL image; alpha kept) with every colour beyond the palette's hull
    moved to the nearest colour it can mix; the picture as it is where hull_of finds no hull.
    `threads` as remap takes it; the result is the same for any number.

    A photo holds hundreds of thousands of colours, too many to search every
    face for each. So every face is searched once per cell of colours,
    eight codes a side, from the cell's middle; each colour of the cell
    beyond the hull then moves to its own nearest point on the face its
    cell's middle found. Neighbouring colours nearly always share their
    nearest face, and where they do not, the point found still lies on the
    hull, a little further off: the remap is left no error it cannot spend.
    """
    hull = hull_of(tuple(map(tuple, palette_array(palette).tolist())))
    if hull is None:
        return image
    pixels, to_input_kind = color_pixels(image)
    key = pixels[..., 0].astype(np.int32)  # rgb_key's value, made in place: it is picture-sized
    for c in (1, 2):
        key <<= 8
        key |= pixels[..., c]
    present = np.zeros(1 << 24, bool)
    present[key] = True
    colors = np.flatnonzero(present).astype(np.int32)
    del present  # before the lookup below: the two are the move's largest buffers
    rgb = np.stack([colors >> 16, (colors >> 8) & 255, colors & 255], axis=-1).astype(np.uint8)
    light = LINEAR[rgb]
    moving = ~inside(light, hull.facets)
    if not moving.any():
        return image
    codes = (rgb[moving] >> _CELL_SHIFT).astype(np.int32)
    cells, cell_of = np.unique((codes[:, 0] << 2 * _CELL_BITS) | (codes[:, 1] << _CELL_BITS) | codes[:, 2],
                               return_inverse=True)
    middles = LINEAR[_cell_colors(cells) | (1 << _CELL_SHIFT >> 1)]
    face = _nearest_on_faces(middles, hull.faces, threads=threads)[1]
    found = _nearest_on_faces(light[moving], hull.faces, face[cell_of], threads)[0]
    # Left unset but where the picture's colours index it: only their pages are touched.
    lookup = np.empty(1 << 24, np.int32)
    lookup[colors] = colors
    lookup[colors[moving]] = rgb_key(srgb_bytes(found))
    moved = lookup[key]
    out = pixels.copy()
    for c, shift in enumerate((16, 8, 0)):
        out[..., c] = moved >> shift
    return to_input_kind(out)


def _cell_colors(cells: np.ndarray) -> np.ndarray:
    """The first colour of each cell, as (k, 3) uint8."""
    mask = (1 << _CELL_BITS) - 1
    channels = [cells >> (2 * _CELL_BITS), (cells >> _CELL_BITS) & mask, cells & mask]
    return (np.stack(channels, axis=-1) << _CELL_SHIFT).astype(np.uint8)


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
    outside = ~inside(linear, hull.facets)
    moved = linear.copy()
    moved[outside] = _nearest_on_faces(linear[outside], hull.faces)[0]
    return moved


def _nearest_on_faces(colors: np.ndarray, faces: np.ndarray, only: np.ndarray | None = None,
                      threads: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The nearest point in OKLab to each colour (k, 3) on any of the faces (n, 3, 3), or on face
    only[i] alone, and which face holds it; on `threads` as threads_for counts them."""
    colors = np.ascontiguousarray(colors, np.float64)
    found, which = np.empty_like(colors), np.empty(len(colors), np.int64)
    if len(colors):
        searches = len(colors) * (len(faces) if only is None else 1)
        _native.nearest_on_faces(colors.reshape(-1).view(np.uint8),
                                 np.ascontiguousarray(faces, np.float64).reshape(-1).view(np.uint8),
                                 None if only is None else np.ascontiguousarray(only, np.int64).view(np.uint8),
                                 found.reshape(-1).view(np.uint8), which.view(np.uint8),
                                 threads_for(threads, searches * _PIXELS_PER_SEARCH))
    return found, which
