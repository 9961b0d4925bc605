"""A folder of pictures made into one animation: frames in name order, timed as asked."""

import numpy as np
import pytest

from file_cases import Image

from grainel_tools import main  # noqa: E402  (after the skip: the tools need Pillow)

pytestmark = pytest.mark.architecture_neutral

# Numbered without padding: in plain text order frame10 would come before frame2.
NAMES = ["frame1.png", "frame2.png", "frame10.png", "Frame11.png"]


def frames_folder(tmp_path, sizes=None):
    folder = tmp_path / "frames"
    folder.mkdir()
    for k, name in enumerate(NAMES):
        size = sizes[k] if sizes else (8, 6)
        Image.new("L", size, 60 * k).save(folder / name)  # each frame its own gray
    (folder / "notes.txt").write_text("not a picture")
    return folder


@pytest.mark.parametrize("out, flags, duration", [
    ("anim.gif", [], 100), ("anim.png", ["--fps", "20"], 50), ("anim.webp", ["--duration", "70"], 70),
])
def test_frames_in_name_order_with_their_timing(tmp_path, out, flags, duration):
    folder = frames_folder(tmp_path)
    assert main([str(folder), str(tmp_path / out), "-l", "256", "-s", "0", *flags]) == 0
    with Image.open(tmp_path / out) as im:
        assert im.n_frames == len(NAMES)
        grays, durations = [], []
        for i in range(im.n_frames):
            im.seek(i)
            grays.append(int(np.asarray(im.convert("L")).mean()))
            durations.append(im.info["duration"])
    assert grays == [0, 60, 120, 180] and durations == [duration] * len(NAMES)


def test_a_frame_of_another_size_is_named(tmp_path, capsys):
    folder = frames_folder(tmp_path, sizes=[(8, 6), (8, 6), (6, 8), (8, 6)])
    assert main([str(folder), str(tmp_path / "anim.gif")]) == 1
    assert "frame10.png: 6x8, where the first frame (frame1.png) is 8x6" in capsys.readouterr().err
    assert not (tmp_path / "anim.gif").exists()


@pytest.mark.parametrize("args, message", [
    (["{tmp}/frames/frame1.png", "{tmp}/o.gif", "--fps", "5"], "--fps times the frames of a folder"),
    (["{tmp}/frames", "{tmp}/o.gif", "--fps", "0"], "--fps must be above 0"),
    (["{tmp}/frames", "{tmp}/o.gif", "--fps", "5", "--duration", "10"], "not allowed with"),
    (["{tmp}/frames", "{tmp}/o.bmp"], "use -o DIR to process a folder, or give an animation"),
    (["{tmp}/frames", "{tmp}/frames/frame1.png"], "is an input"),
])
def test_frame_options_are_usage_errors(tmp_path, capsys, args, message):
    frames_folder(tmp_path)
    assert main([a.format(tmp=tmp_path) for a in args]) == 2
    assert message in capsys.readouterr().err
