"""Stand-in data-service client. Answers come from scripted sources that tests replace.

`_tick_source(market_code, date)` gives one date of an instrument's ticks as a table with a
datetime column `orig_time` and the tick columns (or None); `get_price` shapes it as each call
form answers:
- `get_price(market_code=, start_date=, frequency="tick")` (no end date): the client's raw layer,
  `[]` for no data, else `[(market_code, {field: (buffer, type)})]` whose values are the
  arguments of `np.frombuffer` for each column it has;
- `get_price(market_code, start, end, "tick")`: None, or the table indexed by
  (`market_code`, `orig_time`).
`_price_source`, when set, replaces the shaping and answers every call itself.
"""
from . import errors, futures  # noqa: F401

__version__ = "2.11.12"

TICK_FIELDS = [
    "date", "time", "last_price", "high_price", "low_price", "volume", "open_interest", "total_turnover",
    *[p.format(i) for i in range(1, 6) for p in ("a{}", "b{}")],
    *[p.format(i) for i in range(1, 6) for p in ("a{}_v", "b{}_v")],
]

# Scripted answers: tests (or the demo) set these to callables.
_price_source = None
_tick_source = None
_auction_source = None


def _raw_columns(ticks):
    # numpy and pandas are imported on use: importing the client stays light (and possible in a
    # subinterpreter, where numpy refuses to load).
    import numpy as np
    import pandas as pd

    stamps = pd.DatetimeIndex(ticks["orig_time"])
    if stamps.tz is not None:
        stamps = stamps.tz_localize(None)  # the exchange's wall-clock time
    date = np.asarray(stamps.year * 10000 + stamps.month * 100 + stamps.day, dtype="<u4")
    time = np.asarray(
        stamps.hour * 10000000 + stamps.minute * 100000 + stamps.second * 1000 + stamps.microsecond // 1000,
        dtype="<u4",
    )
    columns = {"date": (date.tobytes(), "<u4"), "time": (time.tobytes(), "<u4")}
    for name in TICK_FIELDS[2:]:
        if name in ticks.columns:
            values = np.ascontiguousarray(ticks[name].to_numpy(dtype="<f8"))
            columns[name] = (values.tobytes(), "<f8")
    return columns


def _shaped_price(market_code, start_date=None, end_date=None, frequency="1d", **kwargs):
    if frequency != "tick":
        return None
    ticks = _tick_source(market_code, start_date) if _tick_source is not None else None
    if end_date is None:
        if ticks is None or len(ticks) == 0:
            return []
        return [(market_code, _raw_columns(ticks))]
    if ticks is None or len(ticks) == 0:
        return None
    table = ticks.copy()
    table.insert(0, "market_code", market_code)
    return table.set_index(["market_code", "orig_time"])


def get_price(*args, **kwargs):
    if _price_source is not None:
        return _price_source(*args, **kwargs)
    return _shaped_price(*args, **kwargs)


def get_open_auction_info(market_code, start_date, end_date, fields):
    if _auction_source is None:
        return None
    return _auction_source(market_code, start_date, end_date, fields)
