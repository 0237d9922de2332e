"""H5MinBarStore under generated bad minute files: odd record types (every numeric kind, both byte
orders, padded records), damaged values, an index that does not fit the data. Each call gives the
plain numpy reading's answer or an ordinary exception; never a crash."""
import os

import h5py
import numpy as np
import pytest
from hypothesis import given, strategies as st

from support.minute_files import plain_minute_bar
from support.fuzz_data import assert_clear_error, cast, damage, numeric_dtypes, outcome, quiet, record_dtypes

pytestmark = pytest.mark.fuzz

CODE = "600000.SH"
BAR_FIELDS = ["orig_time", "open", "close", "volume", "total_turnover", "high_limited", "low_limited"]
INDEX_DAMAGE = ["none", "line_no_past_end", "decreasing_line_no", "duplicate_date", "decreasing_date",
                "negative_line_no", "no_index", "no_data"]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("fuzz_minute_bars")


@st.composite
def minute_files(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    names = draw(st.lists(st.sampled_from(BAR_FIELDS), unique=True, max_size=5))
    if draw(st.integers(0, 9)):
        names.append("datetime")
    fields = [(name, draw(numeric_dtypes())) for name in names]
    if draw(st.integers(0, 4)) == 0:
        fields.append(("name", h5py.string_dtype()))  # variable-length text: Python objects once read
    fields = draw(st.permutations(fields))
    dtype = draw(record_dtypes(fields)) if fields else np.dtype([("datetime", "<u8")])

    dates = sorted(rng.choice(np.arange(20240101, 20240131), draw(st.integers(0, 4)), replace=False).tolist())
    per_day = [draw(st.integers(0, 3)) for _ in dates]
    stamps = np.array([d * 1000000 + 93100 + 100 * k for d, n in zip(dates, per_day) for k in range(n)],
                      dtype=np.int64)
    data = np.zeros(len(stamps), dtype)
    bad = draw(st.lists(st.sampled_from(["nan", "inf", "-inf", "negative", "huge", "big_int"]), max_size=3))
    for name in dtype.names:
        if dtype[name].kind == "O":
            data[name] = "bar"
            continue
        if name in ("datetime", "orig_time"):
            values = stamps if not bad else damage(rng, stamps, bad[:1])
        else:
            values = damage(rng, rng.normal(10, 5, len(stamps)) * 10 ** rng.integers(0, 12), bad)
        data[name] = cast(values, dtype[name])

    starts = np.cumsum([0] + per_day[:-1]).astype(np.int64)
    index_dates = np.array(dates, dtype=np.int64)
    kind = draw(st.sampled_from(INDEX_DAMAGE))
    if len(dates):
        at = int(rng.integers(0, len(dates)))
        if kind == "line_no_past_end":
            starts[at] = len(data) + int(rng.integers(0, 5))
        elif kind == "decreasing_line_no":
            starts = starts[::-1].copy()
        elif kind == "duplicate_date":
            index_dates[at] = index_dates[max(at - 1, 0)]
        elif kind == "decreasing_date":
            index_dates = index_dates[::-1].copy()
        elif kind == "negative_line_no":
            starts[at] = -int(rng.integers(1, 5))
    index_dtype = draw(record_dtypes([("date", draw(numeric_dtypes(["i4", "u4", "i8", "u8", "f8"]))),
                                      ("line_no", draw(numeric_dtypes(["i4", "u4", "i8", "u8"])))]))
    index = np.zeros(len(dates), index_dtype)
    index["date"] = cast(index_dates, index_dtype["date"])
    index["line_no"] = cast(starts, index_dtype["line_no"])
    return data, index, kind, dates


def write(path, data, index, kind):
    with h5py.File(path, "w") as h5:
        if kind != "no_data":
            h5.create_dataset("data", data=data)
        if kind != "no_index":
            h5.create_dataset("index", data=index)


def plain_date_range(path):
    with h5py.File(path, "r") as h5:
        data = h5["data"]
        return tuple(int(float(data["datetime"][i]) / 1000000) for i in (0, -1))


def assert_bars_equal(got, want, orig_time):
    """Equal field by field; `orig_time` (the file's column, or None) converted from a float to
    uint64 is compared only where that cast is defined."""
    assert got.dtype == want.dtype and got.shape == want.shape
    for name in want.dtype.names or (None,):
        g, w = (got, want) if name is None else (got[name], want[name])
        if name in (None, "orig_time") and orig_time is not None and orig_time.dtype.kind == "f":
            source = orig_time.astype(np.float64)
            ok = np.isfinite(source) & (source >= 0) & (source < 2.0 ** 63)
            g, w = g[ok], w[ok]
        np.testing.assert_array_equal(g, w, err_msg=str(name))


@given(minute_files(), st.data())
def test_minute_bars_of_any_file(quarrybin, folder, case, data):
    bars, index, kind, dates = case
    path = os.path.join(folder, f"{CODE}.h5")
    write(path, bars, index, kind)
    store = quarrybin.H5MinBarStore(str(folder))

    date = data.draw(st.sampled_from(dates) if dates and data.draw(st.booleans()) else st.integers(20231230, 20240202))
    names = list(bars.dtype.names)
    fields = data.draw(st.one_of(
        st.sampled_from([None, [], ()]),
        st.lists(st.sampled_from(names + ["high_limited", "volume", "no_such_field"]), min_size=1, max_size=4),
    ))
    got = outcome(store.get_minute_bar, CODE, date, fields)
    want = outcome(quiet, plain_minute_bar, path, date, fields, with_rows=True)
    if want[0] == "error":
        assert got[0] == "error", f"expected {want[1]!r}, got an answer"
        assert_clear_error(got[1])
    else:
        if got[0] == "error":
            raise AssertionError(f"plain reading answers, the store raised {got[1]!r}")
        if want[1] is None:
            assert got[1] is None
        else:
            expected, rows = want[1]
            asked = fields or rows.dtype.names
            orig_time = None
            if "orig_time" in asked and (len(asked) > 1 or asked[0] == "orig_time"):
                orig_time = rows["orig_time"]
            assert_bars_equal(got[1], expected, orig_time)

    got = outcome(store.get_date_range, CODE)
    want = outcome(quiet, plain_date_range, path)
    if want[0] == "error":
        assert got[0] == "error", f"expected {want[1]!r}, got {got[1]!r}"
        assert_clear_error(got[1])
    else:
        assert got == want


def test_text_fields_held_as_objects_are_copied(quarrybin, tmp_path):
    """Variable-length strings are read as Python objects; the numeric fields beside them are still
    read in place (this once failed with "Cannot change data-type for array of references")."""
    data = np.zeros(3, [("datetime", "<u8"), ("close", "<f4"), ("name", h5py.string_dtype())])
    data["datetime"] = [20240102093100, 20240102093200, 20240103093100]
    data["close"], data["name"] = [1.5, 2.5, 3.5], ["a", "b", "c"]
    write(tmp_path / f"{CODE}.h5", data, np.array([(20240102, 0), (20240103, 2)], [("date", "<u4"), ("line_no", "<u8")]),
          "none")
    store = quarrybin.H5MinBarStore(str(tmp_path))
    got = store.get_minute_bar(CODE, 20240102, ["name", "close", "datetime"])
    assert got["name"].tolist() == [b"a", b"b"] and got["close"].tolist() == [1.5, 2.5]
    assert got["datetime"].tolist() == [20240102093100, 20240102093200]
    assert store.get_date_range(CODE) == (20240102, 20240103)
