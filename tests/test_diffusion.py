"""Error diffusion: method names, worked examples and exact agreement with the
pure-Python model in reference.py."""

import zlib

import numpy as np
import pytest

import grainel
import reference as ref

METHODS = [
    "floyd_steinberg",
    "false_floyd_steinberg",
    "jarvis_judice_ninke",
    "stucki",
    "atkinson",
    "burkes",
    "sierra",
    "sierra_two_row",
    "sierra_lite",
]

UNKNOWN_TAIL = "; valid values: " + ", ".join("'%s'" % m for m in METHODS)


def u8(rows):
    return np.array(rows, dtype=np.uint8)


def rng_for(*key):
    """A Generator seeded from the test parameters (stable across runs)."""
    return np.random.default_rng(zlib.crc32(repr(key).encode()))


def random_image(rng, height, width, channels):
    """A small random image; channels 0 means a 2-D array.

    Mixes plain noise with flat areas and values sitting on quantisation
    boundaries so ties and exact halves get exercised.
    """
    shape = (height, width) if channels == 0 else (height, width, channels)
    kind = rng.integers(4)
    if kind == 0:
        return rng.integers(0, 256, shape, dtype=np.uint8)
    if kind == 1:
        edges = u8([0, 1, 42, 43, 63, 64, 100, 127, 128, 191, 192, 254, 255])
        return rng.choice(edges, shape)
    if kind == 2:
        return np.full(shape, rng.integers(0, 256), dtype=np.uint8)
    ramp = np.linspace(0, 255, height * width).reshape(height, width)
    ramp = ramp.astype(np.uint8)
    if channels:
        ramp = np.repeat(ramp[:, :, None], channels, axis=2)
        ramp[..., -1] = rng.integers(0, 256, (height, width))
    return ramp


def assert_same(actual, expected, context):
    assert actual.dtype == np.uint8
    assert actual.shape == expected.shape, context
    if not np.array_equal(actual, expected):
        where = np.argwhere(actual != expected)[:5].tolist()
        pytest.fail("%s: first differing positions %s" % (context, where))


# --------------------------------------------------------------------------
# the reference model agrees with the documented values it is built from
# --------------------------------------------------------------------------


def test_reference_tables_match_documented_values():
    raw = ref.decode_table(False)
    assert np.array_equal(raw, np.arange(256, dtype=np.float32))
    lin = ref.decode_table(True)
    assert lin[0] == 0 and lin[255] == 255
    assert np.all(np.diff(lin) > 0)
    assert lin[10] == pytest.approx(0.7739, abs=1e-4)
    assert lin[128] == pytest.approx(55.04, abs=0.01)

    assert ref.levels_table(3, False)[0].tolist() == [0, 128, 255]
    assert ref.levels_table(3, True)[0].tolist() == [0, 188, 255]
    assert ref.levels_table(4, True)[0].tolist() == [0, 156, 213, 255]
    assert ref.levels_table(7, False)[0].tolist() == [0, 43, 85, 128, 170, 213, 255]
    top = ref.levels_table(256, True)[0]
    assert len(set(top.tolist())) == 183
    assert top[-12:].tolist() == [250, 251, 251, 251, 252, 252, 253, 253, 254, 254, 255, 255]

    _, spacing = ref.palette_table(
        [(10, 20, 30), (40, 20, 30), (70, 80, 30), (100, 80, 90)], False)
    assert spacing.tolist() == [30, 60, 60]

    fwd, mir, active = ref.kernel_rows("floyd_steinberg", 1.0)
    assert (fwd[0, 3], fwd[1, 1], fwd[1, 2], fwd[1, 3]) == (0.4375, 0.1875, 0.3125, 0.0625)
    assert (mir[0, 1], mir[1, 3], mir[1, 2], mir[1, 1]) == (0.4375, 0.1875, 0.3125, 0.0625)
    assert active == [True, True, False]
    fwd, _, active = ref.kernel_rows("atkinson", 1.0)
    assert sorted(fwd.ravel().tolist())[-6:] == [0.125] * 6 and active == [True] * 3
    assert not ref.kernel_rows("stucki", 0.0)[0].any()

    assert ref.bayer(2).tolist() == [[0.125, 0.625], [0.875, 0.375]]
    assert ref.splitmix_draws(0, 3) == [2953000, 7701871, 8811707]
    assert ref.splitmix_draws(1, 3) == [4735337, 8754820, 5009907]


# --------------------------------------------------------------------------
# method names
# --------------------------------------------------------------------------

SPELLINGS = [
    ("fs", "floyd_steinberg"),
    ("FS", "floyd_steinberg"),
    (" fs ", "floyd_steinberg"),
    ("F-S", "floyd_steinberg"),
    ("f_s", "floyd_steinberg"),
    ("-_f s_-", "floyd_steinberg"),
    ("floydsteinberg", "floyd_steinberg"),
    ("Floyd-Steinberg", "floyd_steinberg"),
    ("FLOYD STEINBERG", "floyd_steinberg"),
    ("ffs", "false_floyd_steinberg"),
    ("FFS", "false_floyd_steinberg"),
    ("falsefloydsteinberg", "false_floyd_steinberg"),
    ("False-Floyd Steinberg", "false_floyd_steinberg"),
    ("jjn", "jarvis_judice_ninke"),
    ("jarvis", "jarvis_judice_ninke"),
    ("Jarvis", "jarvis_judice_ninke"),
    ("jarvisjudiceninke", "jarvis_judice_ninke"),
    ("jarvis judice ninke", "jarvis_judice_ninke"),
    ("Stucki", "stucki"),
    ("ATKINSON", "atkinson"),
    ("Burkes", "burkes"),
    ("sierra3", "sierra"),
    ("sierra_3", "sierra"),
    ("Sierra", "sierra"),
    ("sierra2", "sierra_two_row"),
    ("sierra-2", "sierra_two_row"),
    ("Sierra-2", "sierra_two_row"),
    ("sierratworow", "sierra_two_row"),
    ("tworowsierra", "sierra_two_row"),
    ("two_row_sierra", "sierra_two_row"),
    ("sierralite", "sierra_lite"),
    ("Sierra Lite", "sierra_lite"),
    ("sierra24a", "sierra_lite"),
    ("sierra_2_4a", "sierra_lite"),
    ("SIERRA-2-4A", "sierra_lite"),
] + [(m, m) for m in METHODS]


@pytest.fixture(scope="module")
def name_probe():
    """An image on which every kernel gives a different result."""
    img = np.random.default_rng(0).integers(0, 256, (12, 16), dtype=np.uint8)
    outs = {m: grainel.error_diffusion(img, m, levels=3) for m in METHODS}
    return img, outs


def test_every_method_gives_its_own_result(name_probe):
    img, outs = name_probe
    for i, a in enumerate(METHODS):
        assert_same(outs[a], ref.error_diffusion(img, a, levels=3), a)
        for b in METHODS[i + 1:]:
            assert not np.array_equal(outs[a], outs[b]), (a, b)


@pytest.mark.parametrize("spelling, canonical", SPELLINGS)
def test_method_spellings(name_probe, spelling, canonical):
    img, outs = name_probe
    assert_same(grainel.error_diffusion(img, spelling, levels=3), outs[canonical], spelling)


def test_default_method_is_floyd_steinberg(name_probe):
    img, _ = name_probe
    assert_same(grainel.error_diffusion(img),
                grainel.error_diffusion(img, "floyd_steinberg"), "default")


@pytest.mark.parametrize("name, shown", [
    ("fs\t", '"fs\\t"'),
    ("fs\n", '"fs\\n"'),
    ("fs\r", '"fs\\r"'),
    ("fs\0", '"fs\\0"'),
    ("Floyd\u2013Steinberg", '"Floyd\u2013Steinberg"'),
    ("", '""'),
    ("   ", '"   "'),
    ("-_ -_", '"-_ -_"'),
    ("judice", '"judice"'),
    ("ninke", '"ninke"'),
    ("floyd", '"floyd"'),
    ("sierra4", '"sierra4"'),
    ("fs.", '"fs."'),
    ("'fs'", "\"'fs'\""),
    ('f"s', '"f\\"s"'),
    ('"fs"', '"\\"fs\\""'),
    ("f\\s", '"f\\\\s"'),
    ("ATK\u0130NSON", '"ATK\u0130NSON"'),
    ("st\u00fccki", '"st\u00fccki"'),
    ("fs\u0301", '"fs\\u{301}"'),
])
def test_unknown_method_message(name, shown):
    with pytest.raises(ValueError) as info:
        grainel.error_diffusion(u8([[1, 2]]), name)
    assert str(info.value) == "unknown error-diffusion method " + shown + UNKNOWN_TAIL


@pytest.mark.parametrize("name", ["floyd\u00a0steinberg", "\uff46\uff53", "fs\u200b"])
def test_other_non_ascii_separators_are_not_removed(name):
    with pytest.raises(ValueError, match="^unknown error-diffusion method "):
        grainel.error_diffusion(u8([[1, 2]]), name)


@pytest.mark.parametrize("image", [
    np.zeros((2, 2), dtype=np.float64),
    np.zeros(5, dtype=np.uint8),
    np.zeros((0, 3), dtype=np.uint8),
    "not an image",
])
def test_unknown_method_is_reported_before_anything_else(image):
    with pytest.raises(ValueError) as info:
        grainel.error_diffusion(image, "nope", levels=1, strength=2.0, palette="#000")
    assert str(info.value) == 'unknown error-diffusion method "nope"' + UNKNOWN_TAIL


# --------------------------------------------------------------------------
# worked examples
# --------------------------------------------------------------------------


def test_two_pixels_in_a_row_and_in_a_column():
    assert grainel.error_diffusion(u8([[100, 100]]), "floyd_steinberg").tolist() == [[0, 255]]
    assert grainel.error_diffusion(u8([[100], [100]]), "floyd_steinberg").tolist() == [[0], [255]]


@pytest.mark.parametrize("serpentine, expected", [
    (False, [[0, 255], [0, 0]]),
    (True, [[0, 255], [255, 0]]),
])
def test_two_by_two_of_100(serpentine, expected):
    out = grainel.error_diffusion(np.full((2, 2), 100, np.uint8), "fs", serpentine=serpentine)
    assert out.tolist() == expected


@pytest.mark.parametrize("serpentine", [False, True])
def test_flat_128_gives_checkerboard(serpentine):
    out = grainel.error_diffusion(np.full((4, 4), 128, np.uint8), "floyd_steinberg",
                                  serpentine=serpentine)
    yy, xx = np.mgrid[0:4, 0:4]
    assert out.tolist() == np.where((yy + xx) % 2 == 0, 255, 0).tolist()


def test_atkinson_drops_a_quarter_of_the_error():
    assert grainel.error_diffusion(u8([[100, 100, 100]]), "atkinson").tolist() == [[0, 0, 0]]
    # Floyd-Steinberg passes the whole error on and reaches white
    assert grainel.error_diffusion(u8([[100, 100, 100]]), "fs").tolist() == [[0, 255, 0]]


ALL_BYTES = np.arange(256, dtype=np.uint8).reshape(16, 16)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("serpentine", [False, True])
def test_strength_zero_is_plain_quantisation(method, serpentine):
    two = grainel.error_diffusion(ALL_BYTES, method, strength=0.0, serpentine=serpentine)
    assert two.tolist() == np.where(ALL_BYTES >= 128, 255, 0).tolist()
    three = grainel.error_diffusion(ALL_BYTES, method, levels=3, strength=0.0,
                                    serpentine=serpentine)
    assert three.ravel()[63] == 0 and three.ravel()[64] == 128
    expected = np.where(ALL_BYTES < 64, 0, np.where(ALL_BYTES < 192, 128, 255))
    assert three.tolist() == expected.tolist()


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("serpentine", [False, True])
def test_256_levels_is_identity(method, serpentine):
    rng = rng_for("identity", method, serpentine)
    for shape in [(7, 9), (5, 6, 3), (4, 5, 4)]:
        img = rng.integers(0, 256, shape, dtype=np.uint8)
        out = grainel.error_diffusion(img, method, levels=256, serpentine=serpentine,
                                      preserve_alpha=False)
        assert_same(out, img, shape)


@pytest.mark.parametrize("method", ["floyd_steinberg", "jarvis_judice_ninke", "atkinson"])
@pytest.mark.parametrize("levels", [2, 5])
@pytest.mark.parametrize("linear", [False, True])
def test_channels_are_dithered_independently(method, levels, linear):
    gray = rng_for("channels", method, levels, linear).integers(0, 256, (8, 10), dtype=np.uint8)
    kw = dict(levels=levels, linear=linear, serpentine=True)
    single = grainel.error_diffusion(gray, method, **kw)
    rgb = grainel.error_diffusion(np.dstack([gray] * 3), method, **kw)
    for c in range(3):
        assert_same(rgb[:, :, c], single, "channel %d" % c)
    one = grainel.error_diffusion(gray[:, :, None], method, **kw)
    assert_same(one, single[:, :, None], "(H, W, 1)")


def test_single_column_keeps_only_straight_down_shares():
    column = u8([[100], [100], [100], [100]])
    # 100 -> 0 passes 31.25 down; 131.25 -> 255 passes -38.671875; 61.33 -> 0 ...
    assert grainel.error_diffusion(column, "fs").ravel().tolist() == [0, 255, 0, 0]


@pytest.mark.parametrize("method", METHODS)
def test_scan_direction_is_irrelevant_for_one_row_or_one_column(method):
    rng = rng_for("line", method)
    column = rng.integers(0, 256, (12, 1), dtype=np.uint8)
    row = rng.integers(0, 256, (1, 12, 3), dtype=np.uint8)
    for img in (column, row):
        plain = grainel.error_diffusion(img, method, levels=3)
        assert_same(grainel.error_diffusion(img, method, levels=3, serpentine=True),
                    plain, img.shape)
        assert_same(plain, ref.error_diffusion(img, method, levels=3), img.shape)


@pytest.mark.parametrize("channels", [2, 4])
def test_alpha_channel_with_levels(channels):
    rng = rng_for("alpha", channels)
    img = rng.integers(0, 256, (6, 7, channels), dtype=np.uint8)
    kept = grainel.error_diffusion(img, "stucki", levels=3)
    assert_same(kept[:, :, -1], img[:, :, -1], "alpha kept")
    dithered = grainel.error_diffusion(img, "stucki", levels=3, preserve_alpha=False)
    for c in range(channels):
        plane = grainel.error_diffusion(np.ascontiguousarray(img[:, :, c]), "stucki", levels=3)
        assert_same(dithered[:, :, c], plane, "channel %d" % c)
        if c < channels - 1:
            assert_same(kept[:, :, c], plane, "channel %d" % c)
    assert not np.array_equal(dithered[:, :, -1], img[:, :, -1])


@pytest.mark.parametrize("preserve_alpha", [True, False])
def test_palette_leaves_alpha_alone(preserve_alpha):
    img = u8([[[100, 0, 0, 7], [100, 0, 0, 9]]])
    out = grainel.error_diffusion(img, "floyd_steinberg", palette=[(50, 0, 0), (150, 0, 0)],
                                  preserve_alpha=preserve_alpha)
    assert out.tolist() == [[[50, 0, 0, 7], [150, 0, 0, 9]]]
    # listing the colours the other way round flips the tie
    out = grainel.error_diffusion(img, "floyd_steinberg", palette=[(150, 0, 0), (50, 0, 0)],
                                  preserve_alpha=preserve_alpha)
    assert out.tolist() == [[[150, 0, 0, 7], [50, 0, 0, 9]]]


def test_palette_leaves_extra_channels_alone():
    rng = rng_for("extra")
    img = rng.integers(0, 256, (5, 6, 6), dtype=np.uint8)
    palette = ["#000", "#f00", "#0f0", "#00f", "#fff"]
    out = grainel.error_diffusion(img, "burkes", palette=palette, preserve_alpha=False)
    assert_same(out[:, :, 3:], img[:, :, 3:], "extra channels")
    rgb = grainel.error_diffusion(np.ascontiguousarray(img[:, :, :3]), "burkes", palette=palette)
    assert_same(out[:, :, :3], rgb, "colour channels")


def test_linear_light_darkens_mid_gray():
    flat = np.full((64, 64), 128, np.uint8)
    linear = grainel.error_diffusion(flat, "floyd_steinberg", linear=True)
    assert set(np.unique(linear).tolist()) == {0, 255}
    assert abs(np.mean(linear == 255) - 55.04 / 255) < 0.01
    raw = grainel.error_diffusion(flat, "floyd_steinberg")
    assert abs(np.mean(raw == 255) - 128 / 255) < 0.01


# --------------------------------------------------------------------------
# exact agreement with the reference model
# --------------------------------------------------------------------------


@pytest.mark.parametrize("strength", [0.0, 0.37, 1.0])
@pytest.mark.parametrize("serpentine", [False, True])
@pytest.mark.parametrize("method", METHODS)
def test_levels_match_reference(method, serpentine, strength):
    rng = rng_for("levels", method, serpentine, strength)
    for levels in (2, 3, 7, 256):
        for linear in (False, True):
            # one channel layout per combination keeps the run short; over
            # the whole grid every layout meets every levels/linear pair
            channels = int(rng.choice([0, 1, 2, 3, 4, 5]))
            height, width = (int(n) for n in rng.integers(1, 7, 2))
            img = random_image(rng, height, width, channels)
            kw = dict(levels=levels, serpentine=serpentine, strength=strength,
                      linear=linear, preserve_alpha=bool(rng.integers(2)))
            out = grainel.error_diffusion(img, method, **kw)
            expected = ref.error_diffusion(img, method, **kw)
            assert_same(out, expected, "%s %r image=%r" % (method, kw, img.tolist()))


def random_palette(rng, size):
    if rng.integers(2):
        # coarse grid: many exact ties between colours
        colors = rng.choice(u8([0, 64, 128, 192, 255]), (size, 3))
    else:
        colors = rng.integers(0, 256, (size, 3), dtype=np.uint8)
    if size > 2 or rng.integers(3) == 0:
        colors[rng.integers(size)] = colors[rng.integers(size)]  # a duplicate
    form = rng.integers(3)
    if form == 0:
        return [tuple(int(v) for v in c) for c in colors]
    if form == 1:
        return ["#%02x%02x%02x" % tuple(int(v) for v in c) for c in colors]
    return colors


@pytest.mark.parametrize("size", [2, 5, 16])
@pytest.mark.parametrize("method", METHODS)
def test_palette_matches_reference(method, size):
    rng = rng_for("palette", method, size)
    for serpentine in (False, True):
        for strength in (0.0, 0.37, 1.0):
            for linear in (False, True):
                palette = random_palette(rng, size)
                channels = int(rng.integers(3, 6))
                height, width = (int(n) for n in rng.integers(1, 7, 2))
                img = random_image(rng, height, width, channels)
                kw = dict(palette=palette, serpentine=serpentine, strength=strength,
                          linear=linear, preserve_alpha=bool(rng.integers(2)))
                out = grainel.error_diffusion(img, method, **kw)
                expected = ref.error_diffusion(img, method, **kw)
                kw["palette"] = np.asarray(palette).tolist()
                assert_same(out, expected, "%s %r image=%r" % (method, kw, img.tolist()))


# --------------------------------------------------------------------------
# memory layout of the input
# --------------------------------------------------------------------------


def _layouts():
    rng = np.random.default_rng(11)
    gray = rng.integers(0, 256, (9, 8), dtype=np.uint8)
    rgba = rng.integers(0, 256, (7, 6, 4), dtype=np.uint8)
    big = rng.integers(0, 256, (15, 20, 3), dtype=np.uint8)
    readonly = rgba[1:, ::2]
    readonly.flags.writeable = False
    return [
        ("fortran gray", np.asfortranarray(gray)),
        ("fortran rgba", np.asfortranarray(rgba)),
        ("reversed rows", gray[::-1]),
        ("reversed both", big[::-1, ::-1]),
        ("reversed channels", rgba[:, :, ::-1]),
        ("stepped slice", big[1:12:2, 2::3]),
        ("channel slice", big[:, :, 1:]),
        ("transposed", big.transpose(1, 0, 2)),
        ("read-only view", readonly),
        ("broadcast", np.broadcast_to(gray[0], (5, 8))),
    ]


@pytest.mark.parametrize("name, img", _layouts(), ids=[n for n, _ in _layouts()])
@pytest.mark.parametrize("palette", [None, ["#123", "#c84", "#fff", "#000", "#39e"]])
def test_memory_layout_does_not_matter(name, img, palette):
    if palette is not None and (img.ndim < 3 or img.shape[2] < 3):
        pytest.skip("palette needs colour channels")
    before = img.copy()
    kw = dict(levels=3) if palette is None else dict(palette=palette)
    out = grainel.error_diffusion(img, "jjn", serpentine=True, **kw)
    assert out.flags.c_contiguous
    assert_same(out, grainel.error_diffusion(np.ascontiguousarray(img), "jjn",
                                             serpentine=True, **kw), name)
    assert_same(out, ref.error_diffusion(img, "jjn", serpentine=True, **kw), name)
    assert np.array_equal(img, before)
