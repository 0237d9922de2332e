"""The shareflags module frame: imports and definitions in order, constants, registration,
signatures and docstrings of the ten queries, and the gateway's answer triple."""
import inspect

import pandas as pd
import pytest

from support.gateway import gateway, shareflags  # noqa: F401 (fixtures)

IMPORTS = [
    "warnings", "datetime", "pd", "gid", "ApiRspCode", "convert_dt_to_date_str", "export_as_api",
    "vovoredu_serialize", "http_conv_list_to_csv", "ensure_date_range", "ensure_date_or_today_int",
    "ensure_list_of_string", "check_items_in_container", "ensure_order", "raise_for_no_panel", "ensure_date_str",
    "ensure_date_int", "ensure_string", "get_trading_dates", "get_previous_trading_date",
    "get_trading_dates_in_type", "is_panel_removed", "to_datetime",
]
DEFINITIONS = [
    "is_suspended", "is_st_stock", "_is_st_stock", "get_suspend_days", "get_industry", "concept", "MARGIN_FIELDS",
    "MARGIN_SUMMARY_MAP", "get_securities_margin", "share_fields", "reversed_fields", "SHARE_FIELDS", "get_shares",
    "get_stock_connect", "MARGIN_TYPE", "EXCHANGE_TYPE", "EXCHANGE_CONTENT", "get_margin_stocks",
]
QUERIES = [n for n in DEFINITIONS if n[0].islower() and n not in ("share_fields", "reversed_fields")]
SERIALISED = {"is_suspended", "get_suspend_days", "concept", "get_securities_margin", "get_margin_stocks"}

CONSTANTS = {
    "MARGIN_FIELDS": (
        "borrow_money_balance", "purch_with_borrow_money", "repayment_of_borrow_money", "sec_lending_balance",
        "sales_of_borrowed_sec", "repayment_of_borrow_sec", "sec_lending_balance_vol", "margin_trade_balance",
    ),
    "MARGIN_SUMMARY_MAP": {"SH": "XSHG", "XSHG": "XSHG", "SZ": "XSHE", "XSHE": "XSHE"},
    "share_fields": {
        "tot_share": "tot_share", "float_a_share": "a_cir_shares", "non_circulation_a": "a_non_cir_shares",
        "tot_a_share": "tot_a_share", "preferred_shares": "preferred_shares", "free_circulation": "free_circulation",
    },
    "reversed_fields": {
        "tot_share": "tot_share", "a_cir_shares": "float_a_share", "a_non_cir_shares": "non_circulation_a",
        "tot_a_share": "tot_a_share", "preferred_shares": "preferred_shares", "free_circulation": "free_circulation",
    },
    "SHARE_FIELDS": ("tot_share", "float_a_share", "non_tradable_share", "tot_a_share"),
    "MARGIN_TYPE": ("all", "stock", "cash"),
    "EXCHANGE_TYPE": {"XSHE": "SZ", "xshe": "SZ", "sz": "SZ", "XSHG": "SH", "xshg": "SH", "sh": "SH", "bj": "BJ"},
    "EXCHANGE_CONTENT": ["SH", "SZ", "BJ"],
}

SIGNATURES = {
    "is_suspended": "(market_code, start_date='2020-01-01', end_date=None)",
    "is_st_stock": "(market_code, start_date='2020-01-01', end_date=None, market='cn')",
    "_is_st_stock": "(order_book_id, date=None, market='cn')",
    "get_suspend_days": "(market_code, start_date, end_date)",
    "get_industry": "(industry, source=12, date=None)",
    "concept": "(*concepts, **kwargs)",
    "get_securities_margin": "(market_code, start_date=None, end_date=None, fields=None, expect_df=True, market='cn')",
    "get_margin_stocks": "(date=None, exchange=None, margin_type='all', market='cn')",
    "get_shares": "(market_code, start_date=None, end_date=None, fields=None, expect_df=True, market='cn')",
    "get_stock_connect": "(market_code, start_date=None, end_date=None, fields=None, expect_df=True)",
}

FIRST_DOC_LINES = {
    "is_suspended": "判断是否停牌",
    "is_st_stock": "判断股票在给定的时间段是否是ST股, 返回值为一个DataFrame",
    "_is_st_stock": "判断股票在给定日期是否是ST股",
    "get_suspend_days": "获取证券停牌信息",
    "get_industry": "获取行业股票列表",
    "concept": "获取对应某个概念的股票列表。",
    "get_securities_margin": "获取股票融资融券数据",
    "get_margin_stocks": "获取融资融券标的列表",
    "get_shares": "获取流通股本信息",
}


def test_names_are_bound_in_import_then_definition_order(shareflags):
    wanted = IMPORTS + DEFINITIONS
    bound = [n for n in vars(shareflags) if n in wanted]
    assert bound == wanted


@pytest.mark.parametrize("name", sorted(CONSTANTS))
def test_constants(shareflags, name):
    value = getattr(shareflags, name)
    expected = CONSTANTS[name]
    assert type(value) is type(expected)
    assert value == expected
    if isinstance(expected, dict):
        assert list(value) == list(expected)  # insertion order too


def test_every_query_is_registered_once_in_definition_order(shareflags):
    from norvane.tessel.zered.decorators import EXPORTED

    registered = [n for n in EXPORTED if n in SIGNATURES]
    assert registered == ["is_suspended", "is_st_stock", "_is_st_stock", "get_suspend_days", "get_industry",
                          "concept", "get_securities_margin", "get_shares", "get_stock_connect",
                          "get_margin_stocks"]
    for name in registered:
        assert EXPORTED[name] is getattr(shareflags, name)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_query_decoration_signature_and_docstring(shareflags, name):
    from norvane.tessel.zered.vovoredu_helper import http_conv_list_to_csv

    query = getattr(shareflags, name)
    # The stand-in serialiser marks what it wrapped with its converter.
    assert getattr(query, "converter", None) is (http_conv_list_to_csv if name in SERIALISED else None)
    assert str(inspect.signature(query)) == SIGNATURES[name]
    assert query.__name__ == name
    assert query.__module__ == shareflags.__name__
    doc = query.__doc__.splitlines()
    if name in FIRST_DOC_LINES:
        assert doc[0] == FIRST_DOC_LINES[name]
    else:
        assert "陆股通" in doc[0] and "持股" in doc[0] and "持股比例" in doc[0]


def test_documented_forms_and_sources(shareflags):
    for name in ("is_suspended", "get_suspend_days"):
        doc = getattr(shareflags, name).__doc__
        assert '"600000.SH"' in doc and '"2024-01-01"' in doc
    assert "10:万得行业分类； 12:证监会行业分类； 13:申万行业分类； 14:中信行业分类；港股: hsi: 恒生" in (
        shareflags.get_industry.__doc__
    )
    assert "民营医院" in shareflags.concept.__doc__


@pytest.mark.parametrize(
    "answer, error, message",
    [
        ((pd.DataFrame(), 0), ValueError, r"not enough values to unpack \(expected 3, got 2\)"),
        ((pd.DataFrame(), 0, "ok", None), ValueError, r"too many values to unpack \(expected 3\)"),
        (None, TypeError, "cannot unpack non-iterable NoneType object"),
    ],
)
def test_an_answer_that_is_not_a_triple_is_refused_like_unpacking(shareflags, gateway, answer, error, message):
    gateway.gid.responses["get_suspended_days"] = lambda *a, **k: answer
    with pytest.raises(error, match=message):
        shareflags.get_suspend_days("600000.SH", "2024-01-01", "2024-01-31")
