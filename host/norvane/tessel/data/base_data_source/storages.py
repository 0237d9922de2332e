"""Stand-in engine storages: the HDF5 opener and the futures parameters tuple."""
import contextlib
from collections import namedtuple

import h5py


@contextlib.contextmanager
def h5_file(path, mode="r", **kwargs):
    """Open an HDF5 file for one block; it is closed on every exit and exceptions pass through."""
    h5 = h5py.File(path, mode, **kwargs)
    try:
        yield h5
    finally:
        h5.close()


FuturesTradingParameters = namedtuple(
    "FuturesTradingParameters",
    [
        "long_margin_ratio",
        "short_margin_ratio",
        "commission_type",
        "open_commission_ratio",
        "close_commission_ratio",
        "close_commission_today_ratio",
    ],
)
