"""grainel_tools.fit_palette: palettes fitted to pictures.

The convergence case checks the fit against a plain model of what it
promises: each pixel weighs 1 / (1 + a / 0.02), a the spread of OKLab
colours in its 3 x 3 window, times its alpha share, and each fitted
colour ends as the weighted OKLab mean of the picture's colours nearest to it.
"""

import numpy as np
import pytest

import grainel
import reference
from grainel_tools import fit_palette, panels, remap

_TO_LMS = np.array([[0.4122214708, 0.5363325363, 0.0514459929],
                    [0.2119034982, 0.6806995451, 0.1073969566],
                    [0.0883024619, 0.2817188376, 0.6299787005]])
_TO_LAB = np.array([[0.2104542553, 0.7936177850, -0.0040720468],
                    [1.9779984951, -2.4285922050, 0.4505937099],
                    [0.0259040371, 0.7827717662, -0.8086757660]])


def oklab(rgb):
    return np.cbrt(reference.linear_light(rgb) @ _TO_LMS.T) @ _TO_LAB.T


def pixel_weights(img):
    lab = oklab(img[..., :3])
    padded = np.pad(lab, ((1, 1), (1, 1), (0, 0)), mode="edge")
    h, w = img.shape[:2]
    windows = np.stack([padded[dy:dy + h, dx:dx + w] for dy in range(3) for dx in range(3)])
    spread = np.sqrt(windows.var(axis=0).sum(axis=-1))
    alpha = img[..., 3] / 255.0 if img.shape[2] == 4 else 1.0
    return alpha / (1.0 + spread / 0.02)


def noise(shape, seed, low=0, high=256):
    return np.random.default_rng(seed).integers(low, high, shape, dtype=np.uint8)


def blobs(seed, size=48):
    # Patches of a few colours with noise that grows from left to right:
    # clusters that overlap a little, with pixels of every weight in each.
    rng = np.random.default_rng(seed)
    centres = rng.integers(30, 226, (5, 3))
    which = np.repeat(np.repeat(rng.integers(0, 5, (size // 8, size // 8)), 8, 0), 8, 1)
    spread = rng.uniform(-1, 1, (size, size, 3)) * np.linspace(2, 40, size)[None, :, None]
    return np.clip(centres[which] + spread.round(), 0, 255).astype(np.uint8)


def many_colours(seed):
    # More colours than the fit takes one by one (it starts on coarser cells).
    y, x = np.mgrid[0:256, 0:280]
    return np.dstack([x * 255 // 279, y, noise((256, 280), seed)]).astype(np.uint8)


def with_alpha(img, seed):
    alpha = noise(img.shape[:2] + (1,), seed)
    alpha[::3] = 0
    return np.concatenate([img, alpha], axis=2)


def colours_of(img):
    opaque = img[..., 3] > 0 if img.shape[2] == 4 else np.ones(img.shape[:2], bool)
    return {tuple(c) for c in img[opaque][:, :3].tolist()}


PICTURES = {
    "noise": noise((40, 50, 3), 1),
    "blobs": blobs(2),
    "blobs with alpha": with_alpha(blobs(3), 4),
    "gray": noise((30, 30), 5),
}


@pytest.mark.parametrize("name", PICTURES)
@pytest.mark.parametrize("n, effort", [(2, 5), (7, 1), (64, 5), (300, 10)])
def test_never_more_colours_than_asked_and_each_once(name, n, effort):
    palette = fit_palette(PICTURES[name], n, effort=effort)
    assert palette.dtype == np.uint8 and palette.ndim == 2 and palette.shape[1] == 3
    assert 2 <= len(palette) <= n
    assert len(np.unique(palette, axis=0)) == len(palette)
    if name == "gray":
        assert (palette == palette[:, :1]).all()
    out = grainel.dither(np.atleast_3d(PICTURES[name])[..., :3].repeat(3 if name == "gray" else 1, 2),
                         palette=palette)
    assert colours_of(out) <= {tuple(c) for c in palette.tolist()}


@pytest.mark.parametrize("img", [noise((6, 7, 3), 6, 0, 4), with_alpha(noise((9, 9, 3), 7, 0, 3), 8)])
def test_a_picture_of_few_colours_gets_exactly_them(img):
    # Transparent pixels' colours are not among them.
    assert {tuple(c) for c in fit_palette(img, 4096).tolist()} == colours_of(img)


@pytest.mark.parametrize("keep, kept", [
    (["#000", "#fff"], [(0, 0, 0), (255, 255, 255)]),
    # Repeats count once.
    ([(255, 0, 0), "#00ff00", (255, 0, 0)], [(255, 0, 0), (0, 255, 0)]),
    (np.array([[12, 200, 99]] * 3), [(12, 200, 99)]),
])
@pytest.mark.parametrize("n", [3, 8])
def test_kept_colours_come_first_as_given(keep, kept, n):
    palette = fit_palette(PICTURES["blobs"], n, keep=keep)
    assert [tuple(c) for c in palette[:len(kept)].tolist()] == kept
    assert len(palette) <= n


@pytest.mark.parametrize("mode", ["L", "LA", "P", "RGB", "RGBA"])
def test_pil_images_of_every_mode_give_their_colours(mode):
    from PIL import Image

    img = Image.fromarray(with_alpha(noise((8, 9, 3), 16, 0, 3) * 60, 17), "RGBA").convert(mode)
    shown = np.asarray(img.convert("RGBA"))
    if mode not in ("LA", "RGBA"):
        shown = shown[..., :3]
    assert {tuple(c) for c in fit_palette(img, 4096).tolist()} == colours_of(shown)


def test_busy_areas_get_fewer_colours_than_smooth_ones():
    # Reddish ramps beside their mirror image in bluish, smooth or with its
    # pixels scattered: the same colours, so only the weights tell them apart.
    ramps = np.dstack([np.linspace(150, 210, 20)[None].repeat(40, 0), np.linspace(40, 100, 40)[:, None]
                       .repeat(20, 1), np.linspace(100, 40, 20)[None].repeat(40, 0)]).astype(np.uint8)
    scattered = np.random.default_rng(18).permutation(ramps.reshape(-1, 3)).reshape(ramps.shape)
    blues = []
    for mirrored in [ramps, scattered]:
        palette = fit_palette(np.concatenate([ramps, mirrored[:, :, ::-1]], axis=1), 16)
        blues.append((palette[:, 2] > palette[:, 0]).sum())
    assert blues[1] < blues[0]


def test_the_fit_settles_around_kept_colours():
    # Two clusters, one at a kept colour: the one fitted colour goes to the other.
    img = np.where(np.arange(32)[None, :, None] < 16, noise((32, 32, 3), 11, 0, 30),
                   noise((32, 32, 3), 12, 200, 230)).astype(np.uint8)
    palette = fit_palette(img, 2, keep=[(15, 15, 15)])
    assert palette[1].min() > 190


def test_transparent_pixels_count_by_their_alpha():
    # A reddish half and its bluish mirror image: as the bluish half fades,
    # it gets fewer colours, and none once fully transparent.
    red = np.dstack([noise((40, 20), 13, 150, 210), noise((40, 20, 2), 14, 40, 100)])
    rgb = np.concatenate([red, red[:, :, ::-1]], axis=1)
    blues = []
    for alpha in [0, 10, 255]:
        alphas = np.where(np.arange(40) < 20, 255, alpha).astype(np.uint8)
        palette = fit_palette(np.dstack([rgb, np.broadcast_to(alphas, (40, 40))]), 10)
        blues.append((palette[:, 2] > palette[:, 0]).sum())
    assert blues[0] == 0 < blues[1] < blues[2]


def test_as_many_kept_colours_as_asked_is_the_kept_palette():
    keep = [(1, 2, 3), (4, 5, 6), (7, 8, 9)]
    assert fit_palette(PICTURES["noise"], 3, keep=keep).tolist() == [list(c) for c in keep]


@pytest.mark.parametrize("img, n, keep", [
    (PICTURES["blobs"], 6, ()), (PICTURES["blobs"], 6, ["#808080"]),
    (PICTURES["blobs with alpha"], 6, ["#808080"]),
    # More centres than each one lists as its neighbours.
    (noise((40, 40, 3), 15), 48, ["#000", "#fff"]),
    (many_colours(10), 6, ()),
])
def test_each_fitted_colour_is_the_mean_of_its_nearest_colours(img, n, keep):
    palette = fit_palette(img, n, keep=keep, effort=10, dithered=False)
    weights = pixel_weights(img).ravel()
    pixels = img[..., :3].reshape(-1, 3)[weights > 0]
    weights = weights[weights > 0]
    lab = oklab(pixels)
    nearest = np.argmin(((lab[:, None] - oklab(palette)[None]) ** 2).sum(-1), axis=1)
    for j in range(len(keep), len(palette)):
        members = nearest == j
        assert members.any()
        mean = (lab[members] * weights[members, None]).sum(0) / weights[members].sum()
        # Within a byte's rounding, in OKLab (evenly weighted means are
        # further off than that).
        assert np.linalg.norm(mean - oklab(palette[j])) < 0.004


def test_the_same_picture_gives_the_same_palette():
    from concurrent.futures import ThreadPoolExecutor

    from PIL import Image

    img = PICTURES["blobs with alpha"]
    first = fit_palette(img, 16)
    np.testing.assert_array_equal(fit_palette(Image.fromarray(img, "RGBA"), 16), first)
    # Fits running at once on other threads (the interpreter is released) agree too.
    with ThreadPoolExecutor(4) as pool:
        for palette in pool.map(lambda _: fit_palette(img, 16), range(8)):
            np.testing.assert_array_equal(palette, first)


@pytest.fixture(scope="module")
def large():
    # Above a megapixel, with more colours than the fit takes one by one:
    # it starts on coarser cells, and its step toward the dithered picture
    # measures bands of rows, the last of them cut short.
    return np.clip(np.tile(blobs(3, 64), (17, 17, 1))[:1050, :1050].astype(np.int16)
                   + noise((1050, 1050, 3), 6, 0, 24) - 12, 0, 255).astype(np.uint8)


@pytest.mark.parametrize("n", [8, 256])
def test_a_picture_above_a_megapixel_gets_one_palette_on_any_threads(large, n):
    palette = fit_palette(large, n, threads=1)
    assert len(palette) == n
    for threads in (None, 2, 3, 8):
        np.testing.assert_array_equal(fit_palette(large, n, threads=threads), palette)


@pytest.mark.parametrize("bright", [(255, 255, 255), (255, 40, 0), (0, 90, 255)])
def test_a_few_bright_pixels_keep_a_colour_of_their_own(bright):
    img = noise((64, 64, 3), 9, 0, 40)
    img[[5, 20, 41, 60], [9, 50, 3, 33]] = bright
    palette = fit_palette(img, 4)
    assert np.linalg.norm(oklab(palette) - oklab(bright), axis=1).min() < 0.05


ERRORS = [
    ({"n": 1}, ValueError, "n must be between 2 and 4096"),
    ({"n": 4097}, ValueError, "n must be between 2 and 4096"),
    ({"n": 4.0}, TypeError, "n must be an int"),
    ({"n": True}, TypeError, "n must be an int"),
    ({"effort": 0}, ValueError, "effort must be between 1 and 10"),
    ({"effort": 11}, ValueError, "effort must be between 1 and 10"),
    ({"effort": "best"}, TypeError, "effort must be an int"),
    ({"keep": ["#000", "#fff", "#f00"], "n": 2}, ValueError, "keep holds 3 colours, more than the 2"),
    ({"keep": ["#12345"]}, ValueError, "keep: invalid hex colour"),
    ({"keep": "#000"}, TypeError, "keep must be a list of colours"),
    ({"keep": [(1, 2)]}, TypeError, "keep: each colour must be a hex string or"),
    ({"keep": panels.named("spectra6")}, TypeError, "a panel shows only its own colours"),
    ({"image": np.zeros((0, 4, 3), np.uint8)}, ValueError, "image is empty"),
    ({"image": np.zeros((3, 4, 4), np.uint8)}, ValueError, "no pixel that is not fully transparent"),
    ({"image": np.full((3, 4, 3), 7, np.uint8)}, ValueError, "single colour, #070707"),
    ({"image": np.zeros((3, 4, 3), np.float32)}, TypeError, "image must hold uint8"),
    ({"image": None}, TypeError, "image must be an array or a PIL image"),
    ({"threads": 0}, ValueError, "threads must be at least 1, got 0"),
    ({"threads": 2.0}, TypeError, "threads must be an int or None, not float"),
]


@pytest.mark.parametrize("arguments, error, message", ERRORS)
def test_bad_arguments_are_named(arguments, error, message):
    call = {"image": PICTURES["noise"], "n": 8, **arguments}
    with pytest.raises(error, match=message):
        fit_palette(call.pop("image"), call.pop("n"), **call)


def seen_error(img, out):
    # What the eye sees wrong: the difference in linear light, averaged over 5 x 5 neighbourhoods.
    diff = reference.linear_light(img[..., :3]) - reference.linear_light(out[..., :3])
    window = np.ones(5) / 5
    for axis in (0, 1):
        diff = np.apply_along_axis(np.convolve, axis, diff, window, mode="valid")
    return np.abs(diff).mean()


SMOOTH = np.dstack(np.broadcast_arrays(np.linspace(20, 240, 96)[None, :], np.linspace(0, 160, 64)[:, None],
                                       90)).round().astype(np.uint8)


@pytest.mark.parametrize("img", [SMOOTH, blobs(20, 64)])
@pytest.mark.parametrize("n", [4, 16])
def test_the_palette_fitted_for_the_dither_shows_the_picture_more_closely(img, n):
    plain, dithered = (fit_palette(img, n, dithered=d) for d in (False, True))
    assert seen_error(img, remap(img, dithered)) < seen_error(img, remap(img, plain))




@pytest.mark.parametrize("black", [(2, 0, 1), (1, 1, 1)])
def test_a_black_background_keeps_its_colour_beside_a_bright_area(black):
    # The bright disc's dither spills light onto the black around it; a
    # byte off in the dark is seen far more than that light, so the black
    # must stay as it is.
    y, x = np.mgrid[0:128, 0:128]
    disc = (y - 64) ** 2 + (x - 64) ** 2 < 48 ** 2
    ramp = np.dstack([150 + x // 2, 40 + y // 2, 30 + x // 4]) + noise((128, 128, 3), 9, 0, 24)
    img = np.where(disc[..., None], ramp, np.array(black)).astype(np.uint8)
    assert black in {tuple(c) for c in fit_palette(img, 8).tolist()}
