"""How the pictures look: grainel's `-c N` and `-p NAME` against pngquant, ImageMagick and Pillow.

    python bench/quality.py                    the table (a few minutes on 2 cores)
    python bench/quality.py --photos rocket,hubble_deep_field
    python bench/quality.py --picture docs/quality.png    also the side-by-side picture
    python bench/quality.py --speed            also grainel -c 256 against pngquant 256, 2048 px
    python bench/quality.py --json out.json

Every tool runs as its command line, on PNG files of scikit-image's photos at their shipped
sizes: `grainel IN OUT -c N` and `-p NAME`; `pngquant N` (its defaults, its own
Floyd-Steinberg); ImageMagick's `convert IN -colors N OUT` and, for fixed palettes,
`convert IN -dither FloydSteinberg -remap PALETTE OUT`; Pillow's `quantize(N)` (median cut and
Floyd-Steinberg). Each figure is the mean over the photos of the two measures in metrics.py
(perceived error and 1 - SSIM; lower is better). pngquant and ImageMagick are peers here, never
dependencies: a missing one reads n/a. Needs NumPy, SciPy, Pillow and scikit-image.
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
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

sys.path.insert(0, str(Path(__file__).resolve().parent))
from metrics import perceived_error, ssim_loss  # noqa: E402

PHOTOS = ["astronaut", "coffee", "chelsea"]
COUNTS = [4, 16, 64, 256]
FIXED = ["pico8", "acep7", "spectra6", "cga", "web"]
GRAINEL = [sys.executable, "-m", "grainel_tools"]


def photo(name: str, folder: Path) -> Path:
    import skimage.data

    path = folder / f"{name}.png"
    if not path.exists():
        Image.fromarray(getattr(skimage.data, name)()[..., :3]).save(path)
    return path


def pixels(path: Path) -> np.ndarray:
    with Image.open(path) as im:
        return np.asarray(im.convert("RGB"))


def run(argv: list[str]) -> bool:
    return subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def palette_png(name: str, folder: Path) -> Path:
    from grainel_tools import palettes

    path = folder / f"palette-{name}.png"
    colors = np.array(palettes.named(name), np.uint8)
    Image.fromarray(colors.reshape(1, -1, 3)).save(path)
    return path


# Each tool: (label, make(src, out, target, folder) -> bool), target a count or a palette name.
def grainel_tool(*extra: str):
    def make(src, out, target, folder):
        option = ["-c", str(target)] if isinstance(target, int) else ["-p", target]
        return run([*GRAINEL, str(src), str(out), *option, *extra, "-f"])
    return make


def pngquant(src, out, target, folder):
    return isinstance(target, int) and shutil.which("pngquant") is not None and \
        run(["pngquant", "--force", "-o", str(out), str(target), str(src)])


def imagemagick(src, out, target, folder):
    if shutil.which("convert") is None:
        return False
    if isinstance(target, int):
        return run(["convert", str(src), "-colors", str(target), str(out)])
    return run(["convert", str(src), "-dither", "FloydSteinberg", "-remap",
                str(palette_png(target, folder)), str(out)])


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
    "pngquant": pngquant,
    "ImageMagick": imagemagick,
    "Pillow": pillow,
}


def score(tool, target, photos: list[str], folder: Path) -> dict | None:
    perceived, ssim, colours = [], [], 0
    for name in photos:
        src = photo(name, folder)
        out = folder / f"out-{tool}-{target}-{name}.png".replace(" ", "_")
        if not TOOLS[tool](src, out, target, folder):
            return None
        a, b = pixels(src), pixels(out)
        perceived.append(perceived_error(a, b))
        ssim.append(ssim_loss(a, b))
        colours = max(colours, len(np.unique(b.reshape(-1, 3), axis=0)))
    return {"perceived": float(np.mean(perceived)), "ssim_loss": float(np.mean(ssim)),
            "colours": colours}


def quality_table(photos: list[str], folder: Path) -> dict:
    rows = {}
    for target in [*COUNTS, *FIXED]:
        tools = ["grainel", "pngquant", "ImageMagick", "Pillow"] if isinstance(target, int) \
            else ["grainel", "grainel exact FS", "ImageMagick", "Pillow"]
        rows[str(target)] = {tool: score(tool, target, photos, folder) for tool in tools}
        print(render_row(str(target), rows[str(target)]), flush=True)
    return rows


def render_row(target: str, row: dict) -> str:
    cells = []
    for tool, s in row.items():
        cells.append(f"{tool} " + ("n/a" if s is None else f"{s['perceived']:.2f} / {s['ssim_loss']:.3f}"))
    return f"{target:>9}: " + " | ".join(cells)


def verdicts(rows: dict) -> list[str]:
    """The targets: against pngquant for fitted palettes, ImageMagick's remap for fixed ones."""
    lines = []
    for target, row in rows.items():
        peer = "pngquant" if target.isdigit() else "ImageMagick"
        ours, theirs = row.get("grainel"), row.get(peer)
        if ours is None or theirs is None:
            continue
        p = ours["perceived"] / theirs["perceived"]
        s = ours["ssim_loss"] / theirs["ssim_loss"]
        ok = p <= 0.9 and s <= 1.0 and (not target.isdigit() or ours["colours"] <= int(target))
        lines.append(f"{target:>9} vs {peer}: perceived {p:.2f}x (target 0.9), 1 - SSIM {s:.2f}x "
                     f"(target 1.0), {ours['colours']} colours  {'ok' if ok else 'MISSED'}")
    return lines


def speed(folder: Path, repeats: int = 3) -> dict:
    """Wall seconds of `grainel -c 256` and `pngquant 256` on a 2048 x 2048 photo, alternated."""
    import skimage.data

    src = folder / "astronaut-2048.png"
    Image.fromarray(skimage.data.astronaut()).resize((2048, 2048), Image.LANCZOS).save(src)
    commands = {"grainel -c 256": [*GRAINEL, str(src), str(folder / "g.png"), "-c", "256", "-f"],
                "pngquant 256": ["pngquant", "--force", "-o", str(folder / "p.png"), "256", str(src)]}
    times: dict[str, list[float]] = {k: [] for k in commands}
    for _ in range(repeats):
        for label, argv in commands.items():
            start = time.perf_counter()
            if not run(argv):
                times[label].append(float("nan"))
                continue
            times[label].append(time.perf_counter() - start)
    return {label: statistics.median(t) for label, t in times.items()}


def side_by_side(path: Path, photos_folder: Path, name: str = "astronaut", count: int = 16,
                 box: tuple[int, int, int, int] = (0, 60, 300, 240)) -> None:
    """One crop of one photo at one count: the original and each tool, labelled."""
    src = photo(name, photos_folder)
    y, x, h, w = box
    tiles = [("original", pixels(src))]
    for tool in ["pngquant", "ImageMagick", "Pillow", "grainel"]:
        out = photos_folder / f"pic-{tool}.png"
        if TOOLS[tool](src, out, count, photos_folder):
            tiles.append((f"{tool} {count}" if tool != "grainel" else f"grainel -c {count}", pixels(out)))
    sheet = Image.new("RGB", (w * len(tiles) + 4 * (len(tiles) - 1), h + 18), "white")
    draw = ImageDraw.Draw(sheet)
    for i, (label, a) in enumerate(tiles):
        sheet.paste(Image.fromarray(a[y:y + h, x:x + w]), (i * (w + 4), 18))
        draw.text((i * (w + 4) + 3, 3), label, fill="black")
    sheet.save(path)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--photos", default=",".join(PHOTOS), help="scikit-image photo names")
    ap.add_argument("--picture", type=Path, help="also write the side-by-side picture here")
    ap.add_argument("--speed", action="store_true", help="also time grainel -c 256 against pngquant")
    ap.add_argument("--json", type=Path, help="write the figures here")
    args = ap.parse_args()
    folder = Path(tempfile.mkdtemp(prefix="grainel-quality-"))
    try:
        print("perceived error / 1 - SSIM, means over " + args.photos + " (lower is better)")
        rows = quality_table(args.photos.split(","), folder)
        print()
        for line in verdicts(rows):
            print(line)
        result: dict = {"rows": rows, "photos": args.photos.split(",")}
        if args.speed:
            result["speed"] = speed(folder)
            print("\n" + ", ".join(f"{k}: {v:.2f} s" for k, v in result["speed"].items()))
        if args.picture:
            side_by_side(args.picture, folder)
        if args.json:
            args.json.write_text(json.dumps(result, indent=2))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
