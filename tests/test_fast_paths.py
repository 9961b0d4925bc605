"""The fast pixel loops give exactly the bytes of the plain rules.

Each case is sized to reach a particular fast path: several rows diffused
at once (bands of rows, each lagging the one above), the nearest-colour grid
(large enough images and palettes, colours that tie or crowd a cell, values
that stray off the grid), the per-cell table of ordered dither and the
per-byte draw thresholds of random dither. The reference is the plain
float32 rule in reference.py.
"""

import numpy as np
import pytest

import grainel
import reference

METHODS = grainel.available_methods()


def image(rng, height, width, channels=None):
    shape = (height, width) if channels is None else (height, width, channels)
    img = rng.integers(0, 256, shape, dtype=np.uint8)
    # Flat runs and extremes as well as noise: long runs of one value are
    # where diffused error strays furthest.
    img[: height // 3] = rng.integers(0, 256)
    img[..., : width // 4] = 0
    return img


def palette(rng, size, duplicates=0):
    colors = [tuple(int(c) for c in rng.integers(0, 256, 3)) for _ in range(size)]
    # Repeated and coarse-grid colours make exact ties between entries.
    colors += [colors[0]] * duplicates + [(0, 0, 0), (128, 128, 128), (255, 255, 255)]
    return colors


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("height, width", [(1, 30), (5, 3), (6, 13), (9, 17), (13, 40)])
def test_row_bands_match_the_sequential_rule(method, height, width):
    rng = np.random.default_rng(height * 100 + width)
    gray = image(rng, height, width)
    for levels in (2, 5):
        expected = reference.error_diffusion(gray, method, levels=levels)
        assert np.array_equal(grainel.error_diffusion(gray, method, levels=levels), expected)
    rgba = image(rng, height, width, 4)
    expected = reference.error_diffusion(rgba, method, levels=3, strength=0.6, linear=True)
    actual = grainel.error_diffusion(rgba, method, levels=3, strength=0.6, linear=True)
    assert np.array_equal(actual, expected)


@pytest.mark.parametrize("method, serpentine, size, duplicates", [
    ("floyd_steinberg", False, 9, 0),
    ("floyd_steinberg", True, 40, 3),
    ("atkinson", False, 300, 0),
    ("jarvis_judice_ninke", False, 24, 30),  # a crowd of equal colours
    ("sierra_lite", True, 5, 0),
])
def test_diffusion_to_palettes_matches_the_linear_scan(method, serpentine, size, duplicates):
    rng = np.random.default_rng(size)
    img = image(rng, 48, 96, 3)  # enough pixels for the grid
    colors = palette(rng, size, duplicates)
    for linear in (False, True):
        expected = reference.error_diffusion(img, method, palette=colors,
                                             serpentine=serpentine, linear=linear)
        actual = grainel.error_diffusion(img, method, palette=colors,
                                         serpentine=serpentine, linear=linear)
        assert np.array_equal(actual, expected)


@pytest.mark.parametrize("size, duplicates", [(6, 0), (33, 0), (700, 0), (20, 40)])
@pytest.mark.parametrize("strength", [0.0, 0.45, 1.0])
def test_threshold_dither_to_palettes_matches_the_linear_scan(size, duplicates, strength):
    rng = np.random.default_rng(size + int(strength * 100))
    img = image(rng, 96, 160, 4)
    colors = palette(rng, size, duplicates)
    for linear in (False, True):
        options = dict(palette=colors, strength=strength, linear=linear)
        assert np.array_equal(grainel.ordered_dither(img, 4, **options),
                              reference.ordered_dither(img, reference.bayer(4), **options))
        assert np.array_equal(grainel.random_dither(img, seed=size, **options),
                              reference.random_dither(img, size, **options))


@pytest.mark.parametrize("linear", [False, True])
def test_nearest_colour_on_voronoi_boundaries(linear):
    # A lattice palette puts cell boundaries everywhere; uniform colours with
    # no offset land on both sides of them, and exactly on them.
    lattice = [(r, g, b) for r in (0, 85, 170, 255) for g in (0, 85, 170, 255)
               for b in (0, 85, 170, 255)]
    rng = np.random.default_rng(7)
    img = rng.integers(0, 256, (120, 160, 3), dtype=np.uint8)
    img[:8] = np.array([42, 43, 127], np.uint8)  # midpoints between lattice colours
    options = dict(palette=lattice, strength=0.0, linear=linear)
    assert np.array_equal(grainel.ordered_dither(img, **options),
                          reference.ordered_dither(img, reference.bayer(8), **options))


MATRICES = [
    (8, reference.bayer(8)),
    (16, reference.bayer(16)),
    (np.array([[3, 0, 7]]), np.float32([[3.5, 0.5, 7.5]]) / np.float32(8)),
    (np.array([[0.1], [0.9], [0.5]]), np.float32([[0.1], [0.9], [0.5]])),
]


@pytest.mark.parametrize("matrix, thresholds", MATRICES, ids=["bayer8", "bayer16", "1x3", "3x1"])
@pytest.mark.parametrize("levels", [2, 3, 17, 256])
def test_ordered_tables_match_the_rule(matrix, thresholds, levels):
    rng = np.random.default_rng(levels)
    gray = image(rng, 256, 256)
    la = image(rng, 128, 160, 2)
    for strength, linear in [(1.0, False), (0.3, True)]:
        options = dict(levels=levels, strength=strength, linear=linear)
        assert np.array_equal(grainel.ordered_dither(gray, matrix, **options),
                              reference.ordered_dither(gray, thresholds, **options))
        assert np.array_equal(grainel.ordered_dither(la, matrix, **options),
                              reference.ordered_dither(la, thresholds, **options))


@pytest.mark.parametrize("levels", [2, 3, 4, 9, 100, 256])
@pytest.mark.parametrize("strength, linear", [(1.0, False), (1.0, True), (0.7, False)])
def test_random_draw_thresholds_match_the_rule(levels, strength, linear):
    rng = np.random.default_rng(levels)
    gray = image(rng, 200, 200)
    rgb = image(rng, 128, 160, 3)
    options = dict(levels=levels, strength=strength, linear=linear)
    for img, seed in [(gray, levels), (rgb, -levels)]:
        assert np.array_equal(grainel.random_dither(img, seed=seed, **options),
                              reference.random_dither(img, seed, **options))
