"""Shared fixtures. The modules under test are the installed ones (see ./dev test)."""
import importlib

import pytest

from support import QUARRYBIN


@pytest.fixture(scope="session")
def quarrybin():
    return importlib.import_module(QUARRYBIN)
