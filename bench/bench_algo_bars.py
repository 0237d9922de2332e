"""Daily VWAP / TWAP algo bars: cold and warm queries, an incremental update, and the computation
against a pandas reading of the same steps. Files: 500 trading days of a stock (240 bars a day)
and of a futures contract with night sessions (345 bars a day)."""
import importlib
import logging
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

import h5py

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

from common import at_most, faster_by, info, median_time, print_table  # noqa: E402
from support import QUARRYBIN  # noqa: E402
from support.algo_files import (  # noqa: E402
    SIX, _Instrument, first_days, make_minute_data, reference_from_arrays, write_minute_file,
)

N_DAYS = 500


def _timed(setup, fn, repeat):
    samples = []
    for _ in range(repeat):
        setup()
        t0 = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def _read_six(path):
    with h5py.File(path, "r") as h5:
        h5["index"][()]
        return h5["data"].fields(SIX)[()]


def _read_records(path):
    with h5py.File(path, "r") as h5:
        h5["index"][()]
        return h5["data"][()]


def run():
    quarrybin = importlib.import_module(QUARRYBIN)
    logging.getLogger("norvane.user_system_log").setLevel(logging.WARNING)
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        cases = [("stock", "600000.SH", False, 1, (930, 1000)), ("futures", "A2401", True, 10, (900, 1500))]
        for label, code, night, multiplier, window in cases:
            data, index = make_minute_data(N_DAYS, night=night, seed=1)
            min_dir = os.path.join(tmp, f"min_{label}")
            path = write_minute_file(os.path.join(min_dir, f"{code}.h5"), data, index)
            algo_dir = os.path.join(tmp, f"algo_{label}")
            algo_file = os.path.join(algo_dir, "algo_{}_{}.h5".format(*window))
            inst = _Instrument(code, multiplier)
            start_min, end_min = window

            floor = median_time(lambda: _read_six(path), repeat=7)
            whole = median_time(lambda: _read_records(path), repeat=7)
            rows.append(info(whole, floor, f"{label}: h5py read of whole records", "h5py read of six fields"))

            def remove_cache():
                if os.path.exists(algo_file):
                    os.remove(algo_file)

            cold = _timed(remove_cache,
                          lambda: quarrybin.AlgoStore(algo_dir, min_dir).get_bars(inst, start_min, end_min), 9)
            rows.append(at_most(cold, floor, 2, f"{label}: cold get_bars (file created)", "h5py read of six fields"))

            with h5py.File(path, "r") as h5:
                idx, six = h5["index"][()], h5["data"].fields(SIX)[()]
            store = quarrybin.AlgoStore(algo_dir, min_dir)
            first = int(idx["date"][0])
            ours = median_time(lambda: store._compute_bars(idx, six, 0, first, start_min, end_min, inst), repeat=7)
            pandas_time = median_time(
                lambda: reference_from_arrays(idx, six, first, start_min, end_min, multiplier), repeat=3, number=1)
            rows.append(faster_by(ours, pandas_time, 50, f"{label}: computation alone", "pandas groupby"))

            # Incremental: the cache holds 497 trading dates, the minute file 500.
            short_dir = os.path.join(tmp, f"short_{label}")
            write_minute_file(os.path.join(short_dir, f"{code}.h5"), *first_days(data, index, N_DAYS - 3))
            remove_cache()
            quarrybin.AlgoStore(algo_dir, short_dir).get_bars(inst, start_min, end_min)
            saved = algo_file + ".saved"
            shutil.copyfile(algo_file, saved)
            incremental = _timed(lambda: shutil.copyfile(saved, algo_file),
                                 lambda: quarrybin.AlgoStore(algo_dir, min_dir).get_bars(inst, start_min, end_min), 9)
            rows.append(info(incremental, cold, f"{label}: update of 3 new dates", "cold get_bars"))

            # Warm: up to date on disk (new store, checked and read under the lock), then memoised.
            quarrybin.AlgoStore(algo_dir, min_dir).get_bars(inst, start_min, end_min)
            warm = median_time(lambda: quarrybin.AlgoStore(algo_dir, min_dir).get_bars(inst, start_min, end_min),
                               repeat=7)
            rows.append(info(warm, cold, f"{label}: warm get_bars (new store)", "cold get_bars"))
            memo_store = quarrybin.AlgoStore(algo_dir, min_dir)
            memo_store.get_bars(inst, start_min, end_min)
            memo = median_time(lambda: memo_store.get_bars(inst, start_min, end_min), repeat=7)
            rows.append(info(memo, warm, f"{label}: warm get_bars (memoised)", "warm, new store"))
    return rows


if __name__ == "__main__":
    print_table(run())
