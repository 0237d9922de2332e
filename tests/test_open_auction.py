"""OpenAuctionVolumeStore: disabled construction, the volume lookup through an attached bundle, and
the range fetch completed with every trading date."""
import types

import numpy as np
import pandas as pd
import pytest

import norvane.tessel.zered as varorize
from norvane.tessel.data.bundle import AutomaticUpdateBundle
from norvane.tessel.environment import Environment
from norvane.tessel.model.instrument import Instrument

CODE = "000001.SZ"
DAYS = pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05", "2024-01-08"])


def as_day(value):
    return pd.Timestamp(str(value)) if isinstance(value, int) else pd.Timestamp(value)


class Calendar:
    """The engine data source's trading calendar: a time's trading date is its calendar date."""

    def batch_get_trading_date(self, times):
        return pd.DatetimeIndex(times).normalize()

    def get_trading_dates(self, start, end):
        return DAYS[(DAYS >= as_day(start)) & (DAYS <= as_day(end))]


@pytest.fixture
def env(monkeypatch):
    env = Environment()
    env.data_proxy = types.SimpleNamespace(_data_source=Calendar())
    env._instruments[CODE] = Instrument(CODE)
    monkeypatch.setattr(Environment, "_env", env)
    return env


def auction_table(rows, fields=("volume",)):
    """A service answer: rows of (day index into DAYS, volume), indexed by (market_code, orig_time)."""
    index = pd.MultiIndex.from_tuples(
        [(CODE, DAYS[d] + pd.Timedelta("09:25:00")) for d, _ in rows], names=["market_code", "orig_time"])
    data = {f: [float(v) * (k + 1) for _, v in rows] for k, f in enumerate(fields)}
    return pd.DataFrame(data, index=index)


@pytest.fixture
def service(monkeypatch):
    calls = []
    state = types.SimpleNamespace(answer=None, calls=calls)

    def source(*args):
        calls.append(args)
        return state.answer

    monkeypatch.setattr(varorize, "_auction_source", source)
    return state


def test_fresh_store_is_disabled_and_silent(quarrybin, service):
    store = quarrybin.OpenAuctionVolumeStore("/nowhere", 20240131)
    assert store.init is False and service.calls == []
    with pytest.raises(AttributeError):
        store.get_open_auction_volume(Instrument(CODE), pd.Timestamp("2024-01-02 09:25"))


@pytest.mark.parametrize(
    "answer, volume",
    [(None, 0), (np.zeros(0, [("volume", "<f8")]), 0), (np.array([(1234.0,)], [("volume", "<f8")])[0], 1234.0)],
)
def test_volume_lookup_through_an_attached_bundle(quarrybin, answer, volume):
    store = quarrybin.OpenAuctionVolumeStore("/nowhere", 20240131)
    asked = []
    store._auto_update_bundle_module = types.SimpleNamespace(get_data=lambda i, dt: asked.append((i, dt)) or answer)
    assert store.get_open_auction_volume("inst", "dt") == volume and asked == [("inst", "dt")]


def test_volume_lookup_with_the_engine_bundle(quarrybin, env, service, tmp_path):
    service.answer = auction_table([(0, 100), (1, 200), (2, 300), (3, 400), (4, 500)])
    store = quarrybin.OpenAuctionVolumeStore(str(tmp_path), 20240108)
    make = lambda: AutomaticUpdateBundle(path=str(tmp_path), filename="open_auction_volume.h5",
                                         api=store.get_open_auction_info, fields=["volume"], end_date=20240108)
    store._auto_update_bundle_module = make()
    inst = env.get_instrument(CODE)
    assert store.get_open_auction_volume(inst, pd.Timestamp("2024-01-03 09:25")) == 200.0
    assert store.get_open_auction_volume(inst, pd.Timestamp("2024-01-06 09:25")) == 0  # no trading
    assert (tmp_path / "open_auction_volume.h5").exists() and len(service.calls) == 1
    store._auto_update_bundle_module = make()  # a new bundle reads the file, not the service
    assert store.get_open_auction_volume(inst, pd.Timestamp("2024-01-08 09:25")) == 500.0
    assert len(service.calls) == 1


def test_complete_answer_is_returned_unchanged(quarrybin, env, service):
    service.answer = auction_table([(4, 5), (0, 1), (2, 3), (1, 2), (3, 4)])  # service order kept
    store = quarrybin.OpenAuctionVolumeStore("/nowhere", 20240131)
    assert store.get_open_auction_info(CODE, 20240102, 20240108, ["volume"]) is service.answer
    assert service.calls == [(CODE, 20240102, 20240108, ["volume"])]


@pytest.mark.parametrize(
    "rows, added",
    [
        ([(3, 4), (0, 1), (2, 3)], [1, 4]),  # two trading dates missing
        ([(2, 3), (0, 1), (1, 2), (2, 3), (3, 4), (4, 5)], []),  # a doubled row, nothing missing
        ([(0, 1), (0, 1), (2, 3)], [1, 3, 4]),  # both
    ],
)
def test_missing_trading_dates_are_completed_at_nine(quarrybin, env, service, rows, added):
    service.answer = auction_table(rows, fields=("volume", "amount"))
    store = quarrybin.OpenAuctionVolumeStore("/nowhere", 20240131)
    result = store.get_open_auction_info(CODE, 20240102, 20240108, ["volume", "amount"])
    expected_rows = sorted(
        [(CODE, DAYS[d] + pd.Timedelta("09:25:00"), float(v), 2.0 * v) for d, v in rows]
        + [(CODE, DAYS[d] + pd.Timedelta("09:00:00"), 0.0, 0.0) for d in added]
    )
    assert result.index.names == ["market_code", "orig_time"] and list(result.columns) == ["volume", "amount"]
    assert [(c, t, v, a) for (c, t), v, a in zip(result.index, result["volume"], result["amount"])] == expected_rows


@pytest.mark.parametrize("answer", [None, "empty"])
def test_no_auction_records_give_none(quarrybin, env, service, answer):
    service.answer = auction_table([]) if answer == "empty" else None
    store = quarrybin.OpenAuctionVolumeStore("/nowhere", 20240131)
    assert store.get_open_auction_info(CODE, 20240102, 20240108, ["volume"]) is None


@pytest.mark.parametrize(
    "args, name, got",
    [
        ((None, 1, 2, ["volume"]), "market_code", "NoneType"),
        ((CODE, 1, 2, ("volume",)), "fields", "tuple"),
        ((CODE, 1, 2, None), "fields", "NoneType"),
    ],
)
def test_argument_types(quarrybin, service, args, name, got):
    store = quarrybin.OpenAuctionVolumeStore("/nowhere", 20240131)
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected \w+, got {got}\)$"):
        store.get_open_auction_info(*args)
    assert service.calls == []


def test_engine_bundle_asks_only_for_dates_after_what_it_keeps(quarrybin, env, service, tmp_path):
    store = quarrybin.OpenAuctionVolumeStore(str(tmp_path), 20240108)
    inst = env.get_instrument(CODE)

    def bundle(end):
        return AutomaticUpdateBundle(path=str(tmp_path), filename="open_auction_volume.h5",
                                     api=store.get_open_auction_info, fields=["volume"], end_date=end)

    service.answer = auction_table([(0, 100), (1, 200), (2, 300)])
    store._auto_update_bundle_module = bundle(20240104)
    assert store.get_open_auction_volume(inst, pd.Timestamp("2024-01-04 09:25")) == 300.0
    service.answer = auction_table([(3, 400), (4, 500)])
    store._auto_update_bundle_module = bundle(20240108)
    assert store.get_open_auction_volume(inst, pd.Timestamp("2024-01-02 09:25")) == 100.0
    assert store.get_open_auction_volume(inst, pd.Timestamp("2024-01-08 09:25")) == 500.0
    assert [call[1:3] for call in service.calls] == [(20050104, 20240104), (20240105, 20240108)]
