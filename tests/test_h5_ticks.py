"""H5TicksLoader: file lookup, the trading-day window, the (date, time) order, the 28-field layout."""
import h5py
import numpy as np
import pytest

from support.tick_files import FULL_TICK_DTYPE, TICK_FIELDS, ticks, write_tick_file

CODE = "000001.SZ"
DAY = 20240102
WINDOW = (91500000, 150003000)


def reference_ticks(loader_cls, arr):
    """The loader's steps in plain numpy: window, stable (date, time) order, layout conversion."""
    arr = arr[(arr["time"] <= WINDOW[1]) & (arr["time"] >= WINDOW[0])]
    arr = arr[np.lexsort((arr["time"], arr["date"]))]
    out = np.zeros(len(arr), dtype=loader_cls.DTYPES)
    for name, _, scale in loader_cls.FIELDS:
        try:
            out[name] = arr[name] / float(scale)
        except ValueError:
            pass
    return out


def test_layout(quarrybin):
    cls = quarrybin.H5TicksLoader
    assert cls.DISH_COUNT == 5
    assert cls.COLUMNS == TICK_FIELDS
    assert cls.FIELDS[:3] == [("date", "<u4", 1), ("time", "<u4", 1), ("last_price", "<f8", 1)]
    assert cls.COLUMNS[8:12] == ["a1", "b1", "a2", "b2"] and cls.COLUMNS[18:20] == ["a1_v", "b1_v"]
    assert cls.DTYPES == [(n, t) for n, t, _ in cls.FIELDS]
    assert np.dtype(cls.DTYPES) == FULL_TICK_DTYPE


def test_file_lookup(quarrybin, tmp_path):
    (tmp_path / "sub").mkdir()
    write_tick_file(tmp_path / "sub" / f"{CODE}.h5", {DAY: ticks(DAY, 3)})
    loader = quarrybin.H5TicksLoader(str(tmp_path))
    assert loader._path == str(tmp_path)
    with pytest.raises(RuntimeError, match=r"^Missing data for 000001\.SZ\.$"):
        loader.get_ticks_by_date(CODE, DAY)  # subdirectories are not searched
    write_tick_file(tmp_path / f"{CODE}-sample.h5", {DAY: ticks(DAY, 3)})
    assert loader._get_h5_file_path(CODE) == str(tmp_path / f"{CODE}-sample.h5")  # failure not memoised
    other = quarrybin.H5TicksLoader(str(tmp_path))
    write_tick_file(tmp_path / f"{CODE}.h5", {DAY: ticks(DAY, 3)})
    assert other._get_h5_file_path(CODE) == str(tmp_path / f"{CODE}.h5")  # plain file first


def test_out_of_order_ticks_come_back_sorted_and_converted(quarrybin, tmp_path):
    arr = ticks(DAY, 500, seed=3)
    write_tick_file(tmp_path / f"{CODE}.h5", {DAY: arr})
    got = quarrybin.H5TicksLoader(str(tmp_path)).get_ticks_by_date(CODE, DAY)
    assert got.dtype == FULL_TICK_DTYPE
    assert (np.diff(got["time"].astype(np.int64)) >= 0).all()
    np.testing.assert_array_equal(got, reference_ticks(quarrybin.H5TicksLoader, arr))


def test_window_bounds_are_inclusive(quarrybin, tmp_path):
    times = [150003001, 150003000, 91500000, 91459999, 0, 93000000, 4294967295]
    arr = ticks(DAY, len(times), times=times, shuffle=False)
    write_tick_file(tmp_path / f"{CODE}.h5", {DAY: arr})
    got = quarrybin.H5TicksLoader(str(tmp_path)).get_ticks_by_date(CODE, DAY)
    assert got["time"].tolist() == [91500000, 93000000, 150003000]


def test_equal_keys_keep_file_order_and_dates_sort_first(quarrybin, tmp_path):
    arr = np.zeros(6, dtype=[("date", "<u4"), ("time", ">f8"), ("last_price", "<f8")])
    arr["date"] = [20240103, 20240102, 20240102, 20240103, 20240102, 20240102]
    arr["time"] = [93000000, 100000000.5, 93000000, 93000000, 100000000.5, 100000000.25]
    arr["last_price"] = [1, 2, 3, 4, 5, 6]
    write_tick_file(tmp_path / f"{CODE}.h5", {DAY: arr})
    got = quarrybin.H5TicksLoader(str(tmp_path)).get_ticks_by_date(CODE, DAY)
    assert got["last_price"].tolist() == [3, 6, 2, 5, 1, 4]
    assert got["time"].tolist() == [93000000, 100000000, 100000000, 100000000, 93000000, 93000000]


def test_missing_fields_are_zero(quarrybin, tmp_path):
    dtype = [("date", "<u4"), ("time", "<u4"), ("last_price", "<f8"), ("volume", "<i8")]
    arr = ticks(DAY, 20, dtype=dtype)
    write_tick_file(tmp_path / f"{CODE}.h5", {DAY: arr})
    got = quarrybin.H5TicksLoader(str(tmp_path)).get_ticks_by_date(CODE, DAY)
    assert got.dtype.names == tuple(TICK_FIELDS) and len(got) == 20
    for name in TICK_FIELDS[2:]:
        if name in ("last_price", "volume"):
            assert (got[name] > 0).all()
        else:
            assert (got[name] == 0).all(), name


def test_missing_date_is_none_and_memoised_without_opening(quarrybin, tmp_path, monkeypatch):
    write_tick_file(tmp_path / f"{CODE}.h5", {DAY: ticks(DAY, 3)})
    loader = quarrybin.H5TicksLoader(str(tmp_path))
    opens = []
    real = quarrybin.h5_file
    monkeypatch.setattr(quarrybin, "h5_file", lambda path, *a, **k: opens.append(path) or real(path, *a, **k))
    assert loader.get_ticks_by_date(CODE, 20240103) is None
    assert loader.get_ticks_by_date(CODE, 20240103) is None
    assert len(opens) == 1
    first = loader.get_ticks_by_date(CODE, DAY)
    assert loader.get_ticks_by_date(CODE, DAY) is first  # the very same array
    assert quarrybin.H5TicksLoader(str(tmp_path)).get_ticks_by_date(CODE, DAY) is not first  # per instance
    assert len(opens) == 3


def test_empty_dataset(quarrybin, tmp_path):
    write_tick_file(tmp_path / f"{CODE}.h5", {DAY: np.zeros(0, dtype=[("date", "<u4"), ("time", "<u4")])})
    got = quarrybin.H5TicksLoader(str(tmp_path)).get_ticks_by_date(CODE, DAY)
    assert got.shape == (0,) and got.dtype == FULL_TICK_DTYPE


@pytest.mark.parametrize("dtype, match", [
    ([("date", "<u4"), ("last_price", "<f8")], "time"),
    ([("time", "<u4"), ("last_price", "<f8")], "date"),
    ([("date", "<u4"), ("time", "<u4"), ("volume", "S8")], "volume"),
    ([("date", "<u4"), ("time", "S9")], "time"),
])
def test_unreadable_datasets_raise(quarrybin, tmp_path, dtype, match):
    arr = np.zeros(2, dtype=dtype)
    write_tick_file(tmp_path / f"{CODE}.h5", {DAY: arr})
    loader = quarrybin.H5TicksLoader(str(tmp_path))
    with pytest.raises(ValueError, match=match):
        loader.get_ticks_by_date(CODE, DAY)


def test_plain_dataset_is_refused(quarrybin, tmp_path):
    with h5py.File(tmp_path / f"{CODE}.h5", "w") as h5:
        h5[str(DAY)] = np.arange(5.0)
        h5["20240103"] = 7
    loader = quarrybin.H5TicksLoader(str(tmp_path))
    with pytest.raises(ValueError, match="time"):
        loader.get_ticks_by_date(CODE, DAY)
    with pytest.raises((TypeError, ValueError)):
        loader.get_ticks_by_date(CODE, 20240103)


# ---- randomized comparison with plain numpy ----------------------------------------------------

DATE_TYPES = ["<u4", ">u4", "<i8", ">i8", "<u8", "<f8", ">f8"]
TIME_TYPES = ["<u4", ">u4", "<i4", ">i8", "<u8", "<f8", ">f8"]
VALUE_TYPES = ["<f8", ">f8", "<f4", ">f4", "<f2", "<i1", "<i2", ">i2", "<i4", ">u4", "<i8", ">u8", "?"]


@pytest.mark.parametrize("seed", range(12))
def test_random_files_match_plain_numpy(quarrybin, tmp_path, seed):
    rng = np.random.default_rng(seed)
    others = [n for n in TICK_FIELDS[2:] if rng.random() < 0.5]
    pairs = [("date", rng.choice(DATE_TYPES)), ("time", rng.choice(TIME_TYPES))]
    pairs += [(n, rng.choice(VALUE_TYPES)) for n in others]
    rng.shuffle(pairs)
    dtype = np.dtype(pairs, align=bool(rng.random() < 0.5))
    in_layout = seed % 3 == 0  # stored in the layout's own record type: reordered in place
    if in_layout:
        dtype = FULL_TICK_DTYPE
    n = int(rng.integers(0, 400))
    # Times around and across the window's ends, with repeats (ties keep file order).
    grid = np.array([0, 91459999, 91500000, 91500001, 93000000, 113000000, 130000000, 145959999, 150003000,
                     150003001, 235959999])
    times = np.where(rng.random(n) < 0.3, rng.choice(grid, n), rng.integers(91000000, 150100000, n))
    if in_layout and seed % 2:
        times = rng.integers(WINDOW[0], WINDOW[1] + 1, n)  # nothing dropped, ties likely below
        times[: n // 3] = WINDOW[0]
    if dtype["time"].kind == "f":
        times = times + np.where(rng.random(n) < 0.2, 0.5, 0.0)
    arr = ticks(DAY, n, dtype=dtype, seed=seed, times=times)
    if rng.random() < 0.4:
        arr["date"] = rng.choice([20240102, 20240101, 20240103], n)
    write_tick_file(tmp_path / f"{CODE}.h5", {DAY: arr})
    got = quarrybin.H5TicksLoader(str(tmp_path)).get_ticks_by_date(CODE, DAY)
    want = reference_ticks(quarrybin.H5TicksLoader, arr)
    assert got.dtype == want.dtype
    for name in want.dtype.names:
        np.testing.assert_array_equal(got[name], want[name], err_msg=name)


def test_subclass_layout_with_scales(quarrybin, tmp_path):
    cls = quarrybin.H5TicksLoader

    class Scaled(cls):  # the layout is read from the instance's class, scales divide the values
        FIELDS = [(n, t, 100 if n in ("last_price", "time") else 1) for n, t, _ in cls.FIELDS]

    arr = ticks(DAY, 50, seed=5)
    write_tick_file(tmp_path / f"{CODE}.h5", {DAY: arr})
    got = Scaled(str(tmp_path)).get_ticks_by_date(CODE, DAY)
    want = reference_ticks(Scaled, arr)
    for name in want.dtype.names:
        np.testing.assert_array_equal(got[name], want[name], err_msg=name)
    assert got["last_price"].max() < 1
