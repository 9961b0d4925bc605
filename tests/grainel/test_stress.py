"""Many threads calling every dithering function at once on shared inputs, while another thread keeps
rewriting some of those inputs in place: no crash, no deadlock, the same bytes as a call made alone
for every input left untouched, and valid images for the ones rewritten meanwhile.

GRAINEL_STRESS_SECONDS=N runs the threads for N seconds instead of a fixed number of calls."""

import os
import sys
import threading
import time

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel
import reference as ref

# Under emulation the threads would interleave as on x86-64 anyway: the emulator keeps the host's
# memory ordering.
pytestmark = pytest.mark.architecture_neutral

try:
    from PIL import Image
except ImportError:
    Image = None

ed, od, rd, di = grainel.error_diffusion, grainel.ordered_dither, grainel.random_dither, grainel.dither
SECONDS = float(os.environ.get("GRAINEL_STRESS_SECONDS", "0"))
THREADS, CALLS_PER_THREAD = 8, 120
rng = np.random.default_rng(11)
IMAGE = rng.integers(0, 256, (40, 36, 4), dtype=np.uint8)  # never written
COLOURS = ["#000", "#fff", (220, 30, 30), (30, 220, 30), (30, 30, 220), "#ff0", "#0ff", "#808080"]
MATRIX = np.array([[0.1, 0.8, 0.45], [0.6, 0.25, 0.95]])

# Each call on the untouched inputs, checked against the same call made alone.
STEADY = [
    lambda: ed(IMAGE, "jjn", levels=3, serpentine=True),
    lambda: ed(IMAGE, "atkinson", palette=COLOURS, linear=True),
    lambda: od(IMAGE, MATRIX, palette=COLOURS),
    lambda: od(IMAGE, 16, levels=5, preserve_alpha=False),
    lambda: rd(IMAGE, seed=-3, palette=COLOURS),
    lambda: di(IMAGE[::-1, ::2], "random", seed=9, levels=4),
    lambda: di(IMAGE, "Bayer 4x4", palette=tuple(COLOURS)),
]
if Image is not None:
    PICTURE = Image.fromarray(IMAGE[:, :, :3])
    STEADY.append(lambda: np.asarray(di(PICTURE, "sierra-lite", levels=2)))

# Inputs rewritten while the calls run: (call, target options) on the shared array, palette and matrix.
MUTATED = rng.integers(0, 256, (40, 36, 4), dtype=np.uint8)
PALETTE = list(COLOURS)
POOL = COLOURS + [(i, 255 - i, (7 * i) % 256) for i in range(0, 256, 15)]
THRESHOLDS = rng.random((5, 5))
CHURNED = [
    (lambda: ed(MUTATED, "fs", levels=3), dict(levels=3)),
    (lambda: rd(MUTATED, seed=2, levels=6, linear=True), dict(levels=6, linear=True)),
    (lambda: od(IMAGE, THRESHOLDS, palette=PALETTE), dict(palette=POOL)),
    (lambda: di(MUTATED, "stucki", palette=PALETTE), dict(palette=POOL)),
]


def valid(out, options):
    assert type(out) is np.ndarray and out.shape == IMAGE.shape and out.dtype == np.uint8
    if "palette" in options:
        colours = ref.parse_colors(options["palette"])
        assert (out[:, :, None, :3] == colours).all(axis=3).any(axis=2).all()
    else:
        level_bytes = ref.levels_table(options["levels"], options.get("linear", False))[0]
        assert np.isin(out[:, :, :3], level_bytes).all()


def rewrite(stop):
    writer = np.random.default_rng(5)
    while not stop.is_set():
        MUTATED[...] = writer.integers(0, 256, MUTATED.shape, dtype=np.uint8)
        PALETTE[writer.integers(len(PALETTE))] = POOL[writer.integers(len(POOL))]
        THRESHOLDS[...] = writer.random(THRESHOLDS.shape)
        time.sleep(0)


def test_threads_hammering_every_function():
    expected = [call() for call in STEADY]
    deadline = time.monotonic() + SECONDS
    failures, calls = [], [0] * THREADS

    def work(k):
        try:
            while time.monotonic() < deadline if SECONDS else calls[k] < CALLS_PER_THREAD:
                j = (k + calls[k]) % (len(STEADY) + len(CHURNED))  # each thread starts elsewhere
                if j < len(STEADY):
                    assert_array_equal(STEADY[j](), expected[j])
                else:
                    call, options = CHURNED[j - len(STEADY)]
                    valid(call(), options)
                calls[k] += 1
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    stop = threading.Event()
    writer = threading.Thread(target=rewrite, args=(stop,), daemon=True)
    workers = [threading.Thread(target=work, args=(k,), daemon=True) for k in range(THREADS)]
    try:
        writer.start()
        for thread in workers:
            thread.start()
        for thread in workers:
            thread.join(timeout=120 + SECONDS)
    finally:
        stop.set()
        writer.join(timeout=60)
        sys.setswitchinterval(old)
    assert not any(thread.is_alive() for thread in workers + [writer]), "a thread never finished"
    assert not failures, failures[:3]
    print(f"{sum(calls)} calls on {THREADS} threads")
