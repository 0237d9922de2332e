"""Data-service ticks: one trading day (~4,800 ticks) through the table path and the client path,
each against the same steps done the plain way (per-row numbering, a list of row tuples)."""
import importlib
import pathlib
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from common import faster_by, median_time, print_table  # noqa: E402

QUARRYBIN = "norvane.tessel.mod.mod_quant_data.data_sources.quarrybin"
CODE, DATE = "600000.SH", 20240102


def day_of_ticks(n=4800):
    """A trading day: a tick every ~3 s from 09:30 with sub-millisecond stamps, all tick columns."""
    import norvane.tessel.zered as varorize

    rng = np.random.default_rng(0)
    start = np.datetime64("2024-01-02T09:30:00", "ns")
    steps = np.cumsum(rng.integers(1, 6_000_000_000, n))
    columns = {"orig_time": pd.to_datetime(start + steps.astype("m8[ns]"))}
    for name in varorize.TICK_FIELDS[2:]:
        columns[name] = rng.uniform(1, 1e5, n)
    return pd.DataFrame(columns)


def plain_table_path(quarrybin, loader, varorize):
    df = varorize.get_price(CODE, DATE, DATE, "tick")
    if df is None:
        return None
    df = df.reset_index()
    df["date"] = df.orig_time.dt.date.apply(quarrybin.date_to_number)
    df["time"] = df.orig_time.dt.time.apply(quarrybin.time_to_number)
    if "open_interest" not in df.columns:
        df["open_interest"] = 0.0
    df = df[loader.FIELD_NAMES]
    return np.array([tuple(row) for row in df.values], dtype=loader.DTYPES)


def plain_client_path(loader, varorize):
    data = varorize.get_price(market_code=CODE, start_date=DATE, frequency="tick")
    if len(data) == 0:
        return None
    data = data[0][1]
    columns = [np.frombuffer(*data[name]) for name in loader.FIELD_NAMES]
    return np.array(list(zip(*columns)), dtype=loader.DTYPES)


def run():
    quarrybin = importlib.import_module(QUARRYBIN)
    import norvane.tessel.zered as varorize

    ticks = day_of_ticks()
    table = ticks.assign(market_code=CODE).set_index(["market_code", "orig_time"])
    raw = [(CODE, varorize._raw_columns(ticks))]
    saved = varorize._price_source
    # Prebuilt answers: the service's own cost stays out of both timings.
    varorize._price_source = lambda *args, **kwargs: raw if kwargs and not args else table
    try:
        loader = quarrybin.OrvdataTicksLoader()
        ours = loader.get_ticks_by_api(CODE, DATE)
        assert ours.tobytes() == plain_table_path(quarrybin, loader, varorize).tobytes()
        assert loader.get_data_by_client(CODE, DATE).tobytes() == plain_client_path(loader, varorize).tobytes()
        rows = [
            faster_by(median_time(lambda: loader.get_ticks_by_api(CODE, DATE), repeat=5),
                      median_time(lambda: plain_table_path(quarrybin, loader, varorize), repeat=5, number=3),
                      20, "table path, 4800 ticks", "apply + row tuples"),
            faster_by(median_time(lambda: loader.get_data_by_client(CODE, DATE), repeat=5),
                      median_time(lambda: plain_client_path(loader, varorize), repeat=5, number=3),
                      10, "client path, 4800 ticks", "row tuples"),
        ]
    finally:
        varorize._price_source = saved
    return rows


if __name__ == "__main__":
    print_table(run())
