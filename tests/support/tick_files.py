"""Writers of HDF5 tick files (one dataset per trading date, named by its date number) for tests,
benchmarks and demos.

    write_tick_file(tmp_path / "600000.SH.h5", {20240102: ticks(20240102, 4800)})
"""
import numpy as np

import h5py

LEVELS = 5
PRICE_FIELDS = ["last_price", "high_price", "low_price", "volume", "open_interest", "total_turnover"]
QUOTE_FIELDS = ([f"{s}{i}" for i in range(1, LEVELS + 1) for s in ("a", "b")]
                + [f"{s}{i}_v" for i in range(1, LEVELS + 1) for s in ("a", "b")])
TICK_FIELDS = ["date", "time"] + PRICE_FIELDS + QUOTE_FIELDS
FULL_TICK_DTYPE = np.dtype([("date", "<u4"), ("time", "<u4")] + [(n, "<f8") for n in PRICE_FIELDS + QUOTE_FIELDS])


def time_numbers(seconds):
    """HHMMSSmmm time numbers of seconds after midnight (floats allowed: milliseconds kept)."""
    seconds = np.asarray(seconds, dtype=np.float64)
    ms = np.round(seconds * 1000).astype(np.int64)
    h, rest = np.divmod(ms, 3600_000)
    m, rest = np.divmod(rest, 60_000)
    return h * 10_000_000 + m * 100_000 + rest


def session_times(n, rng):
    """`n` tick times of a stock day, 3 s apart from 09:15 through 15:00:03 (with the lunch break),
    as time numbers, ascending."""
    morning = np.arange(9 * 3600 + 15 * 60, 11 * 3600 + 30 * 60, 3.0)
    afternoon = np.arange(13 * 3600, 15 * 3600 + 4, 3.0)
    grid = np.concatenate([morning, afternoon])
    picks = np.sort(rng.choice(len(grid), size=min(n, len(grid)), replace=False))
    if n > len(grid):
        picks = np.sort(rng.integers(0, len(grid), n))
    return time_numbers(grid[picks])


def ticks(date, n, dtype=FULL_TICK_DTYPE, seed=0, shuffle=True, times=None):
    """`n` ticks of `date` in `dtype` (any subset of the layout's names, any numeric types); times
    from `times` or a stock day's session, rows shuffled unless `shuffle` is false."""
    rng = np.random.default_rng(seed)
    dtype = np.dtype(dtype)
    out = np.zeros(n, dtype=dtype)
    t = session_times(n, rng) if times is None else np.asarray(times)
    for name in dtype.names:
        kind = dtype[name].kind
        if name == "date":
            out[name] = date
        elif name == "time":
            out[name] = t.astype(dtype[name])
        elif kind in "iu":
            out[name] = rng.integers(0, 120, n).astype(dtype[name])
        elif kind == "f":
            out[name] = (10 + rng.random(n) * 5).astype(dtype[name])
    if shuffle:
        out = out[rng.permutation(n)]
    return out


def write_tick_file(path, days, **dataset_options):
    """Write `days` ({date number: tick array}) to a new HDF5 file at `path`, one dataset per date."""
    with h5py.File(path, "w") as h5:
        for date, arr in days.items():
            h5.create_dataset(str(date), data=arr, **dataset_options)
    return path


def plain_table_path(quarrybin, loader, df):
    """The data-service tick loader's table path done the plain way: per-row numbering functions
    and row tuples."""
    df = df.reset_index()
    df["date"] = df.orig_time.dt.date.apply(quarrybin.date_to_number)
    df["time"] = df.orig_time.dt.time.apply(quarrybin.time_to_number)
    if "open_interest" not in df.columns:
        df["open_interest"] = 0.0
    df = df[loader.FIELD_NAMES]
    return np.array([tuple(row) for row in df.values], dtype=loader.DTYPES)
