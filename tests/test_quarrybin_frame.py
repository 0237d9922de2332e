"""quarrybin's module frame: imported names in order, and the memoised numbering functions."""
import datetime
import math

import pandas as pd
import pytest

IMPORTED = [
    "os", "glob", "datetime", "Container", "Optional", "Tuple", "List", "Timeout", "FileLock",
    "h5py", "np", "pd", "varorize", "h5_file", "FuturesTradingParameters", "system_log",
    "lru_cache", "utils", "_", "ALGO", "COMMISSION_TYPE", "user_system_log", "safe_div",
    "AutomaticUpdateBundle", "Environment", "Instrument",
]
DEFINED = ["date_to_number", "time_to_number", "AbstractMinBarStore"]


def test_names_are_bound_in_import_order(quarrybin):
    names = [n for n in vars(quarrybin) if not n.startswith("__")]
    assert names[: len(IMPORTED)] == IMPORTED
    assert names[len(IMPORTED) : len(IMPORTED) + len(DEFINED)] == DEFINED


def test_imported_names_are_the_hosts_objects(quarrybin):
    import filelock
    import h5py
    import numpy

    import norvane.tessel.zered
    from norvane.tessel.data.base_data_source import storages
    from norvane.tessel.mod.mod_quant_data.data_sources import utils
    from norvane.tessel.utils import functools as engine_functools

    assert quarrybin.varorize is norvane.tessel.zered
    assert quarrybin.h5_file is storages.h5_file
    assert quarrybin.utils is utils
    assert quarrybin.lru_cache is engine_functools.lru_cache
    assert quarrybin.FileLock is filelock.FileLock and quarrybin.Timeout is filelock.Timeout
    assert quarrybin.np is numpy and quarrybin.h5py is h5py


@pytest.mark.parametrize(
    "dt, expected",
    [
        (datetime.date(2024, 1, 2), 20240102),
        (datetime.datetime(2024, 1, 2, 15, 0), 20240102),
        (pd.Timestamp("2023-12-31 23:59:59"), 20231231),
        (datetime.date(1, 1, 1), 10101),
    ],
)
def test_date_to_number(quarrybin, dt, expected):
    result = quarrybin.date_to_number(dt)
    assert result == expected and type(result) is int


@pytest.mark.parametrize(
    "dt, expected",
    [
        (datetime.time(9, 31), 93100000.0),
        (datetime.time(0, 0), 0.0),
        (datetime.time(14, 59, 59, 999999), 14 * 10000000 + 59 * 100000 + 59 * 1000 + 999999 / 1000),
        (datetime.datetime(2024, 1, 2, 9, 30, 0, 500000), 93000500.0),
        (datetime.time(9, 31, 0, 123456), 93100123.456),
        (pd.Timestamp("2024-01-02 10:15:30.000250"), 101530000.25),
    ],
)
def test_time_to_number_matches_python_arithmetic(quarrybin, dt, expected):
    result = quarrybin.time_to_number(dt)
    assert type(result) is float
    assert result == expected  # bit-for-bit what the Python expression gives


class Loose:
    """Attributes that are not exact ints take Python's own arithmetic."""

    def __init__(self, **kw):
        self.__dict__.update(kw)

    def __hash__(self):
        return id(self)


def test_numbers_with_non_int_attributes_follow_python_arithmetic(quarrybin):
    import numpy as np

    d = Loose(year=np.int64(2024), month=2, day=3.0)
    assert quarrybin.date_to_number(d) == 20240203.0
    t = Loose(hour=10**20, minute=0, second=0, microsecond=1)
    assert quarrybin.time_to_number(t) == 10**20 * 10000000 + 1 / 1000
    t = Loose(hour=1, minute=0, second=0, microsecond=math.inf)
    assert quarrybin.time_to_number(t) == math.inf


def test_results_are_memoised_and_errors_are_not(quarrybin):
    for fn, arg in (
        (quarrybin.date_to_number, datetime.date(2031, 5, 6)),
        (quarrybin.time_to_number, datetime.time(11, 12, 13)),
    ):
        assert fn.cache_info().maxsize == 1024
        before = fn.cache_info()
        first = fn(arg)
        second = fn(dt=arg)
        assert first == second
        after = fn.cache_info()
        assert after.misses == before.misses + 2  # positional and keyword keys differ, as in Python
        assert fn(arg) is first
        assert fn.cache_info().hits == after.hits + 1

        misses = fn.cache_info().misses
        with pytest.raises(TypeError, match="unhashable"):
            fn([2024, 1, 2])
        with pytest.raises(AttributeError):
            fn(object())
        with pytest.raises(AttributeError):
            fn(object.__new__(Loose))
        assert fn.cache_info().currsize == after.currsize  # nothing cached on error
        assert fn.cache_info().misses == misses + 2
