"""AlgoStore under generated bad minute files: NaN, negative and huge values, malformed `orig_time`,
odd numeric types, an index that does not fit the data, odd windows and multipliers; `_calc_vwap`
and `_compute_bars` called with odd tables and arguments. Each call gives the pandas reading's
answer or an ordinary exception; never a crash."""
import os
import shutil

import h5py
import numpy as np
import pandas as pd
import pytest
from hypothesis import event, given, strategies as st

from support.algo_files import INDEX_DTYPE, SIX, make_minute_data, reference_from_arrays
from support.fuzz_data import assert_clear_error, cast, damage, numeric_dtypes, outcome, quiet, record_dtypes

pytestmark = pytest.mark.fuzz

CODE = "X"
INDEX_DAMAGE = ["none"] * 3 + ["line_no_past_end", "decreasing_line_no", "duplicate_date", "decreasing_date",
                              "negative_line_no"]
# Window bounds (HHMM): ordinary ones, a start after the end, out-of-day and negative ones.
WINDOW_BOUNDS = [0, 930, 931, 1000, 1130, 1300, 1500, 2100, 2359, -5, 10 ** 12]
# Value fields in the types whose pandas sums are float64 or int64 (narrow floats sum in their own
# precision there, so they are compared by the minute-bar fuzz instead).
VALUE_CODES = ["?", "i2", "i4", "i8", "u2", "u4", "u8", "f8", "f8", "f8"]
TIME_CODES = ["i4", "i8", "u4", "u8", "f8"]


class Inst:
    def __init__(self, code=CODE, multiplier=1.0):
        self.market_code = code
        self.contract_multiplier = multiplier


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("fuzz_algo")


@st.composite
def algo_minute_files(draw):
    seed = draw(st.integers(0, 2 ** 32 - 1))
    rng = np.random.default_rng(seed)
    n_days = draw(st.integers(1, 4))
    base, index = make_minute_data(n_days, night=draw(st.booleans()), seed=seed % 1000,
                                   flat_days=set(draw(st.lists(st.integers(0, n_days - 1), max_size=2))),
                                   empty_days=set(draw(st.lists(st.integers(0, n_days - 1), max_size=1))))
    # A few bars per day keep each example cheap: keep every k-th bar, and the index in step.
    keep = np.zeros(len(base), bool)
    keep[rng.choice(len(base), min(len(base), 12), replace=False)] = True
    new_line_no = np.concatenate([[0], np.cumsum(keep)])[index["line_no"].astype(np.int64)]
    base, index = base[keep], index.copy()
    index["line_no"] = new_line_no

    types = {name: draw(numeric_dtypes(TIME_CODES if name == "orig_time" else VALUE_CODES)) for name in SIX}
    fields = draw(st.permutations([(name, types[name]) for name in SIX] + [("datetime", np.dtype("<u8"))]))
    dtype = draw(record_dtypes(fields))
    data = np.zeros(len(base), dtype)
    data["datetime"] = base["datetime"]
    time_damage = draw(st.sampled_from(["none"] * 4 + ["nan", "negative", "zero", "not_a_date", "huge", "top_u8"]))
    stamps = base["orig_time"].astype(np.float64)
    if time_damage != "none" and len(stamps):
        at = rng.integers(0, len(stamps), max(1, len(stamps) // 4))
        if time_damage == "nan":
            stamps[at] = rng.choice([np.nan, np.inf, -np.inf], len(at))
        elif time_damage == "negative":
            stamps[at] = -stamps[at]
        elif time_damage == "zero":
            stamps[at] = 0
        elif time_damage == "not_a_date":
            stamps[at] = rng.integers(0, 10 ** 7, len(at))
        elif time_damage == "huge":
            stamps[at] = 10 ** 18 + rng.integers(0, 10 ** 6, len(at)) * 10 ** 6 + 93000
    if time_damage == "top_u8" and types["orig_time"].kind == "u" and types["orig_time"].itemsize == 8:
        times = base["orig_time"].astype(np.uint64) + np.uint64(2 ** 63)  # beyond int64: exact in uint64
        data["orig_time"] = times.astype(types["orig_time"])
    else:
        if types["orig_time"].kind != "f":  # the pandas reading's own sums must not wrap around int64
            stamps = np.clip(np.nan_to_num(stamps), -9e18, 9e18).astype(np.int64)
        data["orig_time"] = cast(stamps, types["orig_time"])
    bad = draw(st.lists(st.sampled_from(["nan", "inf", "-inf", "negative", "huge", "zero", "big_int"]), max_size=3))
    for name in SIX[1:]:
        values = base[name] if not bad or rng.random() < 0.5 else damage(rng, base[name], bad)
        if types[name].kind in "iu":
            # Saturated into the type, and small enough that no sum wraps (pandas' integer sums
            # wrap silently, which no reading should be held to).
            info = np.iinfo(types[name])
            values = np.clip(np.nan_to_num(values), max(info.min, -2 ** 40), min(info.max, 2 ** 40))
        data[name] = cast(values, types[name])

    kind = draw(st.sampled_from(INDEX_DAMAGE))
    dates, starts = index["date"].astype(np.int64), index["line_no"].astype(np.int64)
    at = int(rng.integers(0, len(index)))
    if kind == "line_no_past_end":
        starts[at] = len(data) + int(rng.integers(1, 5))
    elif kind == "decreasing_line_no" and len(index) > 1:
        starts = starts[::-1].copy()
    elif kind == "duplicate_date" and len(index) > 1:
        dates[max(at, 1)] = dates[max(at, 1) - 1]
    elif kind == "decreasing_date":
        dates = dates[::-1].copy()
    elif kind == "negative_line_no":
        starts[at] = -int(rng.integers(1, 5))
    index_dtype = np.dtype([("date", draw(numeric_dtypes(["i4", "u4", "i8", "u8"]))),
                            ("line_no", draw(numeric_dtypes(["i4", "i8", "u8"])))])
    new_index = np.zeros(len(index), index_dtype)
    new_index["date"] = cast(dates, index_dtype["date"])
    new_index["line_no"] = cast(starts, index_dtype["line_no"])
    return data, new_index, kind, time_damage


def assert_algo_equal(got, want):
    assert got.dtype.names == ("date", "VWAP", "TWAP", "volume") and len(got) == len(want)
    np.testing.assert_array_equal(got["date"], want["date"])
    for name in ("VWAP", "TWAP"):
        np.testing.assert_allclose(got[name], want[name], rtol=1e-9, atol=0, equal_nan=True, err_msg=name)
    # Volumes: exact while float64 holds them; a sum cast from a float beyond uint64's range is
    # machine-defined in numpy, so those are skipped.
    g, w = got["volume"], want["volume"]
    ok = (g < 2 ** 63) & (w < 2 ** 63)
    np.testing.assert_allclose(g[ok].astype(float), w[ok].astype(float), rtol=1e-12, err_msg="volume")


def plain_update(path, start_date, start_min, end_min, multiplier):
    with h5py.File(path, "r") as h5:
        index = h5["index"][()]
        kept = index[index["date"] >= start_date]
        first = int(kept["line_no"][0]) if len(kept) else 0
        six = h5["data"].fields(SIX)[first:]
    return reference_from_arrays(index, six, start_date, start_min, end_min, multiplier)


@given(algo_minute_files(), st.sampled_from(WINDOW_BOUNDS), st.sampled_from(WINDOW_BOUNDS),
       st.sampled_from([1.0, 10.0, 300.0, 0.5, -1.0, 0.0]), st.integers(0, 3))
def test_update_of_any_minute_file(quarrybin, folder, case, start_min, end_min, multiplier, start_pos):
    data, index, kind, time_damage = case
    min_dir, algo_dir = os.path.join(folder, "min"), os.path.join(folder, "algo")
    shutil.rmtree(algo_dir, ignore_errors=True)
    os.makedirs(min_dir, exist_ok=True)
    path = os.path.join(min_dir, f"{CODE}.h5")
    with h5py.File(path, "w") as h5:
        h5.create_dataset("data", data=data)
        h5.create_dataset("index", data=index)
    start_date = int(index["date"][min(start_pos, len(index) - 1)]) if start_pos else 0

    store = quarrybin.AlgoStore(algo_dir, min_dir)
    got = outcome(store._update, Inst(CODE, multiplier), start_min, end_min, start_date)
    want = outcome(quiet, plain_update, path, start_date, start_min, end_min, multiplier)
    event(f"store {got[0]}, pandas {want[0]}, index {kind}")
    if got[0] == "error":
        assert_clear_error(got[1])
        # Only an index that does not describe the data may be refused where pandas answers.
        assert want[0] == "error" or kind != "none", f"refused: {got[1]!r}"
        return
    if want[0] == "error":
        return  # pandas' own limits (integer overflow of narrow types, division by zero)
    if want[1] is None:
        assert got[1] is None
    else:
        assert got[1] is not None, "pandas computed bars, the store none"
        assert_algo_equal(got[1], want[1])

    # The public query over the same file: its lock, its file and the same records.
    bars = outcome(store.get_bars, Inst(CODE, multiplier), start_min, end_min)
    if bars[0] == "error":
        assert_clear_error(bars[1])
    elif start_date == 0:
        assert len(bars[1]) == (0 if got[1] is None else len(got[1]))


ALGO_DTYPE = np.dtype([("date", "<u4"), ("VWAP", "<f8"), ("TWAP", "<f8"), ("volume", "<u8")])


@st.composite
def cached_objects(draw):
    """What an algo file may hold under an instrument's name: records of the wrong dates, of another
    record type or shape, a dataset that cannot grow, a group."""
    kind = draw(st.sampled_from(["records", "records", "fixed_size", "other_type", "plain", "two_dim", "scalar",
                                 "group"]))
    n = draw(st.integers(0, 6))
    dates = draw(st.lists(st.sampled_from([20230102, 20230103, 20230104, 20230105, 20230106, 0, 2 ** 32 - 1]),
                          min_size=n, max_size=n))
    if kind in ("records", "fixed_size"):
        records = np.zeros(n, ALGO_DTYPE)
        records["date"] = dates
        return kind, records
    if kind == "other_type":
        fields = draw(st.lists(st.sampled_from(["date", "VWAP", "TWAP", "volume", "other"]), unique=True, min_size=1))
        dtype = np.dtype([(name, draw(numeric_dtypes(["u4", "i8", "f8", "f4"]))) for name in fields])
        records = np.zeros(n, dtype)
        if "date" in fields:
            records["date"] = cast(dates, dtype["date"])
        return kind, records
    if kind == "plain":
        return kind, np.array(dates, draw(numeric_dtypes(["u4", "f8"])))
    if kind == "two_dim":
        return kind, np.zeros((n, 2), ALGO_DTYPE)
    return kind, None


@given(cached_objects(), st.integers(1, 5))
def test_any_cached_object_is_replaced_by_fresh_bars(quarrybin, folder, cached, n_days):
    kind, value = cached
    min_dir, algo_dir, fresh_dir = (os.path.join(folder, d) for d in ("cmin", "calgo", "cfresh"))
    for d in (algo_dir, fresh_dir):
        shutil.rmtree(d, ignore_errors=True)
    data, index = make_minute_data(n_days, seed=n_days)
    os.makedirs(min_dir, exist_ok=True)
    with h5py.File(os.path.join(min_dir, f"{CODE}.h5"), "w") as h5:
        h5.create_dataset("data", data=data)
        h5.create_dataset("index", data=index)
    os.makedirs(algo_dir)
    with h5py.File(os.path.join(algo_dir, "algo_930_1000.h5"), "w") as h5:
        if kind == "group":
            h5.create_group(CODE)
        elif kind == "scalar":
            h5.create_dataset(CODE, data=np.zeros((), ALGO_DTYPE))
        elif kind in ("records", "other_type"):
            h5.create_dataset(CODE, data=value, chunks=True, maxshape=(None,) + value.shape[1:])
        else:
            h5.create_dataset(CODE, data=value)
    expected = quarrybin.AlgoStore(fresh_dir, min_dir).get_bars(Inst(), 930, 1000)
    k = len(value) if kind == "records" else -1
    if 0 <= k <= len(index) and value["date"].tolist() == index["date"][:k].tolist():
        expected = np.concatenate([value, expected[k:]])  # a cache that fits is kept and extended
    for _ in range(2):  # repaired once, then read as it is
        got = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 930, 1000)
        assert got.dtype == expected.dtype and got.tobytes() == expected.tobytes(), kind


def _trimmed(h5):  # dates the minute file no longer has (its oldest days were dropped)
    h5.create_dataset(CODE, data=np.array([(20221230, 1.0, 1.0, 5)], ALGO_DTYPE), chunks=True, maxshape=(None,))


def _fixed_size(h5):  # the right dates in a dataset that cannot grow
    h5.create_dataset(CODE, data=np.array([(20230102, 1.0, 1.0, 5)], ALGO_DTYPE))


def _other_type(h5):  # the right dates in records of another type
    h5.create_dataset(CODE, data=np.array([(20230102, 1.0)], [("date", "<u4"), ("VWAP", "<f4")]),
                      chunks=True, maxshape=(None,))


def _group(h5):
    h5.create_group(CODE)


@pytest.mark.parametrize("cache", [_trimmed, _fixed_size, _other_type, _group])
def test_cache_that_is_no_prefix_of_fresh_bars_is_replaced_at_once(quarrybin, tmp_path, caplog, cache):
    """Each of these was once served: appended to, returned in its own type, or failing every query."""
    min_dir, algo_dir = str(tmp_path / "min"), str(tmp_path / "algo")
    data, index = make_minute_data(3, seed=3)
    os.makedirs(min_dir)
    with h5py.File(os.path.join(min_dir, f"{CODE}.h5"), "w") as h5:
        h5.create_dataset("data", data=data)
        h5.create_dataset("index", data=index)
    expected = quarrybin.AlgoStore(str(tmp_path / "fresh"), min_dir).get_bars(Inst(), 930, 1000)
    os.makedirs(algo_dir)
    with h5py.File(os.path.join(algo_dir, "algo_930_1000.h5"), "w") as h5:
        cache(h5)
    got = quarrybin.AlgoStore(algo_dir, min_dir).get_bars(Inst(), 930, 1000)
    assert got.dtype == ALGO_DTYPE and got.tobytes() == expected.tobytes()


@st.composite
def day_tables(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    n = draw(st.integers(0, 6))
    flat = draw(st.booleans())
    close = 10 + rng.random(n)
    columns = {
        "volume": rng.integers(0, 1000, n).astype(float),
        "total_turnover": rng.random(n) * 1e4,
        "high_price": close if flat else close + 0.01,
        "low_price": close if flat else close - 0.01,
    }
    clean = True
    for name in list(columns):
        kind = draw(st.sampled_from(["f8"] * 3 + ["i8", "u2", "?", "f4", "nan", "huge", "negative", "Float64",
                                                  "object", "text", "missing"]))
        values = columns[name]
        if kind in ("i8", "u2", "?", "f4"):
            columns[name] = cast(values, kind)
        elif kind in ("nan", "huge", "negative"):
            columns[name] = damage(rng, values, [kind])
        elif kind == "Float64":
            columns[name] = pd.array(values, dtype="Float64")
            if n:
                columns[name][0] = pd.NA
            clean = False  # pandas skips NA in the flat-day test; the store takes it as not flat
        elif kind == "object":
            columns[name] = pd.Series(values, dtype=object)
            clean = False
        elif kind == "text":
            columns[name] = pd.Series(["x"] * n, dtype=object)
            clean = False
        else:
            del columns[name]
            clean = False
    return pd.DataFrame(columns), clean


def plain_vwap(day, multiplier):
    from norvane.tessel.utils import safe_div
    if isinstance(multiplier, str):
        raise TypeError("contract_multiplier must be a number")  # a declared float: no text
    multiplier = float(multiplier)
    if (day["high_price"] == day["low_price"]).all() and day["high_price"].nunique() == 1:
        return day["high_price"].iloc[0]
    return safe_div(day["total_turnover"].sum(), day["volume"].sum()) / multiplier


@given(day_tables(), st.sampled_from([1, 10.0, "2.5", None, "x", float("nan")]))
def test_calc_vwap_of_any_table(quarrybin, folder, case, multiplier):
    df, clean = case
    store = quarrybin.AlgoStore(os.path.join(folder, "algo_vwap"), os.path.join(folder, "none"))
    got = outcome(store._calc_vwap, df, multiplier)
    want = outcome(quiet, plain_vwap, df, multiplier)
    if got[0] == "error":
        assert_clear_error(got[1])
        assert want[0] == "error" or not clean, f"refused: {got[1]!r}"
    elif want[0] == "ok" and clean:
        np.testing.assert_allclose(got[1], float(want[1]), rtol=1e-6, equal_nan=True)


@pytest.mark.parametrize("first_row, line_no", [
    (2 ** 63 - 1, 2 ** 63 - 1),   # the rows' end lies beyond int64
    (-(2 ** 63), -(2 ** 63)),
    (2 ** 63 - 2, 2 ** 63 - 2),
    (5, 5),                       # rows said to start later than they do
    (0, 2 ** 64 - 1),             # a line_no beyond int64
])
def test_compute_bars_with_rows_far_from_zero(quarrybin, tmp_path, first_row, line_no):
    data, _ = make_minute_data(1, seed=1)
    index = np.array([(20230102, line_no)], np.dtype([("date", "<u4"), ("line_no", "<u8" if line_no >= 0 else "<i8")]))
    store = quarrybin.AlgoStore(str(tmp_path / "algo"), str(tmp_path / "min"))
    six = data[SIX][:3]
    try:
        got = store._compute_bars(index, six, first_row, 0, 930, 1500, Inst())
    except (ValueError, IndexError, OverflowError) as e:
        assert_clear_error(e)
    else:
        assert got is None or len(got) == 1


def test_index_with_a_duplicate_date_is_refused(quarrybin, tmp_path):
    data, index = make_minute_data(3, seed=2)
    index["date"][2] = index["date"][1]
    with pytest.raises(ValueError, match="appears twice"):
        quarrybin.AlgoStore(str(tmp_path / "algo"), str(tmp_path / "min"))._compute_bars(
            index, data[SIX], 0, 0, 930, 1500, Inst())


@pytest.mark.parametrize("stamp", [np.inf, -np.inf, np.nan])
def test_non_finite_float_stamps_lie_outside_every_window(quarrybin, tmp_path, stamp):
    data, index = make_minute_data(1, seed=4)
    six = data[SIX].astype([(n, "<f8") for n in SIX])
    six["orig_time"][:5] = stamp
    got = quarrybin.AlgoStore(str(tmp_path / "a"), str(tmp_path / "m"))._compute_bars(
        index, six, 0, 0, 0, 2359, Inst())
    want = reference_from_arrays(index, six, 0, 0, 2359, 1.0)
    assert_algo_equal(got, want)


def test_unsigned_stamps_beyond_int64_are_windowed_by_their_own_value(quarrybin, tmp_path):
    data, index = make_minute_data(2, seed=5)
    six = data[SIX].copy()
    six["orig_time"] += np.uint64(9223372036855000000)  # past 2**63, times of day unchanged
    got = quarrybin.AlgoStore(str(tmp_path / "a"), str(tmp_path / "m"))._compute_bars(
        index, six, 0, 0, 930, 1000, Inst())
    want = reference_from_arrays(index, six, 0, 930, 1000, 1.0)
    assert len(want) == 2 and not np.isnan(want["VWAP"]).any()
    assert_algo_equal(got, want)
