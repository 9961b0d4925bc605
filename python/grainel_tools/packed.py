"""The files panel drivers read: palette indices packed 1, 2, 4 or 8 bits a pixel, raw or as a C header.

    from grainel_tools.packed import pack, unpack
    data = pack(indices, 4)                       # two pixels a byte, the first in the high bits
    assert (unpack(data, 800, 480, 4) == indices).all()

A microcontroller sends a panel its frame buffer as it is: each pixel the
index of its colour in the panel's order, rows top to bottom. Rows start on
a byte unless `pad_rows` is off; `msb_first` puts the leftmost pixel of a
byte in its most significant bits, as most panel controllers take it.
"""

from __future__ import annotations

import re

import numpy as np

from .errors import FormatError
from .panels import color_indices
from .pictures import Picture

DEPTHS = (1, 2, 4, 8)


def _check(width: int, bits: int, pad_rows: bool) -> None:
    if bits not in DEPTHS:
        raise ValueError(f"bits must be one of {', '.join(map(str, DEPTHS))}, got {bits}")
    if not pad_rows and width * bits % 8:
        raise FormatError(f"a row of {width} pixels at {bits} bit{'s' if bits > 1 else ''} a pixel is {width * bits} bits, "
                          f"not whole bytes: give a width that is a multiple of {8 // bits}, or pad "
                          "each row to a whole byte (--row-padding)")


def pack(indices: np.ndarray, bits: int, *, msb_first: bool = True, pad_rows: bool = True) -> bytes:
    """(H, W) uint8 indices, each below 2**bits, packed `bits` to a pixel."""
    height, width = indices.shape
    _check(width, bits, pad_rows)
    if indices.size and int(indices.max()) >> bits:
        raise FormatError(f"index {int(indices.max())} does not fit in {bits} bits")
    per_byte = 8 // bits
    rows = indices if pad_rows else indices.reshape(1, -1)
    padded = np.zeros((rows.shape[0], -(-rows.shape[1] // per_byte) * per_byte), np.uint8)
    padded[:, :rows.shape[1]] = rows
    groups = padded.reshape(rows.shape[0], -1, per_byte)
    shifts = np.arange(per_byte, dtype=np.uint8) * bits
    if msb_first:
        shifts = shifts[::-1]
    return bytes(np.bitwise_or.reduce(groups << shifts, axis=2).astype(np.uint8).tobytes())


def unpack(data: bytes, width: int, height: int, bits: int, *, msb_first: bool = True,
           pad_rows: bool = True) -> np.ndarray:
    """The (H, W) indices of a packed buffer, as pack() wrote them."""
    _check(width, bits, pad_rows)
    per_byte = 8 // bits
    row_bytes = -(-width // per_byte) if pad_rows else width * height // per_byte
    rows = np.frombuffer(data, np.uint8).reshape(-1, row_bytes)
    shifts = np.arange(per_byte, dtype=np.uint8) * bits
    if msb_first:
        shifts = shifts[::-1]
    values = (rows[:, :, None] >> shifts) & np.uint8((1 << bits) - 1)
    return values.reshape(rows.shape[0], -1)[:, :width * (1 if pad_rows else height)].reshape(height, width)


def c_name(stem: str) -> str:
    """The C name a header's array and macros are named after: the file's stem, as an identifier.

    Named after the file, the headers of two pictures can go into one program.
    """
    name = re.sub(r"\W", "_", stem, flags=re.ASCII).strip("_") or "image"
    return f"image_{name}" if name[0].isdigit() else name


def c_header(data: bytes, width: int, height: int, bits: int, *, msb_first: bool = True,
             pad_rows: bool = True, name: str = "image") -> bytes:
    """A C header holding the packed bytes as the array `name`_data, with the size and depth as
    macros `NAME`_WIDTH, _HEIGHT and _BITS."""
    order = "most" if msb_first else "least"
    rows = "each row padded to whole bytes" if pad_rows else "rows not padded"
    macro = name.upper()
    lines = [f"/* {width} x {height} pixels, {bits} bit(s) a pixel, the first pixel of a byte in "
             f"its {order} significant bits, {rows}: palette indices, rows top to bottom */",
             "#pragma once", "#include <stdint.h>", "",
             f"#define {macro}_WIDTH {width}", f"#define {macro}_HEIGHT {height}", f"#define {macro}_BITS {bits}",
             "", f"static const uint8_t {name}_data[{len(data)}] = {{"]
    for at in range(0, len(data), 16):
        lines.append("    " + " ".join(f"0x{v:02x}," for v in data[at:at + 16]))
    lines.append("};")
    return ("\n".join(lines) + "\n").encode()


def depth_for(count: int) -> int:
    """The fewest bits of DEPTHS that hold `count` indices."""
    return next(bits for bits in DEPTHS if count <= 1 << bits)


def picture_indices(picture: Picture, bits: int | None) -> tuple[np.ndarray, int]:
    """The indices of a one-frame picture and the depth they are packed at (`bits`, or the fewest
    that hold them): by its palette when it was dithered to one, else by its grey level."""
    frame = picture.frames[0]
    if picture.palette is not None and frame.mode in ("RGB", "RGBA"):
        pixels = np.asarray(frame)
        if frame.mode == "RGBA" and not pixels[..., 3].all():
            raise FormatError("packed indices hold no transparency; flatten it with --background")
        table = np.asarray(picture.palette, np.uint8).reshape(-1, 3)
        depth = depth_for(len(table)) if bits is None else bits
        if len(table) > 1 << depth:
            raise FormatError(f"{depth} bit{'s' if depth > 1 else ''} a pixel hold{'' if depth > 1 else 's'} "
                              f"{1 << depth} colours, the palette has {len(table)}")
        return color_indices(pixels[..., :3], table, "palette's"), depth
    if frame.mode not in ("1", "L"):
        raise FormatError("packed indices need a palette (--palette or --panel) or grey levels (--levels)")
    values = np.asarray(frame.convert("L"), np.int32)
    levels = np.unique(values)
    for depth in DEPTHS if bits is None else (bits,):
        top = (1 << depth) - 1
        if not (levels * top % 255).any():
            return (values * top // 255).astype(np.uint8), depth
    raise FormatError(f"the grey values are not the {1 << (bits or 8)} even levels of {bits or 8} bits a pixel; give "
                      "the panel's greys as a palette (--palette) to pack them by index")


def encoded(picture: Picture, bits: int | None, *, header: bool, msb_first: bool = True,
            pad_rows: bool = True, stem: str = "image") -> bytes:
    """A one-frame picture as packed indices (`bits` None: the fewest that hold them), or a C header
    named after the file's `stem`."""
    indices, depth = picture_indices(picture, bits)
    height, width = indices.shape
    data = pack(indices, depth, msb_first=msb_first, pad_rows=pad_rows)
    if not header:
        return data
    return c_header(data, width, height, depth, msb_first=msb_first, pad_rows=pad_rows, name=c_name(stem))
