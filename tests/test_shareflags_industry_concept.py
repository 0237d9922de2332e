"""Industry and concept members: the date forms sent to the gateway and the result rule."""
import datetime

import pandas as pd
import pytest

from support.gateway import FAILURE, gateway, shareflags, today  # noqa: F401 (fixtures)

CODES = ["600000.SH", "000001.SZ"]


def test_get_industry_sends_code_source_and_todays_text(shareflags, gateway):
    gateway.answer("get_industry", pd.DataFrame({"market_code": CODES, "name": ["a", "b"]}))
    result = shareflags.get_industry("J66")
    assert gateway.calls() == [(("J66", 12, today().strftime("%Y-%m-%d")), {})]
    assert result.name == "market_code" and result.tolist() == CODES


@pytest.mark.parametrize(
    "date, sent",
    [
        (datetime.datetime(2024, 3, 1, 15, 30), "2024-03-01"),
        (datetime.date(2024, 3, 1), datetime.date(2024, 3, 1)),  # a plain date goes unchanged
        ("20240301", "20240301"),
    ],
)
def test_get_industry_converts_only_datetimes(shareflags, gateway, date, sent):
    shareflags.get_industry("银行", source="hsi", date=date)
    assert gateway.calls() == [(("银行", "hsi", sent), {})]


@pytest.mark.parametrize(
    "date, sent",
    [
        (None, None),
        ("2024-01-01", "2024-01-01"),
        (datetime.date(2024, 3, 1), "2024-03-01"),
        (datetime.datetime(2024, 3, 1, 9), "2024-03-01"),
    ],
)
def test_concept_sends_the_concepts_as_a_tuple(shareflags, gateway, date, sent):
    kwargs = {} if date is None else {"date": date}
    shareflags.concept("民营医院", "白酒", market="cn", **kwargs)
    shareflags.concept(**kwargs)
    expected = today().strftime("%Y-%m-%d") if sent is None else sent
    assert gateway.calls() == [((("民营医院", "白酒"), expected), {}), (((), expected), {})]


@pytest.mark.parametrize("query", ["get_industry", "concept"])
def test_result_rule(shareflags, gateway, query):
    request = "get_industry" if query == "get_industry" else "get_concept"
    call = getattr(shareflags, query)
    payload = pd.DataFrame({0: CODES})
    gateway.answer(request, payload)
    result = call("x")
    assert result.name == "market_code" and result.tolist() == CODES
    assert list(payload.columns) == ["market_code"]  # renamed on the payload itself

    gateway.answer(request, pd.DataFrame({"market_code": CODES}), FAILURE)
    assert call("x") is None
    for empty in (pd.DataFrame(), None):
        gateway.answer(request, empty)
        assert call("x") is None
    gateway.answer(request, pd.DataFrame({"code": CODES, "name": ["a", "b"]}))
    with pytest.raises(KeyError):
        call("x")
