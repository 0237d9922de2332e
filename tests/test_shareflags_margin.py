"""Securities margin data (call, clamp, field selection, result shapes) and margin-eligible stocks."""
import datetime

import numpy as np
import pandas as pd
import pytest

from support.gateway import gateway, shareflags, today  # noqa: F401 (fixtures)

A, B = "600000.SH", "000001.SZ"
FIELDS = ["borrow_money_balance", "purch_with_borrow_money", "repayment_of_borrow_money", "sec_lending_balance",
          "sales_of_borrowed_sec", "repayment_of_borrow_sec", "sec_lending_balance_vol", "margin_trade_balance"]


def margin_payload(codes=(A, B), days=("2024-01-03", "2024-01-02")):
    rows = [(c, d) for d in days for c in codes]  # unsorted on purpose
    frame = pd.DataFrame(rows, columns=["market_code", "trade_date"])
    for i, field in enumerate(FIELDS):
        frame[field] = np.arange(len(rows), dtype=float) + 100 * i
    frame["unselected"] = 1.0
    return frame


def previous_weekday(day):
    day -= datetime.timedelta(days=1)
    while day.weekday() >= 5:
        day -= datetime.timedelta(days=1)
    return day


def test_default_call_prints_and_returns_the_two_level_frame(shareflags, gateway, capsys):
    payload = margin_payload(codes=(A,))
    gateway.answer("margin_detail", payload.copy())
    result = shareflags.get_securities_margin(A)
    start = today() - datetime.timedelta(days=90)
    assert gateway.calls() == [((), {"market_code": [A], "start_time": start.strftime("%Y-%m-%d"),
                                     "end_time": today().strftime("%Y-%m-%d")})]
    assert list(result.index.names) == ["market_code", "trade_date"]
    assert list(result.columns) == FIELDS
    assert list(result.index.get_level_values(1)) == ["2024-01-02", "2024-01-03"]
    assert result.loc[(A, "2024-01-02"), "margin_trade_balance"] == 701.0
    assert capsys.readouterr().out == f"{result}\n"


def test_future_end_is_clamped_and_codes_sequence_kept(shareflags, gateway):
    codes = (A, B)
    shareflags.get_securities_margin(codes, "2024-01-01", today() + datetime.timedelta(days=30))
    (_, kwargs), = gateway.calls("margin_detail")
    assert kwargs == {"market_code": codes, "start_time": "2024-01-01",
                      "end_time": previous_weekday(today()).strftime("%Y-%m-%d")}


@pytest.mark.parametrize(
    "fields, columns",
    [
        ("margin_trade_balance", ["margin_trade_balance"]),
        (["sec_lending_balance", "borrow_money_balance"], ["borrow_money_balance", "sec_lending_balance"]),
    ],
)
def test_field_selection_keeps_margin_field_order(shareflags, gateway, capsys, fields, columns):
    payload = margin_payload().drop(columns=["borrow_money_balance"])  # a selected field may be absent
    gateway.answer("margin_detail", payload)
    result = shareflags.get_securities_margin([A, B], "2024-01-01", "2024-01-05", fields=fields)
    assert list(result.columns) == columns
    if "borrow_money_balance" in columns:
        assert result["borrow_money_balance"].isna().all()


def test_unknown_field_is_refused_before_the_call(shareflags, gateway):
    with pytest.raises(ValueError, match="fields"):
        shareflags.get_securities_margin(A, "2024-01-01", "2024-01-05", fields=["tot_share"])
    assert gateway.calls() == []


@pytest.mark.parametrize("panel_removed", [True, False])
@pytest.mark.parametrize(
    "codes, fields, shape",
    [
        ([A], ["margin_trade_balance"], "series"),
        (A, ["sec_lending_balance", "margin_trade_balance"], "frame"),
        ([A, B], ["margin_trade_balance"], "per-code"),
        ([A, B], ["sec_lending_balance", "margin_trade_balance"], "refused"),
    ],
)
def test_flat_shapes(shareflags, gateway, monkeypatch, capsys, panel_removed, codes, fields, shape):
    # Where pandas still has panels there is none to build: the same shapes are given.
    monkeypatch.setattr(shareflags, "is_panel_removed", panel_removed)
    gateway.answer("margin_detail", margin_payload(codes=[codes] if isinstance(codes, str) else codes))
    call = lambda: shareflags.get_securities_margin(codes, "2024-01-01", "2024-01-05", fields, expect_df=False)
    if shape == "refused":
        with pytest.raises(RuntimeError, match="Panel"):
            call()
        return
    result = call()
    assert capsys.readouterr().out == ""
    if shape == "series":
        assert isinstance(result, pd.Series) and result.name == "margin_trade_balance"
        assert result.index.name == "trade_date" and list(result.index) == ["2024-01-02", "2024-01-03"]
        assert result.tolist() == [701.0, 700.0]
    elif shape == "frame":
        assert list(result.columns) == fields and result.index.name == "trade_date"
    else:
        assert list(result.columns) == [B, A]
        assert result.index.name is None and result.columns.name is None
        assert result.loc["2024-01-02", A] == 702.0


@pytest.mark.parametrize("payload", [None, pd.DataFrame()])
def test_no_margin_data_is_none(shareflags, gateway, payload):
    gateway.answer("margin_detail", payload)
    assert shareflags.get_securities_margin(A, "2024-01-01", "2024-01-05") is None


@pytest.mark.parametrize(
    "exchange, sent",
    [("xshg", ["SH"]), ("SH", ["SH"]), ("XSHE", ["SZ"]), ("sz", ["SZ"]), ("bj", ["BJ"]), (None, ["SH", "SZ", "BJ"])],
)
def test_margin_stocks_exchange_aliases(shareflags, gateway, exchange, sent):
    shareflags.get_margin_stocks("2024-01-05", exchange)
    (_, kwargs), = gateway.calls("get_margin_stocks")
    assert kwargs == {"exchange": sent, "margin_type": "all", "date": "2024-01-05"}
    if exchange is None:
        assert kwargs["exchange"] is shareflags.EXCHANGE_CONTENT


@pytest.mark.parametrize("exchange, margin_type", [("Sh", "all"), ("HK", "all"), ("SH", "both"), (1, "all")])
def test_margin_stocks_refuses_unknown_exchange_or_type(shareflags, gateway, exchange, margin_type):
    with pytest.raises(ValueError):
        shareflags.get_margin_stocks("2024-01-05", exchange, margin_type)
    assert gateway.calls() == []


@pytest.mark.parametrize("margin_type", ["all", "stock", "cash"])
def test_margin_stocks_default_date_count_and_list(shareflags, gateway, capsys, margin_type):
    gateway.answer("get_margin_stocks", pd.DataFrame({0: [A, B, "430047.BJ"]}))
    result = shareflags.get_margin_stocks(margin_type=margin_type, market="hk")
    assert result == [A, B, "430047.BJ"]
    assert capsys.readouterr().out == "3\n"
    (_, kwargs), = gateway.calls("get_margin_stocks")
    assert kwargs["date"] == previous_weekday(today()).strftime("%Y-%m-%d")
    assert kwargs["margin_type"] == margin_type


@pytest.mark.parametrize("payload", [None, pd.DataFrame()])
def test_margin_stocks_without_data_is_an_empty_list(shareflags, gateway, capsys, payload):
    gateway.answer("get_margin_stocks", payload)
    assert shareflags.get_margin_stocks(datetime.date(2024, 1, 5)) == []
    assert capsys.readouterr().out == ""
    assert gateway.calls()[0][1]["date"] == "2024-01-05"
