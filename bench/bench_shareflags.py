"""Stock-status queries: day flags over a six-year calendar and share capital of 50 codes x 250 days,
ours against a plain Python reading of the same steps, on the same scripted gateway answers."""
import datetime
import importlib
import pathlib
import statistics
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from common import at_most, faster_by, median_time, print_table  # noqa: E402

CODE = "600000.SH"


def python_is_suspended(gid, market_code, start_date="2020-01-01", end_date=None):
    if end_date is None:
        end_date = datetime.date.today().isoformat()
    calendar, _, _ = gid.trade_calendar(market=["SH"], start_time=start_date, end_time=end_date)
    frame = pd.DataFrame(data=False, columns=[market_code], index=pd.to_datetime(calendar["trade_days"]))
    payload, _, _ = gid.get_suspended_days([market_code], start_time=start_date, end_time=end_date)
    if payload.empty:
        return frame
    for _, value in payload["trade_date"].items():
        frame.loc[pd.to_datetime(value, unit="ns").normalize(), market_code] = True
    return frame.sort_index()


def python_get_shares(gid, market_code, start_date, end_date, fields=None, expect_df=True):
    codes = market_code if isinstance(market_code, (list, tuple)) else [market_code]
    start, end = start_date.strftime("%Y-%m-%d"), end_date.strftime("%Y-%m-%d")
    payload, _, _ = gid.get_share_daily(market_code=codes, start_time=start, end_time=end)
    if payload is None or payload.empty:
        return None
    present = set(payload["market_code"])
    missing = [c for c in codes if c not in present]
    if missing:
        added = pd.DataFrame({"market_code": missing, "trade_date": payload["trade_date"].iloc[-1]})
        payload = pd.concat([payload, added])
    frame = payload.set_index(["trade_date", "market_code"]).sort_index()
    frame = frame.unstack(level=1).dropna(how="all")
    frame = frame.stack(level=1) if int(pd.__version__.split(".")[0]) >= 3 else frame.stack(level=1, future_stack=True)
    frame.index = frame.index.set_names(["trade_date", "market_code"])
    return frame.reorder_levels(["market_code", "trade_date"]).sort_index()


def interleaved(ours, base, rounds=9):
    times = {ours: [], base: []}
    for _ in range(rounds):
        for fn in (ours, base):
            times[fn].append(median_time(fn, repeat=1, number=2))
    return statistics.median(times[ours]), statistics.median(times[base])


def run():
    sf = importlib.import_module("norvane.tessel.zered.services.shareflags")
    from norvane import gid

    gid.reset()
    days = pd.bdate_range("2018-01-01", "2023-12-31")
    rng = np.random.default_rng(6)
    flagged = list(rng.choice(days, 190, replace=False)) + list(
        pd.date_range("2018-01-06", periods=10, freq="7D"))  # ten Saturdays: rows to add
    stamps = [pd.Timestamp(d).value + int(rng.integers(0, 8 * 3600)) * 10**9 for d in flagged]
    gid.responses["trade_calendar"] = ({"trade_days": days.strftime("%Y-%m-%d").tolist()}, 0, "ok")
    gid.responses["get_suspended_days"] = (pd.DataFrame({"trade_date": stamps}), 0, "ok")
    args = (CODE, "2018-01-01", "2023-12-31")
    pd.testing.assert_frame_equal(sf.is_suspended(*args), python_is_suspended(gid, *args))
    ours = median_time(lambda: sf.is_suspended(*args), repeat=5)
    base = median_time(lambda: python_is_suspended(gid, *args), repeat=5)
    rows = [faster_by(ours, base, 10, "is_suspended: 6-year calendar, 200 flagged days", "Python steps")]

    codes = [f"{600000 + i:06d}.SH" for i in range(50)]
    share_days = pd.bdate_range("2023-01-02", periods=250).strftime("%Y-%m-%d")
    payload = pd.DataFrame([(d, c) for d in share_days for c in codes[:-1]],  # one code without rows
                           columns=["trade_date", "market_code"])
    for i, column in enumerate(["tot_share", "float_a_share", "tot_a_share"]):
        payload[column] = rng.random(len(payload)) * 1e9 + i
    gid.responses["get_share_daily"] = lambda *a, **k: (payload.copy(), 0, "ok")
    span = (datetime.date(2023, 1, 2), datetime.date(2023, 12, 15))
    pd.testing.assert_frame_equal(sf.get_shares(codes, *span), python_get_shares(gid, codes, *span))
    # Both run the same pandas reshaping, so the times are close: rounds alternate between the two
    # so that load from other processes falls on both alike; 1.1x allows for what remains.
    ours, base = interleaved(lambda: sf.get_shares(codes, *span), lambda: python_get_shares(gid, codes, *span))
    rows.append(at_most(ours, base, 1.1, "get_shares: 50 codes x 250 days", "Python steps"))
    gid.reset()
    return rows


if __name__ == "__main__":
    print_table(run())
