"""The trading day: timers armed from the calendar and the clock, day events, and the day switch."""
import datetime as dt
import logging
import time
from types import SimpleNamespace

import numpy as np
import pytest

from norvane.tessel.core.events import EVENT
from support.bridge_orders import DAY_CONTAINERS, Clock, RecordingContext, bridge, make_strategy  # noqa: F401

S = 1_000_000_000  # nanoseconds per second
TRADING_DAY = dt.date(2024, 1, 5)
CALENDAR = [np.datetime64("2024-01-04", "D"), np.datetime64("2024-01-05", "D")]


def config(calendar=CALENDAR):
    return SimpleNamespace(base=SimpleNamespace(trading_calendar=calendar))


def armed(strategy, timers):
    """(callback name, delay) of each registration, checking each callback is the strategy's bound method."""
    out = []
    for delay, callback in timers:
        assert type(delay) is int and callback.__self__ is strategy
        assert callback == getattr(strategy, callback.__name__)
        out.append((callback.__name__, delay))
    return out


@pytest.mark.parametrize("now, day_timers, to_8am", [
    (dt.time(8, 30), [("send_before_trading_event", 1800 * S), ("send_open_auction_event", 3240 * S),
                      ("send_after_trading_event", 7 * 3600 * S)], 23.5 * 3600),
    (dt.time(9, 25), [("send_before_trading_event", 3 * S), ("send_open_auction_event", -60 * S),
                      ("send_after_trading_event", 21900 * S)], 81300),
    (dt.time(9, 26, 59, 500000), [("send_before_trading_event", 3 * S), ("send_open_auction_event", -179_500_000_000),
                                  ("send_after_trading_event", 21780_500_000_000)], 81180.5),
    (dt.time(10, 0), [("send_before_trading_event", 3 * S), ("send_after_trading_event", 5.5 * 3600 * S)],
     22 * 3600),
    (dt.time(16, 0), [("send_before_trading_event", 3 * S), ("send_after_trading_event", 20 * S)], 16 * 3600),
])
def test_schedule_on_a_trading_day(bridge, monkeypatch, now, day_timers, to_8am):
    Clock(dt.datetime.combine(TRADING_DAY, now)).install(monkeypatch, bridge.pb)
    s = make_strategy(bridge.pb, config(), RecordingContext())
    s.set_timer()
    assert armed(s, s.context.timers) == day_timers + [("set_timer", int(to_8am * S))]
    assert bridge.events() == []


def test_non_trading_day_logs_and_still_rearms(bridge, monkeypatch, caplog):
    caplog.set_level(logging.INFO, logger="norvane.system_log")
    Clock(dt.datetime(2024, 1, 6, 8, 0, 0, 250)).install(monkeypatch, bridge.pb)
    s = make_strategy(bridge.pb, config(), RecordingContext())
    s.set_timer()
    assert armed(s, s.context.timers) == [("set_timer", 24 * 3600 * S - 250_000)]
    assert caplog.messages == [f"2024-01-06 not trade day... {CALENDAR}"]


def test_listener_failure_stops_the_daily_cycle(bridge, monkeypatch):
    Clock(dt.datetime(2024, 1, 5, 8, 0)).install(monkeypatch, bridge.pb)
    s = make_strategy(bridge.pb, SimpleNamespace(base=SimpleNamespace()), RecordingContext())
    with pytest.raises(AttributeError, match="trading_calendar"):
        s.set_timer()
    assert s.context.timers == []


@pytest.mark.parametrize("method, event", [
    ("send_before_trading_event", EVENT.BEFORE_TRADING),
    ("send_open_auction_event", EVENT.OPEN_AUCTION),
    ("send_after_trading_event", EVENT.AFTER_TRADING),
])
def test_day_events(bridge, monkeypatch, method, event):
    clock = Clock(dt.datetime(2024, 1, 5, 9, 0, 0, 17)).install(monkeypatch, bridge.pb)
    pb = bridge.pb
    pb.orders_dict["c1"] = object()
    sizes = []
    real_event = pb.Event

    def recording_event(*args, **kwargs):
        sizes.append(len(pb.orders_dict))
        return real_event(*args, **kwargs)

    monkeypatch.setattr(pb, "Event", recording_event)
    getattr(bridge.strategy, method)()
    (posted,) = bridge.events()
    assert posted.event_type is event and list(vars(posted)) == ["calendar_dt", "trading_dt"]
    assert posted.calendar_dt == posted.trading_dt == clock.now
    # After trading the day's orders are let go, once the event is queued.
    assert sizes == [1] and len(pb.orders_dict) == (0 if event is EVENT.AFTER_TRADING else 1)


def test_switch_day_empties_the_day_containers_in_order(bridge, monkeypatch):
    pb = bridge.pb
    cleared = []

    class Recording(dict):
        def clear(self):
            cleared.append(self.name)
            super().clear()

    for name in DAY_CONTAINERS:
        d = Recording(x=1)
        d.name = name
        monkeypatch.setattr(pb, name, d)
    pb.event_queue.append("queued")
    s = bridge.strategy
    s.bar_cnt, s.current_trade_dt = 2, 93000.0
    params_before = dict(pb.vanta_params)
    s.on_switch_day()
    assert cleared == list(DAY_CONTAINERS) and all(len(getattr(pb, n)) == 0 for n in DAY_CONTAINERS)
    assert bridge.events() == ["queued"] and pb.vanta_params == params_before
    assert (s.bar_cnt, s.current_trade_dt) == (2, 93000.0)


def test_day_events_arrive_in_order_with_the_sdk_timers(bridge, monkeypatch):
    """The stand-in SDK runs real timer threads; the clock is set just before each time of day."""
    pb = bridge.pb
    clock = Clock(dt.datetime(2024, 1, 5, 8, 0)).install(monkeypatch, pb)
    s = make_strategy(pb, config())
    try:
        for n, at in enumerate([dt.time(8, 59, 59, 950000), dt.time(9, 23, 59, 950000), dt.time(15, 29, 59, 950000)]):
            clock.now = dt.datetime.combine(TRADING_DAY, at)
            s.set_timer()
            deadline = time.monotonic() + 2.0
            while len(pb.event_queue) <= n and time.monotonic() < deadline:
                time.sleep(0.005)
            # The far timers of this step (and the 3 s / 20 s fallbacks) never fire.
            s.context.cancel_timers()
            assert len(pb.event_queue) == n + 1, f"no event for {at}"
    finally:
        s.context.cancel_timers()
    posted = bridge.events()
    assert [e.event_type for e in posted] == [EVENT.BEFORE_TRADING, EVENT.OPEN_AUCTION, EVENT.AFTER_TRADING]
    assert [e.calendar_dt.time() for e in posted] == [dt.time(8, 59, 59, 950000), dt.time(9, 23, 59, 950000),
                                                      dt.time(15, 29, 59, 950000)]
