"""How the pictures look: grainel's `-c N` and `-p NAME` against pngquant, ImageMagick, ffmpeg and Pillow.

    python bench/quality.py                      both halves of the picture set (see pictures.py)
    python bench/quality.py --half tune          the half defaults are tuned on; report the check half
    python bench/quality.py --tools grainel --no-ssimulacra2    a quick look while tuning
    python bench/quality.py --picture docs/quality.png          also the side-by-side picture
    python bench/quality.py --speed              also -c 256 against pngquant 256, and -p pico8
                                                 against ImageMagick, at 2048 px
    python bench/quality.py --json out.json

Every tool runs as its command line on the pictures' PNG files: `grainel IN OUT -c N` and
`-p NAME`; `pngquant N` at its defaults and at `--speed 1`; ImageMagick's `convert IN -colors N`
and, for fixed palettes, `-dither FloydSteinberg -remap PALETTE`; ffmpeg's `palettegen` and
`paletteuse` (the binary of the PyPI package imageio-ffmpeg); Pillow's `quantize(N)`. The figures
are those of metrics.py: perceived error, 1 - SSIM and banding (lower is better) and SSIMULACRA2
(higher is better), each the mean over a half's pictures, with the worst picture beside it. Peers
are never dependencies: a missing one reads n/a. A peer's figures are cached with the pictures,
keyed by its version, so a rerun computes grainel's alone.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from functools import cache
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

sys.path.insert(0, str(Path(__file__).resolve().parent))
import metrics  # noqa: E402
from pictures import CACHE, half_of, pictures  # noqa: E402

COUNTS = [4, 16, 64, 256]
FIXED = ["pico8", "cga", "web", "acep7", "spectra6"]
GRAINEL = [sys.executable, "-m", "grainel_tools"]
FIGURES = ["perceived", "ssim_loss", "banding", "ssimulacra2"]
HIGHER_IS_BETTER = {"ssimulacra2"}


def run(argv: list[str]) -> bool:
    return subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


@cache
def ffmpeg() -> str | None:
    try:
        import imageio_ffmpeg
    except ImportError:
        return None
    return imageio_ffmpeg.get_ffmpeg_exe()


def palette_png(name: str, folder: Path) -> Path:
    from grainel_tools import palettes

    path = folder / f"palette-{name}.png"
    Image.fromarray(np.array(palettes.named(name), np.uint8).reshape(1, -1, 3)).save(path)
    return path


# Each tool makes OUT from SRC for a target, a count or a palette name, and says whether it could.
def grainel_tool(*extra: str):
    def make(src: Path, out: Path, target: int | str, folder: Path) -> bool:
        option = ["-c", str(target)] if isinstance(target, int) else ["-p", target]
        return run([*GRAINEL, str(src), str(out), *option, *extra, "-f"])
    return make


def pngquant_tool(*extra: str):
    def make(src, out, target, folder):
        return isinstance(target, int) and shutil.which("pngquant") is not None and \
            run(["pngquant", *extra, "--force", "-o", str(out), str(target), str(src)])
    return make


def imagemagick(src, out, target, folder):
    if shutil.which("convert") is None:
        return False
    if isinstance(target, int):
        return run(["convert", str(src), "-colors", str(target), str(out)])
    return run(["convert", str(src), "-dither", "FloydSteinberg", "-remap",
                str(palette_png(target, folder)), str(out)])


def ffmpeg_tool(src, out, target, folder):
    exe = ffmpeg()
    if exe is None or not isinstance(target, int):
        return False
    graph = f"split[a][b];[a]palettegen=max_colors={target}[p];[b][p]paletteuse"
    return run([exe, "-v", "error", "-y", "-i", str(src), "-filter_complex", graph, str(out)])


def pillow(src, out, target, folder):
    with Image.open(src) as im:
        rgb = im.convert("RGB")
        if isinstance(target, int):
            rgb.quantize(target).save(out)
        else:
            from grainel_tools import palettes

            colors = [c for rgb_ in palettes.named(target) for c in rgb_]
            holder = Image.new("P", (1, 1))
            holder.putpalette(colors + colors[:3] * (256 - len(colors) // 3))
            rgb.quantize(palette=holder).save(out)
    return True


TOOLS = {
    "grainel": grainel_tool(),
    "grainel exact FS": grainel_tool("-m", "floyd_steinberg"),
    "pngquant": pngquant_tool(),
    "pngquant --speed 1": pngquant_tool("--speed", "1"),
    "ImageMagick": imagemagick,
    "ffmpeg": ffmpeg_tool,
    "Pillow": pillow,
}
FITTED_PEERS = ["pngquant", "pngquant --speed 1", "ImageMagick", "ffmpeg", "Pillow"]
FIXED_PEERS = ["grainel exact FS", "ImageMagick", "Pillow"]


@cache
def version(tool: str) -> str:
    """What a peer's cached figures are keyed by: the version it reports."""
    commands = {"pngquant": ["pngquant", "--version"], "ImageMagick": ["convert", "-version"],
                "ffmpeg": [ffmpeg() or "ffmpeg", "-version"]}
    if tool == "Pillow":
        import PIL
        return PIL.__version__
    argv = commands.get(tool.split()[0])
    try:
        out = subprocess.run(argv, capture_output=True, text=True).stdout if argv else ""
    except OSError:
        return "missing"
    return out.splitlines()[0] if out else "missing"


def pixels(path: Path) -> np.ndarray:
    with Image.open(path) as im:
        return np.asarray(im.convert("RGB"))


def measure(job: tuple[str, int | str, str, Path, bool]) -> dict | None:
    """One tool on one picture: its figures, and how many colours it wrote."""
    tool, target, name, src, with_ssimulacra2 = job
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "out.png"
        if not TOOLS[tool](src, out, target, Path(folder)):
            return None
        a, b = pixels(src), pixels(out)
    figures = {"perceived": metrics.perceived_error(a, b), "ssim_loss": metrics.ssim_loss(a, b),
               "banding": metrics.banding(a, b),
               "colours": len(np.unique(b.reshape(-1, 3), axis=0))}
    if with_ssimulacra2:
        figures["ssimulacra2"] = metrics.ssimulacra2(a, b)
    return figures


class PeerCache:
    """Peers' figures per picture, kept between runs: they only change with the peer."""

    def __init__(self, path: Path):
        self.path = path
        self.entries = json.loads(path.read_text()) if path.exists() else {}

    def key(self, tool: str, target, name: str) -> str:
        return f"{tool}|{version(tool)}|{target}|{name}"

    def get(self, tool, target, name, with_ssimulacra2):
        entry = self.entries.get(self.key(tool, target, name))
        if entry is None or (with_ssimulacra2 and "ssimulacra2" not in entry):
            return None
        return entry

    def save(self):
        self.path.write_text(json.dumps(self.entries))


def table(names: dict[str, Path], targets: list, tools: list[str], with_ssimulacra2: bool,
          jobs: int) -> dict:
    """figures[target][tool][picture], every tool on every picture."""
    peers = PeerCache(CACHE / "peer-figures.json")
    figures: dict = {str(t): {tool: {} for tool in tools} for t in targets}
    todo = []
    for target in targets:
        for tool in tools:
            for name, src in names.items():
                cached = None if tool.startswith("grainel") else \
                    peers.get(tool, target, name, with_ssimulacra2)
                if cached is not None:
                    figures[str(target)][tool][name] = cached
                else:
                    todo.append((tool, target, name, src, with_ssimulacra2))
    with ProcessPoolExecutor(jobs) as pool:
        for job, result in zip(todo, pool.map(measure, todo)):
            tool, target, name = job[:3]
            figures[str(target)][tool][name] = result
            if not tool.startswith("grainel") and result is not None:
                peers.entries[peers.key(tool, target, name)] = result
    peers.save()
    return figures


def summary(per_picture: dict[str, dict | None]) -> dict | None:
    """Mean and worst picture of each figure; None if the tool failed on any picture."""
    if not per_picture or any(v is None for v in per_picture.values()):
        return None
    out: dict = {"colours": max(v["colours"] for v in per_picture.values())}
    for figure in FIGURES:
        values = {name: v[figure] for name, v in per_picture.items() if figure in v}
        if not values:
            continue
        pick = min if figure in HIGHER_IS_BETTER else max
        worst = pick(values, key=values.get)
        out[figure] = {"mean": float(np.mean(list(values.values()))), "worst": values[worst],
                       "worst picture": worst}
    return out


def render(target: str, tool: str, s: dict | None) -> str:
    if s is None:
        return f"{target:>9}  {tool:<19} n/a"
    cells = []
    for figure, digits in zip(FIGURES, (2, 3, 2, 1)):
        if figure in s:
            f = s[figure]
            cells.append(f"{f['mean']:>6.{digits}f} ({f['worst']:.{digits}f} {f['worst picture'][:18]:<18})")
        else:
            cells.append(" " * 33)
    return f"{target:>9}  {tool:<19}" + " ".join(cells)


def verdicts(figures: dict) -> list[str]:
    """The bars grainel is held to: against pngquant and the best peer for counts, ImageMagick's
    remap for fixed palettes."""
    lines = []
    for target, row in figures.items():
        ours = summary(row.get("grainel", {}))
        if ours is None:
            continue
        if target.isdigit():
            theirs = summary(row.get("pngquant", {}))
            if theirs is None:
                continue
            worst, name = max((row["grainel"][n]["perceived"] / row["pngquant"][n]["perceived"], n)
                              for n in row["grainel"] if row["pngquant"][n]["perceived"] > 0)
            mean = ours["perceived"]["mean"] / theirs["perceived"]["mean"]
            checks = [(f"perceived {mean:.2f}x pngquant (0.9)", mean <= 0.9),
                      (f"worst picture {worst:.2f}x ({name}; 1.1)", worst <= 1.1)]
            for figure in ("banding", "ssim_loss"):
                checks.append((f"{figure} {ours[figure]['mean']:.3f} vs {theirs[figure]['mean']:.3f}",
                               ours[figure]["mean"] <= theirs[figure]["mean"]))
            if "ssimulacra2" in ours:
                best = max((summary(row[p])["ssimulacra2"]["mean"], p) for p in row
                           if p in FITTED_PEERS and summary(row[p]) and "ssimulacra2" in summary(row[p]))
                checks.append((f"SSIMULACRA2 {ours['ssimulacra2']['mean']:.1f} vs {best[0]:.1f} "
                               f"({best[1]})", ours["ssimulacra2"]["mean"] >= best[0]))
            checks.append((f"{ours['colours']} colours", ours["colours"] <= int(target)))
        else:
            theirs = summary(row.get("ImageMagick", {}))
            if theirs is None:
                continue
            mean = ours["perceived"]["mean"] / theirs["perceived"]["mean"]
            checks = [(f"perceived {mean:.2f}x ImageMagick (0.9)", mean <= 0.9)]
            if "ssimulacra2" in ours:
                checks.append((f"SSIMULACRA2 {ours['ssimulacra2']['mean']:.1f} vs "
                               f"{theirs['ssimulacra2']['mean']:.1f}",
                               ours["ssimulacra2"]["mean"] >= theirs["ssimulacra2"]["mean"]))
        ok = all(passed for _, passed in checks)
        lines.append(f"{target:>9}: " + ", ".join(text for text, _ in checks) +
                     ("  ok" if ok else "  MISSED"))
    return lines


def report(half: str, figures: dict) -> dict:
    count = len(next(iter(next(iter(figures.values())).values())))
    print(f"\n{half} half, {count} pictures: mean (worst picture) of perceived error, 1 - SSIM, "
          "banding (lower is better) and SSIMULACRA2 (higher is better)")
    summaries = {}
    for target, row in figures.items():
        summaries[target] = {tool: summary(per) for tool, per in row.items()}
        for tool, s in summaries[target].items():
            print(render(target, tool, s))
    print()
    for line in verdicts(figures):
        print(line)
    return summaries


def peak_run(argv: list[str]) -> tuple[float, float]:
    """Wall seconds and peak resident MiB of one command."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    if status != 0:
        return float("nan"), float("nan")
    return seconds, usage.ru_maxrss / 1024


def speed(folder: Path, repeats: int = 5) -> dict:
    """`grainel -c 256` beside `pngquant 256`, and `grainel -p pico8` beside ImageMagick's
    `-remap`, on a 2048 x 2048 photo, alternated: median wall seconds and peak memory."""
    import skimage.data

    src = folder / "astronaut-2048.png"
    Image.fromarray(skimage.data.astronaut()).resize((2048, 2048), Image.LANCZOS).save(src)
    commands = {"grainel -c 256": [*GRAINEL, str(src), str(folder / "g.png"), "-c", "256", "-f"],
                "pngquant 256": ["pngquant", "--force", "-o", str(folder / "p.png"), "256", str(src)],
                "grainel -p pico8": [*GRAINEL, str(src), str(folder / "g8.png"), "-p", "pico8", "-f"],
                "ImageMagick -remap pico8": ["convert", str(src), "-dither", "FloydSteinberg", "-remap",
                                             str(palette_png("pico8", folder)), str(folder / "i8.png")]}
    runs: dict[str, list] = {k: [] for k in commands}
    for _ in range(repeats):
        for label, argv in commands.items():
            runs[label].append(peak_run(argv))
    return {label: {"seconds": statistics.median(r[0] for r in rs),
                    "peak MiB": statistics.median(r[1] for r in rs)} for label, rs in runs.items()}


def side_by_side(path: Path, count: int = 16) -> None:
    """Two crops, a portrait and a gradient, at one count: the original and each tool, labelled."""
    crops = [("skimage-astronaut", (0, 60, 240, 260)), ("synthetic-sky", (40, 100, 240, 260))]
    tools = ["pngquant", "ImageMagick", "ffmpeg", "grainel"]
    h, w = crops[0][1][2], crops[0][1][3]
    sheet = Image.new("RGB", ((w + 4) * (len(tools) + 1) - 4, (h + 18) * len(crops)), "white")
    draw = ImageDraw.Draw(sheet)
    with tempfile.TemporaryDirectory() as folder:
        for row, (name, (y, x, _, _)) in enumerate(crops):
            src = pictures()[name]
            tiles = [("original", pixels(src))]
            for tool in tools:
                out = Path(folder) / f"{tool}.png"
                if TOOLS[tool](src, out, count, Path(folder)):
                    tiles.append((f"grainel -c {count}" if tool == "grainel" else f"{tool} {count}",
                                  pixels(out)))
            top = row * (h + 18)
            for i, (label, a) in enumerate(tiles):
                sheet.paste(Image.fromarray(a[y:y + h, x:x + w]), (i * (w + 4), top + 18))
                draw.text((i * (w + 4) + 3, top + 3), label, fill="black")
    sheet.save(path)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--half", choices=["tune", "check", "both"], default="both")
    ap.add_argument("--only", help="comma-separated picture names (a quick look, not a verdict)")
    ap.add_argument("--counts", default=",".join(map(str, COUNTS)))
    ap.add_argument("--fixed", default=",".join(FIXED), help="named palettes ('' for none)")
    ap.add_argument("--tools", default=",".join(TOOLS), help="comma-separated tool labels")
    ap.add_argument("--no-ssimulacra2", action="store_true", help="skip the slowest figure")
    ap.add_argument("-j", "--jobs", type=int, default=os.cpu_count())
    ap.add_argument("--picture", type=Path, help="also write the side-by-side picture here")
    ap.add_argument("--speed", action="store_true", help="also time grainel -c 256 against pngquant, -p pico8 against ImageMagick")
    ap.add_argument("--json", type=Path, help="write the figures here")
    args = ap.parse_args()
    targets = [int(c) for c in args.counts.split(",") if c] + [f for f in args.fixed.split(",") if f]
    tools = args.tools.split(",")
    every = pictures()
    if args.only:
        every = {n: every[n] for n in args.only.split(",")}
    result: dict = {"halves": {}}
    for half in (["tune", "check"] if args.half == "both" else [args.half]):
        names = {n: p for n, p in every.items() if half_of(n) == half}
        if not names or not targets:
            continue
        figures = {}
        for target in targets:
            wanted = [t for t in tools if t in (["grainel", *FITTED_PEERS] if isinstance(target, int)
                                                 else ["grainel", *FIXED_PEERS])]
            figures.update(table(names, [target], wanted, not args.no_ssimulacra2, args.jobs))
        result["halves"][half] = {"pictures": sorted(names), "figures": figures,
                                  "summaries": report(half, figures)}
    if args.speed:
        with tempfile.TemporaryDirectory() as folder:
            result["speed"] = speed(Path(folder))
        print("\n" + ", ".join(f"{k}: {v['seconds']:.2f} s, {v['peak MiB']:.0f} MiB"
                               for k, v in result["speed"].items()))
    if args.picture:
        side_by_side(args.picture)
    if args.json:
        args.json.write_text(json.dumps(result, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
