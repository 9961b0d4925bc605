"""--demo: a synthetic test picture run through every method, as one sheet."""

from __future__ import annotations

import numpy as np
from PIL import Image, ImageDraw

import grainel

from .palettes import NAMED

TILE_W, TILE_H = 192, 144
PAD, CAPTION, COLUMNS = 8, 16, 5
DEMO_PALETTES = ("bw", "gameboy", "cga", "pico8", "web")


def scene(width: int = TILE_W, height: int = TILE_H) -> np.ndarray:
    """An RGB test picture: smooth tones, hard edges and fine detail.

    Smooth areas (sky, glow, ramps) show banding and pattern; hard shapes and
    hair-thin strokes show how each method keeps edges; the zone plate shows
    aliasing against the dither pattern.
    """
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    horizon = 0.62 * height
    t = np.clip(y / horizon, 0, 1)[..., None]
    img = (1 - t) * [30, 60, 140] + t * [250, 170, 110]  # sky, dark to warm

    sun_x, sun_y = 0.72 * width, 0.3 * height
    d2 = (x - sun_x) ** 2 + (y - sun_y) ** 2
    img += np.exp(-d2 / 600.0)[..., None] * [90, 60, 10]  # glow
    img[d2 < 13 ** 2] = [255, 240, 180]

    far = horizon - 8 + 6 * np.sin(x * 0.05) + 4 * np.sin(x * 0.13 + 1)
    near = 0.78 * height + 9 * np.sin(x * 0.03 + 2) + 3 * np.sin(x * 0.2)
    shade = np.clip((y - near) / (0.3 * height), 0, 1)[..., None]
    img = np.where((y > far)[..., None], [70, 110, 95], img)
    img = np.where((y > near)[..., None], (1 - shade) * [60, 150, 50] + shade * [20, 60, 20], img)

    img[96:112, 70:86] = [210, 30, 40]  # a red square
    tri = (y >= 92) & (y < 114) & (np.abs(x - 104) <= (y - 92) / 2)
    img[tri] = [250, 220, 40]

    _paper_with_text(img, top=6, left=6, h=34, w=58)
    _zone_plate(img, top=height - 72, left=width - 52, size=48)
    _ramps(img, band=10)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def _paper_with_text(img: np.ndarray, top: int, left: int, h: int, w: int) -> None:
    img[top:top + h, left:left + w] = [236, 230, 214]
    rng = np.random.default_rng(7)  # fixed: the sheet is the same every run
    for row in range(top + 3, top + h - 2, 4):
        col = left + 3
        while col < left + w - 6:
            word = int(rng.integers(2, 9))
            img[row, col:min(col + word, left + w - 3)] = [25, 25, 35]
            col += word + 2


def _zone_plate(img: np.ndarray, top: int, left: int, size: int) -> None:
    yy, xx = np.mgrid[0:size, 0:size] - size / 2
    plate = 127.5 * (1 + np.cos((xx ** 2 + yy ** 2) * (np.pi / size)))
    img[top:top + size, left:left + size] = plate[..., None]


def _ramps(img: np.ndarray, band: int) -> None:
    height, width = img.shape[:2]
    u = np.linspace(0, 1, width)
    # Fully saturated hue circle: channel r, g, b peaks a third of a turn apart.
    k = (np.array([5, 3, 1]) + u[:, None] * 6) % 6
    rainbow = 1 - np.clip(np.minimum(k, 4 - k), 0, 1)
    img[height - 2 * band:height - band] = 255 * rainbow
    img[height - band:] = (255 * u)[:, None]


def tiles() -> list[tuple[str, Image.Image]]:
    color = scene()
    gray = np.asarray(Image.fromarray(color).convert("L"))
    out: list[tuple[str, np.ndarray]] = [("original", color)]
    out += [(m, grainel.error_diffusion(gray, m)) for m in grainel.available_methods()]
    out += [(m, grainel.ordered_dither(gray, m)) for m in grainel.available_matrices()]
    out.append(("random", grainel.random_dither(gray, seed=1)))
    out += [(f"palette {p}", grainel.error_diffusion(color, palette=NAMED[p].colors))
            for p in DEMO_PALETTES]
    return [(caption, Image.fromarray(pixels).convert("RGB")) for caption, pixels in out]


def contact_sheet() -> Image.Image:
    items = tiles()
    rows = -(-len(items) // COLUMNS)
    sheet = Image.new("RGB", (COLUMNS * (TILE_W + PAD) + PAD,
                              rows * (TILE_H + CAPTION + PAD) + PAD), "white")
    draw = ImageDraw.Draw(sheet)
    for i, (caption, tile) in enumerate(items):
        x = PAD + (i % COLUMNS) * (TILE_W + PAD)
        y = PAD + (i // COLUMNS) * (TILE_H + CAPTION + PAD)
        sheet.paste(tile, (x, y))
        text_x = x + (TILE_W - draw.textlength(caption)) / 2
        draw.text((text_x, y + TILE_H + 3), caption, fill="black")
    return sheet
