"""The vector paths give exactly the bytes of the plain rules in reference.py.

Ordered dither to levels compares 16 or 32 bytes at a time with per-cell cuts laid out
along a row (cut short where the matrix is wider than the image), then finishes a row
narrower than a vector byte by byte; random dither to two raw levels draws and compares in
vector lanes; error diffusion by levels runs up to four channels side by side in one pass.
Row widths cross the vector widths and leave tails; images are large enough for the vector
paths to pay for their set-up.
"""

import numpy as np
import pytest

import grainel
import reference

rng = np.random.default_rng(2024)


def noise(shape, seed):
    img = np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)
    ramp = (np.arange(shape[1]) % 256).astype(np.uint8)  # every byte value, in ramps
    img[: shape[0] // 4] = ramp[:, None] if len(shape) == 3 else ramp
    return img


MATRICES = {  # argument, its thresholds
    "bayer8": (8, reference.bayer(8)),
    "1x1": (np.array([[0]]), reference.index_thresholds([[0]])),
    "1x3": (np.array([[3, 0, 7]]), reference.index_thresholds([[3, 0, 7]])),
    "3x1": (np.array([[0.1], [0.9], [0.5]]), reference.float_thresholds([[0.1], [0.9], [0.5]])),
    "7x5": (ranks := rng.permutation(35).reshape(7, 5), reference.index_thresholds(ranks)),
    "64x64": (big := rng.permutation(4096).reshape(64, 64), reference.index_thresholds(big)),
    "repeated 0 and 1": (np.array([[0.0, 1.0], [1.0, 0.0]]),
                         reference.float_thresholds([[0.0, 1.0], [1.0, 0.0]])),
}


@pytest.mark.parametrize("matrix", MATRICES)
@pytest.mark.parametrize("shape", [(480, 481), (2600, 40), (130, 131, 2), (160, 65, 3),
                                   (99, 47, 4), (90, 45, 5)], ids=lambda s: "x".join(map(str, s)))
@pytest.mark.parametrize("levels", [2, 3, 4, 16, 17])
def test_ordered_byte_compares_match_the_rule(matrix, shape, levels):
    argument, thresholds = MATRICES[matrix]
    img = noise(shape, levels)
    for strength, linear, keep in [(1.0, False, True), (0.5, True, False), (0.0, True, True)]:
        options = dict(levels=levels, strength=strength, linear=linear, preserve_alpha=keep)
        assert np.array_equal(grainel.ordered_dither(img, argument, **options),
                              reference.ordered_dither(img, thresholds, **options))


@pytest.mark.parametrize("shape", [(1, 1), (1, 31), (3, 37), (129, 131), (64, 64), (40, 41, 3)])
@pytest.mark.parametrize("strength", [1.0, 0.3, 0.0])
@pytest.mark.parametrize("seed", [0, -1, 2**64 + 12345])
def test_random_vector_draws_match_the_sequence(shape, strength, seed):
    img = noise(shape, seed % 7)
    for linear in (False, True):
        options = dict(strength=strength, linear=linear)
        assert np.array_equal(grainel.random_dither(img, seed=seed, **options),
                              reference.random_dither(img, seed, **options))


def every_byte(channels):
    """All 256 bytes in every channel, each channel in another order."""
    img = np.stack([np.random.default_rng(c).permutation(256).reshape(8, 32)
                    for c in range(channels)], axis=-1).astype(np.uint8)
    return img[..., 0] if channels == 1 else img


@pytest.mark.parametrize("method, serpentine", [
    ("floyd_steinberg", False), ("floyd_steinberg", True), ("jarvis_judice_ninke", False),
    ("atkinson", True), ("sierra_lite", False), ("stucki", True),
])
@pytest.mark.parametrize("shape", [(1, 9, 3), (5, 3, 4), (9, 13, 2), (6, 17, 3), (7, 11, 5)],
                         ids=lambda s: "x".join(map(str, s)))
def test_diffusion_of_channels_side_by_side_matches_the_rule(method, serpentine, shape):
    img = noise(shape, shape[1])
    for levels, strength, linear, preserve_alpha in [
            (2, 1.0, False, True), (3, 0.8, True, False), (4, 1.0, False, False),
            (4, 1.0, True, True), (5, 0.5, False, False), (256, 1.0, True, False)]:
        options = dict(levels=levels, strength=strength, linear=linear,
                       preserve_alpha=preserve_alpha, serpentine=serpentine)
        assert np.array_equal(grainel.error_diffusion(img, method, **options),
                              reference.error_diffusion(img, method, **options))


@pytest.mark.parametrize("channels", [1, 3, 4])
@pytest.mark.parametrize("levels", [2, 3, 4, 5])
@pytest.mark.parametrize("linear", [False, True])
def test_level_bounds_give_the_rounding_rule_for_every_byte(channels, levels, linear):
    # Strength 0 quantises each value on its own: every byte meets the bounds exactly.
    img = every_byte(channels)
    options = dict(levels=levels, strength=0.0, linear=linear, preserve_alpha=False)
    assert np.array_equal(grainel.error_diffusion(img, **options),
                          reference.error_diffusion(img, **options))
