"""OrvdataTicksLoader: ticks of one date from the data service, raw columns or table, and the
one-way switch from the first to the second."""
import datetime
import logging

import numpy as np
import pandas as pd
import pytest

import norvane.tessel.zered as varorize
from support.tick_files import plain_table_path

SWITCH = "The underlying layer of orvdatac has changed and the data will be obtained through api"
VALUE_FIELDS = varorize.TICK_FIELDS[2:]


def tick_table(stamps, seed=0, open_interest=True):
    """A service tick table: `orig_time` plus every value column (random values)."""
    rng = np.random.default_rng(seed)
    table = pd.DataFrame({"orig_time": stamps})
    for name in VALUE_FIELDS:
        if name == "open_interest" and not open_interest:
            continue
        table[name] = rng.integers(0, 100000, len(table)) / 8.0
    return table


class Service:
    """Scripts the data service: `ticks` answers both call forms; `raw` overrides the client
    form's answer and `table` the table form's."""

    def __init__(self, monkeypatch):
        self.ticks = None
        self.raw = None
        self.table = None
        self.calls = []
        monkeypatch.setattr(varorize, "_tick_source", lambda code, date: self.ticks)
        monkeypatch.setattr(varorize, "_price_source", self.answer)

    def answer(self, *args, **kwargs):
        form = "client" if kwargs and not args else "table"
        self.calls.append(form)
        if form == "client" and self.raw is not None:
            if isinstance(self.raw, BaseException) or (isinstance(self.raw, type) and issubclass(self.raw, BaseException)):
                raise self.raw
            return self.raw
        if form == "table" and self.table is not None:
            return self.table
        return varorize._shaped_price(*args, **kwargs)


@pytest.fixture
def service(monkeypatch):
    return Service(monkeypatch)


@pytest.fixture
def switch_log(caplog):
    caplog.set_level(logging.DEBUG, logger="norvane.system_log")

    def messages():
        return [r.getMessage() for r in caplog.records if r.getMessage() == SWITCH]

    return messages


STAMPS = pd.to_datetime(["2024-01-02 09:30:00.500", "2024-01-02 09:29:59.123999", "2024-01-02 14:59:59.999999"])


def test_constructor_logs_at_debug(quarrybin, caplog):
    caplog.set_level(logging.DEBUG, logger="norvane.system_log")
    quarrybin.OrvdataTicksLoader()
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.DEBUG, "OrvdataTicksLoader initiated")]


def test_layout_equals_the_hdf5_tick_layout(quarrybin):
    cls = quarrybin.OrvdataTicksLoader
    assert cls.DISH_COUNT == 5 and cls.FIELD_NAMES == varorize.TICK_FIELDS
    assert cls.DTYPES == [("date", "<u4"), ("time", "<u4")] + [(n, "<f8") for n in VALUE_FIELDS]


def test_client_path_reads_the_raw_columns_without_switching(quarrybin, service, switch_log):
    service.ticks = tick_table(STAMPS)
    loader = quarrybin.OrvdataTicksLoader()
    ticks = loader.get_ticks_by_date("600000.SH", 20240102)
    assert service.calls == ["client"] and switch_log() == [] and "get_ticks_by_date" not in vars(loader)
    assert ticks.dtype == np.dtype(loader.DTYPES)
    assert ticks["date"].tolist() == [20240102] * 3
    assert ticks["time"].tolist() == [93000500, 92959123, 145959999]  # service order, ms truncated
    for name in VALUE_FIELDS:
        np.testing.assert_array_equal(ticks[name], service.ticks[name].to_numpy())


@pytest.mark.parametrize(
    "types",
    [
        {"date": "<u4", "time": "<u4", "rest": "<f8"},
        {"date": ">i8", "time": ">f8", "rest": ">f4"},  # swapped byte order
        {"date": "<i4", "time": "<f8", "rest": "<u2"},
        {"date": "<u8", "time": "<f4", "rest": "<i1"},  # negative values wrap in the unsigned fields
    ],
)
def test_client_path_converts_every_column_type_as_the_row_tuples_do(quarrybin, service, types):
    rng = np.random.default_rng(7)
    n = 50
    columns = {}
    for name in varorize.TICK_FIELDS:
        t = np.dtype(types.get(name, types["rest"]))
        if t.kind == "f":
            values = rng.uniform(-1e3, 2e8, n).astype(t)
        else:
            info = np.iinfo(t)
            values = rng.integers(max(info.min, -1000), min(info.max, 2**31), n, endpoint=False).astype(t)
        columns[name] = (values.tobytes(), t.str)
    service.raw = [("X", columns)]
    loader = quarrybin.OrvdataTicksLoader()
    ticks = loader.get_data_by_client("X", 20240102)
    cols = [np.frombuffer(*columns[name]) for name in loader.FIELD_NAMES]
    with np.errstate(all="ignore"):
        expected = np.array(list(zip(*cols)), dtype=loader.DTYPES)
    assert ticks.tobytes() == expected.tobytes()


def test_empty_raw_answer_gives_none_and_keeps_the_client_path(quarrybin, service, switch_log):
    loader = quarrybin.OrvdataTicksLoader()
    assert loader.get_ticks_by_date("X", 20240102) is None  # no ticks: []
    service.ticks = tick_table(STAMPS)
    assert len(loader.get_ticks_by_date("X", 20240102)) == 3
    assert service.calls == ["client", "client"] and switch_log() == []


@pytest.mark.parametrize(
    "raw",
    [
        None,  # len(None) fails: not an absence of data
        [("X", {"date": (b"", "<u4")})],  # fields missing
        [{"date": 1}],  # another nesting
        "columns of different lengths",
        RuntimeError("service down"),
    ],
)
def test_first_client_failure_switches_this_loader_for_good(quarrybin, service, switch_log, raw):
    service.ticks = tick_table(STAMPS, open_interest=False)
    if raw == "columns of different lengths":
        columns = varorize._raw_columns(tick_table(STAMPS))
        columns["a5_v"] = (columns["a5_v"][0][:8], "<f8")  # one value short
        raw = [("X", columns)]
    service.raw = raw
    loader, other = quarrybin.OrvdataTicksLoader(), quarrybin.OrvdataTicksLoader()

    first = loader.get_ticks_by_date("X", 20240102)
    second = loader.get_ticks_by_date("X", 20240102)
    assert service.calls == ["client", "table", "table"]
    assert switch_log() == [SWITCH]
    assert first.tobytes() == second.tobytes() and len(first) == 3 and not first["open_interest"].any()
    assert loader.get_ticks_by_date == loader.get_ticks_by_api

    service.raw = None
    service.ticks = tick_table(STAMPS)
    other.get_ticks_by_date("X", 20240102)  # another loader starts on the client path
    assert service.calls[-1] == "client" and switch_log() == [SWITCH]


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupts_propagate_and_do_not_switch(quarrybin, service, switch_log, interrupt):
    service.ticks = tick_table(STAMPS)
    service.raw = interrupt
    loader = quarrybin.OrvdataTicksLoader()
    with pytest.raises(interrupt):
        loader.get_ticks_by_date("X", 20240102)
    assert switch_log() == [] and "get_ticks_by_date" not in vars(loader)
    service.raw = None
    assert len(loader.get_ticks_by_date("X", 20240102)) == 3
    assert service.calls == ["client", "client"]


def test_table_path_errors_reach_the_caller_and_the_switch_stays(quarrybin, service, switch_log):
    service.raw = None
    service.ticks = pd.DataFrame({"orig_time": STAMPS, "last_price": 1.0})  # quote columns missing
    loader = quarrybin.OrvdataTicksLoader()
    # The raw layer lacks fields too: the loader switches, and the table path's KeyError passes.
    with pytest.raises(KeyError, match=r"not in index"):
        loader.get_ticks_by_date("X", 20240102)
    assert switch_log() == [SWITCH] and loader.get_ticks_by_date == loader.get_ticks_by_api
    service.ticks = None
    assert loader.get_ticks_by_date("X", 20240102) is None  # table path: None for no data
    assert service.calls == ["client", "table", "table"]


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("tz", [None, "Asia/Shanghai", "America/New_York"])
def test_table_path_matches_the_per_row_numbering(quarrybin, service, unit, tz):
    rng = np.random.default_rng(3)
    base = np.datetime64("2024-03-09T20:00:00", "ns")  # crosses New York's DST change in UTC terms
    offsets = rng.integers(0, 2 * 86400 * 10**9, 400)
    stamps = pd.Series(pd.to_datetime(base + offsets.astype("m8[ns]"))).dt.as_unit(unit)
    if tz:
        stamps = stamps.dt.tz_localize("UTC").dt.tz_convert(tz)
    service.ticks = tick_table(stamps, seed=4)
    loader = quarrybin.OrvdataTicksLoader()
    ticks = loader.get_ticks_by_api("X", 20240102)
    expected = plain_table_path(quarrybin, loader, varorize.get_price("X", 20240102, 20240102, "tick"))
    assert ticks.dtype == expected.dtype and ticks.tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    "stamp, date, time",
    [
        ("2024-01-02 09:30:00.500", 20240102, 93000500),
        ("2024-01-02 09:30:00.123999999", 20240102, 93000123),  # fraction of a millisecond dropped
        ("1969-12-31 23:59:59.999", 19691231, 235959999),  # before the epoch
        ("2024-02-29 00:00:00", 20240229, 0),
    ],
)
def test_table_path_date_and_time_numbers(quarrybin, service, stamp, date, time):
    service.ticks = tick_table(pd.to_datetime([stamp]), open_interest=False)
    ticks = quarrybin.OrvdataTicksLoader().get_ticks_by_api("X", 20240102)
    assert (int(ticks["date"][0]), int(ticks["time"][0]), float(ticks["open_interest"][0])) == (date, time, 0.0)


def test_table_path_with_time_stamps_as_objects(quarrybin, service):
    """Non-datetime64 columns take the per-row route and give the same numbers."""
    stamps = pd.Series([datetime.datetime(2024, 1, 2, 9, 30, 0, 500999), datetime.datetime(2024, 1, 2, 11, 0)],
                       dtype=object)
    service.ticks = tick_table(stamps)
    ticks = quarrybin.OrvdataTicksLoader().get_ticks_by_api("X", 20240102)
    assert ticks["time"].tolist() == [93000500, 110000000] and ticks["date"].tolist() == [20240102] * 2


def test_table_path_empty_and_invalid_tables(quarrybin, service):
    loader = quarrybin.OrvdataTicksLoader()
    service.table = tick_table(pd.to_datetime([])).set_index("orig_time")
    empty = loader.get_ticks_by_api("X", 20240102)
    assert len(empty) == 0 and empty.dtype == np.dtype(loader.DTYPES)

    service.table = pd.DataFrame({"when": STAMPS, "last_price": 1.0})
    with pytest.raises(AttributeError):
        loader.get_ticks_by_api("X", 20240102)  # no orig_time after reset_index

    service.table = None
    service.ticks = tick_table(pd.to_datetime(["2024-01-02 09:30", None]))
    with pytest.raises(ValueError, match=r"missing time stamp \(NaT\) at row 1"):
        loader.get_ticks_by_api("X", 20240102)


def _with_text_column(t):
    return t.assign(symbol="PF").set_index("orig_time")


@pytest.mark.parametrize(
    "shape",
    [
        lambda t: t.set_index("orig_time"),  # stamps as the only index level
        lambda t: t,  # stamps as a column beside a default (unnamed) index
        lambda t: t.assign(market_code="X").set_index(["market_code", "orig_time"]).iloc[::-1],
        lambda t: t.astype({"volume": "int64", "a1": "float32", "b1_v": "uint16"}).set_index("orig_time"),
        _with_text_column,  # a text column among the values
        lambda t: pd.concat([t.set_index("orig_time"), t.set_index("orig_time")[["a1"]]], axis=1),  # "a1" twice
        lambda t: t.set_index("orig_time").drop(columns="b5_v"),  # a missing column
    ],
)
def test_table_path_reads_every_table_shape_like_the_row_tuples(quarrybin, service, shape):
    stamps = pd.Series(pd.to_datetime("2024-01-02 09:30") + pd.to_timedelta(np.arange(40) * 2999, unit="ms"))
    service.table = shape(tick_table(stamps, seed=5))
    loader = quarrybin.OrvdataTicksLoader()
    try:
        expected = plain_table_path(quarrybin, loader, service.table)
    except (ValueError, KeyError) as error:
        with pytest.raises(type(error), match="not in index" if isinstance(error, KeyError) else None):
            loader.get_ticks_by_api("X", 20240102)
        return
    assert loader.get_ticks_by_api("X", 20240102).tobytes() == expected.tobytes()


def test_concurrent_loads_agree(quarrybin, service):
    """Both paths copy with the GIL released; threads loading at once get the serial answers."""
    import threading

    stamps = pd.Series(pd.to_datetime("2024-01-02 09:30") + pd.to_timedelta(np.arange(3000) * 3001, unit="ms"))
    service.ticks = tick_table(stamps, seed=9)
    loader = quarrybin.OrvdataTicksLoader()
    expected = {"client": loader.get_data_by_client("X", 20240102).tobytes(),
                "table": loader.get_ticks_by_api("X", 20240102).tobytes()}
    barrier, results = threading.Barrier(4), []

    def work(i):
        barrier.wait()
        for _ in range(5):
            if i % 2:
                results.append(("client", loader.get_data_by_client("X", 20240102).tobytes()))
            else:
                results.append(("table", loader.get_ticks_by_api("X", 20240102).tobytes()))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 20 and all(data == expected[path] for path, data in results)
