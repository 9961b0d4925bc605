"""E-paper panels: dithered to the colours they show, written in the colours they are sent, and the
packed files their drivers read."""

import dataclasses
import os
import shutil
import subprocess

import numpy as np
import pytest

import grainel

pytest.importorskip("PIL")

from PIL import Image  # noqa: E402

from grainel_tools import main, mix_dither, palettes, panels, remap  # noqa: E402
from grainel_tools.errors import FormatError, PaletteError  # noqa: E402
from grainel_tools.packed import c_header, c_name, pack, unpack  # noqa: E402
from grainel_tools.srgb import LINEAR, srgb_bytes  # noqa: E402
from grainel_tools.tone import Tone, linear_of, oklab, tone_map  # noqa: E402

RNG = np.random.default_rng(43)
PHOTO = RNG.integers(0, 256, (24, 40, 3), dtype=np.uint8)
PHOTO[:, :20] = np.linspace(0, 255, 20, dtype=np.uint8)[None, :, None] * np.array([1, 0.6, 0.2])


def header_bytes(text):
    """The bytes of a C header's array."""
    return bytes(int(v, 16) for v in text.split("{")[1].split("}")[0].replace(",", " ").split())


# Each depth, both bit orders, padded rows and rows that run on; the first bytes say where the
# first pixel went.
@pytest.mark.parametrize("bits, msb_first, pad_rows, width, first_byte", [
    (1, True, True, 13, 0x80), (1, False, True, 13, 0x01), (2, True, False, 12, 0x40),
    (2, False, True, 7, 0x01), (4, True, True, 5, 0x10), (4, False, False, 6, 0x01), (8, True, True, 3, 0x01),
])
def test_packed_indices_round_trip(bits, msb_first, pad_rows, width, first_byte):
    indices = RNG.integers(0, 1 << bits, (5, width), dtype=np.uint8)
    indices[0, :8 // bits] = 0
    indices[0, 0] = 1
    data = pack(indices, bits, msb_first=msb_first, pad_rows=pad_rows)
    row = -(-width * bits // 8)
    assert len(data) == (5 * row if pad_rows else 5 * width * bits // 8)
    assert data[0] == first_byte
    assert np.array_equal(unpack(data, width, 5, bits, msb_first=msb_first, pad_rows=pad_rows), indices)


# The same picture through each panel's appearance and through the panel: the very same
# indices, written as the sent colours.
@pytest.mark.parametrize("name", ["spectra6", "acep7", "epd_bwr", "epd_gray4"])
@pytest.mark.parametrize("dither", [remap, mix_dither])
def test_indices_are_the_same_through_seen_and_nominal(name, dither):
    panel = panels.named(name)
    as_seen = dither(PHOTO, panel.appearance)
    written = dither(PHOTO, panel)
    assert np.array_equal(panel.indices(written), panel.indices(as_seen, "appearance"))
    assert {tuple(c) for c in written.reshape(-1, 3)} <= set(panel.sent)
    assert np.array_equal(panel.seen_of(written), np.array(panel.seen, np.uint8)[panel.indices(written)])


def test_a_panel_dithers_to_what_it_shows():
    # A mid grey through the measured Spectra 6: the adapted white is full white and the black
    # near black, so a grey of the same light takes some of each, unlike the nominal palette's
    # choice of its own; and a remeasured panel dithers differently.
    panel = panels.named("spectra6")
    assert panel.appearance[1] == (255, 255, 255) and max(panel.appearance[0]) < 8
    grey = np.full((32, 32, 3), 150, np.uint8)
    shares = np.bincount(panel.indices(remap(grey, panel)).ravel(), minlength=6) / grey[..., 0].size
    assert 0.25 < shares[1] < 0.75 and shares[0] > 0.1
    again = panel.with_seen(panels.SPECTRA6_SECOND)
    assert not np.array_equal(remap(PHOTO, again), remap(PHOTO, panel))


@pytest.mark.parametrize("tone", [Tone(), Tone(contrast=1.0, lift=1.0), Tone(contrast=-1.0, exposure=1.0),
                                  Tone(saturation=2.0, knee=0.0)])
def test_the_tone_map_is_monotone(tone):
    panel = panels.named("acep7")
    lightness = oklab(LINEAR[tone_map(np.repeat(np.arange(256, dtype=np.uint8), 3).reshape(1, 256, 3),
                                      panel, tone)[0]])[:, 0]
    assert np.all(np.diff(lightness) >= -1e-9) and lightness[-1] > lightness[0] + 0.3
    # Ever more of one hue at one light: ever more chroma on the panel (to the bytes' precision),
    # and more with more saturation.
    chroma = np.linspace(0.0, 0.15, 64)
    ramp = srgb_bytes(linear_of(np.stack([np.full(64, 0.6), chroma * 0.8, chroma * 0.6], -1)))[None]
    shown = [np.hypot(*oklab(LINEAR[tone_map(ramp, panel, dataclasses.replace(tone, saturation=s))[0]])[:, 1:].T)
             for s in (tone.saturation, tone.saturation + 0.5)]
    assert np.all(np.diff(shown[0]) >= -0.004) and np.all(shown[1] >= shown[0] - 0.004)
    assert shown[0][-1] > shown[0][0] + 0.02


def test_mismatched_or_unknown_panels_are_refused():
    with pytest.raises(PaletteError, match="5 seen colours for 6 sent ones"):
        panels.named("spectra6").with_seen(panels.SPECTRA6_SECOND[:5])
    with pytest.raises(PaletteError, match="unknown panel 'spectra7'; panels: spectra6"):
        panels.named("spectra7")
    with pytest.raises(FormatError, match="a row of 5 pixels at 4 bits"):
        pack(np.zeros((2, 5), np.uint8), 4, pad_rows=False)


@pytest.mark.parametrize("argv, message", [
    (["--panel", "spectra6", "--seen", "#000,#fff"], "2 seen colours for 6 sent ones"),
    (["--panel", "kindle"], "unknown panel 'kindle'"),
    (["--panel", "acep7", "--format", "raw4", "--no-row-padding"], "a row of 33 pixels at 4 bits"),
    (["--panel", "acep7", "--format", "raw2"], "2 bits a pixel hold 4 colours, the palette has 7"),
    (["-p", "pico8", "--saturation", "1.2"], "--saturation applies to a panel"),
    (["--panel", "acep7", "--tone", "none", "--contrast", "0.2"], "--tone none leaves out"),
    (["-p", "#000,#fff,#f00", "--seen", "#111,#eee"], "2 seen colours for 3 sent ones"),
    (["--panel", "epd_bwr", "--format", "raw2", "--preview", "{dir}/in.png", "-f"], "would replace the input"),
])
def test_the_command_line_refuses_what_cannot_be_written(tmp_path, capsys, argv, message):
    src = tmp_path / "in.png"
    Image.fromarray(PHOTO[:, :33]).save(src)
    assert main([str(src), str(tmp_path / "panel.bin"), *[a.format(dir=tmp_path) for a in argv]]) in (1, 2)
    assert message in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.png"]


def test_a_panel_run_writes_what_its_driver_reads(tmp_path):
    src = tmp_path / "photo.png"
    Image.fromarray(PHOTO).save(src)
    common = [str(src), "--panel", "spectra6", "--fit", "800x480"]
    assert main([*common, str(tmp_path / "panel.bin"), "--format", "raw4", "--preview", str(tmp_path / "seen.png")]) == 0
    assert main([*common, str(tmp_path / "panel.png")]) == 0
    assert main([*common, str(tmp_path / "panel.h"), "--bit-order", "lsb"]) == 0
    data = (tmp_path / "panel.bin").read_bytes()
    assert len(data) == 192_000
    with Image.open(tmp_path / "panel.png") as im:
        assert im.mode == "P" and im.getpalette()[:18] == [v for c in panels.named("spectra6").sent for v in c]
        indices = np.asarray(im)
    assert np.array_equal(unpack(data, 800, 480, 4), indices)
    header = (tmp_path / "panel.h").read_text()
    assert "#define PANEL_WIDTH 800" in header and "panel_data[192000]" in header
    assert np.array_equal(unpack(header_bytes(header), 800, 480, 4, msb_first=False), indices)
    with Image.open(tmp_path / "seen.png") as im:
        seen = np.asarray(im.convert("RGB"))
    assert np.array_equal(seen, np.array(panels.named("spectra6").seen, np.uint8)[indices])


# A header is named after its file, so that one program can hold several.
@pytest.mark.parametrize("stem, name", [("panel", "panel"), ("Logo-2 small", "Logo_2_small"),
                                        ("8x8", "image_8x8"), ("--", "image"), ("pic.v2", "pic_v2")])
def test_a_header_takes_its_names_from_its_file(stem, name):
    header = c_header(bytes(3), 6, 2, 4, name=c_name(stem)).decode()
    assert f"#define {name.upper()}_HEIGHT 2" in header and f" {name}_data[3] = " in header


@pytest.mark.skipif(not shutil.which("cc"), reason="no C compiler")
def test_two_headers_go_into_one_program(tmp_path):
    for stem in ("front", "back"):
        (tmp_path / f"{stem}.h").write_bytes(c_header(bytes(range(8)), 4, 4, 4, name=c_name(stem)))
    (tmp_path / "both.c").write_text('#include "front.h"\n#include "back.h"\n'
                                     "int main(void) { return front_data[FRONT_WIDTH] + back_data[BACK_BITS]; }\n")
    # The compiler and the program are not the code under test: no sanitizer preloaded into them.
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    run = subprocess.run(["cc", "-Wall", "-Werror", "-o", str(tmp_path / "both"), str(tmp_path / "both.c")],
                         capture_output=True, text=True, env=plain)
    assert run.returncode == 0, run.stderr
    assert subprocess.run([str(tmp_path / "both")], env=plain).returncode == 4 + 4


# Greyscale panels: their greys as a palette, packed by index at the depth that holds them.
@pytest.mark.parametrize("palette, fmt, bits", [("bw", "raw1", 1), ("grays4", "raw2", 2), ("grays8", "raw4", 4),
                                                ("grays16", "cheader", 4)])
def test_grey_panels_are_packed_by_index(tmp_path, palette, fmt, bits):
    src = tmp_path / "grey.png"
    Image.fromarray(PHOTO[..., 0]).save(src)
    assert main([str(src), str(tmp_path / "grey.png.out"), "-p", palette, "--format", fmt]) == 0
    assert main([str(src), str(tmp_path / "grey.bmp"), "-p", palette]) == 0
    data = (tmp_path / "grey.png.out").read_bytes()
    if fmt == "cheader":
        data = header_bytes(data.decode())
    with Image.open(tmp_path / "grey.bmp") as im:
        levels = np.asarray(im.convert("L"))
    greys = np.array(palettes.named(palette))[:, 0]
    assert np.array_equal(greys[unpack(data, 40, 24, bits)], levels) and len(np.unique(levels)) > 1


def _diffused(image, panel):
    return panel.sent_of(grainel.dither(image, palette=panel.appearance, serpentine=True, linear=True))


@pytest.mark.parametrize("name, argv, library", [
    ("acep7", [], lambda image, panel: _diffused(tone_map(image, panel), panel)),
    ("spectra6", ["--tone", "none"], _diffused),
    ("spectra6", ["--tone", "none", "-m", "remap"], remap),
])
def test_the_command_line_dithers_a_panel_as_the_library_does(tmp_path, name, argv, library):
    # The colours dithered to are the panel's appearance, not the colours written; unless a
    # method is named, by the way that measured best.
    src, out = tmp_path / "photo.png", tmp_path / "out.png"
    Image.fromarray(PHOTO).save(src)
    assert main([str(src), str(out), "--panel", name, *argv]) == 0
    with Image.open(out) as im:
        written = np.asarray(im.convert("RGB"))
    assert np.array_equal(written, library(PHOTO, panels.named(name)))
