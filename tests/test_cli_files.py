"""The `grainel` command and its helpers with real files: safety, compact output,
photos, animations, folders, pipes and a Dask cluster."""

import io
import os
import re
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel

Image = pytest.importorskip("PIL.Image")
from grainel_tools import main, palettes  # noqa: E402  (after the skip: the tools need Pillow)

RNG = np.random.default_rng(5)
RGB = RNG.integers(0, 256, (24, 32, 3), dtype=np.uint8)
GRAY = RNG.integers(0, 256, (24, 32), dtype=np.uint8)
PNG_BYTES = io.BytesIO()
Image.fromarray(RGB).save(PNG_BYTES, "PNG")


def grainel_cmd(*args, **popen):
    return subprocess.Popen([sys.executable, "-m", "grainel_tools", *map(str, args)],
                            stderr=subprocess.PIPE, text=True, **popen)


def files_in(folder):
    return sorted(str(p.relative_to(folder)) for p in Path(folder).rglob("*") if p.is_file())


def pixels(path):
    with Image.open(path) as im:
        return np.asarray(im.convert("RGBA" if "transparency" in im.info or "A" in im.mode else "RGB"))


@pytest.fixture
def pics(tmp_path):
    Image.fromarray(RGB).save(tmp_path / "a.png")
    Image.fromarray(RGB).save(tmp_path / "b.png")
    return tmp_path


# Ctrl-C, SIGTERM, a second signal, a full disk: no output is ever left half-written.
@pytest.mark.parametrize("sig, batch", [(signal.SIGINT, True), (signal.SIGTERM, False)])
def test_a_signal_stops_the_run_and_leaves_no_file(pics, sig, batch):
    fifo, out = pics / "slow.png", pics / "out"
    os.mkfifo(fifo)  # reading it waits for this test: the child is caught mid-image
    args = [fifo, pics / "a.png", pics / "b.png", "-o", out, "-j", 1] if batch else [fifo, out / "x.png"]
    out.mkdir()
    child = grainel_cmd(*args)
    with open(fifo, "wb") as feed:
        child.send_signal(sig)
        time.sleep(0.5)
        child.send_signal(sig)
        feed.write(PNG_BYTES.getvalue())
    err = child.communicate(timeout=60)[1]
    assert (child.returncode, len(err.splitlines())) == (128 + sig, 1), err
    assert "Traceback" not in err and files_in(out) == []


def test_a_full_disk_leaves_no_partial_file(pics):
    big = pics / "big.png"
    Image.fromarray(np.tile(RGB, (40, 40, 1))).save(big)

    def small_files():  # writes past 64 KiB fail (Python ignores SIGXFSZ)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))

    child = grainel_cmd(big, pics / "out" / "big.png", "-l", 16, preexec_fn=small_files)
    err = child.communicate(timeout=120)[1]
    assert child.returncode == 1 and f"writing {pics / 'out' / 'big.png'}: file too large" in err
    assert files_in(pics / "out") == []


@pytest.mark.skipif(not os.path.isdir("/sys/kernel"), reason="needs Linux's /sys, where no file can be made")
@pytest.mark.parametrize("args, expected", [
    (["{p}/a.png", "/sys/t.png"], "grainel: writing /sys/t.png: "),
    (["{p}/broken.png", "{p}/a.png", "-o", "/sys/out"], "grainel: writing /sys/out: "),
])
def test_an_unwritable_output_is_named_before_any_image_is_read(pics, capsys, args, expected):
    (pics / "broken.png").write_text("read it, and this error would be reported first")
    assert main([a.format(p=pics) for a in args]) == 1
    err = capsys.readouterr().err
    assert err.startswith(expected) and len(err.splitlines()) == 1


@pytest.mark.parametrize("args, message", [
    (["a.png", "b.png"], "b.png exists; use --force"),                       # grainel *.png
    (["a.png", "a.png"], "a.png is an input; use --force"),
    ([".", "-o", "."], "a.png is an input; use --force"),
    (["a.png", "sub/a.jpg", "-o", "out"], "a.png and sub/a.jpg would both be written to out/a.png"),
])
def test_inputs_and_existing_files_are_never_overwritten_unasked(pics, capsys, monkeypatch, args, message):
    monkeypatch.chdir(pics)
    (pics / "sub").mkdir()
    Image.fromarray(RGB).save(pics / "sub" / "a.jpg")
    before = {p: p.read_bytes() for p in pics.rglob("*.*")}
    assert main(args) == 2 and message in capsys.readouterr().err
    assert {p: p.read_bytes() for p in pics.rglob("*.*")} == before
    assert main([*args, "--force"]) == (2 if "both" in message else 0)


# 16-bit pictures are scaled by the depth of their mode, never by their content.
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


def swapped_profile():
    """An sRGB profile whose red and blue primaries trade places."""
    from PIL import ImageCms

    icc = bytearray(ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes())
    tags = {bytes(icc[132 + 12 * i:136 + 12 * i]): 136 + 12 * i for i in range(int.from_bytes(icc[128:132]))}
    r, b = tags[b"rXYZ"], tags[b"bXYZ"]
    icc[r:r + 8], icc[b:b + 8] = icc[b:b + 8], icc[r:r + 8]
    return bytes(icc)


@pytest.mark.parametrize("flags, expected_blue", [([], True), (["--no-icc"], False)])
def test_photos_are_turned_upright_and_brought_to_srgb(tmp_path, flags, expected_blue):
    red = Image.new("RGB", (3, 2), (255, 0, 0))
    exif = red.getexif()
    exif[0x0112] = 6  # rotated: shown turned by 90 degrees
    red.save(tmp_path / "in.png", icc_profile=swapped_profile(), exif=exif)
    assert main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), "-p", "#f00,#00f", *flags]) == 0
    with Image.open(tmp_path / "out.png") as out:
        assert out.size == (2, 3) and ("icc_profile" in out.info) == bool(flags)
        assert (np.asarray(out.convert("RGB"))[..., 2] == 255).all() == expected_blue


# The smallest file that holds the result exactly: (source, options, PNG bit depth and colour type).
@pytest.mark.parametrize("source, flags, depth, kind", [
    (GRAY, [], 1, 0),                                                # 2-level gray: 1 bit
    (GRAY, ["-l", "4"], 2, 0),
    (RGB, ["-p", "pico8"], 4, 3),                                    # 16 colours: indexed, 4 bits
    (RGB, ["-p", "#000,#555,#aaa,#fff"], 2, 0),                      # gray palette: gray
    (np.dstack([RGB, np.where(GRAY > 99, 255, 0)]).astype(np.uint8), ["-c", "3"], 4, 3),  # + tRNS
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
# are dropped without mixing up the others.
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
    assert main([str(tmp_path / "in.gif"), str(tmp_path / out), "-p", "cga"]) == 0
    with Image.open(tmp_path / out) as anim:
        assert (anim.n_frames, anim.info.get("loop")) == (3, 3)
        for i, frame in enumerate(frames):
            anim.seek(i)
            assert_array_equal(np.asarray(anim.convert("RGB")),
                               grainel.dither(np.asarray(frame.convert("RGB")), palette=palettes.named("cga")))
            assert anim.info["duration"] == [40, 80, 120][i]


def test_folders_recurse_mirrored_skip_hidden_files_and_say_what_they_skip(tmp_path, capsys):
    for name in ["a.png", "sub/b.ppm", "sub/deep/c.tga", ".hidden.png", "sub/notes.txt", ".git/d.png"]:
        (tmp_path / "in" / name).parent.mkdir(parents=True, exist_ok=True)
        if name.endswith(".txt"):
            (tmp_path / "in" / name).write_text("not an image")
        else:
            Image.fromarray(RGB).save(tmp_path / "in" / name)
    assert main([str(tmp_path / "in"), "-o", str(tmp_path / "flat")]) == 0
    assert files_in(tmp_path / "flat") == ["a.png"] and "1 subfolder(s) skipped" in capsys.readouterr().err
    assert main([str(tmp_path / "in"), "-r", "-o", str(tmp_path / "tree"), "--format", "gif"]) == 0
    assert files_in(tmp_path / "tree") == ["a.gif", "sub/b.gif", "sub/deep/c.gif"]


def test_standard_input_and_output_and_the_size_limit(tmp_path, monkeypatch, capsys):
    done = subprocess.run([sys.executable, "-m", "grainel_tools", "-", "-", "--format", "gif", "-p", "cga"],
                          input=PNG_BYTES.getvalue(), capture_output=True, timeout=60)
    assert done.returncode == 0 and done.stdout[:4] == b"GIF8", done.stderr
    assert_array_equal(pixels(io.BytesIO(done.stdout)), grainel.dither(RGB, palette=palettes.named("cga")))
    (tmp_path / "in.png").write_bytes(PNG_BYTES.getvalue())
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 300)  # what a 14000x14000 scan meets by default
    for limit, status in [("0", 0), ("700", 1)]:
        assert main([str(tmp_path / "in.png"), str(tmp_path / f"out{limit}.png"), "--max-pixels", limit]) == status
    assert "32x24 is over the limit of 700 pixels" in capsys.readouterr().err


@pytest.mark.parametrize("argv, status, check", [
    (["{p}/a.png", "{p}/o.png", "--colours", "4"], 0, lambda p: (p / "o.png").exists()),
    (["--demo", "{p}/new/folder/demo.png"], 0, lambda p: (p / "new/folder/demo.png").exists()),
    (["{p}/a.png", "{p}/o.png", "--serpentine", "-m", "bayer4x4"], 2, None),
    (["{p}/a.png", "{p}/o.png", "--seed", "3"], 2, None),
    (["{p}/a.png", "{p}/o.png", "-p", "{p}/bom.gpl"], 0, lambda p: (p / "o.png").exists()),
])
def test_smaller_fixes(pics, argv, status, check):
    (pics / "bom.gpl").write_text("\ufeffGIMP Palette\n0 0 0\n255 255 255\n", encoding="utf-8")
    assert main([a.format(p=pics) for a in argv]) == status
    assert check is None or check(pics)


def readme_block(heading):
    text = (Path(__file__).parent.parent / "README.md").read_text()
    return re.search(re.escape(heading) + r".*?```python\n(.*?)```", text, re.S).group(1)


# distributed keeps threads of its own for the life of a process that used it (an offload executor among
# them), so the cluster, its clients and the command run in a process of their own, not beside the tests.
DASK_BATCH = """
import subprocess, sys
from pathlib import Path
import distributed
from grainel_tools import Settings, dither_files, main, output_paths, palettes

folder = Path(sys.argv[1])
with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \\
        distributed.Client(cluster) as client:
    jobs = output_paths([folder / "photos"], folder / "api")
    assert dither_files(jobs, Settings(palette=palettes.named("gameboy")), executor=client) == []
    assert main([str(folder / "photos"), "-o", str(folder / "cli"), "--dask", cluster.scheduler_address]) == 0
    done = subprocess.run([sys.executable, "script.py", cluster.scheduler_address], cwd=folder,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
"""


def test_a_batch_runs_on_a_dask_cluster(tmp_path):
    pytest.importorskip("distributed")
    for name in ["a.png", "b.jpg"]:
        (tmp_path / "photos").mkdir(exist_ok=True)
        Image.fromarray(RGB).save(tmp_path / "photos" / name)
    (tmp_path / "script.py").write_text(readme_block("## Many images on a cluster"))
    done = subprocess.run([sys.executable, "-c", DASK_BATCH, tmp_path], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert files_in(tmp_path / "api") == files_in(tmp_path / "cli") == files_in(tmp_path / "dithered") == [
        "a.png", "b.png"]
