"""Suspension and ST day flags, the ST flag of one day, and suspended days per code."""
import datetime

import numpy as np
import pandas as pd
import pytest

from support.gateway import FAILURE, gateway, ns, shareflags, today  # noqa: F401 (fixtures)

CODE = "600000.SH"
DAYS = ["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05", "2024-01-08"]
QUERIES = [("is_suspended", "get_suspended_days", "trade_date"), ("is_st_stock", "st_days", "trade_days")]


def reference_day_flags(calendar_days, values, code):
    """The day-flag steps 3, 6 and 7 one value at a time, as pandas runs them."""
    frame = pd.DataFrame(data=False, columns=[code], index=pd.to_datetime(calendar_days))
    for _, value in values.items():
        frame.loc[pd.to_datetime(value, unit="ns").normalize(), code] = True
    return frame.sort_index()


def flags(frame):
    return {d.strftime("%Y-%m-%d") for d, v in frame.iloc[:, 0].items() if v}


@pytest.mark.parametrize("query, source, column", QUERIES)
def test_day_flag_calls_and_all_false_frame(shareflags, gateway, query, source, column):
    gateway.calendar(DAYS)
    result = getattr(shareflags, query)(CODE)
    end = today().isoformat()
    assert gateway.calls() == [
        ((), {"market": ["SH"], "start_time": "2020-01-01", "end_time": end}),
        (([CODE],), {"start_time": "2020-01-01", "end_time": end}),
    ]
    assert gateway.names() == ["trade_calendar", source]
    expected = pd.DataFrame(False, index=pd.to_datetime(DAYS), columns=[CODE])
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("query, source, column", QUERIES)
def test_flagged_days_are_normalised_added_and_sorted(shareflags, gateway, query, source, column):
    gateway.calendar(DAYS)
    # A time of day, a weekend day missing from the calendar, the same day twice.
    stamps = [ns("2024-01-03 14:30"), ns("2024-01-06 09:00"), ns("2024-01-03"), ns("2024-01-08")]
    gateway.answer(source, pd.DataFrame({column: stamps}))
    result = getattr(shareflags, query)(CODE, "2024-01-01", "2024-01-08")
    assert list(result.index.strftime("%Y-%m-%d")) == DAYS[:4] + ["2024-01-06", "2024-01-08"]
    assert flags(result) == {"2024-01-03", "2024-01-06", "2024-01-08"}
    pd.testing.assert_frame_equal(result, reference_day_flags(DAYS, pd.Series(stamps), CODE))


def test_st_market_is_ignored_and_empty_answer_keeps_calendar_order(shareflags, gateway):
    gateway.calendar(["2024-01-04", "2024-01-02"])
    result = shareflags.is_st_stock(CODE, "2024-01-01", "2024-01-05", market="hk")
    assert gateway.calls("trade_calendar")[0][1]["market"] == ["SH"]
    assert list(result.index.strftime("%Y-%m-%d")) == ["2024-01-04", "2024-01-02"]


def test_missing_flag_payload_means_no_flagged_day(shareflags, gateway):
    gateway.calendar(DAYS)
    gateway.answer("get_suspended_days", None)
    assert not shareflags.is_suspended(CODE, "2024-01-01", "2024-01-08").any().any()


def test_payload_without_the_flag_column_raises_key_error(shareflags, gateway):
    gateway.calendar(DAYS)
    gateway.answer("st_days", pd.DataFrame({"trade_date": [ns("2024-01-03")]}))
    with pytest.raises(KeyError):
        shareflags.is_st_stock(CODE, "2024-01-01", "2024-01-08")


def _columns():
    rng = np.random.default_rng(8)
    base = pd.Timestamp("2023-12-20").value
    day = 86400 * 10**9
    raw = base + rng.integers(0, 40, 30) * day + rng.integers(0, day // 1000, 30) * 1000
    stamps = pd.to_datetime(raw)
    return {
        "int64": pd.Series(raw),
        "uint32-epoch": pd.Series(np.array([5, 7], dtype=np.uint32)),
        "float": pd.Series(raw.astype(float)),
        "fractional-float": pd.Series([float(raw[0]) + 0.5, 1.5]),
        "datetime64-ns": pd.Series(stamps),
        "datetime64-s": pd.Series(stamps.as_unit("s")),
        "timestamps": pd.Series(list(stamps), dtype=object),
        "dates": pd.Series([s.date() for s in stamps], dtype=object),
        "datetimes": pd.Series([s.to_pydatetime() for s in stamps], dtype=object),
        "iso-strings": pd.Series([s.strftime("%Y-%m-%d") for s in stamps]),
        "other-strings": pd.Series(["20240105", "2024-01-06 12:00:00", "2024/01/07"], dtype=object),
        "mixed-objects": pd.Series([int(raw[0]), stamps[1], "2024-01-09", datetime.date(2024, 1, 13), 3.0],
                                   dtype=object),
        "far-future": pd.Series([datetime.datetime(2300, 1, 1)], dtype=object),
        "aware": pd.Series(pd.to_datetime(raw[:3]).tz_localize("Asia/Shanghai")),
        "pre-epoch": pd.Series([-1, -day - 1]),
        "uint64-past-range": pd.Series(np.array([2**63 + 5], dtype=np.uint64)),
        "int64-nat-pattern": pd.Series([int(raw[0]), np.iinfo(np.int64).min]),
        "datetime64-nat": pd.Series(pd.to_datetime([raw[0], None])),
        "nullable-int": pd.Series([int(raw[0]), int(raw[1])], dtype="Int64"),
    }


@pytest.mark.parametrize("kind", list(_columns()))
@pytest.mark.parametrize(
    "calendar",
    [
        pd.bdate_range("2024-01-01", "2024-01-31").strftime("%Y-%m-%d").tolist(),
        [],
        ["2024-01-10", "2024-01-03", "2024-01-03", "2024-01-05"],  # unsorted, with a repeat
        pd.DataFrame({"trade_days": ["2024-01-02", "2024-01-03"]})["trade_days"],  # named Series
        [datetime.date(2024, 1, 2), datetime.date(2024, 1, 9)],
    ],
    ids=["weekdays", "empty", "unsorted", "series", "dates"],
)
def test_same_frame_as_flagging_one_value_at_a_time(shareflags, gateway, kind, calendar):
    values = _columns()[kind]
    gateway.answer("trade_calendar", {"trade_days": calendar})
    gateway.answer("get_suspended_days", pd.DataFrame({"trade_date": values}))
    try:
        expected = reference_day_flags(calendar, values, CODE)
    except Exception as exc:  # the one-by-one steps fail: the query fails alike
        with pytest.raises(type(exc)):
            shareflags.is_suspended(CODE, "2024-01-01", "2024-01-31")
        return
    result = shareflags.is_suspended(CODE, "2024-01-01", "2024-01-31")
    pd.testing.assert_frame_equal(result, expected, check_freq=False)
    assert result.index.dtype == expected.index.dtype and result.dtypes.iloc[0] == expected.dtypes.iloc[0]


@pytest.mark.parametrize(
    "values, error",
    [([ns("2024-01-03"), np.nan], AttributeError), ([True], TypeError), ([ns("2024-01-03"), None], AttributeError)],
)
def test_unconvertible_values_fail_as_pandas_fails(shareflags, gateway, values, error):
    gateway.calendar(DAYS)
    gateway.answer("get_suspended_days", pd.DataFrame({"trade_date": pd.Series(values, dtype=object)}))
    with pytest.raises(error):
        reference_day_flags(DAYS, pd.Series(values, dtype=object), CODE)
    with pytest.raises(error):
        shareflags.is_suspended(CODE, "2024-01-01", "2024-01-08")


def test_is_st_stock_on_one_day(shareflags, gateway):
    gateway.calendar(["2024-01-02", "2024-01-03"])
    assert not shareflags._is_st_stock(CODE, "2024-01-02")  # no ST rows: the first of all-False flags
    assert gateway.calls("st_days") == [(([CODE],), {"start_time": "2024-01-02", "end_time": "2024-01-02"})]
    gateway.answer("st_days", pd.DataFrame({"trade_days": [ns("2024-01-02")]}))
    assert shareflags._is_st_stock(CODE, "2024-01-02")  # first row by position on a date index
    gateway.answer("st_days", pd.DataFrame({"trade_days": [ns("2024-01-03")]}))
    assert not shareflags._is_st_stock(CODE, "2024-01-02")


def test_is_st_stock_on_one_day_without_data_or_date(shareflags, gateway):
    gateway.calendar([])
    assert shareflags._is_st_stock(CODE) is False  # empty frame
    assert gateway.calls("trade_calendar")[0][1] == {
        "market": ["SH"], "start_time": None, "end_time": today().isoformat()}


def test_is_st_stock_on_one_day_goes_through_the_bound_name(shareflags, monkeypatch):
    seen = []

    def stub(*args, **kwargs):
        seen.append((args, kwargs))
        return None

    monkeypatch.setattr(shareflags, "is_st_stock", stub)
    assert shareflags._is_st_stock(CODE, "2024-01-02", market="hk") is False
    assert seen == [((CODE,), {"start_date": "2024-01-02", "end_date": "2024-01-02", "market": "hk"})]


def test_get_suspend_days(shareflags, gateway):
    payload = pd.DataFrame({"market_code": ["000001.SZ", "000001.SZ"], "trade_date": ["2024-01-03", "2024-01-02"]})
    gateway.answer("get_suspended_days", payload)
    result = shareflags.get_suspend_days([CODE, "000001.SZ"], "2024-01-01", "2024-01-31")
    assert result == {"000001.SZ": ["2024-01-03", "2024-01-02"]}
    assert gateway.calls() == [(([CODE, "000001.SZ"], "2024-01-01", "2024-01-31"), {})]


@pytest.mark.parametrize(
    "payload, code",
    [(pd.DataFrame({"market_code": [CODE], "trade_date": ["2024-01-03"]}), FAILURE), (pd.DataFrame(), 0), (None, 0)],
)
def test_get_suspend_days_without_data_is_none(shareflags, gateway, payload, code):
    gateway.answer("get_suspended_days", payload, code)
    assert shareflags.get_suspend_days(CODE, "2024-01-01", "2024-01-31") is None
