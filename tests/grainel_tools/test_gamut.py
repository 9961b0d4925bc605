"""Colours beyond a palette's hull moved to the nearest it can show: by a panel's tone map, and
before the command line remaps to a few fitted colours."""

from itertools import combinations

import numpy as np
import pytest

from grainel_tools import panels
from grainel_tools.gamut import into_hull, oklab
from grainel_tools.srgb import LINEAR, srgb_bytes
from grainel_tools.tone import tone_map

RNG = np.random.default_rng(43)


# Sixteen colours fitted to a glow, from deep violet to pale gold: a long, thin hull of many
# small faces, where those a colour lies furthest beyond need not hold its nearest point.
GLOW = [(20, 6, 61), (60, 50, 68), (84, 73, 74), (104, 91, 80), (120, 106, 86), (132, 117, 91), (144, 128, 95),
        (154, 137, 100), (163, 145, 104), (172, 153, 107), (181, 161, 112), (189, 169, 116), (199, 178, 120),
        (209, 187, 125), (219, 196, 130), (233, 209, 136)]


def nearest_mix(lab, colors):
    """Each OKLab colour's distance to the nearest of a lattice of mixes of every three colours:
    they cover the hull's faces, where the nearest colour it shows lies."""
    points = LINEAR[np.array(colors, np.uint8)]
    steps = np.arange(17) / 16
    u, v = (x.ravel() for x in np.meshgrid(steps, steps))
    u, v = u[u + v <= 1], v[u + v <= 1]
    mixes = oklab(np.concatenate([points[a] + (points[b] - points[a]) * u[:, None]
                                  + (points[c] - points[a]) * v[:, None]
                                  for a, b, c in combinations(range(len(points)), 3)]))
    return np.min([np.sqrt(((lab[:, None] - part[None]) ** 2).sum(-1)).min(axis=1)
                   for part in np.array_split(mixes, len(mixes) // 2048 + 1)], axis=0)


@pytest.mark.parametrize("colors, move", [
    (panels.named("spectra6").appearance, lambda pixels: tone_map(pixels, panels.named("spectra6"))),
    (panels.named("acep7").appearance, lambda pixels: tone_map(pixels, panels.named("acep7"))),
    (GLOW, lambda pixels: into_hull(pixels, GLOW)),
], ids=["spectra6", "acep7", "sixteen fitted colours"])
def test_colours_beyond_the_hull_move_to_the_nearest_it_shows(colors, move):
    # None of the mixes may be nearer in OKLab than the colour chosen (to a byte's rounding), and
    # colours inside, the palette's own and their mean, stay as they are.
    inside = np.array(list(colors) + [tuple(srgb_bytes(LINEAR[np.array(colors, np.uint8)].mean(axis=0)))],
                      np.uint8)
    pixels = np.concatenate([RNG.integers(0, 256, (300, 3), dtype=np.uint8), inside])[None]
    moved = oklab(LINEAR[move(pixels)[0]])
    wanted = oklab(LINEAR[pixels[0]])
    assert nearest_mix(moved, colors).max() < 0.05  # inside, as near as the lattice tells
    assert np.all(np.sqrt(((moved - wanted) ** 2).sum(-1)) <= nearest_mix(wanted, colors) + 0.004)
    assert np.abs(moved[-len(inside):] - wanted[-len(inside):]).max() < 0.004


@pytest.mark.parametrize("colors", [[(0, 0, 0), (255, 255, 255), (128, 128, 128), (60, 60, 60)],
                                    [(0, 0, 0), (255, 0, 0), (255, 255, 255)]], ids=["greys", "a plane"])
def test_palettes_that_span_no_solid_leave_the_picture_alone(colors):
    pixels = RNG.integers(0, 256, (4, 5, 3), dtype=np.uint8)
    assert into_hull(pixels, colors) is pixels


def test_a_pil_picture_keeps_its_kind_and_alpha():
    Image = pytest.importorskip("PIL.Image")
    pixels = RNG.integers(0, 256, (6, 7, 4), dtype=np.uint8)
    moved = into_hull(Image.fromarray(pixels, "RGBA"), GLOW)
    assert moved.mode == "RGBA"
    assert np.array_equal(np.asarray(moved)[..., 3], pixels[..., 3])
    assert np.array_equal(np.asarray(moved)[..., :3], into_hull(pixels[..., :3], GLOW))


def test_the_move_is_the_same_on_any_number_of_threads():
    pixels = RNG.integers(0, 256, (80, 96, 3), dtype=np.uint8)  # thousands of colours beyond
    moved = [into_hull(pixels, GLOW, threads=n) for n in (1, 2, 3, 8)]
    assert not np.array_equal(moved[0], pixels)
    assert all(np.array_equal(moved[0], m) for m in moved[1:])
