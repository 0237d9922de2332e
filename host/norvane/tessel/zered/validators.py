"""Stand-in argument validators of the data-service client."""
import datetime

import pandas as pd


def _to_date(value):
    if value is None:
        return None
    if isinstance(value, datetime.datetime):
        return value.date()
    if isinstance(value, datetime.date):
        return value
    if isinstance(value, int):
        return datetime.date(value // 10000, value // 100 % 100, value % 100)
    return pd.Timestamp(value).date()


def ensure_string(s, name="", decoder="utf-8"):
    if isinstance(s, bytes):
        return s.decode(decoder)
    if not isinstance(s, str):
        raise ValueError(f"{name}: expect a str, got {s!r}")
    return s


def ensure_list_of_string(s, name=""):
    if isinstance(s, str):
        return [s]
    result = list(s)
    for v in result:
        if not isinstance(v, str):
            raise ValueError(f"{name}: expect a list of str, got {v!r}")
    return result


def check_items_in_container(items, should_in, name):
    if isinstance(items, str):
        items = [items]
    for item in items:
        if item not in should_in:
            raise ValueError(f"{name}: got invalided value {item}, choose any in {list(should_in)}")


def ensure_order(items, order):
    return sorted(items, key=lambda x: order.index(x) if x in order else len(order))


def ensure_date_int(date):
    d = _to_date(date)
    return d.year * 10000 + d.month * 100 + d.day


def ensure_date_str(date):
    return _to_date(date).strftime("%Y-%m-%d")


def ensure_date_or_today_int(date):
    if date is None:
        return ensure_date_int(datetime.date.today())
    return ensure_date_int(date)


def ensure_date_range(start_date, end_date, delta=datetime.timedelta(days=90)):
    """(start, end) as YYYYMMDD ints: a missing end is today, a missing start is `delta` before the end."""
    end = _to_date(end_date) if end_date is not None else datetime.date.today()
    start = _to_date(start_date) if start_date is not None else end - delta
    if start > end:
        raise ValueError("invalid date range: start_date is later than end_date")
    return ensure_date_int(start), ensure_date_int(end)


def raise_for_no_panel(multi_index=True):
    """Called where a result would need a panel, which pandas no longer has."""
    if multi_index:
        raise RuntimeError(
            "Panel has been removed from pandas; use expect_df=True or ask for one code or one field"
        )
