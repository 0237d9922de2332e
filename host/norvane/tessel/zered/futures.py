"""Stand-in futures queries of the data service (scripted by tests)."""

_trading_parameters_source = None
_dominant_source = None


def get_trading_parameters(*args, **kwargs):
    if _trading_parameters_source is None:
        return None
    return _trading_parameters_source(*args, **kwargs)


def get_dominant(*args, **kwargs):
    if _dominant_source is None:
        return None
    return _dominant_source(*args, **kwargs)
