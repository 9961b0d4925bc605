"""Hypothesis profiles: "ci", the default, is quick and deterministic; GRAINEL_HYPOTHESIS_PROFILE=long
tries tens of thousands of examples."""

import os

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
