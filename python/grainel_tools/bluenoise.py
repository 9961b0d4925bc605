"""Blue-noise threshold maps by Ulichney's void-and-cluster method.

A map ranks the cells of a square tile so that, for every count k, the k
lowest-ranked cells are spread as evenly as possible over the tile taken as a
torus: no clumps, no gaps, no lattice. "Even" is measured by an energy, the
pattern filtered by a Gaussian that wraps around the edges: a pixel's energy
is high inside a cluster of set pixels and low in a void.

Energies are kept as exact integers (the Gaussian scaled and rounded once), so
every comparison, tie included, comes out the same on every machine and the
shipped maps can be checked by regenerating them.
"""

from __future__ import annotations

import numpy as np

SIGMA = 1.5           # Ulichney's choice: wide enough to see neighbours, narrow enough to stay local
MINORITY = 0.1        # share of cells set in the initial pattern
_SCALE = 1 << 24      # Gaussian fixed point; energies stay far below 2**53, exact in float64


def void_and_cluster(size: int, seed: int = 0, sigma: float = SIGMA) -> np.ndarray:
    """A (size, size) uint16 rank matrix, a permutation of 0 .. size*size - 1.

    Deterministic: the same size, seed and sigma give the same ranks.
    """
    if not 2 <= size <= 256:  # ranks must fit in uint16
        raise ValueError(f"blue-noise size must be between 2 and 256, got {size}")
    cells = size * size
    kernel = _torus_gaussian(size, sigma)
    # Doubled in both directions, so that the kernel centred on any cell is a
    # plain slice: a pixel at (y, x) adds kernel[(r - y) % n, (c - x) % n] at (r, c).
    tiled = np.tile(kernel, (2, 2))

    def toggle(pattern: np.ndarray, energy: np.ndarray, index: int, on: bool) -> None:
        y, x = divmod(index, size)
        pattern[y, x] = on
        spread = tiled[size - y:2 * size - y, size - x:2 * size - x]
        energy += spread if on else -spread

    pattern = _initial_pattern(size, seed, max(1, round(MINORITY * cells)))
    energy = _energy(pattern, kernel)
    # Even out the random start: move the tightest cluster's pixel into the
    # largest void until that no longer lowers the energy. A swap is made
    # only when the void is strictly emptier, so the total falls at every
    # step and the loop ends.
    while True:
        cluster = _tightest_cluster(pattern, energy)
        toggle(pattern, energy, cluster, False)
        void = _largest_void(pattern, energy)
        if energy.flat[void] >= energy.flat[cluster]:
            toggle(pattern, energy, cluster, True)
            break
        toggle(pattern, energy, void, True)

    ranks = np.zeros(cells, dtype=np.uint16)
    ones = int(pattern.sum())
    # Phase 1: the initial pattern's own ranks, by taking away its tightest
    # clusters; what remains last gets rank 0.
    work, work_energy = pattern.copy(), energy.copy()
    for rank in range(ones - 1, -1, -1):
        cluster = _tightest_cluster(work, work_energy)
        toggle(work, work_energy, cluster, False)
        ranks[cluster] = rank
    # Phases 2 and 3: from the initial pattern up, each next rank fills the
    # largest void. Past half, the published method swaps roles and takes
    # away the tightest cluster of unset pixels instead; but the energies of
    # the set and the unset pixels add up to the kernel's sum at every cell,
    # so that cluster is exactly the largest void of the set ones, ties
    # included, and one loop serves both phases.
    for rank in range(ones, cells):
        void = _largest_void(pattern, energy)
        toggle(pattern, energy, void, True)
        ranks[void] = rank
    return ranks.reshape(size, size)


def _torus_gaussian(size: int, sigma: float) -> np.ndarray:
    """exp(-d^2 / 2 sigma^2) around cell (0, 0) on the torus, in fixed point."""
    offsets = np.arange(size)
    d = np.minimum(offsets, size - offsets).astype(np.float64)
    squared = d[:, None] ** 2 + d[None, :] ** 2
    kernel: np.ndarray = np.rint(np.exp(squared / (-2.0 * sigma * sigma)) * _SCALE).astype(np.int64)
    return kernel


def _energy(pattern: np.ndarray, kernel: np.ndarray) -> np.ndarray:
    """The pattern filtered by the kernel with wrap-around, exactly.

    A circular convolution of integers through the FFT; its rounding error is
    far below 0.5, so rounding gives back the exact integer sums.
    """
    spectrum = np.fft.rfft2(pattern.astype(np.float64)) * np.fft.rfft2(kernel.astype(np.float64))
    return np.rint(np.fft.irfft2(spectrum, s=pattern.shape)).astype(np.int64)


def _initial_pattern(size: int, seed: int, count: int) -> np.ndarray:
    order = np.argsort(np.random.default_rng(seed).random(size * size), kind="stable")
    pattern = np.zeros(size * size, dtype=bool)
    pattern[order[:count]] = True
    return pattern.reshape(size, size)


def _tightest_cluster(pattern: np.ndarray, energy: np.ndarray) -> int:
    """The set pixel with the highest energy (the first of equals)."""
    return int(np.where(pattern, energy, np.iinfo(np.int64).min).argmax())


def _largest_void(pattern: np.ndarray, energy: np.ndarray) -> int:
    """The unset pixel with the lowest energy (the first of equals)."""
    return int(np.where(pattern, np.iinfo(np.int64).max, energy).argmin())
