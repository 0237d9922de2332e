"""Every HDF5 file the stores open is closed on every exit, and every algo lock is released: open
HDF5 objects are counted, and the lock is probed from outside, around succeeding and failing calls."""
import gc
import os

import filelock
import h5py
import numpy as np
import pytest

from support.algo_files import make_minute_data, write_minute_file as write_algo_minute_file
from support.minute_files import bar_index, minute_bars, write_minute_file
from support.tick_files import ticks, write_tick_file

CODE = "600000.SH"
DAY = 20240102


def open_hdf5_objects():
    """(files, every object) HDF5 holds open in this process."""
    return (h5py.h5f.get_obj_count(h5py.h5f.OBJ_ALL, h5py.h5f.OBJ_FILE),
            h5py.h5f.get_obj_count(h5py.h5f.OBJ_ALL, h5py.h5f.OBJ_ALL))


def call_and_count(fn, *args):
    """Calls fn; returns (outcome, open objects before, after)."""
    before = open_hdf5_objects()
    try:
        result = ("ok", fn(*args))
    except Exception as e:  # noqa: BLE001 - both exits are checked
        result = ("error", e)
    after = open_hdf5_objects()
    if after != before:
        gc.collect()  # only an object still held by the program is a leak, not one awaiting collection
        after = open_hdf5_objects()
    return result, before, after


def test_the_count_sees_a_file_left_open(tmp_path):
    write_minute_file(tmp_path / "x.h5", minute_bars([DAY], 2))
    before = open_hdf5_objects()
    h5 = h5py.File(tmp_path / "x.h5", "r")
    assert open_hdf5_objects() != before
    h5.close()
    assert open_hdf5_objects() == before


# ---- minute bars and ticks: the file is closed on each exit -----------------------------------------

def minute_cases(tmp_path):
    good = minute_bars([DAY, DAY + 1], 3)
    write_minute_file(tmp_path / "GOOD.h5", good)
    write_minute_file(tmp_path / "NOINDEX.h5", good, with_index=False)
    write_minute_file(tmp_path / "EMPTY.h5", good[:0])
    nan_time = good.astype([(n, "<f8") for n in good.dtype.names])
    nan_time["datetime"] = np.nan
    write_minute_file(tmp_path / "NAN.h5", nan_time, index=bar_index(good))
    text = good.astype([(n, "S8") if n == "volume" else (n, t) for n, (t, _) in good.dtype.fields.items()])
    write_minute_file(tmp_path / "TEXT.h5", text)
    past = np.zeros(2, [("date", "<u4"), ("line_no", "<i8")])
    past["date"], past["line_no"] = [DAY, DAY + 1], [0, 99]
    write_minute_file(tmp_path / "PAST.h5", good, index=past)
    with h5py.File(tmp_path / "NODATA.h5", "w") as h5:
        h5["index"] = past
    return [
        ("get_minute_bar", ("GOOD", DAY, ["close", "volume"]), "ok"),
        ("get_minute_bar", ("GOOD", DAY, ["no_such_field"]), "error"),
        ("get_minute_bar", ("GOOD", DAY, ["close", "close"]), "error"),
        ("get_minute_bar", ("TEXT", DAY, ["volume", "close"]), "error"),
        ("get_minute_bar", ("NOINDEX", DAY, None), "ok"),
        ("get_minute_bar", ("NODATA", DAY, None), "error"),
        ("get_minute_bar", ("PAST", DAY + 1, None), "ok"),
        ("get_minute_bar", ("MISSING", DAY, None), "ok"),
        ("get_date_range", ("GOOD",), "ok"),
        ("get_date_range", ("EMPTY",), "error"),
        ("get_date_range", ("NAN",), "error"),
        ("get_date_range", ("NODATA",), "error"),
    ]


def test_minute_bar_store_closes_its_files_on_every_exit(quarrybin, tmp_path):
    cases = minute_cases(tmp_path)
    store = quarrybin.H5MinBarStore(str(tmp_path))
    for method, args, expected in cases:
        (result, _), before, after = call_and_count(getattr(store, method), *args)
        assert result == expected, (method, args, _)
        assert after == before, (method, args)


def test_tick_loader_closes_its_files_on_every_exit(quarrybin, tmp_path):
    write_tick_file(tmp_path / "GOOD.h5", {DAY: ticks(DAY, 20)})
    write_tick_file(tmp_path / "NOTIME.h5", {DAY: ticks(DAY, 5, dtype=[("date", "<u4"), ("a1", "<f8")])})
    write_tick_file(tmp_path / "TEXT.h5", {DAY: ticks(DAY, 5, dtype=[("date", "<u4"), ("time", "S9")])})
    write_tick_file(tmp_path / "PLAIN.h5", {DAY: np.zeros(4)})
    loader = quarrybin.H5TicksLoader(str(tmp_path))
    for code, date, expected in [("GOOD", DAY, "ok"), ("GOOD", DAY + 1, "ok"), ("NOTIME", DAY, "error"),
                                 ("TEXT", DAY, "error"), ("PLAIN", DAY, "error"), ("MISSING", DAY, "error")]:
        (result, _), before, after = call_and_count(loader.get_ticks_by_date, code, date)
        assert result == expected, (code, date, _)
        assert after == before, code


# ---- the algo store: files closed and the lock released on every exit --------------------------------

class Inst:
    def __init__(self, code, multiplier=1.0):
        self.market_code = code
        self.contract_multiplier = multiplier


def lock_is_free(path):
    """Whether another holder could take the algo file's lock right now."""
    probe = filelock.FileLock(path + ".lock", timeout=0)
    try:
        probe.acquire()
    except filelock.Timeout:
        return False
    probe.release()
    return True


def algo_cases(min_dir, algo_dir):
    data, index = make_minute_data(3, seed=1)
    write_algo_minute_file(os.path.join(min_dir, "GOOD.h5"), data, index)
    duplicate = index.copy()
    duplicate["date"][2] = duplicate["date"][1]
    write_algo_minute_file(os.path.join(min_dir, "DUPLICATE.h5"), data, duplicate)
    past = index.copy()
    past["line_no"][1] = len(data) + 7
    write_algo_minute_file(os.path.join(min_dir, "PAST.h5"), data, past)
    text = data.astype([(n, "S8") if n == "close_price" else (n, t) for n, (t, _) in data.dtype.fields.items()])
    write_algo_minute_file(os.path.join(min_dir, "TEXT.h5"), text, index)
    with h5py.File(os.path.join(min_dir, "NOINDEX.h5"), "w") as h5:
        h5["data"] = data
    with h5py.File(os.path.join(min_dir, "NOFIELD.h5"), "w") as h5:
        h5["data"] = np.zeros(3, [("orig_time", "<u8")])
        h5["index"] = index[:1]
    with open(os.path.join(min_dir, "GARBAGE.h5"), "wb") as f:
        f.write(b"not an hdf5 file" * 64)
    return [("GOOD", "ok"), ("DUPLICATE", "error"), ("PAST", "error"), ("TEXT", "error"),
            ("NOINDEX", "error"), ("NOFIELD", "error"), ("GARBAGE", "error"), ("MISSING", "error")]


@pytest.mark.parametrize("window", [(930, 1000), (1000, 930)])
def test_algo_store_closes_its_files_and_releases_its_lock_on_every_exit(quarrybin, tmp_path, window):
    min_dir, algo_dir = str(tmp_path / "min"), str(tmp_path / "algo")
    cases = algo_cases(min_dir, algo_dir)
    path = os.path.join(algo_dir, "algo_{}_{}.h5".format(*window))
    for code, expected in cases:
        store = quarrybin.AlgoStore(algo_dir, min_dir)
        (result, detail), before, after = call_and_count(store.get_bars, Inst(code), *window)
        assert result == expected, (code, detail)
        assert after == before, code
        assert lock_is_free(path), code
        # The steps under the lock, called alone, close what they open too.
        if code != "MISSING":
            for step, args in [("_get_update_start_date", (code, *window)), ("_update", (Inst(code), *window, 0))]:
                _, before, after = call_and_count(getattr(store, step), *args)
                assert after == before, (code, step)


def test_algo_lock_is_released_when_the_algo_file_is_damaged_or_busy(quarrybin, tmp_path, monkeypatch):
    min_dir, algo_dir = str(tmp_path / "min"), str(tmp_path / "algo")
    data, index = make_minute_data(3, seed=1)
    write_algo_minute_file(os.path.join(min_dir, "GOOD.h5"), data, index)
    os.makedirs(algo_dir)
    path = os.path.join(algo_dir, "algo_930_1000.h5")
    with open(path, "wb") as f:
        f.write(b"\x89HDF\r\n\x1a\n" + b"\0" * 100)  # a signature and nothing behind it
    (result, _), before, after = call_and_count(quarrybin.AlgoStore(algo_dir, min_dir).get_bars, Inst("GOOD"), 930, 1000)
    assert result == "ok" and after == before and lock_is_free(path)

    # Another process holds the algo file: opening it for writing fails at once, as HDF5's lock does.
    class BusyH5py:
        def __getattr__(self, name):
            return getattr(h5py, name)

        @staticmethod
        def File(name, mode="r", *args, **kwargs):
            if mode != "r":
                raise BlockingIOError(11, "unable to lock file, errno = 11")
            return h5py.File(name, mode, *args, **kwargs)

    data, index = make_minute_data(5, seed=1)
    write_algo_minute_file(os.path.join(min_dir, "GOOD.h5"), data, index)  # two new dates to write
    monkeypatch.setattr(quarrybin, "h5py", BusyH5py())
    (result, error), before, after = call_and_count(quarrybin.AlgoStore(algo_dir, min_dir).get_bars,
                                                    Inst("GOOD"), 930, 1000)
    assert result == "error" and isinstance(error, OSError) and "algo_930_1000.h5" in str(error)
    assert after == before and lock_is_free(path)
