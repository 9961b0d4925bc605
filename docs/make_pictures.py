"""Render the README's pictures into this directory.

    python3 -m pip install '.[pil]' && python3 docs/make_pictures.py

Every dithered pixel comes from grainel; Pillow only crops, enlarges (by
whole pixels, so the patterns stay sharp) and captions the tiles.
"""

from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw

import grainel
from grainel_tools import demo, matrix, panels, remap
from grainel_tools.palettes import NAMED
from grainel_tools.tone import tone_map

HERE = Path(__file__).resolve().parent
PAD, CAPTION = 6, 16


def strip(tiles, scale=2, columns=None):
    """(caption, uint8 array) tiles of one size, enlarged `scale` times, in rows."""
    columns = columns or len(tiles)
    images = [Image.fromarray(a).convert("RGB") for _, a in tiles]
    images = [im.resize((im.width * scale, im.height * scale), Image.NEAREST) for im in images]
    cell_w, cell_h = images[0].width + PAD, images[0].height + CAPTION + PAD
    rows = -(-len(images) // columns)
    sheet = Image.new("RGB", (columns * cell_w + PAD, rows * cell_h + PAD), "white")
    draw = ImageDraw.Draw(sheet)
    for i, ((caption, _), im) in enumerate(zip(tiles, images)):
        x, y = PAD + (i % columns) * cell_w, PAD + (i // columns) * cell_h
        sheet.paste(im, (x, y))
        draw.text((x + (im.width - draw.textlength(caption)) / 2, y + im.height + 3),
                  caption, fill="black")
    return sheet


def save(sheet, name):
    # Gray sheets as one channel: a third of the bytes for the same pixels.
    pixels = np.asarray(sheet)
    if (pixels == pixels[..., :1]).all():
        sheet = sheet.convert("L")
    path = HERE / name
    sheet.save(path, optimize=True)
    print(f"{path.name}: {sheet.width}x{sheet.height}, {path.stat().st_size // 1024} KiB")


def main():
    save(demo.contact_sheet(), "demo.png")  # what `grainel --demo` draws

    color = demo.scene()
    gray = np.asarray(Image.fromarray(color).convert("L"))
    crop = (slice(16, 144), slice(96, 172))  # sky, sun, hills, zone plate, ramps
    g, c = gray[crop], color[crop]

    save(strip([
        ("original", g),
        ("floyd_steinberg", grainel.error_diffusion(g)),
        ("atkinson", grainel.error_diffusion(g, "atkinson")),
        ("bayer8x8", grainel.ordered_dither(g, "bayer8x8")),
        ("random", grainel.random_dither(g, seed=1)),
    ]), "methods.png")

    save(strip([
        (f"strength={s}", grainel.error_diffusion(g, strength=s)) for s in (0, 0.25, 0.5, 1)
    ]), "strength.png")

    save(strip([
        ("levels=2", grainel.error_diffusion(g)),
        ("levels=4", grainel.error_diffusion(g, levels=4)),
        ("gameboy", grainel.error_diffusion(c, palette=NAMED["gameboy"][1])),
        ("pico8", grainel.error_diffusion(c, palette=NAMED["pico8"][1])),
        ("pico8, bayer8x8", grainel.ordered_dither(c, 8, palette=NAMED["pico8"][1])),
    ]), "targets.png")

    # Linear light: stacked ramps at their own size, so that each column's
    # share of white lines up with the gray it stands for.
    ramp = np.tile(np.linspace(0, 255, 512).round().astype(np.uint8), (40, 1))
    save(strip([
        ("gray ramp", ramp),
        ("raw", grainel.error_diffusion(ramp)),
        ("linear=True", grainel.error_diffusion(ramp, linear=True)),
    ], scale=1, columns=1), "linear.png")

    # Deep shadows are where a one-way scan leaves its diagonal traces.
    dark = np.tile(np.linspace(0, 48, 180).round().astype(np.uint8), (64, 1))
    save(strip([
        ("raster", grainel.error_diffusion(dark)),
        ("serpentine=True", grainel.error_diffusion(dark, serpentine=True)),
    ]), "serpentine.png")

    # photo.png: scikit-image's "camera" photograph by Lav Varshney (CC0),
    # cropped and reduced to 160x120 gray.
    photo = np.asarray(Image.open(HERE / "photo.png").convert("L"))
    save(strip([
        ("photo", photo),
        ("bayer8x8", grainel.ordered_dither(photo, "bayer8x8")),
        ("bluenoise64", grainel.ordered_dither(photo, matrix("bluenoise64"))),
        ("halftone6", grainel.ordered_dither(photo, matrix("halftone6"))),
    ], columns=2), "matrices.png")


    # E-paper: a Spectra 6 panel's view of today's nominal dithering and of the panel-aware one
    # (its measured best: the tone map, then Floyd-Steinberg in linear light), each drawn in the colours the panel
    # shows, scaled to its white as the eye adapts to paper.
    panel = panels.named("spectra6")

    def shown(out):
        return np.array(panel.appearance, np.uint8)[panel.indices(out)]

    save(strip([
        ("original", color),
        ("-p spectra6, as the panel shows it", shown(remap(color, NAMED["spectra6"].colors))),
        ("--panel spectra6, as the panel shows it",
         grainel.dither(tone_map(color, panel), palette=panel.appearance, serpentine=True, linear=True)),
    ]), "panels.png")

if __name__ == "__main__":
    main()
