"""Minute bars and HDF5 ticks: our stores against the floor (opening the file and reading the same
rows) and against plain numpy implementations of the same steps, on synthetic stock data:
a minute file of 500 trading days x 240 bars (stored plain, and chunked with gzip), a tick file of
4,800 ticks a day in shuffled order.

    python bench/bench_minute_bars_ticks.py
"""
import functools
import importlib
import pathlib
import sys
import statistics
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

from common import at_most, faster_by, info, print_table  # noqa: E402
from support.minute_files import STOCK_BAR_DTYPE, minute_bars, weekdays, write_minute_file  # noqa: E402
from support.tick_files import ticks, write_tick_file  # noqa: E402

QUARRYBIN = "norvane.tessel.mod.mod_quant_data.data_sources.quarrybin"
CODE = "600000.SH"
DAYS = 500
TICK_DAYS = 10
TICKS_PER_DAY = 4800
FIELDS = ["datetime", "open", "close", "high", "low", "volume", "total_turnover"]


class NumpyMinBarStore:
    """The minute-bar steps in plain numpy (the reference the native store replaces)."""

    def __init__(self, path, h5_file):
        self.path, self.h5_file = path, h5_file

    @functools.lru_cache(None)
    def _get_index(self, market_code):
        with self.h5_file(self.path) as h5:
            return h5["index"][()]

    def get_minute_bar(self, market_code, date, fields):
        index = self._get_index(market_code)
        pos = index["date"].searchsorted(date)
        if pos == len(index) or index["date"][pos] != date:
            return None
        left = index["line_no"][pos]
        with self.h5_file(self.path) as h5:
            data = h5["data"]
            try:
                right = index["line_no"][pos + 1]
            except IndexError:
                right = len(data)
            data = data[left:right]
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
            result = np.empty(shape=(len(data),), dtype=np.dtype(pairs))
            for name in fields:
                result[name][:] = data[name]
            return result[fields[0]] if len(fields) == 1 else result

    def get_date_range(self, market_code):
        with self.h5_file(self.path) as h5:
            data = h5["data"]
            return int(data["datetime"][0] / 1000000), int(data["datetime"][-1] / 1000000)

    @functools.lru_cache(None)
    def _get_empty(self, fields, instrument_type):
        dtypes = self.dtypes_map[instrument_type]
        if not fields:
            return np.empty(0, dtype=dtypes.dtype)
        pairs = []
        for name in fields:
            if name == "datetime":
                pairs.append((name, np.uint64))
            elif name in ("volume", "high_limited", "low_limited"):
                pairs.append((name, np.float64))
            else:
                try:
                    pairs.append((name, dtypes[name]))
                except KeyError:
                    return None
        return np.empty(0, dtype=np.dtype(pairs))

    def get_empty(self, fields, instrument_type):
        return self._get_empty(tuple(fields), instrument_type)


def numpy_ticks(h5_file, layout_fields, dtypes, path, date):
    """The tick steps in plain numpy (window, sort by (date, time), layout conversion)."""
    with h5_file(path) as h5:
        try:
            t = h5[str(date)][()]
            t = t[(t["time"] <= 150003000) & (t["time"] >= 91500000)]
            t.sort(order=("date", "time"), kind="stable")
        except KeyError:
            return None
        new_ticks = np.zeros(len(t), dtype=dtypes)
        for name, _, scale in layout_fields:
            try:
                new_ticks[name] = t[name] / float(scale)
            except ValueError:
                pass
        return new_ticks


def interleaved_medians(fns, rounds=15, min_time=0.03):
    """Median seconds per call of each function, timed in alternating rounds so that a change of
    machine load during the run weighs on every function alike."""
    numbers = []
    for fn in fns:
        number, t = 1, 0.0
        while True:
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            t = time.perf_counter() - t0
            if t >= min_time:
                break
            number *= 2
        numbers.append(number)
    samples = [[] for _ in fns]
    for _ in range(rounds):
        for fn, number, out in zip(fns, numbers, samples):
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            out.append((time.perf_counter() - t0) / number)
    return [statistics.median(s) for s in samples]


def _read_rows(h5_file, path, span):
    with h5_file(str(path)) as h5:
        return h5["data"][span[0]:span[1]]


def run():
    q = importlib.import_module(QUARRYBIN)
    h5_file = q.h5_file
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        dates = weekdays(20220103, DAYS)
        dtype = np.dtype(STOCK_BAR_DTYPE.descr + [("orig_time", "<u8")])
        (tmp / "minute").mkdir()
        minute_path = write_minute_file(tmp / "minute" / f"{CODE}.h5", minute_bars(dates, 240, dtype=dtype))
        tick_dates = dates[-TICK_DAYS:]
        (tmp / "ticks").mkdir()
        tick_path = write_tick_file(tmp / "ticks" / f"{CODE}.h5",
                                    {d: ticks(d, TICKS_PER_DAY, seed=i) for i, d in enumerate(tick_dates)})

        # get_minute_bar, warm index, rotating over dates.
        store = q.H5MinBarStore(str(tmp / "minute"))
        ref = NumpyMinBarStore(str(minute_path), h5_file)
        ref.dtypes_map = q.utils.DTYPE_MAP
        index = store._get_index(CODE)
        ref._get_index(CODE)
        spans = {int(d): (int(index["line_no"][i]), int(index["line_no"][i + 1]) if i + 1 < len(index) else None)
                 for i, d in enumerate(index["date"])}
        probe = [dates[i] for i in range(0, DAYS, 7)]
        cycle = {"ours": 0, "floor": 0, "numpy": 0}

        def rotate(key):
            cycle[key] = (cycle[key] + 1) % len(probe)
            return probe[cycle[key]]

        def floor_minute():
            left, right = spans[rotate("floor")]
            with h5_file(str(minute_path)) as h5:
                return h5["data"][left:right]

        def ours_minute():
            return store.get_minute_bar(CODE, rotate("ours"), FIELDS)

        def numpy_minute():
            return ref.get_minute_bar(CODE, rotate("numpy"), FIELDS)

        got, want = store.get_minute_bar(CODE, dates[3], FIELDS), ref.get_minute_bar(CODE, dates[3], FIELDS)
        assert all(np.array_equal(got[n], want[n]) for n in FIELDS)
        t_floor, t_ours, t_numpy = interleaved_medians([floor_minute, ours_minute, numpy_minute], rounds=25)
        rows.append(at_most(t_ours, t_floor, 1.1, "get_minute_bar (warm index)", "floor: open + read rows"))
        rows.append(info(t_ours, t_numpy, "get_minute_bar (warm index)", "plain numpy"))

        # get_ticks_by_date, cold memo: the compiled function behind the memo.
        loader = q.H5TicksLoader(str(tmp / "ticks"))
        cold = type(loader).get_ticks_by_date.__wrapped__
        cls = q.H5TicksLoader
        tcycle = {"ours": 0, "floor": 0, "numpy": 0}

        def trotate(key):
            tcycle[key] = (tcycle[key] + 1) % len(tick_dates)
            return tick_dates[tcycle[key]]

        def floor_ticks():
            with h5_file(str(tick_path)) as h5:
                return h5[str(trotate("floor"))][()]

        def ours_ticks():
            return cold(loader, CODE, trotate("ours"))

        def numpy_tick_call():
            return numpy_ticks(h5_file, cls.FIELDS, cls.DTYPES, str(tick_path), trotate("numpy"))

        assert np.array_equal(cold(loader, CODE, tick_dates[0]),
                              numpy_ticks(h5_file, cls.FIELDS, cls.DTYPES, str(tick_path), tick_dates[0]))
        t_floor, t_ours, t_numpy = interleaved_medians([floor_ticks, ours_ticks, numpy_tick_call], rounds=25)
        rows.append(at_most(t_ours, t_floor, 1.3, "get_ticks_by_date (cold memo)", "floor: open + read day"))
        rows.append(info(t_ours, t_numpy, "get_ticks_by_date (cold memo)", "plain numpy"))

        # get_date_range: first and last value against the whole-column reading, on the plain file
        # and on the same bars stored chunked and gzip-compressed (as stored minute files usually
        # are: there the whole-column reading inflates every chunk).
        (tmp / "minute_gz").mkdir()
        gz_path = write_minute_file(tmp / "minute_gz" / f"{CODE}.h5", minute_bars(dates, 240, dtype=dtype),
                                    chunks=(4096,), compression="gzip", compression_opts=4)
        gz_store = q.H5MinBarStore(str(tmp / "minute_gz"))
        gz_ref = NumpyMinBarStore(str(gz_path), h5_file)
        for s, r, label, check in ((gz_store, gz_ref, "gzip chunks", True), (store, ref, "contiguous", False)):
            assert s.get_date_range(CODE) == r.get_date_range(CODE) == (dates[0], dates[-1])
            t_ours, t_numpy = interleaved_medians([lambda: s.get_date_range(CODE), lambda: r.get_date_range(CODE)],
                                                  rounds=9)
            case = f"get_date_range (500 days, {label})"
            rows.append(faster_by(t_ours, t_numpy, 20, case, "whole-column reading") if check
                        else info(t_ours, t_numpy, case, "whole-column reading"))
        # get_minute_bar on the compressed file too (for information: inflating dominates there).
        gz_store._get_index(CODE)
        t_ours, t_floor = interleaved_medians([
            lambda: gz_store.get_minute_bar(CODE, rotate("ours"), FIELDS),
            lambda: _read_rows(h5_file, gz_path, spans[rotate("floor")]),
        ], rounds=9)
        rows.append(info(t_ours, t_floor, "get_minute_bar (gzip chunks)", "floor: open + read rows"))

        # get_empty, warm memo.
        store.get_empty(FIELDS, "CS")
        ref.get_empty(FIELDS, "CS")
        t_ours, t_numpy = interleaved_medians([lambda: store.get_empty(FIELDS, "CS"),
                                               lambda: ref.get_empty(FIELDS, "CS")])
        rows.append(info(t_ours, t_numpy, "get_empty (warm)", "Python + lru_cache"))
    return rows


if __name__ == "__main__":
    print_table(run())
