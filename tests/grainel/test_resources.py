"""Threads and memory: the interpreter runs other threads during pixel loops, and results own their memory.
(Concurrent calls: test_stress.py; leaks: every table of accepted and refused arguments.)"""

import gc
import threading
import time
import weakref

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel

pytestmark = pytest.mark.architecture_neutral

ed, od, rd, di = grainel.error_diffusion, grainel.ordered_dither, grainel.random_dither, grainel.dither
PALETTE = ["#000", "#fff", (200, 30, 30), (30, 200, 30), (30, 30, 200), "#808080", "#ff0", b"\x10\x80\xf0"]


def noise(shape, seed=0):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


# ------------------------------------------------------------------ threads

@pytest.fixture
def spinner():
    # A step every half millisecond, whenever the thread can get the interpreter: a call that held it
    # would let the count move by one step at most (when the call returns).
    count, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0.0005)

    thread = threading.Thread(target=spin, daemon=True)
    thread.start()
    try:
        yield count
    finally:
        stop.set()
        thread.join()


@pytest.fixture(scope="module")
def large():
    return {"gray": noise((2000, 2000), seed=1), "rgb": noise((1000, 1000, 3), seed=2)}


@pytest.mark.parametrize("func, kind, args, kw", [
    (ed, "gray", ("floyd_steinberg",), dict(serpentine=True)),
    (ed, "rgb", ("stucki",), dict(palette=PALETTE)),
    # Many levels: the byte-compare path would be done in a fraction of a millisecond.
    (od, "gray", (4,), dict(levels=64, linear=True)),
    (rd, "rgb", (), dict(seed=3, palette=PALETTE)),
], ids=["diffusion", "diffusion-palette", "ordered", "random-palette"])
def test_other_threads_run_during_pixel_loops(spinner, large, func, kind, args, kw):
    before = spinner[0]
    for calls in range(1, 21):  # until the count has moved more than held calls would let it
        assert func(large[kind], *args, **kw).shape == large[kind].shape
        if spinner[0] - before > 2 * calls + 5:
            return
    pytest.fail("the interpreter was held during the pixel loops")


# ------------------------------------------------------------------ results and their memory

@pytest.mark.parametrize("layout", ["contiguous", "reversed-view", "memoryview"])
def test_result_outlives_its_input(layout):
    base = noise((120, 90, 3), seed=13)
    source = {"contiguous": base, "reversed-view": base[::-1, ::2], "memoryview": memoryview(base)}[layout]
    expected = ed(np.array(source), "sierra", levels=3)
    result = ed(source, "sierra", levels=3)
    assert type(result) is np.ndarray and not np.shares_memory(result, base)
    gone = weakref.ref(base)
    del source, base
    gc.collect()
    assert gone() is None
    assert_array_equal(result, expected)
