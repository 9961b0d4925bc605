"""The smallest mode that holds a dithered picture exactly.

A dithered image has few distinct colours, so storing it as 8-bit gray or
24-bit RGB wastes most of every byte: two gray levels fit in one bit, a
16-colour palette in four, and a smaller file is also quicker to write.
"""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from PIL import Image

Entry = tuple[int, ...]


@dataclass
class Compact:
    """Frames in mode 1, L, P, LA, RGB or RGBA, equal pixel for pixel to the input.

    `gray_bits` is 2 or 4 for an L picture whose values are that depth's
    evenly spaced grays (PNG stores those exactly); `alphas` gives the alpha
    of each palette entry of a P picture that is not wholly opaque.
    """

    frames: list[Image.Image]
    gray_bits: int = 8
    alphas: bytes | None = None

    @property
    def mode(self) -> str:
        return self.frames[0].mode


def compact(frames: list[Image.Image], palette: Sequence[Sequence[int]] | None = None) -> Compact:
    """The smallest exact form of frames that share one mode (L, LA, RGB, RGBA).

    `palette` lists colours that every pixel of RGB(A) frames is known to be
    one of (a result dithered to that palette): the frames are then indexed
    by it, in its own order, so that index i in the file is the palette's
    colour i. A palette of 2, 4 or 16 evenly spaced grays, darkest first,
    is already that order as gray values, in a form without a palette.
    """
    if palette is not None and frames[0].mode in ("RGB", "RGBA"):
        table = np.asarray(palette, np.uint8).reshape(-1, 3)
        if not _gray_levels(table):
            indexed = _indexed_by(frames, table)
            if indexed is not None:
                return indexed
    if frames[0].mode in ("LA", "RGBA"):
        frames = [_cleared(f) for f in frames]
    entries = _distinct(frames)
    if entries is None:  # more than 256 colours: only the full mode holds them
        return Compact(frames)
    mode = frames[0].mode
    if mode.endswith("A") and all(e[-1] == 255 for e in entries):
        mode, entries = mode[:-1], sorted({e[:-1] for e in entries})
        frames = [f.convert(mode) for f in frames]
    if mode == "RGB" and all(r == g == b for r, g, b in entries):
        # Pillow's RGB-to-L weights add up to exactly one: a gray stays itself.
        mode, entries = "L", sorted({e[:1] for e in entries})
        frames = [f.convert("L") for f in frames]
    if mode == "L":
        values = {e[0] for e in entries}
        if values <= {0, 255}:
            return Compact([f.convert("1", dither=Image.Dither.NONE) for f in frames])
        for bits in (2, 4):
            if all(v % (255 // ((1 << bits) - 1)) == 0 for v in values):
                return Compact(frames, gray_bits=bits)
        if len(values) > 16:  # 8-bit indices would be no smaller than 8-bit gray
            return Compact(frames)
    return _indexed(frames, entries)


def _gray_levels(palette: np.ndarray) -> bool:
    count = len(palette)
    if count not in (2, 4, 16):
        return False
    levels = np.arange(count) * (255 // (count - 1))
    return bool((palette == levels[:, None]).all())


def _cleared(frame: Image.Image) -> Image.Image:
    """The frame with every fully transparent pixel made (0, 0, 0, 0): what a transparent
    pixel's colour was cannot be seen, and as one value they take one palette entry."""
    pixels = np.array(frame)
    hidden = pixels[..., -1] == 0
    if not hidden.any() or not pixels[hidden].any():
        return frame
    pixels[hidden] = 0
    return Image.fromarray(pixels, frame.mode)


def _distinct(frames: list[Image.Image]) -> list[Entry] | None:
    seen: set[Entry] = set()
    for frame in frames:
        colors = frame.getcolors(256)
        if colors is None:
            return None
        seen.update(c if isinstance(c, tuple) else (int(c),) for _, c in colors)
        if len(seen) > 256:
            return None
    return sorted(seen)


def _indexed(frames: list[Image.Image], entries: list[Entry]) -> Compact:
    table = np.array([entries], dtype=np.uint8)
    rgb = table[0, :, :1].repeat(3, axis=1) if table.shape[2] <= 2 else table[0, :, :3]
    alphas = table[0, :, -1] if table.shape[2] in (2, 4) else None
    indexed = []
    for frame in frames:
        im = _quantized(frame, rgb) if alphas is None and frame.mode == "RGB" else None
        if im is None:
            index = _index_of(np.asarray(frame), _keys(table)[0])
            im = Image.frombuffer("P", frame.size, index, "raw", "P", 0, 1)
        im.putpalette(rgb.tobytes())
        if alphas is not None:
            im.info["transparency"] = alphas.tobytes()
        indexed.append(im)
    return Compact(indexed, alphas=None if alphas is None else alphas.tobytes())


def _indexed_by(frames: list[Image.Image], palette: np.ndarray) -> Compact | None:
    """The frames indexed by `palette`, entry for entry, or None where it cannot hold them.

    Panel drivers and game engines read a file's indices, not its colours:
    every entry stays where the palette has it, used or not, repeats
    included, and a pixel takes the first entry of its colour. Fully
    transparent pixels take one more entry after the palette's; partly
    transparent ones need an entry per colour and alpha, which the general
    form gives.
    """
    colors, first = np.unique(palette, axis=0, return_index=True)
    rgbs, alphas = frames, None
    if frames[0].mode == "RGBA":
        alphas = [np.asarray(f.getchannel("A")) for f in frames]
        if not all(np.isin(a, (0, 255)).all() for a in alphas):
            return None
        rgbs = [f.convert("RGB") for f in frames]
        if all(a.all() for a in alphas):
            alphas = None
    if len(palette) + (alphas is not None) > 256:
        return None
    to_entry = np.zeros(256, np.uint8)
    to_entry[:len(colors)] = first
    indexed = []
    for i, frame in enumerate(rgbs):
        pixels = np.asarray(frame)
        im = _quantized(frame, colors)
        index = np.asarray(im) if im is not None else _index_of(pixels, _keys(colors[None])[0])
        if not _shows(colors, index, pixels):
            return None
        entries = to_entry[index]
        if alphas is not None:
            entries = np.where(alphas[i] == 0, np.uint8(len(palette)), entries)
        indexed.append(Image.frombuffer("P", frame.size, np.ascontiguousarray(entries), "raw", "P", 0, 1))
    table = palette.tobytes() + (bytes(3) if alphas is not None else b"")
    transparency = None if alphas is None else bytes([255] * len(palette) + [0])
    for im in indexed:
        im.putpalette(table)
        if transparency is not None:
            im.info["transparency"] = transparency
    return Compact(indexed, alphas=transparency)


def _shows(colors: np.ndarray, index: np.ndarray, pixels: np.ndarray, rows: int = 256) -> bool:
    """Whether `index` into `colors` gives every pixel, checked a band of rows at a time: whole,
    the check of a 2048 x 2048 picture would hold two more copies of it."""
    return all(np.array_equal(colors[index[y:y + rows]], pixels[y:y + rows]) for y in range(0, len(pixels), rows))


def _quantized(frame: Image.Image, rgb: np.ndarray) -> Image.Image | None:
    """Pillow's own mapping to the palette, when it maps every pixel to its own colour.

    It is several times quicker than ours, but answers from a cache of 6-bit
    colour cells, so entries closer than that can be confused. Without
    dither it maps each pixel by its colour alone, so a row holding each
    entry once shows how every pixel of the frame maps; a confusion falls
    back to the table lookup below.
    """
    palette = Image.new("P", (1, 1))
    palette.putpalette(rgb.tobytes())
    entries = Image.frombytes("RGB", (len(rgb), 1), rgb.tobytes())
    mapped = np.asarray(entries.quantize(palette=palette, dither=Image.Dither.NONE))
    if not np.array_equal(mapped[0], np.arange(len(rgb))):
        return None
    return frame.quantize(palette=palette, dither=Image.Dither.NONE)


def _keys(pixels: np.ndarray) -> np.ndarray:
    """One integer per pixel that tells its colour (and alpha) apart from every other."""
    if pixels.ndim == 3 and pixels.shape[2] == 1:
        pixels = pixels[..., 0]
    if pixels.ndim == 2:
        return pixels
    if pixels.shape[2] != 4:
        padded = np.zeros(pixels.shape[:2] + (4,), np.uint8)
        padded[..., :pixels.shape[2]] = pixels
        pixels = padded
    return np.ascontiguousarray(pixels).view(np.uint32)[..., 0]


def _index_of(pixels: np.ndarray, entry_keys: np.ndarray, rows: int = 256) -> np.ndarray:
    """The entry index of every pixel, through a table indexed by its key or by key % m.

    For packed colours, m is the first modulus that keeps the (at most 256)
    entries apart; from 2n^2 on a few tries find one, and the table stays
    in cache. The keys are made a band of rows at a time: for a whole
    2048 x 2048 picture they and their moduli would take 32 MiB more.
    """
    count = len(entry_keys)
    if entry_keys.dtype == np.uint8:  # grey levels: the key is its own slot
        def slot(keys: np.ndarray) -> np.ndarray:
            return keys
        table = np.zeros(256, np.uint8)
    else:
        modulus = next(m for m in itertools.count(2 * count * count + 1)
                       if len(np.unique(entry_keys % np.uint32(m))) == count)

        def slot(keys: np.ndarray) -> np.ndarray:
            return keys % np.uint32(modulus)
        table = np.zeros(modulus, np.uint8)
    table[slot(entry_keys)] = np.arange(count)
    return np.concatenate([table[slot(_keys(pixels[y:y + rows]))] for y in range(0, len(pixels), rows)])
