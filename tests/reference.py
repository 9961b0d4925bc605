"""Slow, plain reference model of grainel's pixel rules.

Every function here recomputes, in NumPy float32 arithmetic, exactly what the
extension is meant to produce, byte for byte.  It is written for clarity, not
speed: the error-diffusion passes walk the image pixel by pixel in Python, so
keep the images small (a dozen pixels on a side is plenty).

Float rules that matter for bit-exactness:

* every intermediate is a 32-bit float, rounded after each single operation
  (NumPy float32 scalars and arrays do exactly that; there is no fused
  multiply-add in an elementwise NumPy expression);
* both operands are always float32 before an operation, so no Python float
  ever promotes a step to double precision;
* rounding to an integer is to the nearest, halves away from zero;
* the sRGB curves use the C library's single-precision ``powf`` (through
  ctypes when libm can be found, else NumPy's float32 scalar power, which
  calls the same function on the usual platforms).

Images are uint8 arrays of shape (H, W) or (H, W, C); results have the same
shape.  Inputs are never modified.
"""

import ctypes
import ctypes.util
import math

import numpy as np

f32 = np.float32

# ---------------------------------------------------------------------------
# small numeric helpers
# ---------------------------------------------------------------------------


def _load_powf():
    name = ctypes.util.find_library("m")
    try:
        lib = ctypes.CDLL(name) if name else None
        fn = lib.powf if lib is not None else None
    except (OSError, AttributeError):
        fn = None
    if fn is None:
        return lambda x, y: f32(x) ** f32(y)
    fn.restype = ctypes.c_float
    fn.argtypes = [ctypes.c_float, ctypes.c_float]
    return lambda x, y: f32(fn(float(x), float(y)))


powf = _load_powf()


def round_half_away(x):
    """Nearest integer to the float ``x``, halves away from zero, as an int.

    A float32 converts exactly to a double, and |x| + 0.5 is exact in double
    for any magnitude that occurs here, so this is the exact rounding.
    """
    x = float(x)
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


def _round_half_away_array(a):
    """Elementwise ``round_half_away`` of a float32 array, as int64."""
    a = np.asarray(a, dtype=np.float64)  # exact widening
    return (np.sign(a) * np.floor(np.abs(a) + 0.5)).astype(np.int64)


def _as_hwc(img):
    """Return (a private (H, W, C) uint8 copy, the original shape)."""
    a = np.asarray(img)
    if a.dtype != np.uint8 or a.ndim not in (2, 3):
        raise ValueError("reference model wants a 2-D or 3-D uint8 array")
    shape = a.shape
    if a.ndim == 2:
        a = a[:, :, None]
    return np.array(a, dtype=np.uint8, order="C", copy=True), shape


def _alpha_index(channels, preserve_alpha):
    """Index of the pass-through channel (LA / RGBA), or None."""
    if preserve_alpha and channels in (2, 4):
        return channels - 1
    return None


# ---------------------------------------------------------------------------
# working space, levels and palette
# ---------------------------------------------------------------------------


def decode_table(linear):
    """256 float32 working values: the byte itself, or linear light x 255."""
    table = np.empty(256, dtype=np.float32)
    for b in range(256):
        if not linear:
            table[b] = f32(b)
            continue
        v = f32(b) / f32(255)
        if v <= f32(0.04045):
            table[b] = v / f32(12.92) * f32(255)
        else:
            table[b] = powf((v + f32(0.055)) / f32(1.055), f32(2.4)) * f32(255)
    return table


def levels_table(n, linear):
    """Evenly spaced output levels.

    Returns (bytes, values, step, inv_step, max_index): a uint8 array and a
    float32 array of n entries, and three float32 scalars.
    """
    if not 2 <= n <= 256:
        raise ValueError("levels out of range")
    decode = decode_table(linear)
    step = f32(255) / f32(n - 1)
    out = np.empty(n, dtype=np.uint8)
    for i in range(n):
        x = step * f32(i)
        if x > f32(255):
            x = f32(255)
        if linear:
            u = x / f32(255)
            if u <= f32(0.0031308):
                e = u * f32(12.92)
            else:
                # separate multiply and add: no fused multiply-add
                e = powf(u, f32(1 / 2.4)) * f32(1.055) + f32(-0.055)
            y = e * f32(255)
        else:
            y = x
        out[i] = min(max(round_half_away(y), 0), 255)
    values = decode[out].astype(np.float32)
    inv_step = f32(1) / step
    max_index = f32(n - 1)
    return out, values, step, inv_step, max_index


def parse_colors(palette):
    """Turn valid palette entries ('#rgb', '#rrggbb' or (r, g, b)) into an
    (m, 3) uint8 array.  Only well-formed input is supported here."""
    colors = []
    for entry in palette:
        if isinstance(entry, str):
            digits = entry[1:] if entry.startswith("#") else entry
            if len(digits) == 3:
                rgb = [int(d, 16) * 17 for d in digits]
            elif len(digits) == 6:
                rgb = [int(digits[i:i + 2], 16) for i in (0, 2, 4)]
            else:
                raise ValueError("bad hex colour %r" % entry)
        else:
            rgb = [int(c) for c in entry]
        if len(rgb) != 3 or not all(0 <= c <= 255 for c in rgb):
            raise ValueError("bad colour %r" % (entry,))
        colors.append(rgb)
    if not 2 <= len(colors) <= 4096:
        raise ValueError("palette size out of range")
    return np.array(colors, dtype=np.uint8).reshape(-1, 3)


def palette_table(colors, linear):
    """Working values of a palette and its per-channel spacing.

    Returns (values, spacing): an (m, 3) float32 array and a (3,) float32
    array.  ``colors`` is anything ``parse_colors`` accepts.
    """
    colors = parse_colors(colors)
    decode = decode_table(linear)
    values = decode[colors].astype(np.float32)
    spacing = np.zeros(3, dtype=np.float32)
    for c in range(3):
        distinct = np.unique(values[:, c])  # sorted, exact duplicates removed
        k = len(distinct)
        if k > 1:
            spacing[c] = (distinct[-1] - distinct[0]) / f32(k - 1)
    return values, spacing


def _nearest_color(values, w):
    """Index of the palette colour nearest to the working triple ``w``.

    d = ((w0 - r)^2 + (w1 - g)^2) + (w2 - b)^2 in float32, in that order;
    argmin returns the first of equal minima, which is the required tie rule
    (a later colour must be strictly nearer to win).
    """
    diff = np.asarray(w, dtype=np.float32) - values
    sq = diff * diff
    d = (sq[:, 0] + sq[:, 1]) + sq[:, 2]
    return int(np.argmin(d))


def _nearest_colors(values, w):
    """``_nearest_color`` for a whole (..., 3) float32 array of triples.

    Walks the palette in order and lets a colour replace the best so far only
    when it is strictly nearer.
    """
    best = np.zeros(w.shape[:-1], dtype=np.int64)
    best_d = np.full(w.shape[:-1], np.inf, dtype=np.float32)
    for j in range(len(values)):
        diff = w - values[j]
        sq = diff * diff
        d = (sq[..., 0] + sq[..., 1]) + sq[..., 2]
        better = d < best_d
        best[better] = j
        best_d[better] = d[better]
    return best


# ---------------------------------------------------------------------------
# diffusion methods
# ---------------------------------------------------------------------------

# canonical name -> (divisor, [(dx, dy, weight), ...]) for a left-to-right scan
KERNELS = {
    "floyd_steinberg": (16, [(1, 0, 7), (-1, 1, 3), (0, 1, 5), (1, 1, 1)]),
    "false_floyd_steinberg": (8, [(1, 0, 3), (0, 1, 3), (1, 1, 2)]),
    "jarvis_judice_ninke": (48, [
        (1, 0, 7), (2, 0, 5),
        (-2, 1, 3), (-1, 1, 5), (0, 1, 7), (1, 1, 5), (2, 1, 3),
        (-2, 2, 1), (-1, 2, 3), (0, 2, 5), (1, 2, 3), (2, 2, 1)]),
    "stucki": (42, [
        (1, 0, 8), (2, 0, 4),
        (-2, 1, 2), (-1, 1, 4), (0, 1, 8), (1, 1, 4), (2, 1, 2),
        (-2, 2, 1), (-1, 2, 2), (0, 2, 4), (1, 2, 2), (2, 2, 1)]),
    "atkinson": (8, [
        (1, 0, 1), (2, 0, 1),
        (-1, 1, 1), (0, 1, 1), (1, 1, 1),
        (0, 2, 1)]),
    "burkes": (32, [
        (1, 0, 8), (2, 0, 4),
        (-2, 1, 2), (-1, 1, 4), (0, 1, 8), (1, 1, 4), (2, 1, 2)]),
    "sierra": (32, [
        (1, 0, 5), (2, 0, 3),
        (-2, 1, 2), (-1, 1, 4), (0, 1, 5), (1, 1, 4), (2, 1, 2),
        (-1, 2, 2), (0, 2, 3), (1, 2, 2)]),
    "sierra_two_row": (16, [
        (1, 0, 4), (2, 0, 3),
        (-2, 1, 1), (-1, 1, 2), (0, 1, 3), (1, 1, 2), (2, 1, 1)]),
    "sierra_lite": (4, [(1, 0, 2), (-1, 1, 1), (0, 1, 1)]),
}

METHODS = list(KERNELS)  # canonical order

ALIASES = {
    "fs": "floyd_steinberg",
    "floydsteinberg": "floyd_steinberg",
    "ffs": "false_floyd_steinberg",
    "falsefloydsteinberg": "false_floyd_steinberg",
    "jjn": "jarvis_judice_ninke",
    "jarvis": "jarvis_judice_ninke",
    "jarvisjudiceninke": "jarvis_judice_ninke",
    "stucki": "stucki",
    "atkinson": "atkinson",
    "burkes": "burkes",
    "sierra": "sierra",
    "sierra3": "sierra",
    "sierra2": "sierra_two_row",
    "sierratworow": "sierra_two_row",
    "tworowsierra": "sierra_two_row",
    "sierralite": "sierra_lite",
    "sierra24a": "sierra_lite",
}


def normalize(name):
    """ASCII capitals to lower case; spaces, '-' and '_' removed."""
    out = []
    for ch in name:
        if "A" <= ch <= "Z":
            ch = chr(ord(ch) + 32)
        if ch in " -_":
            continue
        out.append(ch)
    return "".join(out)


def parse_method(name):
    """Canonical method name for any accepted spelling, or None."""
    return ALIASES.get(normalize(name))


def kernel_rows(method, strength):
    """(forward, mirrored, active) for a method name and a strength.

    forward/mirrored are 3 x 8 float32 arrays; column c is image column
    x + c - 2 in the row dy below the current pixel.  active is a list of
    three booleans.
    """
    canonical = parse_method(method)
    if canonical is None:
        raise ValueError("unknown method %r" % (method,))
    divisor, taps = KERNELS[canonical]
    strength = f32(strength)
    forward = np.zeros((3, 8), dtype=np.float32)
    mirrored = np.zeros((3, 8), dtype=np.float32)
    active = [False, False, False]
    for dx, dy, weight in taps:
        share = strength * (f32(weight) / f32(divisor))
        forward[dy, dx + 2] = share
        mirrored[dy, 2 - dx] = share
        if share != 0:
            active[dy] = True
    return forward, mirrored, active


# ---------------------------------------------------------------------------
# error diffusion
# ---------------------------------------------------------------------------


def _scan(height, width, serpentine, forward, mirrored):
    """Yield (y, x, kernel) in visiting order, and None at each row end."""
    for y in range(height):
        if serpentine and y % 2 == 1:
            xs, kernel = range(width - 1, -1, -1), mirrored
        else:
            xs, kernel = range(width), forward
        for x in xs:
            yield y, x, kernel
        yield None


def _spread(rows, kernel, active, x, e):
    """Add kernel * e to cells x .. x+7 of the three error rows.

    Each product is rounded to float32 before it is added (the in-place add
    on a float32 array does exactly that).  Works for scalar and (3,) errors.
    """
    for dy in range(3):
        if not active[dy]:
            continue
        if np.ndim(e) == 0:
            rows[dy][x:x + 8] += kernel[dy] * e
        else:
            rows[dy][x:x + 8] += kernel[dy][:, None] * e[None, :]


def _rotate(rows):
    rows[0][...] = 0
    rows[:] = [rows[1], rows[2], rows[0]]


def error_diffusion(img, method="floyd_steinberg", levels=2, palette=None,
                    serpentine=False, strength=1.0, linear=False,
                    preserve_alpha=True):
    """Error-diffuse ``img`` exactly as grainel.error_diffusion should."""
    if parse_method(method) is None:
        raise ValueError("unknown method %r" % (method,))
    px, shape = _as_hwc(img)
    height, width, channels = px.shape
    strength = f32(strength)
    decode = decode_table(linear)

    if palette is not None:
        values, _ = palette_table(palette, linear)
        colors = parse_colors(palette)
        forward, mirrored, active = kernel_rows(method, strength)
        rows = [np.zeros((width + 8, 3), dtype=np.float32) for _ in range(3)]
        for item in _scan(height, width, serpentine, forward, mirrored):
            if item is None:
                _rotate(rows)
                continue
            y, x, kernel = item
            v = decode[px[y, x, :3]] + rows[0][x + 2]  # not clamped
            best = _nearest_color(values, v)
            px[y, x, :3] = colors[best]  # channels 3.. are never touched
            e = v - values[best]
            _spread(rows, kernel, active, x, e)
        return px.reshape(shape)

    out_bytes, out_values, _, inv_step, max_index = levels_table(levels, linear)
    alpha = _alpha_index(channels, preserve_alpha)
    for c in range(channels):
        if c == alpha:
            continue
        forward, mirrored, active = kernel_rows(method, strength)
        rows = [np.zeros(width + 8, dtype=np.float32) for _ in range(3)]
        for item in _scan(height, width, serpentine, forward, mirrored):
            if item is None:
                _rotate(rows)
                continue
            y, x, kernel = item
            v = decode[px[y, x, c]] + rows[0][x + 2]  # not clamped
            if levels == 2:
                k = 0 if v < f32(127.5) else 1
            else:
                t = round_half_away(v * inv_step)
                k = min(max(t, 0), int(max_index))
            px[y, x, c] = out_bytes[k]
            e = v - out_values[k]
            _spread(rows, kernel, active, x, e)
    return px.reshape(shape)


# ---------------------------------------------------------------------------
# threshold dither (ordered and random)
# ---------------------------------------------------------------------------


def bayer(n):
    """n x n Bayer thresholds (B + 0.5) / n^2 as float32, n in 2, 4, 8, 16."""
    k = {2: 1, 4: 2, 8: 3, 16: 4}[n]
    out = np.empty((n, n), dtype=np.float32)
    for y in range(n):
        for x in range(n):
            b = 0
            for i in range(k):
                b = 4 * b + 2 * (((x ^ y) >> i) & 1) + ((y >> i) & 1)
            out[y, x] = (f32(b) + f32(0.5)) / f32(n * n)
    return out


def _threshold_dither(img, noise, levels, palette, strength, linear,
                      preserve_alpha, strength_first):
    """Shared pixel rule of the ordered and random engines.

    ``noise`` is an (H, W) float32 array of per-pixel offsets d in
    [-0.5, 0.5): t - 0.5 for a matrix threshold t, or u - 0.5 for a draw u.
    ``strength_first`` picks the product order of the palette offset:
    (strength * spacing) for the ordered engine, (spacing * strength) for the
    random one (the same value either way, kept literal).
    """
    px, shape = _as_hwc(img)
    height, width, channels = px.shape
    strength = f32(strength)
    decode = decode_table(linear)
    noise = np.asarray(noise, dtype=np.float32)
    assert noise.shape == (height, width)

    if palette is not None:
        values, spacing = palette_table(palette, linear)
        colors = parse_colors(palette)
        w = np.empty((height, width, 3), dtype=np.float32)
        for c in range(3):
            scale = strength * spacing[c] if strength_first else spacing[c] * strength
            w[:, :, c] = scale * noise + decode[px[:, :, c]]
        best = _nearest_colors(values, w)
        px[:, :, :3] = colors[best]
        return px.reshape(shape)

    out_bytes, _, step, inv_step, max_index = levels_table(levels, linear)
    offset = (strength * step) * noise
    alpha = _alpha_index(channels, preserve_alpha)
    for c in range(channels):
        if c == alpha:
            continue
        v = offset + decode[px[:, :, c]]
        k = np.clip(_round_half_away_array(inv_step * v), 0, int(max_index))
        px[:, :, c] = out_bytes[k]
    return px.reshape(shape)


def ordered_dither(img, thresholds, levels=2, palette=None, strength=1.0,
                   linear=False, preserve_alpha=True):
    """Ordered dither with a 2-D array of float32 thresholds in [0, 1)."""
    t = np.asarray(thresholds, dtype=np.float32)
    if t.ndim != 2 or t.size == 0:
        raise ValueError("thresholds must be a non-empty 2-D array")
    shape = np.asarray(img).shape
    height, width = shape[0], shape[1]
    ys = np.arange(height) % t.shape[0]
    xs = np.arange(width) % t.shape[1]
    tiled = t[ys[:, None], xs[None, :]]
    noise = tiled - f32(0.5)
    return _threshold_dither(img, noise, levels, palette, strength, linear,
                             preserve_alpha, strength_first=True)


MASK64 = (1 << 64) - 1


def splitmix_draws(seed, count):
    """The first ``count`` 24-bit draws r for a seed (any Python int)."""
    state = (seed & MASK64) ^ 0xD1B54A32D192ED03
    out = []
    for _ in range(count):
        state = (state + 0x9E3779B97F4A7C15) & MASK64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        out.append(z >> 40)
    return out


def random_noise(seed, height, width):
    """(H, W) float32 noise d = r / 2^24 - 0.5, drawn in row-major order."""
    r = np.array(splitmix_draws(seed, height * width), dtype=np.float32)
    u = r / f32(1 << 24)
    return (u - f32(0.5)).reshape(height, width)


def random_dither(img, seed, levels=2, palette=None, strength=1.0,
                  linear=False, preserve_alpha=True):
    """Random (white-noise threshold) dither for an explicit seed."""
    shape = np.asarray(img).shape
    noise = random_noise(seed, shape[0], shape[1])
    return _threshold_dither(img, noise, levels, palette, strength, linear,
                             preserve_alpha, strength_first=False)
