"""Image exchange, option checks and the two quantisation targets (levels and
palette), observed through the public dither functions."""

import math

import numpy as np
import pytest

from grainel import error_diffusion, ordered_dither, random_dither


def _random_seeded(img, *args, **kw):
    return random_dither(img, *args, seed=7, **kw)


FUNCS = [error_diffusion, ordered_dither, _random_seeded]
FUNC_IDS = ["diffusion", "ordered", "random"]
RAMP = np.arange(256, dtype=np.uint8)[None, :]
HEX_HINT = "; expected '#rgb' or '#rrggbb'"
DTYPE_HINT = ("; convert with np.asarray(img, dtype=np.uint8), or "
              "(img * 255).clip(0, 255).astype(np.uint8) for float images in [0, 1]")
PALETTE_NEEDS_RGB = ("palette dithering needs an RGB or RGBA image; for grayscale use "
                     "`levels`, or stack to RGB with np.dstack([img] * 3)")
ENTRY_TYPE = "palette entries must be hex strings like '#0f380f' or (r, g, b) tuples"
COUNT = "palette color must have exactly 3 components (r, g, b), got "
RANGE = "palette color components must be in 0..=255, got "
AXES = "expected a 2-D grayscale or 3-D (H, W, C) image, got a "
EMPTY = "image has an empty dimension: shape "


def _rng_image(shape, seed=0):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def _raises(exc, message, fn, *args, **kw):
    with pytest.raises(exc) as info:
        fn(*args, **kw)
    assert str(info.value) == message
    return info.value


def _round_half_away(x):
    return int(math.floor(float(x) + 0.5))


# ---------------------------------------------------------------- image intake

@pytest.mark.parametrize("make", [
    lambda a: np.asfortranarray(a),
    lambda a: a[::-1, ::-1],
    lambda a: np.repeat(np.repeat(a, 2, 0), 3, 1)[::2, 1::3],
    lambda a: a[..., ::-1],
    lambda a: np.ascontiguousarray(np.moveaxis(a, -1, 0)).transpose(1, 2, 0),
    lambda a: np.broadcast_to(a[0], a.shape),
    lambda a: a[:, :, 1],
    lambda a: np.asfortranarray(a[:, :, 0]).T,
    lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
], ids=["fortran", "negative", "stepped", "channels-reversed", "planar",
        "broadcast", "channel-view", "transposed", "read-only"])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_non_contiguous_input_equals_its_contiguous_copy(make, fn):
    view = make(_rng_image((9, 11, 3)))
    before = view.copy()
    out = fn(view, levels=3, linear=True)
    assert np.array_equal(out, fn(np.ascontiguousarray(view), levels=3, linear=True))
    assert out.flags.c_contiguous and out.flags.writeable
    assert np.array_equal(view, before)


@pytest.mark.parametrize("kw", [
    dict(levels=2), dict(levels=7, linear=True), dict(preserve_alpha=False),
    dict(palette=["#000", "#f00", "#0f0", "#00f"]),
], ids=["levels2", "levels7-linear", "alpha-dithered", "palette"])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_input_array_is_never_modified(fn, kw):
    img = _rng_image((8, 8, 4), seed=3)
    before = img.copy()
    fn(img, **kw)
    assert np.array_equal(img, before)


class Tagged(np.ndarray):
    pass


@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_subclass_input_gives_plain_array(fn):
    img = _rng_image((5, 6, 3))
    out = fn(img.view(Tagged), levels=3)
    assert type(out) is np.ndarray
    assert np.array_equal(out, fn(img, levels=3))


class ArrayLike:
    def __array__(self, dtype=None, copy=None):
        return np.full((1, 2), 9, np.uint8)


@pytest.mark.parametrize("image, expected", [
    ([[np.uint8(3), np.uint8(200)]], [[3, 200]]),
    ((np.array([1, 2], np.uint8), np.array([3, 4], np.uint8)), [[1, 2], [3, 4]]),
    (np.arange(6, dtype=np.uint8).reshape(2, 3).view(np.dtype(np.uint8, metadata={"k": 1})),
     [[0, 1, 2], [3, 4, 5]]),
    (ArrayLike(), [[9, 9]]),
], ids=["list-of-uint8", "tuple-of-rows", "dtype-with-metadata", "array-protocol"])
def test_objects_numpy_turns_into_uint8_are_accepted(image, expected):
    out = error_diffusion(image, levels=256, strength=0)
    assert type(out) is np.ndarray and out.dtype == np.uint8
    assert out.tolist() == expected


@pytest.mark.parametrize("image, dtype_text", [
    (np.zeros((2, 2)), "float64"),
    (np.zeros((2, 2), np.float32), "float32"),
    (np.zeros((2, 2), bool), "bool"),
    (np.zeros((2, 2), np.int8), "int8"),
    (np.zeros((2, 2), np.uint16), "uint16"),
    ([[1, 2], [3, 4]], str(np.asarray([[1, 2]]).dtype)),
    ("abc", "<U3"),
    (None, "object"),
    (np.zeros(5), "float64"),            # dtype is checked before the axis count
    (np.zeros((0, 3)), "float64"),       # ... and before empty dimensions
])
def test_non_uint8_image_message(image, dtype_text):
    _raises(TypeError, "expected a uint8 image array, got dtype " + dtype_text + DTYPE_HINT,
            error_diffusion, image)


def test_numpy_conversion_error_passes_through():
    with pytest.raises(ValueError) as info:
        error_diffusion([[1, 2], [3]])
    assert "expected a" not in str(info.value) and "image" not in str(info.value)


@pytest.mark.parametrize("shape, message", [
    ((5,), AXES + "1-D array with shape [5]"), ((), AXES + "0-D array with shape []"),
    ((2, 3, 4, 5), AXES + "4-D array with shape [2, 3, 4, 5]"),
    ((0, 1, 1, 1), AXES + "4-D array with shape [0, 1, 1, 1]"),
    ((0,), AXES + "1-D array with shape [0]"),
    ((0, 7), EMPTY + "[0, 7]"), ((3, 0), EMPTY + "[3, 0]"),
    ((2, 2, 0), EMPTY + "[2, 2, 0]"), ((0, 0, 3), EMPTY + "[0, 0, 3]"),
])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_shape_messages(fn, shape, message):
    _raises(ValueError, message, fn, np.zeros(shape, np.uint8))


# ------------------------------------------------------------------ the result

@pytest.mark.parametrize("shape", [(4, 5), (4, 5, 1), (4, 5, 2), (4, 5, 3), (4, 5, 4),
                                   (4, 5, 5), (3, 2, 7), (1, 1), (1, 1, 1)])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_result_array_properties(fn, shape):
    img = _rng_image(shape)
    out = fn(img, levels=4)
    assert type(out) is np.ndarray
    assert out.shape == shape and out.dtype == np.uint8
    assert out.flags.c_contiguous and out.flags.writeable
    assert not np.shares_memory(out, img)
    out[...] = 7
    assert np.array_equal(img, _rng_image(shape))


def test_one_channel_axis_is_kept_and_matches_2d():
    img = _rng_image((7, 6))
    flat = error_diffusion(img, levels=3)
    assert np.array_equal(error_diffusion(img[:, :, None], levels=3), flat[:, :, None])


# ----------------------------------------------------------------- PIL images

NATIVE_MODES = ["L", "LA", "RGB", "RGBA"]
CONVERTED_MODES = ["P", "1", "I", "F", "CMYK", "PA"]


@pytest.mark.parametrize("mode", NATIVE_MODES + CONVERTED_MODES)
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_pil_modes_round_trip(fn, mode):
    Image = pytest.importorskip("PIL.Image")
    img = Image.fromarray(_rng_image((5, 7, 3))).convert(mode)
    raw_before = img.tobytes()
    out = fn(img, levels=256, strength=0)
    assert isinstance(out, Image.Image)
    assert out.size == (7, 5)
    native = mode in NATIVE_MODES
    assert out.mode == (mode if native else "RGB")
    expected = np.asarray(img if native else img.convert("RGB"))
    assert np.array_equal(np.asarray(out), expected)
    assert img.tobytes() == raw_before and img.mode == mode


@pytest.mark.parametrize("mode, preserve, alpha_kept", [
    ("LA", True, True), ("LA", False, False), ("RGBA", True, True), ("RGBA", False, False),
])
def test_pil_alpha_channel(mode, preserve, alpha_kept):
    Image = pytest.importorskip("PIL.Image")
    arr = _rng_image((6, 4, len(mode)), seed=5)
    arr[..., -1] = 100
    out = ordered_dither(Image.fromarray(arr), strength=0, preserve_alpha=preserve)
    assert out.mode == mode
    res = np.asarray(out)
    assert np.array_equal(res[..., :-1], np.where(arr[..., :-1] < 128, 0, 255))
    assert (res[..., -1] == (100 if alpha_kept else 0)).all()


def test_pil_with_palette():
    Image = pytest.importorskip("PIL.Image")
    rgb = Image.fromarray(np.full((3, 4, 3), (250, 10, 10), np.uint8))
    out = error_diffusion(rgb, palette=["#000", "#f00"], strength=0)
    assert out.mode == "RGB" and np.asarray(out)[0, 0].tolist() == [255, 0, 0]
    out = error_diffusion(rgb.convert("P"), palette=["#000", "#f00"], strength=0)
    assert out.mode == "RGB"
    for mode in ("L", "LA"):
        _raises(ValueError, PALETTE_NEEDS_RGB, error_diffusion, rgb.convert(mode),
                palette=["#000", "#fff"])


# ------------------------------------------------------------ option checks

@pytest.mark.parametrize("value, text", [
    (1.5, "1.5"), (2, "2"), (-0.25, "-0.25"), (1e20, "1" + "0" * 20),
    (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf"),
    (1.1, "1.1"), (1.0000001, "1.0000001"), (1e39, "inf"), (-1, "-1"),
])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_strength_message(fn, value, text):
    _raises(ValueError, "strength must be between 0.0 and 1.0, got " + text,
            fn, np.zeros((2, 2), np.uint8), strength=value)


@pytest.mark.parametrize("value", [0.0, 1.0, 1.00000001, -0.0, -1e-50, 0.5, 1])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_strength_accepted(fn, value):
    assert fn(np.full((2, 2), 255, np.uint8), strength=value).tolist() == [[255, 255]] * 2


@pytest.mark.parametrize("value", [0, 1, 257, 1000, True])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_levels_range(fn, value):
    _raises(ValueError, f"levels must be between 2 and 256, got {int(value)}",
            fn, np.zeros((2, 2), np.uint8), levels=value)


GRAY = np.zeros((2, 2), np.uint8)
RGB = np.zeros((2, 2, 3), np.uint8)
FLOAT_IMG = np.zeros((2, 2, 3))
BW = ["#000", "#fff"]


@pytest.mark.parametrize("kw, exc, message", [
    (dict(image=FLOAT_IMG, strength=2.0, levels=1, palette="#zz"), ValueError,
     "strength must be between 0.0 and 1.0, got 2"),
    (dict(image=FLOAT_IMG, levels=1, palette="#zz"), ValueError,
     "levels must be between 2 and 256, got 1"),
    (dict(image=FLOAT_IMG, levels=4, palette="#zz"), ValueError,
     "pass either levels or palette, not both"),
    (dict(image=FLOAT_IMG, levels=4, palette=BW), ValueError,
     "pass either levels or palette, not both"),
    (dict(image=FLOAT_IMG, palette=["#zz", (1, 2)]), ValueError,
     'invalid hex color "#zz"' + HEX_HINT),
    (dict(image=FLOAT_IMG, palette=["#000"]), ValueError,
     "palette must contain at least 2 colors"),
    (dict(image=np.zeros(4, np.uint8), palette=["#000"]), ValueError,
     "palette must contain at least 2 colors"),
    (dict(image=FLOAT_IMG, palette=BW), TypeError,
     "expected a uint8 image array, got dtype float64" + DTYPE_HINT),
    (dict(image=np.zeros(4, np.uint8), palette=BW), ValueError,
     AXES + "1-D array with shape [4]"),
    (dict(image=GRAY, palette=BW), ValueError, PALETTE_NEEDS_RGB),
    (dict(image=np.zeros((2, 2, 1), np.uint8), palette=BW), ValueError, PALETTE_NEEDS_RGB),
    (dict(image=np.zeros((2, 2, 2), np.uint8), palette=BW), ValueError, PALETTE_NEEDS_RGB),
])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_first_failing_check_wins(fn, kw, exc, message):
    kw = dict(kw)
    _raises(exc, message, fn, kw.pop("image"), **kw)


@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_palette_with_levels_2_and_wide_images(fn):
    img = _rng_image((3, 4, 5))
    out = fn(img, palette=BW, levels=2)
    # only r, g, b are matched; the channels after them pass through
    assert np.array_equal(out[..., 3:], img[..., 3:])
    assert set(np.unique(out[..., :3])) <= {0, 255}
    assert np.array_equal(fn(img, palette=None, levels=4), fn(img, levels=4))


# -------------------------------------------------------------- level bytes

def _raw_reference(n):
    f = np.float32
    step = f(f(255) / f(n - 1))
    inv_step = f(f(1) / step)
    level = [min(255, _round_half_away(min(f(step * f(i)), f(255)))) for i in range(n)]
    out = []
    for b in range(256):
        k = (b >= 128) if n == 2 else min(n - 1, _round_half_away(f(f(b) * inv_step)))
        out.append(level[int(k)])
    return out


@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_raw_levels_plain_quantisation_for_every_count(fn):
    for n in range(2, 257):
        assert fn(RAMP, levels=n, strength=0)[0].tolist() == _raw_reference(n), n


@pytest.mark.parametrize("n, linear, expected", [
    (2, False, [0, 255]), (2, True, [0, 255]),
    (3, False, [0, 128, 255]), (3, True, [0, 188, 255]),
    (4, True, [0, 156, 213, 255]),
    (7, False, [0, 43, 85, 128, 170, 213, 255]),
    (256, False, list(range(256))),
])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_level_bytes_of_a_ramp(fn, n, linear, expected):
    assert np.unique(fn(RAMP, levels=n, strength=0, linear=linear)).tolist() == expected


@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_256_linear_levels_share_bytes(fn):
    out = fn(RAMP, levels=256, strength=0, linear=True)
    distinct = np.unique(out).tolist()
    assert len(distinct) == 183
    assert distinct[:4] == [0, 13, 22, 28]
    assert distinct[-6:] == [250, 251, 252, 253, 254, 255]


def _decode(b):
    v = b / 255
    return v / 12.92 * 255 if v <= 0.04045 else ((v + 0.055) / 1.055) ** 2.4 * 255


def _encode(x):
    u = x / 255
    e = u * 12.92 if u <= 0.0031308 else u ** (1 / 2.4) * 1.055 - 0.055
    return e * 255


def _linear_reference(n):
    # Computed in double precision; the level counts used below keep every
    # rounding well away from a half, so single-precision results agree.
    step = 255 / (n - 1)
    level = [min(255, _round_half_away(_encode(min(step * i, 255)))) for i in range(n)]
    out = []
    for b in range(256):
        v = _decode(b)
        k = (v >= 127.5) if n == 2 else min(n - 1, _round_half_away(v / step))
        out.append(level[int(k)])
    return out


@pytest.mark.parametrize("n", [2, 3, 4, 5, 6, 7, 16, 17, 64, 100, 256])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_linear_plain_quantisation(fn, n):
    assert fn(RAMP, levels=n, strength=0, linear=True)[0].tolist() == _linear_reference(n)


# ------------------------------------------------------------ palette parsing

def _keeps(fn, palette, colours):
    """Pixels equal to the parsed colours come back unchanged."""
    img = np.array([colours], np.uint8)
    return np.array_equal(fn(img, palette=palette, strength=0), img)


OTHER = (200, 100, 50)


@pytest.mark.parametrize("entry, rgb", [
    ("#0F380F", (15, 56, 15)), ("#0f380f", (15, 56, 15)), ("0f380f", (15, 56, 15)),
    ("#abc", (170, 187, 204)), ("ABC", (170, 187, 204)), ("#000", (0, 0, 0)),
    ("#FFFFFF", (255, 255, 255)), ("#1a2B3c", (26, 43, 60)),
    (b"\x00\x10\x20", (0, 16, 32)), ((True, False, 1), (1, 0, 1)),
    ([np.int64(9), np.uint8(8), 7], (9, 8, 7)), (np.array([4, 5, 6]), (4, 5, 6)),
])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_palette_entry_parsing(fn, entry, rgb):
    assert _keeps(fn, [entry, OTHER], [rgb, OTHER])


def _gen():
    yield "#102030"
    yield (200, 100, 50)


@pytest.mark.parametrize("palette", [
    ("#102030", OTHER), ["#102030", OTHER], _gen(),
    np.array([(16, 32, 48), OTHER], np.uint8), np.array([(16, 32, 48), OTHER]),
    {"#102030": 0, "#c86432": 1},
], ids=["tuple", "list", "generator", "uint8-array", "int-array", "dict-keys"])
def test_palette_containers(palette):
    assert _keeps(error_diffusion, palette, [(16, 32, 48), OTHER])


@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_palette_order_and_duplicates_kept(fn):
    grey = np.full((1, 1, 3), 127, np.uint8)
    assert fn(grey, palette=["#000000", "#fefefe"], strength=0).ravel().tolist() == [0] * 3
    assert fn(grey, palette=["#fefefe", "#000000"], strength=0).ravel().tolist() == [254] * 3
    # two copies of one colour still make a palette of two
    assert fn(grey, palette=["#123", "#123"]).ravel().tolist() == [17, 34, 51]


@pytest.mark.parametrize("palette", ["#000", "", "#000 #fff"])
def test_palette_string_refused(palette):
    class Hex(str):
        pass
    message = ('palette must be a sequence of colors, e.g. ["#000", "#fff"] '
               "or [(0, 0, 0), (255, 255, 255)]")
    for p in (palette, Hex(palette)):
        _raises(TypeError, message, error_diffusion, RGB, palette=p)


@pytest.mark.parametrize("entry, shown", [
    ("##fff", '"##fff"'), (" #fff", '" #fff"'), ("#fff ", '"#fff "'), ("#ffff", '"#ffff"'),
    ("#ggg", '"#ggg"'), ("", '""'), ("#", '"#"'), ("0x123", '"0x123"'),
    ("#12345", '"#12345"'), ("#1234567", '"#1234567"'), ("+fff", '"+fff"'),
    ('a"b', r'"a\"b"'), ("a\\b", r'"a\\b"'), ("f\tf", r'"f\tf"'),
    ("\n\r\0", r'"\n\r\0"'), ("\u0301", r'"\u{301}"'), ("e\u0301", r'"e\u{301}"'),
    ("\x07", r'"\u{7}"'), ("\x7f", r'"\u{7f}"'), ("é", '"é"'), ("'", "\"'\""),
    ("#１２３", '"#１２３"'),
])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_invalid_hex_message(fn, entry, shown):
    _raises(ValueError, "invalid hex color " + shown + HEX_HINT,
            fn, RGB, palette=["#000", entry])


@pytest.mark.parametrize("entry, exc, message", [
    ((0, 0), ValueError, COUNT + "2"), ((), ValueError, COUNT + "0"),
    ((1, 2, 3, 4), ValueError, COUNT + "4"), (b"\x00\x00", ValueError, COUNT + "2"),
    ((256, 0), ValueError, COUNT + "2"),      # the count is checked before the range
    ((256, 0, 0), ValueError, RANGE + "[256, 0, 0]"),
    ((-1, 0, 0), ValueError, RANGE + "[-1, 0, 0]"),
    ((0, 0, 2**40), ValueError, RANGE + "[0, 0, 1099511627776]"),
    ((1.0, 2.0, 3.0), TypeError, ENTRY_TYPE),
    ((2**70, 0, 0), TypeError, ENTRY_TYPE),
    (("1", "2", "3"), TypeError, ENTRY_TYPE),
    (np.array([0.0, 1.0, 2.0]), TypeError, ENTRY_TYPE),
    (5, TypeError, ENTRY_TYPE),
    (None, TypeError, ENTRY_TYPE),
    ({1, 2, 3}, TypeError, ENTRY_TYPE),
])
@pytest.mark.parametrize("fn", FUNCS, ids=FUNC_IDS)
def test_component_entry_messages(fn, entry, exc, message):
    _raises(exc, message, fn, RGB, palette=["#000", entry, "#fff"])


@pytest.mark.parametrize("palette, exc, message", [
    ([], ValueError, "palette must contain at least 2 colors"),
    (["#000"], ValueError, "palette must contain at least 2 colors"),
    (["#000"] * 4097, ValueError, "palette must contain at most 4096 colors"),
    (["#000"] * 5000, ValueError, "palette must contain at most 4096 colors"),
    (["#ggg"], ValueError, 'invalid hex color "#ggg"' + HEX_HINT),
    (["#000"] * 5000 + ["#ggg"], ValueError, 'invalid hex color "#ggg"' + HEX_HINT),
    (["#000", "#ggg", (1.0, 2, 3), (0, 0)], ValueError, 'invalid hex color "#ggg"' + HEX_HINT),
    (["#000", (1.0, 2, 3), "#ggg"], TypeError, ENTRY_TYPE),
    ([(0, 0), (256, 0, 0)], ValueError, COUNT + "2"),
    ([(256, 0, 0), (0, 0)], ValueError, RANGE + "[256, 0, 0]"),
])
def test_palette_counts_and_first_bad_entry(palette, exc, message):
    _raises(exc, message, error_diffusion, RGB, palette=palette)


def test_palette_of_4096_colours_accepted():
    colours = [(i % 256, i // 256, 0) for i in range(4096)]
    img = np.array([colours[::97]], np.uint8)
    assert np.array_equal(error_diffusion(img, palette=colours, strength=0), img)


def test_palette_iteration_errors_pass_through():
    _raises(TypeError, "'int' object is not iterable", error_diffusion, RGB, palette=5)

    def failing():
        yield "#000"
        raise RuntimeError("boom")
    _raises(RuntimeError, "boom", error_diffusion, RGB, palette=failing())

    def stops_at_bad_entry():
        yield "#000"
        yield "#xyz"
        raise AssertionError("read past the bad entry")
    _raises(ValueError, 'invalid hex color "#xyz"' + HEX_HINT,
            error_diffusion, RGB, palette=stops_at_bad_entry())


# ------------------------------------------------------------- palette spacing

GREY_RAMP = np.repeat(RAMP[:, :, None], 3, axis=2).repeat(8, axis=0)


@pytest.mark.parametrize("palette", [BW, ["#000", "#fff", "#fff"], [(0, 0, 0)] * 3 + BW])
def test_black_white_palette_spacing_matches_two_levels(palette):
    # spacing 255 on every channel makes the palette shift equal the level shift
    assert np.array_equal(ordered_dither(GREY_RAMP, palette=palette),
                          ordered_dither(GREY_RAMP, levels=2))


@pytest.mark.parametrize("palette", [[(0, 0, 0), (255, 0, 0)],
                                     [(0, 0, 0), (255, 0, 0), (255, 0, 0), (0, 0, 0)]])
def test_random_palette_spacing_with_known_draws(palette):
    # seed 0 draws noise -0.324, -0.041, +0.025 for the three pixels
    img = np.array([[(100, 9, 9), (130, 9, 9), (125, 9, 9)]], np.uint8)
    out = random_dither(img, palette=palette, seed=0)
    assert out[0, :, 0].tolist() == [0, 0, 255]
    assert not out[..., 1:].any()
    assert random_dither(img, palette=palette, seed=0, strength=0)[0, :, 0].tolist() == \
        [0, 255, 0]


@pytest.mark.parametrize("palette, spacing", [
    ([(0, 0, 0), (255, 0, 0)], (255, 0, 0)),
    ([(10, 20, 30), (40, 20, 30), (70, 80, 30), (100, 80, 90)], (30, 60, 60)),
    ([(0, 0, 9), (0, 41, 9), (100, 41, 9), (255, 41, 9)], (127.5, 41, 0)),
    ([(0, 0, 0), (30, 200, 40), (60, 90, 255), (90, 30, 100)], (30, 200 / 3, 85)),
])
@pytest.mark.parametrize("strength", [0.5, 1.0])
def test_palette_spacing_scales_the_threshold_shift(palette, spacing, strength):
    # a 1x2 threshold matrix shifts even columns by -0.25 and odd ones by +0.375 spacings
    offsets = np.array([-0.25, 0.375])
    img = _rng_image((16, 16, 3), seed=11)
    out = ordered_dither(img, np.array([[0.25, 0.875]]), palette=palette, strength=strength)
    colours = np.array(palette, float)
    w = img.astype(float) + strength * np.array(spacing) * offsets[np.arange(16) % 2][:, None]
    dist = ((w[:, :, None, :] - colours) ** 2).sum(axis=-1)
    order = np.sort(dist, axis=-1)
    assert (order[..., 1] - order[..., 0] > 1.0).all()      # no near ties in this image
    assert np.array_equal(out, colours[dist.argmin(axis=-1)].astype(np.uint8))
