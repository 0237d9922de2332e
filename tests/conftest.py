"""Shared fixtures. The modules under test are the installed ones (see ./dev test)."""
import importlib

import pytest

from support import QUARRYBIN


@pytest.fixture(scope="session")
def quarrybin():
    return importlib.import_module(QUARRYBIN)


# Fuzz tests (marker `fuzz`) run a bounded number of examples in the suite; `./dev fuzz` runs them
# longer with the "long" profile.
try:
    import os

    from hypothesis import HealthCheck, settings

    # Derandomized: the suite (and CI) runs the same examples every time; `./dev fuzz` explores.
    settings.register_profile("suite", max_examples=60, deadline=None, derandomize=True,
                              suppress_health_check=[HealthCheck.too_slow])
    settings.register_profile("long", max_examples=5000, deadline=None,
                              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    settings.load_profile(os.environ.get("NORVANE_HYPOTHESIS_PROFILE", "suite"))
except ImportError:  # pragma: no cover - hypothesis is a test dependency
    pass


# Full-size load tests (marker `slow`) run only with `./dev load` (or NORVANE_LOAD=1, or `-m slow`);
# the default suite runs their scaled-down versions.
def pytest_collection_modifyitems(config, items):
    import os

    if os.environ.get("NORVANE_LOAD") == "1" or "slow" in (config.getoption("markexpr") or ""):
        return
    skip = pytest.mark.skip(reason="full-size load test: run with ./dev load (NORVANE_LOAD=1)")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
