"""Properties over random images and options for every engine: what each result must look like whatever
the image's layout and the options, and that arguments of any type end in a documented exception."""

import inspect

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import grainel
import reference as ref

pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

try:
    from PIL import Image
except ImportError:
    Image = None

FUNCTIONS = {f.__name__: f for f in (grainel.error_diffusion, grainel.ordered_dither, grainel.random_dither,
                                     grainel.dither)}
ALIASES = dict(zip(grainel.available_methods(), grainel.available_methods())) | {
    "fs": "floyd_steinberg", "ffs": "false_floyd_steinberg", "jjn": "jarvis_judice_ninke",
    "jarvis": "jarvis_judice_ninke", "sierra3": "sierra", "sierra2": "sierra_two_row",
    "tworowsierra": "sierra_two_row", "sierratworow": "sierra_two_row", "sierra24a": "sierra_lite"}


class SubArray(np.ndarray):
    pass


LAYOUTS = {  # the same pixels, laid out in memory another way
    "contiguous": lambda a: a,
    "fortran": np.asfortranarray,
    "transposed": lambda a: np.ascontiguousarray(np.swapaxes(a, 0, 1)).swapaxes(0, 1),
    "reversed": lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    "last-axis-reversed": lambda a: np.ascontiguousarray(a[..., ::-1])[..., ::-1],
    "stepped": lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
    "read-only": lambda a: np.broadcast_to(a, a.shape),
    "subclass": lambda a: a.view(SubArray),
}


@st.composite
def spelled(draw, name):
    """name as a caller may write it: any ASCII case, with separators dropped, changed or added."""
    separator, out = st.sampled_from(["", "_", "-", " "]), ""
    for ch in name:
        out += draw(separator) if ch == "_" else ch.upper() if draw(st.booleans()) else ch
        out += draw(separator) if draw(st.integers(0, 7)) == 0 else ""
    return out


@st.composite
def palettes(draw):
    def entry(rgb, form):
        short = "".join("%x" % (c // 17) for c in rgb)
        return {"#rgb": "#" + short, "#rrggbb": "#%02x%02x%02x" % rgb, "RRGGBB": "%02X%02X%02X" % rgb,
                "tuple": rgb, "list": list(rgb), "bytes": bytes(rgb), "numpy": np.array(rgb, np.uint8)}[form]
    size = draw(st.integers(2, 40))
    colours = draw(st.lists(st.tuples(*[st.integers(0, 255)] * 3), min_size=size, max_size=size))
    forms = draw(st.lists(st.sampled_from(["#rgb", "#rrggbb", "RRGGBB", "tuple", "list", "bytes", "numpy"]),
                          min_size=size, max_size=size))
    entries = [entry(rgb, form) for rgb, form in zip(colours, forms)]
    return tuple(entries) if draw(st.booleans()) else entries


@st.composite
def matrices(draw, names_only=False):
    """(matrix argument, its thresholds)."""
    n = draw(st.sampled_from([2, 4, 8, 16]))
    kind = "name" if names_only else draw(st.sampled_from(["default", "size", "name", "ranks", "thresholds"]))
    if kind == "default":
        return None, ref.index_thresholds(ref.bayer_indices(8))
    if kind in ("size", "name"):
        form = draw(st.sampled_from(["bayer{0}x{0}", "{0}x{0}", "bayer{0}", "{0}"]))
        arg = draw(spelled(form.format(n))) if kind == "name" else draw(st.sampled_from([n, np.int64(n)]))
        return arg, ref.index_thresholds(ref.bayer_indices(n))
    shape = hnp.array_shapes(min_dims=2, max_dims=2, max_side=6)
    if kind == "ranks":
        dtype = draw(st.sampled_from([np.uint8, np.int16, np.uint32, np.int64]))
        top = draw(st.sampled_from([40, min(np.iinfo(dtype).max, 2 ** 24 - 1)]))
        ranks = draw(hnp.arrays(dtype, shape, elements=st.integers(0, top)))
        return ranks, ref.index_thresholds(ranks)
    values = draw(hnp.arrays(draw(st.sampled_from([np.float32, np.float64])), shape,
                             elements=st.floats(0, 1, width=32)))
    return values, ref.float_thresholds(values)


@st.composite
def images(draw, channels, max_side=12):
    shape = (draw(st.integers(1, max_side)), draw(st.integers(1, max_side)))
    pixels = draw(hnp.arrays(np.uint8, shape if channels is None else shape + (channels,)))
    return pixels, LAYOUTS[draw(st.sampled_from(sorted(LAYOUTS)))](pixels)


FLAG = st.sampled_from([False, True, np.False_, np.True_])


@st.composite
def targets(draw, strength=st.floats(0, 1) | st.sampled_from([0, 1, 0.5, np.float32(0.25), np.float64(1.0)])):
    """The options every engine shares."""
    options = {"strength": draw(strength), "linear": draw(FLAG), "preserve_alpha": draw(FLAG)}
    palette = draw(st.none() | palettes())
    if palette is None:
        options["levels"] = draw(st.integers(2, 256))
    else:
        options["palette"] = palette
    return options


def image_channels(options):
    return st.integers(3, 6) if "palette" in options else st.sampled_from([None, 1, 2, 3, 4, 5, 6])


@st.composite
def calls(draw):
    """(engine, function, positional, keywords, model): a valid call and the model of its result."""
    engine = draw(st.sampled_from(["diffusion", "ordered", "random"]))
    through_dither = draw(st.booleans())
    options = draw(targets())
    shared = {k: bool(v) if k in ("linear", "preserve_alpha") else v for k, v in options.items()}
    if engine == "diffusion":
        name = draw(st.sampled_from(sorted(ALIASES)))
        options["serpentine"] = serpentine = draw(FLAG)
        args = (draw(spelled(name)),)
        model = lambda img: ref.error_diffusion(img, ALIASES[name], serpentine=bool(serpentine), **shared)
    elif engine == "random":
        options["seed"] = seed = draw(st.integers(-2 ** 127, 2 ** 127 - 1))
        args = (draw(spelled("random")),) if through_dither else ()
        model = lambda img: ref.random_dither(img, seed, **shared)
    else:
        matrix, thresholds = draw(matrices(names_only=through_dither))
        args = (matrix,) if matrix is not None else ()
        model = lambda img: ref.ordered_dither(img, thresholds, **shared)
    function = "dither" if through_dither else {"diffusion": "error_diffusion", "ordered": "ordered_dither",
                                                 "random": "random_dither"}[engine]
    return engine, FUNCTIONS[function], args, options, model


def valid_bytes(out, source, options):
    """Every quantised byte is one of the target's; every channel passed through is the input's."""
    out3, source3 = (out, source) if out.ndim == 3 else (out[:, :, None], source[:, :, None])
    channels = out3.shape[2]
    if "palette" in options:
        colours = ref.parse_colors(options["palette"])
        rgb = out3[:, :, :3].reshape(-1, 1, 3)
        assert (rgb == colours[None]).all(axis=2).any(axis=1).all(), "a pixel that is no palette colour"
        assert_array_equal(out3[:, :, 3:], source3[:, :, 3:])
        return
    level_bytes = ref.levels_table(options["levels"], bool(options["linear"]))[0]
    alpha = bool(options["preserve_alpha"]) and channels in (2, 4)
    assert np.isin(out3[:, :, :channels - alpha], level_bytes).all(), "a byte that is no level's"
    if alpha:
        assert_array_equal(out3[:, :, -1], source3[:, :, -1])


@given(st.data())
def test_results_keep_their_invariants_and_match_the_model(data):
    engine, function, args, options, model = data.draw(calls())
    pixels, image = data.draw(images(data.draw(image_channels(options))))
    out = function(image, *args, **options)
    assert type(out) is np.ndarray and out.dtype == np.uint8 and out.flags.c_contiguous
    assert out.shape == pixels.shape and not np.shares_memory(out, image)
    assert_array_equal(image, pixels)  # the input is only read
    valid_bytes(out, pixels, options)
    assert_array_equal(function(image, *args, **options), out)  # the same bytes every time
    # The diffusion model walks pixel by pixel, channel by channel: small images only.
    walks = 1 if "palette" in options else out.size // (out.shape[0] * out.shape[1])
    if engine != "diffusion" or out.shape[0] * out.shape[1] * walks <= 150:
        assert_array_equal(out, model(pixels))


@given(st.data())
def test_strength_zero_is_plain_quantisation_in_every_engine(data):
    options = data.draw(targets(strength=st.sampled_from([0, 0.0, -0.0, np.float32(0)])))
    pixels, image = data.draw(images(data.draw(image_channels(options)), max_side=20))
    plain = ref.threshold_dither(pixels, np.zeros(pixels.shape[:2]), **options)
    method = data.draw(st.sampled_from(sorted(ALIASES)))
    for out in (grainel.error_diffusion(image, method, serpentine=data.draw(st.booleans()), **options),
                grainel.ordered_dither(image, data.draw(matrices())[0], **options),
                grainel.random_dither(image, seed=data.draw(st.none() | st.integers(0, 2 ** 64)), **options)):
        assert_array_equal(out, plain)


# ------------------------------------------------------------------ arguments of any type

JUNK = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-300, 300), st.floats(), st.floats(-0.5, 1.5),
    st.text(max_size=6), st.just("\ud800"), st.binary(max_size=6), st.complex_numbers(), st.builds(object),
    st.lists(st.integers(-300, 300) | st.text(max_size=7) | st.lists(st.integers(-2, 257), max_size=4),
             max_size=4),
    st.tuples(st.integers(), st.floats()), st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
    st.recursive(st.integers(0, 255), lambda inner: st.lists(inner, max_size=3), max_leaves=12),
    st.builds(lambda f, v: f(v), st.sampled_from([np.int8, np.uint64, np.float32, np.float64, np.bool_]),
              st.integers(0, 100)),
    hnp.arrays(hnp.scalar_dtypes(), hnp.array_shapes(min_dims=0, max_dims=3, max_side=4)),
)
VALID = {
    "image": hnp.arrays(np.uint8, hnp.array_shapes(min_dims=2, max_dims=3, max_side=5)),
    "method": st.sampled_from(sorted(ALIASES) + ["random", "bayer4x4", "8"]),
    "matrix": st.sampled_from([None, 2, 16, "bayer2x2", [[0, 2], [3, 1]], np.eye(3)]),
    "levels": st.integers(2, 256), "palette": st.none() | palettes(), "seed": st.none() | st.integers(),
    "serpentine": FLAG, "linear": FLAG, "preserve_alpha": FLAG, "strength": st.floats(0, 1),
}
if Image is not None:
    VALID["image"] |= st.builds(Image.new, st.sampled_from(["L", "LA", "RGBA", "P", "1"]), st.just((3, 2)))


def parameters(function):
    """Names of the positional-or-keyword and of the keyword-only parameters."""
    kinds = inspect.signature(function).parameters.values()
    return ([p.name for p in kinds if p.kind == p.POSITIONAL_OR_KEYWORD],
            [p.name for p in kinds if p.kind == p.KEYWORD_ONLY])


@given(st.data())
def test_arguments_of_any_type_raise_only_documented_errors(data):
    name = data.draw(st.sampled_from(sorted(FUNCTIONS)))
    positional, keyword_only = parameters(FUNCTIONS[name])
    junk = data.draw(st.lists(st.sampled_from(positional + keyword_only), min_size=1, max_size=2))
    value = lambda param: data.draw(JUNK if param in junk else VALID.get(param, JUNK), label=param)
    supplied = ["image"] + data.draw(st.lists(st.sampled_from(positional[1:] + keyword_only), unique=True))
    count = data.draw(st.integers(0, len(positional)))
    binding = data.draw(st.sampled_from([None] * 6 + ["extra", "unknown", "twice", "missing"]))
    args = [value(p) for p in positional[:count]] + [value("extra")] * (binding == "extra")
    keywords = [p for p in supplied if p not in positional[:count]] + ["levels2"] * (binding == "unknown")
    keywords += positional[:1] * (binding == "twice" and count > 0)
    kwargs = {p: value(p) for p in keywords if not (binding == "missing" and p == "image")}
    if binding == "missing" and count:
        args = []
    try:
        out = FUNCTIONS[name](*args, **kwargs)
    except (TypeError, ValueError, OverflowError):  # NumPy's own errors from asarray are among these
        return
    assert isinstance(out, np.ndarray) or Image is not None and isinstance(out, Image.Image)
