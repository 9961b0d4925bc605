"""Image intake and results (NumPy arrays of every layout, PIL images, and NumPy or PIL misbehaving or
missing at the moment of the call), the shared options and the order of their checks, palettes, and how
messages show a caller's text."""

import sys
from functools import partial
from unittest import mock

import numpy as np
import pytest
from numpy.testing import assert_array_equal

from grainel import dither, error_diffusion, ordered_dither, random_dither
import reference as ref
from fakes import Boom, boom, error_of, fake
from leaks import assert_alone, assert_no_leaks

try:
    from PIL import Image
except ImportError:
    Image = None


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
SEQUENCE = 'palette must be a sequence of colors, e.g. ["#000", "#fff"] or [(0, 0, 0), (255, 255, 255)]'
PALETTE = ["#000", "#f00", "#0f0", "#00f", "#fff"]
RGB = np.zeros((2, 2, 3), np.uint8)


def noise(shape, seed=0):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def raises(exc, message, fn, *args, **kw):
    with pytest.raises(exc) as info:
        fn(*args, **kw)
    assert str(info.value) == message and not hasattr(info.value, "__notes__")
    if exc is not MemoryError:  # a sanitizer build reports every failed allocation: not hundreds of them
        assert_no_leaks(lambda: fn(*args, **kw), *args, *kw.values())


# ------------------------------------------------------------------ intake and results

BASE = noise((9, 11, 3))
READ_ONLY = BASE[1:, ::2]
READ_ONLY.flags.writeable = False
INPUTS = {
    "fortran": np.asfortranarray(BASE),
    "reversed": BASE[::-1, ::-1],
    "stepped": noise((18, 33, 3))[1::2, ::3],
    "channels-reversed": BASE[:, :, ::-1],
    "planar": np.moveaxis(np.ascontiguousarray(np.moveaxis(BASE, 2, 0)), 0, 2),
    "broadcast": np.broadcast_to(BASE[0], BASE.shape),
    "channel-view": BASE[:, :, 1],
    "read-only": READ_ONLY,
    "subclass": BASE.view(type("Tagged", (np.ndarray,), {})),
    "dtype-metadata": BASE.view(np.dtype(np.uint8, metadata={"k": 1})),
    "memoryview": memoryview(BASE),
    "array-protocol": fake(__array__=lambda self, dtype=None, copy=None: BASE[::2]),
    "list-of-uint8": [[np.uint8(v) for v in row] for row in BASE[:3, :, 0]],
}


@pytest.mark.parametrize("name", INPUTS)
@FUNCS
def test_every_accepted_input_equals_its_contiguous_copy(fn, name):
    image = INPUTS[name]
    copy = np.array(image, np.uint8)
    out = fn(image, levels=3, linear=True)
    assert type(out) is np.ndarray and out.dtype == np.uint8 and out.flags.c_contiguous and out.flags.writeable
    assert_array_equal(out, fn(copy, levels=3, linear=True))
    out[...] = 7
    assert_array_equal(np.asarray(image), copy)  # the input is neither changed nor shared
    assert_no_leaks(lambda: fn(image, levels=3, linear=True), image)


def asarray_gives(array, call):
    """call() while numpy.asarray hands back array: in every thread, so only while no other runs."""
    assert_alone("numpy.asarray swapped")
    with mock.patch.object(np, "asarray", lambda *args, **kwargs: array):
        return call()


def short_matrix(values, shape, dtype):
    """What numpy.asarray may hand back: an object that says it is an array but holds too few values."""
    return fake(shape=shape, dtype=np.dtype(dtype), astype=lambda self, *args: self, flatten=lambda self: self,
                tolist=lambda self: values)


def terabytes(*shape):
    return np.broadcast_to(np.zeros((1,) * len(shape), np.uint8), shape)  # a read-only view, no memory


def picture(**namespace):
    """A PIL image of an unsupported mode (taken in through convert), with these attributes."""
    return fake("Picture", (Image.Image,), **{"mode": property(lambda self: "P"), **namespace})


@pytest.mark.parametrize("call, exc, message", [
    (partial(error_diffusion, np.zeros((2, 2))), TypeError, DTYPE.format("float64")),
    (partial(ordered_dither, np.zeros((2, 2), bool)), TypeError, DTYPE.format("bool")),
    (partial(error_diffusion, [[1, 2], [3, 4]]), TypeError, DTYPE.format(np.asarray([1]).dtype)),  # NumPy's int
    (partial(random_dither, np.zeros(5)), TypeError, DTYPE.format("float64")),  # the dtype comes before the axes
    (partial(error_diffusion, np.zeros(5, np.uint8)), ValueError, AXES.format(1, "[5]")),
    (partial(dither, np.zeros((), np.uint8)), ValueError, AXES.format(0, "[]")),
    (partial(error_diffusion, np.zeros((0, 1, 1, 1), np.uint8)), ValueError, AXES.format(4, "[0, 1, 1, 1]")),
    (partial(ordered_dither, np.zeros((0, 7), np.uint8)), ValueError, EMPTY.format("[0, 7]")),
    (partial(error_diffusion, np.zeros((2, 2, 0), np.uint8)), ValueError, EMPTY.format("[2, 2, 0]")),
    (partial(error_diffusion, [[1, 2], [3]]), *error_of(np.asarray, [[1, 2], [3]])),  # NumPy's own error
    (partial(random_dither, fake(__array__=boom)), Boom, "injected"),
    (partial(asarray_gives, fake(dtype=property(boom)), partial(dither, [[1]])), TypeError, DTYPE.format("<unknown>")),
    # A matrix that claims more values than it holds is refused, not read past its end.
    (partial(asarray_gives, short_matrix([0], (4, 4), int), partial(ordered_dither, RGB, [[0]])), ValueError,
     "custom dither matrix has 1 values for its shape [4, 4]"),
    (partial(asarray_gives, short_matrix([0.5], (2, 2), float), partial(ordered_dither, RGB, [[0]])), ValueError,
     "custom dither matrix has 1 values for its shape [2, 2]"),
    (partial(error_diffusion, terabytes(1 << 20, 1 << 21), "stucki"), MemoryError, ""),
    (partial(ordered_dither, terabytes(1 << 20, 1 << 20, 2), 4, levels=7), MemoryError, ""),
    (partial(random_dither, terabytes(1 << 19, 1 << 20, 4), palette=PALETTE), MemoryError, ""),
] + ([] if Image is None else [
    (partial(error_diffusion, picture(mode=property(boom))), Boom, "injected"),
    (partial(error_diffusion, picture(mode=property(lambda self: 5))), TypeError,
     "'int' object is not an instance of 'str'"),
    (partial(error_diffusion, picture(convert=lambda self, mode: np.zeros((2, 2)))), TypeError,
     DTYPE.format("float64")),
]))
def test_image_errors(call, exc, message):
    raises(exc, message, call)


@pytest.mark.parametrize("mode", ["L", "LA", "RGB", "RGBA", "P", "1", "I", "F", "CMYK", "PA"])
def test_pil_images_come_back_in_their_mode_or_rgb(mode):
    Image = pytest.importorskip("PIL.Image")
    img = Image.fromarray(noise((5, 7, 3))).convert(mode)
    before = img.tobytes()
    out = error_diffusion(img, levels=256, strength=0)  # the identity: shows what was taken in
    native = mode in ("L", "LA", "RGB", "RGBA")
    assert isinstance(out, Image.Image) and out.size == (7, 5) and out.mode == (mode if native else "RGB")
    assert_array_equal(np.asarray(out), np.asarray(img if native else img.convert("RGB")))
    assert img.tobytes() == before
    assert_no_leaks(lambda: error_diffusion(img, levels=3), img)


def test_numpy_missing_at_call_time(monkeypatch):
    image = noise((6, 5, 3))
    needing_numpy = [partial(error_diffusion, [[1, 2]]), partial(ordered_dither, image, [[0, 1], [1, 0]])]
    if Image is not None:
        needing_numpy.append(partial(random_dither, Image.fromarray(image), seed=1))
    arrays = [partial(error_diffusion, image, levels=4), partial(ordered_dither, image, palette=PALETTE)]
    expected = [call() for call in arrays]
    assert_alone("NumPy hidden")
    monkeypatch.setitem(sys.modules, "numpy", None)
    assert all(error_of(call) == error_of(__import__, "numpy") for call in needing_numpy)
    # An array still takes the fast path: NumPy's C API was set up by earlier calls.
    for call, want in zip(arrays, expected):
        assert_array_equal(call(), want)


@pytest.mark.skipif(Image is None, reason="needs Pillow")
def test_pil_missing_at_call_time(monkeypatch):
    image = Image.fromarray(RGB)
    assert_alone("Pillow hidden")

    def vanish(self, mode):  # PIL gone after the picture was recognised, before the result is built
        monkeypatch.setitem(sys.modules, "PIL.Image", None)
        return image
    with pytest.raises(ImportError):
        random_dither(picture(convert=vanish), seed=1)
    out = ordered_dither(image, levels=3)  # not recognised: taken in through numpy.asarray, given back as one
    assert type(out) is np.ndarray
    assert_array_equal(out, ordered_dither(RGB, levels=3))


# ------------------------------------------------------------------ options and levels

STRENGTH, LEVELS = "strength must be between 0.0 and 1.0, got ", "levels must be between 2 and 256, got "
FLOATS = np.zeros((2, 2, 3))
OUT_OF_RANGE = [(2, "2"), (-0.25, "-0.25"), (1e20, "1" + "0" * 20), (float("nan"), "NaN"), (float("-inf"), "-inf"),
                (1e39, "inf"), (1.0000001, "1.0000001")]


@pytest.mark.parametrize("image, kw, exc, message", [(RGB, {"strength": v}, ValueError, STRENGTH + text)
                                                     for v, text in OUT_OF_RANGE] + [
    (RGB, {"levels": 1}, ValueError, LEVELS + "1"),
    (RGB, {"levels": True}, ValueError, LEVELS + "1"),
    (RGB, {"levels": 257}, ValueError, LEVELS + "257"),
    (RGB, {"levels": 4294967295}, ValueError, LEVELS + "4294967295"),
    (FLOATS, dict(strength=2.0, levels=1, palette="#zz"), ValueError, STRENGTH + "2"),
    (FLOATS, dict(levels=1, palette="#zz"), ValueError, LEVELS + "1"),
    (FLOATS, dict(levels=4, palette="#zz"), ValueError, "pass either levels or palette, not both"),
    (FLOATS, dict(palette=["#zz", (1, 2)]), ValueError, HEX.format('"#zz"')),
    (np.zeros(4, np.uint8), dict(palette=["#000"]), ValueError, "palette must contain at least 2 colors"),
    (FLOATS, dict(palette=PALETTE), TypeError, DTYPE.format("float64")),
    (np.zeros((2, 2), np.uint8), dict(palette=PALETTE), ValueError, NEEDS_RGB),
    (np.zeros((2, 2, 2), np.uint8), dict(palette=PALETTE), ValueError, NEEDS_RGB),
])
@FUNCS
def test_option_checks_in_order(fn, image, kw, exc, message):
    raises(exc, message, fn, image, **kw)


RAMP = np.arange(256, dtype=np.uint8)[None, :]


def test_the_models_level_bytes():
    assert ref.levels_table(7, False)[0].tolist() == [0, 43, 85, 128, 170, 213, 255]
    assert ref.levels_table(4, True)[0].tolist() == [0, 156, 213, 255]  # evenly spaced in light
    assert len(set(ref.levels_table(256, True)[0])) == 183  # neighbouring levels near white share a byte


@pytest.mark.parametrize("linear", [False, True])
@FUNCS
def test_plain_quantisation_for_every_level_count(fn, linear):
    for n in range(2, 257):
        expected = ref.threshold_dither(RAMP, np.zeros((1, 256)), levels=n, linear=linear)
        assert_array_equal(fn(RAMP, levels=n, strength=0, linear=linear), expected, err_msg=f"levels={n}")


# ------------------------------------------------------------------ palettes

OTHER = (200, 100, 50)


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
    img = np.array([colours], np.uint8)  # pixels of exactly the palette's colours come back unchanged
    assert_array_equal(error_diffusion(img, palette=palette, strength=0), img)
    assert_no_leaks(lambda: error_diffusion(img, palette=palette), palette)


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
    (["#000", fake(__len__=boom, __getitem__=lambda self, i: 9)], TypeError, ENTRY),
    (["#000", fake(__len__=lambda self: 3, __getitem__=lambda self, i: (9, 9)[i])], TypeError, ENTRY),  # too short
    (fake(__iter__=boom), Boom, "injected"),
    (["#000", (0, 0)], ValueError, "palette color must have exactly 3 components (r, g, b), got 2"),
    (["#000", (256, 0)], ValueError, "palette color must have exactly 3 components (r, g, b), got 2"),
    (["#000", (256, 0, 0)], ValueError, "palette color components must be in 0..=255, got [256, 0, 0]"),
    (["#000", (-1, 0, 0)], ValueError, "palette color components must be in 0..=255, got [-1, 0, 0]"),
] + [(["#000", entry], ValueError, HEX.format(ref.debug_string(entry)))
     for entry in ["##fff", " #fff", "#ffff", "#ggg", "", "#\uff11\uff12\uff13"]])
def test_palette_errors(palette, exc, message):
    raises(exc, message, error_diffusion, RGB, palette=palette)


def test_messages_show_a_callers_text_as_a_debug_string():
    # Every code point at once, in an entry too long to be a hex colour.
    text = "".join(map(chr, range(0x110000)))
    with pytest.raises(ValueError) as info:
        error_diffusion(RGB, palette=["#000", text])
    shown = str(info.value)
    assert shown.startswith('invalid hex color "') and shown.endswith("\"; expected '#rgb' or '#rrggbb'")
    at = len('invalid hex color "')
    for ch in text:  # names the first character shown wrongly
        expected = ref.shown(ch)
        assert shown[at:at + len(expected)] == expected, f"U+{ord(ch):04X} shown as {shown[at:at + 12]!r}..."
        at += len(expected)
