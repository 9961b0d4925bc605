"""The `grainel` command line tool and the module's type stubs."""

import importlib.util
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel
from grainel_tools import fit_palette, main, palettes, remap
from grainel_tools.gamut import into_hull

pytestmark = pytest.mark.architecture_neutral

GAMEBOY = [(15, 56, 15), (48, 98, 48), (139, 172, 15), (155, 188, 15)]


def remap_into_hull(image, fitted):
    """What -c N does with a palette of few colours: the picture moved into its hull, then remapped."""
    return remap(into_hull(image, fitted), fitted)


@pytest.fixture
def Image():
    return pytest.importorskip("PIL.Image")


@pytest.fixture
def photo(Image, tmp_path):
    """A small RGB picture, saved as PNG."""
    rgb = np.random.default_rng(1).integers(0, 256, (24, 32, 3), dtype=np.uint8)
    Image.fromarray(rgb).save(tmp_path / "photo.png")
    return tmp_path / "photo.png", rgb


def run(tmp_path, src, *options, mode="RGB"):
    """`grainel SRC [options] OUT`; returns the status and OUT's pixels in `mode`."""
    out = tmp_path / "out.png"
    status = main([str(src), *map(str, options), str(out), "--force"])
    if not out.exists():
        return status, None
    from PIL import Image
    with Image.open(out) as im:
        return status, np.asarray(im.convert(mode))


def test_version_list_and_help(capsys):
    assert main(["--version"]) == 0 and capsys.readouterr().out == f"grainel {grainel.__version__}\n"
    assert main(["--list"]) == 0
    listed = set(capsys.readouterr().out.split())
    assert {*grainel.available_methods(), *grainel.available_matrices(), "random", "pico8"} <= listed
    assert main(["--help"]) == 0
    text = capsys.readouterr().out
    assert all(f"--{flag}" in text for flag in ["method", "levels", "palette", "colours", "matrix", "seed",
               "strength", "serpentine", "linear", "no-preserve-alpha", "jobs", "output-dir", "demo",
               "recursive", "force", "format", "lossy", "no-icc", "max-pixels", "dask"])


@pytest.mark.parametrize("args, expected", [
    ("", lambda a: grainel.dither(a)),
    ("-m atkinson -l 3 --serpentine", lambda a: grainel.dither(a, "atkinson", levels=3, serpentine=True)),
    ("--method random --seed 5", lambda a: grainel.random_dither(a, seed=5)),
    ("--method bayer2x2", lambda a: grainel.ordered_dither(a, 2)),
    ("--matrix bayer4x4 --strength 0.5", lambda a: grainel.ordered_dither(a, 4, strength=0.5)),
    ("--matrix 0,2;3,1", lambda a: grainel.ordered_dither(a, [[0, 2], [3, 1]])),
    ("--matrix 0.2,0.8;0.6,0.4", lambda a: grainel.ordered_dither(a, np.array([[0.2, 0.8], [0.6, 0.4]]))),
    ("--matrix {tmp}/m.npy", lambda a: grainel.ordered_dither(a, np.array([[0, 8, 2], [6, 4, 7]]))),
    ("--linear -l 4 -m sierra-lite", lambda a: grainel.dither(a, "sierra_lite", levels=4, linear=True)),
])
def test_options_reach_the_library(photo, tmp_path, args, expected):
    np.save(tmp_path / "m.npy", np.array([[0, 8, 2], [6, 4, 7]]))
    status, pixels = run(tmp_path, photo[0], *args.format(tmp=tmp_path).split())
    assert status == 0
    assert_array_equal(pixels, expected(photo[1]))


RGBA = np.random.default_rng(2).integers(0, 256, (16, 16, 4), dtype=np.uint8)


def transparent_p(Image):
    im = Image.fromarray(np.tile(np.arange(16, dtype=np.uint8), (8, 1)), "P")
    im.putpalette([v for i in range(16) for v in (i * 16, 255 - i * 16, 128)])
    im.info["transparency"] = 0
    return im


@pytest.mark.parametrize("make, ext, flags, mode, check", [
    (lambda Image: Image.fromarray(RGBA), ".png", [], "RGBA",
     lambda out: np.array_equal(out[..., 3], RGBA[..., 3])),
    (lambda Image: Image.fromarray(RGBA), ".png", ["--no-preserve-alpha"], "RGBA",
     lambda out: set(np.unique(out[..., 3])) <= {0, 255}),
    (transparent_p, ".png", [], "RGBA", lambda out: (out[:, 0, 3] == 0).all() and out[:, 1:, 3].min() == 255),
    (lambda Image: Image.new("1", (8, 8), 1), ".bmp", [], "L", lambda out: (out == 255).all()),
    (lambda Image: Image.new("RGB", (8, 8), (200, 10, 90)).convert("CMYK"), ".tif", [], "RGB",
     lambda out: out[..., 0].mean() > out[..., 2].mean() > out[..., 1].mean()),
    (lambda Image: Image.new("LA", (8, 8), (100, 50)), ".png", [], "LA", lambda out: (out[..., 1] == 50).all()),
])
def test_pictures_of_every_mode(Image, tmp_path, make, ext, flags, mode, check):
    make(Image).save(tmp_path / f"in{ext}")
    status, out = run(tmp_path, tmp_path / f"in{ext}", *flags, mode=mode)
    assert status == 0 and check(out)


def palette_spec(Image, tmp_path, form):
    """The Game Boy palette as a name, a list of hex codes, or a file of the given kind."""
    path = tmp_path / (f"gb-{form}.png" if form in ("swatch", "indexed") else f"gb.{form[-3:]}")
    if form.endswith("gpl"):
        mark = "\ufeff" if form == "bom-gpl" else ""  # as Windows editors save UTF-8
        path.write_text(mark + "GIMP Palette\nName: gb\nColumns: 4\n#\n"
                        + "".join(f"{r:3} {g:3} {b:3}\tshade {i}\n" for i, (r, g, b) in enumerate(GAMEBOY)),
                        encoding="utf-8")
    elif form == "hex":
        path.write_text("".join("%02x%02x%02x\n" % c for c in GAMEBOY) + "\n")
    elif form == "jasc-pal":
        path.write_text("JASC-PAL\r\n0100\r\n4\r\n" + "".join(f"{r} {g} {b}\r\n" for r, g, b in GAMEBOY))
    elif form == "riff-pal":
        data = b"\x00\x03" + len(GAMEBOY).to_bytes(2, "little") + b"".join(bytes([*c, 0]) for c in GAMEBOY)
        chunk = b"data" + len(data).to_bytes(4, "little") + data
        path.write_bytes(b"RIFF" + (4 + len(chunk)).to_bytes(4, "little") + b"PAL " + chunk)
    elif form == "paint.net-txt":
        path.write_text("; paint.net Palette File\n; 4 colours\n" + "".join("FF%02X%02X%02X\n" % c for c in GAMEBOY))
    elif form == "swatch":  # repeated colours count once
        Image.fromarray(np.array([GAMEBOY * 2], dtype=np.uint8)).save(path)
    elif form == "indexed":  # only the entries in use count
        im = Image.fromarray(np.array([[4, 5, 6, 7, 7]], dtype=np.uint8), "P")
        im.putpalette([255, 0, 0] * 4 + [v for c in GAMEBOY for v in c] + [0, 0, 255] * 4)
        im.save(path)
    else:
        hexlist = ",".join("#%02x%02x%02x" % c for c in GAMEBOY)
        return {"named": "gameboy", "spelled": "Game_Boy", "hexlist": hexlist}[form]
    return path


@pytest.mark.parametrize("form", ["named", "spelled", "hexlist", "gpl", "bom-gpl", "hex", "jasc-pal", "riff-pal",
                                  "paint.net-txt", "swatch", "indexed"])
def test_palette_forms(Image, photo, tmp_path, form):
    status, out = run(tmp_path, photo[0], "--palette", palette_spec(Image, tmp_path, form))
    assert status == 0
    assert_array_equal(out, remap(photo[1], GAMEBOY))


@pytest.mark.parametrize("args, expected", [
    ("-p gameboy -s 0.6 --no-serpentine", lambda a: remap(a, GAMEBOY, strength=0.6, serpentine=False)),
    ("-p gameboy -m fs", lambda a: grainel.dither(a, palette=GAMEBOY)),   # the way back to the exact engines
    ("-p gameboy -m bayer4x4 --linear", lambda a: grainel.ordered_dither(a, 4, palette=GAMEBOY, linear=True)),
    ("-c 5 --effort 2", lambda a: remap_into_hull(a, fit_palette(a, 5, effort=2))),
    ("--colours 4", lambda a: remap_into_hull(a, fit_palette(a, 4))),
    ("-c 5 --keep #f00,#00ff00 -m atkinson",
     lambda a: grainel.dither(a, "atkinson", palette=fit_palette(a, 5, keep=["#f00", "#0f0"]))),
    ("-c 5 --keep #f00 --keep #00ff00 -m atkinson",
     lambda a: grainel.dither(a, "atkinson", palette=fit_palette(a, 5, keep=["#f00", "#0f0"]))),
    ("-p black,white,#f00", lambda a: remap(a, [(0, 0, 0), (255, 255, 255), (255, 0, 0)])),
])
def test_palettes_take_the_remap_unless_a_method_is_named(photo, tmp_path, args, expected):
    status, pixels = run(tmp_path, photo[0], *args.split())
    assert status == 0
    assert_array_equal(pixels, expected(photo[1]))


def test_fitted_palettes_hold_the_count_shared_and_saved(Image, tmp_path, capsys):
    rng = np.random.default_rng(8)
    for name in ["a", "b"]:  # different pictures, with transparent corners
        rgba = rng.integers(0, 256, (20, 24, 4), dtype=np.uint8)
        rgba[..., 3] = 255
        rgba[:5, :5, 3] = 0
        Image.fromarray(rgba).save(tmp_path / f"{name}.png")
    args = [str(tmp_path / "a.png"), str(tmp_path / "b.png"), "-c", "6", "-o", str(tmp_path / "out")]
    assert main([*args, "--save-palette", str(tmp_path / "p.gpl")]) == 2  # one palette for one picture
    assert main([*args, "--shared-palette", "--keep", "#123456", "--save-palette", str(tmp_path / "p.gpl")]) == 0
    saved = palettes.read_gpl(tmp_path / "p.gpl")
    assert len(saved) == 5 and (0x12, 0x34, 0x56) in saved  # one entry left for transparency
    for name in ["a", "b"]:
        with Image.open(tmp_path / "out" / f"{name}.png") as im:
            assert im.mode == "P" and len(im.getpalette()) // 3 <= 6
            rgba = np.asarray(im.convert("RGBA"))
        opaque = {tuple(c) for c in rgba[rgba[..., 3] > 0][:, :3]}
        assert opaque <= set(saved) and (rgba[:5, :5, 3] == 0).all()
    # The palette file is replaced only when asked; nor read as an image.
    assert main([*args, "-f", "--shared-palette", "--save-palette", str(tmp_path / "p.gpl")]) == 0


@pytest.mark.parametrize("count", [5, 40])  # moved into the hull first, and not
def test_a_saved_palette_dithers_as_the_one_fitted_for_the_picture(photo, tmp_path, count):
    status, alone = run(tmp_path, photo[0], "-c", count)
    assert status == 0
    status, saved = run(tmp_path, photo[0], "-c", count, "--save-palette", tmp_path / "p.gpl")
    assert status == 0
    assert_array_equal(saved, alone)


def test_a_picture_of_one_colour_keeps_it(Image, tmp_path):
    Image.new("RGB", (6, 5), (12, 200, 99)).save(tmp_path / "flat.png")
    for method in [[], ["-m", "fs"]]:
        assert_array_equal(run(tmp_path, tmp_path / "flat.png", "-c", "4", *method)[1],
                           np.full((5, 6, 3), (12, 200, 99), np.uint8))


def test_palette_turns_gray_into_rgb_and_colors_fits_one(Image, tmp_path):
    Image.new("L", (8, 8), 90).save(tmp_path / "gray.png")
    assert run(tmp_path, tmp_path / "gray.png", "--palette", "#000,#f00")[0] == 0
    two = np.where(np.arange(64).reshape(8, 8, 1) % 3 == 0, [200, 30, 40], [10, 60, 220]).astype(np.uint8)
    Image.fromarray(two).save(tmp_path / "two.png")  # two colours get exactly themselves back
    assert_array_equal(run(tmp_path, tmp_path / "two.png", "--colors", "2")[1], two)


@pytest.mark.parametrize("args, message", [
    (["--method", "nope"], 'unknown dither method "nope"; valid values: '),
    (["--palette", "#000,#ggg"], "invalid hex color \"#ggg\"; expected '#rgb' or '#rrggbb'"),
    (["--palette", "no-such-palette"], "unknown palette"),
    (["--palette", "{tmp}/missing.gpl"], "missing.gpl: no such file"),
    (["--palette", "{tmp}/bad.hex"], "bad.hex: line 2: 'zz0000' is not a hex colour"),
    (["--palette", "{tmp}/range.gpl"], "range.gpl: line 3: 300 0 0 is out of range"),
    (["--palette", "{tmp}/short.pal"], "short.pal: the header says 3 colours, the file holds 1"),
    (["--palette", "{tmp}/bad.txt"], "bad.txt: line 2: '#ff0000' is not a colour like 'FFFF8000'"),
    (["--matrix", "3"], 'unknown dither matrix "3"'),
    (["--matrix", "bluenoise65"], "bluenoise64 (see --list)"),
    (["--matrix", "1,2;3"], "bad matrix"),
    (["--matrix", "4", "--method", "fs"], "--matrix"),
    (["--serpentine", "-m", "bayer4x4"], "--serpentine applies to error diffusion, not to ordered dither"),
    (["--seed", "3"], "--seed applies to random dither, not to error diffusion"),
    (["--colors", "4", "--palette", "bw"], "not allowed with"),
    (["--jobs", "0"], "--jobs"),
    (["--seed", str(2**130), "--method", "random"], "Python int larger than 128 bits"),
    (["--resize", "10x"], "--resize: expected a size like 800x480"),
    (["--fit", "8x8", "--resize", "8x8"], "give one of them"),
    (["--pad", "red"], "--pad applies to --fit"),
    (["--fit", "8x8", "--pad", "nocolour"], "--pad: expected a colour"),
    (["--background", "#12"], "--background: expected a colour"),
    (["--scale", "0"], "--scale must be a whole number, 1 or more"),
    (["--rotate", "45"], "--rotate turns by 90, 180 or 270 degrees, got 45"),
    (["-p", "bw", "--linear"], "the remap always diffuses in linear light"),
    (["-m", "remap", "-l", "3"], "the remap maps to a palette"),
    (["-m", "remap"], "the remap maps to a palette: give --palette or --colours"),
    (["-p", "bw", "--keep", "#000"], "--keep applies to --colours"),
    (["-c", "2", "--keep", "#000,#fff,#f00"], "more than --colours 2"),
    (["-c", "4", "--keep", "#00g"], "--keep: invalid hex colour"),
    (["-c", "4", "--effort", "11"], "--effort must be between 1 and 10"),
    (["-c", "4", "--save-palette", "{tmp}/p.txt"], "written as .gpl or .hex"),
    (["-p", "bw", "--shared-palette"], "--shared-palette applies to --colours"),
])
def test_bad_options_are_usage_errors(photo, tmp_path, capsys, args, message):
    (tmp_path / "bad.hex").write_text("#fff\nzz0000\n")
    (tmp_path / "range.gpl").write_text("GIMP Palette\n0 0 0\n300 0 0\n")
    (tmp_path / "short.pal").write_text("JASC-PAL\n0100\n3\n0 0 0\n")
    (tmp_path / "bad.txt").write_text("; paint.net\n#ff0000\n")
    assert run(tmp_path, photo[0], *(a.format(tmp=tmp_path) for a in args)) == (2, None)
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("argv", [
    ["only-one.png"], ["{dir}", "x.bmp"], ["a.png", "b.unknownext"], ["--demo", "d.png", "a.png"], [],
    ["a.png", "b.png", "c.png"],                                  # several paths, the last no folder
    ["{dir}/photo.png", "-o", "-"],                                # -o takes a folder
    ["{dir}/photo.png", "-o", "{dir}/photo.png"],                  # ... not a file
    ["{dir}/photo.png", "{dir}/x.png", "--format", "webp"],        # OUT names another format
    ["{dir}/photo.png", "{dir}/x.png", "--skip-existing", "-f"],
    ["{dir}/photo.png", "--suffix", "a/b"],
    ["{dir}/photo.png", "{dir}/x.png", "--dask", ""],
    ["{dir}/photo.png", "{dir}/x.png", "--dask", "nonsense"],     # no port (or no distributed)
    ["{dir}/photo.png", "{dir}/x.png", "--dask", "tcp://h:1", "-j", "2"],
])
def test_wrong_forms_are_usage_errors(photo, tmp_path, capsys, monkeypatch, argv):
    monkeypatch.chdir(tmp_path)
    assert main([a.format(dir=tmp_path) for a in argv]) == 2
    assert "grainel: error: " in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["photo.png"]


# Clockwise, exactly, and before sizing: the turned 24x32 photo fits 12x16 whole.
@pytest.mark.parametrize("turn, flags, expected", [
    ("90", [], lambda a: np.rot90(a, -1)), ("180", [], lambda a: a[::-1, ::-1]), ("270", [], lambda a: np.rot90(a)),
    ("90", ["--fit", "12x16", "--pad", "none"], lambda a: (16, 12)),
    ("0", ["--fit", "12x16", "--pad", "none"], lambda a: (9, 12)),
])
def test_rotate_turns_before_sizing(photo, tmp_path, turn, flags, expected):
    status, out = run(tmp_path, photo[0], "--rotate", turn, "-l", "256", "-s", "0", *flags)
    want = expected(photo[1])
    assert status == 0 and (out.shape[:2] == want if isinstance(want, tuple) else np.array_equal(out, want))


# Refused before any work, with the error that matters first: nothing is written.
@pytest.mark.parametrize("argv, message", [
    (["{dir}/photo.png", "{dir}/old.png", "-l", "4", "-p", "pico8"], "the remap maps to a palette"),
    (["{dir}/photo.png", "{dir}/new.png", "-c", "4", "--save-palette", "{dir}/old.gpl"],
     "old.gpl exists; use --force to replace it"),
    (["{dir}/photo.png", "{dir}/new.png", "-c", "4", "--save-palette", "{dir}/new.png", "-f"], "is also a result"),
    (["--demo", "{dir}/old.png"], "old.png exists; use --force to replace it"),
])
def test_usage_errors_come_before_any_work(photo, tmp_path, capsys, argv, message):
    (tmp_path / "old.png").write_bytes(b"mine")
    (tmp_path / "old.gpl").write_text("GIMP Palette\n0 0 0\n")
    assert main([a.format(dir=tmp_path) for a in argv]) == 2
    assert message in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["old.gpl", "old.png", "photo.png"]
    assert (tmp_path / "old.png").read_bytes() == b"mine"


def test_a_photo_of_4096_colours_is_a_palette(Image, photo, tmp_path):
    swatch = np.arange(4096 * 3, dtype=np.uint32).reshape(64, 64, 3) * 7 % 256  # a colour per pixel
    colors = np.stack([swatch[..., 0] // 16 * 16 + np.arange(64)[None] % 16,
                       swatch[..., 1], np.arange(4096).reshape(64, 64) // 16 % 256], -1).astype(np.uint8)
    assert len(np.unique(colors.reshape(-1, 3), axis=0)) == 4096
    Image.fromarray(colors).save(tmp_path / "swatch.png")
    status, out = run(tmp_path, photo[0], "-p", tmp_path / "swatch.png", "-m", "fs")
    assert status == 0 and set(map(tuple, out.reshape(-1, 3).tolist())) <= set(map(tuple, colors.reshape(-1, 3).tolist()))


def test_random_dither_shows_its_seed_once_and_uses_it_for_every_image(Image, photo, tmp_path, capsys):
    second = tmp_path / "second.png"
    Image.fromarray(photo[1][::-1]).save(second)
    assert main([str(photo[0]), str(second), "-o", str(tmp_path / "out"), "-m", "random"]) == 0
    (line,) = capsys.readouterr().err.splitlines()
    seed = int(line.split("--seed ")[1].split()[0])
    for src in [photo[0], second]:
        with Image.open(tmp_path / "out" / src.name) as out, Image.open(src) as im:
            assert_array_equal(np.asarray(out.convert("RGB")), grainel.random_dither(np.asarray(im), seed=seed))


def test_batch_keeps_going_past_bad_files(Image, photo, tmp_path, capsys):
    src, rgb = photo
    folder, out_dir, missing = tmp_path / "pics", tmp_path / "out", tmp_path / "missing.png"
    folder.mkdir()
    Image.fromarray(rgb).save(folder / "a.jpg")
    Image.fromarray(rgb).convert("P").save(folder / "b.gif")
    (folder / "broken.png").write_text("not an image")
    (folder / "notes.txt").write_text("skipped: not an image extension")
    assert main([str(folder), str(src), str(missing), "-o", str(out_dir), "--jobs", "2"]) == 1
    assert sorted(p.name for p in out_dir.iterdir()) == ["a.png", "b.png", "photo.png"]
    with Image.open(out_dir / "photo.png") as im:
        assert_array_equal(np.asarray(im.convert("RGB")), grainel.dither(rgb))
    err = capsys.readouterr().err.splitlines()
    assert sorted(err) == sorted(f"grainel: reading {p}: {why}" for p, why in [
        (folder / "broken.png", "not an image, or a format Pillow cannot read"), (missing, "no such file or directory")])


def test_demo_contact_sheet_goes_into_new_folders(Image, tmp_path):
    assert main(["--demo", str(tmp_path / "new" / "folder" / "demo.png")]) == 0
    with Image.open(tmp_path / "new" / "folder" / "demo.png") as sheet:  # 20 captioned tiles, 5 across
        assert sheet.format == "PNG" and sheet.size == (1008, 680)
        assert len(sheet.getcolors(1 << 16) or []) > 100


def test_installed_command_and_module():
    command = shutil.which("grainel", path=str(Path(sys.executable).parent))
    if command is None:
        pytest.skip("the grainel command is not installed beside this interpreter")
    for argv in [[command, "--version"], [sys.executable, "-m", "grainel_tools", "--version"]]:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout) == (0, f"grainel {grainel.__version__}\n"), done.stderr
    # A reader that stops early (`grainel --list | head`) ends the listing quietly, whether
    # the listing fails as it is printed or as it is flushed.
    for unbuffered in ["1", ""]:
        read_end, write_end = os.pipe()
        os.close(read_end)
        with os.fdopen(write_end, "wb") as closed_pipe:
            done = subprocess.run([sys.executable, "-m", "grainel_tools", "--list"], stdout=closed_pipe,
                                  stderr=subprocess.PIPE, text=True, timeout=60,
                                  env={**os.environ, "PYTHONUNBUFFERED": unbuffered})
        assert (done.returncode, done.stderr) == (1, ""), unbuffered


def test_stubs_match_the_module_and_the_tools_type_check(tmp_path):
    if importlib.util.find_spec("mypy") is None or importlib.util.find_spec("PIL") is None:
        pytest.skip("needs mypy and Pillow")
    env = {**os.environ, "MYPY_CACHE_DIR": str(tmp_path / "cache")}
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "grainel"], capture_output=True, text=True,
                          cwd=tmp_path, timeout=300, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    (tmp_path / "snippet.py").write_text(textwrap.dedent("""
        import numpy as np
        from PIL import Image
        import grainel
        from grainel_tools import palettes, read_image

        pil, gray = Image.new("RGB", (4, 4)), np.zeros((4, 4), dtype=np.uint8)
        reveal_type(grainel.dither(pil, "fs", palette=["#000", (255, 255, 255)]))
        reveal_type(grainel.error_diffusion(gray, levels=4, palette=palettes.named("cga")))
        reveal_type(grainel.ordered_dither(gray, [[0, 2], [3, 1]]))
        reveal_type(grainel.random_dither(read_image("x.png"), seed=1, palette=np.zeros((2, 3), int)))
        reveal_type(grainel.available_methods())
        grainel.dither(gray, palette="#000,#fff")  # refused
        grainel.dither([[0, 255]])  # refused: an int64 array at run time
        grainel.dither(np.zeros((2, 2)))  # refused: float64
    """))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "-p", "grainel_tools"],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "snippet.py"],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300, env=env)
    revealed = [line.split("Revealed type is ")[1] for line in done.stdout.splitlines() if "Revealed" in line]
    errors = {line.split(":")[1] for line in done.stdout.splitlines() if ": error:" in line}
    assert errors == {"13", "14", "15"} and len(revealed) == 5, done.stdout
    assert revealed[0] == revealed[3] == '"PIL.Image.Image"'
    assert all(t.startswith('"numpy.ndarray[') and ("8Bit" in t or "uint8" in t) for t in revealed[1:3])
    assert revealed[4].replace("builtins.", "") == '"list[str]"'
