"""Error diffusion: method names, worked examples and exact agreement with the reference model."""

import zlib

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel
import reference as ref

TAIL = "; valid values: " + ", ".join(f"'{m}'" for m in ref.METHODS)


def rng_for(*key):
    return np.random.default_rng(zlib.crc32(repr(key).encode()))


def random_image(rng, channels):
    """A small image (2-D for channels 0): noise, values on level boundaries, or flat."""
    shape = tuple(rng.integers(1, 7, 2)) + ((channels,) if channels else ())
    kind = rng.integers(3)
    if kind == 0:
        return rng.integers(0, 256, shape, dtype=np.uint8)
    if kind == 1:
        return rng.choice(np.array([0, 1, 63, 64, 100, 127, 128, 191, 192, 254, 255], np.uint8), shape)
    return np.full(shape, rng.integers(256), np.uint8)


# ------------------------------------------------------------------ exact agreement

@pytest.mark.parametrize("strength", [0.0, 0.37, 1.0])
@pytest.mark.parametrize("serpentine", [False, True])
@pytest.mark.parametrize("method", ref.METHODS)
def test_levels_match_reference(method, serpentine, strength):
    rng = rng_for("levels", method, serpentine, strength)
    for levels in (2, 3, 7, 256):
        for linear in (False, True):
            img = random_image(rng, int(rng.integers(6)))
            kw = dict(levels=levels, serpentine=serpentine, strength=strength, linear=linear,
                      preserve_alpha=bool(rng.integers(2)))
            assert_array_equal(grainel.error_diffusion(img, method, **kw),
                               ref.error_diffusion(img, method, **kw), err_msg=f"{kw} {img.tolist()}")


@pytest.mark.parametrize("size", [2, 5, 16])
@pytest.mark.parametrize("method", ref.METHODS)
def test_palette_matches_reference(method, size):
    rng = rng_for("palette", method, size)
    for serpentine in (False, True):
        for strength in (0.0, 0.37, 1.0):
            for linear in (False, True):
                if rng.integers(2):  # a coarse grid: many colours equally near
                    colors = rng.choice(np.array([0, 64, 128, 192, 255], np.uint8), (size, 3))
                else:
                    colors = rng.integers(0, 256, (size, 3), dtype=np.uint8)
                colors[rng.integers(size)] = colors[rng.integers(size)]  # maybe a duplicate
                palette = [colors, [tuple(c) for c in colors.tolist()],
                           ["#%02x%02x%02x" % tuple(c) for c in colors.tolist()]][rng.integers(3)]
                img = random_image(rng, int(rng.integers(3, 6)))
                kw = dict(palette=palette, serpentine=serpentine, strength=strength, linear=linear,
                          preserve_alpha=bool(rng.integers(2)))
                assert_array_equal(grainel.error_diffusion(img, method, **kw),
                                   ref.error_diffusion(img, method, **kw),
                                   err_msg=f"{kw} {colors.tolist()} {img.tolist()}")


# ------------------------------------------------------------------ worked examples

ALL_BYTES = np.arange(256, dtype=np.uint8).reshape(16, 16)
CHECKER = (np.indices((4, 4)).sum(axis=0) % 2 == 0) * 255


@pytest.mark.parametrize("img, kw, expected", [
    ([[100, 100]], {}, [[0, 255]]),  # 100 + 7/16 of 100 = 143.75 reaches white
    ([[100], [100]], {}, [[0], [255]]),  # through the 5/16 share
    ([[100, 100], [100, 100]], {}, [[0, 255], [0, 0]]),
    ([[100, 100], [100, 100]], {"serpentine": True}, [[0, 255], [255, 0]]),
    ([[128] * 4] * 4, {}, CHECKER),  # 128 is not below 127.5
    ([[128] * 4] * 4, {"serpentine": True}, CHECKER),
    ([[100, 100, 100]], {}, [[0, 255, 0]]),
    ([[100, 100, 100]], {"method": "atkinson"}, [[0, 0, 0]]),  # a quarter of each error is dropped
    ([[100]] * 4, {}, [[0], [255], [0], [0]]),  # sideways shares fall off a single column
    ([[[100, 0, 0, 7], [100, 0, 0, 9]]], {"palette": [(50, 0, 0), (150, 0, 0)], "preserve_alpha": False},
     [[[50, 0, 0, 7], [150, 0, 0, 9]]]),  # a tie goes to the first colour; alpha untouched
    ([[[100, 0, 0, 7], [100, 0, 0, 9]]], {"palette": [(150, 0, 0), (50, 0, 0)]},
     [[[150, 0, 0, 7], [50, 0, 0, 9]]]),
    (ALL_BYTES, {"strength": 0.0}, np.where(ALL_BYTES < 128, 0, 255)),
    (ALL_BYTES, {"strength": 0.0, "levels": 3},  # 63 / 127.5 rounds to 0, 64 / 127.5 to 1
     np.select([ALL_BYTES < 64, ALL_BYTES < 192], [0, 128], 255)),
    (ALL_BYTES, {"levels": 256, "method": "stucki"}, ALL_BYTES),
])
def test_worked_examples(img, kw, expected):
    img = np.array(img, np.uint8)
    assert_array_equal(grainel.error_diffusion(img, **kw), np.array(expected, np.uint8))


def test_linear_light_keeps_perceived_brightness():
    flat = np.full((64, 64), 128, np.uint8)  # 128 decodes to about 55.04 in linear light
    assert abs(np.mean(grainel.error_diffusion(flat, linear=True) == 255) - 55.04 / 255) < 0.01
    assert abs(np.mean(grainel.error_diffusion(flat) == 255) - 128 / 255) < 0.01


# ------------------------------------------------------------------ method names

SPELLINGS = {
    "floyd_steinberg": ["fs", "FS", " fs ", "F-S", "f_s", "Floyd-Steinberg", "FLOYD STEINBERG"],
    "false_floyd_steinberg": ["ffs", "falsefloydsteinberg"],
    "jarvis_judice_ninke": ["jjn", "jarvis", "jarvis judice ninke"],
    "stucki": ["Stucki"], "atkinson": ["ATKINSON"], "burkes": ["Burkes"],
    "sierra": ["sierra3", "sierra_3"],
    "sierra_two_row": ["sierra2", "Sierra-2", "sierratworow", "two_row_sierra"],
    "sierra_lite": ["Sierra Lite", "sierra24a", "SIERRA-2-4A"],
}


@pytest.fixture(scope="module")
def probe():
    img = np.random.default_rng(0).integers(0, 256, (12, 16), dtype=np.uint8)
    outs = {m: grainel.error_diffusion(img, m, levels=3).tobytes() for m in ref.METHODS}
    assert len(set(outs.values())) == len(outs)  # every kernel leaves its own mark
    return img, outs


@pytest.mark.parametrize("spelling, method", [(None, "floyd_steinberg")]  # None: the default
                         + [(s, m) for m, names in SPELLINGS.items() for s in names])
def test_method_spellings(probe, spelling, method):
    img, outs = probe
    args = () if spelling is None else (spelling,)
    assert grainel.error_diffusion(img, *args, levels=3).tobytes() == outs[method]


@pytest.mark.parametrize("name, shown", [
    ("fs\t", r'"fs\t"'), ("Floyd\u2013Steinberg", '"Floyd\u2013Steinberg"'), ("judice", '"judice"'),
    ("", '""'), (" -_", '" -_"'), ('f"s', r'"f\"s"'),
])
def test_unknown_method(name, shown):
    with pytest.raises(ValueError) as info:  # reported before any other argument is looked at
        grainel.error_diffusion(np.zeros(5), name, levels=1, strength=2.0, palette="#000")
    assert str(info.value) == "unknown error-diffusion method " + shown + TAIL
