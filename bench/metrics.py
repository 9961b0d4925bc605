"""How far a reduced picture looks from its original: the two figures the quality benchmark reports.

- perceived_error: both pictures in linear light, each channel blurred with a Gaussian of sigma 1.5
  pixels (the eye averages neighbouring pixels at normal viewing distance), then converted to OKLab;
  the mean Euclidean distance, times 100. Lower is better; 1 to 2 is about "just noticeable".
- ssim_loss: 1 - SSIM (Wang et al. 2004: Gaussian window of sigma 1.5, K1 0.01, K2 0.03) on the
  sRGB bytes, averaged over R, G and B. Lower is better; it punishes visible grain.
- banding: as perceived_error, but blurred with sigma 4 and averaged over the smoother half of the
  picture only (where the original's OKLab gradient, by Sobel after the sigma 1.5 blur, is below its
  median). A band is wide and low: the narrow blur and the whole-picture mean hardly see it.
- ssimulacra2: the PyPI package's score of the pair, written as PNG files; higher is better.

All take (H, W, 3) uint8 arrays (extra channels are ignored) and need SciPy and grainel_tools;
ssimulacra2 also needs the package of that name.
"""

from __future__ import annotations

import numpy as np
from scipy.ndimage import gaussian_filter, sobel

from grainel_tools.srgb import LINEAR

SIGMA = 1.5
BAND_SIGMA = 4.0

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


def blurred(linear: np.ndarray, sigma: float = SIGMA) -> np.ndarray:
    return np.stack([gaussian_filter(linear[..., c], sigma, mode="reflect") for c in range(3)], axis=-1)


def _distances(original: np.ndarray, result: np.ndarray, sigma: float) -> np.ndarray:
    """Each pixel's OKLab distance x 100 between the two pictures blurred in linear light."""
    a = oklab(blurred(linear_light(original), sigma))
    b = oklab(blurred(linear_light(result), sigma))
    return np.sqrt(((a - b) ** 2).sum(axis=-1)) * 100.0


def perceived_error(original: np.ndarray, result: np.ndarray) -> float:
    """Mean OKLab distance x 100 between the two pictures blurred in linear light."""
    return float(_distances(original, result, SIGMA).mean())


def smooth_half(original: np.ndarray) -> np.ndarray:
    """Where the original's OKLab gradient is at most its median: where a band would show."""
    lab = oklab(blurred(linear_light(original)))
    gradient = sum(sobel(lab[..., c], axis) ** 2 for c in range(3) for axis in (0, 1))
    return gradient <= np.median(gradient)


def banding(original: np.ndarray, result: np.ndarray) -> float:
    """Mean OKLab distance x 100, blurred at sigma 4, over the original's smoother half."""
    return float(_distances(original, result, BAND_SIGMA)[smooth_half(original)].mean())


def ssimulacra2(original: np.ndarray, result: np.ndarray) -> float:
    """SSIMULACRA2 of the result against the original: 100 is identical, below 30 is poor."""
    import tempfile

    from PIL import Image
    from ssimulacra2 import compute_ssimulacra2

    with tempfile.TemporaryDirectory() as folder:
        paths = [f"{folder}/original.png", f"{folder}/result.png"]
        for path, pixels in zip(paths, (original, result)):
            Image.fromarray(np.ascontiguousarray(pixels[..., :3])).save(path, compress_level=1)
        return float(compute_ssimulacra2(*paths))


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
