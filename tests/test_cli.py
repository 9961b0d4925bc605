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

import grainel
from grainel_cli import main

GAMEBOY = [(15, 56, 15), (48, 98, 48), (139, 172, 15), (155, 188, 15)]


@pytest.fixture
def Image():
    return pytest.importorskip("PIL.Image")


@pytest.fixture
def photo(Image, tmp_path):
    """A small RGB picture with smooth gradients and noise, saved as PNG."""
    y, x = np.mgrid[0:24, 0:32]
    rgb = np.dstack([x * 8, y * 10, (x + y) * 4]) + np.random.default_rng(1).integers(0, 20, (24, 32, 3))
    rgb = rgb.clip(0, 255).astype(np.uint8)
    path = tmp_path / "photo.png"
    Image.fromarray(rgb).save(path)
    return path, rgb


def run(tmp_path, src, *options):
    """Run `grainel SRC [options] OUT` with OUT last, as people type it."""
    out = tmp_path / "out.png"
    return main([str(src), *map(str, options), str(out)]), out


def read(Image, path):
    with Image.open(path) as im:
        return im.mode, np.asarray(im)


def test_version_and_list(capsys):
    assert main(["--version"]) == 0
    assert capsys.readouterr().out == f"grainel {grainel.__version__}\n"
    assert main(["--list"]) == 0
    listed = capsys.readouterr().out.split()
    for name in [*grainel.available_methods(), *grainel.available_matrices(),
                 "random", "bw", "gameboy", "cga", "pico8", "web"]:
        assert name in listed


def test_help_describes_every_option(capsys):
    assert main(["--help"]) == 0
    text = capsys.readouterr().out
    for flag in ["--method", "--levels", "--palette", "--colors", "--matrix", "--seed",
                 "--strength", "--serpentine", "--linear", "--no-preserve-alpha",
                 "--jobs", "--output-dir", "--demo", "--list"]:
        assert flag in text


@pytest.mark.parametrize("args, expected", [
    ([], lambda a: grainel.dither(a)),
    (["--method", "atkinson", "--levels", "3", "--serpentine"],
     lambda a: grainel.dither(a, "atkinson", levels=3, serpentine=True)),
    (["--method", "random", "--seed", "5"], lambda a: grainel.random_dither(a, seed=5)),
    (["--method", "bayer2x2"], lambda a: grainel.ordered_dither(a, 2)),
    (["--matrix", "bayer4x4", "--strength", "0.5"],
     lambda a: grainel.ordered_dither(a, 4, strength=0.5)),
    (["--matrix", "0,2;3,1"], lambda a: grainel.ordered_dither(a, [[0, 2], [3, 1]])),
    (["--matrix", "0.2,0.8;0.6,0.4"],
     lambda a: grainel.ordered_dither(a, np.array([[0.2, 0.8], [0.6, 0.4]]))),
    (["--linear", "--levels", "4", "--method", "sierra-lite"],
     lambda a: grainel.dither(a, "sierra_lite", levels=4, linear=True)),
])
def test_options_reach_the_library(Image, photo, tmp_path, args, expected):
    src, rgb = photo
    status, out = run(tmp_path, src, *args)
    assert status == 0
    mode, pixels = read(Image, out)
    assert mode == "RGB"
    np.testing.assert_array_equal(pixels, expected(rgb))


def test_matrix_from_npy_file(Image, photo, tmp_path):
    src, rgb = photo
    matrix = np.array([[0, 8, 2], [6, 4, 7], [3, 5, 1]])
    np.save(tmp_path / "m.npy", matrix)
    status, out = run(tmp_path, src, "--matrix", tmp_path / "m.npy")
    assert status == 0
    np.testing.assert_array_equal(read(Image, out)[1], grainel.ordered_dither(rgb, matrix))


@pytest.mark.parametrize("flag, alpha_kept", [([], True), (["--no-preserve-alpha"], False)])
def test_alpha_channel(Image, tmp_path, flag, alpha_kept):
    rgba = np.random.default_rng(2).integers(0, 256, (16, 16, 4), dtype=np.uint8)
    Image.fromarray(rgba).save(tmp_path / "in.png")
    assert run(tmp_path, tmp_path / "in.png", *flag)[0] == 0
    mode, out = read(Image, tmp_path / "out.png")
    assert mode == "RGBA"
    if alpha_kept:
        np.testing.assert_array_equal(out[..., 3], rgba[..., 3])
    else:
        assert set(np.unique(out[..., 3])) <= {0, 255}


def _transparent_p(Image):
    im = Image.fromarray(np.tile(np.arange(16, dtype=np.uint8), (8, 1)), "P")
    im.putpalette([v for i in range(16) for v in (i * 16, 255 - i * 16, 128)])
    im.info["transparency"] = 0
    return im


@pytest.mark.parametrize("make, ext, mode", [
    (_transparent_p, ".png", "RGBA"),
    (lambda Image: Image.new("1", (8, 8), 1), ".bmp", "L"),
    (lambda Image: Image.new("RGB", (8, 8), (200, 10, 90)).convert("CMYK"), ".tif", "RGB"),
    (lambda Image: Image.new("LA", (8, 8), (100, 50)), ".png", "LA"),
])
def test_other_modes_are_converted(Image, tmp_path, make, ext, mode):
    src = tmp_path / f"in{ext}"
    make(Image).save(src)
    assert run(tmp_path, src)[0] == 0
    out_mode, out = read(Image, tmp_path / "out.png")
    assert out_mode == mode
    if mode == "RGBA":  # the transparent palette index stays transparent
        assert (out[:, 0, 3] == 0).all() and (out[:, 1:, 3] == 255).all()


def test_sixteen_bit_gray_is_scaled_not_clipped(Image, tmp_path):
    ramp = np.tile(np.linspace(0, 65535, 64).astype(np.uint16), (4, 1))
    Image.fromarray(ramp).save(tmp_path / "deep.png")
    assert run(tmp_path, tmp_path / "deep.png")[0] == 0
    mode, out = read(Image, tmp_path / "out.png")
    assert mode == "L"
    assert out[:, :8].mean() < 64 and out[:, -8:].mean() > 192  # dark stays dark


def _palette_files(Image, tmp_path):
    gpl = tmp_path / "gb.gpl"
    gpl.write_text("GIMP Palette\nName: gb\nColumns: 4\n#\n"
                   + "".join(f"{r:3} {g:3} {b:3}\tshade {i}\n" for i, (r, g, b) in enumerate(GAMEBOY)))
    hexfile = tmp_path / "gb.hex"
    hexfile.write_text("".join("%02x%02x%02x\n" % c for c in GAMEBOY) + "\n")
    swatch = tmp_path / "gb-swatch.png"  # repeated colours count once
    Image.fromarray(np.array([GAMEBOY * 2], dtype=np.uint8)).save(swatch)
    indexed = tmp_path / "gb-indexed.png"  # only the entries in use count
    im = Image.fromarray(np.array([[4, 5, 6, 7, 7]], dtype=np.uint8), "P")
    im.putpalette([255, 0, 0] * 4 + [v for c in GAMEBOY for v in c] + [0, 0, 255] * 4)
    im.save(indexed)
    return {"gpl": gpl, "hex": hexfile, "image": swatch, "indexed": indexed}


@pytest.mark.parametrize("form", ["named", "hexlist", "gpl", "hex", "image", "indexed"])
def test_palette_forms(Image, photo, tmp_path, form):
    src, rgb = photo
    spec = {"named": "gameboy",
            "hexlist": ",".join("#%02x%02x%02x" % c for c in GAMEBOY)}.get(form)
    spec = spec or _palette_files(Image, tmp_path)[form]
    assert run(tmp_path, src, "--palette", spec)[0] == 0
    np.testing.assert_array_equal(read(Image, tmp_path / "out.png")[1],
                                  grainel.dither(rgb, palette=GAMEBOY))


def test_palette_on_gray_image_gives_rgb(Image, tmp_path):
    Image.new("L", (8, 8), 90).save(tmp_path / "gray.png")
    assert run(tmp_path, tmp_path / "gray.png", "--palette", "#000,#fff")[0] == 0
    assert read(Image, tmp_path / "out.png")[0] == "RGB"


def test_adaptive_palette(Image, photo, tmp_path):
    src, rgb = photo
    assert run(tmp_path, src, "--colors", "6")[0] == 0
    colors = np.unique(read(Image, tmp_path / "out.png")[1].reshape(-1, 3), axis=0)
    assert 2 <= len(colors) <= 6
    # A two-colour picture gets exactly its own two colours back.
    two = np.where(np.arange(64).reshape(8, 8, 1) % 3 == 0, [200, 30, 40], [10, 60, 220])
    Image.fromarray(two.astype(np.uint8)).save(tmp_path / "two.png")
    assert run(tmp_path, tmp_path / "two.png", "--colors", "2")[0] == 0
    np.testing.assert_array_equal(read(Image, tmp_path / "out.png")[1], two)
    # A flat picture has one colour, below grainel's minimum palette size.
    Image.new("RGB", (8, 8), (30, 140, 90)).save(tmp_path / "flat.png")
    assert run(tmp_path, tmp_path / "flat.png", "--colors", "4")[0] == 0
    assert (read(Image, tmp_path / "out.png")[1] == [30, 140, 90]).all()


@pytest.mark.parametrize("args, message", [
    (["--method", "nope"], 'unknown dither method "nope"; valid values: '),
    (["--levels", "1"], "levels must be between 2 and 256, got 1"),
    (["--strength", "1.5"], "strength must be between 0.0 and 1.0, got 1.5"),
    (["--palette", "bw", "--levels", "4"], "pass either levels or palette, not both"),
    (["--palette", "#000,#ggg"], "invalid hex color \"#ggg\"; expected '#rgb' or '#rrggbb'"),
    (["--palette", "no-such-palette"], "unknown palette"),
    (["--matrix", "3"], 'unknown dither matrix "3"'),
    (["--matrix", "1,2;3"], "bad matrix"),
    (["--matrix", "4", "--method", "fs"], "--matrix"),
    (["--colors", "4", "--palette", "bw"], "not allowed with"),
    (["--colors", "1"], "--colors"),
    (["--jobs", "0"], "--jobs"),
    (["--seed", str(2 ** 130), "--method", "random"], "Python int larger than 128 bits"),
])
def test_bad_options_are_usage_errors(Image, photo, tmp_path, capsys, args, message):
    status, out = run(tmp_path, photo[0], *args)
    assert status == 2
    assert message in capsys.readouterr().err
    assert not out.exists()


@pytest.mark.parametrize("argv", [["only-one.png"], ["{dir}", "x.png"], ["a.png", "b.unknownext"],
                                  ["--demo", "d.png", "a.png"], []])
def test_wrong_forms_are_usage_errors(Image, tmp_path, capsys, argv):
    assert main([a.format(dir=tmp_path) for a in argv]) == 2
    assert "grainel: error: " in capsys.readouterr().err


def test_batch_keeps_going_past_bad_files(Image, photo, tmp_path, capsys):
    src, rgb = photo
    folder = tmp_path / "pics"
    folder.mkdir()
    Image.fromarray(rgb).save(folder / "a.jpg")
    Image.fromarray(rgb).convert("P").save(folder / "b.gif")
    (folder / "broken.png").write_text("not an image")
    (folder / "notes.txt").write_text("skipped: not an image extension")
    missing = tmp_path / "missing.png"
    out_dir = tmp_path / "out"
    status = main([str(folder), str(src), str(missing), "-o", str(out_dir), "--jobs", "2"])
    assert status == 1
    assert sorted(p.name for p in out_dir.iterdir()) == ["a.png", "b.png", "photo.png"]
    np.testing.assert_array_equal(read(Image, out_dir / "photo.png")[1], grainel.dither(rgb))
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 2
    assert any(line.startswith(f"grainel: {folder / 'broken.png'}: ") for line in err)
    assert any(line.startswith(f"grainel: {missing}: ") for line in err)


def test_demo_contact_sheet(Image, tmp_path):
    assert main(["--demo", str(tmp_path / "demo.png")]) == 0
    with Image.open(tmp_path / "demo.png") as sheet:
        # 20 tiles of 192x144 with captions, 5 across, in an 8-pixel grid.
        assert sheet.format == "PNG" and sheet.size == (1008, 680)
        assert len(sheet.getcolors(1 << 16) or []) > 100


def test_installed_command_and_module(Image, photo, tmp_path):
    command = shutil.which("grainel", path=str(Path(sys.executable).parent))
    if command is None:
        pytest.skip("the grainel command is not installed beside this interpreter")
    done = subprocess.run([command, "--version"], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, f"grainel {grainel.__version__}\n")
    out = tmp_path / "viamodule.gif"
    done = subprocess.run([sys.executable, "-m", "grainel_cli", str(photo[0]), str(out),
                           "--palette", "pico8"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert out.exists()


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    return str(tmp_path_factory.mktemp("mypy-cache"))


def test_stubs_match_the_module(mypy_cache, tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "grainel"],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300,
                          env={**os.environ, "MYPY_CACHE_DIR": mypy_cache})
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_overloads_follow_the_input_kind(mypy_cache, tmp_path):
    pytest.importorskip("PIL")
    snippet = tmp_path / "snippet.py"
    snippet.write_text(textwrap.dedent("""
        import numpy as np
        from PIL import Image
        import grainel

        pil = Image.new("RGB", (4, 4))
        arr = np.zeros((4, 4), dtype=np.uint8)
        reveal_type(grainel.dither(pil, "fs", palette=["#000", (255, 255, 255)]))
        reveal_type(grainel.error_diffusion(arr, levels=4))
        reveal_type(grainel.ordered_dither([[0, 255]], 4))
        reveal_type(grainel.random_dither(pil, seed=1))
        reveal_type(grainel.available_methods())
    """))
    done = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", mypy_cache,
                           "--strict", str(snippet)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    revealed = [line.split("Revealed type is ")[1] for line in done.stdout.splitlines()
                if "Revealed type is" in line]
    assert len(revealed) == 5, done.stdout
    assert revealed[0] == revealed[3] == '"PIL.Image.Image"'
    for array in revealed[1:3]:
        assert array.startswith('"numpy.ndarray[') and ("8Bit" in array or "uint8" in array)
    assert revealed[4].replace("builtins.", "") == '"list[str]"'
    assert "error" not in done.stdout
