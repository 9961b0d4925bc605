"""grainel_tools.mix_dither: ordered dither by colour mixes planned for the palette."""

import numpy as np
import pytest
from numpy.testing import assert_array_equal

from grainel_tools import MixPlan, matrix, mix_dither, palettes
from reference import bayer_indices, linear_light

RNG = np.random.default_rng(22)
RANDOM_100 = RNG.integers(0, 256, (100, 3), dtype=np.uint8)  # beyond the counted sizes
CUBE_64 = np.array([(r, g, b) for r in (0, 85, 170, 255) for g in (0, 85, 170, 255)
                    for b in (0, 85, 170, 255)], np.uint8)
PALETTES = {"bw": [(0, 0, 0), (255, 255, 255)], "acep7": palettes.named("acep7"),
            "pico8": palettes.named("pico8"), "cga+web": palettes.named("cga") + palettes.named("web")[:20],
            "cube64": CUBE_64, "random100": RANDOM_100}


# What each form of matrix means, as ranks or as thresholds.
MATRICES = {"bayer4x4": bayer_indices(4), 8: bayer_indices(8), "bluenoise16": matrix("bluenoise16"),
            "halftone6": matrix("halftone6"), "repeated ranks": np.array([[0, 3, 3], [1, 1, 7]]),
            "thresholds": np.array([[0.0, 0.9], [0.25, 1.0], [0.5, 0.1]])}


def model(image, plan, cells):
    """Each pixel: the first colour, darkest first, whose cumulative share exceeds the threshold there."""
    cells = np.asarray(cells)
    if cells.dtype.kind == "f":
        t = np.minimum(cells.astype(np.float32), np.float32(1 - 2 ** -23))
    else:
        t = (cells.astype(np.float32) + np.float32(0.5)) / np.float32(max(cells.max() + 1, cells.size))
    q = np.floor(t.astype(np.float64) * 2 ** 24) / 2 ** 24
    h, w = image.shape[:2]
    q = np.tile(q, (h // len(q) + 1, w // q.shape[1] + 1))[:h, :w]
    colours, where = np.unique(image[..., :3].reshape(-1, 3), axis=0, return_inverse=True)
    cumulative = np.cumsum(plan.mix(colours)[:, list(plan.order)], axis=1)[where.reshape(h, w)]
    rank = (cumulative <= q[..., None]).sum(axis=2)
    out = image.copy()
    out[..., :3] = plan.colors[np.array(plan.order)[rank]]
    return out


@pytest.mark.parametrize("name", PALETTES)
@pytest.mark.parametrize("form", MATRICES)
def test_pixels_follow_the_plain_model(name, form):
    plan = MixPlan(PALETTES[name])
    image = RNG.integers(0, 256, (37, 29, 4), dtype=np.uint8)
    image[5:9] = 40  # a flat band, alpha included
    given = form if isinstance(form, (int, np.ndarray)) or form.startswith(("bayer", "blue", "half")) \
        else MATRICES[form]
    out = mix_dither(image, plan, given)
    assert_array_equal(out, model(image, plan, MATRICES[form]))
    assert_array_equal(mix_dither(image, PALETTES[name], given), out)  # a palette plans the same


@pytest.mark.parametrize("name", PALETTES)
@pytest.mark.parametrize("height, width, channels", [(3, 150, 3), (2, 64, 4), (5, 9, 3), (1, 1, 4)])
def test_rows_in_runs_follow_the_plain_model(name, height, width, channels):
    # AVX2 CPUs take up to 64 colours a run of 64 pixels at a time, 8 to a
    # vector: rows end inside a run and inside a vector, and palette colours
    # (shown as themselves) sit among the others.
    plan = MixPlan(PALETTES[name])
    image = RNG.integers(0, 256, (height, width, channels), dtype=np.uint8)
    spots = RNG.random((height, width)) < 0.3
    image[spots, :3] = plan.colors[RNG.integers(0, len(plan.colors), spots.sum())]
    assert_array_equal(mix_dither(image, plan, "bluenoise16"), model(image, plan, MATRICES["bluenoise16"]))


MIXES = [  # palette, colour: colours whose light lies between the palette's
    ([(0, 0, 0), (255, 255, 255)], (128, 128, 128)),
    ([(0, 0, 0), (255, 255, 255)], (30, 30, 30)),
    ([(0, 0, 0), (255, 255, 255)], (230, 230, 230)),
    ([(255, 0, 0), (0, 0, 255)], (200, 0, 174)),  # red and blue light adding up to 1
    ([(255, 0, 0), (0, 0, 255)], (137, 0, 225)),
    ([(0, 0, 0), (255, 255, 255), (255, 0, 0)], (200, 120, 120)),
    (palettes.named("pico8"), (60, 100, 140)),
]


@pytest.mark.parametrize("colors, colour", MIXES)
@pytest.mark.parametrize("form", ["bluenoise64", "bayer8x8", "halftone8"])
def test_a_flat_colour_averages_to_its_light(colors, colour, form):
    # Over whole tiles the mix's light is the colour's, within a share of
    # the 64 a plan is made of.
    side = matrix(form).shape[0] if form != "bayer8x8" else 8
    out = mix_dither(np.full((2 * side, 2 * side, 3), colour, np.uint8), colors, form)
    shown = {tuple(c) for c in out.reshape(-1, 3)}
    assert len(shown) > 1 and shown <= {tuple(c) for c in colors}
    np.testing.assert_allclose(linear_light(out).mean(axis=(0, 1)), linear_light(colour), atol=1 / 64)


@pytest.mark.parametrize("colors", [CUBE_64, palettes.named("rgb8"), palettes.named("web")])  # hold the cube
def test_every_colour_mixes_to_its_light(colors):
    # Colours anywhere in the cube, nodes of the plan's grid or between
    # them: the shares add up to one and their light is the colour's.
    plan = MixPlan(colors)
    colours = np.concatenate([RNG.integers(0, 256, (500, 3)), [[16, 32, 48], [255, 255, 0], [1, 254, 128]]])
    shares = plan.mix(colours)
    np.testing.assert_allclose(shares.sum(axis=1), 1.0)
    np.testing.assert_allclose(shares @ linear_light(plan.colors), linear_light(colours), atol=1 / 64)


@pytest.mark.parametrize("name", PALETTES)
def test_palette_colours_come_out_as_themselves(name):
    colors = np.array(PALETTES[name], np.uint8)
    image = np.repeat(colors[:, None, :], 70, axis=1)
    assert_array_equal(mix_dither(image, colors, "bluenoise64"), image)


@pytest.mark.parametrize("name", ["pico8", "random100"])
@pytest.mark.parametrize("form", ["bluenoise64", "halftone8", 2])
def test_changing_one_pixel_changes_no_other(name, form):
    image = RNG.integers(0, 256, (40, 50, 3), dtype=np.uint8)
    before = mix_dither(image, PALETTES[name], form)
    for y, x in [(0, 0), (17, 23), (39, 49)]:
        changed = image.copy()
        changed[y, x] = 255 - changed[y, x]
        after = mix_dither(changed, PALETTES[name], form)
        differs = (after != before).any(axis=2)
        differs[y, x] = False
        assert not differs.any()


def test_kinds_in_kinds_out():
    from PIL import Image

    gray = np.arange(64, dtype=np.uint8).reshape(8, 8) * 4
    rgb = mix_dither(gray, palettes.named("pico8"))
    assert rgb.shape == (8, 8, 3)
    rgba = Image.fromarray(np.dstack([gray, gray, gray, gray]), "RGBA")
    out = mix_dither(rgba, palettes.named("pico8"))
    assert out.mode == "RGBA" and out.size == (8, 8)
    assert_array_equal(np.asarray(out)[..., 3], gray)
    assert_array_equal(np.asarray(out)[..., :3], rgb)


@pytest.mark.parametrize("form, error, names", [
    ("bluenoise65", ValueError, ["bayer16x16", "bluenoise64", "halftone8"]), (3, ValueError, ["bayer2x2"]),
    (np.array([[-1, 2]]), ValueError, []),
    (np.array([[0.5, 1.5]]), ValueError, []), (np.zeros((0, 3)), ValueError, []), (np.zeros(4), ValueError, []),
    (np.array([["a"]]), TypeError, []),
])
def test_bad_matrices_are_refused(form, error, names):
    with pytest.raises(error) as info:
        mix_dither(np.zeros((2, 2, 3), np.uint8), ["#000", "#fff"], form)
    assert all(name in str(info.value) for name in names)  # every kind of matrix it takes


@pytest.mark.parametrize("args, tile", [(["-m", "bluenoise64"], "bluenoise64"), ([], 8),
                                        (["--matrix", "halftone6"], "halftone6"), (["-m", "4x4"], 4)])
def test_command_line_mix(tmp_path, args, tile):
    from PIL import Image

    from grainel_tools import main, read_image

    image = RNG.integers(0, 256, (20, 30, 3), dtype=np.uint8)
    Image.fromarray(image).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), *args, "--mix", "-p", "acep7"]) == 0
    written = np.asarray(read_image(tmp_path / "out.png").convert("RGB"))
    assert_array_equal(written, mix_dither(image, palettes.named("acep7"), tile))


@pytest.mark.parametrize("args", [["-m", "random", "--mix", "-p", "acep7"],
                                  ["-m", "bluenoise64", "--mix"], ["-m", "8", "--mix", "-p", "cga", "-s", ".5"],
                                  ["-m", "8", "--mix", "-p", "cga", "--linear"]])
def test_command_line_mix_refuses_what_it_cannot_use(tmp_path, capsys, args):
    from grainel_tools import main

    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), *args]) == 2
    assert "--mix" in capsys.readouterr().err
