"""The quality benchmark's pictures, and the fixed rule that splits them into a tune and a check half.

    python bench/pictures.py        fetch what is missing, then list every picture and its half

Three sources, every picture at most 512 px on its longer side (Lanczos, never enlarged), kept as
PNG files in the cache ($GRAINEL_BENCH_CACHE, or ~/.cache/grainel-bench):
- scikit-image's colour photos;
- the photographs and digital art of Debian's plasma-workspace-wallpapers and gnome-backgrounds
  packages (fetched with apt-get download and unpacked with dpkg-deb: skies, water, bokeh,
  foliage, gradients);
- smooth pictures made here: ramps in several hues, a radial glow, a colour wheel, a dark
  vignette and a skin-tone ramp, the gradients where bands show first.

Defaults are chosen on the tune half only; the check half is the one whose figures count.
"""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
from PIL import Image

CACHE = Path(os.environ.get("GRAINEL_BENCH_CACHE", Path.home() / ".cache" / "grainel-bench"))
SIDE = 512
SKIMAGE = ["astronaut", "coffee", "chelsea", "rocket", "immunohistochemistry", "hubble_deep_field",
           "retina", "colorwheel", "logo", "stereo_motorcycle"]
PACKAGES = ["plasma-workspace-wallpapers", "gnome-backgrounds"]


def half_of(name: str) -> str:
    """The fixed split: by the first byte of the name's SHA-256."""
    return "tune" if hashlib.sha256(name.encode()).digest()[0] % 2 == 0 else "check"


def _save(name: str, image: Image.Image) -> None:
    image = image.convert("RGB")
    scale = SIDE / max(image.size)
    if scale < 1:
        image = image.resize((max(1, round(image.width * scale)), max(1, round(image.height * scale))),
                             Image.LANCZOS)
    image.save(CACHE / f"{name}.png")


def _skimage_photos() -> None:
    import skimage.data

    for name in SKIMAGE:
        try:
            array = getattr(skimage.data, name)()
        except Exception:  # noqa: BLE001 - some need a download, which the bench does without
            continue
        if isinstance(array, tuple):  # stereo pairs: the left view
            array = array[0]
        if array.ndim == 3 and array.shape[2] >= 3:
            _save(f"skimage-{name}", Image.fromarray(np.ascontiguousarray(array[..., :3])))


def _wallpaper_files(root: Path) -> dict[str, Path]:
    """Each wallpaper once: plasma's largest light image, gnome's every picture."""
    found: dict[str, Path] = {}
    for folder in sorted((root / "usr/share/wallpapers").glob("*/contents/images")):
        sizes = [(int(p.stem.split("x")[0]) * int(p.stem.split("x")[1]), p) for p in folder.iterdir()
                 if p.stem.count("x") == 1 and p.stem.replace("x", "").isdigit()]
        if sizes:
            found[f"plasma-{folder.parent.parent.name}"] = max(sizes)[1]
    for path in sorted((root / "usr/share/backgrounds/gnome").glob("*")):
        if path.suffix in (".jpg", ".png", ".webp"):
            found[f"gnome-{path.stem}"] = path
    return found


def _wallpapers() -> None:
    with tempfile.TemporaryDirectory() as folder:
        try:
            subprocess.run(["apt-get", "download", *PACKAGES], cwd=folder, check=True,
                           stdout=subprocess.DEVNULL)
        except (OSError, subprocess.CalledProcessError) as e:
            sys.exit(f"pictures: could not fetch {', '.join(PACKAGES)} with apt-get download: {e}")
        for deb in Path(folder).glob("*.deb"):
            subprocess.run(["dpkg-deb", "-x", str(deb), folder], check=True)
        for name, path in _wallpaper_files(Path(folder)).items():
            try:
                with Image.open(path) as im:
                    _save(name, im)
            except OSError:  # a format this Pillow cannot read
                continue


def _srgb(linear: np.ndarray) -> np.ndarray:
    linear = np.clip(linear, 0.0, 1.0)
    coded = np.where(linear <= 0.0031308, 12.92 * linear, 1.055 * linear ** (1 / 2.4) - 0.055)
    return np.round(coded * 255).astype(np.uint8)


def _lerp(a, b, t: np.ndarray) -> np.ndarray:
    """Linear light from sRGB fractions a to b along t in [0, 1]."""
    a, b = (np.asarray(c, float) ** 2.2 for c in (a, b))
    return a + (b - a) * t[..., None]


def _synthetic() -> dict[str, np.ndarray]:
    h, w = 384, 512
    y, x = np.mgrid[0:h, 0:w] / np.array([h - 1, w - 1])[:, None, None]
    r = np.hypot(y - 0.55, x - 0.5)
    hue = np.arctan2(y - 0.5, x - 0.5)
    wheel = 0.5 + 0.5 * np.cos(hue[..., None] - np.array([0, 2.094, 4.189]))
    return {
        "synthetic-sky": _srgb(_lerp((0.10, 0.25, 0.60), (0.72, 0.84, 0.96), y ** 0.8)),
        "synthetic-sunset": _srgb(_lerp((0.98, 0.62, 0.25), (0.30, 0.12, 0.40), 0.65 * y + 0.35 * x)),
        "synthetic-grey": _srgb(_lerp((0.0, 0.0, 0.0), (1.0, 1.0, 1.0), x)),
        "synthetic-green": _srgb(_lerp((0.05, 0.20, 0.05), (0.70, 0.90, 0.45), 0.8 * x + 0.2 * y)),
        "synthetic-glow": _srgb(_lerp((0.95, 0.85, 0.55), (0.10, 0.05, 0.25), np.clip(r / 0.7, 0, 1))),
        "synthetic-wheel": _srgb(((1 - np.clip(r / 0.6, 0, 1))[..., None] * 0.8 +
                                  np.clip(r / 0.6, 0, 1)[..., None] * wheel) ** 2.2),
        "synthetic-vignette": _srgb(_lerp((0.35, 0.22, 0.15), (0.0, 0.0, 0.02),
                                          np.clip(r / 0.6, 0, 1) ** 0.7)),
        "synthetic-skin": _srgb(_lerp((0.98, 0.85, 0.75), (0.45, 0.28, 0.20), x)),
        "synthetic-night": _srgb(_lerp((0.18, 0.20, 0.35), (0.01, 0.01, 0.05), np.clip(r / 0.8, 0, 1))),
    }


def pictures(half: str | None = None) -> dict[str, Path]:
    """Every picture's name and cached PNG, sorted by name; only one half's if `half` is given."""
    CACHE.mkdir(parents=True, exist_ok=True)
    if not any(CACHE.glob("skimage-*.png")):
        _skimage_photos()
    if not any(CACHE.glob("plasma-*.png")):
        _wallpapers()
    for name, array in _synthetic().items():
        if not (CACHE / f"{name}.png").exists():
            Image.fromarray(array).save(CACHE / f"{name}.png")
    found = {p.stem: p for p in sorted(CACHE.glob("*.png"))}
    return {n: p for n, p in found.items() if half is None or half_of(n) == half}


if __name__ == "__main__":
    every = pictures()
    for name, path in every.items():
        with Image.open(path) as im:
            print(f"{half_of(name):<6} {name:<36} {im.width} x {im.height}")
    tune = sum(half_of(n) == "tune" for n in every)
    print(f"{len(every)} pictures: {tune} to tune on, {len(every) - tune} to check")
