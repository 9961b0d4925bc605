"""The helpers beside this file (the plain model, leak checks, fakes, search cases) are imported by the
tests of both packages, so this folder goes on the import path whatever pytest's import mode.
Hypothesis profiles: "ci", the default, is quick and deterministic; GRAINEL_HYPOTHESIS_PROFILE=long
tries tens of thousands of examples. After every test, ordinary calls still give their bytes: no error
path leaves the module in a broken state; and no thread it started is still running."""

import os
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import grainel

sys.path.insert(0, str(Path(__file__).parent))

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the property tests skip themselves without Hypothesis
    settings = None

if settings is not None:
    settings.register_profile("ci", max_examples=100, derandomize=True, deadline=None, database=None,
                              suppress_health_check=[HealthCheck.too_slow])
    settings.register_profile("long", max_examples=10000, deadline=None,
                              suppress_health_check=[HealthCheck.too_slow])
    settings.load_profile(os.environ.get("GRAINEL_HYPOTHESIS_PROFILE", "ci"))


@pytest.fixture(autouse=True)
def no_thread_outlives_its_test():
    # Set up first, so torn down last: after the fixtures that join their own threads. A thread left
    # running would see the modules later tests patch and move the process-wide figures of leak checks.
    before = set(threading.enumerate())
    yield
    left = [t.name for t in threading.enumerate() if t not in before]
    assert not left, f"threads still running after the test: {', '.join(left)}"


def ordinary_calls():
    rgb = np.random.default_rng(3).integers(0, 256, (6, 5, 3), dtype=np.uint8)
    return [grainel.error_diffusion(rgb, "jjn", levels=3), grainel.ordered_dither(rgb, palette=["#000", "#fff"]),
            grainel.random_dither(rgb, seed=1), grainel.dither(rgb, "bayer2x2")]


@pytest.fixture(autouse=True)
def next_call_still_works():
    expected = ordinary_calls()
    yield
    for got, want in zip(ordinary_calls(), expected):
        np.testing.assert_array_equal(got, want)
