"""A small, deterministic sample market written as the engine's HDF5 files.

Three stocks and one futures contract with night sessions, about 60 trading days of minute bars
(`<code>.h5` with `data` and `index`), tick files for the last few days (one dataset per date,
rows not in time order), and one day on which a stock is locked at its limit-up price.
Generated on first use into a cache folder; the same seed always gives the same files.
"""
import datetime
import os
import pathlib

import h5py
import numpy as np

VERSION = 1
STOCKS = {"600000.SH": 7.20, "000001.SZ": 10.50, "300750.SZ": 180.00}
FUTURES = {"A2405": (4600.0, 10)}  # price, contract multiplier
TRADING_DAYS = 60
TICK_DAYS = 3
FIRST_DAY = datetime.date(2024, 1, 2)
LIMIT_LOCKED = ("000001.SZ", 10)  # code, index of the trading day locked at limit-up

MINUTE_DTYPE = np.dtype(
    [
        ("datetime", "<u8"),
        ("orig_time", "<u8"),
        ("open_price", "<f8"),
        ("close_price", "<f8"),
        ("high_price", "<f8"),
        ("low_price", "<f8"),
        ("volume", "<f8"),
        ("total_turnover", "<f8"),
        ("high_limited", "<f8"),
        ("low_limited", "<f8"),
    ]
)
INDEX_DTYPE = np.dtype([("date", "<u4"), ("line_no", "<u8")])
TICK_DTYPE = np.dtype(
    [("date", "<u4"), ("time", "<u4"), ("last_price", "<f8"), ("high_price", "<f8"), ("low_price", "<f8"),
     ("volume", "<f8"), ("total_turnover", "<f8")]
    + [(f"{side}{i}", "<f8") for i in range(1, 6) for side in ("a", "b")]
    + [(f"{side}{i}_v", "<f8") for i in range(1, 6) for side in ("a", "b")]
)


def default_root():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return pathlib.Path(base) / "norvane-native" / f"sample-market-v{VERSION}"


def trading_days(n=TRADING_DAYS, first=FIRST_DAY):
    days, d = [], first
    while len(days) < n:
        if d.weekday() < 5:
            days.append(d)
        d += datetime.timedelta(days=1)
    return days


def _minutes(start, end):
    """HHMMSS stamps of the minute bars ending after `start` up to `end` (HHMM), inclusive."""
    out = []
    t = datetime.datetime(2000, 1, 1, start // 100, start % 100)
    stop = datetime.datetime(2000, 1, 1, end // 100, end % 100)
    while t < stop:
        t += datetime.timedelta(minutes=1)
        out.append(t.hour * 10000 + t.minute * 100)
    return out


STOCK_SESSION = _minutes(930, 1130) + _minutes(1300, 1500)          # 240 bars
FUTURES_NIGHT = _minutes(2100, 2300)                                 # on the previous calendar trading day
FUTURES_DAY = _minutes(900, 1015) + _minutes(1030, 1130) + _minutes(1330, 1500)


def _number(d):
    return d.year * 10000 + d.month * 100 + d.day


def _bars(rng, stamps, price, multiplier):
    """Random-walk bars with consistent prices, volumes and turnover."""
    n = len(stamps)
    close = price * np.exp(np.cumsum(rng.normal(0, 0.0008, n)))
    open_ = np.concatenate(([price], close[:-1]))
    spread = np.abs(rng.normal(0, 0.0005, n)) * close
    high = np.maximum(open_, close) + spread
    low = np.minimum(open_, close) - spread
    volume = rng.integers(1, 400, n).astype(np.float64) * (100 if multiplier == 1 else 1)
    turnover = volume * (open_ + close) / 2 * multiplier
    return open_, close, high, low, volume, turnover


def write_minute_file(path, rows_by_day):
    data = np.concatenate([rows for _, rows in rows_by_day])
    index = np.zeros(len(rows_by_day), dtype=INDEX_DTYPE)
    line = 0
    for i, (day, rows) in enumerate(rows_by_day):
        index[i] = (day, line)
        line += len(rows)
    with h5py.File(path, "w") as h5:
        h5.create_dataset("data", data=data)
        h5.create_dataset("index", data=index)


def _day_rows(rng, day, prev_day, price, multiplier, futures, limit_locked):
    segments = [(prev_day, FUTURES_NIGHT), (day, FUTURES_DAY)] if futures else [(day, STOCK_SESSION)]
    parts = []
    for calendar_day, stamps in segments:
        if calendar_day is None:
            continue
        stamps_full = np.array([_number(calendar_day) * 1000000 + s for s in stamps], dtype=np.uint64)
        rows = np.zeros(len(stamps), dtype=MINUTE_DTYPE)
        rows["datetime"] = stamps_full
        rows["orig_time"] = stamps_full
        o, c, h, lo, v, t = _bars(rng, stamps, price, multiplier)
        rows["open_price"], rows["close_price"], rows["high_price"], rows["low_price"] = o, c, h, lo
        rows["volume"], rows["total_turnover"] = v, t
        parts.append(rows)
        price = float(c[-1])
    rows = np.concatenate(parts)
    limit_up, limit_down = round(price * 1.1, 2), round(price * 0.9, 2)
    rows["high_limited"], rows["low_limited"] = limit_up, limit_down
    if limit_locked:
        for field in ("open_price", "close_price", "high_price", "low_price"):
            rows[field] = limit_up
        rows["volume"] = 100.0
        rows["total_turnover"] = rows["volume"] * limit_up * 1.0000001  # not exactly the limit price
    return rows, float(rows["close_price"][-1])


def _ticks(rng, day, close_price):
    """About 4,800 snapshots of one day, every 3 seconds, in a shuffled order."""
    times = []
    for start, end in ((93000, 113000), (130000, 150000)):
        t = datetime.datetime(2000, 1, 1, start // 10000, start // 100 % 100)
        stop = datetime.datetime(2000, 1, 1, end // 10000, end // 100 % 100)
        while t < stop:
            times.append((t.hour * 10000 + t.minute * 100 + t.second) * 1000)
            t += datetime.timedelta(seconds=3)
    n = len(times)
    ticks = np.zeros(n, dtype=TICK_DTYPE)
    ticks["date"] = _number(day)
    ticks["time"] = times
    last = close_price * np.exp(np.cumsum(rng.normal(0, 0.0003, n)))
    ticks["last_price"] = last
    ticks["high_price"] = np.maximum.accumulate(last)
    ticks["low_price"] = np.minimum.accumulate(last)
    ticks["volume"] = np.cumsum(rng.integers(0, 50, n) * 100)
    ticks["total_turnover"] = np.cumsum(np.diff(ticks["volume"], prepend=0) * last)
    for i in range(1, 6):
        ticks[f"a{i}"] = last + 0.01 * i
        ticks[f"b{i}"] = last - 0.01 * i
        ticks[f"a{i}_v"] = rng.integers(1, 100, n) * 100
        ticks[f"b{i}_v"] = rng.integers(1, 100, n) * 100
    order = rng.permutation(n)  # files need not be in time order
    return ticks[order]


def generate(root):
    root = pathlib.Path(root)
    minute_dir, tick_dir = root / "minbar", root / "ticks"
    for d in (minute_dir / "stock", minute_dir / "futures", tick_dir):
        d.mkdir(parents=True, exist_ok=True)
    days = trading_days()
    rng = np.random.default_rng(20240102)
    instruments = [(code, price, 1, False) for code, price in STOCKS.items()]
    instruments += [(code, price, mult, True) for code, (price, mult) in FUTURES.items()]
    for code, price, multiplier, futures in instruments:
        rows_by_day, prev = [], None
        tick_days = {}
        for i, day in enumerate(days):
            locked = (code, i) == LIMIT_LOCKED
            rows, price = _day_rows(rng, day, prev, price, multiplier, futures, locked)
            rows_by_day.append((_number(day), rows))
            if not futures and i >= len(days) - TICK_DAYS:
                tick_days[str(_number(day))] = _ticks(rng, day, price)
            prev = day
        folder = minute_dir / ("futures" if futures else "stock")
        write_minute_file(folder / f"{code}.h5", rows_by_day)
        if tick_days:
            with h5py.File(tick_dir / f"{code}.h5", "w") as h5:
                for name, ticks in tick_days.items():
                    h5.create_dataset(name, data=ticks)
    (root / "READY").write_text(f"sample market v{VERSION}\n")
    return root


def ensure(root=None):
    """The sample market's folder, generated on first use."""
    root = pathlib.Path(root) if root else default_root()
    if not (root / "READY").exists():
        generate(root)
    return root


def instruments():
    """(market code, contract multiplier, is futures) of every sample instrument."""
    return [(c, 1, False) for c in STOCKS] + [(c, m, True) for c, (_, m) in FUTURES.items()]
