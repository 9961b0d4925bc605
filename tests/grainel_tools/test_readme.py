"""Every example in README.md and the pages of docs/ runs as written: each Python block in a fresh
namespace, and each `grainel` command line, in a folder of its own that holds the files the
examples name.

A reader who copies an example should not meet an error the text no longer matches. The Python
blocks may assume what the README says they assume: the first block's imports and `gray`, and a
`photo` (an RGB uint8 array) and its `frames`."""

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import grainel

pytestmark = pytest.mark.architecture_neutral

Image = pytest.importorskip("PIL.Image")

ROOT = Path(__file__).parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# A fence may be indented, inside a list item.
FENCE = re.compile(r"^( *)```(\w*)\n(.*?)^\1```", re.M | re.S)

# What an example needs that a test cannot give it: it is skipped, not run.
NOT_RUN = {
    "dask": "needs a Dask cluster",
    "-m pytest": "runs this suite",
}
# The install step of the README's first commands has been done by whoever runs this.
INSTALLED = re.compile(r"^python3 -m pip install \S+ && (python3 -m grainel_tools\b)?")


def skipped(text):
    reasons = [why for needle, why in NOT_RUN.items() if needle in text.lower()]
    return [pytest.mark.skip(reason=reasons[0])] if reasons else []


def examples():
    found = []
    for document in DOCUMENTS:
        for _, language, body in FENCE.findall(document.read_text(encoding="utf-8")):
            body = textwrap.dedent(body)
            where = f"{document.name}: "
            if language == "python":
                found.append(pytest.param("python", body, id=where + body.splitlines()[0][:60],
                                          marks=skipped(body)))
                continue
            for line in body.splitlines() if language == "sh" else []:
                line = INSTALLED.sub(lambda m: "grainel" if m.group(1) else "", line)
                if re.match(r"grainel\b|\S+ \| grainel |python3 -m pytest", line):
                    found.append(pytest.param("sh", line, id=where + line.split("  #")[0], marks=skipped(line)))
    return found


def photo_like(height, width, seed):
    """Smooth ramps with a little grain, like a photo's pixels."""
    y, x = np.mgrid[0:height, 0:width]
    rgb = np.stack([x * 255 / width, y * 255 / height, (x + y) * 127 / (width + height)], axis=-1)
    rgb += np.random.default_rng(seed).normal(0, 8, rgb.shape)
    return rgb.clip(0, 255).astype(np.uint8)


PHOTO = photo_like(40, 56, 1)
FRAMES = [photo_like(40, 56, seed) for seed in (2, 3)]
GRAY = np.linspace(0, 255, 64 * 256).astype(np.uint8).reshape(64, 256)


def lay_out_files(folder):
    """The files and folders the examples read."""
    pil = Image.fromarray(PHOTO)
    pil.save(folder / "photo.jpg", quality=95)
    for name in ("photo.png", "a.png", "b.png", "shots/x.png", "shots/y.png", "raw/r.png",
                 "photos/p.png", "photos/more/q.png", "sprites/a.png", "frames/001.png", "frames/002.png"):
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        pil.save(folder / name)
    pil.convert("L").save(folder / "scan.tif")
    Image.fromarray(PHOTO[:4, :4]).resize((16, 16), Image.Resampling.NEAREST).save(folder / "swatch.png")
    frames = [Image.fromarray(frame).quantize(64) for frame in FRAMES]
    frames[0].save(folder / "clip.gif", save_all=True, append_images=frames[1:], duration=80, loop=0)
    (folder / "mine.gpl").write_text("GIMP Palette\nName: mine\n#\n0 0 0 black\n255 255 255 white\n")
    (folder / "mine.hex").write_text("#000000\n#ff8000\n#ffffff\n")


@pytest.mark.parametrize("language, example", examples())
def test_example_runs(language, example, tmp_path, monkeypatch):
    lay_out_files(tmp_path)
    monkeypatch.chdir(tmp_path)
    if language == "python":
        exec(compile(example, "example", "exec"),
             {"np": np, "grainel": grainel, "gray": GRAY, "photo": PHOTO, "frames": list(FRAMES)})
        return
    # `grainel` as the installed command would run it, from the modules under test.
    command = f'grainel() {{ "{sys.executable}" -m grainel_tools "$@"; }}\nset -eo pipefail\n{example}'
    done = subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


def test_the_documents_have_examples_of_both_kinds():
    # A change of fence or layout that hid every example from this test would otherwise pass it.
    kinds = [param.values[0] for param in examples()]
    assert kinds.count("python") >= 8 and kinds.count("sh") >= 10
