"""Stand-in quant-data utilities: the bar record description of each instrument type."""
import numpy as np


class BarDtype:
    """A bar record description: `v[field]` gives the field's type, `v.dtype` the record type."""

    def __init__(self, fields):
        self.dtype = np.dtype(fields)

    def __getitem__(self, name):
        return self.dtype.fields[name][0]


_STOCK_FIELDS = [
    ("datetime", np.uint64),
    ("open", np.float64),
    ("close", np.float64),
    ("high", np.float64),
    ("low", np.float64),
    ("volume", np.float64),
    ("total_turnover", np.float64),
    ("high_limited", np.float64),
    ("low_limited", np.float64),
]
_FUTURE_FIELDS = _STOCK_FIELDS + [("open_interest", np.float64), ("settlement", np.float64)]

DTYPE_MAP = {
    "CS": BarDtype(_STOCK_FIELDS),
    "ETF": BarDtype(_STOCK_FIELDS),
    "INDX": BarDtype(_STOCK_FIELDS),
    "Future": BarDtype(_FUTURE_FIELDS),
}
