"""The `grainel` command and its helpers with real files: no file is ever half-written or
overwritten unasked, folders and pipes, where results go, and a Dask cluster."""

import contextlib
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
from file_cases import GRAY, PNG_BYTES, RGB, Image, files_in, grainel_cmd, pics, pixels  # noqa: F401

pytestmark = pytest.mark.architecture_neutral

from grainel_tools import fit_palette, main, mix_dither, palettes, remap  # noqa: E402  (after the skip: the tools need Pillow)

# Ctrl-C, SIGTERM, a second signal, a full disk: no output is ever left half-written. A
# stop needs no running step to finish: a child waiting for an image that never comes
# ends too.
@pytest.mark.parametrize("sig, batch, fed", [(signal.SIGINT, True, False), (signal.SIGTERM, False, True)])
def test_a_signal_stops_the_run_and_leaves_no_file(pics, sig, batch, fed):
    fifo, out = pics / "slow.png", pics / "out"
    os.mkfifo(fifo)  # reading it waits for this test: the child is caught mid-image
    args = [fifo, pics / "a.png", pics / "b.png", "-o", out, "-j", 1] if batch else [fifo, out / "x.png"]
    out.mkdir()
    child = grainel_cmd(*args)
    with open(fifo, "wb", buffering=0) as feed:
        child.send_signal(sig)
        time.sleep(0.5)
        child.send_signal(sig)
        with contextlib.suppress(BrokenPipeError):  # gone already, without reading it
            feed.write(PNG_BYTES.getvalue() if fed else b"")
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
    assert_array_equal(pixels(io.BytesIO(done.stdout)), remap(RGB, palettes.named("cga")))
    (tmp_path / "in.png").write_bytes(PNG_BYTES.getvalue())
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 300)  # what a 14000x14000 scan meets by default
    for limit, status in [("0", 0), ("700", 1)]:
        assert main([str(tmp_path / "in.png"), str(tmp_path / f"out{limit}.png"), "--max-pixels", limit]) == status
    assert "32x24 is over the limit of 700 pixels" in capsys.readouterr().err


def readme_block(heading):
    text = (Path(__file__).parents[2] / "README.md").read_text()
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


# Pages of their own sizes: kept by TIFF, refused where frames share one canvas.
@pytest.mark.parametrize("first, again, made", [
    (["a.png", "b.png", "new/"], None, ["new/a.png", "new/b.png"]),
    (["a.png", "old"], None, ["old/a.png"]),
    (["-p", "pico8", "--", "-dash.png", "o.png"], None, ["o.png"]),
    (["a.png", "b.png", "--suffix", "-dithered"], None, ["a-dithered.png", "b-dithered.png"]),
    ([".", "--suffix", "-d"], [".", "--suffix", "-d", "--skip-existing"], ["-dash-d.png", "a-d.png", "b-d.png"]),
    (["-r", "tree", "-o", "tree/out"], ["-r", "tree", "-o", "tree/out", "-f"], ["tree/out/c.png"]),
    (["a.png", "b.png", "-o", "x"], ["a.png", "b.png", "-o", "x", "--skip-existing"], ["x/a.png", "x/b.png"]),
])
def test_where_results_go(pics, monkeypatch, capsys, first, again, made):
    monkeypatch.chdir(pics)
    (pics / "old").mkdir()
    (pics / "tree").mkdir()
    for name in ["-dash.png", "tree/c.png"]:
        Image.fromarray(RGB).save(pics / name)
    before = files_in(pics)
    assert main(first) == 0
    if again:
        stamps = {p: p.stat().st_mtime_ns for p in pics.rglob("*.png")}
        assert main(again) == 0
        if "--skip-existing" in again:
            assert {p: p.stat().st_mtime_ns for p in pics.rglob("*.png")} == stamps
            assert "exist already and were skipped" in capsys.readouterr().err
    assert sorted(set(files_in(pics)) - set(before)) == made


@pytest.mark.parametrize("call, error, message", [
    (lambda h, p: h.write_image(RGB.astype(float), p), TypeError, "image must hold uint8 values, not float64"),
    (lambda h, p: h.write_image(RGB[..., :0], p), ValueError, "image must have the shape"),
    (lambda h, p: h.write_image(Image.new("F", (4, 4)), p), ValueError, "image: floating-point images"),
    (lambda h, p: h.write_image(Image.new("L", (0, 0)), p), ValueError, "image is empty (0x0)"),
    (lambda h, p: h.write_picture(Image.new("L", (4, 4)), p), TypeError, "picture must be a Picture"),
    (lambda h, p: h.write_picture(h.Picture([]), p), ValueError, "picture has no frames"),
    (lambda h, p: h.Picture([Image.new("L", (4, 4))] * 3, [100]), ValueError, "durations holds 1 value(s) for 3"),
    (lambda h, p: h.write_image(RGB, p.parent / "a.png"), h_FileError := None, "use replace=True"),
    (lambda h, p: h.read_image(None), TypeError, "source must be a path or a binary file, not NoneType"),
    (lambda h, p: h.palettes.named(None), TypeError, "name must be a str"),
    (lambda h, p: h.palettes.from_image(None), TypeError, "im must be a PIL image or a uint8 array"),
    (lambda h, p: h.palettes.adaptive(None, 4), TypeError, "im must be a PIL image"),
    (lambda h, p: h.palettes.adaptive(RGB, 1), ValueError, "count must be from 2 to 256"),
    (lambda h, p: h.palettes.read_hex(p.parent / "p.gpl"), ValueError, "p.gpl: line 1: 'GIMP Palette' is not"),
])
def test_python_helpers_refuse_wrong_input_by_name(pics, call, error, message):
    import grainel_tools as helpers

    (pics / "p.gpl").write_text("GIMP Palette\n0 0 0\n")
    with pytest.raises(error or helpers.FileError, match=re.escape(message)):
        call(helpers, pics / "out.png")
    assert not (pics / "out.png").exists()


def test_python_helpers_take_arrays_wherever_they_take_images(tmp_path):
    from grainel_tools import Picture, read_image, write_image, write_picture

    flat = np.full((4, 4, 3), 90, np.uint8)
    assert palettes.adaptive(flat, 4) == [(90, 90, 90), (255, 255, 255)]  # two colours, not one twice
    assert palettes.from_image(RGB[:1, :3]) == [tuple(c) for c in RGB[0, :3].tolist()]
    write_image(grainel.dither(RGB, palette=palettes.named("pico8")), tmp_path / "a.png")
    write_picture(Picture([GRAY, GRAY[::-1]], durations=[50, 50]), tmp_path / "b.gif")
    assert_array_equal(np.asarray(read_image(tmp_path / "a.png")), grainel.dither(RGB, palette=palettes.named("pico8")))
    assert_array_equal(np.asarray(read_image(tmp_path / "b.gif").convert("L")), GRAY)


def test_dask_failures_are_reported_without_a_traceback(tmp_path, capsys, monkeypatch):
    import socket
    import threading

    Image.fromarray(RGB).save(tmp_path / "a.png")
    argv = [str(tmp_path / "a.png"), str(tmp_path / "o.png"), "--dask"]
    monkeypatch.setitem(sys.modules, "distributed", None)  # as if it were not installed
    assert main([*argv, "tcp://127.0.0.1:8786"]) == 2
    assert "--dask needs Dask's distributed package" in capsys.readouterr().err
    monkeypatch.undo()
    pytest.importorskip("distributed")
    with socket.create_server(("127.0.0.1", 0)) as server:  # answers, but not as a scheduler
        server.settimeout(120)

        def answer():
            with server.accept()[0] as conn:
                conn.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n" * 40)
        answering = threading.Thread(target=answer)
        answering.start()
        # In a child: a Dask client that fails to connect leaves its event-loop thread running.
        child = grainel_cmd(*argv, f"tcp://127.0.0.1:{server.getsockname()[1]}")
        err = child.communicate(timeout=120)[1]
        answering.join()
    assert child.returncode == 1
    assert err.startswith("grainel: connecting to tcp://127.0.0.1:") and "Traceback" not in err
    assert len(err.splitlines()) == 1 and not (tmp_path / "o.png").exists()


# 16-bit gray is scaled by its depth, as grainel.dither scales it, not clipped to white by Pillow.
@pytest.mark.parametrize("mode", ["I;16", "I;16B", "I;16L"])
@pytest.mark.parametrize("helper", [
    lambda im: remap(im, palettes.named("grays16")),
    lambda im: mix_dither(im, palettes.named("grays16")),
    lambda im: fit_palette(im, 4),
])
def test_helpers_scale_16_bit_gray(mode, helper):
    ramp = np.linspace(0, 65535, 64).astype(">u2" if mode == "I;16B" else "<u2").reshape(8, 8)
    out = np.asarray(helper(Image.frombytes(mode, (8, 8), ramp.tobytes())))
    assert 80 < out.mean() < 175 and ((out > 40) & (out < 215)).any()  # no white, nor black and white only


# A GIF whose canvas is far larger than its data could fill is refused before Pillow
# paints it: it took seconds and gigabytes. A highly compressed whole picture still reads.
def test_a_gif_claiming_a_huge_canvas_is_a_read_error(tmp_path):
    import struct

    Image.new("P", (1500, 1500)).save(tmp_path / "whole.gif")
    one_pixel = io.BytesIO()
    Image.new("P", (1, 1)).save(one_pixel, "GIF")
    (tmp_path / "t.gif").write_bytes(one_pixel.getvalue()[:6] + struct.pack("<HH", 12000, 12000)
                                     + one_pixel.getvalue()[10:])
    peaks, errors = [], []
    for name in ["whole.gif", "t.gif"]:
        child = grainel_cmd(tmp_path / name, tmp_path / f"o-{name}.png")
        _, status, usage = os.wait4(child.pid, 0)
        peaks.append(usage.ru_maxrss)  # KiB
        errors.append((os.waitstatus_to_exitcode(status), child.stderr.read()))
    assert errors == [(0, ""), (1, f"grainel: reading {tmp_path / 't.gif'}: truncated: its image data, "
                                   "4 bytes, cannot fill its 12000x12000 canvas\n")]
    assert peaks[1] < peaks[0] + 100_000 and not (tmp_path / "o-t.gif.png").exists()
