"""Sizes and backgrounds: what is done to a picture before dithering, and after.

Before: transparency flattened onto a colour, and the picture resampled to
fill a size (cropping what sticks out) or to fit inside one, in linear light
with a Lanczos filter. After: the dithered picture padded to the exact size,
and enlarged by whole pixels for pixel art.
"""

from __future__ import annotations

import re

import numpy as np
from PIL import Image, ImageColor

from .srgb import LINEAR, srgb_bytes

Color = tuple[int, int, int]
Size = tuple[int, int]

WHITE: Color = (255, 255, 255)


def parse_size(text: str) -> Size:
    """'800x480' -> (800, 480)."""
    match = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", text)
    if not match or int(match[1]) == 0 or int(match[2]) == 0:
        raise ValueError(f"expected a size like 800x480, got {text!r}")
    return int(match[1]), int(match[2])


def parse_color(text: str) -> Color:
    """A colour as CSS writes it: '#fff', '#ff8000', 'white', 'rgb(255, 128, 0)'."""
    try:
        rgb = ImageColor.getrgb(text)
    except ValueError:
        raise ValueError(f"expected a colour like '#ff8000' or 'white', got {text!r}") from None
    return rgb[0], rgb[1], rgb[2]


# Clockwise, as image viewers and panels count a turn; Pillow's names count
# counter-clockwise.
_CLOCKWISE = {90: Image.Transpose.ROTATE_270, 180: Image.Transpose.ROTATE_180, 270: Image.Transpose.ROTATE_90}


def rotate(frame: Image.Image, degrees: int) -> Image.Image:
    """The frame turned clockwise by 90, 180 or 270 degrees, exactly (no resampling)."""
    return frame.transpose(_CLOCKWISE[degrees])


def flatten(frame: Image.Image, color: Color) -> Image.Image:
    """The frame over a solid colour, without alpha: what a viewer shows on that background.

    Blended in sRGB values, as browsers and image editors blend.
    """
    if not frame.mode.endswith("A"):
        return frame
    gray = color[0] == color[1] == color[2]
    backdrop = Image.new("RGBA", frame.size, (*color, 255))
    flat = Image.alpha_composite(backdrop, frame.convert("RGBA")).convert("RGB")
    return flat.convert("L") if gray and frame.mode == "LA" else flat


def fill(frame: Image.Image, size: Size) -> Image.Image:
    """Resampled to cover `size`, centred, and what sticks out cropped."""
    width, height = frame.size
    scale = max(size[0] / width, size[1] / height)
    w, h = size[0] / scale, size[1] / scale
    left, top = (width - w) / 2, (height - h) / 2
    return _resampled(frame, size, (left, top, left + w, top + h))


def fit(frame: Image.Image, size: Size) -> Image.Image:
    """Resampled to fit inside `size`, keeping its aspect."""
    return _resampled(frame, fitted_size(frame.size, size), (0, 0, *frame.size))


def fitted_size(size: Size, box: Size) -> Size:
    """The largest size inside `box` with the aspect of `size`."""
    scale = min(box[0] / size[0], box[1] / size[1])
    return max(1, round(size[0] * scale)), max(1, round(size[1] * scale))


def pad(frame: Image.Image, canvas: Image.Image) -> Image.Image:
    """The frame centred on a copy of `canvas`, a picture of the padding in the same mode."""
    out = canvas.copy()
    out.paste(frame, ((canvas.width - frame.width) // 2, (canvas.height - frame.height) // 2))
    return out


def solid(mode: str, size: Size, color: Color) -> Image.Image:
    """A picture of one colour in `mode` (L, LA, RGB or RGBA), opaque."""
    return Image.new("RGBA", size, (*color, 255)).convert(mode)


def enlarge(frame: Image.Image, factor: int) -> Image.Image:
    """Every pixel made a factor x factor block."""
    if factor == 1:
        return frame
    return frame.resize((frame.width * factor, frame.height * factor), Image.Resampling.NEAREST)


# The light of each sRGB byte, in the float32 the resampler works in.
_LIGHT_OF_BYTE = LINEAR.astype(np.float32)


def _resampled(frame: Image.Image, size: Size, box: tuple[float, float, float, float]) -> Image.Image:
    """The `box` region of the frame resampled to `size` in linear light.

    Averaging the coded values, as a plain resize does, darkens fine
    detail and the edges of bright areas; light is what adds up. Colour is
    weighted by alpha, so that transparent pixels lend no colour to their
    neighbours. Lanczos rings past black and white, which the sRGB bytes
    clamp.
    """
    pixels = np.asarray(frame)
    if pixels.ndim == 2:
        pixels = pixels[..., None]
    alpha = frame.mode.endswith("A")
    color_bands = pixels.shape[2] - alpha

    def resampled(band: np.ndarray) -> np.ndarray:
        image = Image.fromarray(np.ascontiguousarray(band, dtype=np.float32), "F")
        return np.asarray(image.resize(size, Image.Resampling.LANCZOS, box=box))

    weight = pixels[..., -1] / np.float32(255) if alpha else None
    lights = []  # each colour band's light, resampled
    for band in range(color_bands):
        light = _LIGHT_OF_BYTE[pixels[..., band]]
        lights.append(resampled(light * weight if weight is not None else light))
    if weight is not None:
        covered = np.clip(resampled(weight), 0, 1)
        lights = [np.divide(light, covered, out=np.zeros_like(light), where=covered > 1 / 512)
                  for light in lights]
        result = np.dstack([srgb_bytes(light) for light in lights] + [np.round(covered * 255).astype(np.uint8)])
    else:
        result = np.dstack([srgb_bytes(light) for light in lights])
    return Image.fromarray(result[..., 0] if result.shape[2] == 1 else result)
