"""Animations stay still: where a frame did not change, its dithered pixels do not either."""

import numpy as np
import pytest

from file_cases import RNG, Image

from grainel_tools import main, palettes, remap  # noqa: E402  (after the skip: the tools need Pillow)

pytestmark = pytest.mark.architecture_neutral

# A noisy photo-like background with a box moving over it: error diffusion
# reshuffles the grain after any change unless the still pixels are kept.
BACKGROUND = np.clip(np.linspace(40, 220, 48)[None, :, None] + RNG.normal(0, 20, (40, 48, 3)), 0, 255).astype(np.uint8)


def moving_box(alpha=False):
    frames = []
    for k in range(4):
        frame = BACKGROUND.copy()
        frame[6:14, 4 + 9 * k:12 + 9 * k] = (250, 30, 30)
        if alpha:
            frame = np.dstack([frame, np.full(frame.shape[:2], 255, np.uint8)])
            frame[30:, :8, 3] = 0
        frames.append(frame)
    return frames


def frames_of(path):
    with Image.open(path) as im:
        out = []
        for i in range(im.n_frames):
            im.seek(i)
            out.append(np.asarray(im.convert("RGBA")).copy())
    return out


def save(frames, path):
    ims = [Image.fromarray(f) for f in frames]
    ims[0].save(path, save_all=True, append_images=ims[1:], duration=100, loop=0)


@pytest.mark.parametrize("flags, still", [
    (["-p", "pico8"], True),                      # the remap
    (["-p", "pico8", "-m", "fs"], True),          # grainel's error diffusion
    (["-c", "8", "-m", "atkinson"], True),
    (["-p", "pico8", "--no-still"], False),
    (["-p", "pico8", "-m", "bayer4x4"], True),    # ordered dither is still by itself
])
@pytest.mark.parametrize("alpha", [False, True])
def test_still_pixels_keep_their_output(tmp_path, flags, still, alpha):
    frames = moving_box(alpha)
    save(frames, tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), *flags]) == 0
    out = frames_of(tmp_path / "out.png")
    assert len(out) == len(frames)
    flicker = [((a != b).any(2) & (x == y).all(2)).sum() for x, y, a, b in zip(frames, frames[1:], out, out[1:])]
    assert (max(flicker) == 0) == still, flicker
    assert all((f[..., 3] == o[..., 3]).all() for f, o in zip(frames, out)) if alpha else True


def test_changed_pixels_take_the_new_frame(tmp_path):
    frames = moving_box()
    save(frames, tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), "-p", "pico8"]) == 0
    out = [f[..., :3].astype(int) for f in frames_of(tmp_path / "out.png")]
    assert (out[0] == remap(frames[0], palettes.named("pico8"))).all()  # the first frame is dithered whole

    def redness(frame, columns):
        region = frame[6:14, columns]
        return (region[..., 0] - region[..., 1]).mean()

    # The last frame: red where the box now is, background where it was.
    assert redness(out[3], slice(31, 39)) > 120 and redness(out[3], slice(22, 31)) < 40


# A GIF holds only what changed, drawn over the frame before, and still shows every
# frame as the lossless APNG does, in the palette's own order.
def test_gif_frames_hold_what_changed_and_show_every_frame(tmp_path):
    frames = moving_box()
    save(frames, tmp_path / "in.png")
    for out in ["out.png", "out.gif"]:
        assert main([str(tmp_path / "in.png"), str(tmp_path / out), "-p", "pico8"]) == 0
    shown = frames_of(tmp_path / "out.gif")
    assert len(shown) == len(frames)
    assert all((a == b).all() for a, b in zip(shown, frames_of(tmp_path / "out.png")))
    with Image.open(tmp_path / "out.gif") as gif:
        assert [tuple(c) for c in np.reshape(gif.getpalette()[:48], (-1, 3))] == palettes.named("pico8")
