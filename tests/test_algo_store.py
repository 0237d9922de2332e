"""AlgoStore: daily VWAP / TWAP bars of an intraday window, cached per window in HDF5 files."""
import logging
import os
import threading

import filelock
import h5py
import numpy as np
import pandas as pd
import pytest

from support.algo_files import (
    MINUTE_DTYPE, INDEX_DTYPE, SIX, assert_bars_equal, first_days, make_minute_data, reference_algo_bars,
    reference_from_arrays, replace_minute_file, write_minute_file,
)
from norvane.tessel.model.instrument import Instrument

ALGO_DTYPE = np.dtype([("date", "<u4"), ("VWAP", "<f8"), ("TWAP", "<f8"), ("volume", "<u8")])
CODE = "600000.SH"
MISSING = "算法单异常：分钟线数据不存在，请更新数据 norvane update-data --minbar {}"
BUSY = "算法单文件更新失败，请检查文件是否被占用: "


class Inst:
    """A hashable instrument (the engine's are hashable by identity too)."""

    def __init__(self, code=CODE, multiplier=1):
        self.market_code = code
        self.contract_multiplier = multiplier


@pytest.fixture
def dirs(tmp_path):
    return str(tmp_path / "algo"), str(tmp_path / "min")


def minute_path(min_dir, code=CODE):
    return os.path.join(min_dir, f"{code}.h5")


def stored(algo_dir, window, code=CODE):
    path = os.path.join(algo_dir, "algo_{}_{}.h5".format(*window))
    with h5py.File(path, "r") as h5:
        return h5[code][()] if code in h5 else None


def assert_same(a, b):
    """Bit-identical records (NaN included)."""
    assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def one_day_file(path, date, bars):
    """A minute file of one trading date; bars: (HHMMSS, close, high, low, volume, turnover)."""
    data = np.zeros(len(bars), MINUTE_DTYPE)
    for i, (t, close, high, low, volume, turnover) in enumerate(bars):
        data[i]["orig_time"] = data[i]["datetime"] = date * 1000000 + t
        data[i]["close_price"], data[i]["high_price"], data[i]["low_price"] = close, high, low
        data[i]["volume"], data[i]["total_turnover"] = volume, turnover
    return write_minute_file(path, data, np.array([(date, 0)], INDEX_DTYPE))


# ---- construction and paths ------------------------------------------------------------------------

def test_file_map_globs_h5_files_at_any_depth(quarrybin, tmp_path):
    root = tmp_path / "min"
    for rel in ["A.h5", "x/B.h5", "x/y/C-sample.h5", "x/notes.txt", ".hidden/D.h5", "x/.E.h5", "z/A.h5"]:
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(b"")
    algo = tmp_path / "deep" / "algo"
    store = quarrybin.AlgoStore(str(algo), str(root))
    assert algo.is_dir()
    assert sorted(store._file_map) == ["A", "B", "C-sample"]
    assert store._file_map["B"] == os.path.join(str(root), "x", "B.h5")
    assert store._file_map["A"] in (str(root / "A.h5"), str(root / "z" / "A.h5"))
    assert store._path == str(algo)
    assert store._get_algo_file_path(930, 1000) == os.path.join(str(algo), "algo_930_1000.h5")
    assert quarrybin.AlgoStore.DTYPES == {"date": "<u4", "VWAP": "<f8", "TWAP": "<f8", "volume": "<u8"}
    assert quarrybin.AlgoStore.get_bars.cache_info().maxsize == 1024
    assert quarrybin.AlgoStore(str(algo), str(tmp_path / "nowhere"))._file_map == {}


# ---- first build, extension, rebuild -------------------------------------------------------------------

def test_first_query_creates_the_dataset(quarrybin, dirs, caplog):
    algo_dir, min_dir = dirs
    data, index = make_minute_data(12, seed=3, empty_days=(4,))
    write_minute_file(minute_path(min_dir), data, index)
    caplog.set_level(logging.INFO, logger="norvane.user_system_log")
    got = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 930, 1000)

    assert got.dtype == ALGO_DTYPE and len(got) == 12
    assert_bars_equal(got, reference_algo_bars(minute_path(min_dir), 0, 930, 1000), rtol=1e-12)
    assert np.isnan(got["VWAP"][4]) and np.isnan(got["TWAP"][4]) and got["volume"][4] == 0
    assert [r.getMessage() for r in caplog.records] == ["正在计算算法单数据，请稍后."]
    with h5py.File(os.path.join(algo_dir, "algo_930_1000.h5"), "r") as h5:
        ds = h5[CODE]
        assert ds.dtype == ALGO_DTYPE and ds.maxshape == (None,) and ds.chunks
        assert ds.compression == "gzip" and ds.compression_opts == 9 and not ds.shuffle
        assert_same(ds[()], got)
    assert [f for f in os.listdir(algo_dir) if not f.endswith(".lock")] == ["algo_930_1000.h5"]


class SpyStore:
    """Records the update start dates a store is asked to compute from."""

    @staticmethod
    def make(quarrybin, algo_dir, min_dir):
        class Store(quarrybin.AlgoStore):
            def _update(self, instrument, start_min, end_min, update_start_date):
                self.starts.append(update_start_date)
                return super()._update(instrument, start_min, end_min, update_start_date)

        store = Store(algo_dir, min_dir)
        store.starts = []
        return store


def test_new_dates_are_appended_and_up_to_date_data_only_read(quarrybin, dirs):
    algo_dir, min_dir = dirs
    data, index = make_minute_data(10, seed=5)
    write_minute_file(minute_path(min_dir), *first_days(data, index, 7))
    before = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 930, 1000)

    replace_minute_file(minute_path(min_dir), data, index)  # three new trading dates
    store = SpyStore.make(quarrybin, algo_dir, min_dir)
    after = store.get_bars(Inst(), 930, 1000)
    assert store.starts == [int(index["date"][7])]
    assert len(after) == 10
    assert_same(after[:7], before)
    assert_bars_equal(after, reference_algo_bars(minute_path(min_dir), 0, 930, 1000), rtol=1e-12)

    fresh = SpyStore.make(quarrybin, algo_dir, min_dir)
    assert_same(fresh.get_bars(Inst(), 930, 1000), after)
    assert fresh.starts == []


def _rewrite(path, code, records):
    with h5py.File(path, "a") as h5:
        del h5[code]
        h5.create_dataset(code, data=records, chunks=True, maxshape=(None,))


@pytest.mark.parametrize("damage", ["drop_middle", "foreign_date", "longer_than_minute_file", "empty"])
def test_inconsistent_dataset_is_rebuilt_from_the_first_date(quarrybin, dirs, damage):
    algo_dir, min_dir = dirs
    data, index = make_minute_data(8, seed=7)
    write_minute_file(minute_path(min_dir), data, index)
    good = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 930, 1000)
    bad = good.copy()
    if damage == "drop_middle":
        bad = np.delete(bad, 3)
    elif damage == "foreign_date":  # same count, a date the minute file no longer has
        bad["date"][3] = 20990101
    elif damage == "longer_than_minute_file":
        bad = np.concatenate([bad, bad[-1:]])
        bad["date"][-1] = 20990101
    else:
        bad = bad[:0]
    _rewrite(os.path.join(algo_dir, "algo_930_1000.h5"), CODE, bad)

    store = SpyStore.make(quarrybin, algo_dir, min_dir)
    assert_same(store.get_bars(Inst(), 930, 1000), good)
    assert store.starts == [int(index["date"][0])]


def test_new_dates_without_bars_in_the_window_append_nothing(quarrybin, dirs):
    algo_dir, min_dir = dirs
    data, index = make_minute_data(9, seed=9, empty_days=(6, 7, 8))
    write_minute_file(minute_path(min_dir), *first_days(data, index, 6))
    first = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 930, 1000)
    replace_minute_file(minute_path(min_dir), data, index)
    for _ in range(2):  # each uncached query computes the same dates again
        store = SpyStore.make(quarrybin, algo_dir, min_dir)
        assert_same(store.get_bars(Inst(), 930, 1000), first)
        assert store.starts == [int(index["date"][6])]
    assert_same(stored(algo_dir, (930, 1000)), first)


# ---- the computation -----------------------------------------------------------------------------------

def test_window_bounds_are_inclusive_on_each_bars_calendar_date(quarrybin, dirs):
    algo_dir, min_dir = dirs
    bars = [(92959, 1.0, 1.1, 0.9, 10, 10), (93000, 2.0, 2.1, 1.9, 10, 20), (94500, 3.0, 3.1, 2.9, 30, 90),
            (100000, 4.0, 4.1, 3.9, 20, 80), (100001, 5.0, 5.1, 4.9, 10, 50)]
    one_day_file(minute_path(min_dir), 20240102, bars)
    got = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(multiplier=2), 930, 1000)
    assert got.tolist() == [(20240102, 190 / 60 / 2, 3.0, 60)]


def test_night_bars_are_windowed_by_calendar_date_and_grouped_by_trading_date(quarrybin, dirs):
    algo_dir, min_dir = dirs
    data = np.zeros(3, MINUTE_DTYPE)
    data["orig_time"] = [20240102213000, 20240103093000, 20240103213000]
    data["close_price"] = data["high_price"] = [1.0, 2.0, 3.0]
    data["low_price"] = data["close_price"] - 0.5
    data["volume"], data["total_turnover"] = [1, 1, 1], [1.0, 2.0, 3.0]
    write_minute_file(minute_path(min_dir), data, np.array([(20240103, 0), (20240104, 2)], INDEX_DTYPE))
    got = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 2100, 2200)
    assert got.tolist() == [(20240103, 1.0, 1.0, 1), (20240104, 3.0, 3.0, 1)]


@pytest.mark.parametrize(
    "bars, multiplier, expected",
    [
        # locked at one limit price all day: that price, whatever turnover / volume say
        ([(93100, 11.0, 11.0, 11.0, 3, 1.0), (93200, 11.0, 11.0, 11.0, 7, 2.0)], 1, 11.0),
        # flat bars at two prices: the formula
        ([(93100, 11.0, 11.0, 11.0, 3, 30.0), (93200, 12.0, 12.0, 12.0, 1, 14.0)], 1, 11.0),
        # not flat, multiplier 10: turnover 1,000,000 over volume 100
        ([(93100, 1.0, 1.2, 0.9, 40, 400000.0), (93200, 1.0, 1.1, 1.0, 60, 600000.0)], 10, 1000.0),
    ],
)
def test_vwap_rule(quarrybin, dirs, bars, multiplier, expected):
    algo_dir, min_dir = dirs
    one_day_file(minute_path(min_dir), 20240102, bars)
    store = quarrybin.AlgoStore(algo_dir, min_dir)
    assert store.get_bars(Inst(multiplier=multiplier), 930, 1000)["VWAP"].tolist() == [expected]
    day = pd.DataFrame(np.array([b[1:] for b in bars]),
                       columns=["close_price", "high_price", "low_price", "volume", "total_turnover"])
    assert store._calc_vwap(day, np.int32(multiplier)) == expected  # the multiplier is converted to float


def test_zero_volume_day_uses_the_engines_safe_div(quarrybin, dirs, monkeypatch):
    algo_dir, min_dir = dirs
    one_day_file(minute_path(min_dir), 20240102, [(93100, 1.0, 1.2, 0.9, 0, 8.0), (93200, 1.0, 1.1, 1.0, 0, 0.0)])
    calls = []
    monkeypatch.setattr(quarrybin, "safe_div", lambda a, b: calls.append((a, b)) or 42.0)
    got = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(multiplier=4), 930, 1000)
    assert got["VWAP"].tolist() == [10.5] and calls == [(8.0, 0.0)]


def test_calc_vwap_takes_any_numeric_table_and_refuses_a_non_numeric_multiplier(quarrybin, dirs):
    store = quarrybin.AlgoStore(*dirs)
    day = pd.DataFrame({"high_price": pd.array([2.0, None], dtype="Float64"), "low_price": [1.0, 1.0],
                        "volume": np.array([3, 1], dtype=np.int16), "total_turnover": [6.0, 2.0]})
    assert store._calc_vwap(day, 2) == 1.0
    with pytest.raises(TypeError, match="contract_multiplier"):
        store._calc_vwap(day, None)


def test_python_override_of_calc_vwap_is_called_per_day(quarrybin, dirs):
    algo_dir, min_dir = dirs
    data, index = make_minute_data(4, night=True, seed=11, empty_days=(2,))
    write_minute_file(minute_path(min_dir, "A2401"), data, index)
    seen = []

    class Store(quarrybin.AlgoStore):
        def _calc_vwap(self, df, contract_multiplier):
            seen.append((df, contract_multiplier))
            return float(df["close_price"].iloc[-1]) + super()._calc_vwap(df, contract_multiplier) * 0

    got = Store(algo_dir, min_dir).get_bars(Inst("A2401", multiplier=10), 2100, 2200)
    assert len(seen) == 3  # the day without bars is not asked for
    for df, multiplier in seen:
        assert multiplier == 10
        assert list(df.columns) == SIX + ["date"] and df["date"].nunique() == 1
        rows = df.index.to_numpy()
        np.testing.assert_array_equal(data["orig_time"][rows], df["orig_time"])  # labelled by row number
    expected = [float(df["close_price"].iloc[-1]) for df, _ in seen]
    assert got["VWAP"][[0, 1, 3]].tolist() == expected and np.isnan(got["VWAP"][2])
    reference = reference_algo_bars(minute_path(min_dir, "A2401"), 0, 2100, 2200, 10)
    reference["VWAP"][[0, 1, 3]] = expected
    assert_bars_equal(got, reference, rtol=1e-12)


@pytest.mark.parametrize("seed", range(12))
def test_native_computation_matches_pandas(quarrybin, tmp_path, seed):
    rng = np.random.default_rng(seed)
    n_days = int(rng.integers(1, 25))
    night = bool(rng.integers(2))
    flat = set(rng.integers(0, n_days, 3).tolist())
    data, index = make_minute_data(n_days, night=night, seed=seed, flat_days=flat,
                                   empty_days=set(rng.integers(0, n_days, 2).tolist()))
    if len(data):  # missing closes, zero volumes, limit days at two prices
        data["close_price"][rng.random(len(data)) < 0.05] = np.nan
        data["volume"][rng.random(len(data)) < 0.05] = 0
    path = write_minute_file(str(tmp_path / "min" / "X.h5"), data, index)
    store = quarrybin.AlgoStore(str(tmp_path / "algo"), str(tmp_path / "min"))
    multiplier = float(rng.choice([1, 10, 300]))
    for _ in range(6):
        start_min = int(rng.choice([900, 930, 1000, 1300, 2100, 2230]))
        end_min = start_min + int(rng.choice([-30, 0, 1, 30, 130, 600]))
        update_start = int(rng.choice(index["date"])) if rng.random() < 0.7 else 0
        got = store._update(Inst("X", multiplier), start_min, end_min, update_start)
        expected = reference_algo_bars(path, update_start, start_min, end_min, multiplier)
        if expected is None:
            assert got is None
            continue
        assert_bars_equal(got, expected, rtol=1e-12)
        limit = np.isin(got["date"], index["date"][sorted(flat)])
        np.testing.assert_array_equal(got["VWAP"][limit], expected["VWAP"][limit])  # limit prices exact


@pytest.mark.parametrize("types", [
    {"orig_time": ">u8", "close_price": ">f8", "volume": ">f8", "total_turnover": ">f8", "high_price": ">f8",
     "low_price": ">f8"},
    {"orig_time": "<i8", "volume": "<i8", "total_turnover": "<i8"},
])
def test_any_numeric_field_types_are_read(quarrybin, tmp_path, types):
    data, index = make_minute_data(6, night=True, seed=13, flat_days={2})
    data["total_turnover"] = np.round(data["total_turnover"])
    new_dtype = np.dtype([(n, types.get(n, t)) for n, (t, _) in data.dtype.fields.items()])
    index = index.astype([("date", ">i8"), ("line_no", ">i4")])
    path = write_minute_file(str(tmp_path / "min" / "X.h5"), data.astype(new_dtype), index)
    store = quarrybin.AlgoStore(str(tmp_path / "algo"), str(tmp_path / "min"))
    got = store.get_bars(Inst("X", 10), 1000, 2200)
    assert len(got) == 6
    assert_bars_equal(got, reference_algo_bars(path, 0, 1000, 2200, 10), rtol=1e-12)


def test_index_blocks_beyond_the_data_are_refused(quarrybin, tmp_path):
    store = quarrybin.AlgoStore(str(tmp_path / "algo"), str(tmp_path / "min"))
    data, index = make_minute_data(2, seed=1)
    index["line_no"][1] = len(data) + 5
    six = data[SIX]
    with pytest.raises(ValueError, match="line_no"):
        store._compute_bars(index, six, 0, 0, 930, 1000, Inst())


# ---- queries, errors and the lock ----------------------------------------------------------------------

def test_window_without_bars_gives_an_empty_array(quarrybin, dirs):
    algo_dir, min_dir = dirs
    write_minute_file(minute_path(min_dir), *make_minute_data(3, seed=2))
    got = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 1000, 930)  # start after end
    assert got.dtype == ALGO_DTYPE and len(got) == 0
    assert not os.path.exists(os.path.join(algo_dir, "algo_1000_930.h5"))


@pytest.mark.parametrize("remove_file", [False, True])
def test_missing_minute_data_is_reported_before_any_lock(quarrybin, dirs, remove_file):
    algo_dir, min_dir = dirs
    write_minute_file(minute_path(min_dir), *make_minute_data(2, seed=2))
    store = quarrybin.AlgoStore(algo_dir, min_dir)
    code = CODE if remove_file else "000001.SZ"
    if remove_file:
        os.remove(minute_path(min_dir))
    with pytest.raises(RuntimeError, match=f"^{MISSING.format(code)}$".replace("(", r"\(")):
        store.get_bars(Inst(code), 930, 1000)
    assert os.listdir(algo_dir) == []


def test_repeated_query_is_memoised_without_touching_files(quarrybin, dirs, monkeypatch):
    algo_dir, min_dir = dirs
    write_minute_file(minute_path(min_dir), *make_minute_data(3, seed=2))
    store, inst = quarrybin.AlgoStore(algo_dir, min_dir), Inst()
    first = store.get_bars(inst, 930, 1000)
    os.remove(minute_path(min_dir))
    monkeypatch.setattr(quarrybin, "FileLock", None)  # any lock attempt would fail
    assert store.get_bars(inst, 930, 1000) is first


def test_lock_failures_are_reported_as_a_busy_file(quarrybin, dirs, monkeypatch):
    algo_dir, min_dir = dirs
    write_minute_file(minute_path(min_dir), *make_minute_data(2, seed=2))

    class TimedOut:
        def __init__(self, path):
            self.path = path

        def acquire(self):
            raise filelock.Timeout(self.path)

    monkeypatch.setattr(quarrybin, "FileLock", TimedOut)
    path = os.path.join(algo_dir, "algo_930_1000.h5")
    with pytest.raises(OSError) as info:
        quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 930, 1000)
    assert str(info.value) == BUSY + path and isinstance(info.value.__cause__, filelock.Timeout)


def test_other_errors_pass_unchanged(quarrybin, dirs):
    algo_dir, min_dir = dirs
    os.makedirs(min_dir)
    with h5py.File(minute_path(min_dir), "w") as h5:
        h5.create_dataset("data", data=np.zeros(1, MINUTE_DTYPE))  # no index
    with pytest.raises(KeyError):
        quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 930, 1000)


def test_update_start_date_must_be_a_number(quarrybin, dirs):
    algo_dir, min_dir = dirs
    write_minute_file(minute_path(min_dir), *make_minute_data(3, seed=2))
    store = quarrybin.AlgoStore(algo_dir, min_dir)
    with pytest.raises(TypeError, match="update_start_date.*int"):
        store._update(Inst(), 930, 1000, "20230103")
    assert len(store._update(Inst(), 930, 1000, 20230103.0)) == 2
    assert store._update(Inst("nothing"), 930, 1000, 20230103) is None


def test_append_grows_the_dataset_in_place(quarrybin, tmp_path):
    with h5py.File(tmp_path / "a.h5", "w") as h5:
        ds = h5.create_dataset("X", data=np.zeros(2, ALGO_DTYPE), chunks=True, maxshape=(None,))
        new = np.ones(3, ALGO_DTYPE)
        quarrybin.AlgoStore._append(ds, new)
        assert len(ds) == 5 and ds[2:].tolist() == new.tolist() and ds[0]["date"] == 0


def test_two_windows_use_two_files_and_never_block_each_other(quarrybin, dirs):
    algo_dir, min_dir = dirs
    write_minute_file(minute_path(min_dir), *make_minute_data(3, seed=2))
    store = quarrybin.AlgoStore(algo_dir, min_dir)
    held = filelock.FileLock(os.path.join(algo_dir, "algo_930_1000.h5.lock"))
    with held:
        assert len(store.get_bars(Inst(), 1300, 1400)) == 3  # not blocked by the other window's lock
        done = threading.Event()
        waiter = threading.Thread(target=lambda: (store.get_bars(Inst(), 930, 1000), done.set()))
        waiter.start()
        assert not done.wait(0.3)  # same window: waits for the lock
    waiter.join(10)
    assert done.is_set()
    assert sorted(f for f in os.listdir(algo_dir) if f.endswith(".h5")) == ["algo_1300_1400.h5", "algo_930_1000.h5"]


def test_threads_of_one_process_share_the_cache_safely(quarrybin, dirs):
    algo_dir, min_dir = dirs
    data, index = make_minute_data(20, seed=8)
    write_minute_file(minute_path(min_dir), data, index)
    expected = {w: reference_algo_bars(minute_path(min_dir), 0, *w) for w in [(930, 1000), (1300, 1400)]}
    start, results = threading.Barrier(6), []

    def query(window):
        start.wait()
        results.append((window, quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), *window)))

    threads = [threading.Thread(target=query, args=(w,)) for w in list(expected) * 3]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert len(results) == 6
    for window, got in results:
        assert_bars_equal(got, expected[window], rtol=1e-12)


# ---- damaged cache files ---------------------------------------------------------------------------------

def _damage_chunk(path, code):
    with h5py.File(path, "r") as h5:
        info = h5[code].id.get_chunk_info(0)
    with open(path, "r+b") as f:
        f.seek(info.byte_offset + info.size // 2)
        f.write(b"\xff" * 16)


@pytest.mark.parametrize("damage", ["garbage_file", "truncated_file", "broken_chunk", "interrupted_write"])
def test_damaged_cache_is_rebuilt_with_one_warning(quarrybin, dirs, caplog, damage):
    algo_dir, min_dir = dirs
    write_minute_file(minute_path(min_dir), *make_minute_data(30, seed=4))
    write_minute_file(minute_path(min_dir, "OTHER"), *make_minute_data(5, seed=6))
    good = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 930, 1000)
    quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst("OTHER"), 930, 1000)
    path = os.path.join(algo_dir, "algo_930_1000.h5")
    if damage == "garbage_file":
        with open(path, "wb") as f:
            f.write(b"not hdf5" * 100)
    elif damage == "truncated_file":
        os.truncate(path, os.path.getsize(path) // 2)
    elif damage == "broken_chunk":
        _damage_chunk(path, CODE)
    else:  # a writer died while changing the file in place: it is not even opened again
        open(path + ".writing", "wb").close()
    open(path + ".tmp-1-dead", "wb").close()  # a temporary of a writer that died

    caplog.set_level(logging.WARNING, logger="norvane.user_system_log")
    for _ in range(2):
        assert_same(quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 930, 1000), good)
    assert len(caplog.records) == 1 and path in caplog.records[0].getMessage()
    assert os.path.exists(path + ".corrupt") == (damage != "broken_chunk")
    assert not os.path.exists(path + ".tmp-1-dead") and not os.path.exists(path + ".writing")
    other = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst("OTHER"), 930, 1000)
    assert len(other) == 5
