"""Stand-in trading calendar of the data-service client: weekdays are trading days."""
import datetime

import pandas as pd


def get_trading_dates(start_date, end_date, market="cn"):
    days = pd.bdate_range(pd.Timestamp(start_date), pd.Timestamp(end_date))
    return [d.date() for d in days]


def get_previous_trading_date(date, n=1, market="cn"):
    d = pd.Timestamp(date).date()
    while n > 0:
        d -= datetime.timedelta(days=1)
        if d.weekday() < 5:
            n -= 1
    return d


def get_trading_dates_in_type(start_date, end_date, expect_type="datetime", fmt=None, market="cn"):
    return get_trading_dates(start_date, end_date, market)
