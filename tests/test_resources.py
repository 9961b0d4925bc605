"""Threads and resources: the interpreter runs other threads during pixel loops, concurrent calls
agree, no path leaks references or memory, and results own their memory."""

import concurrent.futures
import ctypes
import gc
import sys
import threading
import time
import weakref

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel

try:
    from PIL import Image
except ImportError:  # the module works on NumPy input without Pillow
    Image = None

ed, od, rd, di = grainel.error_diffusion, grainel.ordered_dither, grainel.random_dither, grainel.dither
PALETTE = ["#000", "#fff", (200, 30, 30), (30, 200, 30), (30, 30, 200), "#808080", "#ff0", b"\x10\x80\xf0"]


def noise(shape, seed=0):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


# ------------------------------------------------------------------ threads

@pytest.fixture
def spinner():
    # Each step hands the interpreter straight back, so while a call holds it the count moves
    # by a step or two at most; it runs on only while the call has let go of it.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    count, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)

    thread = threading.Thread(target=spin, daemon=True)
    thread.start()
    try:
        while count[0] < 3:
            time.sleep(0)
        yield count
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(old)


@pytest.fixture(scope="module")
def large():
    return {"gray": noise((2000, 2000), seed=1), "rgb": noise((1000, 1000, 3), seed=2)}


@pytest.mark.parametrize("func, kind, args, kw", [
    (ed, "gray", ("floyd_steinberg",), dict(serpentine=True)),
    (ed, "rgb", ("stucki",), dict(palette=PALETTE)),
    (od, "gray", (4,), dict(levels=3, linear=True)),
    (od, "rgb", (), dict(palette=PALETTE)),
    (rd, "gray", (), dict(levels=5)),
    (rd, "rgb", (), dict(seed=3, palette=PALETTE)),
], ids=["diffusion", "diffusion-palette", "ordered", "ordered-palette", "random", "random-palette"])
def test_other_threads_run_during_pixel_loops(spinner, large, func, kind, args, kw):
    before = spinner[0]
    for _ in range(3):
        assert func(large[kind], *args, **kw).shape == large[kind].shape
    assert spinner[0] - before >= 25, "the interpreter was held during the pixel loops"


CONCURRENT = [
    lambda img: ed(img, "jarvis", levels=3, serpentine=True),
    lambda img: ed(img, "burkes", palette=PALETTE, linear=True),
    lambda img: od(img, np.array([[0.1, 0.9, 0.4], [0.6, 0.3, 0.75]]), palette=PALETTE),
    lambda img: rd(img, seed=-5, levels=3, preserve_alpha=False),
    lambda img: di(img, "bayer2x2", levels=5),
]


def test_concurrent_calls_match_sequential_ones():
    image = noise((128, 96, 4), seed=6)
    original = image.copy()
    expected = [call(image) for call in CONCURRENT]
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        futures = [(i, pool.submit(call, image)) for _ in range(6) for i, call in enumerate(CONCURRENT)]
        for i, future in futures:
            assert_array_equal(future.result(), expected[i])
    assert_array_equal(image, original)


# ------------------------------------------------------------------ nothing leaks

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


try:
    MALLINFO2 = ctypes.CDLL(None).mallinfo2
    MALLINFO2.restype = MallInfo2
except (OSError, TypeError, AttributeError):  # not glibc: references and Python objects are watched alone
    MALLINFO2 = MallInfo2


def heap_bytes():
    """Bytes handed out by the C heap."""
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


class Boom(Exception):
    pass


class Raises:
    """Fails in whichever protocol the module reads it through."""

    def __array__(self, dtype=None, copy=None):
        raise Boom("no pixels")

    def __index__(self):
        raise Boom("no index")

    def __float__(self):
        raise Boom("no float")


def colours_then_boom():
    yield "#000"
    yield (255, 255, 255)
    raise Boom("palette ran dry")


# Every argument a path reads is made at run time (constants may be immortal) and is watched.
IMG, GRAY = noise((32, 32, 3), seed=9), noise((64, 64), seed=10)
NUMBER, HUGE, NEGATIVE, THING = float("4.5"), 2 ** int("127"), -(2 ** int("40")), object()
TUPLE, FLOATS, SHORT, BRIGHT = tuple([1, 2, 3]), tuple([1.0, 2.0, 3.0]), tuple([0, 0]), tuple([256, 0, 0])
HEX, BAD_HEX, METHOD = "".join(["#10", "2030"]), "".join(["#1", "2"]), "".join(["no", "pe"])
LONG_HEX, LONG_TUPLES = [HEX] * 300, [TUPLE] * 300
INT_LIST = [[1, 2, 3]] * 16
INDICES = np.arange(24 * 24).reshape(24, 24)
INDICES[-1, -1] = -1
THRESHOLDS = np.linspace(0.0, 1.5, 24 * 24).reshape(24, 24)

PATHS = {  # name: (call, exception or None, start of its message, objects whose references must not move)
    "too-many-positional": (lambda: ed(IMG, "fs", 2), TypeError, "error_diffusion() takes", [IMG]),
    "unexpected-keyword": (lambda: ed(IMG, levels=4, levels2=1), TypeError, "error_diffusion() got", [IMG]),
    "missing-image": (lambda: rd(levels=3), TypeError, "random_dither() missing", []),
    "keyword-not-utf8": (lambda: od(IMG, **{"\ud800": 1}), UnicodeEncodeError, "'utf-8' codec", [IMG]),
    "method-not-str": (lambda: ed(IMG, NUMBER), TypeError, "'float' object is not an", [IMG, NUMBER]),
    "levels-float": (lambda: ed(IMG, levels=NUMBER), TypeError, "'float' object cannot be", [IMG, NUMBER]),
    "levels-negative": (lambda: od(IMG, levels=NEGATIVE), OverflowError, "out of range", [IMG, NEGATIVE]),
    "levels-index-raises": (lambda: ed(IMG, levels=Raises()), Boom, "no index", [IMG]),
    "seed-float": (lambda: rd(IMG, seed=NUMBER), TypeError, "'float' object cannot be", [IMG, NUMBER]),
    "seed-129-bits": (lambda: di(IMG, "random", seed=HUGE), OverflowError, "Python int larger", [IMG, HUGE]),
    "seed-index-raises": (lambda: rd(IMG, seed=Raises()), Boom, "no index", [IMG]),
    "strength-float-raises": (lambda: od(IMG, strength=Raises()), Boom, "no float", [IMG]),
    "linear-not-bool": (lambda: ed(IMG, linear=NUMBER), TypeError, "'float' object is not an", [IMG, NUMBER]),
    "strength-range": (lambda: ed(GRAY, strength=NUMBER), ValueError, "strength must be", [GRAY, NUMBER]),
    "levels-and-palette": (lambda: rd(IMG, levels=4, palette=LONG_HEX), ValueError, "pass either",
                           [IMG, LONG_HEX]),
    "palette-str": (lambda: ed(IMG, palette=HEX), TypeError, "palette must be a sequence", [IMG, HEX]),
    "palette-not-iterable": (lambda: od(IMG, palette=THING), TypeError, "'object' object is not iterable",
                             [IMG, THING]),
    "palette-iteration-raises": (lambda: rd(IMG, palette=colours_then_boom()), Boom, "palette ran dry",
                                 [IMG]),
    "palette-bad-hex": (lambda: ed(IMG, palette=LONG_HEX + [BAD_HEX]), ValueError, "invalid hex",
                        [IMG, HEX, BAD_HEX]),
    "palette-bad-entry": (lambda: od(IMG, palette=LONG_TUPLES + [FLOATS]), TypeError,
                          "palette entries must be", [IMG, TUPLE, FLOATS]),
    "palette-components": (lambda: rd(IMG, palette=LONG_TUPLES + [SHORT]), ValueError,
                           "palette color must have", [IMG, TUPLE, SHORT]),
    "palette-range": (lambda: di(IMG, palette=LONG_TUPLES + [BRIGHT]), ValueError,
                      "palette color components", [IMG, TUPLE, BRIGHT]),
    "palette-too-few": (lambda: ed(IMG, palette=[TUPLE]), ValueError, "palette must contain at", [TUPLE]),
    "palette-too-many": (lambda: od(IMG, palette=[TUPLE] * 4097), ValueError, "palette must contain at",
                         [TUPLE]),
    "palette-needs-colour": (lambda: ed(GRAY, palette=LONG_HEX), ValueError, "palette dithering needs",
                             [GRAY, LONG_HEX, HEX]),
    "image-float": (lambda: ed(GRAY.astype(float)), TypeError, "expected a uint8 image", []),
    "image-int-list": (lambda: od(INT_LIST), TypeError, "expected a uint8 image", [INT_LIST, INT_LIST[0]]),
    "image-array-raises": (lambda: rd(Raises()), Boom, "no pixels", []),
    "image-empty": (lambda: rd(GRAY[:0]), ValueError, "image has an empty dimension", [GRAY]),
    "unknown-method": (lambda: ed(GRAY, METHOD), ValueError, "unknown error-diffusion", [GRAY, METHOD]),
    "unknown-dither-method": (lambda: di(GRAY, METHOD), ValueError, "unknown dither method", [GRAY, METHOD]),
    "matrix-name": (lambda: od(IMG, METHOD), ValueError, "unknown dither matrix", [IMG, METHOD]),
    "matrix-shape": (lambda: od(IMG, NUMBER), ValueError, "custom dither matrix must be a", [IMG, NUMBER]),
    "matrix-kind": (lambda: od(IMG, INDICES > 5), TypeError, "custom dither matrix must have", [IMG]),
    "matrix-negative": (lambda: od(IMG, INDICES), ValueError, "integer matrix values", [IMG, INDICES]),
    "matrix-range": (lambda: od(IMG, THRESHOLDS), ValueError, "float matrix thresholds", [IMG, THRESHOLDS]),
    "matrix-array-raises": (lambda: od(IMG, Raises()), Boom, "no pixels", [IMG]),
    "diffusion": (lambda: ed(IMG, "stucki", serpentine=True), None, "", [IMG]),
    "diffusion-palette": (lambda: di(IMG, palette=PALETTE), None, "", [IMG, PALETTE[2]]),
    "ordered-matrix": (lambda: od(IMG, THRESHOLDS[:12, :12] / 2, levels=3), None, "", [IMG]),
    "random-memoryview": (lambda: rd(memoryview(IMG), seed=5), None, "", [IMG]),
}
if Image is not None:
    GRAY_PICTURE, P_PICTURE = Image.fromarray(GRAY), Image.fromarray(IMG).convert("P")
    PATHS["picture-needs-colour"] = (lambda: ed(GRAY_PICTURE, palette=LONG_HEX), ValueError,
                                     "palette dithering needs", [GRAY_PICTURE, LONG_HEX])
    PATHS["picture-converted"] = (lambda: od(P_PICTURE, levels=3), None, "", [P_PICTURE])


def churn(call, exc, n):
    for _ in range(n):
        try:
            call()
        except exc or ():
            pass


@pytest.mark.parametrize("name", PATHS)
def test_no_path_leaks(name):
    call, exc, message, objects = PATHS[name]
    if exc is None:
        call()
    else:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value).startswith(message)  # the path intended, not another error
    n = 100 if name == "palette-too-many" else 300
    churn(call, exc, 3 * n)  # lets NumPy and the interpreter fill their caches first
    refs = [sys.getrefcount(o) for o in objects]
    blocks, heap = [], []
    gc.freeze()  # keeps the collections below to the objects these calls make
    try:
        for _ in range(2):  # a real leak grows in both rounds; a cache filling up, only once
            gc.collect()
            blocks_before, heap_before = sys.getallocatedblocks(), heap_bytes()
            churn(call, exc, n)
            gc.collect()
            blocks.append(sys.getallocatedblocks() - blocks_before)
            heap.append(heap_bytes() - heap_before)
    finally:
        gc.unfreeze()
    assert [sys.getrefcount(o) for o in objects] == refs, "references to the arguments leaked"
    assert min(blocks) < n // 4, f"{min(blocks)} Python objects kept over {n} calls"
    assert min(heap) < 16 * n, f"{min(heap)} bytes of memory kept over {n} calls"


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
