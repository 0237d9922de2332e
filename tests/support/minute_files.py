"""Writers of minute-bar files (datasets `data` and `index`) for tests, benchmarks and demos.

    data = minute_bars([20240102, 20240103], bars_per_day=240)
    write_minute_file(tmp_path / "600000.SH.h5", data)

`data` is one compound record per bar, dates ascending; the index (`date`, `line_no`) is derived
from `datetime` unless given."""
import numpy as np

import h5py

STOCK_BAR_DTYPE = np.dtype(
    [
        ("datetime", "<u8"),
        ("open", "<f8"),
        ("close", "<f8"),
        ("high", "<f8"),
        ("low", "<f8"),
        ("volume", "<f8"),
        ("total_turnover", "<f8"),
        ("high_limited", "<f8"),
        ("low_limited", "<f8"),
    ]
)
INDEX_DTYPE = np.dtype([("date", "<u4"), ("line_no", "<u8")])


def trading_minutes(bars_per_day=240):
    """HHMMSS of the first `bars_per_day` bars of a stock day: 09:31-11:30, then 13:01-15:00."""
    def run(h, m, count):
        out = []
        for _ in range(count):
            m += 1
            if m == 60:
                h, m = h + 1, 0
            out.append(h * 10000 + m * 100)
        return out

    minutes = run(9, 30, 120) + run(13, 0, 120)
    if bars_per_day > len(minutes):
        raise ValueError("at most 240 bars a day")
    return np.array(minutes[:bars_per_day], dtype=np.uint64)


def weekdays(start=20240102, count=10):
    """`count` weekday date numbers from `start` on (a stand-in trading calendar)."""
    day = np.datetime64(f"{str(start)[:4]}-{str(start)[4:6]}-{str(start)[6:]}")
    out = []
    while len(out) < count:
        if np.is_busday(day):
            out.append(int(str(day).replace("-", "")))
        day += 1
    return out


def minute_bars(dates, bars_per_day=240, dtype=STOCK_BAR_DTYPE, seed=0):
    """Bars of `dates` (date numbers, ascending), `bars_per_day` each, in `dtype`: `datetime` is the
    YYYYMMDDHHMMSS of the bar, other numeric fields random but plausible, cast to their types."""
    rng = np.random.default_rng(seed)
    dtype = np.dtype(dtype)
    minutes = trading_minutes(bars_per_day)
    n = len(dates) * bars_per_day
    stamps = (np.repeat(np.asarray(dates, dtype=np.uint64), bars_per_day) * np.uint64(1000000)
              + np.tile(minutes, len(dates)))
    data = np.zeros(n, dtype=dtype)
    for name in dtype.names:
        kind = dtype[name].kind
        if name in ("datetime", "orig_time"):
            data[name] = stamps.astype(dtype[name])
        elif kind in "iu":
            data[name] = rng.integers(0, 100, n).astype(dtype[name])
        elif kind == "f":
            data[name] = (10 + rng.random(n) * 5).astype(dtype[name])
    return data


def bar_index(data):
    """The `index` dataset of `data`: each date and the row where its bars begin."""
    dates = (np.asarray(data["datetime"], dtype=np.float64) // 1000000).astype(np.int64)
    starts = np.flatnonzero(np.r_[True, dates[1:] != dates[:-1]]) if len(dates) else np.array([], int)
    index = np.zeros(len(starts), dtype=INDEX_DTYPE)
    index["date"] = dates[starts]
    index["line_no"] = starts
    return index


def write_minute_file(path, data, index=None, with_index=True, **dataset_options):
    """Write `data` (and its index, unless `with_index` is false) to a new HDF5 file at `path`.
    `dataset_options` (chunks, compression...) apply to `data`."""
    with h5py.File(path, "w") as h5:
        h5.create_dataset("data", data=data, **dataset_options)
        if with_index:
            h5.create_dataset("index", data=bar_index(data) if index is None else index)
    return path


def plain_minute_bar(path, date, fields, with_rows=False):
    """The minute-bar store's steps read with h5py and numpy (limit prices NaN when not asked for);
    with `with_rows`, also the file rows the result was built from."""
    with h5py.File(path, "r") as h5:
        if "index" not in h5:
            return None
        index = h5["index"][()]
        pos = index["date"].searchsorted(date)
        if pos == len(index) or index["date"][pos] != date:
            return None
        left = int(index["line_no"][pos])
        right = int(index["line_no"][pos + 1]) if pos + 1 < len(index) else len(h5["data"])
        data = h5["data"][left:right]
    if not fields:
        fields = data.dtype.names
    pairs = [("high_limited", np.float64), ("low_limited", np.float64)]
    for name in fields:
        if name == "orig_time":
            pairs.append((name, np.uint64))
        elif name == "volume":
            pairs.append((name, np.float64))
        elif name not in ("high_limited", "low_limited"):
            pairs.append((name, data.dtype[name]))
    result = np.empty(len(data), dtype=np.dtype(pairs))
    result["high_limited"] = np.nan
    result["low_limited"] = np.nan
    for name in fields:
        result[name][:] = data[name]
    result = result[fields[0]] if len(fields) == 1 else result
    return (result, data) if with_rows else result
