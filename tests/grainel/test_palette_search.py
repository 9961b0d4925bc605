"""The nearest-colour search finds the plain rule's colour on every path.

The search keeps per region of working space only the colours that can win
there, reaches far past the palette, scans the palette whole where nothing
narrower is known, and compares candidates with the widest vectors the CPU
has (the baseline-only build runs the narrow ones). Each case aims at one of
those: exact ties and repeated colours, crowded and sparse palettes, diffused
values that run thousands of units outside the palette or past the grid, and
4096 colours. The images are large enough for every palette here to get a
grid (a few thousand pixels for thousands of colours, 16384 for 256).
"""

import numpy as np
import pytest

import grainel
import reference
from search_cases import clustered, image, random_colors, repeated


def lattice(ramp):
    return [(r, g, b) for r in ramp for g in ramp for b in ramp]


PALETTES = {
    # Midpoints between lattice colours tie exactly at strength 0.
    "lattice with repeats": repeated(lattice([*range(0, 256, 32), 255])),
    # Diffused values run thousands of units past a palette this dark.
    "dark only": lattice(range(0, 41, 4)),
    # A unit wide in linear light: the grid's cells are tiny, and diffused
    # values leave it altogether.
    "thirteen darkest bytes": lattice(range(13)),
    "crowded": clustered(3),
    "256 random": random_colors(256, 4),
    "1024 bright": random_colors(1024, 5, 96),
    "4096 random": random_colors(4096, 6),
}
# The plain model of diffusion takes four to five minutes a picture under emulation with these.
THOUSANDS = {"1024 bright", "4096 random"}
DIFFUSED_PALETTES = [pytest.param(name, marks=pytest.mark.slow_plain_model) if name in THOUSANDS else name
                     for name in PALETTES]


@pytest.mark.parametrize("name", DIFFUSED_PALETTES)
@pytest.mark.parametrize("method, linear", [("floyd_steinberg", False), ("atkinson", True)])
def test_diffusion_matches_the_plain_rule(name, method, linear):
    img = image(np.random.default_rng(len(name)), 128, 128)
    options = dict(palette=PALETTES[name], linear=linear)
    expected = reference.error_diffusion(img, method, **options)
    assert np.array_equal(grainel.error_diffusion(img, method, **options), expected)


@pytest.mark.parametrize("name", DIFFUSED_PALETTES)
def test_serpentine_diffusion_matches_the_plain_rule(name):
    img = image(np.random.default_rng(7), 128, 128, 4)
    options = dict(palette=PALETTES[name], serpentine=True, strength=0.8)
    expected = reference.error_diffusion(img, "sierra_lite", **options)
    assert np.array_equal(grainel.error_diffusion(img, "sierra_lite", **options), expected)


@pytest.mark.slow_plain_model  # over half an hour under emulation, for palettes of up to 4096 colours
@pytest.mark.parametrize("name", PALETTES)
@pytest.mark.parametrize("linear", [False, True])
def test_threshold_dither_and_plain_quantisation_match_the_plain_rule(name, linear):
    img = image(np.random.default_rng(11), 128, 128, 4)  # alpha passes through
    img[::7, :, :3] = np.arange(0, 256, 2, dtype=np.uint8)[:, None]  # every byte, as grays
    img[3::7, :, :3] = np.arange(1, 256, 2, dtype=np.uint8)[:, None]
    options = dict(palette=PALETTES[name], linear=linear)
    bayer = reference.bayer(4)
    # A one-cell matrix shifts every pixel alike: colours found for a
    # pixel's bytes are remembered for the next pixel with the same bytes.
    one_cell = np.array([[0.3]])
    for strength in (1.0, 0.45):
        assert np.array_equal(grainel.ordered_dither(img, 4, strength=strength, **options),
                              reference.ordered_dither(img, bayer, strength=strength, **options))
        assert np.array_equal(
            grainel.ordered_dither(img, one_cell, strength=strength, **options),
            reference.ordered_dither(img, reference.float_thresholds(one_cell), strength=strength,
                                     **options))
        assert np.array_equal(grainel.random_dither(img, seed=3, strength=strength, **options),
                              reference.random_dither(img, 3, strength=strength, **options))
    # At strength 0 all three are plain quantisation (diffusion passes
    # nothing on).
    plain = reference.ordered_dither(img, bayer, strength=0.0, **options)
    for result in (grainel.ordered_dither(img, strength=0.0, **options),
                   grainel.random_dither(img, strength=0.0, **options),
                   grainel.error_diffusion(img, strength=0.0, **options)):
        assert np.array_equal(result, plain)


@pytest.mark.parametrize("colors", [
    # Exact ties at the midpoints between lattice colours, repeats, and
    # colours on the edges of blocks of 16 byte values.
    repeated(lattice([0, 64, 128, 192, 255])),
    clustered(8)[:256],
    random_colors(256, 9),  # the last palette index must survive too
], ids=["lattice with repeats", "crowded", "256 random"])
@pytest.mark.parametrize("linear, strength, channels", [(False, 0.0, 3), (True, 0.0, 4),
                                                         (False, 0.7, 3)])
def test_quantising_large_pictures_matches_the_plain_rule(colors, linear, strength, channels):
    # Pixels shifted alike get the colour of their bytes, so the plain rule
    # is worked out once per distinct pixel: random ones, and every gray.
    # The picture's pixel count is odd, so that runs of pixels end short.
    rng = np.random.default_rng(len(colors))
    grays = np.repeat(np.arange(256), channels).reshape(256, channels)
    distinct = np.concatenate([rng.integers(0, 256, (30000, channels)), grays]).astype(np.uint8)
    one_cell = np.array([[0.3]])
    options = dict(palette=colors, linear=linear, strength=strength)
    expected = reference.ordered_dither(distinct[None], reference.float_thresholds(one_cell),
                                        **options)[0]
    pick = rng.integers(0, len(distinct), (511, 1025))
    img = distinct[pick]
    result = (grainel.error_diffusion(img, **options) if strength == 0
              else grainel.ordered_dither(img, one_cell, **options))
    assert np.array_equal(result, expected[pick])
