"""Generated odd gateway answers against every stock-status query.

Calendars and flagged days mix every form a date can take (numbers of every size, NaN, NaT, None,
texts good and bad, dates, naive and zoned timestamps in several time zones, datetime64 of every
unit); payloads come as None, empty, with missing, extra or repeated columns; answers come as
triples or as anything else. Each query is run as the module runs it and as a plain pandas reading
of the same steps: both must raise the same exception type or give equal results.
"""
import contextlib
import datetime
import importlib
import io
import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.control import currently_in_test_context

from norvane.data.wexclient.commons import ApiRspCode
from norvane.tessel.utils.datetime_func import convert_dt_to_date_str
from norvane.tessel.zered.validators import (check_items_in_container, ensure_date_or_today_int,
                                             ensure_date_range, ensure_date_str, ensure_list_of_string,
                                             ensure_order, raise_for_no_panel)
from norvane.tessel.zered.services.calendar import get_previous_trading_date

from support import SHAREFLAGS

pytestmark = pytest.mark.fuzz

FUZZ = settings(max_examples=max(20, settings.default.max_examples // 2),
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
A, B = "600000.SH", "000001.SZ"
DAY_NS = 86400 * 10**9
JAN = pd.Timestamp("2024-01-01").value


@pytest.fixture(scope="module")
def sf():
    return importlib.import_module(SHAREFLAGS)


@pytest.fixture(scope="module")
def gid():
    from norvane import gid

    gid.reset()
    yield gid
    gid.reset()


def outcome(fn):
    """("ok", result, printed text) or ("raised", exception type); warnings are not failures here."""
    out = io.StringIO()
    with warnings.catch_warnings(), contextlib.redirect_stdout(out):
        warnings.simplefilter("ignore")
        try:
            return ("ok", fn(), out.getvalue())
        except Exception as exc:  # every failure must be an ordinary Python exception
            return ("raised", type(exc))


def assert_same(got, expected):
    if currently_in_test_context():  # the outcome mix, for --hypothesis-show-statistics
        event(got[0] if got[0] == "ok" else f"raised {got[1].__name__}")
    assert got[0] == expected[0], (got, expected)
    if got[0] == "raised":
        assert got[1] is expected[1], (got, expected)
        return
    a, b = got[1], expected[1]
    assert type(a) is type(b)
    if isinstance(a, pd.DataFrame):
        pd.testing.assert_frame_equal(a, b, check_freq=False)
        assert a.index.dtype == b.index.dtype and list(a.dtypes) == list(b.dtypes)
    elif isinstance(a, pd.Series):
        pd.testing.assert_series_equal(a, b, check_freq=False)
    else:
        assert repr(a) == repr(b)
    assert got[2] == expected[2]  # what was printed


def answer(gid, name, make):
    """Each request answers a freshly made value (a payload the module changes is not shared)."""
    gid.responses[name] = lambda *args, **kwargs: make()


# ---- Date-like values of every form ----

ZONES = ["UTC", "Asia/Shanghai", "America/New_York"]
UNIT_NS = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
in_range_ns = st.integers(JAN - 5 * DAY_NS, JAN + 40 * DAY_NS)
day_text = st.integers(1, 31).map(lambda d: f"2024-01-{d:02d}")
odd_text = st.sampled_from(["20240105", "2024/01/07", "2024-01-06 12:00:00", "garbage", "", "2024-02-30",
                            "2024-01-03T10:00:00+08:00", "2024-01-03T23:00:00-05:00", "1600-01-01", "9999-12-31",
                            "NaT", "nan"])
naive = in_range_ns.map(lambda v: pd.Timestamp(v))
aware = st.tuples(in_range_ns, st.sampled_from(ZONES)).map(lambda p: pd.Timestamp(p[0], tz="UTC").tz_convert(p[1]))
date_like = st.one_of(
    in_range_ns, st.integers(), st.floats(), in_range_ns.map(float), st.just(pd.NaT), st.just(None),
    st.just(np.nan), day_text, odd_text, naive.map(lambda t: t.date()), naive.map(lambda t: t.floor("us").to_pydatetime()),
    naive, aware, st.booleans(),
    st.tuples(in_range_ns, st.sampled_from(["s", "ms", "us", "ns", "D"])).map(
        lambda p: np.datetime64(p[0], "ns").astype(f"M8[{p[1]}]")),
)


@st.composite
def columns(draw, values=date_like):
    """A column of date-like values, typed as pandas infers it, as objects, or as one numpy type."""
    form = draw(st.sampled_from(["inferred", "object", "int64", "uint64", "float64", "M8", "aware"]))
    n = draw(st.integers(0, 6))
    if form == "int64":
        return pd.Series(draw(st.lists(in_range_ns | st.integers(-2**63, 2**63 - 1), min_size=n, max_size=n)),
                         dtype="int64")
    if form == "uint64":
        return pd.Series(draw(st.lists(st.integers(0, 2**64 - 1), min_size=n, max_size=n)), dtype="uint64")
    if form == "float64":
        return pd.Series(draw(st.lists(st.floats() | in_range_ns.map(float), min_size=n, max_size=n)),
                         dtype="float64")
    if form == "M8":
        unit = draw(st.sampled_from(["s", "ms", "us", "ns"]))
        # Counts of the unit itself, in range or anywhere in int64 (NaT is its smallest value).
        extreme = st.integers(-2**63, 2**63 - 1) | st.sampled_from([-2**63, -2**63 + 1, 2**63 - 1])
        raw = draw(st.lists(in_range_ns.map(lambda v: v // UNIT_NS[unit]) | extreme, min_size=n, max_size=n))
        return pd.Series(np.array(raw, dtype="int64").view(f"M8[{unit}]"))
    if form == "aware":
        raw = draw(st.lists(in_range_ns, min_size=n, max_size=n))
        return pd.Series(pd.to_datetime(raw).tz_localize("UTC").tz_convert(draw(st.sampled_from(ZONES))))
    items = draw(st.lists(values, min_size=n, max_size=n))
    if form == "object":
        return pd.Series(items, dtype=object)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return pd.Series(items)
    except Exception:
        return pd.Series(items, dtype=object)


# A gateway answer that is not a (payload, code, message) triple.
def odd_answer(payload):
    return st.sampled_from([None, (payload,), (payload, 0), (payload, 0, "ok", "extra"), [payload, 0, "ok"], 5,
                            "abc"])


def triple_or_odd(payload, code=0):
    return st.one_of(st.just((payload, code, "ok")), st.just((payload, code, "ok")), odd_answer(payload))


# ---- Day flags ----

def reference_day_flags(gid, source, column, code, start, end):
    if end is None:
        end = datetime.date.today().isoformat()
    payload, _, _ = gid.trade_calendar(market=["SH"], start_time=start, end_time=end)
    frame = pd.DataFrame(data=False, columns=[code], index=pd.to_datetime(payload["trade_days"]))
    flagged, _, _ = getattr(gid, source)([code], start_time=start, end_time=end)
    if flagged is None or flagged.empty:  # a missing payload holds no flagged day
        return frame
    for _, value in flagged[column].items():
        frame.loc[pd.to_datetime(value, unit="ns").normalize(), code] = True
    frame.sort_index(inplace=True)
    return frame


calendars = st.one_of(
    st.lists(st.one_of(day_text, naive.map(lambda t: t.date()), naive.map(lambda t: t.normalize())), max_size=8),
    st.lists(st.one_of(day_text, naive, aware, st.just(pd.NaT), st.just(None), odd_text), max_size=5),
    st.lists(aware, max_size=4),
    columns(),
    # datetime64 calendars of a coarse unit, which may hold days a nanosecond timestamp cannot
    st.tuples(st.lists(st.integers(-2**40, 2**40) | in_range_ns.map(lambda v: v // 10**9), max_size=5),
              st.sampled_from(["s", "ms"])).map(lambda p: np.array(p[0], dtype="int64").view(f"M8[{p[1]}]")),
)
calendar_payloads = st.one_of(calendars.map(lambda days: {"trade_days": days}), calendars.map(
    lambda days: pd.DataFrame({"trade_days": days})), st.sampled_from([None, {}, {"trade_days": None},
                                                                        {"trade_days": "2024-01-02"}]))


@st.composite
def flag_payloads(draw, column):
    shape = draw(st.sampled_from(["column", "column", "column", "none", "empty", "wrong-column", "repeated"]))
    if shape == "none":
        return None
    if shape == "empty":
        return pd.DataFrame()
    values = draw(columns())
    if shape == "wrong-column":
        return pd.DataFrame({"other": values})
    if shape == "repeated":
        frame = pd.DataFrame({column: values, "x": values})
        frame.columns = [column, column]
        return frame
    return pd.DataFrame({column: values})


@FUZZ
@given(data=st.data())
@pytest.mark.parametrize("query, source, column", [("is_suspended", "get_suspended_days", "trade_date"),
                                                   ("is_st_stock", "st_days", "trade_days")])
def test_day_flags(sf, gid, query, source, column, data):
    calendar = data.draw(calendar_payloads, label="calendar")
    flags = data.draw(flag_payloads(column), label="flags")
    calendar_answer = data.draw(triple_or_odd(calendar), label="calendar answer")
    flags_answer = data.draw(triple_or_odd(flags), label="flags answer")
    gid.reset()
    answer(gid, "trade_calendar", lambda: calendar_answer)
    # Each call gets its own copy of the payload (a payload changed in place would leak across runs).
    answer(gid, source, lambda: tuple(v.copy() if isinstance(v, pd.DataFrame) else v for v in flags_answer)
           if isinstance(flags_answer, tuple) else flags_answer)
    got = outcome(lambda: getattr(sf, query)(A, "2024-01-01", "2024-01-31"))
    expected = outcome(lambda: reference_day_flags(gid, source, column, A, "2024-01-01", "2024-01-31"))
    assert_same(got, expected)
    if query == "is_st_stock":
        def one_day():
            result = reference_day_flags(gid, source, column, A, "2024-01-05", "2024-01-05")
            return False if result is None or result.empty else result[A].iloc[0]

        got = outcome(lambda: sf._is_st_stock(A, "2024-01-05"))
        expected = outcome(one_day)
        assert got[0] == expected[0] and (got[0] == "ok" and repr(got[1]) == repr(expected[1]) or
                                          got[0] == "raised" and got[1] is expected[1])


# ---- Suspended days, industry and concept members ----

small_values = st.one_of(st.sampled_from([A, B, "", None, np.nan, pd.NaT, 0, 1.5, "2024-01-02"]), day_text, naive)
codes_ok = st.sampled_from([0, 0, 0, 7, None, "0", 0.0, np.int64(0), math.nan])


@st.composite
def frames(draw, names):
    """A frame with some of `names` as columns (possibly repeated), rows of small odd values."""
    cols = draw(st.lists(st.sampled_from(names), max_size=4))
    n = draw(st.integers(0, 4))
    if not cols:
        return pd.DataFrame() if draw(st.booleans()) else pd.DataFrame(index=range(n))
    data = [[draw(small_values) for _ in cols] for _ in range(n)]
    return pd.DataFrame(data, columns=cols)


@FUZZ
@given(payload=frames(["market_code", "trade_date", "x"]) | st.none(), code=codes_ok, data=st.data())
def test_suspend_days(sf, gid, payload, code, data):
    reply = data.draw(triple_or_odd(payload, code), label="answer")
    gid.reset()
    answer(gid, "get_suspended_days", lambda: reply)

    def reference():
        p, c, _ = gid.get_suspended_days([A, B], "2024-01-01", "2024-01-31")
        if ApiRspCode.is_succ(c) and not (p is None or p.empty):
            return p.groupby("market_code")["trade_date"].apply(list).to_dict()
        return None

    assert_same(outcome(lambda: sf.get_suspend_days([A, B], "2024-01-01", "2024-01-31")), outcome(reference))


@FUZZ
@given(payload=frames(["market_code", 0, "x"]) | st.none(), code=codes_ok, data=st.data(),
       query=st.sampled_from(["get_industry", "concept"]))
def test_industry_and_concept_members(sf, gid, payload, code, data, query):
    reply = data.draw(triple_or_odd(payload, code), label="answer")
    gid.reset()

    def fresh():
        return tuple(v.copy() if isinstance(v, pd.DataFrame) else v for v in reply) \
            if isinstance(reply, tuple) else reply

    answer(gid, "get_industry", fresh)
    answer(gid, "get_concept", fresh)

    def reference():
        if query == "get_industry":
            p, c, _ = gid.get_industry("J66", 12, "2024-01-02")
        else:
            p, c, _ = gid.get_concept(("a",), convert_dt_to_date_str(datetime.date(2024, 1, 2)))
        if not ApiRspCode.is_succ(c) or p is None or p.empty:
            return None
        if len(p.columns) == 1:
            p.columns = ["market_code"]
        return p["market_code"]

    if query == "get_industry":
        got = outcome(lambda: sf.get_industry("J66", 12, "2024-01-02"))
    else:
        got = outcome(lambda: sf.concept("a", date=datetime.date(2024, 1, 2)))
    assert_same(got, outcome(reference))


@FUZZ
@given(payload=frames([0, 1, "x"]) | st.none(), data=st.data(), exchange=st.sampled_from([None, "sh", "SZ", "xx"]))
def test_margin_stocks(sf, gid, payload, data, exchange):
    reply = data.draw(triple_or_odd(payload), label="answer")
    gid.reset()
    answer(gid, "get_margin_stocks", lambda: reply)

    def reference():
        ex = ["SH", "SZ", "BJ"] if exchange is None else [{"sh": "SH"}.get(exchange, exchange)]
        check_items_in_container(ex, ["SH", "SZ", "BJ"], "exchange")
        p, _, _ = gid.get_margin_stocks(exchange=ex, margin_type="all", date="2024-01-02")
        if p is None or p.empty:
            return []
        print(len(p[0].tolist()))
        return p[0].tolist()

    assert_same(outcome(lambda: sf.get_margin_stocks("2024-01-02", exchange)), outcome(reference))


# ---- Securities margin and share capital ----

MARGIN = ["borrow_money_balance", "purch_with_borrow_money", "margin_trade_balance"]
SHARES = ["tot_share", "float_a_share", "tot_a_share"]


@st.composite
def holdings(draw, values):
    """Rows of (market_code, trade_date, value columns), with odd codes, dates and values."""
    shape = draw(st.sampled_from(["rows", "rows", "rows", "none", "empty", "no-date", "no-code"]))
    if shape == "none":
        return None
    if shape == "empty":
        return pd.DataFrame()
    n = draw(st.integers(1, 5))
    code = st.sampled_from([A, A, B, B, np.nan, None, 3])
    day = st.sampled_from(["2024-01-02", "2024-01-03", "2024-01-04"]) | st.sampled_from(
        [None, np.nan, pd.Timestamp("2024-01-02"), 20240105])
    number = st.floats(allow_nan=True) | st.integers(-10**20, 10**20) | st.sampled_from([None, "x"])
    frame = pd.DataFrame({"market_code": draw(st.lists(code, min_size=n, max_size=n)),
                          "trade_date": draw(st.lists(day, min_size=n, max_size=n))})
    for name in draw(st.lists(st.sampled_from(values + ["extra"]), unique=True, max_size=4)):
        frame[name] = draw(st.lists(number, min_size=n, max_size=n))
    if shape == "no-date":
        frame = frame.drop(columns="trade_date")
    if shape == "no-code":
        frame = frame.drop(columns="market_code")
    return frame


def flat(frame, codes, fields, expect_df):
    """The result shapes shared by the margin and share queries, past the two-level frame."""
    if expect_df:
        return frame
    if len(codes) > 1 and len(fields) > 1:
        raise_for_no_panel()
    if len(codes) == 1:
        frame = frame.reset_index(level=0, drop=True)
        return frame[fields[0]] if len(fields) == 1 else frame
    block = frame.unstack(level=0)[fields[0]]
    return block.rename_axis(index=None, columns=None)


@FUZZ
@given(payload=holdings(MARGIN), codes=st.sampled_from([A, [A], [A, B], (B, A)]),
       fields=st.sampled_from([None, "margin_trade_balance", ["margin_trade_balance", "borrow_money_balance"]]),
       expect_df=st.booleans())
def test_securities_margin(sf, gid, payload, codes, fields, expect_df):
    gid.reset()
    answer(gid, "margin_detail", lambda: (None if payload is None else payload.copy(), 0, "ok"))
    margin_fields = list(sf.MARGIN_FIELDS)

    def reference():
        seq = codes if isinstance(codes, (list, tuple)) else [codes]
        if fields is None:
            chosen = list(margin_fields)
        else:
            chosen = ensure_list_of_string(fields, "fields")
            check_items_in_container(chosen, margin_fields, "fields")
            chosen = ensure_order(chosen, margin_fields)
        start, end = ensure_date_range("2024-01-01", "2024-01-31")
        if end > ensure_date_or_today_int(None):
            end = ensure_date_or_today_int(get_previous_trading_date(datetime.date.today()))
        p, _, _ = gid.margin_detail(market_code=seq, start_time=ensure_date_str(start), end_time=ensure_date_str(end))
        if p is None or p.empty:
            return None
        frame = p.sort_values(["market_code", "trade_date"]).set_index(["market_code", "trade_date"])
        frame = frame.reindex(columns=chosen)
        if expect_df:
            print(frame)
        return flat(frame, seq, chosen, expect_df)

    got = outcome(lambda: sf.get_securities_margin(codes, "2024-01-01", "2024-01-31", fields, expect_df))
    assert_same(got, outcome(reference))


@FUZZ
@given(payload=holdings(SHARES), codes=st.sampled_from([A, [A], [A, B], (B, A)]),
       fields=st.sampled_from([None, "tot_share", ["tot_a_share", "tot_share"]]), expect_df=st.booleans())
def test_shares(sf, gid, payload, codes, fields, expect_df):
    gid.reset()
    answer(gid, "get_share_daily", lambda: (None if payload is None else payload.copy(), 0, "ok"))
    share_fields = list(sf.SHARE_FIELDS)
    start, end = datetime.date(2024, 1, 2), datetime.date(2024, 1, 5)

    def reference():
        seq = codes if isinstance(codes, (list, tuple)) else [codes]
        if fields:
            chosen = ensure_list_of_string(fields, "fields")
            check_items_in_container(chosen, share_fields, "fields")
            chosen = ensure_order(chosen, share_fields)
        else:
            chosen = list(share_fields)
        p, _, _ = gid.get_share_daily(market_code=seq, start_time="2024-01-02", end_time="2024-01-05")
        if p is None or p.empty:
            return None
        present = set(p["market_code"].unique())
        missing = [c for c in seq if c not in present]
        if missing:
            p = pd.concat([p, pd.DataFrame({"market_code": missing, "trade_date": p["trade_date"].iloc[-1]})])
        completed = p.set_index(["trade_date", "market_code"]).sort_index().unstack(level=1).dropna(how="all")
        # pandas 3's stack (rows of missing values kept) on every pandas version, as decided.
        pandas3 = int(pd.__version__.split(".")[0]) >= 3
        frame = completed.stack(level=1) if pandas3 else completed.stack(level=1, future_stack=True)
        frame.index = frame.index.set_names(["trade_date", "market_code"])
        frame = frame.reorder_levels(["market_code", "trade_date"]).sort_index()
        return flat(frame, seq, chosen, expect_df)

    assert_same(outcome(lambda: sf.get_shares(codes, start, end, fields, expect_df)), outcome(reference))


@FUZZ
@given(payload=holdings(["shares_holding"]) | st.sampled_from([pd.DataFrame({"a": []})]), data=st.data())
def test_stock_connect(sf, gid, payload, data):
    reply = data.draw(triple_or_odd(payload), label="answer")
    gid.reset()
    answer(gid, "get_stock_connect", lambda: reply)

    def reference():
        p, _, _ = gid.get_stock_connect([A], start_time="2024-01-02", end_time="2024-01-05")
        return None if p is None or p.empty else p

    got = outcome(lambda: sf.get_stock_connect(A, datetime.date(2024, 1, 2), datetime.date(2024, 1, 5)))
    assert_same(got, outcome(reference))


# ---- Regression cases kept from the generated runs ----

class Pairless:
    """Flag values whose items are not (label, value) pairs."""

    dtype = object

    def items(self):
        return iter([5, (1,), "ab"])


class Lying(np.ndarray):
    """An array that reports a longer shape than it has."""

    @property
    def shape(self):
        return (10**7,)


class LyingValues:
    dtype = np.dtype("int64")

    def to_numpy(self):
        return np.array([JAN], dtype="int64").view(Lying)

    def tolist(self):
        return [JAN]

    def items(self):
        return iter([(0, JAN)])


class Payload:
    """A payload that is not a DataFrame: not empty, any column gives `values`."""

    empty = False

    def __init__(self, values):
        self.values = values

    def __getitem__(self, key):
        return self.values


@pytest.mark.parametrize("values, calendar, error", [
    (Pairless(), [pd.Timestamp("2024-01-02", tz="Asia/Shanghai")], TypeError),  # crashed: unchecked pair read
    (LyingValues(), ["2024-01-02"], None),  # read past the array: the shape of an ndarray subclass was trusted
])
def test_regression_payload_objects(sf, gid, values, calendar, error):
    gid.reset()
    gid.responses["trade_calendar"] = ({"trade_days": calendar}, 0, "ok")
    gid.responses["get_suspended_days"] = (Payload(values), 0, "ok")
    if error:
        with pytest.raises(error, match="cannot unpack"):
            sf.is_suspended(A, "2024-01-01", "2024-01-31")
    else:
        result = sf.is_suspended(A, "2024-01-01", "2024-01-31")
        assert list(result[A]) == [True, False] and str(result.index[0].date()) == "2024-01-01"


@pytest.mark.parametrize("values", [[2**63, 2**63], [1703635200000000000, pd.Timestamp("2023-12-27", tz="UTC")]])
def test_regression_repeated_flag_column_fails_as_pandas_does(sf, gid, values):
    # Two columns under the flag column's name: the values go one by one, as pandas would take them
    # (the error was "'DataFrame' object has no attribute 'dtype'" before).
    frame = pd.DataFrame({"a": pd.Series(values, dtype=object), "b": pd.Series(values, dtype=object)})
    frame.columns = ["trade_date", "trade_date"]
    gid.reset()
    answer(gid, "trade_calendar", lambda: ({"trade_days": []}, 0, "ok"))
    answer(gid, "get_suspended_days", lambda: (frame.copy(), 0, "ok"))
    expected = outcome(lambda: reference_day_flags(gid, "get_suspended_days", "trade_date", A, "2024-01-01", None))
    assert expected[0] == "raised"
    assert_same(outcome(lambda: sf.is_suspended(A, "2024-01-01")), expected)


@pytest.mark.parametrize("stamp", ["0000-12-31T23:59:59", "-0001-03-01", "10001-01-01", "1972-05-05T10:00"])
@pytest.mark.parametrize("form", ["datetime64", "objects"])
def test_regression_timestamps_outside_the_years_1_to_9999(sf, gid, stamp, form):
    # Such a Timestamp keeps a stand-in year (1970 or 1972) in its datetime fields, which were read
    # as its date: 0000-12-31 was flagged as 1972-12-31.
    values = pd.Series(np.array([np.datetime64(stamp, "s")]))
    if form == "objects":
        values = values.astype(object)
    gid.reset()
    answer(gid, "trade_calendar", lambda: ({"trade_days": ["1972-12-31", "2024-01-02"]}, 0, "ok"))
    answer(gid, "get_suspended_days", lambda: (pd.DataFrame({"trade_date": values}), 0, "ok"))
    expected = outcome(lambda: reference_day_flags(gid, "get_suspended_days", "trade_date", A, "2024-01-01", None))
    assert_same(outcome(lambda: sf.is_suspended(A, "2024-01-01")), expected)
