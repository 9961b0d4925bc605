"""Reading image files as pictures grainel can dither: upright, in sRGB, every frame.

    from grainel_tools import read_image, read_picture
    photo = read_image("photo.jpg")          # the first frame, L / LA / RGB / RGBA
    anim = read_picture("clip.gif")          # all frames, with their timing
"""

from __future__ import annotations

import io
import os
from dataclasses import dataclass, field, replace
from typing import BinaryIO, Union

import numpy as np
from PIL import ExifTags, Image, ImageCms, ImageOps

from .errors import FileError, reason

Source = Union[str, "os.PathLike[str]", BinaryIO]

# Formats Pillow registers a reader for but cannot decode without outside
# help (stubs for scientific formats, Ghostscript for PostScript).
_UNREADABLE = {"BUFR", "GRIB", "HDF5", "WMF", "EPS", "MPEG"}

# The extensions a folder is searched for; a file named on its own is read
# whatever its name, as Pillow recognises formats by their content.
READABLE = frozenset(ext for ext, fmt in Image.registered_extensions().items()
                     if fmt in Image.OPEN and fmt not in _UNREADABLE)

_SIXTEEN_BIT = {"I;16", "I;16L", "I;16B", "I;16N"}
_SRGB = ImageCms.createProfile("sRGB")


@dataclass
class Picture:
    """One image or an animation: frames of one mode (L, LA, RGB or RGBA).

    `durations` (milliseconds per frame) and `loop` (as the file gives it;
    None plays once) describe an animation; `icc_profile` is the colour
    profile the values are in when they were not converted to sRGB.
    `palette`, set by Settings.apply_picture on a result dithered to a
    palette, holds colours (r, g, b) that every pixel of its RGB frames is
    one of: the writers then index the frames without looking for their
    colours. Frames made otherwise must leave it None.
    """

    frames: list[Image.Image]
    durations: list[int] | None = None
    loop: int | None = None
    icc_profile: bytes | None = field(default=None, repr=False)
    palette: list[tuple[int, int, int]] | None = field(default=None, repr=False)

    def with_frames(self, frames: list[Image.Image],
                    palette: list[tuple[int, int, int]] | None = None) -> Picture:
        return replace(self, frames=frames, palette=palette)


def read_image(source: Source, *, color_managed: bool = True,
               max_pixels: int | None = None) -> Image.Image:
    """The first frame of an image file, as read_picture prepares it."""
    return read_picture(source, color_managed=color_managed, max_pixels=max_pixels).frames[0]


def read_picture(source: Source, *, color_managed: bool = True,
                 max_pixels: int | None = None) -> Picture:
    """Read every frame of an image file (a path or a binary file object).

    Frames are turned upright by their EXIF orientation, converted from an
    embedded ICC profile to sRGB with LittleCMS (`color_managed=False`
    keeps the stored values and hands the profile on instead), and brought
    to L, LA, RGB or RGBA: 16-bit gray is scaled by its depth (v / 257),
    palette images become RGB(A). `max_pixels` refuses larger frames before
    they are decoded; Pillow's own limit (PIL.Image.MAX_IMAGE_PIXELS)
    applies as well.
    """
    name = source if isinstance(source, (str, os.PathLike)) else getattr(source, "name", "input")
    try:
        with Image.open(source) as im:
            if max_pixels and im.width * im.height > max_pixels:
                raise ValueError(f"{im.width}x{im.height} is over the limit of {max_pixels} pixels "
                                 "(--max-pixels)")
            return _read_frames(im, color_managed)
    except (OSError, ValueError, SyntaxError, Image.DecompressionBombError, ImageCms.PyCMSError) as exc:
        raise FileError("reading", name, reason(exc)) from None


def _read_frames(im: Image.Image, color_managed: bool) -> Picture:
    frames: list[Image.Image] = []
    durations: list[int] = []
    icc = im.info.get("icc_profile") or None
    count = getattr(im, "n_frames", 1)
    for index in range(count):
        im.seek(index)
        im.load()  # some formats tell a frame's duration only once it is loaded
        durations.append(int(im.info.get("duration") or 0))
        if im.getexif().get(ExifTags.Base.Orientation, 1) != 1:
            frame = ImageOps.exif_transpose(im)
        else:  # the next seek would overwrite a frame kept without a copy
            frame = im.copy() if count > 1 else im
        if color_managed and icc:
            frame = _to_srgb(frame, icc)
        frames.append(_normalise(frame))
    frames = _one_mode(frames)
    animated = len(frames) > 1 and any(durations)
    return Picture(frames, durations if animated else None, im.info.get("loop"),
                   None if color_managed else icc)


def _to_srgb(frame: Image.Image, icc: bytes) -> Image.Image:
    profile = ImageCms.ImageCmsProfile(io.BytesIO(icc))
    space = profile.profile.xcolor_space.strip()
    # Gray profiles are left alone: their images are read as sRGB gray.
    if (space, frame.mode) not in {("RGB", "RGB"), ("RGB", "RGBA"), ("CMYK", "CMYK")}:
        return frame
    out = ImageCms.profileToProfile(frame, profile, _SRGB,
                                    outputMode="RGBA" if frame.mode == "RGBA" else "RGB")
    assert out is not None  # None only for in-place conversions
    return out


def _normalise(im: Image.Image) -> Image.Image:
    """L, LA, RGB or RGBA, without guessing at the range of the values."""
    mode = im.mode
    if mode in ("L", "LA", "RGB", "RGBA"):
        return im
    if mode in _SIXTEEN_BIT:
        # By the depth of the mode, never by the data: v / 257, rounded.
        values = np.asarray(im).astype(np.uint32)
        return Image.fromarray(((values + 128) // 257).astype(np.uint8))
    if mode in ("I", "F"):
        kind = "floating-point" if mode == "F" else "32-bit integer"
        raise ValueError(f"{kind} images have no fixed range; convert to 8 or 16 bits first")
    if mode == "1":
        return im.convert("L")
    if mode == "La":
        return im.convert("LA")
    if mode == "P":
        return im.convert("RGBA" if "transparency" in im.info else "RGB")
    # PA, RGBa, RGBX, CMYK, YCbCr, LAB, HSV and any other colour mode.
    return im.convert("RGBA" if {"A", "a"} & set(im.getbands()) else "RGB")


def _one_mode(frames: list[Image.Image]) -> list[Image.Image]:
    # Animation frames may differ in mode (a GIF's first frame is indexed,
    # later ones RGB); all take the widest, so they are dithered alike.
    modes = {f.mode for f in frames}
    if len(modes) == 1:
        return frames
    color = "RGB" if modes & {"RGB", "RGBA"} else "L"
    mode = color + "A" if modes & {"LA", "RGBA"} else color
    return [f.convert(mode) for f in frames]
