"""Throughput benchmark of grainel against Pillow and plain NumPy.

    python bench/run.py            full run (a few minutes on 2 cores)
    python bench/run.py --quick    tiny images, one repeat: a smoke test only
    python bench/run.py --json out.json
    python bench/run.py --palettes  only the palette rows and the fitted ones

It runs every family of rows: threshold engines (threshold.py), error diffusion
by levels (diffusion.py), palettes and the remap (palette.py), calls and threads
(batch.py); common.py holds what they share. Everything runs single-threaded in
one process (except the two-thread rows and the remap's thread rows, and the
memory rows, which each run one call in a fresh child process so that its peak
resident size belongs to that call alone). Speeds are megapixels per second, the median of several repeats;
the ratio column is grainel's value divided by the peer's.
"""

import argparse
import json
import sys
import time

import numpy as np

import batch
import diffusion
import palette
import threshold
from common import Table, load_average, machine_info, make_gray, make_rgb, photos, fmt_load


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="tiny images and one repeat (smoke test)")
    ap.add_argument("--json", metavar="PATH", help="also write the numbers as JSON to PATH")
    ap.add_argument("--palettes", action="store_true", help="only the palette rows and the fitted ones")
    ap.add_argument("--memory-child", nargs=2, metavar=("WHICH", "NPY"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.memory_child:
        palette.memory_child(*args.memory_child)
        return 0

    quick = args.quick
    gray_size, rgb_size = (256, 128) if quick else (4096, 2048)
    reps = 1 if quick else 5          # main rows
    reps_kernels = 1 if quick else 3  # the eighteen kernel rows

    info = machine_info()
    print("grainel benchmark%s" % (" (quick: tiny images, 1 repeat; times mean nothing)" if quick else ""))
    print("machine : %s, %s cores (%s usable), %s" % (info["cpu"], info["cores"], info["usable_cores"], info["platform"]))
    print("versions: Python %s, NumPy %s, Pillow %s, grainel %s" % (
        info["python"], info["numpy"], info["pillow"], info["grainel"]))

    load_start = load_average()
    t_start = time.perf_counter()
    gray = make_gray(gray_size)
    rgb = make_rgb(rgb_size)
    print("images  : gray %dx%d, RGB %dx%d (gradients, zone plate, noise, shapes); "
          "median of %d repeats (%d for the kernel rows), single thread"
          % (gray_size, gray_size, rgb_size, rgb_size, reps, reps_kernels))
    print()

    small_gray = np.ascontiguousarray(gray[:16, :16])
    small_rgb = np.ascontiguousarray(rgb[:16, :16])
    table = Table()

    if not args.palettes:
        threshold.rows(table, gray, rgb, small_gray, small_rgb, reps)
        diffusion.rows(table, gray, rgb, small_gray, small_rgb, reps, reps_kernels)

    pictures, note = photos(rgb_size)
    first = next(iter(pictures.values()))
    palette.palette_rows(table, {"photo": first, "synth": rgb}, reps, note)
    palette.fitted_rows(table, pictures, small_rgb, reps)
    palette.remap_thread_rows(table, pictures, small_rgb, reps)
    if not args.palettes:
        palette.atkinson_rows(table, rgb, small_rgb, reps)
        threshold.mix_rows(table, first, small_rgb, reps)
        batch.rows(table, gray, small_gray, reps, quick)
        palette.memory_rows(table, rgb)

    print(table.render())
    elapsed = time.perf_counter() - t_start
    print()
    load_end = load_average()
    print("total %.1f s; 1-minute load average %s at the start, %s at the end "
          "(this run adds about 1; much more means other work shared the machine and skewed the numbers)"
          % (elapsed, fmt_load(load_start), fmt_load(load_end)))

    if args.json:
        out = {"machine": info, "quick": quick, "elapsed_s": elapsed,
               "load_average": {"start": load_start, "end": load_end},
               "images": {"gray": list(gray.shape), "rgb": list(rgb.shape)},
               "repeats": {"main": reps, "kernels": reps_kernels},
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
