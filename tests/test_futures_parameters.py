"""FuturesTradingParametersStore: construction, the bundle-backed lookup with overrides, and the
range fetch with continuous contracts stitched from dominant contracts."""
import datetime
import logging
import types

import numpy as np
import pandas as pd
import pytest

import norvane.tessel.zered as varorize
from norvane.tessel.const import COMMISSION_TYPE
from norvane.tessel.data.base_data_source.storages import FuturesTradingParameters
from norvane.tessel.environment import Environment
from norvane.tessel.model.instrument import Instrument

UPGRADE = ("norvane already supports backtesting using futures historical margins and rates, please upgrade "
           "norvane.tessel.zered to version 2.11.12 and above to use it")
DENIED = ("ORVZered does not have permission to obtain futures histrical trading parameters, "
          "\"config.base.futures_time_series_trading_parameters\" will be disabled.")
SERVICE_FIELDS = ["long_margin_ratio", "short_margin_ratio", "commission_type", "open_commission",
                  "close_commission", "close_commission_today"]
DAYS = pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04"])


def service_table(code, days, commission_type="by_volume", base=0.1):
    index = pd.MultiIndex.from_tuples([(code, d) for d in days], names=["market_code", "trading_date"])
    n = len(days)
    types_ = commission_type if isinstance(commission_type, list) else [commission_type] * n
    return pd.DataFrame({
        "long_margin_ratio": [base + i / 100 for i in range(n)],
        "short_margin_ratio": [base + 0.5] * n,
        "commission_type": types_,
        "open_commission": [1e-4] * n,
        "close_commission": [2e-4] * n,
        "close_commission_today": [3e-4] * n,
    }, index=index)


class Service:
    def __init__(self, monkeypatch):
        self.calls = []
        self.dominant = None
        self.probe_error = None
        self.table = None  # replaces the range answer
        monkeypatch.setattr(varorize.futures, "_trading_parameters_source", self.parameters)
        monkeypatch.setattr(varorize.futures, "_dominant_source", self.get_dominant)

    def parameters(self, code, start_date=None, end_date=None, fields=None):
        self.calls.append(("get_trading_parameters", code, start_date, end_date, fields))
        if start_date is None:
            if self.probe_error:
                raise self.probe_error
            return service_table(code, DAYS[:1])
        if self.table is not None:
            return self.table
        return service_table(code, DAYS, base=0.1 if code.startswith("RB") else 0.2)

    def get_dominant(self, *args):
        self.calls.append(("get_dominant",) + args)
        return self.dominant


@pytest.fixture
def service(monkeypatch):
    return Service(monkeypatch)


@pytest.fixture
def env(monkeypatch):
    env = Environment()
    env.varorize_init = True
    for inst in (Instrument("RB2505", "RB"), Instrument("RB88", "RB"), Instrument("AU2506", "AU")):
        env._instruments[inst.market_code] = inst
    monkeypatch.setattr(Environment, "_env", env)
    return env


@pytest.fixture
def user_log(caplog):
    caplog.set_level(logging.DEBUG, logger="norvane.user_system_log")
    return lambda: [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "norvane.user_system_log"]


@pytest.mark.parametrize("version, warned", [("2.11.3", True), ("2.9.0", True), ("2.11.12", False), ("3.0.0", False)])
def test_version_warning_and_construction(quarrybin, env, service, user_log, monkeypatch, tmp_path, version, warned):
    monkeypatch.setattr(varorize, "__version__", version)
    store = quarrybin.FuturesTradingParametersStore(str(tmp_path), datetime.date(2024, 1, 4), {})
    assert user_log() == ([(logging.WARNING, UPGRADE)] if warned else [])
    assert store.init is True and store._env is env and store._custom_data == {}
    assert service.calls == [("get_trading_parameters", "A2401", None, None, None)]  # the probe
    bundle = store._auto_update_bundle_module
    assert bundle._file == str(tmp_path / "futures_trading_parameters.h5")
    assert bundle._start_date == 20100401 and bundle._end_date == 20240104
    assert bundle._fields == quarrybin.FUTURES_TRADING_PARAMETERS_FIELDS
    assert bundle._api == store.get_trading_parameters


def test_uninitialised_client_disables_the_store_without_calls(quarrybin, env, service, user_log):
    env.varorize_init = False
    store = quarrybin.FuturesTradingParametersStore("/nowhere", 20240104, {})
    assert store.init is False and service.calls == [] and user_log() == []
    assert not hasattr(store, "_auto_update_bundle_module") and not hasattr(store, "_custom_data")


def test_permission_denied_disables_the_store(quarrybin, env, service, user_log, monkeypatch):
    translated = []
    monkeypatch.setattr(quarrybin, "_", lambda text: translated.append(text) or "T:" + text)
    service.probe_error = varorize.errors.PermissionDenied("no")
    store = quarrybin.FuturesTradingParametersStore("/nowhere", 20240104, {})
    assert store.init is False and translated == [DENIED] and user_log() == [(logging.WARNING, "T:" + DENIED)]
    assert not hasattr(store, "_auto_update_bundle_module")
    service.probe_error = RuntimeError("other")
    with pytest.raises(RuntimeError, match="other"):
        quarrybin.FuturesTradingParametersStore("/nowhere", 20240104, {})


@pytest.mark.parametrize(
    "args, name, got",
    [(("/p", 1, None), "custom_future_info", "NoneType"), ((None, 1, {}), "auto_update_bundle_path", "NoneType"),
     (("/p", 1, types.MappingProxyType({})), "custom_future_info", "mappingproxy")],
)
def test_constructor_argument_types(quarrybin, env, service, args, name, got):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected \w+, got {got}\)$"):
        quarrybin.FuturesTradingParametersStore(*args)
    assert service.calls == []


def test_lookup_through_the_bundle_is_memoised(quarrybin, env, service, user_log, tmp_path, monkeypatch):
    store = quarrybin.FuturesTradingParametersStore(str(tmp_path), 20240104, {})
    rb = env.get_instrument("RB2505")
    got = store.get_futures_trading_parameters(rb, datetime.datetime(2024, 1, 3, 21, 0))
    assert got == FuturesTradingParameters(0.11, 0.6, COMMISSION_TYPE.BY_VOLUME, 1e-4, 2e-4, 3e-4)
    fetches = [c for c in service.calls if c[2] is not None]
    assert fetches == [("get_trading_parameters", "RB2505", 20100401, 20240104, SERVICE_FIELDS)]

    asked = []
    bundle = store._auto_update_bundle_module
    monkeypatch.setattr(bundle, "get_data", lambda i, dt: asked.append(dt) or type(bundle).get_data(bundle, i, dt))
    assert store.get_futures_trading_parameters(rb, datetime.datetime(2024, 1, 3, 21, 0)) is got  # memo
    assert asked == []

    translated = []
    monkeypatch.setattr(quarrybin, "_", lambda text: translated.append(text) or text)
    dt = datetime.datetime(2024, 1, 6)
    assert store.get_futures_trading_parameters(rb, dt) is None
    message = (f"RB2505's trading parameters are abnormal on {dt}, the lastst parameters will be used for "
               "calculations.\nPlease contract Altoria to repair")
    assert translated == [message] and user_log()[-1] == (logging.WARNING, message)


def bundle_record(commission_type=1.0):
    dtype = [("trading_dt", "<i8")] + [(f, "<f8") for f in
                                       ["long_margin_ratio", "short_margin_ratio", "commission_type",
                                        "open_commission_ratio", "close_commission_ratio",
                                        "close_commission_today_ratio"]]
    return np.array([(20240103, 0.1, 0.2, commission_type, 1e-4, 2e-4, 3e-4)], dtype)[0]


@pytest.mark.parametrize(
    "custom, code, stored, expected",
    [
        ({}, "RB2505", 1.0, {}),
        ({"RB2505": {"long_margin_ratio": 0.5}, "RB": {"long_margin_ratio": 0.9}}, "RB2505", 1.0,
         {"long_margin_ratio": 0.5}),
        ({"RB2505": {}, "RB": {"short_margin_ratio": 0.9}}, "RB2505", 0.0, {"short_margin_ratio": 0.9}),
        ({"RB": {"commission_type": COMMISSION_TYPE.BY_MONEY}}, "RB88", 1.0,
         {"commission_type": COMMISSION_TYPE.BY_MONEY}),
        ({"RB": {"commission_type": "anything else"}}, "RB2505", 0.0, {"commission_type": COMMISSION_TYPE.BY_VOLUME}),
        ({"AU": {"long_margin_ratio": 0.7}}, "RB2505", 0.0, {}),
    ],
)
def test_overrides(quarrybin, env, service, custom, code, stored, expected):
    store = quarrybin.FuturesTradingParametersStore("/nowhere", 20240104, custom)
    store._auto_update_bundle_module = types.SimpleNamespace(get_data=lambda i, dt: bundle_record(stored))
    got = store.get_futures_trading_parameters(env.get_instrument(code), datetime.date(2024, 1, 3))
    base = FuturesTradingParameters(0.1, 0.2, store.COMMISSION_TYPE_MAP[stored], 1e-4, 2e-4, 3e-4)
    assert got == base._replace(**expected)


def test_override_helpers(quarrybin, env, service):
    store = quarrybin.FuturesTradingParametersStore("/nowhere", 20240104, {})
    record = bundle_record()
    assert store._set_custom_info(record, {"commission_type": COMMISSION_TYPE.BY_MONEY}) is record
    assert record["commission_type"] == 0.0  # in place
    with pytest.raises(TypeError, match=r"^Argument 'custom_info' has incorrect type \(expected dict, got list\)$"):
        store._set_custom_info(record, [])
    with pytest.raises(ValueError):
        store._set_custom_info(record, {"no_such_field": 1})
    with pytest.raises(KeyError):
        store._to_namedtuple(bundle_record(2.0))
    assert store.COMMISSION_TYPE_MAP == {0: COMMISSION_TYPE.BY_MONEY, 1: COMMISSION_TYPE.BY_VOLUME}


def test_range_fetch_reshapes_the_service_table(quarrybin, env, service):
    store = quarrybin.FuturesTradingParametersStore("/nowhere", 20240104, {})
    service.calls.clear()
    service.table = service_table("RB2505", DAYS, ["by_volume", "by_money", "BY_VOLUME"])
    table = store.get_trading_parameters("RB2505", 20240102, 20240104)
    assert service.calls == [("get_trading_parameters", "RB2505", 20240102, 20240104, SERVICE_FIELDS)]
    assert table.index.names == ["market_code", "trading_date"]
    assert list(table.columns) == quarrybin.FUTURES_TRADING_PARAMETERS_FIELDS
    assert table["commission_type"].tolist() == [1.0, 0.0, 0.0]
    assert table["close_commission_today_ratio"].tolist() == [3e-4] * 3
    assert list(table.index) == [("RB2505", d) for d in DAYS]
    with pytest.raises(TypeError, match=r"^Argument 'market_code' has incorrect type"):
        store.get_trading_parameters(None, 20240102, 20240104)


@pytest.mark.parametrize(
    "dominant, fetched",
    [
        (["RB2405"] * 3, [("RB2405", 0, 2)]),
        (["RB2405", "RB2405", "RB2410"], [("RB2405", 0, 1), ("RB2410", 2, 2)]),
        (["RB2405", "RB2410", "RB2405"], [("RB2405", 0, 0), ("RB2410", 1, 1), ("RB2405", 2, 2)]),
    ],
)
def test_continuous_contracts_are_stitched_from_dominant_segments(quarrybin, env, service, dominant, fetched):
    store = quarrybin.FuturesTradingParametersStore("/nowhere", 20240104, {})
    service.calls.clear()
    service.dominant = pd.Series(dominant, index=DAYS)
    table = store.get_trading_parameters("RB88", 20240101, 20240110)
    assert service.calls == [("get_dominant", "RB", 20240101, 20240110)] + [
        ("get_trading_parameters", code, DAYS[a].date(), DAYS[b].date(), SERVICE_FIELDS) for code, a, b in fetched]
    assert len(table) == 3 * len(fetched) and set(table.index.get_level_values(0)) == {"RB88"}


@pytest.mark.parametrize("code, continuous", [("RB2505", False), ("RB88", True), ("A8801", True), ("A2408", False)])
def test_codes_with_88_take_the_continuous_path(quarrybin, env, service, code, continuous):
    env._instruments.setdefault(code, Instrument(code, "A"))
    store = quarrybin.FuturesTradingParametersStore("/nowhere", 20240104, {})
    service.calls.clear()
    table = store.get_trading_parameters(code, 20240101, 20240110)  # no dominant series: None
    assert (table is None) == continuous
    assert [c[0] for c in service.calls] == (["get_dominant"] if continuous else ["get_trading_parameters"])
