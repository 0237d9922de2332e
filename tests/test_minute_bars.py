"""H5MinBarStore: file lookup, one date's bars, first/last dates, empty arrays, memos."""
import os

import numpy as np
import pytest

from support.minute_files import (STOCK_BAR_DTYPE, bar_index, minute_bars, plain_minute_bar, weekdays,
                                  write_minute_file)

CODE = "600000.SH"
DATES = [20240102, 20240103, 20240105, 20240108]  # 20240104 is a gap


@pytest.fixture
def bars_dir(tmp_path):
    data = minute_bars(DATES, bars_per_day=4)
    write_minute_file(tmp_path / f"{CODE}.h5", data)
    return tmp_path, data


def assert_same_array(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    for name in want.dtype.names or (None,):
        g, w = (got, want) if name is None else (got[name], want[name])
        np.testing.assert_array_equal(g, w, err_msg=str(name))


# ---- file lookup -------------------------------------------------------------------------------

def test_file_map_walks_the_tree_and_later_file_wins(quarrybin, tmp_path):
    (tmp_path / "sub").mkdir()
    write_minute_file(tmp_path / f"{CODE}.h5", minute_bars([20240102], 2))
    write_minute_file(tmp_path / "sub" / f"{CODE}.h5", minute_bars([20240103], 2))
    (tmp_path / "notes.txt").write_text("any file is recorded")
    store = quarrybin.H5MinBarStore(str(tmp_path))
    assert store._directory == str(tmp_path)
    assert store._dtypes_map is quarrybin.utils.DTYPE_MAP
    assert store._file_map["notes.txt"] == os.path.join(str(tmp_path), "notes.txt")
    # Top-down: the subdirectory is walked after its parent, so its file is the one used.
    assert store._get_h5_file_path(CODE) == os.path.join(str(tmp_path), "sub", f"{CODE}.h5")
    assert store.get_date_range(CODE) == (20240103, 20240103)


@pytest.mark.parametrize("files, used", [
    ([f"{CODE}-sample.h5"], f"{CODE}-sample.h5"),
    ([f"{CODE}-sample.h5", f"{CODE}.h5"], f"{CODE}.h5"),
])
def test_sample_file_is_the_fallback(quarrybin, tmp_path, files, used):
    for name in files:
        write_minute_file(tmp_path / name, minute_bars([20240102], 2))
    store = quarrybin.H5MinBarStore(str(tmp_path))
    assert store._get_h5_file_path(CODE) == str(tmp_path / used)
    assert store.get_minute_bar(CODE, 20240102, ["close"]).shape == (2,)


def test_missing_instrument(quarrybin, tmp_path):
    store = quarrybin.H5MinBarStore(str(tmp_path / "does-not-exist"))
    assert store._file_map == {}
    assert store.get_minute_bar(CODE, 20240102, None) is None
    assert store.get_date_range(CODE) == (19800101, 19800101)
    with pytest.raises(RuntimeError, match=r"^Missing data for 600000\.SH\.$"):
        store._get_h5_file_path(CODE)
    store._file_map[f"{CODE}.h5"] = ""  # an empty path counts as missing
    with pytest.raises(RuntimeError):
        store._get_h5_file_path(CODE)


def test_file_without_index(quarrybin, tmp_path):
    write_minute_file(tmp_path / f"{CODE}.h5", minute_bars([20240102], 2), with_index=False)
    store = quarrybin.H5MinBarStore(str(tmp_path))
    assert store._get_index(CODE) is None
    assert store.get_minute_bar(CODE, 20240102, None) is None


# ---- get_minute_bar ----------------------------------------------------------------------------

@pytest.mark.parametrize("date, rows", [
    (20240102, slice(0, 4)),    # first index date
    (20240105, slice(8, 12)),
    (20240108, slice(12, 16)),  # last index date: up to the end of data
    (20240101, None),           # before the first
    (20240104, None),           # between two dates
    (20240109, None),           # after the last
])
def test_bars_of_a_date(quarrybin, bars_dir, date, rows):
    tmp_path, data = bars_dir
    store = quarrybin.H5MinBarStore(str(tmp_path))
    got = store.get_minute_bar(CODE, date, None)
    if rows is None:
        assert got is None
        return
    # Every file field once, the two limit prices first (with their file values).
    assert got.dtype.names == ("high_limited", "low_limited") + tuple(
        n for n in STOCK_BAR_DTYPE.names if n not in ("high_limited", "low_limited"))
    for name in STOCK_BAR_DTYPE.names:
        np.testing.assert_array_equal(got[name], data[name][rows])
    assert_same_array(got, plain_minute_bar(tmp_path / f"{CODE}.h5", date, None))


def test_single_field_and_record_type_rules(quarrybin, tmp_path):
    dtype = np.dtype([("datetime", "<u8"), ("orig_time", ">i8"), ("close", "<f4"), ("volume", ">i4")])
    data = minute_bars([20240102, 20240103], 3, dtype=dtype)
    write_minute_file(tmp_path / f"{CODE}.h5", data)
    store = quarrybin.H5MinBarStore(str(tmp_path))

    close = store.get_minute_bar(CODE, 20240103, ["close"])
    assert close.ndim == 1 and close.dtype == np.float32
    np.testing.assert_array_equal(close, data["close"][3:])

    got = store.get_minute_bar(CODE, 20240103, ("close", "volume", "orig_time"))
    assert got.dtype == np.dtype([("high_limited", "f8"), ("low_limited", "f8"), ("close", "<f4"),
                                  ("volume", "f8"), ("orig_time", "u8")])
    np.testing.assert_array_equal(got["volume"], data["volume"][3:].astype(np.float64))
    np.testing.assert_array_equal(got["orig_time"], data["orig_time"][3:].astype(np.uint64))
    # Limit prices not asked for are NaN, not leftover memory.
    assert np.isnan(got["high_limited"]).all() and np.isnan(got["low_limited"]).all()


def test_limit_prices_named_are_read_and_converted(quarrybin, tmp_path):
    dtype = np.dtype([("datetime", ">u8"), ("high_limited", ">f4"), ("low_limited", "<i2"), ("close", "<f8")])
    data = minute_bars([20240102], 5, dtype=dtype)
    write_minute_file(tmp_path / f"{CODE}.h5", data)
    store = quarrybin.H5MinBarStore(str(tmp_path))
    got = store.get_minute_bar(CODE, 20240102, ["low_limited", "close", "high_limited"])
    assert got.dtype.names == ("high_limited", "low_limited", "close")
    np.testing.assert_array_equal(got["high_limited"], data["high_limited"].astype(np.float64))
    np.testing.assert_array_equal(got["low_limited"], data["low_limited"].astype(np.float64))


def test_non_numeric_fields_are_copied_when_kept_and_refused_when_converted(quarrybin, tmp_path):
    dtype = np.dtype([("datetime", "<u8"), ("code", "S9"), ("volume", "S4"), ("close", "<f8")])
    data = minute_bars([20240102], 3, dtype=dtype)
    data["code"] = b"600000.SH"
    write_minute_file(tmp_path / f"{CODE}.h5", data)
    store = quarrybin.H5MinBarStore(str(tmp_path))
    np.testing.assert_array_equal(store.get_minute_bar(CODE, 20240102, ["code"]), data["code"])
    with pytest.raises(ValueError, match="volume"):
        store.get_minute_bar(CODE, 20240102, ["close", "volume"])


@pytest.mark.parametrize("fields, error, match", [
    (["close", "nope"], KeyError, "nope"),                      # a field the file lacks: type lookup
    (["close", "orig_time"], ValueError, "no field of name orig_time"),  # converted field: the copy
    (["close", "high_limited"], ValueError, "no field of name high_limited"),
    (["close", "close"], ValueError, "more than once"),
])
def test_bad_fields(quarrybin, tmp_path, fields, error, match):
    dtype = np.dtype([("datetime", "<u8"), ("close", "<f8")])
    write_minute_file(tmp_path / f"{CODE}.h5", minute_bars([20240102], 3, dtype=dtype))
    store = quarrybin.H5MinBarStore(str(tmp_path))
    with pytest.raises(error, match=match):
        store.get_minute_bar(CODE, 20240102, fields)


def test_file_is_closed_on_errors(quarrybin, tmp_path, monkeypatch):
    write_minute_file(tmp_path / f"{CODE}.h5", minute_bars([20240102], 3))
    store = quarrybin.H5MinBarStore(str(tmp_path))
    opened = []
    real = quarrybin.h5_file

    def tracking(path, *args, **kwargs):
        cm = real(path, *args, **kwargs)
        opened.append(cm)
        return cm

    monkeypatch.setattr(quarrybin, "h5_file", tracking)
    with pytest.raises(KeyError):
        store.get_minute_bar(CODE, 20240102, ["nope"])
    assert len(opened) == 2  # the index, then the bars
    # A closed h5py file refuses new opens of its datasets; the generator finished.
    assert all(cm.gen.gi_frame is None for cm in opened)


def test_empty_day_between_index_entries(quarrybin, tmp_path):
    data = minute_bars([20240102, 20240103], 2)
    index = np.array([(20240102, 0), (20240103, 2), (20240104, 2)], dtype=bar_index(data).dtype)
    write_minute_file(tmp_path / f"{CODE}.h5", data, index=index)
    store = quarrybin.H5MinBarStore(str(tmp_path))
    assert store.get_minute_bar(CODE, 20240103, ["close", "volume"]).shape == (0,)
    assert len(store.get_minute_bar(CODE, 20240104, ["close"])) == 2  # last entry runs to the end


# ---- get_date_range ----------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", ["<u8", ">i8", "<f8"])
def test_date_range_first_and_last_bar(quarrybin, tmp_path, dtype):
    data = np.zeros(3, dtype=[("datetime", dtype), ("close", "f8")])
    data["datetime"] = [20240102093100, 20240201093100, 20240329150000]
    write_minute_file(tmp_path / f"{CODE}.h5", data)
    store = quarrybin.H5MinBarStore(str(tmp_path))
    got = store.get_date_range(CODE)
    assert got == (20240102, 20240329) and all(type(v) is int for v in got)


def test_date_range_of_empty_data_raises(quarrybin, tmp_path):
    write_minute_file(tmp_path / f"{CODE}.h5", minute_bars([], 1), with_index=False)
    store = quarrybin.H5MinBarStore(str(tmp_path))
    with pytest.raises(IndexError):
        store.get_date_range(CODE)


# ---- get_empty ---------------------------------------------------------------------------------

def test_get_empty(quarrybin, tmp_path):
    store = quarrybin.H5MinBarStore(str(tmp_path))
    dtypes = quarrybin.utils.DTYPE_MAP["CS"]
    full = store.get_empty([], "CS")
    assert full.shape == (0,) and full.dtype == dtypes.dtype
    got = store.get_empty(["datetime", "close", "volume", "low_limited"], "Future")
    assert got.dtype == np.dtype([("datetime", "u8"), ("close", dtypes["close"]), ("volume", "f8"),
                                  ("low_limited", "f8")])
    assert store.get_empty(("datetime", "close", "volume", "low_limited"), "Future") is got
    assert store.get_empty(["close", "not_a_field"], "CS") is None
    with pytest.raises(KeyError):
        store.get_empty([], "no such type")
    with pytest.raises(TypeError):
        store.get_empty(None, "CS")


# ---- memos -------------------------------------------------------------------------------------

def test_memos_are_per_instance_and_skip_exceptions(quarrybin, bars_dir):
    tmp_path, _ = bars_dir
    one, two = quarrybin.H5MinBarStore(str(tmp_path)), quarrybin.H5MinBarStore(str(tmp_path))
    assert one._get_index(CODE) is one._get_index(CODE)
    assert one._get_index(CODE) is not two._get_index(CODE)
    assert one.get_empty(["close"], "CS") is one.get_empty(["close"], "CS")
    assert one.get_empty(["close"], "CS") is not two.get_empty(["close"], "CS")
    # A failed lookup is not remembered: once the file is known, the next call finds it.
    with pytest.raises(RuntimeError):
        one._get_h5_file_path("000001.SZ")
    one._file_map["000001.SZ.h5"] = str(tmp_path / f"{CODE}.h5")
    assert one._get_h5_file_path("000001.SZ") == str(tmp_path / f"{CODE}.h5")
    # The index is read once per instance, then served from the memo (the file may go).
    os.remove(tmp_path / f"{CODE}.h5")
    assert one._get_index(CODE) is one._get_index(CODE)


# ---- randomized comparison with plain numpy ----------------------------------------------------

STAMP_TYPES = ["<u8", ">u8", "<i8", ">i8", "<f8", ">f8"]
VALUE_TYPES = ["<f8", ">f8", "<f4", ">f4", "<f2", "<i1", "<i2", ">i2", "<i4", ">i4", "<i8", ">u2", "<u4",
               ">u8", "?"]


@pytest.mark.parametrize("seed", range(12))
def test_random_files_match_plain_numpy(quarrybin, tmp_path, seed):
    rng = np.random.default_rng(seed)
    names = ["close", "open", "volume", "orig_time", "high_limited", "low_limited", "total_turnover"]
    chosen = [n for n in names if rng.random() < 0.7]
    pairs = [("datetime", rng.choice(STAMP_TYPES))]
    for name in chosen:
        types = STAMP_TYPES if name == "orig_time" else VALUE_TYPES
        pairs.append((name, rng.choice(types)))
    if rng.random() < 0.5:
        pairs.append(("code", "S6"))
    rng.shuffle(pairs)
    dtype = np.dtype(pairs, align=bool(rng.random() < 0.5))
    dates = weekdays(20240102, int(rng.integers(1, 6)))
    data = minute_bars(dates, int(rng.integers(1, 8)), dtype=dtype, seed=seed)
    path = write_minute_file(tmp_path / f"{CODE}.h5", data)
    store = quarrybin.H5MinBarStore(str(tmp_path))
    file_fields = [n for n, _ in pairs]
    for date in dates + [dates[-1] + 1]:
        k = int(rng.integers(0, len(file_fields) + 1))
        fields = list(rng.permutation(file_fields)[:k]) if k else [None, [], ()][int(rng.integers(3))]
        got = store.get_minute_bar(CODE, date, fields)
        want = plain_minute_bar(path, date, fields)
        if want is None:
            assert got is None
        else:
            assert_same_array(got, want)
