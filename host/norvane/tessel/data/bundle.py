"""Stand-in engine bundle: per-instrument records kept in one HDF5 file, filled through `api`.

The bundle asks `api(market_code, start_date, end_date, fields)` (dates as YYYYMMDD numbers,
`fields` a list) for a table indexed by (code, time stamp) with the columns `fields`, or `None`.
It keeps one record per row, `trading_dt` (the YYYYMMDD date of the row's time stamp) and the
fields as floats, in a dataset named by the code, and notes through which date it asked, so a
bundle with a later end date asks only for the dates after that. `get_data(instrument, dt)`
answers a copy of the record of the date of `dt`, or `None`.

The file is rewritten whole into a temporary file and renamed (a crash leaves the old file), under
a file lock beside it, so several processes may share it.
"""
import datetime
import os
import tempfile

import h5py
import numpy as np
import pandas as pd
from filelock import FileLock


def _date_number(value):
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, np.datetime64):
        value = pd.Timestamp(value)
    return value.year * 10000 + value.month * 100 + value.day


def _next_day(number):
    day = datetime.date(number // 10000, number // 100 % 100, number % 100) + datetime.timedelta(days=1)
    return _date_number(day)


def _dataset_name(market_code):
    return market_code.replace("/", "%2F")


class AutomaticUpdateBundle:
    def __init__(self, path, filename, api, fields, end_date, start_date=20050104):
        self._path = path
        self._file = os.path.join(path, filename)
        self._api = api
        self._fields = list(fields)
        self._end_date = _date_number(end_date)
        self._start_date = _date_number(start_date)
        self._dtype = np.dtype([("trading_dt", "<i8")] + [(f, "<f8") for f in self._fields])
        self._memory = {}

    def _records(self, answer):
        """The api's answer as records sorted by date (the answer's order kept within a date)."""
        if answer is None or len(answer) == 0:
            return np.zeros(0, self._dtype)
        if isinstance(answer, pd.Series):
            answer = answer.to_frame()
        out = np.zeros(len(answer), self._dtype)
        if isinstance(answer, pd.DataFrame):
            stamps = pd.DatetimeIndex(answer.index.get_level_values(-1))
            if stamps.tz is not None:
                stamps = stamps.tz_localize(None)
            out["trading_dt"] = stamps.year * 10000 + stamps.month * 100 + stamps.day
            for f in self._fields:
                out[f] = answer[f].to_numpy(dtype="float64")
        else:
            arr = np.asarray(answer)
            for name in self._dtype.names:
                out[name] = arr[name]
        return out[np.argsort(out["trading_dt"], kind="stable")]

    def _read(self, name):
        if not os.path.exists(self._file):
            return None, None
        with h5py.File(self._file, "r") as h5:
            if name not in h5:
                return None, None
            ds = h5[name]
            return ds[()], int(ds.attrs["through"])

    def _write(self, name, records, through):
        os.makedirs(self._path, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=self._path, suffix=".tmp")
        os.close(fd)
        try:
            with h5py.File(tmp, "w") as new:
                if os.path.exists(self._file):
                    with h5py.File(self._file, "r") as old:
                        for other in old:
                            if other != name:
                                old.copy(old[other], new, name=other)
                ds = new.create_dataset(name, data=records, maxshape=(None,))
                ds.attrs["through"] = through
            os.replace(tmp, self._file)
        except BaseException:
            os.unlink(tmp)
            raise

    def _load(self, market_code):
        name = _dataset_name(market_code)
        with FileLock(self._file + ".lock"):
            stored, through = self._read(name)
            if stored is None:
                start, stored, through = self._start_date, np.zeros(0, self._dtype), None
            else:
                start = _next_day(through)
            if through is None or through < self._end_date:
                if start <= self._end_date:
                    fresh = self._records(self._api(market_code, start, self._end_date, list(self._fields)))
                    if len(stored):
                        fresh = fresh[fresh["trading_dt"] > stored["trading_dt"][-1]]
                    stored = np.concatenate([stored, fresh])
                self._write(name, stored, self._end_date)
        self._memory[market_code] = stored
        return stored

    def get_data(self, instrument, dt):
        data = self._memory.get(instrument.market_code)
        if data is None:
            data = self._load(instrument.market_code)
        if len(data) == 0:
            return None
        key = _date_number(dt)
        dates = data["trading_dt"]
        pos = int(np.searchsorted(dates, key))
        if pos < len(dates) and int(dates[pos]) == key:
            return data[pos : pos + 1].copy()[0]  # a copy: callers may write into the record
        return None
