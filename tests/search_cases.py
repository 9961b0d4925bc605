"""Palettes and pictures that push the nearest-colour search to its edges: shared by the tests of the
module's search and of the companion's remap, which searches the same way."""

import numpy as np


def random_colors(count, seed, low=0, high=256):
    return np.random.default_rng(seed).integers(low, high, (count, 3))


def clustered(seed):
    # Most colours packed into a few small clusters, as a palette fitted to
    # a photo is: crowded cells with long candidate lists.
    rng = np.random.default_rng(seed)
    centres = rng.integers(20, 236, (6, 3))
    near = centres[rng.integers(0, 6, 240)] + rng.integers(-6, 7, (240, 3))
    return np.concatenate([near, random_colors(80, seed)]).clip(0, 255)


def repeated(colors):
    # Each colour again, later and in the reverse order: only the first of
    # equal colours may ever be chosen.
    colors = [tuple(int(c) for c in rgb) for rgb in colors]
    return colors + colors[::-1]


def image(rng, height, width, channels=3):
    img = rng.integers(0, 256, (height, width, channels), dtype=np.uint8)
    # Flat saturated areas drive the diffused error far past a palette that
    # cannot reach them; smooth ramps cross many cells.
    img[: height // 4] = 255
    img[height // 4: height // 2, :, 0] = 0
    img[height // 2:, : width // 2] = np.linspace(0, 255, width // 2, dtype=np.uint8)[None, :, None]
    return img
