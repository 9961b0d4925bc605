"""Error diffusion against the plain model: every kernel, target and option on small images, and the
fast paths at their edges (bands of rows diffused at once, the nearest-colour grid); method names."""

import zlib

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel
import reference as ref


def rng_for(*key):
    return np.random.default_rng(zlib.crc32(repr(key).encode()))


def random_image(rng, channels, height=None, width=None):
    """Noise, values on level boundaries, or flat; 2-D for channels 0. Images of a given size also
    get a flat band and a black edge, where diffused error strays furthest."""
    shape = (height or rng.integers(1, 7), width or rng.integers(1, 7)) + ((channels,) if channels else ())
    kind = rng.integers(3)
    if kind == 0:
        img = rng.integers(0, 256, shape, dtype=np.uint8)
    elif kind == 1:
        img = rng.choice(np.array([0, 1, 63, 64, 100, 127, 128, 191, 192, 254, 255], np.uint8), shape)
    else:
        img = np.full(shape, rng.integers(256), np.uint8)
    if height:
        img[: height // 3] = rng.integers(0, 256)
        img[:, : width // 4] = 0
    return img


def random_palette(rng, size):
    """Random colours, or colours of a coarse grid, many equally near; maybe a duplicate."""
    if rng.integers(2):
        colors = rng.choice(np.array([0, 64, 128, 192, 255], np.uint8), (size, 3))
    else:
        colors = rng.integers(0, 256, (size, 3), dtype=np.uint8)
    colors[rng.integers(size)] = colors[rng.integers(size)]
    return colors


def agree(img, method, **kw):
    assert_array_equal(grainel.error_diffusion(img, method, **kw), ref.error_diffusion(img, method, **kw),
                       err_msg=f"{kw} {img.tolist()}")


@pytest.mark.parametrize("strength", [0.0, 0.37, 1.0])
@pytest.mark.parametrize("serpentine", [False, True])
@pytest.mark.parametrize("method", ref.METHODS)
def test_levels_match_the_model(method, serpentine, strength):
    rng = rng_for("levels", method, serpentine, strength)
    for levels in (2, 3, 7, 256):
        for linear in (False, True):
            agree(random_image(rng, int(rng.integers(6))), method, levels=levels, serpentine=serpentine,
                  strength=strength, linear=linear, preserve_alpha=bool(rng.integers(2)))


@pytest.mark.parametrize("size", [2, 5, 16])
@pytest.mark.parametrize("method", ref.METHODS)
def test_palettes_match_the_model(method, size):
    rng = rng_for("palette", method, size)
    for serpentine in (False, True):
        for strength in (0.0, 0.37, 1.0):
            for linear in (False, True):
                agree(random_image(rng, int(rng.integers(3, 6))), method, palette=random_palette(rng, size),
                      serpentine=serpentine, strength=strength, linear=linear, preserve_alpha=bool(rng.integers(2)))


@pytest.mark.parametrize("method", ref.METHODS)
@pytest.mark.parametrize("height, width", [(1, 30), (5, 3), (6, 13), (9, 17), (13, 40)])
def test_row_bands_match_the_model(method, height, width):
    rng = rng_for("bands", method, height, width)
    agree(random_image(rng, 0, height, width), method, levels=2)
    agree(random_image(rng, 0, height, width), method, levels=5)
    agree(random_image(rng, 4, height, width), method, levels=3, strength=0.6, linear=True)


def test_a_value_pushed_past_half_a_step_above_white_stays_white():
    # Level bytes are rounded, so an error can exceed half a step: here the 255 receives enough
    # to round to a level above the top one, and the top one it must stay.
    img = np.array([[99, 152, 188, 43, 37], [124, 100, 146, 225, 169], [103, 138, 255, 121, 66],
                    [100, 170, 107, 245, 83]], np.uint8)
    agree(img, "floyd_steinberg", levels=33)


# ------------------------------------------------------------------ examples worked by hand

@pytest.mark.parametrize("img, kw, expected", [
    ([[100, 100], [100, 100]], {}, [[0, 255], [0, 0]]),  # 100 + 7/16 of 100 = 143.75 reaches white
    ([[100, 100], [100, 100]], {"serpentine": True}, [[0, 255], [255, 0]]),
    ([[85, 85]], {"method": "sierra_lite"}, [[0, 255]]),  # 85 + 85/2 = 127.5 is not below 127.5
    ([[100, 100, 100]], {"method": "atkinson"}, [[0, 0, 0]]),  # a quarter of each error is dropped
    ([[[100, 0, 0, 7], [100, 0, 0, 9]]], {"palette": [(50, 0, 0), (150, 0, 0)], "preserve_alpha": False},
     [[[50, 0, 0, 7], [150, 0, 0, 9]]]),  # a tie goes to the first colour; alpha untouched
    # Colours 0 and 8 tie in one vector lane, whatever its width (equal colours would be merged).
    ([[[100, 100, 100]]], {"palette": [(50, 100, 100)] + [(0, 0, i) for i in range(7)] + [(150, 100, 100)]},
     [[[50, 100, 100]]]),
])
def test_worked_examples(img, kw, expected):
    assert_array_equal(grainel.error_diffusion(np.array(img, np.uint8), **kw), np.array(expected, np.uint8))


# ------------------------------------------------------------------ method names

@pytest.fixture(scope="module")
def probe():
    img = np.random.default_rng(0).integers(0, 256, (12, 16), dtype=np.uint8)
    outs = {m: grainel.error_diffusion(img, m, levels=3).tobytes() for m in ref.METHODS}
    assert len(set(outs.values())) == len(outs)  # every kernel leaves its own mark
    return img, outs


@pytest.mark.parametrize("spelling", [None, *ref.ALIASES, " fs ", "F-S", "f_s", "Floyd-Steinberg", "FLOYD STEINBERG",
                                      "jarvis judice ninke", "Sierra-2", "two_row_sierra", "SIERRA-2-4A"])
def test_method_names_and_aliases(probe, spelling):
    img, outs = probe
    method = ref.ALIASES["".join(c for c in (spelling or "fs").lower() if c not in " -_")]
    assert grainel.error_diffusion(img, *([spelling] if spelling else []), levels=3).tobytes() == outs[method]
