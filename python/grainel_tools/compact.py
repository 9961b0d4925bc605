"""The smallest mode that holds a dithered picture exactly.

A dithered image has few distinct colours, so storing it as 8-bit gray or
24-bit RGB wastes most of every byte: two gray levels fit in one bit, a
16-colour palette in four, and a smaller file is also quicker to write.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from PIL import Image

from . import _native

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
    table = np.array(entries, dtype=np.uint8)
    rgb = table[:, :1].repeat(3, axis=1) if table.shape[1] <= 2 else table[:, :3]
    alphas = table[:, -1] if table.shape[1] in (2, 4) else None
    indexed = []
    for frame in frames:
        index = _places(frame, table)
        assert index is not None, "the entries are the frames' own colours"
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
    indexed = []
    for i, frame in enumerate(rgbs):
        index = _places(frame, palette)
        if index is None:
            return None
        if alphas is not None:
            entries = np.frombuffer(index, np.uint8).reshape(alphas[i].shape)
            index = np.where(alphas[i] == 0, np.uint8(len(palette)), entries).tobytes()
        indexed.append(Image.frombuffer("P", frame.size, index, "raw", "P", 0, 1))
    table = palette.tobytes() + (bytes(3) if alphas is not None else b"")
    transparency = None if alphas is None else bytes([255] * len(palette) + [0])
    for im in indexed:
        im.putpalette(table)
        if transparency is not None:
            im.info["transparency"] = transparency
    return Compact(indexed, alphas=transparency)


def _places(frame: Image.Image, entries: np.ndarray) -> bytes | None:
    """Each pixel's place among `entries` (the first of equal ones), or None where one is none."""
    pixels = np.asarray(frame)
    channels = 1 if pixels.ndim == 2 else pixels.shape[2]
    return _native.palette_indices(pixels.reshape(*pixels.shape[:2], channels), np.ascontiguousarray(entries))
