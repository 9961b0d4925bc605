"""Ordered and random dither against the plain model: every kind of matrix and target, the fast
paths at their edges (per-cell tables, per-byte draw thresholds; the byte compares and vector draws
are in test_vector_paths.py, the nearest-colour search in test_palette_search.py); matrix
arguments and their messages; seeds."""

import functools

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel
import reference as ref
from fakes import Boom, boom, fake
from leaks import assert_no_leaks

f32 = np.float32
RNG = np.random.default_rng(20240611)
RGBA = RNG.integers(0, 256, (13, 11, 4), dtype=np.uint8)
# Every byte value at every pixel: 256 channels sharing each pixel's offset.
RAMP = np.ascontiguousarray(np.broadcast_to(np.arange(256, dtype=np.uint8), (17, 18, 256)))
RANKS = RNG.integers(0, 7, (3, 5)).astype(np.int8)  # repeats, largest below the cell count
FLOATS = np.array([[0.0, 0.3, 1.0], [0.71, 0.5, 1 - 1e-9]])
TEXTBOOK_4X4 = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]

MATRICES = {  # name: (matrix argument, its thresholds)
    "default": (None, ref.bayer(8)),
    "textbook-ranks": (np.array(TEXTBOOK_4X4), ref.bayer(4)),
    **{repr(spelling): (spelling, ref.bayer(n)) for spelling, n in [  # more spellings: test_properties.py
        (2, 2), ("4x4", 4), ("Bayer 8x8", 8), ("BAYER_8X8", 8), (np.int64(16), 16), ("bayer16x16", 16)]},
    "ranks-with-gaps": (np.array([[0, 10], [20, 30]], np.uint16), [[0.5 / 31, 10.5 / 31], [20.5 / 31, 30.5 / 31]]),
    "ranks-repeated": (RANKS, ref.index_thresholds(RANKS)),
    "ranks-fewer-than-cells": (np.array([[0, 1], [1, 0]], np.uint32), [[0.125, 0.375], [0.375, 0.125]]),
    "one-rank": ([[0]], [[0.5]]),
    # (16777215 + 0.5) rounds to the divisor: held below 1, so black stays black.
    "rank-near-2^24": (np.array([[16777215, 0]], np.int32), [[0.99999988, 0.5 / 2**24]]),
    "ranks-1x3": (np.array([[3, 0, 7]]), [[3.5 / 8, 0.5 / 8, 7.5 / 8]]),
    "float64": (FLOATS, ref.float_thresholds(FLOATS)),
    "float32-1x4": (np.array([[0.25, 0.75, 0.1, 0.6]], f32), [[0.25, 0.75, 0.1, 0.6]]),
    "floats-kept-below-1": ([[1.0, -0.0], [1 - 1e-9, 0.5]], [[0.99999988, 0.0], [0.99999988, 0.5]]),
    "float16-2x1": (np.array([[0.25], [0.75]], np.float16), [[0.25], [0.75]]),
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


def images(target):
    return [RGBA] if "palette" in TARGETS[target] else [RGBA, RAMP]


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("name", MATRICES)
def test_ordered_matches_the_model(name, target):
    matrix, thresholds = MATRICES[name]
    for img in images(target):
        for kw in (dict(variant, **TARGETS[target]) for variant in VARIANTS):
            assert_array_equal(grainel.ordered_dither(img, matrix, **kw),
                               ref.ordered_dither(img, np.float32(thresholds), **kw), err_msg=str(kw))


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("seed", [0, -7, 2**64 + 5])
def test_random_matches_the_model(seed, target):
    for img in images(target):
        for kw in (dict(variant, **TARGETS[target]) for variant in VARIANTS):
            assert_array_equal(grainel.random_dither(img, seed=seed, **kw), ref.random_dither(img, seed, **kw),
                               err_msg=str(kw))


# ------------------------------------------------------------------ fast paths

def image(rng, height, width, channels):
    img = rng.integers(0, 256, (height, width, channels), dtype=np.uint8)
    img[: height // 3] = rng.integers(0, 256)  # flat runs and black as well as noise
    img[:, width // 2: 3 * width // 4] = 0
    return img


# Too many levels for the byte compares (test_vector_paths.py): a table per matrix cell.
@pytest.mark.parametrize("levels", [100, 256])
@pytest.mark.parametrize("matrix", [8, 16, "ranks-1x3", "float16-2x1"])
def test_ordered_tables_match_the_model(matrix, levels):
    matrix, thresholds = MATRICES[matrix] if isinstance(matrix, str) else (matrix, ref.bayer(matrix))
    rng = np.random.default_rng(levels)
    for img in (image(rng, 256, 250, 1)[:, :, 0], image(rng, 128, 160, 2)):
        for kw in [dict(levels=levels), dict(levels=levels, linear=True), dict(levels=levels, strength=0.3)]:
            assert_array_equal(grainel.ordered_dither(img, matrix, **kw), ref.ordered_dither(img, thresholds, **kw))


@pytest.mark.parametrize("levels", [2, 3, 4, 9, 100, 256])
@pytest.mark.parametrize("strength, linear", [(1.0, False), (1.0, True), (0.7, False)])
def test_random_draw_thresholds_match_the_model(levels, strength, linear):
    rng = np.random.default_rng(levels)
    kw = dict(levels=levels, strength=strength, linear=linear)
    for img, seed in [(image(rng, 200, 200, 1)[:, :, 0], levels), (image(rng, 128, 160, 4), -levels)]:
        assert_array_equal(grainel.random_dither(img, seed=seed, **kw), ref.random_dither(img, seed, **kw))


@pytest.mark.parametrize("linear", [False, True])
def test_nearest_colour_on_the_boundaries_between_colours(linear):
    # A lattice palette puts boundaries everywhere; values with no offset land on both sides of
    # them and exactly on them.
    lattice = [(r, g, b) for r in (0, 85, 170, 255) for g in (0, 85, 170, 255) for b in (0, 85, 170, 255)]
    img = np.random.default_rng(7).integers(0, 256, (120, 160, 3), dtype=np.uint8)
    img[:8] = [42, 43, 127]  # midpoints between lattice colours
    kw = dict(palette=lattice, strength=0.0, linear=linear)
    assert_array_equal(grainel.ordered_dither(img, **kw), ref.ordered_dither(img, ref.bayer(8), **kw))


# ------------------------------------------------------------------ matrix errors

UNKNOWN = ("unknown dither matrix {}; valid values: 'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16', "
           "the size as an int (2, 4, 8, 16), or a custom 2-D numpy matrix")
SHAPE = ("custom dither matrix must be a non-empty 2-D array, got shape {}; pass 'bayerNxN', "
         "the size as an int (2, 4, 8, 16), or a 2-D numpy array")
KIND = ("custom dither matrix must have an integer dtype (Bayer-style indices) or float dtype "
        '(thresholds in [0, 1]), got kind "{}"')
NEGATIVE = "integer matrix values must be >= 0, got {} (note: unsigned 64-bit values above 2^63 overflow to negative)"
FLOAT_RANGE = "float matrix thresholds must be in [0, 1]"


@pytest.mark.parametrize("matrix, exc, message", [
    (3, ValueError, UNKNOWN.format('"3"')),
    (True, ValueError, UNKNOWN.format('"1"')),
    (np.int64(1000), ValueError, UNKNOWN.format('"1000"')),
    ("08", ValueError, UNKNOWN.format('"08"')),
    ("bayer8x4", ValueError, UNKNOWN.format('"bayer8x4"')),
    (-8, ValueError, SHAPE.format("[]")),  # neither a size nor a name: a 0-d array, as 8.0 is
    (fake(__array__=boom), Boom, "injected"),
    (np.zeros(4, bool), ValueError, SHAPE.format("[4]")),  # the shape is checked before the kind
    (np.zeros((0, 4)), ValueError, SHAPE.format("[0, 4]")),
    (np.zeros((3, 3, 3)), ValueError, SHAPE.format("[3, 3, 3]")),
    (np.ones((4, 4), bool), TypeError, KIND.format("b")),
    (np.array([[1, 2]], object), TypeError, KIND.format("O")),
    (np.array([[0, -1]]), ValueError, NEGATIVE.format(-1)),
    (np.array([[16777216, -5]]), ValueError, NEGATIVE.format(-5)),  # reported before the too-large one
    (np.array([[2**63, 0]], np.uint64), ValueError, NEGATIVE.format(-2**63)),
    (np.array([[0, 16777216]]), ValueError, "integer matrix values must be below 2^24, got 16777216"),
    (np.array([[0.5, -0.01]]), ValueError, FLOAT_RANGE),
    (np.array([[0.5], [np.nan]]), ValueError, FLOAT_RANGE),
])
def test_matrix_errors_come_before_any_other_argument(matrix, exc, message):
    call = functools.partial(grainel.ordered_dither, np.zeros(5), matrix, levels=1, strength=2.0, palette="#000")
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
    assert_no_leaks(call, matrix)


# ------------------------------------------------------------------ seeds

def test_first_draws_of_the_noise_stream():
    img = RAMP[:1, :3]
    d = np.array([[2953000, 7701871, 8811707]], f32) / f32(2**24) - f32(0.5)  # seed 0
    assert_array_equal(grainel.random_dither(img, seed=0), ref.threshold_dither(img, d))


@pytest.mark.parametrize("a, b", [(-1, 2**64 - 1), (0, 2**64), (2**127 - 1, -1), (-2**127, 0), (True, 1)])
def test_seeds_agree_modulo_2_64(a, b):
    assert_array_equal(grainel.random_dither(RGBA, seed=a, levels=3), ref.random_dither(RGBA, b, levels=3))


@pytest.mark.parametrize("levels, linear", [(2, False), (4, True)])
def test_clock_seeded_output(levels, linear):
    img = np.dstack([RNG.integers(0, 256, (20, 20), dtype=np.uint8), np.full((20, 20), 9, np.uint8)])
    img[0, :, 0], img[1, :, 0] = 0, 255
    outs = [grainel.random_dither(img, seed=None, levels=levels, linear=linear) for _ in range(5)]
    assert len({out.tobytes() for out in outs}) > 1
    for out in outs:
        assert np.isin(out[:, :, 0], ref.levels_table(levels, linear)[0]).all()
        assert (out[0, :, 0] == 0).all() and (out[1, :, 0] == 255).all() and (out[:, :, 1] == 9).all()
