"""The perceptual remap: a picture to the colours of a palette, as it looks.

    from grainel_tools import remap, fit_palette
    out = remap(photo, fit_palette(photo, 16))
    out = remap(photo, palettes.named("pico8"), strength=1.0)

Unlike grainel's exact engines, which diffuse the raw error of every pixel,
the remap diffuses error in linear light, keeps every pixel within the light
the palette can show, picks colours as sRGB codes them, and passes on less
error in smooth areas that the palette already renders closely, where grain
would be the only visible change. The result is a new image of the input's
kind: an (H, W, 3) or (H, W, 4) array for an array (gray ones become RGB),
an RGB or RGBA PIL image for a PIL image. Alpha passes through.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _native

# The share of its error a pixel passes on at most: measured best for
# fitted and fixed palettes alike (see bench/quality.py); 1.0 dithers
# coarse palettes a little more finely at the cost of grain.
STRENGTH = 0.9


def remap(image: Any, palette: Any, *, strength: float = STRENGTH,
          method: str = "floyd_steinberg", serpentine: bool = False) -> Any:
    """The picture in the palette's colours, by the perceptual remap.

    `palette` takes what grainel's palette= takes: hex strings, (r, g, b)
    tuples or an (m, 3) array of 1 to 4096 colours. `strength` in [0, 1]
    scales the error passed on (0: each pixel its nearest colour);
    `method` names any of grainel's error-diffusion kernels.
    """
    colors = palette_array(palette)
    if isinstance(strength, bool) or not isinstance(strength, (int, float)):
        raise TypeError(f"strength must be a number, not {type(strength).__name__}")
    if not 0.0 <= strength <= 1.0:
        raise ValueError(f"strength must be between 0 and 1, got {strength}")
    if not isinstance(method, str):
        raise TypeError(f"method must be a str, not {type(method).__name__}")
    pixels, back = colour_pixels(image)
    out = np.empty_like(pixels)
    _native.remap(pixels, colors, out, method, float(strength), bool(serpentine))
    return back(out)


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
    if not 1 <= len(colors) <= 4096:
        raise ValueError(f"{name} must hold 1 to 4096 colours, got {len(colors)}")
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


def colour_pixels(image: Any) -> tuple[np.ndarray, Any]:
    """(H, W, 3 or 4) contiguous uint8 pixels of a picture, and how to give a result back in its kind."""
    try:
        from PIL import Image
    except ImportError:  # arrays need no Pillow
        Image = None  # type: ignore[assignment]
    if Image is not None and isinstance(image, Image.Image):
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

