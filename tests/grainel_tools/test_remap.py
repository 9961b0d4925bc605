"""grainel_tools.remap gives the plain rule's bytes on every path, and takes what a picture is.

The plain rule (reference.remap) walks pixel by pixel: the fast path scans rows in a staggered
wavefront, searches a grid of candidate colours once there are enough pixels for one, and
compares candidates in vectors (the baseline-only build runs the narrow ones). The pictures mix
flat saturated areas, which push the error against the palette's limits, with ramps and noise,
which make the dither amounts vary from pixel to pixel.
"""

import numpy as np
import pytest

import reference
from search_cases import clustered, image, random_colors, repeated

Image = pytest.importorskip("PIL.Image")
from grainel_tools import RemapPlan, remap  # noqa: E402  (after the skip: the tools need Pillow)

PALETTES = {
    "pico-like": random_colors(16, 1),
    "grays": [(v, v, v) for v in (0, 85, 170, 255)],
    "repeated, two colours": repeated([(255, 0, 0), (0, 0, 255)]),
    "one colour": [(90, 140, 30)],
    "crowded": clustered(2),
}


@pytest.mark.parametrize("name", PALETTES)
@pytest.mark.parametrize("shape, options", [
    ((9, 17, 3), dict()),
    ((5, 1, 3), dict(strength=1.0, method="jjn")),
    ((1, 23, 4), dict(strength=0.5, serpentine=False)),
    ((14, 11, 4), dict(strength=0.0)),
    ((13, 12, 3), dict(method="atkinson", serpentine=True)),
])
def test_small_pictures_match_the_plain_rule(name, shape, options):
    img = image(np.random.default_rng(shape[0] * shape[1]), *shape)
    expected = reference.remap(img, PALETTES[name], **options)
    assert np.array_equal(remap(img, PALETTES[name], **options), expected)


@pytest.mark.slow_plain_model  # seven minutes under emulation
@pytest.mark.parametrize("palette", [clustered(5), random_colors(300, 8)])
def test_a_picture_large_enough_for_the_grid_matches_the_plain_rule(palette):
    img = image(np.random.default_rng(9), 130, 128)
    assert np.array_equal(remap(img, palette), reference.remap(img, palette))


# Minutes of NumPy under emulation; the finer cells are the same grid at another size.
@pytest.mark.slow_plain_model
@pytest.mark.parametrize("palette", [clustered(6), random_colors(300, 9)])
def test_a_picture_of_a_million_pixels_takes_the_nearest_colours_without_dither(palette):
    # From a million pixels the search takes finer cells. Without dither each pixel's query is
    # its own colour as sRGB codes it, so the plain rule's answer comes for all pixels at once.
    img = image(np.random.default_rng(12), 1024, 1024)
    colors = reference.parse_colors(palette)
    coded = reference.encoded(np.clip(reference.linear_of_byte()[img], 0, 1))
    expected = colors[reference.nearest_colors(colors.astype(np.float32), coded)]
    assert np.array_equal(remap(img, palette, strength=0.0), expected)


@pytest.mark.parametrize("gray, between", [(101, (100, 104)), (103, (100, 104)), (60, (58, 61)),
                                           (201, (200, 203))])
def test_a_flat_area_between_two_close_colours_keeps_its_light(gray, between):
    # Where every pixel has the same nearest colour, dropping the error would turn a sky or a
    # ramp into a plateau a byte or two off: a band. The area must come out at its own light.
    img = np.full((48, 64, 3), gray, np.uint8)
    out = remap(img, [(v, v, v) for v in between])
    linear = reference.linear_of_byte().astype(np.float64)
    step = linear[between[1]] - linear[between[0]]
    assert abs(linear[out].mean() - linear[gray]) < 0.1 * step


def test_a_picture_of_palette_colours_comes_back_as_it_was_at_any_size():
    # Every pixel is a palette colour, so no pixel has an error to pass on. Over four
    # mebibytes of pixels (the second size), the remap's working copies and amounts take the
    # allocation path of large buffers.
    palette = np.array(random_colors(16, 4))
    rng = np.random.default_rng(11)
    for height, width in [(37, 41), (1100, 1000)]:
        img = np.dstack([palette[rng.integers(0, 16, (height, width))],
                         rng.integers(0, 256, (height, width, 1))]).astype(np.uint8)
        assert np.array_equal(remap(img, palette, strength=1.0), img)


def test_it_takes_what_a_picture_is():
    rgb = image(np.random.default_rng(4), 6, 7)
    gray = rgb[:, :, 1]
    expected = remap(rgb, PALETTES["grays"])
    # A gray picture is matched as the RGB picture of its grays.
    assert np.array_equal(remap(gray, PALETTES["grays"]), remap(np.dstack([gray] * 3), PALETTES["grays"]))
    as_pil = remap(Image.fromarray(rgb), PALETTES["grays"])
    assert as_pil.mode == "RGB" and np.array_equal(np.asarray(as_pil), expected)
    la = Image.fromarray(np.dstack([gray, rgb[:, :, 0]]), "LA")
    assert remap(la, PALETTES["grays"]).mode == "RGBA"
    hexes = ["#000", "#555555", "aaa", "#ffffff"]
    assert np.array_equal(remap(rgb, hexes), expected)
    assert np.array_equal(remap(rgb, np.array(PALETTES["grays"], np.int64)), expected)
    before = rgb.copy()
    remap(rgb, PALETTES["grays"])
    assert np.array_equal(rgb, before)


@pytest.mark.parametrize("args, options, exc, words", [
    ((np.zeros((2, 2, 3)), ["#000"]), {}, TypeError, "uint8"),
    ((np.zeros((2, 2, 5), np.uint8), ["#000"]), {}, ValueError, "image"),
    ((None, ["#000"]), {}, TypeError, "image"),
    ((np.zeros((2, 2, 3), np.uint8), "#000,#fff"), {}, TypeError, "palette"),
    ((np.zeros((2, 2, 3), np.uint8), []), {}, ValueError, "palette"),
    ((np.zeros((2, 2, 3), np.uint8), ["#00g"]), {}, ValueError, "palette"),
    ((np.zeros((2, 2, 3), np.uint8), [(0, 0, 256)]), {}, ValueError, "palette"),
    ((np.zeros((2, 2, 3), np.uint8), [(0, 0)]), {}, TypeError, "palette"),
    ((np.zeros((2, 2, 3), np.uint8), ["#000"]), dict(strength=1.5), ValueError, "strength"),
    ((np.zeros((2, 2, 3), np.uint8), ["#000"]), dict(strength="1"), TypeError, "strength"),
    ((np.zeros((2, 2, 3), np.uint8), ["#000"]), dict(method="bayer8x8"), ValueError, "floyd_steinberg"),
    ((np.zeros((2, 2, 3), np.uint8), ["#000"]), dict(threads=0), ValueError, "threads must be at least 1"),
    ((np.zeros((2, 2, 3), np.uint8), ["#000"]), dict(threads=2.0), TypeError, "threads must be an int"),
    ((np.zeros((2, 2, 3), np.uint8), ["#000"]), dict(threads=True), TypeError, "threads must be an int"),
])
def test_wrong_arguments_are_named(args, options, exc, words):
    with pytest.raises(exc, match=words):
        remap(*args, **options)


# Bands of rows go to the threads in turn, each band a few pixels behind the one above, and a band
# takes its amounts from the picture's own bytes below it: pictures of many bands, with fewer
# rows than threads, and one large enough for a grid that threads fill at once.
@pytest.mark.parametrize("shape, palette, options", [
    ((61, 70, 3), random_colors(16, 3), dict()),
    ((61, 70, 4), clustered(3), dict(serpentine=False)),
    ((37, 29, 3), random_colors(40, 4), dict(method="jarvis_judice_ninke", serpentine=False)),
    ((37, 29, 4), random_colors(40, 5), dict(method="stucki", strength=1.0)),
    ((30, 41, 3), random_colors(8, 6), dict(method="atkinson", serpentine=False, strength=0.5)),
    *[((23, 31, 3), random_colors(12, 11), dict(method=method, serpentine=serpentine))
      for method in ("false_floyd_steinberg", "burkes", "sierra", "sierra_two_row", "sierra_lite")
      for serpentine in (False, True)],
    ((2, 50, 3), random_colors(16, 7), dict(serpentine=False)),
    ((3, 50, 4), random_colors(16, 8), dict()),
    ((150, 160, 3), random_colors(300, 9), dict(serpentine=False)),
    ((150, 160, 3), random_colors(300, 9), dict()),
])
def test_any_number_of_threads_gives_the_same_bytes(shape, palette, options):
    img = image(np.random.default_rng(shape[0] + shape[2]), *shape)
    one = remap(img, palette, threads=1, **options)
    for threads in (2, 3, 8):
        assert np.array_equal(remap(img, palette, threads=threads, **options), one), threads


def test_a_plan_gives_what_its_palette_gives_to_many_pictures_at_once():
    # One plan shared by calls on four threads, with pictures of each size its searches serve.
    from concurrent.futures import ThreadPoolExecutor

    palette = random_colors(300, 10)
    plan = RemapPlan(palette)
    pictures = [image(np.random.default_rng(n), *shape)
                for n, shape in enumerate([(5, 7, 3), (150, 160, 3), (151, 160, 4), (40, 30, 3)] * 2)]
    with ThreadPoolExecutor(4) as pool:
        planned = list(pool.map(lambda img: remap(img, plan, threads=2), pictures))
    for img, out in zip(pictures, planned):
        assert np.array_equal(out, remap(img, palette, threads=1))
