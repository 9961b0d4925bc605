"""Ordered and random dither: matrices, their messages, seeds, and exact agreement with the reference."""

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel
import reference as ref

f32 = np.float32
RNG = np.random.default_rng(20240611)
RGBA = RNG.integers(0, 256, (13, 11, 4), dtype=np.uint8)
IMG = np.full((4, 4), 100, np.uint8)


def ramp(height, width):
    """Every byte value at every pixel: 256 channels sharing each pixel's offset."""
    return np.ascontiguousarray(np.broadcast_to(np.arange(256, dtype=np.uint8), (height, width, 256)))


def rank_thresholds(ranks, divisor):
    return (np.array(ranks, f32) + f32(0.5)) / f32(divisor)


def raises(exc, message, *args, **kw):
    with pytest.raises(exc) as info:
        grainel.ordered_dither(*args, **kw)
    assert str(info.value) == message


# ------------------------------------------------------------------ exact agreement

RANKS = RNG.integers(0, 7, (3, 5)).astype(np.int8)  # repeats, largest below the cell count
FLOATS = np.array([[0.0, 0.3, 1.0], [0.71, 0.5, 1 - 1e-9]])
MATRICES = {  # name: (matrix argument, its thresholds)
    "default": (None, ref.bayer(8)),
    "2": (2, ref.bayer(2)),
    "bayer4x4": ("bayer4x4", ref.bayer(4)),
    "16": (16, ref.bayer(16)),
    "ranks-with-gaps": (np.array([[0, 10], [20, 30]], np.uint16), ref.index_thresholds([[0, 10], [20, 30]])),
    "ranks-repeated": (RANKS, ref.index_thresholds(RANKS)),
    "float64": (FLOATS, ref.float_thresholds(FLOATS)),
    "float32-1x4": (np.array([[0.25, 0.75, 0.1, 0.6]], f32), [[0.25, 0.75, 0.1, 0.6]]),
}
TARGETS = {
    "levels2": {},
    "levels5-alpha": {"levels": 5, "preserve_alpha": False},
    "black-white": {"palette": ["#000", "#fff"]},
    "uneven": {"palette": [(10, 20, 30), (40, 20, 30), (70, 80, 30), (100, 80, 90)]},
    "red-only": {"palette": [(0, 0, 0), (255, 0, 0), (255, 0, 0)]},
    "random16": {"palette": RNG.integers(0, 256, (16, 3), dtype=np.uint8)},
}
VARIANTS = [dict(linear=linear, strength=s) for linear in (False, True) for s in (0.0, 0.5, 1.0)]


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("name", MATRICES)
def test_ordered_matches_reference(name, target):
    matrix, thresholds = MATRICES[name]
    for variant in VARIANTS:
        kw = dict(variant, **TARGETS[target])
        assert_array_equal(grainel.ordered_dither(RGBA, matrix, **kw),
                           ref.ordered_dither(RGBA, thresholds, **kw), err_msg=str(kw))


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("seed", [0, -7, 2**64 + 5])
def test_random_matches_reference(seed, target):
    for variant in VARIANTS:
        kw = dict(variant, **TARGETS[target])
        assert_array_equal(grainel.random_dither(RGBA, seed=seed, **kw),
                           ref.random_dither(RGBA, seed, **kw), err_msg=str(kw))


# ------------------------------------------------------------------ matrices

@pytest.mark.parametrize("n, rows", [
    (2, [[0, 2], [3, 1]]),
    (4, [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]),
    (8, [[0, 32, 8, 40, 2, 34, 10, 42], [48, 16, 56, 24, 50, 18, 58, 26]]),
])
def test_bayer_ranks(n, rows):
    img = ramp(len(rows), n)
    assert_array_equal(grainel.ordered_dither(img, n), ref.ordered_dither(img, rank_thresholds(rows, n * n)))


@pytest.mark.parametrize("matrix, thresholds", [
    ([[0, 2], [3, 1]], [[0.125, 0.625], [0.875, 0.375]]),
    (np.array([[0, 1], [1, 0]], np.uint32), [[0.125, 0.375], [0.375, 0.125]]),  # divisor: cell count
    ([[0, 10], [20, 30]], rank_thresholds([[0, 10], [20, 30]], 31)),  # divisor: largest + 1
    ([[0]], [[0.5]]),
    # (16777215 + 0.5) rounds to the divisor: held below 1, so black stays black.
    (np.array([[16777215, 0]], np.int32), [[0.99999988, 0.5 / 2**24]]),
    ([[1.0, -0.0]], [[0.99999988, 0.0]]),  # float thresholds stay below 1
    ([[1 - 1e-9]], [[0.99999988]]),
    (np.array([[0.25], [0.75]], np.float16), [[0.25], [0.75]]),
])
def test_custom_matrix_thresholds(matrix, thresholds):
    img = ramp(3, 4)
    assert_array_equal(grainel.ordered_dither(img, matrix), ref.ordered_dither(img, thresholds))


@pytest.mark.parametrize("matrix, n", [
    (4, 4), ("4x4", 4), ("4", 4), ("BAYER-4", 4), (np.int64(4), 4), ("Bayer 8x8", 8),
    ("bayer8", 8), ("BAYER_8X8", 8), (np.uint8(2), 2), ("bayer16x16", 16),
])
def test_matrix_spellings(matrix, n):
    img = ramp(n, n)
    assert_array_equal(grainel.ordered_dither(img, matrix), ref.ordered_dither(img, ref.bayer(n)))


UNKNOWN = ('unknown dither matrix {}; valid values: '
           "'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16', "
           "the size as an int (2, 4, 8, 16), or a custom 2-D numpy matrix")
SHAPE = ("custom dither matrix must be a non-empty 2-D array, got shape {}; pass 'bayerNxN', "
         "the size as an int (2, 4, 8, 16), or a 2-D numpy array")
KIND = ("custom dither matrix must have an integer dtype (Bayer-style indices) or float dtype "
        '(thresholds in [0, 1]), got kind "{}"')
NEGATIVE = ("integer matrix values must be >= 0, got {} "
            "(note: unsigned 64-bit values above 2^63 overflow to negative)")
FLOAT_RANGE = "float matrix thresholds must be in [0, 1]"


@pytest.mark.parametrize("matrix, exc, message", [
    (3, ValueError, UNKNOWN.format('"3"')),
    (True, ValueError, UNKNOWN.format('"1"')),
    ("08", ValueError, UNKNOWN.format('"08"')),
    ("bayer8x4", ValueError, UNKNOWN.format('"bayer8x4"')),
    ("bayer", ValueError, UNKNOWN.format('"bayer"')),
    ("Bayer 3x3", ValueError, UNKNOWN.format('"Bayer 3x3"')),
    ('say "8"', ValueError, UNKNOWN.format(r'"say \"8\""')),
    (-8, ValueError, SHAPE.format("[]")),  # neither a size nor a name: a 0-d array, as 8.0 is
    (np.zeros(4, bool), ValueError, SHAPE.format("[4]")),  # the shape is checked before the kind
    (np.zeros((0, 4)), ValueError, SHAPE.format("[0, 4]")),
    (np.zeros((3, 3, 3)), ValueError, SHAPE.format("[3, 3, 3]")),
    (np.ones((4, 4), bool), TypeError, KIND.format("b")),
    (np.ones((2, 2), complex), TypeError, KIND.format("c")),
    (np.array([[1, 2]], object), TypeError, KIND.format("O")),
    (np.array([[0, -1]]), ValueError, NEGATIVE.format(-1)),
    (np.array([[16777216, -5]]), ValueError, NEGATIVE.format(-5)),  # reported before the too-large one
    (np.array([[2**63, 0]], np.uint64), ValueError, NEGATIVE.format(-2**63)),
    (np.array([[0, 16777216]]), ValueError, "integer matrix values must be below 2^24, got 16777216"),
    (np.array([[0.5, -0.01]]), ValueError, FLOAT_RANGE),
    (np.array([[1.01]]), ValueError, FLOAT_RANGE),
    (np.array([[0.5], [np.nan]]), ValueError, FLOAT_RANGE),
])
def test_matrix_errors(matrix, exc, message):
    raises(exc, message, IMG, matrix)
    raises(exc, message, np.zeros(5), matrix, levels=1, strength=2.0, palette="#000")  # reported first


# ------------------------------------------------------------------ ordered examples

@pytest.mark.parametrize("value, tile", [
    (128, [[0, 255], [255, 0]]), (64, [[0, 0], [255, 0]]), (0, [[0, 0], [0, 0]]), (255, [[255, 255]] * 2),
])
def test_bayer2_tiles(value, tile):
    out = grainel.ordered_dither(np.full((4, 6), value, np.uint8), 2)
    assert_array_equal(out, np.tile(np.array(tile, np.uint8), (2, 3)))


@pytest.mark.parametrize("shape, pattern", [((5, 9), [[0, 0, 255]]), ((9, 5), [[0], [0], [255]])])
def test_one_dimensional_matrices_tile(shape, pattern):
    pattern = np.array(pattern, np.uint8)  # ranks 0, 1, 2: thresholds 1/6, 1/2, 5/6
    out = grainel.ordered_dither(np.full(shape, 100, np.uint8), np.arange(3).reshape(pattern.shape))
    assert_array_equal(out, np.tile(pattern, (shape[0] // pattern.shape[0], shape[1] // pattern.shape[1])))


@pytest.mark.parametrize("palette", [["#000", "#fff"], ["#000", "#fff", "#fff"], ["#000"] * 3 + ["#fff"]])
def test_black_white_palette_spacing_equals_two_levels(palette):
    img = np.repeat(ramp(8, 1).transpose(0, 2, 1), 3, axis=2)  # every gray at every row
    assert_array_equal(grainel.ordered_dither(img, palette=palette), grainel.ordered_dither(img, levels=2))


# ------------------------------------------------------------------ random

@pytest.mark.parametrize("seed, draws", [(0, [2953000, 7701871, 8811707]), (1, [4735337, 8754820, 5009907])])
def test_first_draws(seed, draws):
    img = ramp(1, 3)
    d = np.array(draws, f32)[None, :] / f32(2**24) - f32(0.5)
    assert_array_equal(grainel.random_dither(img, seed=seed), ref.threshold_dither(img, d))


@pytest.mark.parametrize("a, b", [
    (-1, 2**64 - 1), (0, 2**64), (2**127 - 1, -1), (-2**127, 0), (np.uint64(2**64 - 1), -1), (True, 1),
])
def test_seeds_agree_modulo_2_64(a, b):
    img = RNG.integers(0, 256, (9, 9, 3), dtype=np.uint8)
    assert_array_equal(grainel.random_dither(img, seed=a, levels=3), ref.random_dither(img, int(b), levels=3))


@pytest.mark.parametrize("channels", [None, 5])
def test_one_draw_per_pixel_in_row_major_order(channels):
    shape = (4, 6) if channels is None else (4, 6, channels)
    img = RNG.integers(0, 256, shape, dtype=np.uint8)
    out = grainel.random_dither(img, seed=3)
    for rows in (1, 2, 24):
        flat = img.reshape((rows, 24 // rows) + shape[2:])
        assert_array_equal(grainel.random_dither(flat, seed=3).reshape(shape), out)


@pytest.mark.parametrize("levels, linear", [(2, False), (4, True)])
def test_clock_seeded_output(levels, linear):
    img = np.dstack([RNG.integers(0, 256, (20, 20), dtype=np.uint8), np.full((20, 20), 9, np.uint8)])
    img[0, :, 0], img[1, :, 0] = 0, 255
    outs = [grainel.random_dither(img, seed=None, levels=levels, linear=linear) for _ in range(5)]
    assert len({out.tobytes() for out in outs}) > 1
    for out in outs:
        assert np.isin(out[:, :, 0], ref.levels_table(levels, linear)[0]).all()
        assert (out[0, :, 0] == 0).all() and (out[1, :, 0] == 255).all() and (out[:, :, 1] == 9).all()
