"""Pictures and helpers the tests of the command line with real files share."""

import io
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")

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

