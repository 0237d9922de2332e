"""Fakes for the live bridge's tests: SDK callback objects, the engine configuration and environment,
and a fresh module state per test.

Use the `bridge` fixture (import it into a test module: `from support.bridge import bridge`); it
empties the module's containers, binds a fresh event queue, installs an engine environment and
restores everything afterwards. SDK objects are `SdkObject`s: plain attribute bags, built by the
factories below with realistic defaults that any keyword overrides.
"""
import importlib
import types

import pytest
from numpy_ringbuffer import RingBuffer

from support import PULSEBRIDGE

# An attribute left out of an SDK object or configuration (reading it raises AttributeError).
MISSING = object()

CONTAINERS = ("vanta_params", "history_bar", "history_tick", "orders_dict", "algo_parent_orders",
              "algo_child_orders", "algo_child_trades")

# SDK timestamps are YYYYMMDDHHMMSSmmm integers: divided by 1000 they read YYYYMMDDHHMMSS.mmm.
T0 = 20240102093000500


class SdkObject(types.SimpleNamespace):
    """An SDK callback object: attributes only."""


def sdk(**attrs):
    return SdkObject(**{k: v for k, v in attrs.items() if v is not MISSING})


def snapshot(security_id="600000", market_type=1, orig_time=T0, **overrides):
    fields = dict(
        security_id=security_id, market_type=market_type, orig_time=orig_time,
        open_price=10.0, close_price=10.2, high_price=10.5, low_price=9.9,
        total_value_trade=1.5e7, total_volume_trade=1_500_000, pre_close_price=10.1,
        ask_volume=[100, 200, 300], ask_price=[10.21, 10.22, 10.23],
        bid_volume=[400, 500, 600], bid_price=[10.19, 10.18, 10.17],
        high_limited=11.11, last_price=10.2, low_limited=9.09, open_interest=0,
        prev_settlement=0.0, iopv=0.0, trading_phase_code="T0",
    )
    fields.update(overrides)
    return sdk(**fields)


def bar(security_id="600000", market_type=1, end_time=20240102093100000, **overrides):
    fields = dict(
        security_id=security_id, market_type=market_type, end_time=end_time,
        open=10.0, close=10.1, high=10.2, low=9.9, amount=1.0e6, volume=100_000, prev_close=9.95,
    )
    fields.update(overrides)
    return sdk(**fields)


def tick_order(security_id="000001", market_type=2, order_time=T0, **overrides):
    fields = dict(
        security_id=security_id, market_type=market_type, order_time=order_time,
        biz_index=17, side=ord("1"), order_price=12.5, order_volume=300, order_type=ord("2"), orig_order_no=9001,
    )
    fields.update(overrides)
    return sdk(**fields)


def tick_trade(security_id="000001", market_type=2, trade_time=T0, **overrides):
    fields = dict(
        security_id=security_id, market_type=market_type, trade_time=trade_time,
        biz_index=18, bid_appl_seq_num=120, offer_appl_seq_num=110, trade_price=12.5, trade_volume=200,
        value_trade=2500.0, trade_type=ord("F"),
    )
    fields.update(overrides)
    return sdk(**fields)


def login_res(fund_account_id="1001", error_code=0, client_seq_id=7, error_msg="", **overrides):
    return sdk(fund_account_id=fund_account_id, error_code=error_code, client_seq_id=client_seq_id,
               error_msg=error_msg, **overrides)


def make_config(accounts=None, md_type=MISSING, order_way=MISSING, algo_account=MISSING,
                trading_calendar=MISSING, **extra):
    """The engine configuration: `config.base` holds only the attributes given (MISSING leaves one out;
    `accounts=MISSING` leaves out the required one)."""
    base = dict(accounts={} if accounts is None else accounts, md_type=md_type, order_way=order_way,
                algo_account=algo_account, trading_calendar=trading_calendar, **extra)
    return types.SimpleNamespace(base=sdk(**base))


class Bridge:
    """The module under test with helpers over its state."""

    def __init__(self, pb, env):
        self.pb = pb
        self.env = env

    def events(self):
        """Every event queued so far, oldest first."""
        return list(self.pb.event_queue)

    def event_types(self):
        return [e.event_type for e in self.events()]

    def strategy(self, config=None, set_timer=True):
        """A VantaStrategy whose `set_timer` is recorded in `strategy.timer_calls` instead of arming
        real timers (pass set_timer=False to keep the class's own)."""
        s = self.pb.VantaStrategy(make_config() if config is None else config)
        if set_timer:
            s.timer_calls = []
            s.set_timer = lambda: s.timer_calls.append(list(s.context.calls))
        return s

    def set_universe(self, codes):
        self.env.set_universe(codes)


@pytest.fixture
def bridge():
    pb = importlib.import_module(PULSEBRIDGE)
    from norvane.tessel.environment import DataProxy, Environment
    from norvane.tessel.model.instrument import Instrument

    saved_queue = pb.event_queue
    saved_env = Environment.get_instance()
    for name in CONTAINERS:
        getattr(pb, name).clear()
    pb.event_queue = RingBuffer(capacity=1000000, dtype=object)
    env = Environment()
    env.data_proxy = DataProxy({code: Instrument(code) for code in ("600000.SH", "000001.SZ")})
    Environment.set_instance(env)
    try:
        yield Bridge(pb, env)
    finally:
        pb.event_queue = saved_queue
        Environment.set_instance(saved_env)
        for name in CONTAINERS:
            getattr(pb, name).clear()
