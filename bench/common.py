"""What the benchmark's families share: pictures, palettes, timing and the table.

The families (diffusion.py, threshold.py, palette.py, batch.py) each add rows
to one Table; run.py runs them all.
"""

import os
import platform
import statistics
import time

import numpy as np

import grainel

try:
    from PIL import Image
except ImportError:  # the benchmark still runs, the Pillow columns read n/a
    Image = None

PIL_FS = None
if Image is not None:
    try:
        PIL_FS = Image.Dither.FLOYDSTEINBERG
    except AttributeError:  # Pillow before 9.1
        PIL_FS = Image.FLOYDSTEINBERG


# ---------------------------------------------------------------------------
# Test pictures and palettes (deterministic)
# ---------------------------------------------------------------------------

def _grid(h, w):
    y = np.linspace(-1.0, 1.0, h, dtype=np.float32)[:, None]
    x = np.linspace(-1.0, 1.0, w, dtype=np.float32)[None, :]
    return y, x


def _zone_plate(y, x, size):
    # Frequency grows linearly with the radius and reaches about half of
    # Nyquist at the corners: fine rings on top of the smooth ramps.
    k = np.float32(np.pi * size / 12.0)
    return np.cos(k * (x * x + y * y))


def _shapes(img, values, rng):
    """Sharp-edged rectangles and discs painted over `img` (H, W[, C])."""
    h, w = img.shape[:2]
    yy, xx = np.ogrid[:h, :w]
    for i, val in enumerate(values):
        cy, cx = int(rng.integers(h // 8, h - h // 8)), int(rng.integers(w // 8, w - w // 8))
        r = int(rng.integers(max(2, h // 40), max(3, h // 10)))
        if i % 2:
            img[max(0, cy - r):cy + r, max(0, cx - r // 2):cx + r // 2] = val
        else:
            img[(yy - cy) ** 2 + (xx - cx) ** 2 <= r * r] = val
    # a checkerboard patch with one-pixel cells: the hardest detail there is
    ph, pw = max(2, h // 16), max(2, w // 16)
    checker = ((np.arange(ph)[:, None] + np.arange(pw)[None, :]) % 2) * 255
    if img.ndim == 3:
        checker = checker[:, :, None]
    img[h // 20:h // 20 + ph, w - w // 20 - pw:w - w // 20] = checker


def make_gray(size):
    rng = np.random.default_rng(20240601)
    y, x = _grid(size, size)
    linear = (x + 1.0) * 0.5                                  # left to right
    radial = np.clip(1.0 - np.sqrt(x * x + y * y) / 1.4142, 0.0, 1.0)
    img = 255.0 * (0.55 * linear + 0.45 * radial)
    img = img + 40.0 * _zone_plate(y, x, size) * radial      # fades out at edges
    img = img + rng.normal(0.0, 3.0, img.shape).astype(np.float32)
    img = np.clip(img, 0.0, 255.0).astype(np.uint8)
    _shapes(img, [0, 255, 96, 200, 30, 160], rng)
    return np.ascontiguousarray(img)


def make_rgb(size):
    rng = np.random.default_rng(20240602)
    y, x = _grid(size, size)
    zp = _zone_plate(y, x, size)
    radial = np.clip(1.0 - np.sqrt(x * x + y * y) / 1.4142, 0.0, 1.0)
    r = 255.0 * (x + 1.0) * 0.5 + 30.0 * zp
    g = 255.0 * (y + 1.0) * 0.5 + 30.0 * np.sin(np.float32(size / 9.0) * (x + 0.5 * y))
    b = 255.0 * radial + 30.0 * zp * (1.0 - radial)
    img = np.stack([r, g, b], axis=-1)
    img = img + rng.normal(0.0, 3.0, img.shape).astype(np.float32)
    img = np.clip(img, 0.0, 255.0).astype(np.uint8)
    _shapes(img, [(220, 20, 60), (255, 255, 255), (0, 0, 0), (30, 144, 255),
                  (255, 215, 0), (34, 139, 34)], rng)
    return np.ascontiguousarray(img)


# The sixteen colours of the classic text-mode/web set, spread over the cube.
PALETTE_16 = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128),
    (128, 0, 0), (128, 0, 128), (128, 128, 0), (192, 192, 192),
    (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255),
    (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]


def _palette_256():
    def ramp(n):
        return [int(round(i * 255.0 / (n - 1))) for i in range(n)]
    cube = [(r, g, b) for r in ramp(6) for g in ramp(7) for b in ramp(6)]
    grays = [(v, v, v) for v in (32, 96, 160, 224)]  # none of these is in the cube
    return cube + grays


PALETTE_256 = _palette_256()
assert len(PALETTE_256) == 256 and len(set(PALETTE_256)) == 256


def pil_palette_image(palette):
    pal = Image.new("P", (1, 1))
    pal.putpalette([c for rgb in palette for c in rgb])
    return pal



def photo_like(seed, size):
    """Smooth colour fields, hard-edged shapes and sensor noise, like a photo: no files needed."""
    rng = np.random.default_rng(seed)
    fields = rng.integers(0, 256, (12, 12, 3), dtype=np.uint8)
    if Image is not None:
        fields = np.asarray(Image.fromarray(fields).resize((size, size), Image.BICUBIC))
    else:  # whole-pixel repeats instead, close enough for timing
        fields = fields.repeat(-(-size // 12), 0).repeat(-(-size // 12), 1)[:size, :size]
    pixels = fields.astype(np.int16)
    for _ in range(20):
        x, y, w, h = rng.integers(0, size, 4) // [1, 1, 4, 4]
        pixels[y:y + h, x:x + w] = rng.integers(0, 256, 3)
    pixels += rng.normal(0, 4, pixels.shape).astype(np.int16)
    return np.ascontiguousarray(np.clip(pixels, 0, 255).astype(np.uint8))


SKIMAGE_PHOTOS = ("astronaut", "coffee")


def photos(size):
    """Two RGB photos at size x size: scikit-image's (shipped with it, no network), or where it
    is not installed two photo-like pictures made here. Returns the pictures by name, and a note
    saying which."""
    try:
        from skimage import data
    except ImportError:
        return ({"fields %d" % seed: photo_like(seed, size) for seed in (1, 2)},
                "scikit-image is not installed: photo-like pictures stand in for its photos")
    out = {}
    for name in SKIMAGE_PHOTOS:
        photo = getattr(data, name)()[:, :, :3]
        if Image is None:  # whole-pixel repeats instead, close enough for timing
            reps = -(-size // min(photo.shape[:2]))
            out[name] = np.ascontiguousarray(photo.repeat(reps, 0).repeat(reps, 1)[:size, :size])
        else:
            out[name] = np.asarray(Image.fromarray(photo).resize((size, size), Image.BICUBIC))
    return out, ""


# ---------------------------------------------------------------------------
# Measuring
# ---------------------------------------------------------------------------

def median_seconds(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), times


def mps(pixels, seconds):
    return pixels / 1e6 / seconds if seconds > 0 else float("inf")



def alternated_seconds(calls, warm, repeats):
    """Times of each call on its picture, the calls taking turns, so that a change in the
    machine's load reaches them all alike. calls: name -> (fn, picture); each is warmed up
    once on `warm` (lazily imported pieces load there)."""
    for fn, _ in calls.values():
        fn(warm)
    times = {name: [] for name in calls}
    for _ in range(repeats):
        for name, (fn, picture) in calls.items():
            t0 = time.perf_counter()
            fn(picture)
            times[name].append(time.perf_counter() - t0)
    return times


def bench(fn, pixels, warm, repeats):
    """MP/s of fn(None) (the median of `repeats`) and its samples; fn(warm) runs first, untimed."""
    fn(warm)
    sec, samples = median_seconds(lambda: fn(None), repeats)
    return mps(pixels, sec), samples


def g_call(fn, img):
    """fn on img, or on the picture given (the warm-up's)."""
    return lambda which: fn(img if which is None else which)


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.lower().startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine() or "unknown"


def load_average():
    try:
        return os.getloadavg()[0]
    except (AttributeError, OSError):
        return None


def fmt_load(value):
    return "n/a" if value is None else "%.2f" % value


def machine_info():
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    return {
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "usable_cores": usable,
        "python": platform.python_version() + " (" + platform.python_implementation() + ")",
        "numpy": np.__version__,
        "pillow": Image.__version__ if Image is not None else "n/a",
        "grainel": grainel.__version__,
        "platform": platform.platform(),
    }


def fmt(value, unit):
    if value is None:
        return "n/a"
    if unit == "MP/s":
        return "%.1f" % value if value >= 10 else "%.2f" % value
    if unit == "us":
        return "%.2f us" % value
    if unit == "MiB":
        return ("%.1f MiB" if value >= 10 else "%.2f MiB") % value
    return "%.3g" % value


class Table:
    def __init__(self):
        self.rows = []      # ("section", title) or ("row", dict)

    def section(self, title):
        self.rows.append(("section", title))

    def add(self, case, value, unit, peer=None, peer_value=None, note="", extra=None):
        ratio = None
        if value is not None and peer_value:
            ratio = value / peer_value
        row = {"case": case, "unit": unit, "grainel": value, "peer": peer,
               "peer_value": peer_value, "ratio": ratio, "note": note}
        if extra:
            row.update(extra)
        self.rows.append(("row", row))
        return row

    def render(self):
        header = ["case", "grainel MP/s", "peer", "peer MP/s", "ratio"]
        cells = []
        for kind, item in self.rows:
            if kind == "section":
                cells.append(item)
                continue
            r = item
            g = fmt(r["grainel"], r["unit"])
            if r["note"]:
                g += " " + r["note"]
            peer = r["peer"] if r["peer"] else ""
            if r["peer"] is None:
                pv, ratio = "", ""
            else:
                pv = fmt(r["peer_value"], r["unit"])
                pv += " " + r.get("peer_note", "") if r.get("peer_note") else ""
                ratio = "%.2f" % r["ratio"] if r["ratio"] is not None else "n/a"
            cells.append([r["case"], g, peer, pv, ratio])
        widths = [len(h) for h in header]
        for c in cells:
            if isinstance(c, list):
                widths = [max(w, len(x)) for w, x in zip(widths, c)]
        aligns = ["<", ">", "<", ">", ">"]

        def line(c):
            return "  ".join(("{:%s%d}" % (a, w)).format(x)
                             for x, w, a in zip(c, widths, aligns)).rstrip()

        total = sum(widths) + 2 * (len(widths) - 1)
        out = [line(header), "-" * total]
        for c in cells:
            if isinstance(c, list):
                out.append(line(c))
            else:
                out.append("")
                out.append("[" + c + "]")
        return "\n".join(out)

