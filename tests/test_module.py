"""Module surface, argument binding/conversion, listing functions and dispatch."""

import functools
import inspect
import operator
import subprocess
import sys
import sysconfig
import textwrap
from fractions import Fraction

import numpy as np
import pytest

import grainel

METHODS = ["floyd_steinberg", "false_floyd_steinberg", "jarvis_judice_ninke", "stucki",
           "atkinson", "burkes", "sierra", "sierra_two_row", "sierra_lite"]
MATRICES = ["bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16"]
DITHERERS = ["dither", "ordered_dither", "error_diffusion", "random_dither"]
ALL_FUNCS = DITHERERS + ["available_matrices", "available_methods"]

# ---------------------------------------------------------------- docstrings

IMAGE = ["    image: uint8 numpy array — 2-D grayscale or 3-D (H, W, C) — or a PIL",
         "        image (a PIL image is returned in that case)."]
LEVELS = ["    levels: number of output levels per channel (2 = black & white)."]
PALETTE = ["    palette: dither to these colors instead of gray levels — a sequence",
           "        of '#rrggbb' hex strings or (r, g, b) tuples. Needs an RGB(A)",
           "        image; the alpha channel is always passed through. Mutually",
           "        exclusive with levels."]
STRENGTH = ["    strength: dithering strength in [0, 1]; 0 = plain quantization."]
LINEAR = ["    linear: do the math in linear light instead of raw sRGB values",
          "        (gamma-correct; preserves perceived brightness)."]
ALPHA = ["    preserve_alpha: leave the last channel untouched for 2- or 4-channel",
         "        images (LA / RGBA)."]
RETURNS = ["", "Returns:", "    A new uint8 array (or PIL image) of the same shape."]

SIGNATURES = {
    "random_dither": "(image, *, levels=2, palette=None, seed=None, strength=1.0, "
                     "linear=False, preserve_alpha=True)",
    "ordered_dither": "(image, matrix=None, *, levels=2, palette=None, strength=1.0, "
                      "linear=False, preserve_alpha=True)",
    "error_diffusion": '(image, method="floyd_steinberg", *, levels=2, palette=None, '
                       "serpentine=False, strength=1.0, linear=False, preserve_alpha=True)",
    "dither": '(image, method="floyd_steinberg", *, levels=2, palette=None, '
              "serpentine=False, seed=None, strength=1.0, linear=False, preserve_alpha=True)",
    "available_methods": "()",
    "available_matrices": "()",
}

DOCS = {
    "random_dither": ["Apply random (white-noise) threshold dithering.", "", "Args:",
                      *IMAGE, *LEVELS, *PALETTE,
                      "    seed: optional seed for reproducible output; random when omitted.",
                      *STRENGTH, *LINEAR, *ALPHA, *RETURNS],
    "ordered_dither": ["Apply ordered (Bayer / threshold-matrix) dithering.", "", "Args:",
                       *IMAGE,
                       "    matrix: 'bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16'",
                       "        (case-insensitive), the size as an int (2, 4, 8, 16), or a custom",
                       "        2-D numpy matrix: integer dtype = Bayer-style indices,",
                       "        float dtype = thresholds in [0, 1].",
                       *LEVELS, *PALETTE, *STRENGTH, *LINEAR, *ALPHA, *RETURNS],
    "error_diffusion": ["Apply error-diffusion dithering (Floyd–Steinberg and friends).", "",
                        "Args:", *IMAGE,
                        "    method: 'floyd_steinberg', 'false_floyd_steinberg',",
                        "        'jarvis_judice_ninke', 'stucki', 'atkinson', 'burkes', 'sierra',",
                        "        'sierra_two_row' or 'sierra_lite' (case-insensitive; '-' and '_'",
                        "        interchangeable; aliases like 'fs', 'jjn', 'sierra2' work).",
                        *LEVELS, *PALETTE,
                        "    serpentine: alternate scan direction every row; reduces directional",
                        "        worm artifacts.",
                        "    strength: fraction of the quantization error diffused, in [0, 1].",
                        *LINEAR, *ALPHA, *RETURNS],
    "dither": ["Dither an image — the one-stop entry point.", "",
               "Dispatches on `method`: an error-diffusion name ('floyd_steinberg', 'fs',",
               "'atkinson', ...), an ordered matrix name ('bayer8x8', ...), or 'random'.",
               "See `error_diffusion`, `ordered_dither` and `random_dither` for the",
               "method-specific parameters; parameters that don't apply to the chosen",
               "method are ignored.",
               "", "Args:", *IMAGE,
               "    method: what to dither with; default 'floyd_steinberg'.",
               *LEVELS,
               "    palette: dither to these colors instead of gray levels — a sequence",
               "        of '#rrggbb' hex strings or (r, g, b) tuples; the alpha channel",
               "        is always passed through.",
               "    serpentine: (error diffusion) alternate scan direction every row.",
               "    seed: (random) optional seed for reproducible output.",
               *STRENGTH, *LINEAR, *ALPHA, *RETURNS],
    "available_methods": ["List the valid `method` values for `error_diffusion`."],
    "available_matrices": ["List the valid `matrix` values for `ordered_dither`."],
}

P, K = inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY
KW_DEFAULTS = {"levels": 2, "palette": None, "serpentine": False, "seed": None,
               "strength": 1.0, "linear": False, "preserve_alpha": True}
PARAMS = {
    "dither": [("method", "floyd_steinberg"), "levels", "palette", "serpentine", "seed",
               "strength", "linear", "preserve_alpha"],
    "random_dither": ["levels", "palette", "seed", "strength", "linear", "preserve_alpha"],
    "ordered_dither": [("matrix", None), "levels", "palette", "strength", "linear",
                       "preserve_alpha"],
    "error_diffusion": [("method", "floyd_steinberg"), "levels", "palette", "serpentine",
                        "strength", "linear", "preserve_alpha"],
}


def test_module_attributes():
    assert grainel.__version__ == "0.2.0" and type(grainel.__version__) is str
    assert grainel.__all__ == ["__version__", "dither", "ordered_dither", "error_diffusion",
                               "random_dither", "available_matrices", "available_methods"]
    assert grainel.__doc__ == ""
    ns = {}
    exec("from grainel import *", ns)
    assert set(ns) - {"__builtins__"} == set(grainel.__all__)


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_function_object(name):
    f = getattr(grainel, name)
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == name
    assert f.__self__ is None
    assert f.__module__ == "grainel"
    assert f.__text_signature__ == SIGNATURES[name]
    assert f.__doc__ == "\n".join(DOCS[name])


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_inspect_signature(name):
    expected = [("image", P, inspect.Parameter.empty)] if name in PARAMS else []
    for p in PARAMS.get(name, []):
        if isinstance(p, tuple):
            expected.append((p[0], P, p[1]))
        else:
            expected.append((p, K, KW_DEFAULTS[p]))
    sig = inspect.signature(getattr(grainel, name))
    assert [(p.name, p.kind, p.default) for p in sig.parameters.values()] == expected


def run_py(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_import_without_numpy_then_unblocked():
    out = run_py("""
        import sys

        class Blocker:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ImportError("numpy blocked by test")
                return None

        blocker = Blocker()
        sys.meta_path.insert(0, blocker)
        import grainel
        assert "numpy" not in sys.modules
        assert grainel.__version__ == "0.2.0"
        assert len(grainel.available_methods()) == 9
        for name in ["dither", "ordered_dither", "error_diffusion", "random_dither"]:
            try:
                getattr(grainel, name)([[100, 100], [100, 100]])
            except ImportError as e:
                assert "numpy blocked by test" in str(e), (name, repr(e))
            else:
                raise AssertionError(name + " did not raise")

        sys.meta_path.remove(blocker)
        import numpy as np
        img = np.full((2, 2), 100, np.uint8)
        out = grainel.error_diffusion(img)
        assert out.tolist() == [[0, 255], [0, 0]], out.tolist()
        for name in ["dither", "ordered_dither", "random_dither"]:
            res = getattr(grainel, name)(img)
            assert isinstance(res, np.ndarray) and res.dtype == np.uint8
            assert res.shape == (2, 2)
        print("done")
        """)
    assert out.strip() == "done"


def test_fresh_import_builds_new_objects():
    out = run_py("""
        import importlib, sys
        import grainel as m1
        assert "numpy" not in sys.modules
        del sys.modules["grainel"]
        m2 = importlib.import_module("grainel")
        assert m2 is not m1 and m2.dither is not m1.dither
        assert m2.__all__ == m1.__all__ and m2.__all__ is not m1.__all__
        print("done")
        """)
    assert out.strip() == "done"


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="needs a free-threaded interpreter")
def test_import_keeps_gil_disabled():
    assert run_py("import sys, grainel; print(sys._is_gil_enabled())").strip() == "False"


# ---------------------------------------------------------------- binding

IMG = np.full((2, 2), 100, np.uint8)


def notes(exc):
    return getattr(exc, "__notes__", [])


def call_and_catch(fn, *args, exc=Exception, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    return info.value


@pytest.mark.parametrize("name", DITHERERS)
@pytest.mark.parametrize("extra", [1, 2])
def test_too_many_positional(name, extra):
    f = getattr(grainel, name)
    npos = 1 if name == "random_dither" else 2
    given = npos + extra
    e = call_and_catch(f, IMG, *["fs"] * (given - 1), levels=-1, bogus=1, exc=TypeError)
    takes = "1" if npos == 1 else "from 1 to 2"
    assert str(e) == f"{name}() takes {takes} positional arguments but {given} were given"
    assert notes(e) == []


@pytest.mark.parametrize("name", DITHERERS)
@pytest.mark.parametrize("args, kwargs, msg", [
    ((IMG,), {"levels": 4, "levels2": 1}, "got an unexpected keyword argument 'levels2'"),
    ((), {"bogus": 1}, "got an unexpected keyword argument 'bogus'"),
    ((IMG,), {"image": IMG}, "got multiple values for argument 'image'"),
    ((), {}, "missing 1 required positional argument: 'image'"),
    ((), {"levels": 4}, "missing 1 required positional argument: 'image'"),
])
def test_binding_errors_shared(name, args, kwargs, msg):
    e = call_and_catch(getattr(grainel, name), *args, exc=TypeError, **kwargs)
    assert str(e) == f"{name}() {msg}"
    assert notes(e) == []


@pytest.mark.parametrize("name, args, kwargs, msg", [
    ("error_diffusion", (IMG, "fs"), {"method": "fs"}, "got multiple values for argument 'method'"),
    ("dither", (IMG, "fs"), {"method": "fs"}, "got multiple values for argument 'method'"),
    ("ordered_dither", (IMG, 4), {"matrix": 4}, "got multiple values for argument 'matrix'"),
    ("random_dither", (IMG,), {"method": "fs"}, "got an unexpected keyword argument 'method'"),
    ("random_dither", (IMG,), {"matrix": 4}, "got an unexpected keyword argument 'matrix'"),
    ("random_dither", (IMG,), {"serpentine": True}, "got an unexpected keyword argument 'serpentine'"),
    ("ordered_dither", (IMG,), {"seed": 1}, "got an unexpected keyword argument 'seed'"),
    ("ordered_dither", (IMG,), {"method": "fs"}, "got an unexpected keyword argument 'method'"),
    ("ordered_dither", (IMG,), {"serpentine": True}, "got an unexpected keyword argument 'serpentine'"),
    ("error_diffusion", (IMG,), {"seed": 1}, "got an unexpected keyword argument 'seed'"),
    ("error_diffusion", (IMG,), {"matrix": 4}, "got an unexpected keyword argument 'matrix'"),
    # keywords are checked in the caller's order, before any conversion
    ("dither", (IMG, "fs"), {"method": "x", "bogus": 1}, "got multiple values for argument 'method'"),
    ("dither", (IMG, "fs"), {"bogus": 1, "method": "x"}, "got an unexpected keyword argument 'bogus'"),
    ("dither", (), {"levels": -1, "bogus": 1}, "got an unexpected keyword argument 'bogus'"),
])
def test_binding_errors_per_function(name, args, kwargs, msg):
    e = call_and_catch(getattr(grainel, name), *args, exc=TypeError, **kwargs)
    assert str(e) == f"{name}() {msg}"
    assert notes(e) == []


@pytest.mark.parametrize("name", DITHERERS)
def test_keyword_name_not_utf8(name):
    e = call_and_catch(getattr(grainel, name), IMG, exc=UnicodeEncodeError, **{"\ud800": 1})
    assert notes(e) == []


# ---------------------------------------------------------------- conversions

class _Holder:
    class Flag:
        pass


class _Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def _index_message(obj):
    # CPython's own wording for a value that is not an integer, passed through unchanged
    try:
        operator.index(obj)
    except TypeError as e:
        return str(e)


# (functions, keyword, value, exception type, exact message or None)
WITH_METHOD, WITH_SEED = ["dither", "error_diffusion"], ["dither", "random_dither"]
RANGE = "out of range integral type conversion attempted"
BIG = "Python int larger than 128 bits"
CONVERSION_ERRORS = [
    (WITH_METHOD, "method", 8, TypeError, "'int' object is not an instance of 'str'"),
    (WITH_METHOD, "method", None, TypeError, "'None' is not an instance of 'str'"),
    (WITH_METHOD, "method", b"fs", TypeError, "'bytes' object is not an instance of 'str'"),
    (WITH_METHOD, "method", "f\ud800s", UnicodeEncodeError, None),
    (DITHERERS, "levels", 4.0, TypeError, _index_message(4.0)),
    (DITHERERS, "levels", None, TypeError, _index_message(None)),
    (DITHERERS, "levels", "4", TypeError, _index_message("4")),
    (DITHERERS, "levels", -1, OverflowError, RANGE),
    (DITHERERS, "levels", 2**32, OverflowError, RANGE),
    (DITHERERS, "levels", -2**40, OverflowError, RANGE),
    (DITHERERS, "levels", 2**64, OverflowError, None),
    (WITH_SEED, "seed", 2**127, OverflowError, BIG),
    (WITH_SEED, "seed", -2**127 - 1, OverflowError, BIG),
    (WITH_SEED, "seed", 1.0, TypeError, _index_message(1.0)),
    (WITH_SEED, "seed", "1", TypeError, _index_message("1")),
    (DITHERERS, "strength", None, TypeError, None),
    (DITHERERS, "strength", "0.5", TypeError, None),
    (DITHERERS, "strength", 1j, TypeError, None),
    (WITH_METHOD, "serpentine", 1, TypeError, "'int' object is not an instance of 'bool'"),
    (DITHERERS, "linear", 1, TypeError, "'int' object is not an instance of 'bool'"),
    (DITHERERS, "linear", 0, TypeError, "'int' object is not an instance of 'bool'"),
    (DITHERERS, "linear", np.int64(1), TypeError, "'int64' object is not an instance of 'bool'"),
    (DITHERERS, "linear", _Holder.Flag(), TypeError,
     "'_Holder.Flag' object is not an instance of 'bool'"),
    (DITHERERS, "preserve_alpha", None, TypeError, "'None' is not an instance of 'bool'"),
    (DITHERERS, "preserve_alpha", "yes", TypeError, "'str' object is not an instance of 'bool'"),
]


@pytest.mark.parametrize("name, kw, value, exc, msg", [
    pytest.param(n, kw, v, exc, msg, id=f"{n}-{kw}-{v!r}")
    for names, kw, v, exc, msg in CONVERSION_ERRORS for n in names])
def test_conversion_errors(name, kw, value, exc, msg):
    e = call_and_catch(getattr(grainel, name), IMG, exc=exc, **{kw: value})
    assert type(e) is exc
    if msg is not None:
        assert str(e) == msg
    assert notes(e) == [f"while processing '{kw}'"]


@pytest.mark.parametrize("name", ["dither", "error_diffusion"])
def test_method_positional_conversion_error(name):
    e = call_and_catch(getattr(grainel, name), IMG, 8, exc=TypeError)
    assert str(e) == "'int' object is not an instance of 'str'"
    assert notes(e) == ["while processing 'method'"]


@pytest.mark.parametrize("args, kwargs, failing", [
    ((IMG, 8), {"levels": -1}, "method"),
    ((IMG,), {"linear": 1, "levels": 4.0}, "levels"),  # positional order, not caller order
    ((IMG,), {"preserve_alpha": 0, "strength": None, "seed": 1.5}, "seed"),
    ((IMG, "nope"), {"linear": None}, "linear"),  # conversion comes before routing
    ((IMG, "random"), {"serpentine": 1}, "serpentine"),
    ((IMG, "fs"), {"seed": 1.0}, "seed"),
    ((IMG, "bayer4x4"), {"seed": 2**127}, "seed"),
])
def test_dither_conversion_order(args, kwargs, failing):
    e = call_and_catch(grainel.dither, *args, **kwargs)
    assert notes(e) == [f"while processing '{failing}'"]


@pytest.mark.parametrize("name", DITHERERS)
@pytest.mark.parametrize("kwargs, msg", [
    ({"levels": True}, "levels must be between 2 and 256, got 1"),
    ({"levels": False}, "levels must be between 2 and 256, got 0"),
    ({"levels": 4294967295}, "levels must be between 2 and 256, got 4294967295"),
    ({"levels": _Index(300)}, "levels must be between 2 and 256, got 300"),
    ({"strength": -1.0}, "strength must be between 0.0 and 1.0, got -1"),
    ({"strength": np.float32(1.5)}, "strength must be between 0.0 and 1.0, got 1.5"),
])
def test_converted_values_reach_engine_without_note(name, kwargs, msg):
    e = call_and_catch(getattr(grainel, name), IMG, exc=ValueError, **kwargs)
    assert str(e) == msg
    assert notes(e) == []


RAMP = np.add.outer(np.arange(16) * 8, np.arange(20) * 5).astype(np.uint8)  # 0..215


def _fixed(name):
    # random_dither needs a seed to be comparable between two calls
    f = getattr(grainel, name)
    return functools.partial(f, seed=3) if name == "random_dither" else f


@pytest.mark.parametrize("name", DITHERERS)
@pytest.mark.parametrize("kwargs, same_as", [
    ({"levels": np.int64(4)}, {"levels": 4}),
    ({"levels": np.uint8(4)}, {"levels": 4}),
    ({"levels": _Index(4)}, {"levels": 4}),
    ({"strength": 1}, {"strength": 1.0}),
    ({"strength": np.float32(0.5)}, {"strength": 0.5}),
    ({"strength": Fraction(1, 2)}, {"strength": 0.5}),
    ({"strength": _Index(0)}, {"strength": 0.0}),
    ({"strength": 1.00000001}, {"strength": 1.0}),
    ({"linear": np.True_}, {"linear": True}),
    ({"preserve_alpha": np.False_}, {"preserve_alpha": False}),
    ({"palette": None, "levels": 4}, {"levels": 4}),
])
def test_accepted_scalars(name, kwargs, same_as):
    f = _fixed(name)
    np.testing.assert_array_equal(f(LA, **kwargs), f(LA, **same_as))


@pytest.mark.parametrize("name", ["dither", "error_diffusion"])
def test_serpentine_numpy_bool(name):
    f = getattr(grainel, name)
    assert f(IMG, serpentine=np.True_).tolist() == [[0, 255], [255, 0]]
    assert f(IMG, serpentine=np.False_).tolist() == [[0, 255], [0, 0]]


@pytest.mark.parametrize("name", ["dither", "random_dither"])
@pytest.mark.parametrize("seed, same_as", [
    (np.int64(-5), -5), (True, 1), (_Index(9), 9), (2**127 - 1, 2**127 - 1), (-2**127, -2**127)])
def test_seed_values(name, seed, same_as):
    f = getattr(grainel, name)
    args = (RAMP, "random") if name == "dither" else (RAMP,)
    np.testing.assert_array_equal(f(*args, seed=seed), f(*args, seed=same_as))


@pytest.mark.parametrize("name", ["dither", "random_dither"])
def test_seed_none_is_accepted(name):
    out = getattr(grainel, name)(RAMP, **({"method": "random"} if name == "dither" else {}),
                                 seed=None)
    assert out.shape == RAMP.shape and out.dtype == np.uint8


def test_matrix_none_is_default():
    np.testing.assert_array_equal(grainel.ordered_dither(RAMP, None), grainel.ordered_dither(RAMP))
    np.testing.assert_array_equal(grainel.ordered_dither(RAMP, None), grainel.ordered_dither(RAMP, 8))


def test_str_subclass_method():
    class Name(str):
        pass
    for f in (grainel.dither, grainel.error_diffusion):
        np.testing.assert_array_equal(f(RAMP, Name("atkinson")),
                                      grainel.error_diffusion(RAMP, "atkinson"))


# ---------------------------------------------------------------- listing

@pytest.mark.parametrize("name, expected", [("available_methods", METHODS),
                                            ("available_matrices", MATRICES)])
def test_listing(name, expected):
    f = getattr(grainel, name)
    first = f()
    assert type(first) is list and first == expected
    first.append("junk")
    second = f()
    assert second == expected and second is not first
    with pytest.raises(TypeError):
        f(1)
    with pytest.raises(TypeError):
        f(x=1)


# ---------------------------------------------------------------- dispatch

LA = np.dstack([RAMP, RAMP[::-1]])
RGB = np.dstack([RAMP, RAMP[::-1], RAMP[:, ::-1]])
OPTION_SETS = {
    "defaults": (RAMP, {}),
    "levels-strength-linear-alpha": (LA, {"levels": 3, "strength": 0.7, "linear": True,
                                          "preserve_alpha": False}),
    "palette": (RGB, {"palette": ["#000000", "#ff0000", (0, 255, 0), "#0000ff", "#ffffff"]}),
}

ROUTES = ([(m, "ed", m) for m in METHODS]
          + [(a, "ed", a) for a in ["FS", "sierra-2", "Floyd Steinberg", "jjn", "f_s", "sierra24a"]]
          + [(r, "random", None) for r in ["random", "Random", "RANDOM", "ran-dom", " random_"]]
          + [(s, "ordered", int(s.split("x")[-1])) for s in MATRICES]
          + [(s, "ordered", n) for s, n in [("4x4", 4), ("4", 4), ("Bayer 8x8", 8), ("bayer8", 8),
                                            ("8", 8), ("BAYER_16X16", 16), ("bayer-2", 2)]])


def _engine(kind, arg, img, opts):
    if kind == "ed":
        return grainel.error_diffusion(img, arg, serpentine=True, **opts)
    if kind == "random":
        return grainel.random_dither(img, seed=11, **opts)
    return grainel.ordered_dither(img, arg, **opts)


@pytest.mark.parametrize("opts_id", list(OPTION_SETS))
@pytest.mark.parametrize("method, kind, arg", ROUTES)
def test_dither_routes(method, kind, arg, opts_id):
    img, opts = OPTION_SETS[opts_id]
    # serpentine and seed are passed always; each engine ignores the one it does not use
    got = grainel.dither(img, method, serpentine=True, seed=11, **opts)
    np.testing.assert_array_equal(got, _engine(kind, arg, img, opts))


def test_test_image_separates_engines():
    # the routing comparisons above only mean something if every engine, and the
    # serpentine and seed options, change the output for the test image
    outs = [_engine(k, a, RAMP, {}).tobytes() for k, a in
            [("ed", "floyd_steinberg"), ("ed", "atkinson"), ("random", None),
             ("ordered", 2), ("ordered", 4), ("ordered", 8), ("ordered", 16)]]
    outs += [grainel.error_diffusion(RAMP).tobytes(), grainel.random_dither(RAMP, seed=12).tobytes()]
    assert len(set(outs)) == len(outs)


def test_dither_default_method():
    np.testing.assert_array_equal(grainel.dither(RAMP), grainel.error_diffusion(RAMP, "floyd_steinberg"))
    np.testing.assert_array_equal(grainel.dither(RAMP, seed=5), grainel.dither(RAMP))


VALID = ", ".join(f"'{n}'" for n in METHODS + MATRICES + ["random"])


@pytest.mark.parametrize("method, shown", [
    ("nope", '"nope"'), ("", '""'), ("bayer3x3", '"bayer3x3"'), ("Bayer 3x3", '"Bayer 3x3"'),
    ("08", '"08"'), ("random2", '"random2"'), ("fs\t", '"fs\\t"'),
    ("Floyd–Steinberg", '"Floyd–Steinberg"'), ('a"b\\c', '"a\\"b\\\\c"'),
    ("it's\r\n\x00", '"it\'s\\r\\n\\0"'), ("e\u0301\x7f", '"e\\u{301}\\u{7f}"'),
])
def test_dither_unknown_method(method, shown):
    e = call_and_catch(grainel.dither, RAMP, method, exc=ValueError)
    assert str(e) == f"unknown dither method {shown}; valid values: {VALID}"
    assert notes(e) == []


def test_unknown_method_before_other_checks():
    e = call_and_catch(grainel.dither, "not an image", "nope", levels=1, strength=5.0,
                       palette="bad", exc=ValueError)
    assert str(e).startswith('unknown dither method "nope"; valid values: ')
    e = call_and_catch(grainel.dither, IMG, "nope", levels=-1, exc=OverflowError)
    assert str(e) == "out of range integral type conversion attempted"
    assert notes(e) == ["while processing 'levels'"]


@pytest.mark.parametrize("method", ["random", "bayer8x8", "8"])
def test_error_diffusion_does_not_dispatch(method):
    e = call_and_catch(grainel.error_diffusion, RAMP, method, exc=ValueError)
    assert str(e).startswith(f'unknown error-diffusion method "{method}"; valid values: ')
