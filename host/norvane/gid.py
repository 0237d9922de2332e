"""Stand-in data-service gateway.

Every request answers a (payload, response code, message) triple. Answers come from a scripted
responder: `gid.responses[name]` is either a fixed triple or a callable taking the request's
arguments. Unscripted requests answer an empty frame with a success code. Every request is
recorded in `gid.calls` as (name, args, kwargs) so callers' arguments can be checked.
"""
import pandas as pd

SUCCESS = 0
calls = []
responses = {}


def _request(name, *args, **kwargs):
    calls.append((name, args, kwargs))
    answer = responses.get(name)
    if answer is None:
        if name == "trade_calendar":
            return {"trade_days": []}, SUCCESS, "ok"
        return pd.DataFrame(), SUCCESS, "ok"
    if callable(answer):
        return answer(*args, **kwargs)
    return answer


def reset():
    calls.clear()
    responses.clear()


def trade_calendar(*args, **kwargs):
    return _request("trade_calendar", *args, **kwargs)


def get_suspended_days(*args, **kwargs):
    return _request("get_suspended_days", *args, **kwargs)


def st_days(*args, **kwargs):
    return _request("st_days", *args, **kwargs)


def get_industry(*args, **kwargs):
    return _request("get_industry", *args, **kwargs)


def get_concept(*args, **kwargs):
    return _request("get_concept", *args, **kwargs)


def margin_detail(*args, **kwargs):
    return _request("margin_detail", *args, **kwargs)


def get_margin_stocks(*args, **kwargs):
    return _request("get_margin_stocks", *args, **kwargs)


def get_share_daily(*args, **kwargs):
    return _request("get_share_daily", *args, **kwargs)


def get_stock_connect(*args, **kwargs):
    return _request("get_stock_connect", *args, **kwargs)
