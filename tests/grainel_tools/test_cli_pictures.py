"""The `grainel` command with real pictures: 16-bit and photo inputs, the smallest exact form
of each result, formats that cannot hold it, animations and pages, damaged files,
transparency, and the size options."""

import io
import os
import subprocess
import sys

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel
from file_cases import GRAY, RGB, Image, grainel_cmd, pixels

pytestmark = pytest.mark.architecture_neutral

from grainel_tools import main, palettes, remap  # noqa: E402  (after the skip: the tools need Pillow)


@pytest.mark.parametrize("top", [250, 300, 65535])
def test_16_bit_pictures_scale_by_depth_in_the_module_and_the_command(tmp_path, top):
    ramp = np.linspace(0, top, 64).astype(np.uint16).reshape(2, 32)
    scaled = ((ramp.astype(np.uint32) + 128) // 257).astype(np.uint8)
    for im in [Image.fromarray(ramp), Image.frombytes("I;16B", (32, 2), ramp.astype(">u2").tobytes())]:
        out = grainel.dither(im, levels=256, strength=0)
        assert out.mode == "RGB" and (np.asarray(out) == scaled[..., None]).all()
    Image.fromarray(ramp).save(tmp_path / "ramp.png")
    assert main([str(tmp_path / "ramp.png"), str(tmp_path / "out.png"), "-l", "256", "-s", "0"]) == 0
    assert_array_equal(np.asarray(Image.open(tmp_path / "out.png").convert("L")), scaled)


def rotated_profile():
    """An sRGB profile whose primaries turn round: its red is sRGB's green, its green blue, its blue red.

    Unlike a swap, the turn is not its own inverse: converting the wrong way
    round sends stored red to blue instead of green.
    """
    from PIL import ImageCms

    icc = bytearray(ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes())
    tags = {bytes(icc[132 + 12 * i:136 + 12 * i]): 136 + 12 * i for i in range(int.from_bytes(icc[128:132]))}
    r, g, b = (icc[tags[t]:tags[t] + 8] for t in [b"rXYZ", b"gXYZ", b"bXYZ"])
    for tag, entry in [(b"rXYZ", g), (b"gXYZ", b), (b"bXYZ", r)]:
        icc[tags[tag]:tags[tag] + 8] = entry
    return bytes(icc)


@pytest.mark.parametrize("flags, expected", [([], (0, 255, 0)), (["--no-icc"], (255, 0, 0))])
def test_photos_are_turned_upright_and_brought_to_srgb(tmp_path, flags, expected):
    red = Image.new("RGB", (3, 2), (255, 0, 0))
    exif = red.getexif()
    exif[0x0112] = 6  # rotated: shown turned by 90 degrees
    red.save(tmp_path / "in.png", icc_profile=rotated_profile(), exif=exif)
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), "-p", "rgb8", *flags]) == 0
    with Image.open(tmp_path / "out.png") as out:
        assert out.size == (2, 3) and ("icc_profile" in out.info) == bool(flags)
        assert (np.asarray(out.convert("RGB")) == expected).all()


# The smallest file that holds the result exactly: (source, options, PNG bit depth and colour type).
@pytest.mark.parametrize("source, flags, depth, kind", [
    (GRAY, [], 1, 0),                                                # 2-level gray: 1 bit
    (GRAY, ["-l", "4"], 2, 0),
    (RGB, ["-p", "pico8"], 4, 3),                                    # 16 colours: indexed, 4 bits
    (RGB, ["-p", "#000,#555,#aaa,#fff"], 2, 0),                      # gray palette: gray
    # Transparency takes one entry of the three: two bits a pixel, and a tRNS chunk.
    (np.dstack([RGB, np.where(GRAY > 99, 255, 0)]).astype(np.uint8), ["-c", "3"], 2, 3),
    (RGB, ["-l", "16"], 8, 2),                                       # 4096 colours stay RGB
])
def test_results_are_stored_in_the_smallest_exact_form(tmp_path, source, flags, depth, kind):
    Image.fromarray(source).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), *flags]) == 0
    data = (tmp_path / "out.png").read_bytes()
    assert (data[24], data[25], b"tRNS" in data) == (depth, kind, source.ndim == 3 and source.shape[2] == 4)
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.webp"), *flags]) == 0
    assert_array_equal(pixels(tmp_path / "out.png"), pixels(tmp_path / "out.webp"))


# Indexed output holds exactly the dithered colours: colours closer than the cells of
# Pillow's palette cache keep their own entries, and a named palette's unused entries
# keep their places without mixing up the others.
@pytest.mark.parametrize("palette, source", [("#000,#010101,#020203,#fff", RGB // 64), ("web", RGB)])
def test_indexed_output_holds_the_dithered_colours(tmp_path, palette, source):
    Image.fromarray(source).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), "-p", palette, "-s", "0"]) == 0
    colors = palettes.resolve(palette)
    assert_array_equal(pixels(tmp_path / "out.png"), grainel.dither(source, palette=colors, strength=0))


@pytest.mark.parametrize("source, out, flags, status, magic", [
    (GRAY, "out.pbm", [], 0, b"P4"), (GRAY, "out.pgm", ["-l", "3"], 0, b"P5"), (GRAY, "out.pbm", ["-l", "3"], 1, b""),
    (RGB, "out.gif", ["-l", "16"], 1, b""), (RGB, "out.jpg", [], 2, b""), (RGB, "out.jpg", ["--lossy"], 0, b"\xff\xd8"),
])
def test_formats_that_would_change_the_pixels_are_refused(tmp_path, source, out, flags, status, magic):
    Image.fromarray(source).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / out), *flags]) == status
    assert (tmp_path / out).read_bytes()[:2] == magic if magic else not (tmp_path / out).exists()


def test_writing_from_python_refuses_lossy_formats_unless_asked(tmp_path):
    from grainel_tools import FileError, write_image  # the command line checks before it reads
    with pytest.raises(FileError, match="lossy"):
        write_image(Image.fromarray(RGB), tmp_path / "out.jpg")
    assert not (tmp_path / "out.jpg").exists()
    write_image(Image.fromarray(RGB), tmp_path / "out.jpg", lossy=True)
    assert (tmp_path / "out.jpg").read_bytes()[:2] == b"\xff\xd8"


@pytest.mark.parametrize("out", ["out.gif", "out.webp", "out.png"])
def test_animations_keep_every_frame_and_their_timing(tmp_path, out):
    frames = [Image.fromarray(np.roll(RGB, 5 * i, axis=1)).quantize(64) for i in range(3)]
    frames[0].save(tmp_path / "in.gif", save_all=True, append_images=frames[1:], duration=[40, 80, 120], loop=3)
    # Every frame dithered whole, to compare with the remap's own output.
    assert main([str(tmp_path / "in.gif"), str(tmp_path / out), "-p", "cga", "--no-still"]) == 0
    with Image.open(tmp_path / out) as anim:
        assert (anim.n_frames, anim.info.get("loop")) == (3, 3)
        for i, frame in enumerate(frames):
            anim.seek(i)
            assert_array_equal(np.asarray(anim.convert("RGB")),
                               remap(np.asarray(frame.convert("RGB")), palettes.named("cga")))
            assert anim.info["duration"] == [40, 80, 120][i]


@pytest.mark.parametrize("out, status", [("o.tif", 0), ("o.png", 1), ("o.gif", 1), ("-", 0)])
def test_pages_keep_their_own_sizes_or_are_refused(tmp_path, capsys, out, status):
    pages = [Image.fromarray(RGB[:, :30]), Image.fromarray(np.tile(RGB, (2, 1, 1)))]
    pages[0].save(tmp_path / "in.tif", save_all=True, append_images=pages[1:])
    to = ["-", "--format", "tif"] if out == "-" else [tmp_path / out]  # a pipe, which cannot seek
    done = subprocess.run([sys.executable, "-m", "grainel_tools", tmp_path / "in.tif", *to, "-p", "pico8"],
                          capture_output=True, timeout=60)
    assert done.returncode == status, done.stderr
    if status:
        assert b"differ in size (30x24, 32x48)" in done.stderr and not (tmp_path / out).exists()
        return
    with Image.open(io.BytesIO(done.stdout) if out == "-" else tmp_path / out) as im:
        for index, page in enumerate(pages):
            im.seek(index)
            assert_array_equal(np.asarray(im.convert("RGB")), remap(np.asarray(page), palettes.named("pico8")))


def truncated_png(width, height, rows):
    """A gray PNG whose header claims width x height, with data for `rows` rows (value 200)."""
    import struct
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    data = zlib.compress(b"".join(b"\0" + bytes([200]) * width for _ in range(rows)))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", data) + chunk(b"IEND", b""))


# Too little data for its size: refused before the image is made (the first), or once
# decoded, before the rows left black are read. Either way memory stays small.
@pytest.mark.parametrize("width, height", [(20000, 20000), (20, 2000)])
def test_truncated_png_data_is_a_read_error(tmp_path, width, height):
    (tmp_path / "t.png").write_bytes(truncated_png(width, height, 4))
    (tmp_path / "whole.png").write_bytes(truncated_png(20, 4, 4))
    peaks, errors = [], []
    for name in ["whole.png", "t.png"]:  # the first for the memory any run takes (more with sanitizers)
        child = grainel_cmd(tmp_path / name, tmp_path / f"o-{name}", "--max-pixels", 0)
        _, status, usage = os.wait4(child.pid, 0)
        peaks.append(usage.ru_maxrss)  # KiB
        errors.append((os.waitstatus_to_exitcode(status), child.stderr.read()))
    assert errors == [(0, ""), (1, f"grainel: reading {tmp_path / 't.png'}: truncated: the image data ends "
                                   f"after 4 of {height} rows\n")]
    assert peaks[1] < peaks[0] + 100_000 and not (tmp_path / "o-t.png").exists()


# Transparency: kept where the format holds it, else flattened onto --background (white
# by default, with a note), before dithering.
@pytest.mark.parametrize("out, flags, expected, note", [
    ("o.png", [], None, False),
    ("o.png", ["--background", "#f00"], (255, 0, 0), False),
    ("o.bmp", [], (255, 255, 255), True),
    ("o.jpg", ["--lossy"], (255, 255, 255), True),
    ("o.jpg", ["--lossy", "--background", "black"], (0, 0, 0), False),
])
def test_transparency_is_kept_or_flattened_onto_a_background(tmp_path, capsys, out, flags, expected, note):
    hidden = np.zeros((24, 32, 3), np.uint8)
    hidden[..., 1] = 255  # green where transparent: what dropping the alpha would show
    alpha = np.where(np.arange(32) < 16, 0, 255).astype(np.uint8) * np.ones((24, 1), np.uint8)
    Image.fromarray(np.dstack([hidden * (alpha[..., None] == 0), alpha])).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / out), "-p", "rgb8", *flags]) == 0
    err = capsys.readouterr().err
    assert ("holds no transparency; flattened onto white" in err) == note
    with Image.open(tmp_path / out) as im:
        result = np.asarray(im.convert("RGBA")).astype(int)
    tolerance = 40 if out.endswith(".jpg") else 0
    assert (abs(result[:, 20:28, :3]) <= tolerance).all()  # the opaque black half
    if expected is None:
        assert (result[:, :16, 3] == 0).all() and (result[:, 16:, 3] == 255).all()
    else:
        assert (abs(result[:, 4:12, :3] - expected) <= tolerance).all() and (result[..., 3] == 255).all()


def checkers(size):
    return np.indices((size, size)).sum(axis=0) % 2 * 255


# Sizes: --resize fills and crops, --fit fits inside and pads, both in linear light
# (fine black-and-white checkers average to sRGB 188, not 128), --scale enlarges after.
@pytest.mark.parametrize("source, flags, size, check", [
    (checkers(16), ["--resize", "8x8", "-l", "256", "-s", "0"], (8, 8),
     lambda out: (abs(out[2:6, 2:6].astype(int) - 188) <= 1).all()),
    (np.repeat([[[255, 0, 0]] * 10 + [[0, 255, 0]] * 20 + [[0, 0, 255]] * 10], 10, axis=0),
     ["--resize", "10x10", "-p", "rgb8"], (10, 10), lambda out: (out == (0, 255, 0)).all()),
    (checkers(16), ["--fit", "8x16", "-l", "256", "-s", "0"], (8, 16),
     lambda out: (out[:4] == out[12:]).all() and (out[:4] == 255).all()
     and (abs(out[6:10, 2:6].astype(int) - 188) <= 1).all()),
    (RGB, ["--fit", "16x16", "--pad", "#f00", "-p", "rgb8"], (16, 16),
     lambda out: (out[:2] == (255, 0, 0)).all() and (out[14:] == (255, 0, 0)).all()),
    # Mid-gray sRGB is a fifth of white's light: the remap mixes light, as the eye does.
    (RGB, ["--fit", "16x16", "--pad", "#808080", "-p", "bw"], (16, 16),
     lambda out: 0.15 < (out[:2] == 255).mean() < 0.3 and (out[:2] % 255 == 0).all()),
    (RGB, ["--fit", "16x16", "--pad", "none"], (16, 12), lambda out: True),
    (RGB, ["--scale", "3", "-p", "pico8"], (96, 72), lambda out: (out == np.repeat(np.repeat(
        remap(RGB, palettes.named("pico8")), 3, axis=0), 3, axis=1)).all()),
    (RGB, ["--fit", "800x480", "-p", "acep7"], (800, 480), lambda out: {tuple(c) for c in out.reshape(-1, 3)}
     <= set(palettes.named("acep7"))),
])
def test_resize_fit_pad_and_scale(tmp_path, source, flags, size, check):
    Image.fromarray(np.asarray(source, np.uint8)).save(tmp_path / "in.png")
    assert main([str(tmp_path / "in.png"), str(tmp_path / "panel.png"), *flags]) == 0
    with Image.open(tmp_path / "panel.png") as im:
        assert im.size == size and check(np.asarray(im.convert("L" if source.ndim == 2 else "RGB")))


# Where results go: cp-style folders, --suffix beside the inputs, '--', and reruns that
# neither take results as inputs nor redo what exists.
