"""Throughput benchmark of grainel against Pillow and plain NumPy.

    python bench/run.py            full run (a couple of minutes on 2 cores)
    python bench/run.py --quick    tiny images, one repeat: a smoke test only
    python bench/run.py --json out.json

Everything runs single-threaded in one process (except the two-thread rows,
and the memory rows, which each run one call in a fresh child process so that
its peak resident size belongs to that call alone). Speeds are megapixels per
second, the median of several repeats; the ratio column is grainel's value
divided by the peer's.
"""

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import timeit

import numpy as np

import grainel

try:
    from PIL import Image
except ImportError:  # the benchmark still runs, the Pillow columns read n/a
    Image = None

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


# ---------------------------------------------------------------------------
# Peers written in plain NumPy
# ---------------------------------------------------------------------------

def ordered_cut_tile(gray, matrix_side):
    """The byte each pixel of `gray` must exceed to come out white under grainel's ordered
    dither (Bayer, 2 levels), found by asking grainel for every byte in every cell: what
    NumPy needs to give the same 0/255 image with one comparison."""
    probe = np.tile(np.arange(256, dtype=np.uint8)[:, None, None], (1, matrix_side, matrix_side))
    out = grainel.ordered_dither(probe.reshape(-1, matrix_side), matrix_side)
    white = out.reshape(256, matrix_side, matrix_side) == 255
    first_white = np.where(white.any(axis=0), white.argmax(axis=0), 256)   # per cell
    cut = (first_white - 1).astype(np.uint8)                              # img > cut
    h, w = gray.shape
    return np.ascontiguousarray(np.tile(cut, (-(-h // matrix_side), -(-w // matrix_side)))[:h, :w])


def add_threshold_and_levels_rows(table, bench, g_call, gray, rgb, small_gray, small_rgb, reps):
    """Ordered and random dither against a plain copy of the same image (the ceiling: the
    module copies the image, then rewrites it in place) and NumPy doing the same in one
    comparison; error diffusion by levels, raster and serpentine."""
    gray_px, rgb_px = gray.size, rgb.shape[0] * rgb.shape[1]
    table.section("threshold engines and diffusion by levels, MP/s; the copy rows are "
                  "ndarray.copy() of the same image, the ceiling of a copy-and-rewrite engine")
    copy_gray, cs = bench(g_call(lambda im: im.copy(), gray), gray_px, small_gray, reps)
    copy_rgb, crs = bench(g_call(lambda im: im.copy(), rgb), rgb_px, small_rgb, reps)
    cut = ordered_cut_tile(gray, 8)
    into = np.empty_like(gray)
    numpy_new = lambda im: (im > cut).view(np.uint8) * np.uint8(255)
    numpy_into = lambda im: np.greater(im, cut, out=into.view(np.bool_))
    same = bool(np.array_equal(numpy_new(gray), grainel.ordered_dither(gray, 8)))
    new_np, ns = bench(lambda which: numpy_new(gray), gray_px, None, reps)
    into_np, ins = bench(lambda which: numpy_into(gray), gray_px, None, reps)
    for n in (2, 4):
        ours, s = bench(g_call(lambda im, n=n: grainel.ordered_dither(im, 8, levels=n), gray),
                        gray_px, small_gray, reps)
        case = "ordered Bayer 8x8, %d levels, gray" % n
        extra = {"samples_s": s, "pixels": gray_px}
        table.add(case, ours, "MP/s", "ndarray.copy()", copy_gray,
                  extra=dict(extra, peer_samples_s=cs))
        row = table.add(case, ours, "MP/s", "NumPy (img > cut) * 255, new", new_np,
                        extra=dict(extra, peer_samples_s=ns, same_output_as_peer=same))
        if not same and n == 2:
            row["peer_note"] = "(output differs)"
        table.add(case, ours, "MP/s", "NumPy greater(out=), 0/1", into_np,
                  extra=dict(extra, peer_samples_s=ins))
    ours, s = bench(g_call(lambda im: grainel.ordered_dither(im, 8, levels=4), rgb),
                    rgb_px, small_rgb, reps)
    table.add("ordered Bayer 8x8, 4 levels, RGB", ours, "MP/s", "ndarray.copy()", copy_rgb,
              extra={"samples_s": s, "peer_samples_s": crs, "pixels": rgb_px})

    def numpy_pcg64(im):
        draws = np.random.default_rng(1).integers(0, 256, im.shape, dtype=np.uint8)
        return (im > draws).view(np.uint8) * np.uint8(255)
    ours, s = bench(g_call(lambda im: grainel.random_dither(im, seed=1), gray),
                    gray_px, small_gray, reps)
    peer, ps = bench(g_call(numpy_pcg64, gray), gray_px, small_gray, reps)
    table.add("random, 2 levels, gray", ours, "MP/s", "NumPy PCG64 uint8 draws + compare",
              peer, extra={"samples_s": s, "peer_samples_s": ps, "pixels": gray_px})

    fs = lambda im, **kw: grainel.error_diffusion(im, "floyd_steinberg", **kw)
    if Image is not None:
        peer, ps = bench(g_call(lambda im: Image.fromarray(im).convert("1"), gray),
                         gray_px, small_gray, reps)
    else:
        peer, ps = None, []
    raster, s = bench(g_call(fs, gray), gray_px, small_gray, reps)
    table.add("Floyd-Steinberg, 2 levels, gray", raster, "MP/s",
              'Pillow convert("1")' if Image is not None else "n/a", peer,
              extra={"samples_s": s, "peer_samples_s": ps, "pixels": gray_px})
    serp, ss = bench(g_call(lambda im: fs(im, serpentine=True), gray), gray_px, small_gray, reps)
    table.add("Floyd-Steinberg, serpentine, 2 levels, gray", serp, "MP/s", "same, raster",
              raster, extra={"samples_s": ss, "peer_samples_s": s, "pixels": gray_px})
    raster, s = bench(g_call(lambda im: fs(im, levels=4), rgb), rgb_px, small_rgb, reps)
    table.add("Floyd-Steinberg, 4 levels, RGB", raster, "MP/s",
              extra={"samples_s": s, "pixels": rgb_px})
    serp, ss = bench(g_call(lambda im: fs(im, levels=4, serpentine=True), rgb),
                     rgb_px, small_rgb, reps)
    table.add("Floyd-Steinberg, serpentine, 4 levels, RGB", serp, "MP/s", "same, raster",
              raster, extra={"samples_s": ss, "peer_samples_s": s, "pixels": rgb_px})


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


def two_threads_seconds(fn, a, b, repeats, calls):
    """Median wall time of `calls` calls of fn(a) and of fn(b), on two threads at once.

    Several calls per thread measure steady throughput: a thread's first call
    also pays for the thread's fresh malloc arena faulting in its pages.
    """
    times = []
    for _ in range(repeats):
        barrier = threading.Barrier(3)
        done = []

        def work(img):
            barrier.wait()
            for _ in range(calls):
                fn(img)
            done.append(img)

        threads = [threading.Thread(target=work, args=(img,)) for img in (a, b)]
        for t in threads:
            t.start()
        barrier.wait()
        t0 = time.perf_counter()
        for t in threads:
            t.join()
        times.append(time.perf_counter() - t0)
        assert len(done) == 2
    return statistics.median(times), times


def per_call_us(stmt, namespace, number, batches):
    timer = timeit.Timer(stmt, globals=namespace)
    best = min(timer.repeat(repeat=batches, number=number))
    return best / number * 1e6


def _proc_status_kib(field):
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def memory_child(which, path):
    """Runs in a fresh process: peak resident growth of one call, in bytes."""
    import resource

    rgb = np.load(path)
    palette = PALETTE_16
    if which == "grainel":
        def call(img):
            return grainel.error_diffusion(img, "floyd_steinberg", palette=palette)
    else:
        pal_img = pil_palette_image(palette)

        def call(img):
            return Image.fromarray(img).quantize(palette=pal_img, dither=PIL_FS)
    call(np.ascontiguousarray(rgb[:16, :16]))  # load every lazily imported piece first
    gc.collect()
    # Reset the high-water mark so it starts at the current size (Linux).
    reset = False
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        reset = True
    except OSError:
        pass
    rss_before = _proc_status_kib("VmRSS")
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    out = call(rgb)
    hwm_after = _proc_status_kib("VmHWM")
    maxrss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    del out
    if reset and rss_before is not None and hwm_after is not None:
        extra_kib, how = hwm_after - rss_before, "VmHWM"
    else:
        extra_kib, how = maxrss_after - maxrss_before, "ru_maxrss"
    print(json.dumps({"extra_bytes": max(0, extra_kib) * 1024, "method": how}))


def run_memory_child(which, path):
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--memory-child", which, path],
        capture_output=True, text=True, timeout=300)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


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


def _fmt_load(value):
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


# ---------------------------------------------------------------------------
# Named matrices from grainel_tools, against the module's Bayer 8x8
# ---------------------------------------------------------------------------

NAMED_MATRICES = ("bluenoise64", "halftone8")


def named_matrix_rows(table, gray, warm, repeats):
    """Ordered dither, 2 levels, with large named tiles and with Bayer 8x8 on one image.

    A 64x64 tile holds 4096 thresholds where Bayer's holds 64, so this shows
    what the larger tile costs. The calls alternate, matrix by matrix, so
    that a change in the machine's load reaches every column alike.
    """
    from grainel_tools.matrices import matrix

    tiles = {"bayer8x8": 8, **{name: matrix(name) for name in NAMED_MATRICES}}
    times = {name: [] for name in tiles}
    for tile in tiles.values():
        grainel.ordered_dither(warm, tile)
    for _ in range(repeats):
        for name, tile in tiles.items():
            t0 = time.perf_counter()
            grainel.ordered_dither(gray, tile)
            times[name].append(time.perf_counter() - t0)
    pixels = gray.shape[0] * gray.shape[1]
    bayer = mps(pixels, statistics.median(times["bayer8x8"]))
    table.section("ordered dither with named matrices (grainel_tools), 2 levels, gray, MP/s; "
                  "ratio = named / Bayer 8x8, calls alternating")
    for name in NAMED_MATRICES:
        table.add("ordered %s, 2 levels, gray" % name, mps(pixels, statistics.median(times[name])),
                  "MP/s", "Bayer 8x8", bayer,
                  extra={"samples_s": times[name], "peer_samples_s": times["bayer8x8"],
                         "pixels": pixels})


# ---------------------------------------------------------------------------
# Colour palettes beside Pillow's quantizer, on a photo and the synthetic picture
# ---------------------------------------------------------------------------

def photo_rgb(size):
    """scikit-image's astronaut resized to size x size (bicubic), or None without scikit-image."""
    try:
        from skimage import data
    except ImportError:
        return None
    photo = data.astronaut()[:, :, :3]
    if Image is None:  # whole-pixel repeats instead, close enough for timing
        reps = -(-size // photo.shape[0])
        return np.ascontiguousarray(photo.repeat(reps, 0).repeat(reps, 1)[:size, :size])
    return np.asarray(Image.fromarray(photo).resize((size, size), Image.BICUBIC))


def cube_palette(n):
    """The n x n x n cube of evenly spaced values: n=4 the 64-colour EGA set, n=6 the web-safe 216."""
    ramp = [int(round(i * 255.0 / (n - 1))) for i in range(n)]
    return [(r, g, b) for r in ramp for g in ramp for b in ramp]


def random_palette(n):
    return np.random.default_rng(20240700 + n).integers(0, 256, (n, 3))


def fitted_palette(img):
    """Pillow's median-cut 256-colour palette of img, or None without Pillow."""
    if Image is None:
        return None
    quantized = Image.fromarray(img).quantize(256, method=0)  # 0: median cut
    used = sorted(index for _, index in quantized.getcolors())
    return np.array(quantized.getpalette()[:768]).reshape(-1, 3)[used]


def palette_rows(table, bench, pictures, reps, note):
    """Every palette case, on each picture of pictures ("photo" and "synth") it names."""
    title = "colour palettes, RGB %s, one thread, MP/s; peer: Pillow quantize(palette=...)" % (
        "x".join(map(str, pictures["synth"].shape[:2])))
    table.section(title + ("; " + note if note else ""))
    random256 = random_palette(256)
    cases = [  # label, pictures, palette (or a function of the picture), call, Pillow's dither
        ("FS, 16 colours", ("photo", "synth"), PALETTE_16, "fs", "FLOYDSTEINBERG"),
        ("FS, 64 colours", ("photo", "synth"), cube_palette(4), "fs", "FLOYDSTEINBERG"),
        ("FS, 216 web-safe", ("photo", "synth"), cube_palette(6), "fs", "FLOYDSTEINBERG"),
        ("FS, 256 fitted (median cut)", ("photo", "synth"), fitted_palette, "fs", "FLOYDSTEINBERG"),
        ("FS, 256 random", ("photo", "synth"), random256, "fs", "FLOYDSTEINBERG"),
        ("FS, 1024 random", ("photo",), random_palette(1024), "fs", None),
        ("FS, 4096 random", ("photo",), random_palette(4096), "fs", None),
        ("strength 0, 256 random", ("photo",), random256, "nearest", "NONE"),
        ("ordered 8x8, 256 random", ("photo",), random256, "ordered", None),
        ("random, 256 random", ("photo",), random256, "random", None),
    ]
    calls = {
        "fs": lambda im, p: grainel.error_diffusion(im, "floyd_steinberg", palette=p),
        "nearest": lambda im, p: grainel.error_diffusion(im, palette=p, strength=0.0),
        "ordered": lambda im, p: grainel.ordered_dither(im, 8, palette=p),
        "random": lambda im, p: grainel.random_dither(im, palette=p, seed=1),
    }
    for label, names, palette, call, pil_dither in cases:
        for name in [n for n in names if n in pictures] or ["synth"]:
            img = pictures[name]
            colors = palette(img) if callable(palette) else palette
            if colors is None:
                continue
            warm = np.ascontiguousarray(img[:16, :16])
            px = img.shape[0] * img.shape[1]
            ours, s = bench(lambda im, p=colors, f=calls[call]: f(img if im is None else im, p),
                            px, warm, reps)
            peer, ps, peer_name = None, [], None
            if pil_dither and Image is not None:
                dither = getattr(getattr(Image, "Dither", Image), pil_dither)
                pal_img = pil_palette_image([tuple(int(c) for c in rgb) for rgb in colors])
                peer, ps = bench(lambda im, pi=pal_img, d=dither: Image.fromarray(
                    img if im is None else im).quantize(palette=pi, dither=d), px, warm, reps)
                peer_name = "Pillow" + (" no dither" if pil_dither == "NONE" else " FS")
            table.add("%s, %s" % (label, name), ours, "MP/s", peer_name, peer,
                      extra={"samples_s": s, "peer_samples_s": ps, "pixels": px})


# ---------------------------------------------------------------------------
# Ordered dither by colour mixes (grainel_tools.mix_dither), against plain ordered dither
# ---------------------------------------------------------------------------

def mix_rows(table, photo, warm, repeats):
    """mix_dither with bluenoise64 to pico8's 16 colours, beside grainel.ordered_dither with the same.

    "new plan" makes the palette's plan in every call, as a first call does;
    "plan reused" passes one MixPlan, as the frames of an animation share
    one. The three calls alternate, so a change in load reaches all alike.
    """
    from grainel_tools import MixPlan, matrix, mix_dither, palettes
    from grainel_tools.mix import _plan_of

    colors = palettes.named("pico8")
    tile = matrix("bluenoise64")
    plan = MixPlan(colors)

    def new_plan(im):
        _plan_of.cache_clear()
        return mix_dither(im, colors, tile)

    calls = {"new": new_plan, "reused": lambda im: mix_dither(im, plan, tile),
             "ordered": lambda im: grainel.ordered_dither(im, tile, palette=colors)}
    times = {name: [] for name in calls}
    for call in calls.values():
        call(warm)
    for _ in range(repeats):
        for name, call in calls.items():
            t0 = time.perf_counter()
            call(photo)
            times[name].append(time.perf_counter() - t0)
    pixels = photo.shape[0] * photo.shape[1]
    ordered = mps(pixels, statistics.median(times["ordered"]))
    table.section("ordered dither by colour mixes (grainel_tools.mix_dither), bluenoise64, pico8, "
                  "RGB photo, MP/s; ratio = mix / grainel.ordered_dither, same matrix and palette")
    for name, label in (("new", "new plan"), ("reused", "plan reused")):
        table.add("mix dither, 16 colours, %s" % label, mps(pixels, statistics.median(times[name])),
                  "MP/s", "ordered_dither", ordered,
                  extra={"samples_s": times[name], "peer_samples_s": times["ordered"], "pixels": pixels})


# ---------------------------------------------------------------------------
# The benchmark
# ---------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="tiny images and one repeat (smoke test)")
    ap.add_argument("--json", metavar="PATH", help="also write the numbers as JSON to PATH")
    ap.add_argument("--memory-child", nargs=2, metavar=("WHICH", "NPY"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.memory_child:
        memory_child(*args.memory_child)
        return 0

    quick = args.quick
    gray_size, rgb_size = (256, 128) if quick else (4096, 2048)
    reps = 1 if quick else 5          # main rows
    reps_kernels = 1 if quick else 3  # the eighteen kernel rows
    overhead_number = 500 if quick else 10000
    overhead_batches = 1 if quick else 5

    info = machine_info()
    print("grainel benchmark%s" % (" (quick: tiny images, 1 repeat; times mean nothing)" if quick else ""))
    print("machine : %s, %s cores (%s usable), %s" % (info["cpu"], info["cores"], info["usable_cores"], info["platform"]))
    print("versions: Python %s, NumPy %s, Pillow %s, grainel %s" % (
        info["python"], info["numpy"], info["pillow"], info["grainel"]))

    load_start = load_average()
    t_start = time.perf_counter()
    gray = make_gray(gray_size)
    rgb = make_rgb(rgb_size)
    gray_px = gray.shape[0] * gray.shape[1]
    rgb_px = rgb.shape[0] * rgb.shape[1]
    print("images  : gray %dx%d, RGB %dx%d (gradients, zone plate, noise, shapes); "
          "median of %d repeats (%d for the kernel rows), single thread"
          % (gray_size, gray_size, rgb_size, rgb_size, reps, reps_kernels))
    print()

    small_gray = np.ascontiguousarray(gray[:16, :16])
    small_rgb = np.ascontiguousarray(rgb[:16, :16])
    table = Table()
    na = "n/a"

    def bench(fn, pixels, warm, repeats):
        fn(warm)  # first call loads lazily imported pieces; kept out of the timing
        sec, samples = median_seconds(lambda: fn(None), repeats)
        return mps(pixels, sec), samples

    def g_call(fn, img):
        return lambda which: fn(img if which is None else which)

    add_threshold_and_levels_rows(table, bench, g_call, gray, rgb, small_gray, small_rgb, reps)
    named_matrix_rows(table, gray, small_gray, reps)

    # -- colour palettes -------------------------------------------------------
    photo = photo_rgb(rgb_size)
    palette_rows(table, bench, {"synth": rgb} if photo is None else {"photo": photo, "synth": rgb},
                 reps, "photo rows skipped: scikit-image is not installed" if photo is None else "")
    mix_rows(table, rgb if photo is None else photo, small_rgb, reps)
    for palette in (PALETTE_16, PALETTE_256):
        ours, s = bench(g_call(lambda im, p=palette: grainel.error_diffusion(im, "atkinson", palette=p),
                               rgb), rgb_px, small_rgb, reps)
        table.add("Atkinson, %d colours, synth" % len(palette), ours, "MP/s",
                  extra={"samples_s": s, "pixels": rgb_px})

    # -- every kernel, raster and serpentine -------------------------------
    table.section("error diffusion, 2 levels, gray, every kernel, MP/s; "
                  "serpentine rows compare with the same kernel's raster scan")
    for method in grainel.available_methods():
        raster, s = bench(g_call(lambda im, m=method: grainel.error_diffusion(im, m), gray),
                          gray_px, small_gray, reps_kernels)
        table.add(method, raster, "MP/s", extra={"samples_s": s, "pixels": gray_px})
        serp, s = bench(g_call(lambda im, m=method: grainel.error_diffusion(im, m, serpentine=True), gray),
                        gray_px, small_gray, reps_kernels)
        table.add(method + ", serpentine", serp, "MP/s", "same, raster", raster,
                  extra={"samples_s": s, "pixels": gray_px})

    # -- call overhead ---------------------------------------------------------
    table.section("one call on a 1x1 uint8 image, microseconds (lower is better); "
                  "best of %d batches of %d; ratio = grainel / peer"
                  % (overhead_batches, overhead_number))
    one = np.zeros((1, 1), dtype=np.uint8)
    ns = {"g": grainel, "one": one}
    copy_us = per_call_us("one.copy()", ns, overhead_number, overhead_batches)
    for name, stmt in (("error_diffusion", "g.error_diffusion(one)"),
                       ("ordered_dither", "g.ordered_dither(one)"),
                       ("random_dither", "g.random_dither(one, seed=1)"),
                       ("dither", "g.dither(one)")):
        us = per_call_us(stmt, ns, overhead_number, overhead_batches)
        table.add(name + "(1x1)", us, "us", "ndarray.copy()", copy_us, extra={"stmt": stmt})

    # -- two threads -----------------------------------------------------------
    table.section("two threads on two independent gray %dx%d images, 4 calls each, MP/s in total; "
                  "ratio = 2 threads / 1 thread" % (gray_size, gray_size))
    gray_b = np.ascontiguousarray(gray[::-1, ::-1])
    for label, fn in (("Floyd-Steinberg, 2 levels", lambda im: grainel.error_diffusion(im, "floyd_steinberg")),
                      ("ordered Bayer 8x8, 2 levels", lambda im: grainel.ordered_dither(im, 8))):
        fn(small_gray)
        calls = 1 if quick else 4
        one_sec, s1 = median_seconds(
            lambda: [(fn(gray), fn(gray_b)) for _ in range(calls)], reps)
        two_sec, s2 = two_threads_seconds(fn, gray, gray_b, reps, calls)
        pixels = 2 * calls * gray_px
        table.add(label + ", 2 threads", mps(pixels, two_sec), "MP/s",
                  "1 thread", mps(pixels, one_sec),
                  extra={"samples_s": s2, "peer_samples_s": s1, "pixels": pixels})

    # -- peak memory -----------------------------------------------------------
    image_bytes = rgb.nbytes
    table.section("peak extra resident memory of one call, Floyd-Steinberg to 16 colours, "
                  "RGB %dx%d (%.1f MiB), fresh process; ratio = grainel / peer"
                  % (rgb_size, rgb_size, image_bytes / 2**20))
    with tempfile.TemporaryDirectory(prefix="grainel-bench-") as tmp:
        path = os.path.join(tmp, "rgb.npy")
        np.save(path, rgb)
        ours = run_memory_child("grainel", path)
        theirs = run_memory_child("pillow", path) if Image is not None else None
    ours_mib = ours["extra_bytes"] / 2**20 if ours else None
    theirs_mib = theirs["extra_bytes"] / 2**20 if theirs else None
    row = table.add("error_diffusion(palette=16)", ours_mib, "MiB",
                    "Pillow quantize(FS)" if Image is not None else na, theirs_mib,
                    note="(%.2fx image)" % (ours["extra_bytes"] / image_bytes) if ours else "",
                    extra={"image_bytes": image_bytes,
                           "extra_bytes": ours["extra_bytes"] if ours else None,
                           "peer_extra_bytes": theirs["extra_bytes"] if theirs else None,
                           "measured_with": ours["method"] if ours else None})
    if theirs:
        row["peer_note"] = "(%.2fx)" % (theirs["extra_bytes"] / image_bytes)

    print(table.render())
    elapsed = time.perf_counter() - t_start
    print()
    load_end = load_average()
    print("total %.1f s; 1-minute load average %s at the start, %s at the end "
          "(this run adds about 1; much more means other work shared the machine and skewed the numbers)"
          % (elapsed, _fmt_load(load_start), _fmt_load(load_end)))

    if args.json:
        out = {"machine": info, "quick": quick, "elapsed_s": elapsed,
               "load_average": {"start": load_start, "end": load_end},
               "images": {"gray": list(gray.shape), "rgb": list(rgb.shape)},
               "repeats": {"main": reps, "kernels": reps_kernels,
                           "overhead_number": overhead_number, "overhead_batches": overhead_batches},
               "sections": []}
        for kind, item in table.rows:
            if kind == "section":
                out["sections"].append({"title": item, "rows": []})
            else:
                out["sections"][-1]["rows"].append(item)
        with open(args.json, "w") as f:
            json.dump(out, f, indent=2)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
