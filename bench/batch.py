"""End-to-end batch benchmark of the `grainel` command, beside ImageMagick.

    python bench/batch.py [--count 16] [--size 4096] [--dir DIR] [--baseline CMD] [--repeat 3]

Makes COUNT photo-like RGB pictures of SIZE x SIZE, then dithers the whole
folder to the 16-colour pico8 palette (Floyd-Steinberg) with:

- this grainel: `grainel DIR -o OUT -p pico8 -j 2`;
- the baseline, any other `grainel` command given with --baseline (an older
  build in another virtual environment), run the same way;
- ImageMagick: `convert IN -dither FloydSteinberg -remap PAL OUT` per file,
  two at a time with one thread each (as grainel's -j 2), if a real
  ImageMagick is installed (a script standing in for it is not used).

Each tool runs --repeat times in turn; the table gives the median wall time
and the total size of its files. "same pixels" is ImageMagick writing
grainel's own results again, so that the sizes compare for equal pixels.
A second table gives PNG sizes and encoding times per zlib level, and with the
compressor grainel_tools uses, for one result. The pictures and results are
deleted at the end (unless --keep).

run.py takes this family's quick rows from here too (rows()): a call's fixed
cost, and two threads on two images at once.
"""

from __future__ import annotations

import argparse
import io
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import timeit
from pathlib import Path

import numpy as np

import grainel
from common import median_seconds, mps, photo_like

JOBS = 2


def photo(seed: int, size: int):
    """Smooth colour fields, hard-edged shapes and sensor noise, like a photo."""
    from PIL import Image

    return Image.fromarray(photo_like(seed, size))


def find_imagemagick() -> str | None:
    """A real ImageMagick `convert` (a compiled program), not a script named like it."""
    for name in ["magick", "convert-im6.q16", "convert"]:
        found = shutil.which(name)
        if found is None:
            continue
        with open(os.path.realpath(found), "rb") as program:
            if program.read(4) != b"\x7fELF":
                continue
        version = subprocess.run([found, "-version"], capture_output=True, text=True).stdout
        if "ImageMagick" in version:
            return found
    return None


def timed(command: list[str]) -> tuple[float, float]:
    """Wall seconds, and CPU seconds of the command and its children (user + system)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def imagemagick_batch(convert: str, sources: list[Path], palette: Path, out: Path) -> list[str]:
    """xargs running `convert` JOBS at a time, one thread each."""
    script = " ".join(f"'{s}'" for s in sources)
    return ["sh", "-c", f"printf '%s\\n' {script} | MAGICK_THREAD_LIMIT=1 xargs -P {JOBS} -I{{}} sh -c "
            f"'{convert} \"$1\" -dither FloydSteinberg -remap {palette} {out}/$(basename \"$1\" .png).png' _ {{}}"]


def folder_size(folder: Path) -> int:
    return sum(p.stat().st_size for p in folder.iterdir())


def png_levels(result: Path) -> list[tuple[str, int, float]]:
    """grainel's PNG writer on one result with zlib at every level and with what it uses:
    size and median time."""
    import zlib

    from PIL import Image

    from grainel_tools import png
    from grainel_tools.compact import compact

    with Image.open(result) as im:
        form = compact([im.convert("RGB")])
    used = png.compress
    compressors = [(f"zlib {level}", lambda data, level=level: zlib.compress(data, level))
                   for level in range(10)] + [("grainel_tools' choice", used)]
    rows = []
    for name, compressor in compressors:
        png.compress = compressor
        times, size = [], 0
        for _ in range(3):
            buffer = io.BytesIO()
            start = time.perf_counter()
            png.write_png(buffer, form.frames[0], gray_bits=form.gray_bits, alphas=form.alphas)
            times.append(time.perf_counter() - start)
            size = len(buffer.getvalue())
        rows.append((name, size, statistics.median(times)))
    png.compress = used
    return rows


def main() -> None:
    from PIL import Image

    from grainel_tools import palettes

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=16)
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir", default=None, help="working folder (default: a temporary one)")
    parser.add_argument("--baseline", help="another grainel command to compare with")
    parser.add_argument("--keep", action="store_true", help="keep the pictures and results")
    args = parser.parse_args()

    work = Path(args.dir or tempfile.mkdtemp(prefix="grainel-batch-"))
    sources = work / "in"
    sources.mkdir(parents=True, exist_ok=True)
    for i in range(args.count):
        if not (sources / f"p{i:02}.png").exists():
            photo(i, args.size).save(sources / f"p{i:02}.png", compress_level=1)
    palette = work / "pico8.png"
    Image.fromarray(np.array([palettes.named("pico8")], dtype=np.uint8)).save(palette)
    grainel = str(Path(sys.executable).parent / "grainel")
    tools = {"grainel": [grainel]}
    if args.baseline:
        tools["baseline"] = args.baseline.split()
    convert = find_imagemagick()

    def command(name: str, out: Path) -> list[str]:
        if name == "ImageMagick":
            assert convert is not None
            return imagemagick_batch(convert, sorted(sources.iterdir()), palette, out)
        return [*tools[name], str(sources), "-o", str(out), "-p", "pico8", "-j", str(JOBS)]

    names = [*tools, *(["ImageMagick"] if convert else [])]
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in names}
    loads = []
    for _ in range(args.repeat):
        for name in names:  # in turn, so that load on the machine falls on all alike
            out = work / f"out-{name}"
            shutil.rmtree(out, ignore_errors=True)
            out.mkdir()
            loads.append(os.getloadavg()[0])
            times[name].append(timed(command(name, out)))
    print(f"{args.count} RGB {args.size}x{args.size} pictures to 16 colours, {JOBS} at a time, "
          f"{os.cpu_count()} CPUs, load average {min(loads):.1f} to {max(loads):.1f}; "
          f"median of {args.repeat}")
    print("| tool | wall s | runs | CPU s | total MB |\n|---|---:|---|---:|---:|")
    for name in names:
        runs = ", ".join(f"{wall:.1f}" for wall, _ in times[name])
        print(f"| {name} | {statistics.median(w for w, _ in times[name]):.1f} | {runs} | "
              f"{statistics.median(c for _, c in times[name]):.1f} | "
              f"{folder_size(work / f'out-{name}') / 1e6:.1f} |")
    if convert:
        same = work / "same-pixels"
        same.mkdir(exist_ok=True)
        for result in sorted((work / "out-grainel").iterdir()):
            subprocess.run([convert, str(result), str(same / result.name)], check=True)
            with Image.open(result) as ours, Image.open(same / result.name) as theirs:
                assert np.array_equal(np.asarray(ours.convert("RGB")), np.asarray(theirs.convert("RGB")))
        print(f"| ImageMagick, grainel's pixels | | | {folder_size(same) / 1e6:.1f} |")
    print("\nPNG of one result, per compressor\n| compressor | MB | seconds |\n|---|---:|---:|")
    for name, size, seconds in png_levels(next(iter(sorted((work / "out-grainel").iterdir())))):
        print(f"| {name} | {size / 1e6:.2f} | {seconds:.2f} |")
    if not args.keep:
        shutil.rmtree(work)


# ---------------------------------------------------------------------------
# Rows for run.py: many calls, one call's overhead and two threads at once
# ---------------------------------------------------------------------------

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



def rows(table, gray, small_gray, reps, quick):
    """A call's fixed cost on a 1x1 image, and two threads on two images against one."""
    gray_px = gray.size
    gray_size = gray.shape[0]
    overhead_number = 500 if quick else 10000
    overhead_batches = 1 if quick else 5
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


if __name__ == "__main__":
    main()
