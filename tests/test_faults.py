"""Faults injected through the public API: argument objects whose protocols raise or lie, NumPy and PIL
misbehaving or missing at the moment of the call, allocations that cannot succeed. Each ends in the
expected exception, never in a crash or a wrong result, and the next ordinary call still works."""

import operator
import sys

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel

ed, od, rd, di = grainel.error_diffusion, grainel.ordered_dither, grainel.random_dither, grainel.dither
RGB = np.random.default_rng(3).integers(0, 256, (6, 5, 3), dtype=np.uint8)
PALETTE = ["#000", "#fff", (200, 40, 40)]
ENTRY = "palette entries must be hex strings like '#0f380f' or (r, g, b) tuples"
SHAPE = ("custom dither matrix must be a non-empty 2-D array, got shape []; pass 'bayerNxN', the size as an "
         "int (2, 4, 8, 16), or a 2-D numpy array")
DTYPE = ("expected a uint8 image array, got dtype {}; convert with np.asarray(img, dtype=np.uint8), or "
         "(img * 255).clip(0, 255).astype(np.uint8) for float images in [0, 1]")


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("injected")


def returns(value, protocol):
    """An object whose protocol method (__index__, __float__, __bool__, ...) returns value."""
    return type("Returns", (), {protocol: lambda self: value})()


def raising(protocol):
    return type("Raises", (), {protocol: boom})()


def numpy_bool(name="bool_", **namespace):
    """An object of a type that claims to be NumPy's boolean scalar type."""
    return type(name, (), {"__module__": "numpy", **namespace})()


class ModuleRaises(type):
    __module__ = property(boom)


def components(length, item):
    """A would-be (r, g, b) sequence whose __len__ or __getitem__ fails or lies."""
    return type("Components", (), {"__len__": length, "__getitem__": item})()


def interpreter_error(call, *args):
    try:
        call(*args)
    except Exception as error:
        return type(error), str(error)
    raise AssertionError("no error")


# name: (call, exception, message or None, parameter named in the note or None)
CASES = {
    "levels-index-not-int": (lambda: ed(RGB, levels=returns("4", "__index__")),
                             *interpreter_error(operator.index, returns("4", "__index__")), "levels"),
    "seed-index-not-int": (lambda: rd(RGB, seed=returns(1.5, "__index__")),
                           *interpreter_error(operator.index, returns(1.5, "__index__")), "seed"),
    "seed-index-beyond-128-bits": (lambda: di(RGB, "random", seed=returns(-2 ** 127 - 1, "__index__")),
                                   OverflowError, "Python int larger than 128 bits", "seed"),
    "strength-float-not-float": (lambda: od(RGB, strength=returns("1", "__float__")),
                                 *interpreter_error(float, returns("1", "__float__")), "strength"),
    "strength-index-raises": (lambda: od(RGB, strength=raising("__index__")), Boom, "injected", "strength"),
    "bool-without-truth-slot": (lambda: ed(RGB, linear=numpy_bool()), TypeError,
                                "object of type 'bool_' does not define a '__bool__' conversion", "linear"),
    "bool-named-bool-without-slot": (lambda: di(RGB, "random", serpentine=numpy_bool("bool")), TypeError,
                                     "object of type 'bool' does not define a '__bool__' conversion",
                                     "serpentine"),
    "bool-truth-raises": (lambda: rd(RGB, preserve_alpha=numpy_bool(__bool__=boom)), Boom, "injected",
                          "preserve_alpha"),
    "bool-truth-not-bool": (lambda: od(RGB, linear=numpy_bool(__bool__=lambda self: 2)), TypeError,
                            "__bool__ should return bool, returned int", "linear"),
    "bool-type-module-raises": (lambda: ed(RGB, linear=ModuleRaises("bool_", (), {})()), TypeError,
                                "'bool_' object is not an instance of 'bool'", "linear"),
    "entry-len-raises": (lambda: ed(RGB, palette=["#000", components(boom, lambda self, i: 9)]), TypeError,
                         ENTRY, None),
    "entry-item-raises-halfway": (lambda: rd(RGB, palette=["#000", components(
        lambda self: 3, lambda self, i: boom() if i == 1 else 9)]), TypeError, ENTRY, None),
    "entry-shorter-than-its-len": (lambda: di(RGB, palette=["#000", components(
        lambda self: 3, lambda self, i: (9, 9)[i])]), TypeError, ENTRY, None),
    "entry-component-index-raises": (lambda: ed(RGB, palette=["#000", (1, raising("__index__"), 2)]),
                                     TypeError, ENTRY, None),
    "palette-iter-raises": (lambda: od(RGB, palette=raising("__iter__")), Boom, "injected", None),
    "matrix-index-raises": (lambda: od(RGB, raising("__index__")), ValueError, SHAPE, None),
}


def ordinary_calls():
    return [ed(RGB, "jjn", levels=3), od(RGB, palette=PALETTE), rd(RGB, seed=1), di(RGB, "bayer2x2")]


@pytest.fixture(autouse=True)
def next_call_still_works():
    expected = ordinary_calls()
    yield
    for got, want in zip(ordinary_calls(), expected):
        assert_array_equal(got, want)


@pytest.mark.parametrize("name", CASES)
def test_faulty_argument_objects(name):
    call, exc, message, note = CASES[name]
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and (message is None or str(info.value) == message)
    assert getattr(info.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


def test_numpy_bool_impostor_with_truth_slot_is_read_through_it():
    assert_array_equal(ed(RGB, linear=numpy_bool(__bool__=lambda self: True)), ed(RGB, linear=True))


@pytest.mark.parametrize("attribute, value, exc, message", [
    ("mode", property(boom), Boom, "injected"),
    ("mode", property(lambda self: 5), TypeError, None),
    ("convert", boom, Boom, "injected"),
    ("convert", lambda self, mode: np.zeros((2, 2)), TypeError, DTYPE.format("float64")),
])
def test_pil_image_whose_mode_or_convert_fails(attribute, value, exc, message):
    Image = pytest.importorskip("PIL.Image")
    namespace = {"mode": property(lambda self: "P"), attribute: value}
    with pytest.raises(exc) as info:
        ed(type("Picture", (Image.Image,), namespace)())
    assert message is None or str(info.value) == message


def test_numpy_missing_at_call_time(monkeypatch):
    failing = [lambda: ed([[1, 2]]), lambda: od(RGB, [[0, 1], [1, 0]])]
    try:
        from PIL import Image
        failing.append(lambda picture=Image.fromarray(RGB): rd(picture, seed=1))
    except ImportError:
        pass
    working = [lambda: ed(RGB, levels=4), lambda: od(RGB, 8, palette=PALETTE), lambda: rd(RGB, seed=5)]
    expected = [call() for call in working]
    monkeypatch.setitem(sys.modules, "numpy", None)
    error = interpreter_error(__import__, "numpy")
    for call in failing:
        assert interpreter_error(call) == error
    # An array still takes the fast path: NumPy's C API was set up by earlier calls.
    for call, want in zip(working, expected):
        assert_array_equal(call(), want)


def test_pil_missing_at_call_time(monkeypatch):
    Image = pytest.importorskip("PIL.Image")
    picture = Image.fromarray(RGB)
    monkeypatch.setitem(sys.modules, "PIL.Image", None)
    out = od(picture, levels=3)  # not recognised: taken in through numpy.asarray, returned as an array
    assert type(out) is np.ndarray
    assert_array_equal(out, od(RGB, levels=3))


def test_pil_vanishing_before_the_result_is_built(monkeypatch):
    Image = pytest.importorskip("PIL.Image")
    picture = Image.fromarray(RGB)

    def convert(self, mode):
        monkeypatch.setitem(sys.modules, "PIL.Image", None)
        return picture
    vanishing = type("Picture", (Image.Image,), {"mode": property(lambda self: "P"), "convert": convert})()
    with pytest.raises(ImportError):
        rd(vanishing, seed=1)


@pytest.mark.parametrize("fake", [
    type("NoDtype", (), {})(), type("DtypeRaises", (), {"dtype": property(boom)})(),
    type("StrRaises", (), {"dtype": raising("__str__")})(),
], ids=["no-dtype", "dtype-raises", "str-raises"])
def test_numpy_asarray_returning_no_array(monkeypatch, fake):
    monkeypatch.setattr(np, "asarray", lambda obj: fake)
    with pytest.raises(TypeError) as info:
        di([[1]])
    assert str(info.value) == DTYPE.format("<unknown>")


class Matrix:
    """What numpy.asarray may hand back: an object that says it is an array."""

    def __init__(self, values, shape, dtype):
        self.values, self.shape, self.dtype = values, shape, np.dtype(dtype)

    def astype(self, *args):
        return self

    flatten = astype

    def tolist(self):
        return self.values


@pytest.mark.parametrize("fake", [
    Matrix([0], (4, 4), int), Matrix([0.5], (2, 2), float), Matrix([], (3, 3), int),
], ids=["short-ranks", "short-thresholds", "empty"])
def test_matrix_with_fewer_values_than_its_shape_is_refused(monkeypatch, fake):
    asarray, probe = np.asarray, object()
    monkeypatch.setattr(np, "asarray", lambda obj, *args, **kwargs: fake if obj is probe else asarray(obj))
    with pytest.raises(ValueError):  # not a read past the values
        od(RGB, probe)


@pytest.mark.parametrize("call, shape", [
    (lambda image: ed(image, "stucki"), (1 << 20, 1 << 21)),
    (lambda image: od(image, 4, levels=7), (1 << 20, 1 << 20, 2)),
    (lambda image: rd(image, palette=PALETTE), (1 << 19, 1 << 20, 4)),
    (lambda image: di(image, "random"), (1 << 41, 1)),
], ids=["diffusion", "ordered", "random-palette", "dither"])
def test_image_too_large_to_copy_raises_memory_error(call, shape):
    terabytes = np.broadcast_to(np.zeros((1,) * len(shape), np.uint8), shape)  # a read-only view, no memory
    with pytest.raises(MemoryError):
        call(terabytes)
