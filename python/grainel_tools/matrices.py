"""Named threshold matrices for ordered dither: blue noise, halftone and line screens.

Every matrix here is a rank matrix, a 2-D integer array holding each of
0 .. N-1 once, which grainel.ordered_dither takes as its `matrix`. Rank 0 is
the cell that stays dark the longest: as a gray gets lighter, cells turn white
from the highest rank down, so in a clustered screen the low ranks are the ink
dot's core.

    grainel.ordered_dither(image, matrix("bluenoise64"))

The module's own Bayer matrices keep their names there ('bayer8x8', ...);
the names here never collide with them.
"""

from __future__ import annotations

from functools import partial
from importlib import resources
from typing import Callable

import numpy as np

from .bluenoise import void_and_cluster

BLUENOISE_SIZES = (16, 32, 64, 128)
SCREEN_SIZES = (4, 6, 8, 12, 16)
LINE_SIZES = (4, 6, 8, 12)
DIAMOND_SIZES = (8, 12, 16)
LINES = {"h": "horizontal", "v": "vertical", "d": "diagonal"}


def bluenoise(size: int = 64, seed: int | None = None) -> np.ndarray:
    """A void-and-cluster blue-noise map of `size` x `size`.

    The standard sizes without a seed come from the files shipped with the
    package, made by tools/make_bluenoise.py with seed 0; anything else is
    generated on the spot (64 x 64 takes a fraction of a second).
    """
    if seed is None and size in BLUENOISE_SIZES:
        with resources.files(__package__).joinpath(f"data/bluenoise{size}.npy").open("rb") as f:
            ranks: np.ndarray = np.load(f, allow_pickle=False)
            return ranks
    return void_and_cluster(size, 0 if seed is None else seed)


def halftone(size: int, angle: int = 45) -> np.ndarray:
    """A clustered-dot screen of round dots, one per cell, grown from its centre.

    The dot is the "Euclidean" one of print: a disc in the highlights, a
    checkerboard at 50 %, white discs in the shadows. At 0 degrees the tile is
    one size x size cell. At 45 degrees (the angle at which the eye notices a
    screen least) the tile holds two dots, one in its middle and one on its
    corners, on a grid turned by 45 degrees; `size` must then be even.
    """
    if angle not in (0, 45) or size < 2 or (angle == 45 and size % 2):
        raise ValueError(f"no {angle} degree screen of size {size}")
    u, v, a, b, dot = _cell_coordinates(size, angle)
    inside = u + v <= size   # the diamond through the cell's edge midpoints
    # Within that diamond, nearer the centre first, which keeps a dot off its
    # neighbours until half cover; beyond it, farther from the corner first,
    # so that the white holes shrink as discs.
    shape = np.where(inside, u * u + v * v, -((size - u) ** 2 + (size - v) ** 2))
    return _screen_ranks(size, a, b, dot, (~inside).astype(int), shape)


def diamond(size: int) -> np.ndarray:
    """A clustered-dot screen of diamond dots on a 0 degree grid of size x size cells.

    The diamonds grow with their tips ahead, and meet the neighbours' tips
    at 50 %. Below 8 x 8 (and at 45 degrees) a diamond drawn in pixels is
    the same set as a round dot, so only the 0 degree screen is offered.
    """
    if size < 2:
        raise ValueError(f"no diamond screen of size {size}")
    u, v, a, b, dot = _cell_coordinates(size, 0)
    near, far = u * u + v * v, (size - u) ** 2 + (size - v) ** 2
    # Tips first at equal size, except on the ring that reaches the cell's
    # edge, where they would touch the neighbours' before half cover; the
    # white holes of the shadows keep their own tips the longest.
    shape = np.where(u + v < size, -near, np.where(u + v == size, near, far))
    return _screen_ranks(size, a, b, dot, u + v, shape)


def _cell_coordinates(size: int, angle: int) -> tuple[np.ndarray, ...]:
    """Every pixel's place in its screen cell.

    In doubled pixel units, so that every centre and boundary is a whole
    number and every comparison between pixels is exact: (a, b) from the
    dot's centre, along the cell's axes; u, v their magnitudes (the cell's
    half-width is `size`); and which of the tile's dots the pixel belongs to.
    """
    y, x = np.mgrid[0:size, 0:size]
    a, b = 2 * x + 1 - size, 2 * y + 1 - size   # from the dot in the middle
    dot = np.zeros_like(a)
    if angle == 45:
        dot = (np.abs(a) + np.abs(b) > size).astype(int)
        a = np.where(dot, a - np.copysign(size, a).astype(int), a)
        b = np.where(dot, b - np.copysign(size, b).astype(int), b)
        a, b = a + b, a - b   # turned by 45 degrees
    return np.abs(a), np.abs(b), a, b, dot


def _screen_ranks(size: int, a: np.ndarray, b: np.ndarray, dot: np.ndarray,
                  grow: np.ndarray, shape: np.ndarray) -> np.ndarray:
    """Ranks by `grow`, then `shape`, then round the dot.

    Pixels equal in both are taken in turn round the dot, each next to the
    last, and both dots of a 45 degree tile alike. Starting from the upper
    right, a half-filled ring grows on two adjacent sides, never on two
    opposite ones that could meet the neighbours' across a cell edge.
    """
    turn = (np.arctan2(b, a) + np.pi / 4) % (2 * np.pi)
    order = np.lexsort([dot.ravel(), turn.ravel(), shape.ravel(), grow.ravel()])
    return _ranks(order, (size, size))


def line_screen(size: int, direction: str = "h") -> np.ndarray:
    """Lines one `size` apart ('h', 'v', or 'd' rising to the right) that thicken with darkness.

    The line grows a row at a time from its middle outwards, and each row
    fills in an evenly spread order, so that the tile gives size * size
    levels rather than `size`.
    """
    if direction not in LINES or size < 2:
        raise ValueError(f"no {direction!r} line screen of size {size}")
    y, x = np.mgrid[0:size, 0:size]
    across = {"h": y, "v": x, "d": (x + y) % size}[direction]
    along = y if direction == "v" else x
    spread = _spread_order(size)
    order = np.lexsort([across.ravel(), spread[along].ravel(),
                        np.abs(2 * across + 1 - size).ravel()])
    return _ranks(order, (size, size))


def _spread_order(n: int) -> np.ndarray:
    """The rank of each of n positions on a circle when each next one is the farthest from those taken.

    Ties go to the farthest from the last one taken, then to the lowest: for
    powers of two this is the bit-reversed order of a Bayer row.
    """
    taken = [0]
    while len(taken) < n:
        def gap(p: int) -> tuple[int, int, int]:
            def dist(q: int) -> int:
                return min((p - q) % n, (q - p) % n)
            return (min(dist(q) for q in taken), dist(taken[-1]), -p)
        taken.append(max((p for p in range(n) if p not in taken), key=gap))
    ranks = np.empty(n, dtype=int)
    ranks[taken] = np.arange(n)
    return ranks


def _ranks(order: np.ndarray, shape: tuple[int, int]) -> np.ndarray:
    ranks = np.empty(order.size, dtype=np.int32)
    ranks[order] = np.arange(order.size)
    return ranks.reshape(shape)


def _named_matrices() -> dict[str, tuple[str, Callable[[], np.ndarray]]]:
    table: dict[str, tuple[str, Callable[[], np.ndarray]]] = {}
    for n in BLUENOISE_SIZES:
        table[f"bluenoise{n}"] = (f"blue noise, {n}x{n}: even grain without a pattern",
                                  partial(bluenoise, n))
    for angle, suffix in ((45, ""), (0, "_0")):
        for n in SCREEN_SIZES:
            cell = f"two dots per {n}x{n} tile" if angle else f"one per {n}x{n} cell"
            table[f"halftone{n}{suffix}"] = (f"round dots, {angle} degree screen, {cell}",
                                             partial(halftone, n, angle))
    for n in DIAMOND_SIZES:
        table[f"diamond{n}"] = (f"diamond dots, 0 degree screen, one per {n}x{n} cell",
                                partial(diamond, n))
    for key, word in LINES.items():
        for n in LINE_SIZES:
            table[f"{key}lines{n}"] = (f"{word} lines, {n} pixels apart",
                                       partial(line_screen, n, key))
    return table


NAMED = _named_matrices()


def is_named(name: str) -> bool:
    return name.lower() in NAMED


def matrix(name: str) -> np.ndarray:
    """The rank matrix of a name listed by describe(); case does not matter."""
    try:
        return NAMED[name.lower()][1]()
    except KeyError:
        raise ValueError(f"unknown matrix {name!r}; valid: {', '.join(NAMED)}") from None


def describe() -> list[str]:
    return [f"{name:<13} {text}" for name, (text, _) in NAMED.items()]


__all__ = ["NAMED", "bluenoise", "halftone", "diamond", "line_screen", "matrix", "is_named", "describe"]
