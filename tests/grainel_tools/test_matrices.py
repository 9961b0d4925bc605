"""Named threshold matrices (grainel_tools.matrices): blue noise, halftone and line screens."""

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel
import reference
from grainel_tools import main, matrices
from grainel_tools.bluenoise import void_and_cluster

NAMES = list(matrices.NAMED)


def low_band_peak(ranks, share):
    """The highest radially averaged power below 0.35 of the principal frequency.

    The pattern is the cells ranked below `share` of the tile; its power
    spectrum is divided by white noise's (flat at p(1 - p) per cell), averaged
    over rings one frequency step wide, and the largest ring below
    0.35 * sqrt(min(p, 1 - p)) cycles per pixel, Ulichney's principal
    frequency, is returned.
    """
    n = len(ranks)
    p = round(share * n * n) / (n * n)
    power = np.abs(np.fft.fft2((ranks < p * n * n) - p)) ** 2 / (n * n * p * (1 - p))
    f = np.fft.fftfreq(n)
    ring = np.rint(np.hypot(f[:, None], f[None, :]) * n).astype(int).ravel()
    average = np.bincount(ring, power.ravel()) / np.bincount(ring)
    band = np.arange(len(average)) <= 0.35 * np.sqrt(min(p, 1 - p)) * n
    return average[1:][band[1:]].max()


SHARES = (0.1, 0.35, 0.65, 0.9)  # phase 1, phase 2, phase 3 (past half), and its far end
BOUND = 0.15


@pytest.mark.parametrize("size", matrices.BLUENOISE_SIZES)
def test_blue_noise_has_little_low_frequency_power(size):
    # Void and cluster leaves almost no power below the principal frequency:
    # every ring there stays under 15 % of white noise's level at every
    # tested gray. Bayer's lattice puts spikes there at in-between grays and
    # white noise is flat, so both of the same size fail the same bound.
    ranks = matrices.bluenoise(size)
    assert max(low_band_peak(ranks, s) for s in SHARES) < BOUND
    white = np.random.default_rng(size).permutation(size * size).reshape(size, size)
    for other in (reference.bayer_indices(size), white):
        assert max(low_band_peak(other, s) for s in SHARES) > BOUND


@pytest.mark.parametrize("name", NAMES)
def test_every_named_matrix_is_a_permutation_of_ranks(name):
    ranks = matrices.matrix(name)
    assert ranks.ndim == 2 and np.issubdtype(ranks.dtype, np.integer)
    assert_array_equal(np.sort(ranks, axis=None), np.arange(ranks.size))


def pieces(mask):
    """4-connected pieces of `mask` tiled 2 x 2 and wrapped round: a dot that
    touches a neighbour, its own copy included, merges two pieces."""
    mask = np.tile(mask, (2, 2))
    label = np.where(mask, np.arange(mask.size).reshape(mask.shape), -1)
    while True:  # spread the largest label through every piece
        grown = label.copy()
        for axis in (0, 1):
            for step in (1, -1):
                grown = np.maximum(grown, np.where(mask, np.roll(label, step, axis), -1))
        if (grown == label).all():
            return len(np.unique(label[mask]))
        label = grown


@pytest.mark.parametrize("name", [n for n in NAMES if n.startswith(("halftone", "diamond"))])
def test_clustered_screens_make_one_dot_per_cell_up_to_half_cover(name):
    ranks = matrices.matrix(name)
    dots = 2 if name.startswith("halftone") and not name.endswith("_0") else 1
    for k in range(1, ranks.size // 2 + 1):
        assert pieces(ranks < k) == 4 * min(k, dots), k


def test_shipped_blue_noise_regenerates_exactly():
    # All four sizes: about a second in all, mostly the 128 x 128 map.
    for size in matrices.BLUENOISE_SIZES:
        assert_array_equal(matrices.bluenoise(size), void_and_cluster(size, seed=0))
    assert_array_equal(matrices.bluenoise(16, seed=3), void_and_cluster(16, seed=3))
    assert not np.array_equal(void_and_cluster(16, seed=3), void_and_cluster(16, seed=4))


@pytest.mark.parametrize("option, name", [("--matrix", "bluenoise16"), ("--method", "HALFTONE4"),
                                          ("--matrix", "diamond8"), ("--method", "dlines4")])
def test_cli_dithers_with_named_matrices(tmp_path, capsys, option, name):
    Image = pytest.importorskip("PIL.Image")
    gray = np.random.default_rng(2).integers(0, 256, (20, 24), dtype=np.uint8)
    Image.fromarray(gray).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), option, name]) == 0
    with Image.open(tmp_path / "out.png") as out:
        assert_array_equal(np.asarray(out.convert("L")), grainel.ordered_dither(gray, matrices.matrix(name)))
    assert main(["--list"]) == 0
    assert name.lower() in capsys.readouterr().out.split()


def test_names_stay_clear_of_the_module_and_unknown_names_fail():
    for name in NAMES:
        with pytest.raises(ValueError):
            grainel.ordered_dither(np.zeros((1, 1), np.uint8), name)
    with pytest.raises(ValueError, match="bluenoise64"):
        matrices.matrix("bluenoise65")
