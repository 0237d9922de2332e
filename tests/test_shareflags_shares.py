"""Share capital (call, completion of codes without rows, result shapes, panels) and stock connect."""
import datetime

import numpy as np
import pandas as pd
import pytest

from support.gateway import gateway, shareflags, today  # noqa: F401 (fixtures)

A, B = "600000.SH", "000001.SZ"
START, END = datetime.date(2024, 1, 2), datetime.date(2024, 1, 3)
VALUES = ["tot_share", "float_a_share", "tot_a_share"]  # what the service delivers


def share_payload(codes=(A, B), days=("2024-01-03", "2024-01-02")):
    rows = [(d, c) for d in days for c in codes]
    frame = pd.DataFrame(rows, columns=["trade_date", "market_code"])
    for i, column in enumerate(VALUES):
        frame[column] = np.arange(len(rows), dtype=float) + 10 * i
    return frame


def test_call_form_and_result_frame(shareflags, gateway):
    gateway.answer("get_share_daily", share_payload())
    result = shareflags.get_shares((A, B), START, pd.Timestamp(END), fields="tot_share")
    assert gateway.calls() == [((), {"market_code": (A, B), "start_time": "2024-01-02", "end_time": "2024-01-03"})]
    # The default expect_df gives every delivered column, whatever `fields` selects.
    assert list(result.columns) == VALUES
    assert list(result.index.names) == ["market_code", "trade_date"]
    assert list(result.index) == [(B, "2024-01-02"), (B, "2024-01-03"), (A, "2024-01-02"), (A, "2024-01-03")]
    assert result.loc[(A, "2024-01-02"), "float_a_share"] == 12.0


def test_codes_without_rows_are_kept_with_missing_values(shareflags, gateway):
    gateway.answer("get_share_daily", share_payload(codes=(A,)))
    result = shareflags.get_shares([A, B], START, END)
    assert list(result.index) == [(B, "2024-01-02"), (B, "2024-01-03"), (A, "2024-01-02"), (A, "2024-01-03")]
    assert result.loc[B].isna().all().all()
    assert not result.loc[A].isna().any().any()
    # Per code as well: the completed code has a column of missing values.
    per_code = shareflags.get_shares([A, B], START, END, fields="tot_share", expect_df=False)
    assert list(per_code.columns) == [B, A] and per_code[B].isna().all()


@pytest.mark.parametrize(
    "codes, fields, shape",
    [
        (A, "float_a_share", "series"),
        ([A], ["tot_share", "tot_a_share"], "frame"),
        ([A, B], ["tot_a_share"], "per-code"),
        ([A, B], None, "refused"),
    ],
)
def test_flat_shapes(shareflags, gateway, codes, fields, shape):
    gateway.answer("get_share_daily", share_payload(codes=[codes] if isinstance(codes, str) else codes))
    call = lambda: shareflags.get_shares(codes, START, END, fields, expect_df=False)
    if shape == "refused":
        with pytest.raises(RuntimeError, match="Panel"):
            call()
        return
    result = call()
    if shape == "series":
        assert isinstance(result, pd.Series) and result.name == "float_a_share"
        assert result.index.name == "trade_date" and result.tolist() == [11.0, 10.0]
    elif shape == "frame":
        assert list(result.columns) == VALUES and result.index.name == "trade_date"
    else:
        assert list(result.columns) == [B, A] and result.index.name is None and result.columns.name is None
        assert result.loc["2024-01-03", B] == 21.0


class FakePanel:
    def __init__(self, frame):
        self.frame = frame

    def minor_xs(self, code):
        return FakePanel(self.frame.xs(code, level=1))

    def __getitem__(self, field):
        return FakePanel(self.frame[field])


@pytest.mark.parametrize(
    "codes, fields, warns",
    [([A], ["tot_share"], False), ([A, B], ["tot_share"], False), ([A, B], ["tot_share", "tot_a_share"], True)],
)
def test_panel_where_pandas_still_has_panels(shareflags, gateway, monkeypatch, recwarn, codes, fields, warns):
    monkeypatch.setattr(shareflags, "is_panel_removed", False)
    monkeypatch.setattr(pd.DataFrame, "to_panel", lambda self: FakePanel(self), raising=False)
    gateway.answer("get_share_daily", share_payload(codes=codes))
    if warns:
        with pytest.warns(UserWarning, match=r"^Panel is removed after pandas version 0\.25\.0\. the default value "
                                             r"of 'expect_df' will change to True in the future\.$"):
            panel = shareflags.get_shares(codes, START, END, fields, expect_df=False)
    else:
        panel = shareflags.get_shares(codes, START, END, fields, expect_df=False)
        assert len(recwarn) == 0
    assert isinstance(panel, FakePanel)
    if len(codes) == 1:
        assert panel.frame.tolist() == [1.0, 0.0]  # minor_xs of the code, then the field
    # With expect_df the panel branch is not taken.
    assert isinstance(shareflags.get_shares(codes, START, END, fields), pd.DataFrame)


def test_missing_dates_take_the_clients_default_range(shareflags, gateway):
    shareflags.get_shares(A)
    shareflags.get_stock_connect(A, end_date=END)
    first, second = gateway.calls()
    assert first[1]["start_time"] == (today() - datetime.timedelta(days=90)).strftime("%Y-%m-%d")
    assert first[1]["end_time"] == today().strftime("%Y-%m-%d")
    assert second[1] == {"start_time": "2023-10-05", "end_time": "2024-01-03"}


@pytest.mark.parametrize("query", ["get_shares", "get_stock_connect"])
def test_dates_without_strftime_fail_before_the_call(shareflags, gateway, query):
    with pytest.raises(AttributeError):
        getattr(shareflags, query)(A, "2024-01-02", END)
    assert gateway.calls() == []


def test_share_range_and_field_checks(shareflags, gateway):
    with pytest.raises(ValueError, match="range"):
        shareflags.get_shares(A, END, START)
    with pytest.raises(ValueError, match="fields"):
        shareflags.get_shares(A, START, END, fields=["margin_trade_balance"])
    assert gateway.calls() == []


@pytest.mark.parametrize("payload", [None, pd.DataFrame()])
def test_no_data_is_none(shareflags, gateway, payload):
    gateway.answer("get_share_daily", payload)
    gateway.answer("get_stock_connect", payload)
    assert shareflags.get_shares(A, START, END) is None
    assert shareflags.get_stock_connect(A, START, END) is None


def test_stock_connect_call_and_payload(shareflags, gateway):
    payload = pd.DataFrame({"shares_holding": [1.0], "holding_ratio": [0.1], "adjusted_holding_ratio": [0.2]})
    gateway.answer("get_stock_connect", payload)
    assert shareflags.get_stock_connect(A, START, END, fields=["x"], expect_df=False) is payload
    shareflags.get_stock_connect([A, B], START, END)
    assert gateway.calls() == [
        (([A],), {"start_time": "2024-01-02", "end_time": "2024-01-03"}),
        (([[A, B]],), {"start_time": "2024-01-02", "end_time": "2024-01-03"}),
    ]
