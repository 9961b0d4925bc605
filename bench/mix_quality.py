"""Quality of ordered dither by colour mixes (grainel_tools.mix_dither) beside other ways to a palette.

    python bench/mix_quality.py            # needs scikit-image (the photos) and SciPy (the figures)

On scikit-image's astronaut, coffee and chelsea, to pico8, cga, acep7 and spectra6, prints the
perceived error (bench/metrics.py: lower is better) of each method per photo and their mean, and
the mean's ratio to plain ordered dither with the same matrix, to the perceptual remap (the best
diffusion) and to grainel's Floyd-Steinberg.
"""

from __future__ import annotations

import numpy as np
from skimage import data

import grainel
from grainel_tools import matrix, mix_dither, palettes
from grainel_tools import remap
from metrics import perceived_error

PHOTOS = ("astronaut", "coffee", "chelsea")
PALETTES = ("pico8", "cga", "acep7", "spectra6")
BLUE = matrix("bluenoise64")
METHODS = {
    "mix, bluenoise64": lambda im, pal: mix_dither(im, pal, BLUE),
    "mix, bayer8x8": lambda im, pal: mix_dither(im, pal, "bayer8x8"),
    "ordered, bluenoise64": lambda im, pal: grainel.ordered_dither(im, BLUE, palette=pal),
    "ordered, bayer8x8": lambda im, pal: grainel.ordered_dither(im, 8, palette=pal),
    "remap": remap,
    "Floyd-Steinberg": lambda im, pal: grainel.error_diffusion(im, palette=pal),
}


def main() -> None:
    photos = {name: np.ascontiguousarray(getattr(data, name)()[..., :3]) for name in PHOTOS}
    print("| palette | method | " + " | ".join(PHOTOS) + " | mean | / ordered | / remap | / FS |")
    print("|---|---|" + "---:|" * (len(PHOTOS) + 4))
    for name in PALETTES:
        colors = palettes.named(name)
        errors = {method: [perceived_error(im, call(im, colors)) for im in photos.values()]
                  for method, call in METHODS.items()}
        means = {method: float(np.mean(e)) for method, e in errors.items()}
        for method, e in errors.items():
            peer = "ordered, " + method.split(", ")[1] if method.startswith("mix") else None
            ratios = [means[method] / means[peer] if peer else None,
                      means[method] / means["remap"], means[method] / means["Floyd-Steinberg"]]
            cells = [f"{v:.2f}" for v in e] + [f"{means[method]:.2f}"]
            cells += [f"{r:.2f}" if r is not None else "" for r in ratios]
            print(f"| `{name}` | {method} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
