"""Flicker and GIF size of dithered animations, grainel beside ffmpeg, in one run.

    python bench/animation.py

Three animations of 12 frames at 256 px, made from scikit-image's photos: a
ball moving over a still photo, a pan across one, and a fade between two.
Each tool writes a GIF to the same target: a fitted palette of 64 colours
(grainel -c 64; ffmpeg palettegen, one palette for the clip, with
paletteuse) and the fixed pico8 palette (grainel -p pico8; ffmpeg
paletteuse given that palette). ffmpeg runs with paletteuse's default
diff_mode (none) and with diff_mode=rectangle, which dithers again only the
rectangle that changed.

Flicker is the share of still pixels (equal in a frame and the frame
before it, in the input) whose output changed, over every pair of frames:
0 means still parts stay still. The perceived error is bench/metrics.py's,
the mean over frames.
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
from PIL import Image

sys.path.insert(0, str(Path(__file__).parent))
from metrics import perceived_error  # noqa: E402
from quality import ffmpeg  # noqa: E402

FRAMES, SIZE = 12, 256
GRAINEL = [sys.executable, "-m", "grainel_tools"]


def photo(name: str) -> np.ndarray:
    from skimage import data

    im = Image.fromarray(getattr(data, name)()).convert("RGB")
    side = min(im.size)
    im = im.crop((0, 0, side, side)).resize((SIZE, SIZE), Image.Resampling.LANCZOS)
    return np.asarray(im)


def moving_ball() -> list[np.ndarray]:
    background = photo("astronaut")
    y, x = np.mgrid[:SIZE, :SIZE]
    frames = []
    for k in range(FRAMES):
        frame = background.copy()
        frame[(y - 70) ** 2 + (x - 40 - 15 * k) ** 2 < 24 ** 2] = (240, 200, 40)
        frames.append(frame)
    return frames


def pan() -> list[np.ndarray]:
    wide = np.asarray(Image.fromarray(photo("coffee")).resize((SIZE + 4 * FRAMES, SIZE)))
    return [wide[:, 4 * k:4 * k + SIZE].copy() for k in range(FRAMES)]


def fade() -> list[np.ndarray]:
    a, b = photo("chelsea").astype(np.float64), photo("coffee").astype(np.float64)
    return [np.round(a + (b - a) * k / (FRAMES - 1)).astype(np.uint8) for k in range(FRAMES)]


def frames_of(path: Path) -> list[np.ndarray]:
    with Image.open(path) as im:
        out = []
        for i in range(im.n_frames):
            im.seek(i)
            out.append(np.asarray(im.convert("RGB")).copy())
    return out


def flicker(originals: list[np.ndarray], results: list[np.ndarray]) -> float:
    still = changed = 0
    for a, b, x, y in zip(originals, originals[1:], results, results[1:]):
        static = (a == b).all(axis=2)
        still += int(static.sum())
        changed += int(((x != y).any(axis=2) & static).sum())
    return changed / still if still else 0.0


def ffmpeg_gif(folder: Path, out: Path, target: int | str, diff_mode: str) -> bool:
    exe = ffmpeg()
    if exe is None:
        return False
    use = f"paletteuse=diff_mode={diff_mode}"
    if isinstance(target, int):
        graph = f"split[a][b];[a]palettegen=max_colors={target}:stats_mode=full[p];[b][p]{use}"
        inputs = ["-i", str(folder / "%03d.png")]
    else:
        from grainel_tools import palettes

        colors = np.array(palettes.named(target), np.uint8)
        holder = np.resize(colors, (256, 3)).reshape(16, 16, 3)  # paletteuse takes 256 entries
        Image.fromarray(holder).save(folder / "palette.png")
        graph = f"[0][1]{use}"
        inputs = ["-i", str(folder / "%03d.png"), "-i", str(folder / "palette.png")]
    done = subprocess.run([exe, "-v", "error", "-y", "-framerate", "10", *inputs,
                           "-filter_complex", graph, str(out)], capture_output=True)
    return done.returncode == 0


def grainel_gif(folder: Path, out: Path, target: int | str, *extra: str) -> bool:
    option = ["-c", str(target)] if isinstance(target, int) else ["-p", target]
    done = subprocess.run([*GRAINEL, str(folder / "clip.png"), str(out), *option, *extra, "-f"],
                          capture_output=True)
    return done.returncode == 0


TOOLS = {
    "grainel": lambda f, o, t: grainel_gif(f, o, t),
    "grainel --no-still": lambda f, o, t: grainel_gif(f, o, t, "--no-still"),
    "ffmpeg": lambda f, o, t: ffmpeg_gif(f, o, t, "none"),
    "ffmpeg diff_mode=rectangle": lambda f, o, t: ffmpeg_gif(f, o, t, "rectangle"),
}
CLIPS = {"moving ball": moving_ball, "pan": pan, "fade": fade}


def main() -> int:
    print(f"# {FRAMES} frames of {SIZE}x{SIZE}; flicker: share of still pixels whose output changed")
    print("| clip | target | tool | flicker | GIF KiB | perceived error |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for clip, make in CLIPS.items():
            folder = Path(tmp, clip.replace(" ", "-"))
            folder.mkdir()
            originals = make()
            ims = [Image.fromarray(f) for f in originals]
            for k, im in enumerate(ims):
                im.save(folder / f"{k:03d}.png")
            ims[0].save(folder / "clip.png", save_all=True, append_images=ims[1:], duration=100, loop=0)
            for target in (64, "pico8"):
                for tool, make_gif in TOOLS.items():
                    out = folder / f"{tool.replace(' ', '_')}-{target}.gif"
                    if not make_gif(folder, out, target):
                        print(f"| {clip} | {target} | {tool} | n/a | n/a | n/a |")
                        continue
                    results = frames_of(out)
                    error = np.mean([perceived_error(a, b) for a, b in zip(originals, results)])
                    print(f"| {clip} | {target} | {tool} | {flicker(originals, results):.4f} | "
                          f"{out.stat().st_size / 1024:.0f} | {error:.2f} |", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
