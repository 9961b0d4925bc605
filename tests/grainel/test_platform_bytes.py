"""The bytes of a fixed set of calls, hashed into one digest that every platform must give.

The other tests compare each engine with the plain model on the machine they run on; this one pins
the bytes themselves, so that a build for another architecture, compiler or C library whose float
arithmetic differs by one rounding (a multiply-add contracted into one, another libm's powf in linear
light) fails here, and so does a build whose model and engine went wrong together. CI runs it on
x86-64 with the AVX2 kernels and with the baseline ones, and on aarch64. The companion's calls are
here too: its remap and colour mixes go through sRGB curves and OKLab cube roots taken in double
precision from the C library (pow, cbrt), and the fitter through long sums in double. Any deliberate
change of a rule changes the digest: the failure gives the new one, and each call's own, to compare two
platforms call by call.
"""

import hashlib

import numpy as np

import grainel
from grainel_tools import fit_palette, mix_dither, palettes, remap

EXPECTED = "923806282d79b69f11ffb1ab22f1736f6520d9557eaa0577d3105860ed0d6f90"


def picture(height, width, channels, key):
    """Ramps under noise, with a black and a white band, from integer arithmetic alone (NumPy's
    random generators promise no stream from one release to the next)."""
    y, x, c = (a.astype(np.uint64) for a in np.ogrid[:height, :width, : max(channels, 1)])
    n = y * 0x9E3779B97F4A7C15 + x * 0xBF58476D1CE4E5B9 + c * 0x94D049BB133111EB + key
    n = (n ^ (n >> 29)) * 0xD6E8FEB86659FD93
    ramp = (x * 255 // max(width - 1, 1) + y * 64 // height + c * 85) % 256
    img = ((ramp * 3 + (n >> 56)) // 4).astype(np.uint8)
    band = height // 8
    if band:
        img[:band], img[-band:] = 0, 255
    return img if channels else img[..., 0]


def palette(size, key):
    return picture(1, size, 3, key)[0]


def outputs():
    gray, la = picture(67, 131, 0, 1), picture(40, 45, 2, 2)
    rgb, rgba = picture(61, 97, 3, 3), picture(53, 71, 4, 4)
    # Big enough for the nearest-colour grid at every palette size below.
    big = picture(256, 256, 3, 5)
    levels = [2, 3, 4, 7, 16, 17, 2, 5, 256]
    strengths = [1.0, 0.6, 0.25, 0.0]
    for i, method in enumerate(grainel.available_methods()):
        options = dict(serpentine=i % 2 == 1, strength=strengths[i % 4], linear=i % 3 == 0)
        yield f"{method} gray", grainel.error_diffusion(gray, method, levels=levels[i], **options)
        yield f"{method} rgb palette", grainel.error_diffusion(rgb, method, palette=palette(8, i), **options)
    yield "fs rgba", grainel.error_diffusion(rgba, levels=3, linear=True, preserve_alpha=False)
    yield "atkinson la", grainel.error_diffusion(la, "atkinson", levels=4, serpentine=True)
    for size, options in [(16, {}), (256, dict(serpentine=True, linear=True)), (4096, dict(strength=0.7))]:
        yield f"fs big {size}", grainel.error_diffusion(big, palette=palette(size, size), **options)

    matrices = [2, 4, 8, 16, np.arange(35).reshape(7, 5)[::-1], np.array([[0.1], [0.9], [0.5]]),
                np.arange(4096).reshape(64, 64).T]
    for i, matrix in enumerate(matrices):
        options = dict(strength=strengths[(i + 2) % 4], linear=i % 2 == 1)
        yield f"ordered {i} gray", grainel.ordered_dither(gray, matrix, levels=levels[i], **options)
        yield f"ordered {i} rgba", grainel.ordered_dither(rgba, matrix, levels=levels[i + 1],
                                                          preserve_alpha=i % 3 == 0, **options)
        yield f"ordered {i} palette", grainel.ordered_dither(rgb, matrix, palette=palette(5, i), **options)
    yield "ordered big", grainel.ordered_dither(big, 8, palette=palette(256, 7), linear=True)

    seeds = [0, -1, 2**100, -(2**127)]
    for i, seed in enumerate(seeds):
        options = dict(seed=seed, strength=strengths[i])
        yield f"random {i} gray", grainel.random_dither(gray, **options)
        yield f"random {i} gray linear", grainel.random_dither(gray, levels=5, linear=True, **options)
        yield f"random {i} la", grainel.random_dither(la, levels=3, preserve_alpha=False, **options)
        yield f"random {i} palette", grainel.random_dither(rgb, palette=palette(12, i), **options)
    yield "random big", grainel.random_dither(big, palette=palette(4096, 9), seed=3, linear=True)

    pico8, web = palettes.named("pico8"), palettes.named("web")
    yield "remap rgba", remap(rgba, pico8, strength=0.6)
    # The grid of candidate colours, on the serpentine path.
    yield "remap big", remap(big, web, method="stucki", serpentine=True)
    yield "fit 16", fit_palette(rgb, 16, keep=["#000", "#fff"])
    # More colours than pixels of a 256 x 256 picture: the fit starts on coarser cells.
    yield "fit 256", fit_palette(picture(320, 300, 3, 6), 256)
    yield "mix bayer", mix_dither(rgba, pico8, 8)
    # Beyond the palette sizes whose mixes are counted.
    yield "mix bluenoise", mix_dither(rgb, web, "bluenoise64")


def test_bytes_are_the_same_on_every_platform():
    total, each = hashlib.sha256(), []
    for label, out in outputs():
        data = out.tobytes()
        total.update(f"{label} {out.shape}\n".encode() + data)
        each.append(f"{hashlib.sha256(data).hexdigest()[:16]}  {label}")
    assert total.hexdigest() == EXPECTED, "\n".join([f"digest {total.hexdigest()}, calls:"] + each)
