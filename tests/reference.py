"""Reference model of grainel's pixel rules: what every call must return, byte for byte.

Exactness rests on three habits: every step is one float32 operation, rounded on its own
(NumPy float32 scalars and arrays do that, and never fuse a multiply-add); integers are
rounded half away from zero; the sRGB curves use the C library's powf. Error diffusion
walks pixel by pixel in Python, so keep its images to a few dozen pixels.
"""

import ctypes
import ctypes.util
import functools
import math
import unicodedata

import numpy as np

f32 = np.float32


try:
    _powf = ctypes.CDLL(ctypes.util.find_library("m")).powf
    _powf.restype, _powf.argtypes = ctypes.c_float, [ctypes.c_float, ctypes.c_float]
except (OSError, AttributeError):
    _powf = None


def powf(x, y):
    return f32(x) ** f32(y) if _powf is None else f32(_powf(float(x), float(y)))  # NumPy: the same powf


def round_half_away(x):
    """Nearest integers (int64) to float32 values, halves away from zero; exact in double."""
    x = np.asarray(x, np.float64)
    return (np.sign(x) * np.floor(np.abs(x) + 0.5)).astype(np.int64)


# ------------------------------------------------------------------ working space, targets

@functools.cache
def decode_table(linear):
    """Working value of each byte: the byte itself, or its linear light x 255."""
    if not linear:
        return np.arange(256, dtype=f32)
    table = np.empty(256, f32)
    for b in range(256):
        v = f32(b) / f32(255)
        table[b] = (v / f32(12.92) * f32(255) if v <= f32(0.04045)
                    else powf((v + f32(0.055)) / f32(1.055), f32(2.4)) * f32(255))
    return table


@functools.cache
def levels_table(n, linear):
    """(bytes, values, step, inv_step) of n levels evenly spaced in working space."""
    step = f32(255) / f32(n - 1)
    out = []
    for i in range(n):
        y = min(step * f32(i), f32(255))
        if linear:
            u = y / f32(255)
            e = (u * f32(12.92) if u <= f32(0.0031308)
                 else powf(u, f32(0.41666666)) * f32(1.055) - f32(0.055))
            y = e * f32(255)
        out.append(min(max(int(round_half_away(y)), 0), 255))
    out = np.array(out, np.uint8)
    return out, decode_table(linear)[out], step, f32(1) / step


def parse_colors(palette):
    """(m, 3) uint8 colours of a well-formed palette of '#rgb', '#rrggbb' or (r, g, b)."""
    def rgb(entry):
        if not isinstance(entry, str):
            return [int(c) for c in entry]
        digits = entry.removeprefix("#")
        if len(digits) == 3:
            return [int(d, 16) * 17 for d in digits]
        return [int(digits[i:i + 2], 16) for i in (0, 2, 4)]
    return np.array([rgb(entry) for entry in palette], np.uint8).reshape(-1, 3)


def palette_table(palette, linear):
    """(colors, values, spacing): colours, their working values, mean gap per channel."""
    colors = parse_colors(palette)
    values = decode_table(linear)[colors]
    spacing = np.zeros(3, f32)
    for c in range(3):
        distinct = np.unique(values[:, c])  # sorted, exact duplicates removed
        if len(distinct) > 1:
            spacing[c] = (distinct[-1] - distinct[0]) / f32(len(distinct) - 1)
    return colors, values, spacing


def nearest_colors(values, w):
    """Index of the nearest colour for each working triple of w (..., 3); of equally near
    colours the first wins (argmin keeps the first minimum)."""
    flat = w.reshape(-1, 3)
    best = np.empty(len(flat), np.int64)
    step = max(1, (1 << 18) // len(values))  # pixels at a time, to bound the memory used
    for start in range(0, len(flat), step):
        diff = flat[start:start + step, None, :] - values
        sq = diff * diff
        best[start:start + step] = np.argmin((sq[..., 0] + sq[..., 1]) + sq[..., 2], axis=1)
    return best.reshape(w.shape[:-1])


def _image(img):
    """A private copy of img and an (H, W, C) view of it."""
    a = np.array(img, np.uint8)
    return a, (a if a.ndim == 3 else a[:, :, None])


def _level_channels(count, preserve_alpha):
    """Channels quantised to levels: all but the last of LA / RGBA when alpha is kept."""
    return range(count - 1 if preserve_alpha and count in (2, 4) else count)


# ------------------------------------------------------------------ error diffusion

# The kernels as published, per row dy = 0, 1, 2 below the current pixel X, from dx = -2 to
# +2 for a left-to-right scan: a number is a tap's weight; "." and "-" are no tap.
KERNELS = {  # canonical name: (divisor, rows), in the order the module lists them
    "floyd_steinberg":       (16, ". . X 7 -", "- 3 5 1 -", "- - - - -"),
    "false_floyd_steinberg": (8,  ". . X 3 -", "- - 3 2 -", "- - - - -"),
    "jarvis_judice_ninke":   (48, ". . X 7 5", "3 5 7 5 3", "1 3 5 3 1"),
    "stucki":                (42, ". . X 8 4", "2 4 8 4 2", "1 2 4 2 1"),
    "atkinson":              (8,  ". . X 1 1", "- 1 1 1 -", "- - 1 - -"),  # passes on 6/8
    "burkes":                (32, ". . X 8 4", "2 4 8 4 2", "- - - - -"),
    "sierra":                (32, ". . X 5 3", "2 4 5 4 2", "- 2 3 2 -"),
    "sierra_two_row":        (16, ". . X 4 3", "1 2 3 2 1", "- - - - -"),
    "sierra_lite":           (4,  ". . X 2 -", "- 1 1 - -", "- - - - -"),
}
METHODS = list(KERNELS)
ALIASES = {"fs": "floyd_steinberg", "ffs": "false_floyd_steinberg", "jjn": "jarvis_judice_ninke",
           "jarvis": "jarvis_judice_ninke", "sierra3": "sierra", "sierra2": "sierra_two_row",
           "tworowsierra": "sierra_two_row", "sierra24a": "sierra_lite",
           **{m.replace("_", ""): m for m in METHODS}}  # by normalised name: lower case, no " -_"


def kernel_rows(method, strength):
    """(forward, mirrored, active): 3 x 8 shares; column c is image column x + c - 2."""
    divisor, *rows = KERNELS[method]
    forward, mirrored = np.zeros((3, 8), f32), np.zeros((3, 8), f32)
    for dy, row in enumerate(rows):
        for dx, weight in enumerate(row.split(), start=-2):
            if weight.isdigit():
                share = f32(strength) * (f32(int(weight)) / f32(divisor))
                forward[dy, dx + 2] = mirrored[dy, 2 - dx] = share
    return forward, mirrored, forward.any(axis=1)


def _diffuse(px, method, strength, serpentine, decode, quantise):
    """Diffuse over px, an (H, W, k) view of the channels quantised together, in place.
    quantise(v, y, x) gives the output bytes and the error passed on for the working (k,)
    vector v of pixel (y, x)."""
    height, width, k = px.shape
    forward, mirrored, active = kernel_rows(method, strength)
    rows = [np.zeros((width + 8, k), f32) for _ in range(3)]  # cell x + 2 is column x
    for y in range(height):
        backwards = serpentine and y % 2 == 1
        kernel = mirrored if backwards else forward
        for x in range(width - 1, -1, -1) if backwards else range(width):
            v = decode[px[y, x]] + rows[0][x + 2]  # never clamped
            px[y, x], e = quantise(v, y, x)
            for dy in np.flatnonzero(active):
                rows[dy][x:x + 8] += kernel[dy][:, None] * e  # product rounded, then added
        rows[0][:] = 0
        rows.append(rows.pop(0))


def error_diffusion(img, method="floyd_steinberg", levels=2, palette=None, serpentine=False,
                    strength=1.0, linear=False, preserve_alpha=True):
    """What grainel.error_diffusion returns (canonical method names only)."""
    out, px = _image(img)
    decode = decode_table(linear)
    if palette is not None:
        colors, values, _ = palette_table(palette, linear)

        def nearest_color(v, y, x):
            best = nearest_colors(values, v)
            return colors[best], v - values[best]
        _diffuse(px[:, :, :3], method, strength, serpentine, decode, nearest_color)
        return out
    level_bytes, level_values, _, inv_step = levels_table(levels, linear)

    def nearest_level(v, y, x):
        if levels == 2:
            k = int(v[0] >= f32(127.5))
        else:
            k = min(max(int(round_half_away(v[0] * inv_step)), 0), levels - 1)
        return level_bytes[k], v - level_values[k:k + 1]
    for c in _level_channels(px.shape[2], preserve_alpha):
        _diffuse(px[:, :, c:c + 1], method, strength, serpentine, decode, nearest_level)
    return out


# ------------------------------------------------------------------ the perceptual remap

def _srgb(v):
    return 12.92 * v if v <= 0.0031308 else 1.055 * math.pow(v, 1 / 2.4) - 0.055


@functools.cache
def _linear_table():
    return np.array([e / 12.92 if e <= 0.04045 else math.pow((e + 0.055) / 1.055, 2.4)
                     for e in (b / 255.0 for b in range(256))])


def linear_light(bytes_):
    """Linear light in [0, 1] of byte values (any array shape), from the curve in double precision."""
    return _linear_table()[np.asarray(bytes_)]


@functools.cache
def linear_of_byte():
    """Linear light of each byte as the remap holds it: the curve in double precision, in float32."""
    return _linear_table().astype(f32)


@functools.cache
def encoder_table(steps=4096):
    return np.array([255.0 * _srgb(i / steps) for i in range(steps + 1)], f32)


def encoded(v, steps=4096):
    """sRGB coding on the byte scale of linear values in [0, 1], interpolated in the table."""
    table = encoder_table(steps)
    t = v * f32(steps)
    i = np.minimum(t.astype(np.int64), steps - 1)
    return table[i] + (table[i + 1] - table[i]) * (t - i.astype(f32))


def _box_sums(planes, r):
    """Sums over (2r+1)^2 windows, edges replicated, of (H, W, k) planes, in their own type."""
    padded = np.pad(planes, ((r, r), (r, r), (0, 0)), mode="edge")
    h, w = planes.shape[:2]
    return sum(padded[dy:dy + h, dx:dx + w] for dy in range(2 * r + 1) for dx in range(2 * r + 1))


def dither_amounts(px, colors, strength):
    """How much of its error each pixel passes on: its full error where the palette is coarse
    around its neighbourhood, the neighbourhood is busy, or it lies in a plateau of one nearest
    colour; less where smooth, close and already varied without dither."""
    rgb = px[:, :, :3].astype(np.int64)
    nearest = colors[nearest_colors(colors.astype(f32), rgb.astype(f32))].astype(np.int64)
    distance = np.sqrt(((rgb - nearest) ** 2).sum(axis=2).astype(np.float64)).astype(f32)
    s2 = _box_sums(distance[:, :, None].astype(np.float64), 3)[:, :, 0] ** 2
    coarse = (s2 / (s2 + (9.0 * 49) ** 2)).astype(f32).astype(np.float64)
    sums = _box_sums(np.concatenate([rgb, rgb * rgb], axis=2), 2)
    spread = (25 * sums[:, :, 3:] - sums[:, :, :3] ** 2).sum(axis=2)
    busy = spread / (spread + 3 * 25 * 25 * (8 * 58.5225))
    right = np.concatenate([nearest[:, 1:], nearest[:, -1:]], axis=1)
    below = np.concatenate([nearest[1:], nearest[-1:]], axis=0)
    edge = ((nearest != right).any(axis=2) | (nearest != below).any(axis=2)).astype(np.int64)
    edges = _box_sums(edge[:, :, None], 3)[:, :, 0]
    varied = edges / (edges + 0.5 * 49)
    return (float(f32(strength)) * (1.0 - varied * (1.0 - busy) * (1.0 - coarse))).astype(f32)


def remap(img, palette, strength=0.9, method="floyd_steinberg", serpentine=True):
    """What grainel_tools.remap returns for an (H, W, 3 or 4) array."""
    out, px = _image(img)
    colors = parse_colors(palette)
    linear = linear_of_byte()
    values = linear[colors]
    amounts = dither_amounts(px, colors, strength)

    def nearest_coded(v, y, x):
        v = np.minimum(np.maximum(v, f32(0)), f32(1))
        best = nearest_colors(colors.astype(f32), encoded(v))
        return colors[best], (v - values[best]) * amounts[y, x]
    _diffuse(px[:, :, :3], ALIASES.get(method, method), 1.0, serpentine, linear, nearest_coded)
    return out


# ------------------------------------------------------------------ threshold dither

def bayer_indices(n):
    """The n x n Bayer ranks, n a power of two."""
    y, x = np.mgrid[0:n, 0:n]
    ranks = np.zeros((n, n), np.int64)
    for i in range(n.bit_length() - 1):
        ranks = 4 * ranks + 2 * (((x ^ y) >> i) & 1) + ((y >> i) & 1)
    return ranks


def index_thresholds(ranks):
    """Thresholds of an integer matrix: (rank + 0.5) / max(largest + 1, cell count),
    held below 1 (the sum rounds up to the divisor near 2^24)."""
    ranks = np.asarray(ranks, np.int64)
    t = (ranks.astype(f32) + f32(0.5)) / f32(max(int(ranks.max()) + 1, ranks.size))
    return np.minimum(t, f32(0.99999988))


def bayer(n):
    """Thresholds of the n x n Bayer matrix."""
    return index_thresholds(bayer_indices(n))


def float_thresholds(values):
    """Thresholds of a float matrix: narrowed to float32 and kept below 1."""
    return np.minimum(np.asarray(values, np.float64).astype(f32), f32(0.99999988))


def threshold_dither(img, d, levels=2, palette=None, strength=1.0, linear=False,
                     preserve_alpha=True):
    """The rule shared by the ordered and random engines; d (H, W) is each pixel's offset
    fraction in [-0.5, 0.5): its threshold or its uniform draw, minus 0.5."""
    out, px = _image(img)
    decode, strength, d = decode_table(linear), f32(strength), np.asarray(d, f32)
    if palette is not None:
        colors, values, spacing = palette_table(palette, linear)
        w = (strength * spacing) * d[:, :, None] + decode[px[:, :, :3]]
        px[:, :, :3] = colors[nearest_colors(values, w)]
        return out
    level_bytes, _, step, inv_step = levels_table(levels, linear)
    offset = (strength * step) * d
    for c in _level_channels(px.shape[2], preserve_alpha):
        k = round_half_away(inv_step * (offset + decode[px[:, :, c]]))
        px[:, :, c] = level_bytes[np.clip(k, 0, levels - 1)]
    return out


def ordered_dither(img, thresholds, **options):
    """Ordered dither with a float32 threshold matrix tiled from the top-left pixel."""
    t = np.asarray(thresholds, f32)
    height, width = np.shape(img)[:2]
    tiled = t[np.arange(height)[:, None] % t.shape[0], np.arange(width)[None, :] % t.shape[1]]
    return threshold_dither(img, tiled - f32(0.5), **options)


def splitmix_draws(seed, count):
    """The first count 24-bit draws of the generator for a seed (any Python int)."""
    mask = (1 << 64) - 1
    state, draws = (seed & mask) ^ 0xD1B54A32D192ED03, []
    for _ in range(count):
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = ((state ^ (state >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        draws.append(z >> 40)
    return draws


def random_dither(img, seed, **options):
    """Random dither: one draw per pixel in row-major order, shared by its channels."""
    height, width = np.shape(img)[:2]
    r = np.array(splitmix_draws(seed, height * width), f32).reshape(height, width)
    return threshold_dither(img, r / f32(1 << 24) - f32(0.5), **options)


# ------------------------------------------------------------------ messages

# Other_Grapheme_Extend of Unicode 14.0 (PropList.txt): with the marks of category Mn and Me, the
# characters of the property Grapheme_Extend, which unicodedata does not expose.
OTHER_GRAPHEME_EXTEND = frozenset(cp for span in """
    09BE 09D7 0B3E 0B57 0BBE 0BD7 0CC2 0CD5-0CD6 0D3E 0D57 0DCF 0DDF 1B35 200C 302E-302F FF9E-FF9F
    1133E 11357 114B0 114BD 115AF 11930 1D165 1D16E-1D172 E0020-E007F""".split()
    for first, _, last in [span.partition("-")] for cp in range(int(first, 16), int(last or first, 16) + 1))
ESCAPES = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def shown(ch):
    """How a debug string writes one character: escaped if it would not show or would fuse with
    the character before it (controls, format, separators of lines and paragraphs, private-use,
    surrogate and unassigned code points, Grapheme_Extend)."""
    if ch in ESCAPES:
        return ESCAPES[ch]
    hidden = unicodedata.category(ch) in ("Cc", "Cf", "Zl", "Zp", "Co", "Cs", "Cn", "Mn", "Me")
    return "\\u{%x}" % ord(ch) if hidden or ord(ch) in OTHER_GRAPHEME_EXTEND else ch


def debug_string(text):
    return '"' + "".join(map(shown, text)) + '"'
