"""Properties over random images and options for every engine: each result agrees with the model
whatever the options, the palette, the matrix and the spelling of names."""

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
FLAG = st.sampled_from([False, True, np.False_, np.True_])


@st.composite
def spelled(draw, name):
    """name as a caller may write it: any ASCII case, with separators added anywhere."""
    out = ""
    for ch in name:
        out += ch.upper() if draw(st.booleans()) else ch
        out += draw(st.sampled_from(["_", "-", " "])) if draw(st.integers(0, 7)) == 0 else ""
    return out


# Random colours, every other one written in hex (the forms an entry may take: test_image_and_options.py).
PALETTES = st.lists(st.tuples(*[st.integers(0, 255)] * 3), min_size=2, max_size=40).map(
    lambda colours: [c if i % 2 else "#%02x%02x%02x" % c for i, c in enumerate(colours)])


@st.composite
def matrices(draw, names_only=False):
    """(matrix argument, its thresholds): a Bayer matrix by any name, or ranks or thresholds of any shape."""
    kind = "name" if names_only else draw(st.sampled_from(["name", "ranks", "thresholds"]))
    if kind == "name":
        n = draw(st.sampled_from([2, 4, 8, 16]))
        form = draw(st.sampled_from(["bayer{0}x{0}", "{0}x{0}", "bayer{0}"]))
        return draw(spelled(form.format(n))), ref.bayer(n)
    shape = hnp.array_shapes(min_dims=2, max_dims=2, max_side=6)
    if kind == "ranks":
        dtype = draw(st.sampled_from([np.uint8, np.int16, np.uint32, np.int64]))
        ranks = draw(hnp.arrays(dtype, shape, elements=st.integers(0, min(np.iinfo(dtype).max, 2 ** 24 - 1))))
        return ranks, ref.index_thresholds(ranks)
    dtype = draw(st.sampled_from([np.float32, np.float64]))
    values = draw(hnp.arrays(dtype, shape, elements=st.floats(0, 1, width=32)))
    return values, ref.float_thresholds(values)


@st.composite
def calls(draw):
    """(function, positional, keywords, image, model): a valid call and the model of its result.
    Through dither, each engine is also given the options it ignores."""
    options = {"strength": draw(st.floats(0, 1) | st.sampled_from([0, 1, np.float32(0.25), np.float64(1.0)])),
               "linear": draw(FLAG), "preserve_alpha": draw(FLAG)}
    options |= draw(st.builds(dict, palette=PALETTES) | st.builds(dict, levels=st.integers(2, 256)))
    channels = draw(st.integers(3, 6) if "palette" in options else st.sampled_from([None, 1, 2, 3, 4, 5, 6]))
    shape = (draw(st.integers(1, 12)), draw(st.integers(1, 12))) + ((channels,) if channels else ())
    image = draw(hnp.arrays(np.uint8, shape))
    shared = {k: bool(v) if k in ("linear", "preserve_alpha") else v for k, v in options.items()}
    engine, through_dither = draw(st.sampled_from(["diffusion", "ordered", "random"])), draw(st.booleans())
    if through_dither:
        options |= {"serpentine": draw(FLAG), "seed": draw(st.integers(-2 ** 127, 2 ** 127 - 1))}
    if engine == "diffusion":
        name = draw(st.sampled_from(sorted(ref.ALIASES)))
        options["serpentine"] = serpentine = options.get("serpentine", draw(FLAG))
        args = (draw(spelled(name)),)
        model = lambda img: ref.error_diffusion(img, ref.ALIASES[name], serpentine=bool(serpentine), **shared)
    elif engine == "random":
        options["seed"] = seed = options.get("seed", draw(st.integers(-2 ** 127, 2 ** 127 - 1)))
        args = (draw(spelled("random")),) if through_dither else ()
        model = lambda img: ref.random_dither(img, seed, **shared)
    else:
        matrix, thresholds = draw(matrices(names_only=through_dither))
        args = (matrix,)
        model = lambda img: ref.ordered_dither(img, thresholds, **shared)
    function = "dither" if through_dither else {"diffusion": "error_diffusion", "ordered": "ordered_dither",
                                                 "random": "random_dither"}[engine]
    return FUNCTIONS[function], args, options, image, model


@given(st.data())
def test_results_match_the_model_and_leave_the_input_alone(data):
    function, args, options, image, model = data.draw(calls())
    original = image.copy()
    out = function(image, *args, **options)
    assert type(out) is np.ndarray and out.dtype == np.uint8 and out.flags.c_contiguous
    assert not np.shares_memory(out, image)
    assert_array_equal(image, original)
    assert_array_equal(out, model(image))
    assert_array_equal(function(image, *args, **options), out)  # the same bytes every time
