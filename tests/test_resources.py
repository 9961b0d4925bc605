"""Resources and threads: the interpreter stays free while pixels are worked on,
calls on several threads do not interfere, nothing leaks on any path, and the
returned array owns its memory."""

import concurrent.futures
import gc
import os
import sys
import threading
import time
import tracemalloc
import weakref

import numpy as np
import pytest

import grainel

try:
    from PIL import Image
except ImportError:  # the module works on NumPy input without Pillow
    Image = None

needs_pil = pytest.mark.skipif(Image is None, reason="Pillow is not installed")
HAVE_STATM = os.path.exists("/proc/self/statm")
MIB = 1 << 20


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def noise(shape, seed=0):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


PALETTE = ["#000", "#fff", (200, 30, 30), (30, 200, 30), (30, 30, 200), "#808080", "#ff0", b"\x10\x80\xf0"]


class Boom(Exception):
    pass


# ---------------------------------------------------------------- the interpreter is free


@pytest.fixture
def spinner():
    # A thread counting steps; each step hands the interpreter straight back
    # (sleep(0)), so while the main thread holds it the count moves by a step
    # or two at most, and it moves steadily only while a call has let go of it.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    count = [0]
    stop = threading.Event()

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
    return {"gray": noise((3000, 3000), seed=1), "rgb": noise((1500, 1500, 3), seed=2)}


DETACHED_CALLS = [
    (grainel.error_diffusion, "gray", ("floyd_steinberg",), dict(serpentine=True)),
    (grainel.error_diffusion, "gray", ("atkinson",), dict(levels=4, linear=True)),
    (grainel.error_diffusion, "rgb", ("stucki",), dict(palette=PALETTE)),
    (grainel.ordered_dither, "gray", (4,), dict(levels=3, linear=True)),
    (grainel.ordered_dither, "rgb", ("bayer16x16",), dict(palette=PALETTE)),
    (grainel.random_dither, "gray", (), dict(levels=5, strength=0.5)),
    (grainel.random_dither, "rgb", (), dict(seed=3, palette=PALETTE)),
    (grainel.dither, "gray", ("bayer2x2",), {}),
    (grainel.dither, "gray", ("random",), dict(seed=9)),
]


@pytest.mark.parametrize(
    "func, kind, args, kwargs", DETACHED_CALLS,
    ids=[f"{c[0].__name__}-{c[1]}-{i}" for i, c in enumerate(DETACHED_CALLS)],
)
def test_other_threads_run_during_pixel_loops(spinner, large, func, kind, args, kwargs):
    image = large[kind]
    before = spinner[0]
    result = func(image, *args, **kwargs)
    during = spinner[0] - before
    assert result.shape == image.shape
    # Holding the interpreter for the whole call leaves this at 0 to 2 steps;
    # letting it go for the pixel loop gives hundreds or thousands.
    assert during >= 25, f"the counting thread advanced only {during} steps during the call"


# ---------------------------------------------------------------- concurrent calls


SHARED_MATRIX = np.array([[0.1, 0.9, 0.4], [0.6, 0.3, 0.75]], dtype=np.float32)

CONCURRENT_CALLS = [
    (grainel.error_diffusion, ("jarvis",), dict(levels=3, serpentine=True)),
    (grainel.error_diffusion, ("burkes",), dict(palette=PALETTE, linear=True)),
    (grainel.ordered_dither, (4,), dict(levels=4, linear=True)),
    (grainel.ordered_dither, (SHARED_MATRIX,), dict(palette=PALETTE)),
    (grainel.random_dither, (), dict(seed=7, levels=3)),
    (grainel.random_dither, (), dict(seed=-5, palette=PALETTE, strength=0.5)),
    (grainel.dither, ("sierra_lite",), dict(preserve_alpha=False)),
    (grainel.dither, ("bayer2x2",), dict(levels=5)),
    (grainel.dither, ("random",), dict(seed=11)),
]
CONCURRENT_IDS = [f"{c[0].__name__}-{i}" for i, c in enumerate(CONCURRENT_CALLS)]


def _shared_inputs():
    return repr(PALETTE), SHARED_MATRIX.tobytes()


@pytest.mark.parametrize("func, args, kwargs", CONCURRENT_CALLS, ids=CONCURRENT_IDS)
def test_threads_started_together_match_sequential(func, args, kwargs):
    image = noise((160, 200, 4), seed=5)
    original, shared = image.copy(), _shared_inputs()
    expected = func(image, *args, **kwargs)
    n_threads, repeats = 4, 4
    barrier = threading.Barrier(n_threads)
    results = [None] * n_threads
    errors = []

    def work(slot):
        try:
            barrier.wait()
            results[slot] = [func(image, *args, **kwargs) for _ in range(repeats)]
        except BaseException as exc:  # reported on the main thread below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for result in (r for per_thread in results for r in per_thread):
        np.testing.assert_array_equal(result, expected)
    np.testing.assert_array_equal(image, original)
    assert _shared_inputs() == shared


def test_mixed_calls_in_a_pool_match_sequential():
    image = noise((128, 96, 3), seed=6)
    original, shared = image.copy(), _shared_inputs()
    expected = [func(image, *args, **kwargs) for func, args, kwargs in CONCURRENT_CALLS]
    jobs = [i for _ in range(6) for i in range(len(CONCURRENT_CALLS))]
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        futures = [(i, pool.submit(CONCURRENT_CALLS[i][0], image, *CONCURRENT_CALLS[i][1],
                                   **CONCURRENT_CALLS[i][2])) for i in jobs]
        for i, future in futures:
            np.testing.assert_array_equal(future.result(), expected[i])
    np.testing.assert_array_equal(image, original)
    assert _shared_inputs() == shared


@needs_pil
def test_shared_pil_image_in_a_pool():
    picture = Image.fromarray(noise((90, 120, 4), seed=8), "RGBA")
    pixels = np.asarray(picture).copy()
    calls = [
        lambda: grainel.error_diffusion(picture, "fs", levels=3),
        lambda: grainel.ordered_dither(picture, palette=PALETTE),
        lambda: grainel.random_dither(picture, seed=4),
        lambda: grainel.dither(picture, "random", seed=4, palette=PALETTE),
    ]
    expected = [np.asarray(call()) for call in calls]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        futures = [(i, pool.submit(calls[i])) for _ in range(5) for i in range(len(calls))]
        for i, future in futures:
            result = future.result()
            assert result.mode == "RGBA"
            np.testing.assert_array_equal(np.asarray(result), expected[i])
    np.testing.assert_array_equal(np.asarray(picture), pixels)


# ---------------------------------------------------------------- nothing leaks


class ArrayRaises:
    def __array__(self, dtype=None, copy=None):
        raise Boom("no pixels for you")


class IndexRaises:
    def __index__(self):
        raise Boom("no index for you")


class FloatRaises:
    def __float__(self):
        raise Boom("no float for you")


def colours_then_boom():
    yield "#000"
    yield (255, 255, 255)
    raise Boom("palette ran dry")


IMG = noise((32, 32, 3), seed=9)
GRAY = noise((256, 256), seed=10)  # big enough that a leaked pixel copy shows up in RSS
TUPLE = tuple([1, 2, 3])  # built at run time: constants may be immortal
HEX = "".join(["#10", "2030"])
LONG_HEX = [HEX] * 1500  # a leaked partial colour list shows up in RSS
LONG_TUPLES = [TUPLE] * 1500
BAD_INDICES = np.arange(24 * 24, dtype=np.int64).reshape(24, 24)
BAD_INDICES[-1, -1] = -1
BAD_THRESHOLDS = np.linspace(0.0, 1.0, 24 * 24).reshape(24, 24)
GOOD_THRESHOLDS = BAD_THRESHOLDS[:12, :12].copy()
BAD_THRESHOLDS[-1, -1] = 1.5
METHOD = "".join(["no", "pe"])  # not interned
FLOAT_IMG = GRAY[:32].astype(np.float64)
INT_LIST = [[1, 2, 3]] * 16
ONE_AXIS = np.zeros(5, np.uint8)
NO_AXES = np.zeros((), np.uint8)
FOUR_AXES = np.zeros((0, 1, 1, 1), np.uint8)
EMPTY = np.zeros((2, 2, 0), np.uint8)
ed, od, rd, di = grainel.error_diffusion, grainel.ordered_dither, grainel.random_dither, grainel.dither

# name: (call, exception type, start of its message, objects whose reference counts must not move)
ERROR_PATHS = {
    # binding
    "too-many-positional": (lambda: ed(IMG, "fs", 2), TypeError, "error_diffusion() takes from 1 to 2", [IMG]),
    "unexpected-keyword": (lambda: ed(IMG, levels=4, levels2=1), TypeError, "error_diffusion() got an unexp", [IMG]),
    "multiple-values": (lambda: ed(IMG, "fs", method="fs"), TypeError, "error_diffusion() got multiple", [IMG]),
    "missing-image": (lambda: di(), TypeError, "dither() missing 1 required positional argument", []),
    "keyword-not-utf8": (lambda: od(IMG, **{"\ud800": 1}), UnicodeEncodeError, "'utf-8' codec", [IMG]),
    # conversions
    "method-int": (lambda: ed(IMG, 8), TypeError, "'int' object is not an instance of 'str'", [IMG]),
    "method-none": (lambda: di(IMG, None), TypeError, "'None' is not an instance of 'str'", [IMG]),
    "levels-float": (lambda: ed(IMG, levels=4.5), TypeError, "'float' object cannot be interpreted", [IMG]),
    "levels-negative": (lambda: od(IMG, levels=-1), OverflowError, "out of range integral type", [IMG]),
    "levels-huge": (lambda: rd(IMG, levels=2**70), OverflowError, "", [IMG]),
    "levels-index-raises": (lambda: ed(IMG, levels=IndexRaises()), Boom, "no index for you", [IMG]),
    "seed-float": (lambda: rd(IMG, seed=1.0), TypeError, "'float' object cannot be interpreted", [IMG]),
    "seed-129-bits": (lambda: di(IMG, "random", seed=2**127), OverflowError, "Python int larger than 128", [IMG]),
    "strength-none": (lambda: ed(IMG, strength=None), TypeError, "", [IMG]),
    "strength-float-raises": (lambda: od(IMG, strength=FloatRaises()), Boom, "no float for you", [IMG]),
    "linear-int": (lambda: ed(IMG, linear=1), TypeError, "'int' object is not an instance of 'bool'", [IMG]),
    "serpentine-none": (lambda: di(IMG, "random", serpentine=None), TypeError, "'None' is not an instance", [IMG]),
    # strength, levels
    "strength-range": (lambda: ed(GRAY, strength=1.5), ValueError, "strength must be between", [GRAY]),
    "levels-range": (lambda: od(GRAY, levels=257), ValueError, "levels must be between 2 and 256", [GRAY]),
    "levels-and-palette": (lambda: ed(IMG, levels=4, palette=LONG_HEX), ValueError, "pass either", [IMG, LONG_HEX]),
    # palette
    "palette-str": (lambda: ed(IMG, palette=HEX), TypeError, "palette must be a sequence of colors", [IMG, HEX]),
    "palette-not-iterable": (lambda: od(IMG, palette=5), TypeError, "'int' object is not iterable", [IMG]),
    "palette-iterator-raises": (lambda: rd(IMG, palette=colours_then_boom()), Boom, "palette ran dry", [IMG]),
    "palette-bad-hex": (lambda: ed(IMG, palette=LONG_HEX + ["#12"]), ValueError, "invalid hex color", [IMG, HEX]),
    "palette-bad-entry": (
        lambda: od(IMG, palette=LONG_TUPLES + [(1.0, 2.0, 3.0)]), TypeError, "palette entries must be", [IMG, TUPLE]),
    "palette-component-count": (
        lambda: rd(IMG, palette=LONG_TUPLES + [(0, 0)]), ValueError, "palette color must have exactly", [IMG, TUPLE]),
    "palette-component-range": (
        lambda: di(IMG, palette=LONG_TUPLES + [(256, 0, 0)]), ValueError, "palette color components", [IMG, TUPLE]),
    "palette-too-few": (lambda: ed(IMG, palette=[TUPLE]), ValueError, "palette must contain at least", [IMG, TUPLE]),
    "palette-too-many": (lambda: od(IMG, palette=[TUPLE] * 4097), ValueError, "palette must contain at most", [TUPLE]),
    "palette-needs-colour": (
        lambda: ed(GRAY, palette=LONG_HEX), ValueError, "palette dithering needs", [GRAY, LONG_HEX, HEX]),
    # image intake
    "image-float": (lambda: ed(FLOAT_IMG), TypeError, "expected a uint8 image array, got dtype float64", [FLOAT_IMG]),
    "image-int-list": (lambda: od(INT_LIST), TypeError, "expected a uint8 image array", [INT_LIST, INT_LIST[0]]),
    "image-array-raises": (lambda: rd(ArrayRaises()), Boom, "no pixels for you", []),
    "image-1-axis": (lambda: ed(ONE_AXIS), ValueError, "expected a 2-D grayscale", [ONE_AXIS]),
    "image-4-axes": (lambda: od(FOUR_AXES), ValueError, "expected a 2-D grayscale", [FOUR_AXES]),
    "image-empty": (lambda: rd(EMPTY), ValueError, "image has an empty dimension", [EMPTY]),
    # method names
    "unknown-method": (lambda: ed(GRAY, METHOD), ValueError, "unknown error-diffusion method", [GRAY, METHOD]),
    "unknown-dither-method": (lambda: di(GRAY, METHOD), ValueError, "unknown dither method", [GRAY, METHOD]),
    "dither-not-a-matrix-name": (lambda: di(GRAY, "bayer3x3"), ValueError, "unknown dither method", [GRAY]),
    # matrices
    "matrix-size": (lambda: od(IMG, 3), ValueError, "unknown dither matrix", [IMG]),
    "matrix-name": (lambda: od(IMG, "bayer8x4"), ValueError, "unknown dither matrix", [IMG]),
    "matrix-0d": (lambda: od(IMG, -8), ValueError, "custom dither matrix must be a non-empty", [IMG]),
    "matrix-bool": (lambda: od(IMG, BAD_THRESHOLDS > 0.5), TypeError, "custom dither matrix must have", [IMG]),
    "matrix-negative-index": (
        lambda: od(IMG, BAD_INDICES), ValueError, "integer matrix values must be >= 0", [IMG, BAD_INDICES]),
    "matrix-threshold-range": (
        lambda: od(IMG, BAD_THRESHOLDS), ValueError, "float matrix thresholds must be", [IMG, BAD_THRESHOLDS]),
    "matrix-array-raises": (lambda: od(IMG, ArrayRaises()), Boom, "no pixels for you", [IMG]),
}

RGB = noise((96, 96, 3), seed=11)  # a result kept alive per call would show in RSS
SUCCESS_PATHS = {
    "error-diffusion": lambda: ed(RGB, "stucki", serpentine=True),
    "error-diffusion-palette": lambda: ed(RGB, palette=PALETTE),
    "ordered": lambda: od(RGB, GOOD_THRESHOLDS, levels=3),
    "random": lambda: rd(RGB, seed=5),
    "dither-matrix-name": lambda: di(RGB, "Bayer 4x4", linear=True),
    "from-memoryview": lambda: ed(memoryview(RGB)),
}


def _churn(call, exc, n):
    for _ in range(n):
        try:
            call()
        except exc:
            pass


def _assert_no_growth(call, exc, objects, n=2000):
    """After a warm-up, n more calls must not move reference counts, Python-level allocations or RSS."""
    _churn(call, exc, 50)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    tracemalloc.start()
    try:
        # NumPy keeps freed small buffers for reuse; let that cache fill up
        # under tracing before measuring.
        _churn(call, exc, 150)
        gc.collect()
        py_before = tracemalloc.get_traced_memory()[0]
        rss_before = rss_bytes() if HAVE_STATM else 0
        _churn(call, exc, n)
        gc.collect()
        py_growth = tracemalloc.get_traced_memory()[0] - py_before
        rss_growth = (rss_bytes() if HAVE_STATM else 0) - rss_before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == refs, "reference counts of the arguments changed"
    # The smallest Python object is 16 bytes: keeping one per call would exceed this.
    assert py_growth < 16 * n, f"Python allocations grew by {py_growth} bytes over {n} calls"
    assert rss_growth < 4 * MIB, f"resident memory grew by {rss_growth} bytes over {n} calls"


@pytest.mark.parametrize("name", list(ERROR_PATHS))
def test_error_path_leaks_nothing(name):
    call, exc, message, objects = ERROR_PATHS[name]
    with pytest.raises(exc) as info:
        call()
    assert str(info.value).startswith(message)  # the intended path, not another error
    # 4097 colours are read in full on every call; fewer calls keep this quick.
    _assert_no_growth(call, exc, objects, n=500 if name == "palette-too-many" else 2000)


@pytest.mark.parametrize("name", list(SUCCESS_PATHS))
def test_success_path_leaks_nothing(name):
    _assert_no_growth(SUCCESS_PATHS[name], (), [RGB, PALETTE[2], GOOD_THRESHOLDS], n=800)


@needs_pil
@pytest.mark.parametrize("mode", ["L", "LA", "RGBA", "P"])
def test_pil_paths_leak_nothing(mode):
    picture = Image.fromarray(noise((64, 48, 4), seed=12), "RGBA").convert(mode)
    if mode in ("L", "LA"):
        # the palette is refused only after the picture has been taken in
        call, exc = (lambda: ed(picture, palette=LONG_HEX)), ValueError
        with pytest.raises(exc, match="palette dithering needs an RGB or RGBA image"):
            call()
        _assert_no_growth(call, exc, [picture, LONG_HEX], n=1500)
    call = lambda: od(picture, levels=3)  # noqa: E731
    assert call().mode == {"P": "RGB"}.get(mode, mode)
    _assert_no_growth(call, (), [picture], n=1500)


# ---------------------------------------------------------------- the result owns its buffer


OWNERSHIP_CALLS = [
    (grainel.error_diffusion, dict(method="sierra", levels=3)),
    (grainel.ordered_dither, dict(matrix=2, palette=PALETTE)),
    (grainel.random_dither, dict(seed=21)),
    (grainel.dither, dict(method="random", seed=21, levels=4)),
]


@pytest.mark.parametrize("func, kwargs", OWNERSHIP_CALLS, ids=[c[0].__name__ for c in OWNERSHIP_CALLS])
@pytest.mark.parametrize("layout", ["contiguous", "reversed-view", "memoryview"])
def test_result_outlives_its_input(func, kwargs, layout):
    base = noise((120, 90, 3), seed=13)
    if layout == "reversed-view":
        source = base[::-1, ::2]
    elif layout == "memoryview":
        source = memoryview(base)  # taken in through numpy.asarray, which shares its memory
    else:
        source = base
    expected = func(np.array(source, dtype=np.uint8), **kwargs)
    result = func(source, **kwargs)
    assert type(result) is np.ndarray
    assert result.base is not source and result.base is not base
    assert not np.shares_memory(result, base)
    gone = weakref.ref(base)
    del source, base
    gc.collect()
    assert gone() is None
    np.testing.assert_array_equal(result, expected)
    result[...] = 3  # still writeable memory of its own
    assert result.sum() == 3 * result.size


@needs_pil
def test_pil_result_outlives_its_input():
    picture = Image.fromarray(noise((70, 50, 4), seed=14), "RGBA")
    expected = np.asarray(grainel.error_diffusion(picture.copy(), levels=3))
    result = grainel.error_diffusion(picture, levels=3)
    del picture
    gc.collect()
    np.testing.assert_array_equal(np.asarray(result), expected)


@pytest.mark.skipif(not HAVE_STATM, reason="needs /proc/self/statm")
def test_dropped_results_are_freed():
    image = noise((1000, 1000), seed=15)  # 1 MB per result
    for _ in range(3):
        grainel.ordered_dither(image)
    gc.collect()
    before = rss_bytes()
    for i in range(40):
        result = grainel.ordered_dither(image, levels=2 + i % 3)
        assert result.shape == image.shape
        del result
    gc.collect()
    # Keeping every result would add 40 MB.
    assert rss_bytes() - before < 16 * MIB


# ---------------------------------------------------------------- misbehaving objects


BAD_OBJECT_CALLS = {
    "array-raises": (lambda img: ed(ArrayRaises()), "no pixels for you", None),
    "matrix-array-raises": (lambda img: od(img, ArrayRaises()), "no pixels for you", None),
    "palette-iterator-raises": (lambda img: ed(img, palette=colours_then_boom()), "palette ran dry", None),
    "palette-iterator-raises-random": (lambda img: rd(img, palette=colours_then_boom()), "palette ran dry", None),
    "levels-index-raises": (lambda img: od(img, levels=IndexRaises()), "no index for you", "levels"),
    "seed-index-raises": (lambda img: rd(img, seed=IndexRaises()), "no index for you", "seed"),
    "strength-float-raises": (lambda img: ed(img, strength=FloatRaises()), "no float for you", "strength"),
    "strength-float-raises-dither": (
        lambda img: di(img, "random", strength=FloatRaises()), "no float for you", "strength"),
}


def _working_calls(img):
    return [ed(img, "fs", levels=3), od(img, palette=PALETTE), rd(img, seed=2), di(img, "bayer4x4")]


@pytest.mark.parametrize("name", list(BAD_OBJECT_CALLS))
def test_errors_of_caller_objects_pass_through(name):
    call, message, parameter = BAD_OBJECT_CALLS[name]
    img = noise((20, 30, 3), seed=16)
    expected = _working_calls(img)
    with pytest.raises(Boom) as info:
        call(img)
    assert type(info.value) is Boom
    assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    assert notes == ([f"while processing '{parameter}'"] if parameter else [])
    for after, before in zip(_working_calls(img), expected):
        np.testing.assert_array_equal(after, before)

