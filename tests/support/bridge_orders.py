"""Fakes for the live bridge's order, algo and timer callbacks: SDK reports, a recording SDK
context, a settable clock, and a fixture giving a strategy over fresh module containers."""
import datetime as _dt
import importlib
from types import SimpleNamespace

import numpy
import pytest

from norvane.tessel.const import ORDER_STATUS, SIDE
from norvane.tessel.environment import Environment
from norvane.tessel.model.order import Order
from support import PULSEBRIDGE

DAY_CONTAINERS = (
    "orders_dict",
    "history_bar",
    "history_tick",
    "algo_parent_orders",
    "algo_child_orders",
    "algo_child_trades",
)


def ensure_containers(pb):
    """The module containers this suite needs, created if the module does not bind them (yet)."""
    for name in DAY_CONTAINERS + ("vanta_params",):
        if not hasattr(pb, name):
            setattr(pb, name, {})
    if not hasattr(pb, "event_queue"):
        setattr(pb, "event_queue", pb.RB(capacity=1000000, dtype=object))


def drain(queue):
    """Every queued event, oldest first, removed from the queue."""
    events = []
    while len(queue):
        events.append(queue.popleft())
    return events


class RecordingContext:
    """SDK context that records timer registrations instead of running them."""

    def __init__(self):
        self.timers = []

    def add_timer_interval(self, delay_ns, callback):
        self.timers.append((delay_ns, callback))


class Clock:
    """A settable `datetime.now()` and `np.datetime64('today', 'D')` for the module's namespace."""

    def __init__(self, now):
        self.now = now
        clock = self

        class ClockDatetime(_dt.datetime):
            @classmethod
            def now(cls, tz=None):
                n = clock.now
                return cls(n.year, n.month, n.day, n.hour, n.minute, n.second, n.microsecond)

        class ClockNumpy:
            def __getattr__(self, name):
                return getattr(numpy, name)

            @staticmethod
            def datetime64(value, unit=None):
                if value == "today":
                    return numpy.datetime64(clock.now.date(), unit or "D")
                return numpy.datetime64(value, unit) if unit else numpy.datetime64(value)

        self.datetime = ClockDatetime
        self.np = ClockNumpy()

    def install(self, monkeypatch, pb):
        monkeypatch.setattr(pb, "datetime", self.datetime)
        monkeypatch.setattr(pb, "np", self.np)
        return self


def sdk_order(client_order_id="c1", status="Sended", **fields):
    """An SDK order report; `status` names an OrderStatusType member (anything else is used as it is)."""
    from pyvanta.enums import OrderStatusType

    report = dict(
        client_order_id=client_order_id,
        security_id="600000",
        order_price=10.0,
        order_status=getattr(OrderStatusType, status, status),
        order_qty=300,
        trade_qty=0,
        total_trade_value=0.0,
        error_msg="",
        error_code=0,
        last_match_qty=0,
        last_match_price=0.0,
        counter_order_id=0,
        frozen_trade_value=3000.0,
    )
    report.update(fields)
    return SimpleNamespace(**report)


def engine_order(order_id=1, market_code="600000.SH", **state):
    order = Order(order_id, market_code, SIDE.BUY, 300, 10.0, position_effect="OPEN")
    order.status = ORDER_STATUS.ACTIVE
    for name, value in state.items():
        setattr(order, name, value)
    return order


class Bridge(SimpleNamespace):
    """The module, the engine environment and one strategy, with helpers to read the queue."""

    def events(self):
        return drain(self.pb.event_queue)

    def register(self, client_order_id, order):
        self.pb.orders_dict[client_order_id] = order
        return order


def make_strategy(pb, config=None, context=None):
    # Built without the start-up constructor: only the SDK base state and what the tests need.
    s = pb.VantaStrategy.__new__(pb.VantaStrategy)
    pb.strategy.VantaStrategy.__init__(s)
    s.config = config
    if context is not None:
        s.context = context
    return s


@pytest.fixture
def bridge():
    pb = importlib.import_module(PULSEBRIDGE)
    ensure_containers(pb)
    for name in DAY_CONTAINERS:
        getattr(pb, name).clear()
    drain(pb.event_queue)
    previous_env = Environment.get_instance()
    env = Environment()
    account = SimpleNamespace(name="stock account")
    env._accounts["600000.SH"] = account
    Environment.set_instance(env)
    try:
        yield Bridge(pb=pb, env=env, account=account, strategy=make_strategy(pb))
    finally:
        Environment.set_instance(previous_env)
        for name in DAY_CONTAINERS:
            getattr(pb, name).clear()
        drain(pb.event_queue)
