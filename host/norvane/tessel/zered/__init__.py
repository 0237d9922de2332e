"""Stand-in data-service client. Answers come from scripted sources that tests replace."""
from . import errors, futures  # noqa: F401

__version__ = "2.11.12"

# Scripted answers: tests (or the demo) set these to callables.
_price_source = None
_auction_source = None


def get_price(*args, **kwargs):
    if _price_source is None:
        return None
    return _price_source(*args, **kwargs)


def get_open_auction_info(market_code, start_date, end_date, fields):
    if _auction_source is None:
        return None
    return _auction_source(market_code, start_date, end_date, fields)
