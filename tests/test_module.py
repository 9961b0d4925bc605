"""Module surface, argument binding and conversion, the listing functions and the dispatcher."""

import inspect
import subprocess
import sys
import sysconfig
import textwrap
from fractions import Fraction

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel

METHODS = ["floyd_steinberg", "false_floyd_steinberg", "jarvis_judice_ninke", "stucki",
           "atkinson", "burkes", "sierra", "sierra_two_row", "sierra_lite"]
MATRICES = ["bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16"]

# ------------------------------------------------------------------ module and docstrings

IMAGE = """\
    image: uint8 numpy array — 2-D grayscale or 3-D (H, W, C) — or a PIL
        image (a PIL image is returned in that case)."""
LEVELS = "    levels: number of output levels per channel (2 = black & white)."
PALETTE = """\
    palette: dither to these colors instead of gray levels — a sequence
        of '#rrggbb' hex strings or (r, g, b) tuples. Needs an RGB(A)
        image; the alpha channel is always passed through. Mutually
        exclusive with levels."""
STRENGTH = "    strength: dithering strength in [0, 1]; 0 = plain quantization."
LINEAR = """\
    linear: do the math in linear light instead of raw sRGB values
        (gamma-correct; preserves perceived brightness)."""
ALPHA = """\
    preserve_alpha: leave the last channel untouched for 2- or 4-channel
        images (LA / RGBA)."""
RETURNS = "\nReturns:\n    A new uint8 array (or PIL image) of the same shape."
MATRIX = """\
    matrix: 'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16'
        (case-insensitive), the size as an int (2, 4, 8, 16), or a custom
        2-D numpy matrix: integer dtype = Bayer-style indices,
        float dtype = thresholds in [0, 1]."""
METHOD = """\
    method: 'floyd_steinberg', 'false_floyd_steinberg',
        'jarvis_judice_ninke', 'stucki', 'atkinson', 'burkes', 'sierra',
        'sierra_two_row' or 'sierra_lite' (case-insensitive; '-' and '_'
        interchangeable; aliases like 'fs', 'jjn', 'sierra2' work)."""
DISPATCH = """\
Dispatches on `method`: an error-diffusion name ('floyd_steinberg', 'fs',
'atkinson', ...), an ordered matrix name ('bayer8x8', ...), or 'random'.
See `error_diffusion`, `ordered_dither` and `random_dither` for the
method-specific parameters; parameters that don't apply to the chosen
method are ignored."""
DITHER_PALETTE = """\
    palette: dither to these colors instead of gray levels — a sequence
        of '#rrggbb' hex strings or (r, g, b) tuples; the alpha channel
        is always passed through."""
TAIL = "levels=2, palette=None, "
FUNCTIONS = {  # name: (text signature, docstring)
    "random_dither": (
        f"(image, *, {TAIL}seed=None, strength=1.0, linear=False, preserve_alpha=True)",
        ["Apply random (white-noise) threshold dithering.", "", "Args:", IMAGE, LEVELS, PALETTE,
         "    seed: optional seed for reproducible output; random when omitted.",
         STRENGTH, LINEAR, ALPHA, RETURNS]),
    "ordered_dither": (
        f"(image, matrix=None, *, {TAIL}strength=1.0, linear=False, preserve_alpha=True)",
        ["Apply ordered (Bayer / threshold-matrix) dithering.", "", "Args:", IMAGE, MATRIX,
         LEVELS, PALETTE, STRENGTH, LINEAR, ALPHA, RETURNS]),
    "error_diffusion": (
        f'(image, method="floyd_steinberg", *, {TAIL}serpentine=False, strength=1.0, linear=False, '
        "preserve_alpha=True)",
        ["Apply error-diffusion dithering (Floyd–Steinberg and friends).", "", "Args:", IMAGE, METHOD,
         LEVELS, PALETTE, "    serpentine: alternate scan direction every row; reduces directional",
         "        worm artifacts.", "    strength: fraction of the quantization error diffused, in [0, 1].",
         LINEAR, ALPHA, RETURNS]),
    "dither": (
        f'(image, method="floyd_steinberg", *, {TAIL}serpentine=False, seed=None, strength=1.0, '
        "linear=False, preserve_alpha=True)",
        ["Dither an image — the one-stop entry point.", "", DISPATCH, "", "Args:", IMAGE,
         "    method: what to dither with; default 'floyd_steinberg'.", LEVELS, DITHER_PALETTE,
         "    serpentine: (error diffusion) alternate scan direction every row.",
         "    seed: (random) optional seed for reproducible output.", STRENGTH, LINEAR, ALPHA, RETURNS]),
    "available_methods": ("()", ["List the valid `method` values for `error_diffusion`."]),
    "available_matrices": ("()", ["List the valid `matrix` values for `ordered_dither`."]),
}


def test_module_attributes():
    assert grainel.__version__ == "0.2.0" and grainel.__doc__ == ""
    assert grainel.__all__ == ["__version__", "dither", "ordered_dither", "error_diffusion",
                               "random_dither", "available_matrices", "available_methods"]
    namespace = {}
    exec("from grainel import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(grainel.__all__)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    f = getattr(grainel, name)
    signature, doc = FUNCTIONS[name]
    assert (f.__name__, f.__self__, f.__module__) == (name, None, "grainel")
    assert f.__text_signature__ == signature
    assert f.__doc__ == "\n".join(doc)
    assert str(inspect.signature(f)) == signature.replace('"', "'")


def test_import_needs_no_numpy_and_runs_afresh():
    script = textwrap.dedent("""
        import importlib, sys

        class Blocker:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] == "numpy":
                    raise ImportError("numpy blocked by test")

        sys.meta_path.insert(0, Blocker())
        import grainel
        assert "numpy" not in sys.modules and len(grainel.available_methods()) == 9
        for name in ["dither", "ordered_dither", "error_diffusion", "random_dither"]:
            try:
                getattr(grainel, name)([[100, 100], [100, 100]])
                raise AssertionError(name + " did not raise")
            except ImportError as e:
                assert "numpy blocked by test" in str(e), repr(e)
        del sys.meta_path[0]
        import numpy as np
        assert grainel.error_diffusion(np.full((2, 2), 100, np.uint8)).tolist() == [[0, 255], [0, 0]]
        del sys.modules["grainel"]
        again = importlib.import_module("grainel")
        assert again is not grainel and again.dither is not grainel.dither
        assert again.__all__ == grainel.__all__ and again.__all__ is not grainel.__all__
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

IMG = np.full((2, 2), 100, np.uint8)
RAMP = np.add.outer(np.arange(16) * 8, np.arange(20) * 5).astype(np.uint8)
RGBA = np.dstack([RAMP, RAMP[::-1], RAMP[:, ::-1], 255 - RAMP])
POSITIONAL = {"dither": 2, "ordered_dither": 2, "error_diffusion": 2, "random_dither": 1}


class Boom(Exception):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is None:
            raise Boom("no index")
        return self.value


class Holder:
    class Flag:
        pass


def caught(exc, fn, *args, **kw):
    with pytest.raises(exc) as info:
        fn(*args, **kw)
    return info.value


@pytest.mark.parametrize("name, args, kw, message", [
    *[(name, (IMG,) * (n + 1), {"levels": -1, "bogus": 1},  # binding comes before conversion
       f"takes {'1' if n == 1 else 'from 1 to 2'} positional arguments but {n + 1} were given")
      for name, n in POSITIONAL.items()],
    *[(name, (), {"levels": 4}, "missing 1 required positional argument: 'image'") for name in POSITIONAL],
    ("error_diffusion", (IMG,), {"levels": 4, "levels2": 1}, "got an unexpected keyword argument 'levels2'"),
    ("random_dither", (IMG,), {"serpentine": True}, "got an unexpected keyword argument 'serpentine'"),
    ("ordered_dither", (IMG,), {"seed": 1}, "got an unexpected keyword argument 'seed'"),
    ("error_diffusion", (IMG,), {"matrix": 4}, "got an unexpected keyword argument 'matrix'"),
    ("random_dither", (IMG,), {"image": IMG}, "got multiple values for argument 'image'"),
    ("ordered_dither", (IMG, 4), {"matrix": 4}, "got multiple values for argument 'matrix'"),
    ("dither", (IMG, "fs"), {"method": "x", "bogus": 1}, "got multiple values for argument 'method'"),
    ("dither", (IMG, "fs"), {"bogus": 1, "method": "x"}, "got an unexpected keyword argument 'bogus'"),
])
def test_binding_errors(name, args, kw, message):
    e = caught(TypeError, getattr(grainel, name), *args, **kw)
    assert str(e) == f"{name}() {message}" and not hasattr(e, "__notes__")


NOT_STR, NOT_BOOL = "'{}' object is not an instance of 'str'", "'{}' object is not an instance of 'bool'"
RANGE, BIG = "out of range integral type conversion attempted", "Python int larger than 128 bits"


@pytest.mark.parametrize("name, keyword, value, exc, message", [  # message None: CPython's own
    ("error_diffusion", "method", 8, TypeError, NOT_STR.format("int")),
    ("dither", "method", None, TypeError, "'None' is not an instance of 'str'"),
    ("dither", "method", "f\ud800s", UnicodeEncodeError, None),
    ("ordered_dither", "levels", 4.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("random_dither", "levels", -1, OverflowError, RANGE),
    ("dither", "levels", 2**32, OverflowError, RANGE),
    ("error_diffusion", "levels", 2**64, OverflowError, None),
    ("error_diffusion", "levels", Index(None), Boom, "no index"),
    ("random_dither", "seed", 2**127, OverflowError, BIG),
    ("dither", "seed", -2**127 - 1, OverflowError, BIG),
    ("random_dither", "seed", 1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("ordered_dither", "strength", None, TypeError, None),
    ("error_diffusion", "serpentine", 1, TypeError, NOT_BOOL.format("int")),
    ("ordered_dither", "linear", np.int64(1), TypeError, NOT_BOOL.format("int64")),
    ("random_dither", "linear", Holder.Flag(), TypeError, NOT_BOOL.format("Holder.Flag")),
    ("dither", "preserve_alpha", None, TypeError, "'None' is not an instance of 'bool'"),
])
def test_conversion_errors_carry_one_note(name, keyword, value, exc, message):
    e = caught(exc, getattr(grainel, name), IMG, **{keyword: value})
    assert type(e) is exc and (message is None or str(e) == message)
    assert e.__notes__ == [f"while processing '{keyword}'"]


@pytest.mark.parametrize("args, kw, failing", [
    ((IMG, 8), {"levels": -1}, "method"),
    ((IMG,), {"linear": 1, "levels": 4.0}, "levels"),  # in parameter order, not the caller's
    ((IMG, "nope"), {"linear": None}, "linear"),  # before the method is looked up
    ((IMG, "random"), {"serpentine": 1}, "serpentine"),  # even when the method ignores it
    ((IMG, "fs"), {"seed": 1.0}, "seed"),
])
def test_dither_converts_every_argument_first(args, kw, failing):
    assert caught(Exception, grainel.dither, *args, **kw).__notes__ == [f"while processing '{failing}'"]


@pytest.mark.parametrize("name, kw, message", [
    ("dither", {"levels": True}, "levels must be between 2 and 256, got 1"),
    ("random_dither", {"levels": 4294967295}, "levels must be between 2 and 256, got 4294967295"),
    ("ordered_dither", {"levels": Index(300)}, "levels must be between 2 and 256, got 300"),
    ("error_diffusion", {"strength": -1.0}, "strength must be between 0.0 and 1.0, got -1"),
])
def test_converted_values_are_checked_later_without_note(name, kw, message):
    e = caught(ValueError, getattr(grainel, name), IMG, **kw)
    assert str(e) == message and not hasattr(e, "__notes__")


@pytest.mark.parametrize("name, kw, same_as", [
    ("dither", {"levels": np.int64(4)}, {"levels": 4}),
    ("ordered_dither", {"levels": Index(4)}, {"levels": 4}),
    ("random_dither", {"strength": 1}, {"strength": 1.0}),
    ("error_diffusion", {"strength": np.float32(0.5)}, {"strength": 0.5}),
    ("dither", {"strength": Fraction(1, 2)}, {"strength": 0.5}),
    ("ordered_dither", {"strength": Index(0)}, {"strength": 0.0}),
    ("error_diffusion", {"strength": 1.00000001}, {"strength": 1.0}),  # narrowed into range
    ("random_dither", {"strength": -1e-50}, {"strength": 0.0}),
    ("random_dither", {"linear": np.True_}, {"linear": True}),
    ("error_diffusion", {"preserve_alpha": np.False_}, {"preserve_alpha": False}),
    ("error_diffusion", {"serpentine": np.True_}, {"serpentine": True}),
    ("dither", {"method": type("Name", (str,), {})("atkinson")}, {"method": "atkinson"}),
    ("random_dither", {"seed": Index(9)}, {"seed": 9}),
    ("ordered_dither", {"matrix": None}, {}),
    ("ordered_dither", {"palette": None, "levels": 4}, {"levels": 4}),
    ("error_diffusion", {"palette": ["#000", "#fff"], "levels": 2}, {"palette": ["#000", "#fff"]}),
])
def test_accepted_values(name, kw, same_as):
    f = getattr(grainel, name)
    if name == "random_dither":
        kw, same_as = {"seed": 3, **kw}, {"seed": 3, **same_as}
    assert_array_equal(f(RGBA, **kw), f(RGBA, **same_as))


# ------------------------------------------------------------------ listing and dispatch

@pytest.mark.parametrize("name, expected, engine", [
    ("available_methods", METHODS, grainel.error_diffusion),
    ("available_matrices", MATRICES, grainel.ordered_dither),
])
def test_listing(name, expected, engine):
    f = getattr(grainel, name)
    first = f()
    assert type(first) is list and first == expected
    first.append("junk")
    assert f() == expected
    for args, kw in [((1,), {}), ((), {"x": 1})]:
        caught(TypeError, f, *args, **kw)
    for method in expected:
        assert_array_equal(grainel.dither(RAMP, method), engine(RAMP, method))


OPTIONS = {
    "defaults": (RAMP, {}),
    "levels-strength-linear-alpha": (RGBA[:, :, :2], dict(levels=3, strength=0.7, linear=True,
                                                          preserve_alpha=False)),
    "palette": (RGBA, {"palette": ["#000000", "#ff0000", (0, 255, 0), "#0000ff", "#ffffff"]}),
}


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("method, engine, argument", [
    ("FS", "error_diffusion", "floyd_steinberg"), ("sierra-2", "error_diffusion", "sierra_two_row"),
    ("random", "random_dither", None), ("RANDOM", "random_dither", None), ("ran-dom", "random_dither", None),
    ("4x4", "ordered_dither", 4), ("4", "ordered_dither", 4), ("Bayer 8x8", "ordered_dither", 8),
    ("bayer-2", "ordered_dither", 2), ("BAYER_16X16", "ordered_dither", 16),
])
def test_dither_routes(method, engine, argument, options):
    img, kw = OPTIONS[options]
    got = grainel.dither(img, method, serpentine=True, seed=11, **kw)  # each engine ignores one of them
    if engine == "error_diffusion":
        expected = grainel.error_diffusion(img, argument, serpentine=True, **kw)
    elif engine == "random_dither":
        expected = grainel.random_dither(img, seed=11, **kw)
    else:
        expected = grainel.ordered_dither(img, argument, **kw)
    assert_array_equal(got, expected)


def test_dither_defaults_to_floyd_steinberg():
    assert_array_equal(grainel.dither(RAMP, seed=5), grainel.error_diffusion(RAMP, "floyd_steinberg"))


VALID = ", ".join(f"'{n}'" for n in METHODS + MATRICES + ["random"])


@pytest.mark.parametrize("method, shown", [
    ("nope", '"nope"'), ("", '""'), ("bayer3x3", '"bayer3x3"'), ("08", '"08"'), ("random2", '"random2"'),
    ('a"b', r'"a\"b"'),
])
def test_dither_unknown_method(method, shown):
    e = caught(ValueError, grainel.dither, "not an image", method, levels=1, strength=5.0, palette="bad")
    assert str(e) == f"unknown dither method {shown}; valid values: {VALID}"
    e = caught(OverflowError, grainel.dither, IMG, method, levels=-1)  # conversions come first
    assert e.__notes__ == ["while processing 'levels'"]


@pytest.mark.parametrize("method", ["random", "bayer8x8", "8"])
def test_error_diffusion_does_not_dispatch(method):
    e = caught(ValueError, grainel.error_diffusion, RAMP, method)
    assert str(e).startswith(f'unknown error-diffusion method "{method}"; valid values: ')
