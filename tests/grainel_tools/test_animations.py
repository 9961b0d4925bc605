"""Transparency and timing through the files that hold animations: GIF, WebP, APNG and TIFF."""

import numpy as np
import pytest
from numpy.testing import assert_array_equal

from file_cases import Image

pytestmark = pytest.mark.architecture_neutral

from grainel_tools import main, read_picture  # noqa: E402  (after the skip: the tools need Pillow)


def moving_box(count=4, size=(24, 16)):
    """RGBA frames of an opaque 6x6 box stepping right over a transparent background, at even offsets."""
    frames = []
    for i in range(count):
        pixels = np.zeros((size[1], size[0], 4), np.uint8)
        pixels[2:8, 2 + 4 * i:8 + 4 * i] = (200, 40, 40, 255)
        frames.append(pixels)
    return frames


def alphas(path):
    """Each frame's alpha as Pillow decodes it, the frames before it drawn as the file says."""
    with Image.open(path) as im:
        return [np.asarray((im.seek(i), im.convert("RGBA"))[1])[..., 3] for i in range(getattr(im, "n_frames", 1))]


@pytest.mark.parametrize("flags", [["-p", "pico8"], ["-c", "8"], ["--mix", "-p", "pico8"], []])
def test_a_gif_keeps_transparent_pixels(tmp_path, capsys, flags):
    Image.fromarray(moving_box(1)[0]).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.gif"), *flags]) == 0
    assert capsys.readouterr().err == ""  # no note of a flattening
    assert_array_equal(alphas(tmp_path / "out.gif"), [moving_box(1)[0][..., 3]])



# GIF pixels are wholly transparent or opaque: alpha below half becomes transparent, with a note.
def test_a_gif_makes_partial_transparency_all_or_nothing(tmp_path, capsys):
    pixels = moving_box(1)[0]
    pixels[..., 3] = np.arange(24, dtype=np.uint8) * 11  # 0 to 253 across, 121 and 132 either side of half
    Image.fromarray(pixels).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.gif"), "-p", "pico8"]) == 0
    assert "GIF holds no partial transparency; alpha below half made transparent" in capsys.readouterr().err
    assert_array_equal(alphas(tmp_path / "out.gif"), [np.where(pixels[..., 3] < 128, 0, 255)])


# Frames decode to their own alpha, the box never leaving a trail of the frames before.
@pytest.mark.parametrize("out", ["out.gif", "out.png", "out.webp"])
def test_transparent_animations_decode_to_each_frames_alpha(tmp_path, out):
    frames = [Image.fromarray(f) for f in moving_box()]
    frames[0].save(tmp_path / "in.gif", save_all=True, append_images=frames[1:], duration=50, disposal=2)
    assert main([str(tmp_path / "in.gif"), str(tmp_path / out), "-c", "16"]) == 0
    assert_array_equal(alphas(tmp_path / out), [f[..., 3] for f in moving_box()])
    if out.endswith(".gif"):
        with Image.open(tmp_path / out) as anim:
            assert {(anim.seek(i), anim.disposal_method)[1] for i in range(anim.n_frames)} == {2}




# Animated WebP drops alpha unless its header flags it, which libwebp leaves unset when
# the part of each frame it stores is opaque, though the rest shows the transparent
# canvas: here the box at even offsets, which WebP frames can take.
@pytest.mark.parametrize("lossless", [False, True])
def test_animated_webp_is_read_with_its_transparency(tmp_path, lossless):
    frames = [Image.fromarray(f) for f in moving_box()]
    frames[0].save(tmp_path / "in.webp", save_all=True, append_images=frames[1:], duration=50, lossless=lossless)
    assert main([str(tmp_path / "in.webp"), str(tmp_path / "out.png"), "-p", "pico8"]) == 0
    assert_array_equal(alphas(tmp_path / "out.png"), [f[..., 3] for f in moving_box()])
    opaque = [f.convert("RGB") for f in frames]
    opaque[0].save(tmp_path / "opaque.webp", save_all=True, append_images=opaque[1:], duration=50)
    assert {f.mode for f in read_picture(tmp_path / "opaque.webp").frames} == {"RGB"}


# Pillow's writers merge a frame equal to the one before into it, durations added up.
# The input's frames differ by one level of red, which maps to the palette's one red.
@pytest.mark.parametrize("out", ["out.gif", "out.png", "out.webp"])
@pytest.mark.parametrize("alpha", [255, 0])
def test_repeated_frames_keep_their_own_durations(tmp_path, out, alpha):
    frames = [moving_box()[i] for i in (0, 0, 1, 1, 1)]
    for red, f in enumerate(frames):
        f[..., 0][f[..., 0] > 0] += red
        f[..., 3] |= alpha
    images = [Image.fromarray(f) for f in frames]
    durations = [70, 80, 90, 100, 110]
    images[0].save(tmp_path / "in.png", save_all=True, append_images=images[1:], duration=durations)
    assert main([str(tmp_path / "in.png"), str(tmp_path / out), "-p", "pico8", "-s", "0"]) == 0
    with Image.open(tmp_path / out) as anim:
        shown = [(anim.seek(i), np.asarray(anim.convert("RGBA")), anim.info["duration"])[1:]
                 for i in range(anim.n_frames)]
    assert [d for _, d in shown] == durations
    assert_array_equal([p[..., 3] for p, _ in shown], [f[..., 3] for f in frames])
    assert_array_equal([p[..., :3] for p, _ in shown], [shown[i][0][..., :3] for i in (0, 0, 2, 2, 2)])
    assert not np.array_equal(shown[0][0], shown[2][0])  # the box moved
