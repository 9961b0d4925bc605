"""How far a reduced picture looks from its original: the two figures the quality benchmark reports.

- perceived_error: both pictures in linear light, each channel blurred with a Gaussian of sigma 1.5
  pixels (the eye averages neighbouring pixels at normal viewing distance), then converted to OKLab;
  the mean Euclidean distance, times 100. Lower is better; 1 to 2 is about "just noticeable".
- ssim_loss: 1 - SSIM (Wang et al. 2004: Gaussian window of sigma 1.5, K1 0.01, K2 0.03) on the
  sRGB bytes, averaged over R, G and B. Lower is better; it punishes visible grain.

Both take (H, W, 3) uint8 arrays (extra channels are ignored) and need SciPy and grainel_tools.
"""

from __future__ import annotations

import numpy as np
from scipy.ndimage import gaussian_filter

from grainel_tools.srgb import LINEAR

SIGMA = 1.5

# Linear sRGB to LMS, and the cube roots of LMS to OKLab (Ottosson 2020).
_TO_LMS = np.array([[0.4122214708, 0.5363325363, 0.0514459929],
                    [0.2119034982, 0.6806995451, 0.1073969566],
                    [0.0883024619, 0.2817188376, 0.6299787005]])
_TO_LAB = np.array([[0.2104542553, 0.7936177850, -0.0040720468],
                    [1.9779984951, -2.4285922050, 0.4505937099],
                    [0.0259040371, 0.7827717662, -0.8086757660]])


def linear_light(srgb: np.ndarray) -> np.ndarray:
    """sRGB bytes to linear light in [0, 1], as float64, by the curve grainel itself uses."""
    return LINEAR[srgb[..., :3]]


def oklab(linear: np.ndarray) -> np.ndarray:
    """Linear sRGB in [0, 1] (..., 3) to OKLab."""
    return np.cbrt(linear @ _TO_LMS.T) @ _TO_LAB.T


def _blurred(linear: np.ndarray) -> np.ndarray:
    return np.stack([gaussian_filter(linear[..., c], SIGMA, mode="reflect") for c in range(3)], axis=-1)


def perceived_error(original: np.ndarray, result: np.ndarray) -> float:
    """Mean OKLab distance x 100 between the two pictures blurred in linear light."""
    a = oklab(_blurred(linear_light(original)))
    b = oklab(_blurred(linear_light(result)))
    return float(np.sqrt(((a - b) ** 2).sum(axis=-1)).mean() * 100.0)


def ssim_loss(original: np.ndarray, result: np.ndarray) -> float:
    """1 - the mean SSIM of the R, G and B planes of the bytes."""
    c1, c2 = (0.01 * 255) ** 2, (0.03 * 255) ** 2
    scores = []
    for c in range(3):
        x = original[..., c].astype(np.float64)
        y = result[..., c].astype(np.float64)

        def blur(v: np.ndarray) -> np.ndarray:
            return gaussian_filter(v, SIGMA, mode="reflect", truncate=3.5)

        mx, my = blur(x), blur(y)
        vx = blur(x * x) - mx * mx
        vy = blur(y * y) - my * my
        cov = blur(x * y) - mx * my
        ssim = ((2 * mx * my + c1) * (2 * cov + c2)) / ((mx * mx + my * my + c1) * (vx + vy + c2))
        scores.append(ssim.mean())
    return float(1.0 - np.mean(scores))
