"""Indexed files keep the palette's order: index i is the palette's colour i, whatever the
palette's source, the format or the colours the picture happens to use."""

import numpy as np
import pytest

from file_cases import RGB, Image, pixels

pytestmark = pytest.mark.architecture_neutral

import grainel  # noqa: E402
from grainel_tools import main, palettes, remap  # noqa: E402  (after the skip: the tools need Pillow)

# Out of RGB order on purpose: a writer that sorts its entries, or drops those no
# pixel uses (the red below, on a picture without red), renumbers the rest.
UNSORTED = [(255, 255, 255), (0, 0, 0), (255, 0, 0), (0, 0, 255), (255, 255, 0)]
BLUE_TO_WHITE = np.linspace((0, 0, 255), (255, 255, 255), 32).round().astype(np.uint8)[None].repeat(24, 0)


def gpl_file(path):
    palettes.write_palette(UNSORTED, path)
    return str(path)


def indexed_image_file(path):
    im = Image.new("P", (len(UNSORTED), 1))
    im.putpalette(bytes(np.array(UNSORTED, np.uint8)))
    im.putdata(range(len(UNSORTED)))
    im.save(path)
    return str(path)


def entries(path, count):
    with Image.open(path) as im:
        assert im.mode == "P"
        return [tuple(c) for c in np.array(im.getpalette()[:3 * count]).reshape(-1, 3).tolist()]


@pytest.mark.parametrize("palette", [
    lambda tmp: ",".join("#%02x%02x%02x" % c for c in UNSORTED),
    lambda tmp: gpl_file(tmp / "p.gpl"),
    lambda tmp: indexed_image_file(tmp / "p.png"),
], ids=["list", "gpl", "indexed image"])
@pytest.mark.parametrize("out", ["out.png", "out.gif", "out.bmp", "out.tif"])
@pytest.mark.parametrize("method", [[], ["-m", "floyd_steinberg"], ["-m", "bayer4x4"]])
def test_indexed_files_keep_the_palette_order(tmp_path, palette, out, method):
    Image.fromarray(BLUE_TO_WHITE).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / out), "-p", palette(tmp_path), *method]) == 0
    assert entries(tmp_path / out, len(UNSORTED)) == UNSORTED
    assert set(map(tuple, pixels(tmp_path / out).reshape(-1, 3).tolist())) <= set(UNSORTED)


@pytest.mark.parametrize("name", ["acep7", "spectra6", "pico8"])
def test_named_palettes_keep_their_order(tmp_path, name):
    Image.fromarray(RGB).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), "-p", name]) == 0
    colors = palettes.named(name)
    assert entries(tmp_path / "out.png", len(colors)) == colors


# Repeats of black and blue after their first entries: a pixel of either is written as the first.
REPEATING = UNSORTED + [(0, 255, 255), (0, 0, 0), (128, 128, 128), (0, 0, 255)]


@pytest.mark.parametrize("out", ["out.png", "out.gif", "out.bmp"])
@pytest.mark.parametrize("method", [[], ["-m", "floyd_steinberg"]])
def test_each_pixel_is_written_as_the_first_entry_of_its_colour(tmp_path, out, method):
    Image.fromarray(RGB).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / out),
                 "-p", ",".join("#%02x%02x%02x" % c for c in REPEATING), *method]) == 0
    palette = np.array(REPEATING, np.uint8)
    expected = grainel.dither(RGB, "floyd_steinberg", palette=palette) if method else remap(RGB, palette)
    with Image.open(tmp_path / out) as im:
        index = np.asarray(im)
    first = {c: REPEATING.index(c) for c in REPEATING}
    assert index.tolist() == [[first[tuple(c)] for c in row] for row in expected.tolist()]


def test_transparent_pixels_take_one_entry_after_the_palette(tmp_path):
    alpha = np.where(np.arange(32) < 8, 0, 255).astype(np.uint8)[None].repeat(24, 0)
    Image.fromarray(np.dstack([BLUE_TO_WHITE, alpha])).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"),
                 "-p", ",".join("#%02x%02x%02x" % c for c in UNSORTED)]) == 0
    assert entries(tmp_path / "out.png", len(UNSORTED)) == UNSORTED
    with Image.open(tmp_path / "out.png") as im:
        index, shown = np.asarray(im), np.asarray(im.convert("RGBA"))
    assert (shown[..., 3] == alpha).all() and (index[alpha == 0] == len(UNSORTED)).all()


def test_a_fitted_palette_is_saved_in_the_order_of_the_file(tmp_path):
    Image.fromarray(RGB).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), "-c", "8",
                 "--save-palette", str(tmp_path / "p.gpl")]) == 0
    saved = palettes.read_gpl(tmp_path / "p.gpl")
    assert entries(tmp_path / "out.png", len(saved)) == saved
