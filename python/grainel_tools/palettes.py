"""Named palettes, palette files (GIMP .gpl, .hex) and palettes taken from images.

    from grainel_tools import palettes
    grainel.dither(img, palette=palettes.named("pico8"))
    grainel.dither(img, palette=palettes.read_gpl("mine.gpl"))
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

from .color_arrays import MAX_COLORS, rgb_key
from .errors import PaletteError

if TYPE_CHECKING:  # Pillow is needed only for the palette forms that read images
    from PIL.Image import Image

Color = tuple[int, int, int]


def _hex(*codes: str) -> list[Color]:
    return [(int(c[0:2], 16), int(c[2:4], 16), int(c[4:6], 16)) for c in codes]


def _grays(n: int) -> list[Color]:
    return [(v, v, v) for v in (round(i * 255 / (n - 1)) for i in range(n))]


class Named(NamedTuple):
    description: str
    colors: list[Color]


# The palettes --palette and named() know by name; add an entry here and it
# is listed by `grainel --list` too.
NAMED: dict[str, Named] = {
    "bw": Named("black and white", _hex("000000", "ffffff")),
    "grays4": Named("4 evenly spaced grays", _grays(4)),
    "grays8": Named("8 evenly spaced grays (8-grey e-paper panels)", _grays(8)),
    "grays16": Named("16 evenly spaced grays", _grays(16)),
    "gameboy": Named("the four greens of the original handheld",
                _hex("0f380f", "306230", "8bac0f", "9bbc0f")),
    "rgb8": Named("black, white and the six primaries and secondaries",
             _hex("000000", "ff0000", "00ff00", "0000ff",
                  "00ffff", "ff00ff", "ffff00", "ffffff")),
    "cga": Named("the 16 RGBI colours of CGA text mode",
            _hex("000000", "0000aa", "00aa00", "00aaaa",
                 "aa0000", "aa00aa", "aa5500", "aaaaaa",
                 "555555", "5555ff", "55ff55", "55ffff",
                 "ff5555", "ff55ff", "ffff55", "ffffff")),
    "pico8": Named("the 16 colours of the PICO-8 fantasy console",
              _hex("000000", "1d2b53", "7e2553", "008751",
                   "ab5236", "5f574f", "c2c3c7", "fff1e8",
                   "ff004d", "ffa300", "ffec27", "00e436",
                   "29adff", "83769c", "ff77a8", "ffccaa")),
    "web": Named("the 216 web-safe colours",
            [(r, g, b) for r in range(0, 256, 51)
             for g in range(0, 256, 51) for b in range(0, 256, 51)]),
    # E-paper panels: the colours their drivers expect, so that each
    # dithered pixel maps to one ink exactly; black-and-white panels take
    # "bw". Gray levels as in Waveshare's e-Paper driver library for its
    # 4-gray panels (GRAY1..GRAY4 = 0xff, 0xc0, 0x80, 0x00).
    "epd_gray4": Named("4-gray e-paper panels (Waveshare 4-gray driver levels)",
                       _hex("000000", "808080", "c0c0c0", "ffffff")),
    # Black/white/red panels: their three inks, which Waveshare's driver
    # library for its "B" models takes as a black and a red image plane.
    "epd_bwr": Named("black/white/red 3-colour e-paper panels",
                     _hex("000000", "ffffff", "ff0000")),
    # 7-colour ACeP panels (E Ink Gallery, e.g. the 5.65" and 7.3" "F"
    # models), in the order and values of the palette Waveshare's driver
    # library quantises to (epd5in65f, epd7in3f).
    "acep7": Named("7-colour ACeP e-paper: black, white, green, blue, red, yellow, orange",
                   _hex("000000", "ffffff", "00ff00", "0000ff", "ff0000", "ffff00", "ff8000")),
    # 6-colour E Ink Spectra 6 panels, as in Waveshare's driver library for
    # its "E" models (epd7in3e, epd4in0e): its palette less the unused slot.
    "spectra6": Named("6-colour Spectra 6 e-paper: black, white, yellow, red, blue, green",
                      _hex("000000", "ffffff", "ffff00", "ff0000", "0000ff", "00ff00")),
}


def _lookup_key(name: str) -> str:
    # As grainel reads method names: "Pico-8", "epd-bwr" and "EPD BWR" all name a palette.
    return "".join(c for c in name.lower() if c not in "-_ ")


_NAME_BY_KEY = {_lookup_key(name): name for name in NAMED}


def named(name: str) -> list[Color]:
    """The colours of a named palette (see NAMED); case, '-', '_' and spaces are ignored."""
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    try:
        return list(NAMED[_NAME_BY_KEY[_lookup_key(name)]].colors)
    except KeyError:
        raise PaletteError(f"unknown palette {name!r}; named palettes: {', '.join(NAMED)}") from None


def resolve(value: str) -> list[Color] | list[Color | str]:
    """Turn a --palette value into something grainel's palette= accepts.

    Named palettes win over files so that 'web' never depends on the current
    directory; hex strings are left for grainel to validate so that its own
    messages reach the user.
    """
    if _lookup_key(value) in _NAME_BY_KEY:
        return named(value)
    path = Path(value)
    if path.is_file():
        suffix = path.suffix.lower()
        if suffix == ".gpl":
            return read_gpl(path)
        if suffix == ".hex":
            return read_hex(path)
        if suffix == ".pal":
            return read_pal(path)
        if suffix == ".txt":
            return read_paint_net(path)
        return from_image_file(path)
    if "," in value or value.lstrip().startswith("#"):
        return [_named_color(item) for item in value.replace(",", " ").split()]
    from .pictures import readable_extensions

    if path.suffix.lower() in {".gpl", ".hex", ".pal", ".txt", *readable_extensions()} or os.sep in value:
        raise PaletteError(f"{value}: {'a folder' if path.is_dir() else 'no such file'}, "
                           "where a palette file or image was expected")
    raise PaletteError(
        f"unknown palette {value!r}: not a named palette ({', '.join(NAMED)}), "
        "a palette file or a list of hex colours like '#000,#fff'")


def _named_color(item: str) -> Color | str:
    """A CSS colour name ('white', 'rebeccapurple') as its colour; hex and anything
    else stay text, which grainel reads with its own messages."""
    if item.startswith("#"):
        return item
    from PIL import ImageColor

    try:
        r, g, b = ImageColor.getrgb(item)[:3]
    except ValueError:
        return item
    return r, g, b


def _lines(path: str | os.PathLike[str]) -> list[str]:
    # utf-8-sig: editors on some systems start the file with a byte-order mark.
    try:
        return Path(path).read_text(encoding="utf-8-sig", errors="replace").splitlines()
    except OSError as exc:
        raise PaletteError(f"{path}: {exc.strerror or exc}") from None


def read_gpl(path: str | os.PathLike[str]) -> list[Color]:
    """The colours of a GIMP palette file, in file order."""
    lines = _lines(path)
    if not lines or lines[0].strip() != "GIMP Palette":
        raise PaletteError(f"{path}: not a GIMP palette (no 'GIMP Palette' header)")
    colors: list[Color] = []
    for number, line in enumerate(lines[1:], start=2):
        text = line.strip()
        if not text or text.startswith("#") or text.split(":")[0] in ("Name", "Columns"):
            continue
        colors.append(_decimal_rgb(path, number, text, "R G B [name]"))
    return colors


def _decimal_rgb(path: str | os.PathLike[str], number: int, text: str, form: str) -> Color:
    """A line that starts with three decimal values from 0 to 255; what follows is ignored."""
    try:
        r, g, b = (int(v) for v in text.split()[:3])
    except ValueError:
        raise PaletteError(f"{path}: line {number}: expected '{form}', got {text!r}") from None
    if not all(0 <= v <= 255 for v in (r, g, b)):
        raise PaletteError(f"{path}: line {number}: {r} {g} {b} is out of range (0 to 255)")
    return r, g, b


def read_pal(path: str | os.PathLike[str]) -> list[Color]:
    """The colours of a .pal file, in file order: JASC's text palette (Paint Shop Pro,
    Aseprite, many pixel-art tools) or Microsoft's binary RIFF palette."""
    try:
        data = Path(path).read_bytes()
    except OSError as exc:
        raise PaletteError(f"{path}: {exc.strerror or exc}") from None
    if data[:4] == b"RIFF" and data[8:12] == b"PAL ":
        return _riff_colors(path, data)
    lines = data.decode("utf-8-sig", errors="replace").splitlines()
    if not lines or lines[0].strip() != "JASC-PAL":
        raise PaletteError(f"{path}: not a JASC palette ('JASC-PAL' header) or a RIFF palette")
    count_text = lines[2].strip() if len(lines) > 2 else ""
    if not count_text.isdigit():
        raise PaletteError(f"{path}: line 3: expected the number of colours, got {count_text!r}")
    colors = [_decimal_rgb(path, number, line.strip(), "R G B")
              for number, line in enumerate(lines[3:], start=4) if line.strip()]
    if len(colors) != int(count_text):
        raise PaletteError(f"{path}: the header says {int(count_text)} colours, the file holds {len(colors)}")
    return colors


def _riff_colors(path: str | os.PathLike[str], data: bytes) -> list[Color]:
    # RIFF 'PAL ': a 'data' chunk of a version, a count and four bytes a colour
    # (red, green, blue, flags), each field little-endian.
    at = 12
    while at + 8 <= len(data):
        kind, size = data[at:at + 4], int.from_bytes(data[at + 4:at + 8], "little")
        if kind == b"data" and size >= 4:
            count = int.from_bytes(data[at + 10:at + 12], "little")
            entries = data[at + 12:at + 12 + 4 * count]
            if len(entries) == 4 * count:
                return [(entries[i], entries[i + 1], entries[i + 2]) for i in range(0, 4 * count, 4)]
            break
        at += 8 + size + (size & 1)
    raise PaletteError(f"{path}: a RIFF palette without a whole 'data' chunk")


def read_paint_net(path: str | os.PathLike[str]) -> list[Color]:
    """The colours of a paint.net palette (.txt): one 'AARRGGBB' (or 'RRGGBB') a line, in
    file order; lines starting with ';' are comments, and alpha is not a palette's."""
    colors: list[Color] = []
    for number, line in enumerate(_lines(path), start=1):
        text = line.strip()
        if not text or text.startswith(";"):
            continue
        code = text.lower()
        if len(code) not in (6, 8) or code.strip("0123456789abcdef"):
            raise PaletteError(f"{path}: line {number}: {text!r} is not a colour like 'FFFF8000'")
        colors += _hex(code[-6:])
    return colors


def read_hex(path: str | os.PathLike[str]) -> list[Color]:
    """The colours of a .hex file: one a line, 'rrggbb' or 'rgb', '#' optional; blank lines are skipped."""
    colors: list[Color] = []
    for number, line in enumerate(_lines(path), start=1):
        text = line.strip()
        code = text.removeprefix("#").lower()
        if not text:
            continue
        if len(code) not in (3, 6) or code.strip("0123456789abcdef"):
            raise PaletteError(f"{path}: line {number}: {text!r} is not a hex colour like '#ff8000'")
        if len(code) == 3:
            code = "".join(c * 2 for c in code)
        colors += _hex(code)
    return colors


def write_palette(colors: Iterable[Sequence[int]], path: str | os.PathLike[str], *,
                  replace: bool = False) -> None:
    """Write colours as a GIMP palette (.gpl) or one hex colour a line (.hex), never half-written.

    Both read back as the same colours in the same order (read_gpl, read_hex).
    """
    from .writing import write_data

    rows = [tuple(int(v) for v in rgb) for rgb in colors]
    suffix = Path(path).suffix.lower()
    if suffix == ".gpl":
        lines = ["GIMP Palette", f"Name: {Path(path).stem}", "#"]
        lines += [f"{r:3d} {g:3d} {b:3d}\t#{r:02x}{g:02x}{b:02x}" for r, g, b in rows]
    elif suffix == ".hex":
        lines = [f"{r:02x}{g:02x}{b:02x}" for r, g, b in rows]
    else:
        raise PaletteError(f"{path}: a palette is written as .gpl or .hex, not {suffix or 'no extension'}")
    write_data(("\n".join(lines) + "\n").encode(), path, replace=replace)


def from_image_file(path: str | os.PathLike[str]) -> list[Color]:
    """The colours of a palette image file (see from_image)."""
    from PIL import Image, UnidentifiedImageError

    try:
        with Image.open(path) as im:
            return from_image(im)
    except UnidentifiedImageError:
        raise PaletteError(f"{path}: not a palette file (.gpl, .hex, .pal, .txt) or an image") from None
    except OSError as exc:
        raise PaletteError(f"{path}: {exc.strerror or exc}") from None


def from_image(im: Image | np.ndarray) -> list[Color]:
    """The distinct colours of a palette image (a PIL image or a uint8 array).

    A "P" image already carries an ordered palette, so its used entries are
    taken in palette order; any other image gives its colours in the order in
    which they first appear, scanning rows top to bottom. Fully transparent
    pixels carry no colour and are skipped.
    """
    from PIL.Image import Image as PILImage

    if isinstance(im, PILImage) and im.mode == "P" and "transparency" not in im.info:
        indices = np.unique(np.asarray(im)).tolist()
        entries = im.getpalette() or []
        return [(entries[3 * i], entries[3 * i + 1], entries[3 * i + 2]) for i in indices]
    from .pictures import as_image

    rgba = np.asarray(as_image(im, "im").convert("RGBA")).reshape(-1, 4)
    rgba = rgba[rgba[:, 3] > 0]
    _, first = np.unique(rgb_key(rgba), return_index=True)
    # More colours than grainel takes: refused here, with a message that
    # names the file rather than the library's.
    if len(first) > MAX_COLORS:
        name = getattr(im, "filename", "") or "palette image"
        raise PaletteError(f"{name}: {len(first)} distinct colours, at most {MAX_COLORS} allowed")
    return [(int(r), int(g), int(b)) for r, g, b in rgba[sorted(first), :3]]


def adaptive(im: Image | np.ndarray, count: int) -> list[Color]:
    """A palette of 2 to 256 colours fitted to one image (PIL or array) by Pillow's quantiser.

    Quantising without dither only picks the colours; the dithering itself is
    left to grainel. A flat image yields fewer colours than asked for; its
    lone colour is paired with black or white, whichever is farther, since
    grainel needs two, and a flat image dithered to the pair keeps its colour.
    """
    from .pictures import as_image

    if not isinstance(count, int) or isinstance(count, bool):
        raise TypeError(f"count must be an int, not {type(count).__name__}")
    if not 2 <= count <= 256:
        raise ValueError(f"count must be from 2 to 256 (Pillow's quantiser), got {count}")
    from PIL.Image import Dither

    quantized = as_image(im, "im").convert("RGB").quantize(colors=count, dither=Dither.NONE)
    colors = from_image(quantized)
    if len(colors) == 1:
        colors.append((0, 0, 0) if sum(colors[0]) > 382 else (255, 255, 255))
    return colors


def describe() -> list[str]:
    """One line per named palette, for --list."""
    return [f"{name:<9} {len(colors):>4} colours  {text}"
            for name, (text, colors) in NAMED.items()]


__all__ = ["NAMED", "Named", "PaletteError", "named", "resolve", "read_gpl", "read_hex", "read_pal",
           "read_paint_net", "from_image", "from_image_file", "adaptive", "describe", "write_palette"]
