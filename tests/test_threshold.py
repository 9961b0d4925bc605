"""Ordered (threshold-matrix) and seeded random dither.

Expected outputs come from a small float32 model of the threshold rule kept
in this file: a per-pixel offset fraction d in [-0.5, 0.5) (matrix threshold
minus 0.5, or a SplitMix64 draw) shifts every processed value before it is
rounded to a level or matched to the nearest palette colour.
"""
import ctypes
import ctypes.util
import functools

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel

F32 = np.float32
M64 = (1 << 64) - 1
RNG = np.random.default_rng(20240611)
RGBA = RNG.integers(0, 256, (13, 11, 4), dtype=np.uint8)

VALID = "'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16'"
UNKNOWN = ('unknown dither matrix "{}"; valid values: ' + VALID
           + ", the size as an int (2, 4, 8, 16), or a custom 2-D numpy matrix")
SHAPE = ("custom dither matrix must be a non-empty 2-D array, got shape {}; pass 'bayerNxN', "
         "the size as an int (2, 4, 8, 16), or a 2-D numpy array")
KIND = ("custom dither matrix must have an integer dtype (Bayer-style indices) or float dtype "
        '(thresholds in [0, 1]), got kind "{}"')
NEGATIVE = ("integer matrix values must be >= 0, got {} "
            "(note: unsigned 64-bit values above 2^63 overflow to negative)")
TOO_BIG = "integer matrix values must be below 2^24, got {}"
FLOAT_RANGE = "float matrix thresholds must be in [0, 1]"

BAYER2_ROWS = [[0, 2], [3, 1]]
BAYER4_ROWS = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]
BAYER8_TOP = [[0, 32, 8, 40, 2, 34, 10, 42], [48, 16, 56, 24, 50, 18, 58, 26]]


# ---------------------------------------------------------------- model ---

def _load_powf():
    # The module's sRGB curves use the C library's powf; matching it bit for
    # bit keeps the linear-light comparisons exact.
    try:
        libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
        powf = libm.powf
    except (OSError, AttributeError):
        return lambda a, b: F32(a) ** F32(b)
    powf.restype, powf.argtypes = ctypes.c_float, [ctypes.c_float, ctypes.c_float]
    return lambda a, b: F32(powf(float(a), float(b)))


POWF = _load_powf()


def round_half_away(v):
    v = np.asarray(v, F32)
    whole = np.trunc(v)
    return whole + np.where(np.abs(v - whole) >= F32(0.5), np.sign(v), F32(0))


@functools.lru_cache(maxsize=None)
def decode_table(linear):
    if not linear:
        return np.arange(256, dtype=F32)
    table = np.empty(256, F32)
    for b in range(256):
        v = F32(b) / F32(255)
        if v <= F32(0.04045):
            table[b] = v / F32(12.92) * F32(255)
        else:
            table[b] = POWF((v + F32(0.055)) / F32(1.055), F32(2.4)) * F32(255)
    return table


@functools.lru_cache(maxsize=None)
def level_bytes(n, linear):
    step = F32(255) / F32(n - 1)
    out = []
    for i in range(n):
        y = min(step * F32(i), F32(255))
        if linear:
            u = y / F32(255)
            if u <= F32(0.0031308):
                e = u * F32(12.92)
            else:
                e = POWF(u, F32(0.41666666)) * F32(1.055) - F32(0.055)
            y = e * F32(255)
        out.append(int(min(max(round_half_away(y), 0), 255)))
    return np.array(out, np.uint8), step


def bayer_indices(n):
    idx = np.zeros((n, n), np.int64)
    for y in range(n):
        for x in range(n):
            b = 0
            for i in range(n.bit_length() - 1):
                b = 4 * b + 2 * (((x ^ y) >> i) & 1) + ((y >> i) & 1)
            idx[y, x] = b
    return idx


def index_thresholds(idx):
    idx = np.asarray(idx, np.int64)
    divisor = F32(max(int(idx.max()) + 1, idx.size))
    return (idx.astype(F32) + F32(0.5)) / divisor


def float_thresholds(values):
    return np.minimum(np.asarray(values, np.float64).astype(F32), F32(0.99999988))


def tiled_offsets(thresholds, shape):
    t = np.asarray(thresholds, F32)
    reps = (-(-shape[0] // t.shape[0]), -(-shape[1] // t.shape[1]))
    return np.tile(t, reps)[: shape[0], : shape[1]] - F32(0.5)


def splitmix_draws(seed, count):
    state = (seed & M64) ^ 0xD1B54A32D192ED03
    draws = []
    for _ in range(count):
        state = (state + 0x9E3779B97F4A7C15) & M64
        z = ((state ^ (state >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        draws.append(z >> 40)
    return draws


def noise_offsets(draws, shape):
    return (np.array(draws, F32) / F32(1 << 24) - F32(0.5)).reshape(shape)


def model(img, d, *, levels=2, palette=None, strength=1.0, linear=False, preserve_alpha=True):
    """Threshold dither of `img` with per-pixel offset fractions `d` (H, W)."""
    img = np.asarray(img)
    out = img.copy()
    src = img if img.ndim == 3 else img[:, :, None]
    dst = out if out.ndim == 3 else out[:, :, None]
    decode, s = decode_table(linear), F32(strength)
    d = np.asarray(d, F32)
    if palette is None:
        table, step = level_bytes(levels, linear)
        offset = (s * step) * d
        inv_step, top = F32(1) / step, F32(levels - 1)
        channels = src.shape[2]
        alpha = channels - 1 if preserve_alpha and channels in (2, 4) else None
        for c in range(channels):
            if c != alpha:
                v = offset + decode[src[:, :, c]]
                k = np.clip(round_half_away(inv_step * v), F32(0), top)
                dst[:, :, c] = table[k.astype(np.intp)]
        return out
    colors = np.array(palette, np.uint8)
    values = decode[colors]
    spacing = np.zeros(3, F32)
    for c in range(3):
        distinct = np.unique(values[:, c])
        if distinct.size > 1:
            spacing[c] = (distinct[-1] - distinct[0]) / F32(distinct.size - 1)
    w = (s * spacing) * d[:, :, None] + decode[src[:, :, :3]]
    sq = np.square(w[:, :, None, :] - values[None, None, :, :])
    dist = (sq[..., 0] + sq[..., 1]) + sq[..., 2]
    dst[:, :, :3] = colors[np.argmin(dist, axis=2)]
    return out


def ordered_model(img, thresholds, **kw):
    return model(img, tiled_offsets(thresholds, np.shape(img)), **kw)


def random_model(img, seed, **kw):
    shape = np.shape(img)[:2]
    return model(img, noise_offsets(splitmix_draws(seed, shape[0] * shape[1]), shape), **kw)


def ramp(h, w):
    """Every byte value 0..255 at every pixel, as 256 channels sharing one offset."""
    return np.ascontiguousarray(np.broadcast_to(np.arange(256, dtype=np.uint8), (h, w, 256)))


# ------------------------------------------------------------ matrices ---

MATRICES = {
    "default": (None, bayer_indices(8)),
    "bayer2": (2, np.array(BAYER2_ROWS)),
    "bayer4": ("bayer4x4", np.array(BAYER4_ROWS)),
    "bayer16": (16, bayer_indices(16)),
    "gaps": (np.array([[0, 10], [20, 30]], np.uint16), None),
    "repeats_3x5": (RNG.integers(0, 7, (3, 5)).astype(np.int8), None),
    "float64_2x3": (np.array([[0.0, 0.3, 1.0], [0.71, 0.5, 0.999999999]]), None),
    "float32_1x4": (np.array([[0.25, 0.75, 0.1, 0.6]], np.float32), None),
}


def thresholds_of(name):
    matrix, idx = MATRICES[name]
    if idx is not None:
        return index_thresholds(idx)
    if matrix.dtype.kind == "f":
        return float_thresholds(matrix)
    return index_thresholds(matrix)


TARGETS = {
    "levels2": {"levels": 2},
    "levels5": {"levels": 5},
    "bw": {"palette": [(0, 0, 0), (255, 255, 255)]},
    "uneven": {"palette": [(10, 20, 30), (40, 20, 30), (70, 80, 30), (100, 80, 90)]},
    "red_only": {"palette": [(0, 0, 0), (255, 0, 0), (255, 0, 0)]},
    "random16": {"palette": [tuple(int(v) for v in c) for c in RNG.integers(0, 256, (16, 3))]},
}
STRENGTHS = [0.0, 0.5, 1.0]


@pytest.mark.parametrize("strength", STRENGTHS)
@pytest.mark.parametrize("linear", [False, True])
@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("name", MATRICES)
def test_ordered_matches_model(name, target, linear, strength):
    kw = dict(TARGETS[target], linear=linear, strength=strength)
    out = grainel.ordered_dither(RGBA, MATRICES[name][0], **kw)
    assert_array_equal(out, ordered_model(RGBA, thresholds_of(name), **kw))


@pytest.mark.parametrize("n, rows", [
    (2, BAYER2_ROWS), (4, BAYER4_ROWS), (8, BAYER8_TOP), (16, bayer_indices(16)),
])
def test_bayer_matrices(n, rows):
    assert_array_equal(bayer_indices(n)[: len(rows)], rows)
    img = ramp(2 * n + 1, 2 * n + 3)
    out = grainel.ordered_dither(img, n)
    assert_array_equal(out, ordered_model(img, index_thresholds(bayer_indices(n))))
    # The same ranks given as a custom integer matrix build the same thresholds.
    assert_array_equal(grainel.ordered_dither(img, bayer_indices(n)), out)
    # Over every byte value, a higher rank sends more values to white.
    whites = (out == 255).sum(axis=2)[: len(rows), :n].ravel()
    assert np.all(np.diff(whites[np.argsort(np.ravel(rows))]) >= (1 if n < 16 else 0))


@pytest.mark.parametrize("indices, thresholds", [
    ([[0, 2], [3, 1]], [[0.125, 0.625], [0.875, 0.375]]),
    ([[0, 1], [1, 0]], [[0.125, 0.375], [0.375, 0.125]]),      # repeats share, divisor 4
    ([[0, 0], [0, 1]], [[0.125, 0.125], [0.125, 0.375]]),      # largest < N - 1: still N
    ([[0, 10], [20, 30]], (np.array([[0, 10], [20, 30]], F32) + F32(0.5)) / F32(31)),
    ([[0]], [[0.5]]),
    ([[0, 1, 2]], (np.array([[0, 1, 2]], F32) + F32(0.5)) / F32(3)),
    ([[0], [5], [2]], (np.array([[0], [5], [2]], F32) + F32(0.5)) / F32(6)),
    ([[16777215, 0]], (np.array([[16777215, 0]], F32) + F32(0.5)) / F32(16777216)),
], ids=["bayer2", "repeats", "short", "gaps", "1x1", "1x3", "3x1", "max_index"])
@pytest.mark.parametrize("dtype", [np.int64, np.uint32])
def test_integer_matrix_thresholds(indices, thresholds, dtype):
    img = ramp(5, 7)
    thresholds = np.array(thresholds, F32)
    expected = ordered_model(img, thresholds)
    assert_array_equal(grainel.ordered_dither(img, np.array(indices, dtype)), expected)
    if thresholds.max() < 1:
        # The same thresholds given as floats build the same matrix.
        assert_array_equal(grainel.ordered_dither(img, thresholds), expected)
    else:
        # 16777215.5 rounds to 2^24 in single precision: a rank threshold of
        # exactly 1, which (unlike a float threshold) is not pulled below 1.
        assert (grainel.ordered_dither(img, np.array(indices, dtype))[:, ::2, 0] == 255).all()


@pytest.mark.parametrize("matrix, thresholds", [
    (np.array([[1.0, 0.0]]), [[0.99999988, 0.0]]),
    (np.array([[1 - 1e-9, 0.0]]), [[0.99999988, 0.0]]),  # nearest single is 1.0
    (np.array([[1.0]], np.float32), [[0.99999988]]),
    ([[0.875]], [[0.875]]),
    ([[-0.0, 0.25]], [[0.0, 0.25]]),
    (np.array([[0.25], [0.75]], np.float16), [[0.25], [0.75]]),
])
def test_float_matrix_thresholds(matrix, thresholds):
    img = ramp(3, 4)
    out = grainel.ordered_dither(img, matrix)
    assert_array_equal(out, ordered_model(img, np.array(thresholds, F32)))
    # Kept below 1, the highest threshold never lifts black to the next level.
    assert (out[:, :, 0] == 0).all() and (out[:, :, 255] == 255).all()


# -------------------------------------------------------- matrix parsing ---

@pytest.mark.parametrize("matrix, n", [
    (4, 4), ("bayer4x4", 4), ("4x4", 4), ("4", 4), ("BAYER-4", 4), (np.int64(4), 4),
    ("bayer8x8", 8), ("Bayer 8x8", 8), ("8x8", 8), ("bayer8", 8), ("8", 8),
    ("BAYER_8X8", 8), ("bayer-8", 8), (" 8 ", 8), (2, 2), (np.uint8(2), 2),
    ("bayer16x16", 16), ("Bayer_16", 16), (16, 16), ([[0, 2], [3, 1]], 2),
])
def test_matrix_names_and_sizes(matrix, n):
    img = ramp(n + 1, n + 2)
    assert_array_equal(grainel.ordered_dither(img, matrix),
                       ordered_model(img, index_thresholds(bayer_indices(n))))


def test_no_matrix_means_bayer8():
    img = RNG.integers(0, 256, (19, 21), dtype=np.uint8)
    expected = grainel.ordered_dither(img, 8)
    assert_array_equal(grainel.ordered_dither(img), expected)
    assert_array_equal(grainel.ordered_dither(img, None), expected)


def _raises(exc, message, *args):
    with pytest.raises(exc) as info:
        grainel.ordered_dither(*args)
    assert str(info.value) == message
    return info


IMG = np.full((4, 4), 100, np.uint8)


@pytest.mark.parametrize("matrix, shown", [
    (3, "3"), (0, "0"), (1, "1"), (32, "32"), (True, "1"), (np.int64(3), "3"),
    ("08", "08"), ("+8", "+8"), ("8x4", "8x4"), ("bayer", "bayer"), ("bayer3x3", "bayer3x3"),
    ("Bayer 3x3", "Bayer 3x3"), ("bayer8x8x8", "bayer8x8x8"), ("x8", "x8"), ("", ""),
    ("32x32", "32x32"), ('say "8"', 'say \\"8\\"'), ("back\\slash", "back\\\\slash"),
    ("tab\t\r\n\x00", "tab\\t\\r\\n\\0"), ("e\u0301", "e\\u{301}"), ("bayér", "bayér"),
    ("it's", "it's"),
])
def test_unknown_matrix(matrix, shown):
    _raises(ValueError, UNKNOWN.format(shown), IMG, matrix)


@pytest.mark.parametrize("matrix, shape", [
    (-8, "[]"), (8.0, "[]"), (np.float64(0.5), "[]"), (2**64, "[]"),
    (np.zeros(4), "[4]"), (np.zeros(4, bool), "[4]"), (np.zeros((0, 4)), "[0, 4]"),
    (np.zeros((4, 0), np.int64), "[4, 0]"), (np.zeros((3, 3, 3)), "[3, 3, 3]"),
    ([], "[0]"), ([[]], "[1, 0]"),
])
def test_matrix_shape_errors(matrix, shape):
    _raises(ValueError, SHAPE.format(shape), IMG, matrix)


@pytest.mark.parametrize("matrix, kind", [
    (np.ones((4, 4), bool), "b"),
    (np.ones((2, 2), complex), "c"),
    (np.array([[1, 2], [3, 4]], dtype=object), "O"),
    (np.array([["a", "b"]]), "U"),
    (np.array([[0, 1]], "datetime64[s]"), "M"),
])
def test_matrix_kind_errors(matrix, kind):
    _raises(TypeError, KIND.format(kind), IMG, matrix)


@pytest.mark.parametrize("matrix, message", [
    (np.array([[0, -1]]), NEGATIVE.format(-1)),
    (np.array([[16777216, -5]]), NEGATIVE.format(-5)),
    (np.array([[-128, 3]], np.int8), NEGATIVE.format(-128)),
    (np.array([[2**63, 0]], np.uint64), NEGATIVE.format(-9223372036854775808)),
    (np.array([[2**64 - 1]], np.uint64), NEGATIVE.format(-1)),
    (np.array([[0, 16777216]]), TOO_BIG.format(16777216)),
    (np.array([[2**40]], np.uint64), TOO_BIG.format(2**40)),
    (np.array([[0.5, -0.01]]), FLOAT_RANGE),
    (np.array([[1.01, 0.5]]), FLOAT_RANGE),
    (np.array([[0.5], [np.nan]]), FLOAT_RANGE),
    (np.array([[np.inf]], np.float32), FLOAT_RANGE),
])
def test_matrix_value_errors(matrix, message):
    _raises(ValueError, message, IMG, matrix)


@pytest.mark.parametrize("matrix, exc, message", [
    ("bayer3x3", ValueError, UNKNOWN.format("bayer3x3")),
    (np.zeros(3), ValueError, SHAPE.format("[3]")),
    (np.ones((2, 2), bool), TypeError, KIND.format("b")),
    (np.array([[-1]]), ValueError, NEGATIVE.format(-1)),
])
def test_matrix_error_comes_first(matrix, exc, message):
    bad_image = np.zeros(5, np.float64)
    with pytest.raises(exc) as info:
        grainel.ordered_dither(bad_image, matrix, levels=1, strength=2.0, palette="#000")
    assert str(info.value) == message


# ------------------------------------------------------- ordered examples ---

@pytest.mark.parametrize("value, tile", [
    (128, [[0, 255], [255, 0]]), (64, [[0, 0], [255, 0]]),
    (0, [[0, 0], [0, 0]]), (255, [[255, 255], [255, 255]]),
])
def test_bayer2_tiles(value, tile):
    out = grainel.ordered_dither(np.full((4, 6), value, np.uint8), 2)
    assert_array_equal(out, np.tile(np.array(tile, np.uint8), (2, 3)))


@pytest.mark.parametrize("value, lone", [(2, 255), (253, 0)])
def test_default_matrix_repeats_every_eight(value, lone):
    out = grainel.ordered_dither(np.full((24, 24), value, np.uint8))
    assert_array_equal(out, np.tile(out[:8, :8], (3, 3)))
    assert (out[:8, :8] == lone).sum() == 1  # one pixel per 8x8 tile: not 4-periodic


@pytest.mark.parametrize("shape, pattern", [((5, 9), [[0, 0, 255]]), ((9, 5), [[0], [0], [255]])])
def test_one_dimensional_matrices_tile(shape, pattern):
    # Ranks 0, 1, 2 give thresholds 1/6, 1/2, 5/6: 100 goes black, black, white.
    pattern = np.array(pattern, np.uint8)
    matrix = np.arange(3).reshape(pattern.shape)
    out = grainel.ordered_dither(np.full(shape, 100, np.uint8), matrix)
    reps = (shape[0] // pattern.shape[0], shape[1] // pattern.shape[1])
    assert_array_equal(out, np.tile(pattern, reps))


MATRIX_CHOICES = [None, 2, "bayer16x16", [[0, 5], [3, 1]], [[0.0, 1.0]], [[0.9]]]


@pytest.mark.parametrize("matrix", MATRIX_CHOICES)
def test_strength_zero_is_plain_quantisation(matrix):
    img = np.tile(np.array([127, 128], np.uint8), (6, 5))
    out = grainel.ordered_dither(img, matrix, strength=0.0)
    assert_array_equal(out, np.where(img == 127, 0, 255).astype(np.uint8))
    rgb = RGBA[:, :, :3]
    assert_array_equal(grainel.ordered_dither(rgb, matrix, strength=0.0, levels=7, linear=True),
                       model(rgb, np.zeros(rgb.shape[:2], F32), levels=7, linear=True))


@pytest.mark.parametrize("levels", [2, 3, 7, 256])
@pytest.mark.parametrize("linear", [False, True])
@pytest.mark.parametrize("engine", ["ordered", "random"])
def test_black_and_white_stay(levels, linear, engine):
    img = np.zeros((16, 16, 2), np.uint8)
    img[:, :, 1] = 255
    kw = dict(levels=levels, linear=linear, preserve_alpha=False)
    if engine == "ordered":
        for matrix in MATRIX_CHOICES:
            assert_array_equal(grainel.ordered_dither(img, matrix, **kw), img)
    else:
        for seed in (0, 1, 99, None):
            assert_array_equal(grainel.random_dither(img, seed=seed, **kw), img)


# ------------------------------------------------------ channels, alpha ---

CHANNEL_CASES = {
    "gray2d": (RGBA[:, :, 0], True),
    "one_channel": (RGBA[:, :, :1], True),
    "la_keep": (RGBA[:, :, :2], True),
    "la_dither": (RGBA[:, :, :2], False),
    "rgba_keep": (RGBA, True),
    "rgba_dither": (RGBA, False),
    "five": (np.dstack([RGBA, RGBA[:, :, :1]]), True),
}


def run(engine, img, **kw):
    if engine == "ordered":
        return grainel.ordered_dither(img, [[0, 3, 1], [4, 2, 5]], **kw)
    return grainel.random_dither(img, seed=7, **kw)


def run_model(engine, img, **kw):
    if engine == "ordered":
        return ordered_model(img, index_thresholds([[0, 3, 1], [4, 2, 5]]), **kw)
    return random_model(img, 7, **kw)


@pytest.mark.parametrize("case", CHANNEL_CASES)
@pytest.mark.parametrize("engine", ["ordered", "random"])
def test_channels_and_alpha(engine, case):
    img, keep = CHANNEL_CASES[case]
    out = run(engine, img, levels=3, preserve_alpha=keep)
    assert out.shape == img.shape and out.dtype == np.uint8
    assert_array_equal(out, run_model(engine, img, levels=3, preserve_alpha=keep))
    if keep and img.ndim == 3 and img.shape[2] in (2, 4):
        assert_array_equal(out[:, :, -1], img[:, :, -1])


@pytest.mark.parametrize("keep", [True, False])
@pytest.mark.parametrize("engine", ["ordered", "random"])
def test_palette_leaves_alpha(engine, keep):
    palette = ["#000", "#f00", "#0f0", "#00f", "#fff"]
    out = run(engine, RGBA, palette=palette, preserve_alpha=keep)
    assert_array_equal(out[:, :, 3], RGBA[:, :, 3])
    tuples = [(0, 0, 0), (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)]
    assert_array_equal(out, run_model(engine, RGBA, palette=tuples))


@pytest.mark.parametrize("palette, color", [
    (["#000000", "#fefefe"], 0), (["#fefefe", "#000000"], 254),
])
@pytest.mark.parametrize("engine", ["ordered", "random"])
def test_palette_tie_goes_to_first(engine, palette, color):
    img = np.full((3, 4, 3), 127, np.uint8)
    assert (run(engine, img, palette=palette, strength=0.0) == color).all()


@pytest.mark.parametrize("engine", ["ordered", "random"])
def test_gray_pixels_stay_gray(engine):
    gray = RNG.integers(0, 256, (10, 12), dtype=np.uint8)
    out = run(engine, np.dstack([gray] * 3), levels=4, linear=True)
    assert_array_equal(out, np.dstack([run(engine, gray, levels=4, linear=True)] * 3))


# --------------------------------------------------------------- random ---

@pytest.mark.parametrize("seed, draws", [
    (0, [2953000, 7701871, 8811707]), (1, [4735337, 8754820, 5009907]),
])
def test_first_draws(seed, draws):
    assert splitmix_draws(seed, 3) == draws
    img = ramp(1, 3)
    expected = model(img, noise_offsets(draws, (1, 3)))
    out = grainel.random_dither(img, seed=seed)
    assert_array_equal(out, expected)
    if seed == 0:
        # Noise -0.32398748 at two levels shifts by -82.6: 210 goes black, 211 white.
        assert out[0, 0, 210] == 0 and out[0, 0, 211] == 255


@pytest.mark.parametrize("strength", STRENGTHS)
@pytest.mark.parametrize("linear", [False, True])
@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("seed", [0, -7, 2**64 + 5])
def test_random_matches_model(seed, target, linear, strength):
    kw = dict(TARGETS[target], linear=linear, strength=strength)
    out = grainel.random_dither(RGBA, seed=seed, **kw)
    assert_array_equal(out, random_model(RGBA, seed, **kw))


@pytest.mark.parametrize("a, b", [
    (-1, 2**64 - 1), (0, 2**64), (2**127 - 1, -1), (-(2**127), 0),
    (np.uint64(2**64 - 1), -1), (np.int64(5), 5), (True, 1),
])
def test_seeds_agree_modulo_2_64(a, b):
    img = RNG.integers(0, 256, (9, 9, 3), dtype=np.uint8)
    out = grainel.random_dither(img, seed=a, levels=3)
    assert_array_equal(out, grainel.random_dither(img, seed=b, levels=3))
    assert_array_equal(out, random_model(img, int(b), levels=3))


@pytest.mark.parametrize("seed", [2**127, -(2**127) - 1, 2**200])
def test_seed_beyond_128_bits(seed):
    with pytest.raises(OverflowError) as info:
        grainel.random_dither(IMG, seed=seed)
    assert str(info.value) == "Python int larger than 128 bits"
    assert info.value.__notes__ == ["while processing 'seed'"]


@pytest.mark.parametrize("channels", [None, 1, 3, 5, 256])
def test_one_draw_per_pixel(channels):
    shape = (4, 6) if channels is None else (4, 6, channels)
    img = RNG.integers(0, 256, shape, dtype=np.uint8)
    out = grainel.random_dither(img, seed=3, levels=2)
    assert_array_equal(out, random_model(img, 3))
    # Draws follow row-major pixel order, so reshaping the rows changes nothing.
    for rows in (1, 2, 24):
        flat = img.reshape((rows, 24 // rows) + shape[2:])
        assert_array_equal(grainel.random_dither(flat, seed=3).reshape(shape), out)


@pytest.mark.parametrize("seed", [0, 1, -1, 2**100])
def test_random_strength_zero_is_plain_quantisation(seed):
    img = RGBA[:, :, :3]
    kw = dict(levels=5, strength=0.0)
    assert_array_equal(grainel.random_dither(img, seed=seed, **kw),
                       model(img, np.zeros(img.shape[:2], F32), **kw))


@pytest.mark.parametrize("kw", [{}, {"seed": None}, {"levels": 4, "linear": True}])
def test_clock_seeded_output_is_valid(kw):
    img = np.dstack([RNG.integers(0, 256, (20, 20), dtype=np.uint8), np.zeros((20, 20), np.uint8)])
    img[0, :, 0] = 0
    img[1, :, 0] = 255
    out = grainel.random_dither(img, **kw)
    assert out.shape == img.shape and out.dtype == np.uint8
    table, _ = level_bytes(kw.get("levels", 2), kw.get("linear", False))
    assert np.isin(out[:, :, 0], table).all()
    assert (out[0, :, 0] == 0).all() and (out[1, :, 0] == 255).all()
    assert_array_equal(out[:, :, 1], img[:, :, 1])
    # Each value moves by less than half a level: never beyond its neighbours.
    step = 255 / (kw.get("levels", 2) - 1)
    if not kw.get("linear"):
        assert (np.abs(out[:, :, 0].astype(int) - img[:, :, 0]) <= step + 0.5).all()
