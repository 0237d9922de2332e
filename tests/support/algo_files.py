"""Minute-bar files for the algo-bar tests, a pandas reading of the daily algo-bar steps to compare
with, and the worker functions of the multi-process tests (importable by spawned children)."""
import datetime as _dt
import os

import h5py
import numpy as np
import pandas as pd

SIX = ["orig_time", "close_price", "volume", "total_turnover", "high_price", "low_price"]
MINUTE_DTYPE = np.dtype([
    ("datetime", "<u8"), ("orig_time", "<u8"), ("open_price", "<f8"), ("close_price", "<f8"),
    ("high_price", "<f8"), ("low_price", "<f8"), ("volume", "<f8"), ("total_turnover", "<f8"),
    ("high_limited", "<f8"), ("low_limited", "<f8"),
])
INDEX_DTYPE = np.dtype([("date", "<u4"), ("line_no", "<u8")])
ALGO_DTYPES = {"date": "<u4", "VWAP": "<f8", "TWAP": "<f8", "volume": "<u8"}


def _minutes(start, end):
    """HHMMSS stamps of the one-minute bars ending after `start` up to `end` (HHMM, inclusive)."""
    t = _dt.datetime(2000, 1, 1, start // 100, start % 100)
    stop = _dt.datetime(2000, 1, 1, end // 100, end % 100)
    out = []
    while t < stop:
        t += _dt.timedelta(minutes=1)
        out.append(t.hour * 10000 + t.minute * 100)
    return out


STOCK_SESSIONS = [(930, 1130), (1300, 1500)]                        # 240 bars
FUTURES_DAY = [(900, 1015), (1030, 1130), (1330, 1500)]             # 225 bars
FUTURES_NIGHT = [(2100, 2300)]                                      # 120 bars, previous calendar day


def trading_dates(n, start=_dt.date(2023, 1, 2)):
    out, d = [], start
    while len(out) < n:
        if d.weekday() < 5:
            out.append(d)
        d += _dt.timedelta(days=1)
    return out


def date_number(d):
    return d.year * 10000 + d.month * 100 + d.day


def make_minute_data(n_days, night=False, seed=0, start=_dt.date(2023, 1, 2), flat_days=(), empty_days=()):
    """(data, index) of `n_days` trading dates. With `night`, each trading date begins with a
    night session stamped on the previous trading date's calendar date. `flat_days` (positions)
    trade at one limit price all day; `empty_days` hold no bar at all."""
    rng = np.random.default_rng(seed)
    dates = trading_dates(n_days, start)
    prev = {dates[i]: dates[i - 1] if i else dates[0] - _dt.timedelta(days=3) for i in range(len(dates))}
    day_stamps = [s for a, b in (FUTURES_DAY if night else STOCK_SESSIONS) for s in _minutes(a, b)]
    night_stamps = [s for a, b in FUTURES_NIGHT for s in _minutes(a, b)] if night else []
    blocks, index = [], []
    row = 0
    for i, d in enumerate(dates):
        index.append((date_number(d), row))
        if i in empty_days:
            continue
        stamps = [date_number(prev[d]) * 1000000 + s for s in night_stamps]
        stamps += [date_number(d) * 1000000 + s for s in day_stamps]
        n = len(stamps)
        bars = np.zeros(n, MINUTE_DTYPE)
        bars["datetime"] = bars["orig_time"] = stamps
        price = 10.0 + 5 * rng.random()
        close = np.round(price * np.exp(np.cumsum(rng.normal(0, 0.002, n))), 2)
        if i in flat_days:
            close[:] = close[0]
            bars["high_price"] = bars["low_price"] = close
        else:
            bars["high_price"] = close + np.round(rng.random(n) * 0.05, 2)
            bars["low_price"] = close - np.round(rng.random(n) * 0.05, 2)
        bars["open_price"] = bars["close_price"] = close
        bars["volume"] = rng.integers(0, 100000, n).astype(float)
        bars["total_turnover"] = bars["volume"] * close * (1 + rng.normal(0, 1e-4, n))
        bars["high_limited"], bars["low_limited"] = price * 1.1, price * 0.9
        blocks.append(bars)
        row += n
    data = np.concatenate(blocks) if blocks else np.zeros(0, MINUTE_DTYPE)
    return data, np.array(index, INDEX_DTYPE)


def first_days(data, index, n):
    """The file's first `n` trading dates (the older version of a growing file)."""
    end = int(index["line_no"][n]) if n < len(index) else len(data)
    return data[:end], index[:n]


def write_minute_file(path, data, index, compression=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with h5py.File(path, "w") as h5:
        h5.create_dataset("data", data=data, compression=compression)
        h5.create_dataset("index", data=index)
    return path


def replace_minute_file(path, data, index):
    """As a data updater does: written aside, then renamed into place."""
    tmp = f"{path}.{os.getpid()}.part"
    write_minute_file(tmp, data, index)
    os.replace(tmp, path)


# ---- a pandas reading of the daily algo-bar steps ------------------------------------------------

def _safe_div(a, b):
    from norvane.tessel.utils import safe_div
    return safe_div(a, b)


def reference_from_arrays(index, six, update_start_date, start_min, end_min, contract_multiplier):
    """`six`: the six fields of `data` from the first kept index record's row on."""
    index = index[index["date"] >= update_start_date]
    if len(index) == 0:
        return None
    first = int(index["line_no"][0])
    columns = {name: six[name].astype(six[name].dtype.newbyteorder("=")) for name in SIX}  # pandas: native order
    df = pd.DataFrame(columns, index=np.arange(first, first + len(six)))
    df["date"] = np.nan
    # (a trading date without any bar at the very end has no row to carry its label)
    inside = index["line_no"] < first + len(six)
    df.loc[index["line_no"][inside].astype(np.int64), "date"] = index["date"][inside].astype(np.float64)
    df["date"] = df["date"].ffill()
    base = (df["orig_time"] // 1000000) * 1000000
    df = df[(base + start_min * 100 <= df["orig_time"]) & (df["orig_time"] <= base + end_min * 100)]
    if df.empty:
        return None
    multiplier = float(contract_multiplier)

    def vwap(day):
        if (day["high_price"] == day["low_price"]).all() and day["high_price"].nunique() == 1:
            return day["high_price"].iloc[0]
        return _safe_div(day["total_turnover"].sum(), day["volume"].sum()) / multiplier

    def twap(day):
        return day["close_price"].mean()

    by_date = df.groupby(df["date"].astype(np.int64))
    groups = by_date[SIX]
    daily = pd.DataFrame({"VWAP": groups.apply(vwap), "TWAP": groups.apply(twap),
                          "volume": by_date["volume"].sum()})
    daily = daily.reindex(index["date"].astype(np.int64))
    daily["volume"] = daily["volume"].fillna(0)
    daily.index.name = "date"
    return daily.reset_index().to_records(index=False, column_dtypes=ALGO_DTYPES)


def reference_algo_bars(path, update_start_date, start_min, end_min, contract_multiplier=1):
    with h5py.File(path, "r") as h5:
        index = h5["index"][()]
        kept = index[index["date"] >= update_start_date]
        first = int(kept["line_no"][0]) if len(kept) else 0
        six = h5["data"].fields(SIX)[first:]
    return reference_from_arrays(index, six, update_start_date, start_min, end_min, contract_multiplier)


def assert_bars_equal(got, expected, rtol=0.0):
    assert got.dtype.names == ("date", "VWAP", "TWAP", "volume")
    assert len(got) == len(expected)
    np.testing.assert_array_equal(got["date"], expected["date"])
    np.testing.assert_array_equal(got["volume"], expected["volume"])
    for name in ("VWAP", "TWAP"):
        np.testing.assert_allclose(got[name], expected[name], rtol=rtol, atol=0, equal_nan=True)


# ---- workers of the multi-process tests ----------------------------------------------------------

class _Instrument:
    def __init__(self, market_code, contract_multiplier=1.0):
        self.market_code = market_code
        self.contract_multiplier = contract_multiplier


def query_worker(algo_dir, min_dir, codes, windows, start, duration, expected, out):
    """Once past the `start` barrier, queries every (code, window) with a fresh store for `duration` seconds;
    every array must be the expected bars of one version of the file. Reports the number of
    queries or the first error."""
    import importlib
    import time
    import traceback
    from support import QUARRYBIN
    try:
        quarrybin = importlib.import_module(QUARRYBIN)
        start.wait(120)
        deadline = time.monotonic() + duration
        done = 0
        while time.monotonic() < deadline:
            store = quarrybin.AlgoStore(algo_dir, min_dir)
            for code in codes:
                for w in windows:
                    got = store.get_bars(_Instrument(code), *w)
                    assert len(got) > 0
                    assert got.tobytes() == expected[(code, w)][: len(got)].tobytes()
                    done += 1
        out.put(("ok", done))
    except BaseException:
        out.put(("error", traceback.format_exc()))


def updater_worker(min_dir, versions, start, pause):
    """Replaces each minute file by longer copies, one version after another."""
    import time
    start.wait(120)
    for step in range(1, len(next(iter(versions.values())))):
        time.sleep(pause)
        for code, files in versions.items():
            data, index = files[step]
            replace_minute_file(os.path.join(min_dir, f"{code}.h5"), data, index)


def churn_worker(algo_dir, roots, codes, windows, ready):
    """Writes algo files without end: alternating between a short and a long version of the minute
    files makes every query rebuild or extend its datasets. Killed from outside."""
    import importlib
    from support import QUARRYBIN
    quarrybin = importlib.import_module(QUARRYBIN)
    ready.set()
    i = 0
    while True:
        store = quarrybin.AlgoStore(algo_dir, roots[i % len(roots)])
        for code in codes:
            for w in windows:
                store.get_bars(_Instrument(code), *w)
        i += 1
