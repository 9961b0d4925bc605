"""Module surface, argument binding and conversion, the listing functions and the dispatcher."""

import importlib.metadata
import inspect
import re
import subprocess
import sys
import sysconfig
import textwrap
from fractions import Fraction
from functools import partial

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel
import reference as ref
from fakes import Boom, boom, error_of, fake, numpy_bool
from leaks import assert_no_leaks

FUNCTIONS = [getattr(grainel, name) for name in grainel.__all__[1:]]
PARAMETERS = {name for f in FUNCTIONS for name in inspect.signature(f).parameters}
IMG = np.full((2, 2), 100, np.uint8)
RAMP = np.add.outer(np.arange(16) * 8, np.arange(20) * 5).astype(np.uint8)
RGBA = np.dstack([RAMP, RAMP[::-1], RAMP[:, ::-1], 255 - RAMP])


class Holder:
    class Flag:  # a nested type: messages name it by its qualified name
        pass


def index(value):
    return fake(__index__=lambda self: value)


def test_module_publishes_its_functions_and_version():
    assert set(grainel.__all__) == {name for name in dir(grainel) if not name.startswith("_")} | {"__version__"}
    assert grainel.__version__ == importlib.metadata.version("grainel")
    namespace = {}
    exec("from grainel import *", namespace)
    assert namespace.keys() - {"__builtins__"} == set(grainel.__all__)


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.__name__)
def test_docstring_and_signature_describe_the_function(f):
    params = inspect.signature(f).parameters
    assert (f.__self__, f.__module__) == (None, "grainel") and f.__doc__.strip()
    assert re.findall(r"^    (\w+): ", f.__doc__, re.M) == list(params)  # every parameter, in order
    if not params:
        return
    # The defaults shown are the ones used; keyword-only parameters refuse a position, and the
    # parameters of the other functions are refused.
    seed = {"seed": 5} if "seed" in params else {}
    defaults = {name: p.default for name, p in params.items() if p.default is not p.empty}
    assert_array_equal(f(RGBA, **defaults | seed), f(RGBA, **seed))
    positional = [p for p in params.values() if p.kind == p.POSITIONAL_OR_KEYWORD]
    with pytest.raises(TypeError, match=f"^{f.__name__}\\(\\) takes .* positional arguments but"):
        f(RGBA, *[None] * len(positional))
    for other in PARAMETERS - params.keys():
        with pytest.raises(TypeError, match=f"^{f.__name__}\\(\\) got an unexpected keyword argument '{other}'$"):
            f(RGBA, **{other: None})


def test_import_needs_no_numpy_and_runs_afresh():
    script = textwrap.dedent("""
        import importlib, sys
        sys.modules["numpy"] = None  # every import of NumPy fails
        import grainel
        assert sys.modules["numpy"] is None and len(grainel.available_methods()) == 9
        for f in [grainel.dither, grainel.ordered_dither, grainel.error_diffusion, grainel.random_dither]:
            try:
                f([[100, 100], [100, 100]])
                raise AssertionError(f.__name__ + " did not raise")
            except ImportError as e:
                assert "numpy" in str(e), repr(e)
        del sys.modules["numpy"]
        import numpy as np
        assert grainel.error_diffusion(np.full((2, 2), 100, np.uint8)).tolist() == [[0, 255], [0, 0]]
        del sys.modules["grainel"]
        again = importlib.import_module("grainel")
        assert again is not grainel and again.dither is not grainel.dither and again.__all__ is not grainel.__all__
        print("done")
        """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout == "done\n", done.stderr


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs free threading")
def test_import_keeps_the_gil_disabled():
    done = subprocess.run([sys.executable, "-c", "import sys, grainel; print(sys._is_gil_enabled())"],
                          capture_output=True, text=True, timeout=60)
    assert done.stdout == "False\n", done.stderr


# ------------------------------------------------------------------ binding and conversion

NOT_STR, NOT_BOOL = "'{}' object is not an instance of 'str'", "'{}' object is not an instance of 'bool'"
RANGE, BIG = "out of range integral type conversion attempted", "Python int larger than 128 bits"
NOT_INT = "'float' object cannot be interpreted as an integer"
NO_TRUTH = "object of type '{}' does not define a '__bool__' conversion"
JUNK_FLOAT = fake(__float__=lambda self: "1")


@pytest.mark.parametrize("name, args, kw, exc, message, note", [  # message None: CPython's own
    ("random_dither", (IMG, IMG), {"levels": -1, "bogus": 1}, TypeError,  # binding comes first
     "random_dither() takes 1 positional arguments but 2 were given", None),
    ("ordered_dither", (IMG, 8, 2), {}, TypeError, "ordered_dither() takes from 1 to 2 positional arguments "
     "but 3 were given", None),
    ("dither", (), {"levels": 4}, TypeError, "dither() missing 1 required positional argument: 'image'", None),
    ("ordered_dither", (IMG,), {"\ud800": 1}, UnicodeEncodeError, None, None),
    ("ordered_dither", (IMG, 4), {"matrix": 4}, TypeError,
     "ordered_dither() got multiple values for argument 'matrix'", None),
    ("dither", (IMG, "fs"), {"method": "x", "bogus": 1}, TypeError,
     "dither() got multiple values for argument 'method'", None),  # keywords in the caller's order
    ("dither", (IMG, "fs"), {"bogus": 1, "method": "x"}, TypeError,
     "dither() got an unexpected keyword argument 'bogus'", None),
    ("error_diffusion", (IMG, 8), {"levels": -1}, TypeError, NOT_STR.format("int"), "method"),
    ("dither", (IMG, None), {}, TypeError, "'None' is not an instance of 'str'", "method"),
    ("dither", (IMG, "f\ud800s"), {}, UnicodeEncodeError, None, "method"),
    ("ordered_dither", (IMG,), {"levels": 4.0}, TypeError, NOT_INT, "levels"),
    ("random_dither", (IMG,), {"levels": -1}, OverflowError, RANGE, "levels"),
    ("dither", (IMG,), {"levels": 2**32}, OverflowError, RANGE, "levels"),
    ("error_diffusion", (IMG,), {"levels": 2**64}, OverflowError, None, "levels"),
    ("random_dither", (IMG,), {"seed": 2**127}, OverflowError, BIG, "seed"),
    ("random_dither", (IMG,), {"seed": 1.0}, TypeError, NOT_INT, "seed"),
    ("ordered_dither", (IMG,), {"strength": None}, TypeError, None, "strength"),
    ("ordered_dither", (IMG,), {"strength": JUNK_FLOAT}, *error_of(float, JUNK_FLOAT), "strength"),
    ("ordered_dither", (IMG,), {"strength": fake(__index__=boom)}, Boom, "injected", "strength"),
    ("error_diffusion", (IMG,), {"serpentine": 1}, TypeError, NOT_BOOL.format("int"), "serpentine"),
    ("ordered_dither", (IMG,), {"linear": np.int64(1)}, TypeError, NOT_BOOL.format("int64"), "linear"),
    ("random_dither", (IMG,), {"linear": Holder.Flag()}, TypeError, NOT_BOOL.format("Holder.Flag"), "linear"),
    ("dither", (IMG,), {"preserve_alpha": None}, TypeError, "'None' is not an instance of 'bool'",
     "preserve_alpha"),
    # NumPy's bool scalars are read through their type's truth slot, whatever it does.
    ("error_diffusion", (IMG,), {"linear": numpy_bool()}, TypeError, NO_TRUTH.format("bool_"), "linear"),
    ("dither", (IMG, "random"), {"serpentine": numpy_bool("bool")}, TypeError, NO_TRUTH.format("bool"), "serpentine"),
    ("random_dither", (IMG,), {"preserve_alpha": numpy_bool(__bool__=boom)}, Boom, "injected", "preserve_alpha"),
    ("ordered_dither", (IMG,), {"linear": numpy_bool(__bool__=lambda self: 2)}, TypeError,
     "__bool__ should return bool, returned int", "linear"),
    # dither converts all its arguments, in parameter order, before it looks at the method.
    ("dither", (IMG,), {"linear": 1, "levels": 4.0}, TypeError, NOT_INT, "levels"),
    ("dither", (IMG, "nope"), {"linear": None}, TypeError, None, "linear"),
    ("dither", (IMG, "random"), {"serpentine": 1}, TypeError, None, "serpentine"),
    ("dither", (IMG, "fs"), {"seed": 1.0}, TypeError, None, "seed"),
])
def test_binding_and_conversion_errors(name, args, kw, exc, message, note):
    call = partial(getattr(grainel, name), *args, **kw)
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and (message is None or str(info.value) == message)
    assert getattr(info.value, "__notes__", None) == (note and [f"while processing '{note}'"])
    assert_no_leaks(call, *args, *kw.values())


C_LONG = "Python int too large to convert to C long"
LEVELS = "levels must be between 2 and 256, got {}"


# A count goes through C long's range first, with CPython's own message beyond
# it on every platform, then through the 32-bit range, then the levels check.
@pytest.mark.parametrize("value, exc, message", [
    (2**31, ValueError, LEVELS.format(2**31)),
    (2**32 - 1, ValueError, LEVELS.format(2**32 - 1)),
    (np.uint32(2**32 - 1), ValueError, LEVELS.format(2**32 - 1)),
    (2**32, OverflowError, RANGE),
    (2**63 - 1, OverflowError, RANGE),
    (2**63, OverflowError, C_LONG),
    (index(2**63), OverflowError, C_LONG),
    (np.uint64(2**63), OverflowError, C_LONG),
    (2**64 - 1, OverflowError, C_LONG),
    (np.uint64(2**64 - 1), OverflowError, C_LONG),
    (2**64, OverflowError, C_LONG),
    (-2**31, OverflowError, RANGE),
    (-2**32, OverflowError, RANGE),
    (-2**63, OverflowError, RANGE),
    (-2**63 - 1, OverflowError, C_LONG),
    (-2**64, OverflowError, C_LONG),
])
@pytest.mark.parametrize("name", ["dither", "error_diffusion", "ordered_dither", "random_dither"])
def test_counts_at_and_beyond_every_integer_boundary(name, value, exc, message):
    with pytest.raises(exc) as info:
        getattr(grainel, name)(IMG, levels=value)
    assert type(info.value) is exc and str(info.value) == message
    assert getattr(info.value, "__notes__", None) == (None if exc is ValueError else ["while processing 'levels'"])


@pytest.mark.parametrize("name, kw, same_as", [
    ("dither", {"levels": np.int64(4)}, {"levels": 4}),
    ("ordered_dither", {"levels": index(4)}, {"levels": 4}),
    ("random_dither", {"strength": 1}, {"strength": 1.0}),
    ("dither", {"strength": Fraction(1, 2)}, {"strength": 0.5}),
    ("ordered_dither", {"strength": index(0)}, {"strength": 0.0}),
    ("error_diffusion", {"strength": 1.00000001}, {"strength": 1.0}),  # narrowed into range
    ("error_diffusion", {"serpentine": np.True_}, {"serpentine": True}),
    ("error_diffusion", {"linear": numpy_bool(__bool__=lambda self: True)}, {"linear": True}),
    ("dither", {"method": type("Name", (str,), {})("atkinson")}, {"method": "atkinson"}),
    ("random_dither", {"seed": index(9)}, {"seed": 9}),
    ("random_dither", {"seed": np.uint64(2**64 - 1)}, {"seed": -1}),  # the seed modulo 2^64
    ("ordered_dither", {"palette": None, "levels": 4}, {"levels": 4}),
    ("error_diffusion", {"palette": ["#000", "#fff"], "levels": 2}, {"palette": ["#000", "#fff"]}),
    ("random_dither", {"palette": np.array([(0, 0, 0), (250, 30, 30), (0, 0, 255)])},
     {"palette": ["#000", (250, 30, 30), b"\0\0\xff"]}),
    ("ordered_dither", {"matrix": np.linspace(0, 1, 36).reshape(6, 6)},
     {"matrix": np.linspace(0, 1, 36).reshape(6, 6).tolist()}),
    ("ordered_dither", {"matrix": np.arange(12, dtype=np.int16).reshape(3, 4), "palette": ["#000", "#fff"]},
     {"matrix": np.arange(12).reshape(3, 4).tolist(), "palette": ["#000", "#fff"]}),
])
def test_accepted_values(name, kw, same_as):
    f = getattr(grainel, name)
    if name == "random_dither":
        kw, same_as = {"seed": 3} | kw, {"seed": 3} | same_as
    assert_array_equal(f(RGBA, **kw), f(RGBA, **same_as))
    assert_no_leaks(lambda: f(RGBA, **kw), RGBA, *kw.values())


# ------------------------------------------------------------------ listing, names and dispatch

@pytest.mark.parametrize("listing, expected, engine", [
    (grainel.available_methods, ref.METHODS, grainel.error_diffusion),
    (grainel.available_matrices, [f"bayer{n}x{n}" for n in (2, 4, 8, 16)], grainel.ordered_dither),
])
def test_listings_are_fresh_lists_of_accepted_names(listing, expected, engine):
    names = listing()
    assert type(names) is list and names == expected and listing() is not names
    with pytest.raises(TypeError):
        listing(1)
    for name in names:
        assert_array_equal(grainel.dither(RAMP, name), engine(RAMP, name))


@pytest.mark.parametrize("name, method", [
    ("dither", "nope"), ("dither", ""), ("dither", "bayer3x3"), ("dither", "random2"), ("dither", 'a"b'),
    ("error_diffusion", "random"), ("error_diffusion", "bayer8x8"), ("error_diffusion", "judice"),
    ("error_diffusion", " -_"),
])
def test_unknown_methods_are_reported_before_any_other_argument(name, method):
    call = partial(getattr(grainel, name), np.zeros(5), method, levels=1, strength=5.0, palette="bad")
    with pytest.raises(ValueError) as info:
        call()
    assert_no_leaks(call, method)
    valid = grainel.available_methods() + (grainel.available_matrices() + ["random"]) * (name == "dither")
    kind = "dither" if name == "dither" else "error-diffusion"
    assert str(info.value) == (f"unknown {kind} method {ref.debug_string(method)}; valid values: "
                               + ", ".join(f"'{n}'" for n in valid))
