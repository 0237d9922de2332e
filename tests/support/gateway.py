"""Scripted answers of the stand-in data-service gateway, and the shareflags module under test.

`gateway` resets the stand-in `norvane.gid` for a test; `gateway.answer(name, payload, code)`
scripts the triple a request returns, `gateway.calls(name)` lists the (args, kwargs) it was called
with, in call order.
"""
import datetime
import importlib

import pandas as pd
import pytest

from support import SHAREFLAGS

FAILURE = 7  # any code the stand-in's ApiRspCode.is_succ refuses


class Gateway:
    def __init__(self, gid):
        self.gid = gid

    def answer(self, name, payload, code=0, message="ok"):
        self.gid.responses[name] = (payload, code, message)

    def answer_with(self, name, fn):
        self.gid.responses[name] = fn

    def calls(self, name=None):
        return [(args, kwargs) for n, args, kwargs in self.gid.calls if name is None or n == name]

    def names(self):
        return [n for n, _, _ in self.gid.calls]

    def calendar(self, days):
        self.answer("trade_calendar", {"trade_days": list(days)})


@pytest.fixture
def gateway():
    from norvane import gid

    gid.reset()
    yield Gateway(gid)
    gid.reset()


@pytest.fixture(scope="session")
def shareflags():
    return importlib.import_module(SHAREFLAGS)


def today():
    return datetime.date.today()


def ns(text):
    """Nanoseconds since the epoch of a timestamp text (how the service counts flagged days)."""
    return pd.Timestamp(text).value
