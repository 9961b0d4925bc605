"""A PNG writer for dithered pictures: rows packed to their bit depth, unfiltered.

Pillow's writer filters the rows of packed (1-, 2- and 4-bit) images, which
only adds noise to noise: a 16-colour dithered photo came out a quarter
larger than the same rows left unfiltered, and slower to make. PNG's filters
predict smooth tones; dithered pixels with few levels have none to predict
(formats.py leaves pictures with many levels to Pillow).
"""

from __future__ import annotations

import struct
import zlib
from typing import BinaryIO

import numpy as np
from PIL import Image

# zlib level 6 is the lowest whose files are no larger than ImageMagick's for
# the same pixels; on 16-colour dithered photos (bench/batch.py) level 1 is four
# times quicker but 10 % larger, level 9 four times slower for 1 % less.
LEVEL = 6

try:
    # libdeflate writes the same format, as small at its level 5 as zlib at 6
    # in a third of the time; compressing is most of what saving costs.
    from deflate import zlib_compress  # type: ignore[import-not-found, unused-ignore]

    def compress(data: bytes) -> bytes:
        return bytes(zlib_compress(data, 5))
except ImportError:
    def compress(data: bytes) -> bytes:
        return zlib.compress(data, LEVEL)

# mode -> PNG colour type
_COLOR_TYPES = {"1": 0, "L": 0, "P": 3, "LA": 4, "RGB": 2, "RGBA": 6}


def write_png(stream: BinaryIO, image: Image.Image, *, gray_bits: int = 8, alphas: bytes | None = None,
              icc_profile: bytes | None = None) -> None:
    """Write a picture in mode 1, L (`gray_bits` 2 or 4 for evenly spaced grays), P, LA, RGB or RGBA."""
    mode, (width, height) = image.mode, image.size
    if mode == "1":
        depth, rows = 1, np.frombuffer(image.tobytes(), np.uint8).reshape(height, -1)
    elif mode == "L" and gray_bits < 8:
        depth, rows = gray_bits, _packed(np.asarray(image) // (255 // ((1 << gray_bits) - 1)), gray_bits)
    elif mode == "P":
        colors = len(image.getpalette() or []) // 3
        depth = next(bits for bits in (1, 2, 4, 8) if colors <= 1 << bits)
        rows = _packed(np.asarray(image), depth)
    else:
        depth, rows = 8, np.asarray(image).reshape(height, -1)
    scanlines = np.zeros((height, rows.shape[1] + 1), np.uint8)  # a 0 before each row: no filter
    scanlines[:, 1:] = rows
    stream.write(b"\x89PNG\r\n\x1a\n")
    _chunk(stream, b"IHDR", struct.pack(">IIBBBBB", width, height, depth, _COLOR_TYPES[mode], 0, 0, 0))
    if icc_profile:
        _chunk(stream, b"iCCP", b"ICC Profile\0\0" + zlib.compress(icc_profile))
    if mode == "P":
        _chunk(stream, b"PLTE", bytes(image.getpalette() or []))
        if alphas is not None:
            _chunk(stream, b"tRNS", alphas)
    _chunk(stream, b"IDAT", compress(scanlines.tobytes()))
    _chunk(stream, b"IEND", b"")


def _packed(values: np.ndarray, bits: int) -> np.ndarray:
    """Rows of small values packed `bits` to a value, the first in the high bits."""
    if bits == 8:
        return values
    per_byte = 8 // bits
    height, width = values.shape
    padded = np.zeros((height, -(-width // per_byte) * per_byte), np.uint8)
    padded[:, :width] = values
    groups = padded.reshape(height, -1, per_byte)
    out = np.zeros(groups.shape[:2], np.uint8)
    for i in range(per_byte):
        out |= groups[:, :, i] << (8 - bits * (i + 1))
    return out


def _chunk(stream: BinaryIO, kind: bytes, data: bytes) -> None:
    stream.write(struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data)))
