"""Palettes: grainel's exact search beside Pillow's quantizer, fitted palettes, the remap, memory."""

import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile

import numpy as np

import grainel
from common import (PALETTE_16, PALETTE_256, PIL_FS, Image, alternated_seconds, bench, cpu_model,
                    g_call, mps, pil_palette_image)

RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run.py")


def cube_palette(n):
    """The n x n x n cube of evenly spaced values: n=4 the 64-colour EGA set, n=6 the web-safe 216."""
    ramp = [int(round(i * 255.0 / (n - 1))) for i in range(n)]
    return [(r, g, b) for r in ramp for g in ramp for b in ramp]


def random_palette(n):
    return np.random.default_rng(20240700 + n).integers(0, 256, (n, 3))


def median_cut(img, count):
    """Pillow's median-cut palette of img (the colours it uses), or None without Pillow."""
    if Image is None:
        return None
    quantized = Image.fromarray(img).quantize(count, method=0)  # 0: median cut
    used = sorted(index for _, index in quantized.getcolors())
    return np.array(quantized.getpalette()[:3 * count]).reshape(-1, 3)[used]


def fitted(img, count):
    """grainel_tools.fit_palette's palette of img."""
    from grainel_tools import fit_palette

    return np.asarray(fit_palette(img, count))


def palette_rows(table, pictures, reps, note):
    """Every palette case, on each picture of pictures ("photo" and "synth") it names."""
    title = "colour palettes, RGB %s, one thread, MP/s; peer: Pillow quantize(palette=...)" % (
        "x".join(map(str, pictures["synth"].shape[:2])))
    table.section(title + ("; " + note if note else ""))
    random256 = random_palette(256)
    cases = [  # label, pictures, palette (or a function of the picture), call, Pillow's dither
        ("FS, 16 colours", ("photo", "synth"), PALETTE_16, "fs", "FLOYDSTEINBERG"),
        ("FS, 64 colours", ("photo", "synth"), cube_palette(4), "fs", "FLOYDSTEINBERG"),
        ("FS, 216 web-safe", ("photo", "synth"), cube_palette(6), "fs", "FLOYDSTEINBERG"),
        ("FS, 256 fitted (median cut)", ("photo", "synth"), lambda im: median_cut(im, 256), "fs",
         "FLOYDSTEINBERG"),
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
            runs = {"ours": (lambda im, p=colors, f=calls[call]: f(im, p), img)}
            peer_name = None
            if pil_dither and Image is not None:
                dither = getattr(getattr(Image, "Dither", Image), pil_dither)
                pal_img = pil_palette_image([tuple(int(c) for c in rgb) for rgb in colors])
                runs["peer"] = (lambda im, pi=pal_img, d=dither: Image.fromarray(im).quantize(
                    palette=pi, dither=d), img)
                peer_name = "Pillow" + (" no dither" if pil_dither == "NONE" else " FS")
            # The two take turns, so that a change in load reaches both alike.
            times = alternated_seconds(runs, warm, reps)
            ps = times.get("peer", [])
            table.add("%s, %s" % (label, name), mps(px, statistics.median(times["ours"])), "MP/s",
                      peer_name, mps(px, statistics.median(ps)) if ps else None,
                      extra={"samples_s": times["ours"], "peer_samples_s": ps, "pixels": px})


def fitted_rows(table, pictures, warm, repeats):
    """Palettes fitted to each photo, by Pillow's median cut and by grainel_tools.fit_palette:
    Floyd-Steinberg beside Pillow's quantize FS, strength 0 beside Pillow's undithered quantize,
    both with the same palette, and the perceptual remap, serpentine (its default) and left to
    right (the module's default scan), beside the module's Floyd-Steinberg.

    A fitted palette crowds its colours where the photo's pixels are, the hardest case for an
    exact search. The five calls of a case take turns.
    """
    from grainel_tools import remap

    table.section("palettes fitted to each photo, RGB, MP/s; FS and strength 0 against Pillow's "
                  "quantize with the same palette, the remap against grainel's FS to it")
    for name, img in pictures.items():
        px = img.shape[0] * img.shape[1]
        for count in (64, 256):
            for fitter, fit in (("median cut", median_cut), ("fit_palette", fitted)):
                colors = fit(img, count)
                if colors is None:
                    continue
                calls = {
                    "fs": lambda im, p=colors: grainel.error_diffusion(im, palette=p),
                    "nearest": lambda im, p=colors: grainel.error_diffusion(im, palette=p, strength=0.0),
                    "remap": lambda im, p=colors: remap(im, p, threads=1),
                    "remap ltr": lambda im, p=colors: remap(im, p, threads=1, serpentine=False),
                }
                if Image is not None:
                    pal_img = pil_palette_image([tuple(int(c) for c in rgb) for rgb in colors])
                    calls["pillow fs"] = lambda im, pi=pal_img: Image.fromarray(im).quantize(
                        palette=pi, dither=PIL_FS)
                    calls["pillow none"] = lambda im, pi=pal_img: Image.fromarray(im).quantize(
                        palette=pi, dither=getattr(getattr(Image, "Dither", Image), "NONE"))
                times = alternated_seconds({k: (fn, img) for k, fn in calls.items()}, warm, repeats)
                speed = {k: mps(px, statistics.median(t)) for k, t in times.items()}
                case = "%s, %d %s (%d)" % (name, count, fitter, len(colors))
                for ours, peer, label, peer_label in (
                        ("fs", "pillow fs", "FS", "Pillow FS"),
                        ("nearest", "pillow none", "strength 0", "Pillow no dither"),
                        ("remap", "fs", "remap", "grainel FS"),
                        ("remap ltr", "fs", "remap, left to right", "grainel FS")):
                    table.add("%s, %s" % (label, case), speed[ours], "MP/s",
                              peer_label if peer in speed else None, speed.get(peer),
                              extra={"samples_s": times[ours], "peer_samples_s": times.get(peer, []),
                                     "pixels": px, "colors": len(colors)})


def remap_thread_rows(table, pictures, warm, repeats):
    """The remap's scaling: one photo and its 256 fitted colours on 1, 2 and every usable thread,
    through one RemapPlan, both scans; each row against one thread. The calls take turns."""
    from grainel_tools import RemapPlan, remap
    from grainel_tools.cores import available_cores

    name, img = next(iter(pictures.items()))
    px = img.shape[0] * img.shape[1]
    plan = RemapPlan(fitted(img, 256))
    counts = sorted({1, 2, available_cores()})
    table.section("remap threads, %s %dx%d, 256 fit_palette colours, MP/s against one thread; %s"
                  % (name, img.shape[0], img.shape[1], cpu_model()))
    for serpentine in (True, False):
        calls = {n: (lambda im, n=n: remap(im, plan, threads=n, serpentine=serpentine), img) for n in counts}
        times = alternated_seconds(calls, warm, repeats)
        one = mps(px, statistics.median(times[1]))
        for n in counts[1:]:
            table.add("remap, %s, %d threads" % ("serpentine" if serpentine else "left to right", n),
                      mps(px, statistics.median(times[n])), "MP/s", "1 thread", one,
                      extra={"samples_s": times[n], "peer_samples_s": times[1], "pixels": px, "threads": n})


def atkinson_rows(table, rgb, warm, reps):
    rgb_px = rgb.shape[0] * rgb.shape[1]
    for palette in (PALETTE_16, PALETTE_256):
        ours, s = bench(g_call(lambda im, p=palette: grainel.error_diffusion(im, "atkinson", palette=p),
                               rgb), rgb_px, warm, reps)
        table.add("Atkinson, %d colours, synth" % len(palette), ours, "MP/s",
                  extra={"samples_s": s, "pixels": rgb_px})


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
        [sys.executable, RUN, "--memory-child", which, path],
        capture_output=True, text=True, timeout=300)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


def memory_rows(table, rgb):
    """Peak extra memory of one call, each in a fresh process."""
    image_bytes = rgb.nbytes
    rgb_size = rgb.shape[0]
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
                    "Pillow quantize(FS)" if Image is not None else "n/a", theirs_mib,
                    note="(%.2fx image)" % (ours["extra_bytes"] / image_bytes) if ours else "",
                    extra={"image_bytes": image_bytes,
                           "extra_bytes": ours["extra_bytes"] if ours else None,
                           "peer_extra_bytes": theirs["extra_bytes"] if theirs else None,
                           "measured_with": ours["method"] if ours else None})
    if theirs:
        row["peer_note"] = "(%.2fx)" % (theirs["extra_bytes"] / image_bytes)
