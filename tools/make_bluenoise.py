"""Write the blue-noise maps that ship with grainel_tools.

    python3 tools/make_bluenoise.py    (with grainel installed, for grainel_tools' imports)

Generating the 128 x 128 map on every use would cost about a second, so the
standard sizes are made once here, with seed 0, and stored as uint16 .npy
files in python/grainel_tools/data. The test suite regenerates them and
checks that the ranks agree.
"""

import sys
from pathlib import Path

import numpy as np

# The maps come from this checkout's generator, not from an installed copy.
PYTHON = Path(__file__).resolve().parent.parent / "python"
sys.path.insert(0, str(PYTHON))

from grainel_tools.bluenoise import void_and_cluster  # noqa: E402
from grainel_tools.matrices import BLUENOISE_SIZES  # noqa: E402

DATA = PYTHON / "grainel_tools" / "data"


def main() -> None:
    for size in BLUENOISE_SIZES:
        path = DATA / f"bluenoise{size}.npy"
        np.save(path, void_and_cluster(size, seed=0), allow_pickle=False)
        print(f"{path.name}: {path.stat().st_size} bytes")


if __name__ == "__main__":
    main()
