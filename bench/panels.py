"""E-paper panels as they look: the panel-aware pipeline against today's nominal dithering.

    python bench/panels.py                    the check half: ratios to `-p NAME`, SSIMULACRA2
    python bench/panels.py --half tune --tune  search the tone map's parameters on the tune half

Every result is scored as the panel shows it: each written colour becomes its seen colour, in
linear light scaled so that the panel's white is white (as an eye adapted to the paper sees it),
and that is compared with the original by metrics.py's perceived error (lower is better) and
SSIMULACRA2 (higher is better). Three ways to each panel, all in process as the command line
does them:
- nominal: today's `-p NAME`, the remap against the colours the driver is sent;
- seen: the remap against the seen colours, no tone map (`--panel NAME --tone none -m remap`);
- panel: `--panel NAME`, the command line's settings: the tone map, then the dithering that
  measured best (Floyd-Steinberg in linear light, serpentine), to the seen colours.
And a floor no dithering to the panel's inks can go below: a dithered picture blurred in linear
light is a mix of the inks at every pixel, inside their hull, so its perceived error is at least
the distance, in OKLab, from the blurred original to that hull.
"""

from __future__ import annotations

import argparse
import dataclasses
import functools
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parent))
import metrics  # noqa: E402
from pictures import pictures  # noqa: E402

from grainel_tools import palettes, panels, remap  # noqa: E402
from grainel_tools.cli import build_parser, settings_from  # noqa: E402
from grainel_tools.pipeline import dither_image  # noqa: E402
from grainel_tools.settings import Settings  # noqa: E402
from grainel_tools.tone import Tone  # noqa: E402

PANELS = ["spectra6", "acep7"]
TARGETS = {"spectra6": 0.4, "acep7": 0.45}
# The values each parameter is tried at, in turn, when tuning.
GRID = {"exposure": [-0.25, 0.0, 0.25, 0.5], "contrast": [-0.3, 0.0, 0.3, 0.6],
        "saturation": [0.8, 1.0, 1.2, 1.4],
        "lift": [0.0, 0.5, 1.0], "knee": [0.5, 0.8, 0.9, 1.0]}


def as_seen(panel: panels.Panel, written: np.ndarray) -> np.ndarray:
    """A written result as an eye adapted to the panel's white sees it, as sRGB bytes."""
    return np.array(panel.appearance, np.uint8)[panel.indices(written)]


@functools.cache
def panel_settings(name: str) -> Settings:
    """What `grainel --panel NAME` dithers with, read once per panel."""
    parser = build_parser()
    return settings_from(parser.parse_args(["--panel", name]), parser)


def result(way: str, image: np.ndarray, panel: panels.Panel, tone: Tone) -> np.ndarray:
    if way == "nominal":
        return remap(image, palettes.named(panel.name))
    if way == "seen":
        return remap(image, panel)
    return dither_image(dataclasses.replace(panel_settings(panel.name), tone=tone), image)


def floor(image: np.ndarray, panel: panels.Panel) -> float:
    """The least perceived error of any dithering to the panel's inks (see above)."""
    from scipy.spatial import ConvexHull, cKDTree

    inks = metrics.linear_light(np.array(panel.appearance, np.uint8))
    hull = ConvexHull(inks)
    steps = 96  # a lattice on every face: nearer each other than a hundredth of an OKLab unit
    i, j = np.meshgrid(np.arange(steps + 1), np.arange(steps + 1), indexing="ij")
    u, v = (i[i + j <= steps] / steps)[:, None], (j[i + j <= steps] / steps)[:, None]
    surface = np.concatenate([inks[a] + (inks[b] - inks[a]) * u + (inks[c] - inks[a]) * v
                              for a, b, c in hull.simplices])
    blurred = metrics.blurred(metrics.linear_light(image)).reshape(-1, 3)
    outside = (blurred @ hull.equations[:, :3].T + hull.equations[:, 3] > 1e-12).any(axis=1)
    distance = np.zeros(len(blurred))
    distance[outside] = cKDTree(metrics.oklab(surface)).query(metrics.oklab(blurred[outside]))[0]
    return float(distance.mean() * 100.0)


def score(job: tuple[str, str, Path, Tone, bool]) -> dict[str, float]:
    way, name, path, tone, with_ssimulacra2 = job
    panel = panels.named(name)
    with Image.open(path) as im:
        image = np.asarray(im.convert("RGB"))
    if way == "floor":
        return {"perceived": floor(image, panel)}
    shown = as_seen(panel, result(way, image, panel, tone))
    figures = {"perceived": metrics.perceived_error(image, shown)}
    if with_ssimulacra2:
        figures["ssimulacra2"] = metrics.ssimulacra2(image, shown)
    return figures


def means(pool: ProcessPoolExecutor, way: str, name: str, paths: list[Path], tone: Tone,
          with_ssimulacra2: bool = False) -> dict[str, float]:
    rows = list(pool.map(score, [(way, name, p, tone, with_ssimulacra2) for p in paths]))
    return {k: float(np.mean([r[k] for r in rows])) for k in rows[0]}


def tune(pool: ProcessPoolExecutor, name: str, paths: list[Path], rounds: int = 1) -> Tone:
    """Coordinate search from the panel's defaults: each parameter in turn set to its best value
    on the grid."""
    best = Tone()
    best_error = means(pool, "panel", name, paths, best)["perceived"]
    print(f"{name}: start {best} {best_error:.3f}")
    for _ in range(rounds):
        for parameter, values in GRID.items():
            for value in values:
                tone = dataclasses.replace(best, **{parameter: value})
                if tone == best:
                    continue
                error = means(pool, "panel", name, paths, tone)["perceived"]
                print(f"  {parameter}={value}: {error:.3f}", flush=True)
                if error < best_error:
                    best, best_error = tone, error
        print(f"{name}: best {best} {best_error:.3f}", flush=True)
    return best


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--half", choices=["tune", "check"], default="check")
    ap.add_argument("--tune", action="store_true", help="search the tone map's parameters")
    ap.add_argument("--no-ssimulacra2", action="store_true")
    ap.add_argument("-j", "--jobs", type=int, default=os.cpu_count())
    args = ap.parse_args()
    paths = list(pictures(args.half).values())
    print(f"{args.half} half, {len(paths)} pictures")
    with ProcessPoolExecutor(args.jobs) as pool:
        for name in PANELS:
            if args.tune:
                tune(pool, name, paths)
                continue
            figures = {way: means(pool, way, name, paths, Tone(), not args.no_ssimulacra2 and way != "floor")
                       for way in ("nominal", "seen", "panel", "floor")}
            base = figures["nominal"]["perceived"]
            for way, f in figures.items():
                ssim2 = f" SSIMULACRA2 {f['ssimulacra2']:6.2f}" if "ssimulacra2" in f else ""
                print(f"{name:>9} {way:<8} perceived {f['perceived']:6.3f} ({f['perceived'] / base:.2f}x)"
                      + ssim2)
            ratio = figures["panel"]["perceived"] / base
            print(f"{name:>9}: {ratio:.2f}x nominal (target {TARGETS[name]}) "
                  + ("ok" if ratio <= TARGETS[name] else "MISSED")
                  + f"; the floor is {figures['floor']['perceived'] / base:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
