"""Reading image files as pictures grainel can dither: upright, in sRGB, every frame.

    from grainel_tools import read_image, read_picture
    photo = read_image("photo.jpg")          # the first frame, L / LA / RGB / RGBA
    anim = read_picture("clip.gif")          # all frames, with their timing
"""

from __future__ import annotations

import contextlib
import functools
import io
import os
import struct
import zlib
from dataclasses import dataclass, field, replace
from typing import IO, BinaryIO, Union

import numpy as np
from PIL import ExifTags, Image, ImageCms, ImageOps

from .errors import FileError, reason

Source = Union[str, "os.PathLike[str]", BinaryIO]

# Formats Pillow registers a reader for but cannot decode without outside
# help (stubs for scientific formats, Ghostscript for PostScript).
_UNREADABLE = {"BUFR", "GRIB", "HDF5", "WMF", "EPS", "MPEG"}



@functools.cache
def readable_extensions() -> frozenset[str]:
    """The extensions a folder is searched for; a file named on its own is read whatever its name,
    as Pillow recognises formats by their content.

    Listing them loads every one of Pillow's readers (30 ms, as long as dithering a
    megapixel), so only a folder, or a name that is no file, asks.
    """
    return frozenset(ext for ext, fmt in Image.registered_extensions().items()
                     if fmt in Image.OPEN and fmt not in _UNREADABLE)


def __getattr__(name: str) -> frozenset[str]:
    if name == "READABLE":  # the public name of readable_extensions(), made when first asked for
        return readable_extensions()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

_SIXTEEN_BIT = {"I;16", "I;16L", "I;16B", "I;16N"}
_SRGB = ImageCms.createProfile("sRGB")


@dataclass
class Picture:
    """One image or an animation: frames of one mode (L, LA, RGB or RGBA).

    `durations` (milliseconds per frame) and `loop` (as the file gives it;
    None plays once) describe an animation; `icc_profile` is the colour
    profile the values are in when they were not converted to sRGB.
    `palette`, set by pipeline.dither_picture on a result dithered to a
    palette, holds colours (r, g, b) that every pixel of its RGB frames is
    one of: the writers then index the frames without looking for their
    colours. Frames made otherwise must leave it None.
    """

    frames: list[Image.Image]
    durations: list[int] | None = None
    loop: int | None = None
    icc_profile: bytes | None = field(default=None, repr=False)
    palette: list[tuple[int, int, int]] | None = field(default=None, repr=False)

    def __post_init__(self) -> None:
        # Checked here, where a caller makes one, rather than as an
        # IndexError deep in a writer.
        if self.durations is not None and len(self.durations) != len(self.frames):
            raise ValueError(f"durations holds {len(self.durations)} value(s) for "
                             f"{len(self.frames)} frame(s); give one a frame, or None")

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
    if isinstance(source, (str, os.PathLike)):
        name: object = source
    elif hasattr(source, "read"):
        name = getattr(source, "name", "input")
    else:
        raise TypeError(f"source must be a path or a binary file, not {type(source).__name__}")
    try:
        with Image.open(source) as im:
            if max_pixels and im.width * im.height > max_pixels:
                raise ValueError(f"{im.width}x{im.height} is over the limit of {max_pixels} pixels "
                                 "(--max-pixels)")
            if im.format == "PNG" and getattr(im, "n_frames", 1) == 1:
                # A file of its own: Pillow closes the one it opened once decoded.
                with (open(source, "rb") if isinstance(source, (str, os.PathLike))
                      else contextlib.nullcontext(source)) as data:
                    png = _PngData(data)
                    png.check()
                    im.load()
                    png.check(im)  # before anything reads the rows Pillow did not write
            if im.format == "GIF":
                with (open(source, "rb") if isinstance(source, (str, os.PathLike))
                      else contextlib.nullcontext(source)) as data:
                    _check_gif(data)
            if im.format == "WEBP" and im.mode == "RGB" and getattr(im, "n_frames", 1) > 1:
                return _webp_read_with_alpha(source, color_managed)
            return _read_frames(im, color_managed)
    except (OSError, ValueError, SyntaxError, Image.DecompressionBombError, ImageCms.PyCMSError) as exc:
        raise FileError("reading", name, reason(exc)) from None


def as_image(image: Image.Image | np.ndarray, name: str = "image") -> Image.Image:
    """A PIL image or a uint8 array (as grainel takes and returns them) as an L, LA, RGB or RGBA image."""
    if isinstance(image, np.ndarray):
        if image.dtype != np.uint8:
            raise TypeError(f"{name} must hold uint8 values, not {image.dtype}")
        if image.ndim == 3 and image.shape[2] == 1:
            image = image[..., 0]
        if not (image.ndim == 2 or image.ndim == 3 and 2 <= image.shape[2] <= 4):
            raise ValueError(f"{name} must have the shape (H, W) or (H, W, C) with 1 to 4 "
                             f"channels, not {image.shape}")
        image = Image.fromarray(np.ascontiguousarray(image))
    elif not isinstance(image, Image.Image):
        raise TypeError(f"{name} must be a PIL image or a uint8 array, not {type(image).__name__}")
    if 0 in image.size:
        raise ValueError(f"{name} is empty ({image.width}x{image.height})")
    try:
        return _normalise(image)
    except ValueError as exc:
        raise ValueError(f"{name}: {exc}") from None


# PNG colour type -> samples per pixel
_PNG_SAMPLES = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
# Adam7 interlacing: each pass's first column and row, and its steps
_ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


class _PngData:
    """How many bytes of image data a PNG's header calls for, and how many its IDAT chunks hold."""

    def __init__(self, fp: IO[bytes]) -> None:
        self.fp, self.start = fp, fp.tell()
        fp.seek(16)
        width, self.height, depth, color_type, _, _, self.interlaced = struct.unpack(
            ">IIBBBBB", fp.read(13))
        bits = depth * _PNG_SAMPLES.get(color_type, 1)
        self.row = 1 + -(-width * bits // 8)  # a filter byte, then the packed samples
        self.expected = 0
        for x0, y0, dx, dy in _ADAM7 if self.interlaced else [(0, 0, 1, 1)]:
            columns, rows = -(-(width - x0) // dx), -(-(self.height - y0) // dy)
            if columns > 0 and rows > 0:
                self.expected += rows * (1 + -(-columns * bits // 8))
        self.chunks: list[tuple[int, int]] = []  # where every IDAT chunk's data is, and its length
        fp.seek(33)
        while len(head := fp.read(8)) == 8:
            length, kind = struct.unpack(">I4s", head)
            if kind == b"IDAT":
                self.chunks.append((fp.tell(), length))
            elif kind == b"IEND":
                break
            fp.seek(length + 4, os.SEEK_CUR)
        fp.seek(self.start)

    def could_hold(self) -> bool:
        # Deflate shrinks data at most 1032 to 1; an IDAT stream much shorter
        # than that cannot hold the rows, and is refused before any is decoded.
        return self.expected <= 1032 * sum(length for _, length in self.chunks) + 1024

    def inflated(self) -> int:
        """The length of the image data, inflated a piece at a time and kept nowhere."""
        inflater, got = zlib.decompressobj(), 0
        try:
            for offset, length in self.chunks:
                self.fp.seek(offset)
                while length > 0 and got < self.expected and not inflater.eof:
                    data = self.fp.read(min(length, 1 << 16))
                    length -= len(data)
                    while data and got < self.expected:
                        got += len(inflater.decompress(data, 1 << 20))
                        data = inflater.unconsumed_tail
        except zlib.error:
            return self.expected  # a broken stream is for Pillow's decoder to report
        finally:
            self.fp.seek(self.start)
        return got

    def check(self, decoded: Image.Image | None = None) -> None:
        """Refuse data that ends before the last row, which Pillow would leave black.

        Once `decoded`, rows Pillow never reached hold zeros, so only a last
        row of zeros (and interlaced data, stored out of row order) is worth
        inflating the data once more.
        """
        if decoded is None:
            got = self.expected if self.could_hold() else self.inflated()
        elif self.interlaced or not np.asarray(decoded.crop((0, decoded.height - 1, decoded.width,
                                                               decoded.height))).any():
            got = self.inflated()
        else:
            return
        if got < self.expected:
            rows = "" if self.interlaced or not got else f" after {got // self.row} of {self.height} rows"
            raise ValueError(f"truncated: the image data ends{rows}")


# An LZW code takes 3 bits at least and stands for at most 4096 pixels (the
# size of its table); data shorter than the canvas needs cannot fill it.
_LZW_PIXELS_PER_BYTE = 8 * 4096 // 3


def _check_gif(fp: IO[bytes]) -> None:
    """Refuse a GIF whose image data is too short to fill its canvas, before Pillow allocates it.

    Pillow paints the whole canvas whatever the frames hold: a 37-byte file
    claiming 12000x12000 pixels took seconds and gigabytes to fail.
    """
    start = fp.tell()
    fp.seek(6)
    width, height, flags = struct.unpack("<HHB", fp.read(5))
    needed = -(-width * height // _LZW_PIXELS_PER_BYTE)
    fp.seek(2 + gif_table_length(flags), os.SEEK_CUR)
    held = 0
    while held < needed and (kind := fp.read(1)) in (b"!", b","):
        if kind == b",":
            descriptor = fp.read(9)  # x, y, width, height, flags; then the colour table and LZW code size
            fp.seek(gif_table_length(descriptor[-1] if descriptor else 0) + 1, os.SEEK_CUR)
        else:
            fp.seek(1, os.SEEK_CUR)  # the extension's label
        while (length := fp.read(1)) not in (b"", b"\0"):
            fp.seek(length[0], os.SEEK_CUR)
            if kind == b",":
                held += length[0]
    fp.seek(start)
    if held < needed:
        raise ValueError(f"truncated: its image data, {held} bytes, cannot fill its {width}x{height} canvas")


def gif_table_length(flags: int) -> int:
    """The length of the colour table a GIF's flags byte announces."""
    return 3 << ((flags & 7) + 1) if flags & 0x80 else 0


# The flags byte of a WebP file's VP8X header, and two of its bits
_VP8X_FLAGS, _WEBP_ALPHA, _WEBP_ANIMATED = 20, 0x10, 0x02


def webp_alpha_flagged(data: bytes) -> bytes:
    """An animated WebP file with the header flag set that says some frame has alpha."""
    if data[12:16] != b"VP8X" or not data[_VP8X_FLAGS] & _WEBP_ANIMATED:
        return data
    return data[:_VP8X_FLAGS] + bytes([data[_VP8X_FLAGS] | _WEBP_ALPHA]) + data[_VP8X_FLAGS + 1:]


def _webp_read_with_alpha(source: Source, color_managed: bool) -> Picture:
    """An animated WebP whose header claims no alpha, read with it all the same.

    Its frames are drawn on a transparent canvas, so pixels no frame covers
    stay transparent whatever the flag says; but Pillow decodes a file
    without the flag as RGB, on black, and libwebp's encoder leaves it unset
    when the rectangles it stores are opaque (a box moving over a cleared
    canvas). Frames with no transparent pixel stay RGB.
    """
    with (open(source, "rb") if isinstance(source, (str, os.PathLike))
          else contextlib.nullcontext(source)) as data:
        data.seek(0)
        flagged = webp_alpha_flagged(data.read())
    with Image.open(io.BytesIO(flagged)) as im:
        picture = _read_frames(im, color_managed)
    if not transparent(picture.frames):
        return picture.with_frames([f.convert("RGB") for f in picture.frames])
    return picture


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
    frames = same_mode(frames)
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
        return eight_bit(im)
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


def eight_bit(im: Image.Image) -> Image.Image:
    """16-bit gray as 8-bit L, as grainel scales it; any other image as it is.

    By the depth of the mode, never by the data: v / 257, rounded. Pillow's
    own conversion clips at 255 instead, which turns nearly every value white.
    """
    if im.mode not in _SIXTEEN_BIT:
        return im
    values = np.asarray(im).astype(np.uint32)
    return Image.fromarray(((values + 128) // 257).astype(np.uint8))


def transparent(frames: list[Image.Image]) -> bool:
    """Some pixel of some frame is less than opaque."""
    return any(f.mode.endswith("A") and f.getchannel("A").histogram()[255] < f.width * f.height
               for f in frames)


def same_mode(frames: list[Image.Image]) -> list[Image.Image]:
    # Animation frames may differ in mode (a GIF's first frame is indexed,
    # later ones RGB); all take the widest, so they are dithered alike.
    modes = {f.mode for f in frames}
    if len(modes) == 1:
        return frames
    color = "RGB" if modes & {"RGB", "RGBA"} else "L"
    mode = color + "A" if modes & {"LA", "RGBA"} else color
    return [f.convert(mode) for f in frames]
