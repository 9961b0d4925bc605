"""Pictures and palettes as the native helpers take them: C-contiguous uint8 arrays.

Palettes are read as grainel reads palette=, with its wording of what is
wrong; pictures may be arrays or PIL images, and each result goes back in
the kind of picture it came from.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _native

# The most colours a palette may hold, grainel's limit.
MAX_COLORS = _native.MAX_COLORS


def palette_array(palette: Any, name: str = "palette") -> np.ndarray:
    """A palette as a (k, 3) uint8 array, read the way grainel reads palette=."""
    if isinstance(palette, (str, bytes)):
        raise TypeError(f"{name} must be a list of colours, not a {type(palette).__name__}")
    if isinstance(palette, np.ndarray) and palette.ndim == 2 and palette.shape[1] == 3 \
            and palette.dtype.kind in "iu":
        if palette.size and (palette.min() < 0 or palette.max() > 255):
            raise ValueError(f"{name} values must be between 0 and 255")
        colors = np.ascontiguousarray(palette, dtype=np.uint8)
    else:
        try:
            entries = list(palette)
        except TypeError:
            raise TypeError(f"{name} must be a list of colours, not {type(palette).__name__}") from None
        colors = np.array([_color(entry, name) for entry in entries], dtype=np.uint8).reshape(-1, 3)
    if not 1 <= len(colors) <= MAX_COLORS:
        raise ValueError(f"{name} must hold 1 to {MAX_COLORS} colours, got {len(colors)}")
    return colors


def _color(entry: Any, name: str) -> tuple[int, int, int]:
    if isinstance(entry, str):
        text = entry[1:] if entry.startswith("#") else entry
        if len(text) in (3, 6) and all(c in "0123456789abcdefABCDEF" for c in text):
            if len(text) == 3:
                text = "".join(c * 2 for c in text)
            return int(text[0:2], 16), int(text[2:4], 16), int(text[4:6], 16)
        raise ValueError(f"{name}: invalid hex colour {entry!r}")
    try:
        values = [int(v) for v in entry] if not isinstance(entry, (bytes, bytearray)) else None
    except (TypeError, ValueError):
        values = None
    if values is None or len(values) != 3:
        raise TypeError(f"{name}: each colour must be a hex string or (r, g, b), got {entry!r}")
    if not all(0 <= v <= 255 for v in values):
        raise ValueError(f"{name}: colour values must be between 0 and 255, got {entry!r}")
    return values[0], values[1], values[2]


def color_pixels(image: Any) -> tuple[np.ndarray, Any]:
    """(H, W, 3 or 4) contiguous uint8 pixels of a picture, and how to give a result back in its kind."""
    try:
        from PIL import Image
    except ImportError:  # arrays need no Pillow
        Image = None  # type: ignore[assignment]
    if Image is not None and isinstance(image, Image.Image):
        from .pictures import eight_bit  # it needs Pillow

        image = eight_bit(image)
        has_alpha = image.mode in ("RGBA", "LA", "PA") or "transparency" in image.info
        mode = "RGBA" if has_alpha else "RGB"
        pixels = np.asarray(image.convert(mode))
        return np.ascontiguousarray(pixels), lambda out: Image.fromarray(out, mode)
    if image is None:
        raise TypeError("image must be an array or a PIL image, not None")
    pixels = np.asarray(image)
    if pixels.dtype != np.uint8:
        raise TypeError(f"image must hold uint8 values, not {pixels.dtype}")
    if pixels.ndim == 2:
        pixels = pixels[:, :, None]
    if pixels.ndim != 3 or pixels.shape[2] not in (1, 2, 3, 4):
        raise ValueError(f"image must be (H, W) or (H, W, 1..4), got shape {list(pixels.shape)}")
    if pixels.shape[2] in (1, 2):  # gray: the palette's colours need three channels
        gray = np.repeat(pixels[:, :, :1], 3, axis=2)
        pixels = np.concatenate([gray, pixels[:, :, 1:]], axis=2)
    return np.ascontiguousarray(pixels), lambda out: out


def rgb_key(colors: NDArray[np.uint8]) -> NDArray[np.int32]:
    """Each colour of (..., 3 or more) as one number, ordered as (r, g, b)."""
    return (colors[..., 0].astype(np.int32) << 16) | (colors[..., 1].astype(np.int32) << 8) | colors[..., 2]


def distinct_colors(colors: NDArray[np.uint8]) -> NDArray[np.uint8]:
    """The distinct rows of a (k, 3) uint8 array, each where it first appears, contiguous."""
    _, first = np.unique(colors, axis=0, return_index=True)
    return np.ascontiguousarray(colors[np.sort(first)])
