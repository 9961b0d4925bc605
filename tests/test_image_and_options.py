"""Image intake and results, PIL images, the shared options, their checks and palette parsing."""

import numpy as np
import pytest
from numpy.testing import assert_array_equal

from grainel import error_diffusion, ordered_dither, random_dither
import reference as ref


def seeded_random(img, **kw):
    return random_dither(img, seed=7, **kw)


FUNCS = pytest.mark.parametrize("fn", [error_diffusion, ordered_dither, seeded_random],
                                ids=["diffusion", "ordered", "random"])
DTYPE = ("expected a uint8 image array, got dtype {}; convert with np.asarray(img, dtype=np.uint8), "
         "or (img * 255).clip(0, 255).astype(np.uint8) for float images in [0, 1]")
AXES = "expected a 2-D grayscale or 3-D (H, W, C) image, got a {}-D array with shape {}"
EMPTY = "image has an empty dimension: shape {}"
NEEDS_RGB = ("palette dithering needs an RGB or RGBA image; for grayscale use `levels`, "
             "or stack to RGB with np.dstack([img] * 3)")
HEX = "invalid hex color {}; expected '#rgb' or '#rrggbb'"
ENTRY = "palette entries must be hex strings like '#0f380f' or (r, g, b) tuples"
COUNT = "palette color must have exactly 3 components (r, g, b), got {}"
RANGE = "palette color components must be in 0..=255, got {}"
SEQUENCE = 'palette must be a sequence of colors, e.g. ["#000", "#fff"] or [(0, 0, 0), (255, 255, 255)]'
PALETTE = ["#000", "#f00", "#0f0", "#00f", "#fff"]
RGB = np.zeros((2, 2, 3), np.uint8)


def noise(shape, seed=0):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def raises(exc, message, fn, *args, **kw):
    with pytest.raises(exc) as info:
        fn(*args, **kw)
    assert str(info.value) == message


# ------------------------------------------------------------------ intake and results

class Tagged(np.ndarray):
    pass


class ArrayLike:
    def __init__(self, a):
        self.a = a

    def __array__(self, dtype=None, copy=None):
        return self.a


BASE = noise((9, 11, 3))
READ_ONLY = BASE[1:, ::2]
READ_ONLY.flags.writeable = False
INPUTS = {
    "fortran": np.asfortranarray(BASE),
    "reversed": BASE[::-1, ::-1],
    "stepped": noise((18, 33, 3))[1::2, ::3],
    "channels-reversed": BASE[:, :, ::-1],
    "planar": np.moveaxis(np.ascontiguousarray(np.moveaxis(BASE, 2, 0)), 0, 2),
    "transposed": BASE.transpose(1, 0, 2),
    "broadcast": np.broadcast_to(BASE[0], BASE.shape),
    "channel-view": BASE[:, :, 1],
    "read-only": READ_ONLY,
    "subclass": BASE.view(Tagged),
    "dtype-metadata": BASE.view(np.dtype(np.uint8, metadata={"k": 1})),
    "memoryview": memoryview(BASE),
    "array-protocol": ArrayLike(BASE[::2]),
    "list-of-uint8": [[np.uint8(v) for v in row] for row in BASE[:3, :, 0]],
    "tuple-of-rows": tuple(BASE[:, :, 2]),
}


@pytest.mark.parametrize("name", INPUTS)
@FUNCS
def test_every_accepted_input_equals_its_contiguous_copy(fn, name):
    image = INPUTS[name]
    copy = np.array(image, np.uint8)
    out = fn(image, levels=3, linear=True)
    assert type(out) is np.ndarray and out.dtype == np.uint8
    assert out.flags.c_contiguous and out.flags.writeable
    assert_array_equal(out, fn(copy, levels=3, linear=True))
    out[...] = 7
    assert_array_equal(np.asarray(image), copy)  # the input is neither changed nor shared


@pytest.mark.parametrize("channels, preserve_alpha", [(1, True), (2, True), (2, False), (4, True), (4, False),
                                                     (5, True)])
@FUNCS
def test_channels_are_dithered_alone_and_alpha_kept(fn, channels, preserve_alpha):
    img = noise((6, 7, channels), seed=channels)
    out = fn(img, levels=3, linear=True, preserve_alpha=preserve_alpha)
    kept = preserve_alpha and channels in (2, 4)
    for c in range(channels):
        plane = np.ascontiguousarray(img[:, :, c])
        expected = plane if kept and c == channels - 1 else fn(plane, levels=3, linear=True)
        assert_array_equal(out[:, :, c], expected, err_msg=f"channel {c}")


@pytest.mark.parametrize("channels, preserve_alpha", [(4, True), (4, False), (5, False)])
@FUNCS
def test_palette_leaves_the_channels_after_rgb(fn, channels, preserve_alpha):
    img = noise((6, 7, channels), seed=3)
    out = fn(img, palette=PALETTE, preserve_alpha=preserve_alpha)
    assert_array_equal(out[:, :, 3:], img[:, :, 3:])
    assert_array_equal(out[:, :, :3], fn(np.ascontiguousarray(img[:, :, :3]), palette=PALETTE))


@pytest.mark.parametrize("image, exc, message", [
    (np.zeros((2, 2)), TypeError, DTYPE.format("float64")),
    (np.zeros((2, 2), bool), TypeError, DTYPE.format("bool")),
    ([[1, 2], [3, 4]], TypeError, DTYPE.format(np.asarray([1]).dtype)),  # NumPy's default integer
    (np.zeros(5), TypeError, DTYPE.format("float64")),  # the dtype comes before the axes
    (np.zeros(5, np.uint8), ValueError, AXES.format(1, "[5]")),
    (np.zeros((), np.uint8), ValueError, AXES.format(0, "[]")),
    (np.zeros((0, 1, 1, 1), np.uint8), ValueError, AXES.format(4, "[0, 1, 1, 1]")),  # before extents
    (np.zeros((0, 7), np.uint8), ValueError, EMPTY.format("[0, 7]")),
    (np.zeros((2, 2, 0), np.uint8), ValueError, EMPTY.format("[2, 2, 0]")),
])
def test_image_errors(image, exc, message):
    raises(exc, message, error_diffusion, image)


def test_numpy_conversion_error_passes_through():
    with pytest.raises(ValueError) as numpy_error:
        np.asarray([[1, 2], [3]])
    raises(ValueError, str(numpy_error.value), error_diffusion, [[1, 2], [3]])


@pytest.mark.parametrize("mode", ["L", "LA", "RGB", "RGBA", "P", "1", "I", "F", "CMYK", "PA"])
def test_pil_modes(mode):
    Image = pytest.importorskip("PIL.Image")
    img = Image.fromarray(noise((5, 7, 3))).convert(mode)
    before = img.tobytes()
    out = error_diffusion(img, levels=256, strength=0)  # the identity: shows what was taken in
    native = mode in ("L", "LA", "RGB", "RGBA")
    assert isinstance(out, Image.Image) and out.size == (7, 5) and out.mode == (mode if native else "RGB")
    assert_array_equal(np.asarray(out), np.asarray(img if native else img.convert("RGB")))
    assert img.tobytes() == before


# ------------------------------------------------------------------ options and levels

STRENGTH = "strength must be between 0.0 and 1.0, got "


@pytest.mark.parametrize("kw, message", [
    *[({"strength": value}, STRENGTH + text) for value, text in [
        (1.5, "1.5"), (2, "2"), (-0.25, "-0.25"), (1e20, "1" + "0" * 20), (float("nan"), "NaN"),
        (float("-inf"), "-inf"), (1e39, "inf"), (1.1, "1.1"), (1.0000001, "1.0000001")]],
    ({"levels": 1}, "levels must be between 2 and 256, got 1"),
    ({"levels": 257}, "levels must be between 2 and 256, got 257"),
])
def test_option_out_of_range(kw, message):
    raises(ValueError, message, ordered_dither, RGB, **kw)


FLOATS = np.zeros((2, 2, 3))


@pytest.mark.parametrize("image, kw, exc, message", [
    (FLOATS, dict(strength=2.0, levels=1, palette="#zz"), ValueError, STRENGTH + "2"),
    (FLOATS, dict(levels=1, palette="#zz"), ValueError, "levels must be between 2 and 256, got 1"),
    (FLOATS, dict(levels=4, palette="#zz"), ValueError, "pass either levels or palette, not both"),
    (FLOATS, dict(palette=["#zz", (1, 2)]), ValueError, HEX.format('"#zz"')),
    (np.zeros(4, np.uint8), dict(palette=["#000"]), ValueError, "palette must contain at least 2 colors"),
    (FLOATS, dict(palette=PALETTE), TypeError, DTYPE.format("float64")),
    (np.zeros((2, 2), np.uint8), dict(palette=PALETTE), ValueError, NEEDS_RGB),
    (np.zeros((2, 2, 2), np.uint8), dict(palette=PALETTE), ValueError, NEEDS_RGB),
])
@FUNCS
def test_first_failing_check_wins(fn, image, kw, exc, message):
    raises(exc, message, fn, image, **kw)


RAMP = np.arange(256, dtype=np.uint8)[None, :]


@pytest.mark.parametrize("n, linear, head, count", [
    (2, True, [0, 255], 2), (3, False, [0, 128, 255], 3), (3, True, [0, 188, 255], 3),
    (4, True, [0, 156, 213, 255], 4), (7, False, [0, 43, 85, 128, 170, 213, 255], 7),
    (256, True, [0, 13, 22, 28], 183),  # neighbouring levels near white share a byte
])
def test_level_bytes(n, linear, head, count):
    distinct = np.unique(ordered_dither(RAMP, levels=n, strength=0, linear=linear)).tolist()
    assert distinct[:len(head)] == head and len(distinct) == count


@pytest.mark.parametrize("linear", [False, True])
@FUNCS
def test_plain_quantisation_for_every_level_count(fn, linear):
    for n in range(2, 257):
        expected = ref.threshold_dither(RAMP, np.zeros((1, 256)), levels=n, linear=linear)
        assert_array_equal(fn(RAMP, levels=n, strength=0, linear=linear), expected, err_msg=f"levels={n}")


# ------------------------------------------------------------------ palettes

OTHER = (200, 100, 50)


def keeps(palette, colours):
    """Pixels of exactly the palette's colours come back unchanged."""
    img = np.array([colours], np.uint8)
    return np.array_equal(error_diffusion(img, palette=palette, strength=0), img)


def two_colours():
    yield "#102030"
    yield OTHER


@pytest.mark.parametrize("palette, colours", [
    (["#0F380F", "#abc"], [(15, 56, 15), (170, 187, 204)]),
    (["0f380f", "ABC", b"\x00\x10\x20", (True, False, 1), [np.int64(9), np.uint8(8), 7]],
     [(15, 56, 15), (170, 187, 204), (0, 16, 32), (1, 0, 1), (9, 8, 7)]),
    (("#102030", OTHER), [(16, 32, 48), OTHER]),
    (two_colours(), [(16, 32, 48), OTHER]),
    (np.array([(16, 32, 48), OTHER]), [(16, 32, 48), OTHER]),
    ([(i % 256, i // 256, 0) for i in range(4096)], [(i % 256, i // 256, 0) for i in range(0, 4096, 97)]),
], ids=["hex", "mixed-entries", "tuple", "generator", "array", "4096-colours"])
def test_palettes_parse_to_their_colours(palette, colours):
    assert keeps(palette, colours)


@FUNCS
def test_palette_ties_go_to_the_first_colour(fn):
    gray = np.full((3, 4, 3), 127, np.uint8)
    assert (fn(gray, palette=["#000000", "#fefefe"], strength=0) == 0).all()
    assert (fn(gray, palette=["#fefefe", "#000000"], strength=0) == 254).all()
    assert (fn(gray, palette=["#123", "#123"]) == [17, 34, 51]).all()  # duplicates remain


@pytest.mark.parametrize("entry, shown", [  # also every rule for showing a caller's text
    ("##fff", '"##fff"'), (" #fff", '" #fff"'), ("#ffff", '"#ffff"'), ("#ggg", '"#ggg"'), ("", '""'),
    ("#\uff11\uff12\uff13", '"#\uff11\uff12\uff13"'), ('a"b', r'"a\"b"'), ("a\\b", r'"a\\b"'),
    ("\t\r\n\0", r'"\t\r\n\0"'), ("e\u0301", r'"e\u{301}"'), ("\x07\x7f", r'"\u{7}\u{7f}"'),
    ("é'", '"é\'"'),
])
def test_invalid_hex_colour(entry, shown):
    raises(ValueError, HEX.format(shown), error_diffusion, RGB, palette=["#000", entry])


def failing():
    yield "#000"
    raise RuntimeError("boom")


def stops_at_bad_entry():
    yield "#xyz"
    raise AssertionError("read past the bad entry")


@pytest.mark.parametrize("palette, exc, message", [
    ("#000", TypeError, SEQUENCE),
    (type("Hex", (str,), {})("#000 #fff"), TypeError, SEQUENCE),
    (5, TypeError, "'int' object is not iterable"),
    (failing(), RuntimeError, "boom"),
    ([], ValueError, "palette must contain at least 2 colors"),
    (["#000"] * 4097, ValueError, "palette must contain at most 4096 colors"),
    (["#000"] * 5000 + ["#ggg"], ValueError, HEX.format('"#ggg"')),  # read in full before counting
    (stops_at_bad_entry(), ValueError, HEX.format('"#xyz"')),  # the first bad entry ends the parse
    (["#000", (1.0, 2, 3), "#ggg"], TypeError, ENTRY),
    (["#000", (2**70, 0, 0)], TypeError, ENTRY),
    (["#000", 5], TypeError, ENTRY),
    (["#000", {1, 2, 3}], TypeError, ENTRY),
    (["#000", (0, 0)], ValueError, COUNT.format(2)),
    (["#000", (256, 0)], ValueError, COUNT.format(2)),  # the count comes before the range
    (["#000", (256, 0, 0)], ValueError, RANGE.format("[256, 0, 0]")),
    (["#000", (-1, 0, 0)], ValueError, RANGE.format("[-1, 0, 0]")),
])
def test_palette_errors(palette, exc, message):
    raises(exc, message, error_diffusion, RGB, palette=palette)
