"""Reading images into the modes grainel works on, and writing results."""

from __future__ import annotations

from pathlib import Path

import numpy as np
from PIL import Image

EXTENSIONS = {".png", ".gif", ".webp", ".tif", ".tiff", ".bmp", ".jpg", ".jpeg"}

# Modes Pillow can hand us, mapped to the nearest of L / LA / RGB / RGBA.
# grainel would turn any other mode into RGB itself, but that drops alpha and
# colours a bilevel or 16-bit gray image, which is rarely what one wants.
_GRAY = {"1", "L"}
_GRAY_ALPHA = {"LA", "La", "PA"}


def load(path: Path, for_palette: bool) -> Image.Image:
    """Open an image and bring it to L, LA, RGB or RGBA.

    A palette target needs colour channels, so gray images become RGB(A) when
    `for_palette` is set.
    """
    with Image.open(path) as opened:
        opened.load()  # read the first frame now, while the file is open
        image = _normalise(opened)
    if for_palette and image.mode in ("L", "LA"):
        image = image.convert("RGB" if image.mode == "L" else "RGBA")
    return image


def _normalise(im: Image.Image) -> Image.Image:
    mode = im.mode
    if mode in ("L", "LA", "RGB", "RGBA"):
        return im
    if mode in _GRAY:
        return im.convert("L")
    if mode in _GRAY_ALPHA:
        return im.convert("LA")
    if mode.startswith("I") or mode == "F":
        return Image.fromarray(_deep_to_bytes(np.asarray(im)))
    if mode == "P":
        return im.convert("RGBA" if "transparency" in im.info else "RGB")
    # RGBa, RGBX, CMYK, YCbCr, LAB, HSV and any other colour mode.
    return im.convert("RGBA" if "A" in im.getbands() or "a" in im.getbands() else "RGB")


def _deep_to_bytes(values: np.ndarray) -> np.ndarray:
    """Scale a 16/32-bit or float gray image to bytes.

    Pillow's own conversion clips at 255, which turns a 16-bit image white.
    Integers are scaled by the range their values imply (8 or 16 bit, else the
    maximum); floats up to 1.0 are read as [0, 1] intensities.
    """
    data = values.astype(np.float64)
    top = float(data.max(initial=0.0))
    if values.dtype.kind == "f":
        scale = 255.0 if top <= 1.0 else 1.0
    elif top <= 255:
        scale = 1.0
    else:
        scale = 255.0 / (65535.0 if top <= 65535 else top)
    return np.clip(np.rint(data * scale), 0, 255).astype(np.uint8)


def format_for(path: Path) -> str | None:
    """Pillow's format name for a file name's extension, if it can write one."""
    fmt = Image.registered_extensions().get(path.suffix.lower())
    return fmt if fmt in Image.SAVE else None


def save(im: Image.Image, path: Path) -> None:
    """Write `im`, the format chosen by the file's extension.

    JPEG has no alpha and BMP no gray-with-alpha, so those lose or widen the
    alpha channel rather than failing after all the dithering work is done.
    """
    fmt = format_for(path)
    if fmt is None:
        raise ValueError(f"unknown output extension {path.suffix!r}")
    if fmt == "JPEG" and im.mode in ("LA", "RGBA"):
        im = im.convert(im.mode[:-1])
    elif im.mode == "LA" and fmt in ("BMP", "GIF"):
        im = im.convert("RGBA")
    im.save(path, format=fmt)


def expand(inputs: list[str]) -> list[Path]:
    """Inputs as files: a directory stands for the image files directly in it."""
    files: list[Path] = []
    for name in inputs:
        path = Path(name)
        if path.is_dir():
            files.extend(sorted(p for p in path.iterdir()
                                if p.is_file() and p.suffix.lower() in EXTENSIONS))
        else:
            files.append(path)
    return files
