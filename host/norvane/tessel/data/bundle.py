"""Stand-in engine bundle: a per-instrument record cache in one HDF5 file, filled through `api`.

`get_data(instrument, dt)` answers the stored record of the instrument whose `trading_dt` is the
date of `dt` (or `None`). The first request for an instrument fetches its whole range through
`api(market_code, start_date, end_date)` (a record array with a `trading_dt` field, YYYYMMDD) and
keeps it in the file, so later stores and processes read it from disk.
"""
import os

import h5py
import numpy as np


def _date_number(value):
    if isinstance(value, (int, np.integer)):
        return int(value)
    return value.year * 10000 + value.month * 100 + value.day


class AutomaticUpdateBundle:
    def __init__(self, path, filename, api, fields, end_date, start_date=20050104):
        self._path = path
        self._file = os.path.join(path, filename)
        self._api = api
        self._fields = list(fields)
        self._end_date = _date_number(end_date)
        self._start_date = _date_number(start_date)
        self._memory = {}

    def _load(self, market_code):
        if market_code in self._memory:
            return self._memory[market_code]
        data = None
        if os.path.exists(self._file):
            with h5py.File(self._file, "r") as h5:
                if market_code in h5:
                    data = h5[market_code][()]
        if data is None:
            data = self._api(market_code, self._start_date, self._end_date)
            if data is not None and len(data):
                data = np.asarray(data)
                os.makedirs(self._path, exist_ok=True)
                with h5py.File(self._file, "a") as h5:
                    if market_code not in h5:
                        h5.create_dataset(market_code, data=data)
        self._memory[market_code] = data
        return data

    def get_data(self, instrument, dt):
        data = self._load(instrument.market_code)
        if data is None or len(data) == 0:
            return None
        key = _date_number(dt)
        dates = data["trading_dt"]
        pos = int(np.searchsorted(dates, key))
        if pos < len(dates) and int(dates[pos]) == key:
            return data[pos]
        return None
