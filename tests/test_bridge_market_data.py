"""Market-data callbacks: snapshots, tick-by-tick orders and trades, and bar counting."""
import datetime as dt

import pytest
from norvane.tessel.const import SIDE
from norvane.tessel.model.l2_order import L2Order
from norvane.tessel.model.l2_transaction import L2Transaction
from norvane.tessel.model.tick import TickObject

from support.bridge import T0, bar, bridge, snapshot, tick_order, tick_trade  # noqa: F401 (fixture)

TICK_KEYS = ["market_code", "datetime", "open_price", "close_price", "high_price", "low_price", "total_turnover",
             "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids", "high_limited", "last_price",
             "low_limited", "open_interest", "prev_settlement", "iopv", "trading_phase_code"]
BAR_KEYS = ["market_code", "orig_time", "open_price", "close_price", "high_price", "low_price", "total_turnover",
            "volume", "prev_close"]


@pytest.fixture
def times(bridge):
    """Records what convert_int_to_datetime receives (and still converts it)."""
    pb = bridge.pb
    real = pb.convert_int_to_datetime
    seen = []
    pb.convert_int_to_datetime = lambda x: seen.append(x) or real(x)
    yield seen
    pb.convert_int_to_datetime = real


def test_snapshot_builds_tick_history_and_event(bridge, times):
    pb = bridge.pb
    s = bridge.strategy()
    snap = snapshot()
    assert s.on_snapshot(snap) is None
    (tick,) = pb.history_tick["600000.SH"]
    assert list(tick) == TICK_KEYS
    when = dt.datetime(2024, 1, 2, 9, 30, 0, 500000)
    assert tick == {
        "market_code": "600000.SH", "datetime": when, "open_price": 10.0, "close_price": 10.2, "high_price": 10.5,
        "low_price": 9.9, "total_turnover": 1.5e7, "volume": 1_500_000, "prev_close": 10.1,
        "ask_vols": snap.ask_volume, "asks": snap.ask_price, "bid_vols": snap.bid_volume, "bids": snap.bid_price,
        "high_limited": 11.11, "last_price": 10.2, "low_limited": 9.09, "open_interest": 0,
        "prev_settlement": 0.0, "iopv": 0.0, "trading_phase_code": "T0",
    }
    assert tick["asks"] is snap.ask_price and tick["bid_vols"] is snap.bid_volume  # SDK sequences unchanged
    assert times == [T0 / 1000]
    (event,) = bridge.events()
    assert event.event_type is pb.EVENT.TICK and list(vars(event)) == ["calendar_dt", "trading_dt", "tick"]
    assert event.calendar_dt == event.trading_dt == when
    assert type(event.tick) is TickObject and event.tick._tick_dict is tick
    assert event.tick._instrument is bridge.env.data_proxy.instruments("600000.SH")
    assert pb.get_current_tick("600000.SH") is tick


def test_sixty_first_snapshot_drops_the_first(bridge):
    pb = bridge.pb
    s = bridge.strategy()
    for i in range(61):
        s.on_snapshot(snapshot(last_price=float(i)))
    s.on_snapshot(snapshot(security_id="000001", market_type=2))
    kept = pb.history_ticks("600000.SH", 100)
    assert [t["last_price"] for t in kept] == [float(i) for i in range(1, 61)]
    assert pb.history_tick["600000.SH"].maxlen == 60 and len(pb.history_ticks("000001.SZ", 100)) == 1
    assert len(bridge.events()) == 62


@pytest.mark.parametrize("callback, make, attr", [
    ("on_snapshot", snapshot, "orig_time"), ("on_tick_order", tick_order, "order_time"),
    ("on_tick_trade", tick_trade, "trade_time"), ("on_bar", bar, "end_time"),
])
def test_timestamps_reach_the_engine_as_floats(bridge, times, callback, make, attr):
    bridge.set_universe(["x", "y"])
    getattr(bridge.strategy(), callback)(make(**{attr: 20240102093100000}))
    assert times == [20240102093100.0] and type(times[0]) is float


@pytest.mark.parametrize("make", [snapshot, bar, tick_order, tick_trade])
@pytest.mark.parametrize("security_id, market_type, error", [
    (600000, 1, "unsupported operand"), ("600000", 9, "unknown market type"),
])
def test_bad_codes_raise_and_post_nothing(bridge, make, security_id, market_type, error):
    callback = {snapshot: "on_snapshot", bar: "on_bar", tick_order: "on_tick_order", tick_trade: "on_tick_trade"}
    with pytest.raises((TypeError, ValueError), match=error):
        getattr(bridge.strategy(), callback[make])(make(security_id=security_id, market_type=market_type))
    assert bridge.events() == [] and bridge.pb.history_tick == {} and bridge.pb.history_bar == {}


def test_snapshot_keeps_the_tick_when_the_event_fails(bridge):
    pb = bridge.pb
    real = pb.TickObject
    pb.TickObject = None  # the engine's class, read when the callback runs
    try:
        with pytest.raises(TypeError):
            bridge.strategy().on_snapshot(snapshot())
    finally:
        pb.TickObject = real
    assert len(pb.history_tick["600000.SH"]) == 1 and bridge.events() == []


@pytest.mark.parametrize("side, order_type, expected_side, expected_type, expected_kind", [
    (ord("1"), ord("2"), SIDE.BUY, "LIMIT", "ORDER"),
    (ord("S"), ord("1"), SIDE.SELL, "MARKET", "ORDER"),
    (ord("x"), ord("A"), None, "LIMIT", "ADD"),
])
def test_tick_order_builds_an_l2_order(bridge, times, side, order_type, expected_side, expected_type, expected_kind):
    pb = bridge.pb
    seen = []
    real = pb.get_side_from_vanta_l2_order
    pb.get_side_from_vanta_l2_order = lambda s, m: seen.append((s, m)) or real(s, m)
    try:
        bridge.strategy().on_tick_order(tick_order=tick_order(side=side, order_type=order_type))
    finally:
        pb.get_side_from_vanta_l2_order = real
    assert seen == [(chr(side), 2)]
    (event,) = bridge.events()
    when = dt.datetime(2024, 1, 2, 9, 30, 0, 500000)
    assert event.event_type is pb.EVENT.L2_ORDER and list(vars(event)) == ["calendar_dt", "trading_dt", "l2_order"]
    assert event.calendar_dt == event.trading_dt == when
    assert type(event.l2_order) is L2Order and event.l2_order.kwargs == {}
    assert event.l2_order.args == (17, "000001.SZ", when, expected_side, 12.5, 300, expected_type, 9001, expected_kind)
    assert pb.history_tick == {} and pb.history_bar == {}


@pytest.mark.parametrize("bid, offer, expected", [(120, 110, SIDE.BUY), (110, 120, SIDE.SELL), (5, 5, SIDE.SELL)])
def test_tick_trade_side_follows_sequence_numbers(bridge, bid, offer, expected):
    pb = bridge.pb
    bridge.strategy().on_tick_trade(tick_trade(bid_appl_seq_num=bid, offer_appl_seq_num=offer, trade_type=ord("4")))
    (event,) = bridge.events()
    when = dt.datetime(2024, 1, 2, 9, 30, 0, 500000)
    assert event.event_type is pb.EVENT.L2_TRANSACTION
    assert list(vars(event)) == ["calendar_dt", "trading_dt", "l2_transaction"]
    assert type(event.l2_transaction) is L2Transaction
    assert event.l2_transaction.args == (18, "000001.SZ", when, expected, 12.5, 200, 2500.0, "CANCEL", bid, offer)


@pytest.mark.parametrize("code, error", [(1.5, TypeError), (-1, ValueError), (0x110000, ValueError), (2**70, OverflowError)])
def test_character_codes_must_be_valid(bridge, code, error):
    with pytest.raises(error):
        bridge.strategy().on_tick_order(tick_order(side=code))
    with pytest.raises(error):
        bridge.strategy().on_tick_trade(tick_trade(trade_type=code))
    assert bridge.events() == []


def test_bar_builds_its_dict_and_history(bridge):
    pb = bridge.pb
    bridge.set_universe(["a", "b"])
    b = bar()
    bridge.strategy().on_bar(bar=b)
    (entry,) = pb.history_bar["600000.SH"]
    assert list(entry) == BAR_KEYS
    assert entry == {"market_code": "600000.SH", "orig_time": dt.datetime(2024, 1, 2, 9, 31), "open_price": 10.0,
                     "close_price": 10.1, "high_price": 10.2, "low_price": 9.9, "total_turnover": 1.0e6,
                     "volume": 100_000, "prev_close": 9.95}
    assert pb.history_bar["600000.SH"].maxlen is None and pb.get_current_bar("600000.SH") is entry
    assert bridge.events() == []


T1, T2 = 20240102093100000, 20240102093200000


@pytest.mark.parametrize("universe, end_times, posted_at, final_count", [
    (3, [T1, T1, T1], [2], 0),                   # complete on the third bar
    (3, [T1, T1, T2], [], 1),                    # a new time restarts the count at 1
    (3, [T1, T1, T1, T1], [2], 1),               # a late duplicate counts 1, posts nothing
    (3, [T1, T1, T1, T2, T2, T2], [2, 5], 0),    # one event per complete bar time
    (1, [T1, T1, T2], [0, 1, 2], 0),             # a universe of one posts on every bar
    (0, [T1, T1, T2], [], 1),                    # an empty universe never posts
])
def test_bar_counting(bridge, universe, end_times, posted_at, final_count):
    pb = bridge.pb
    bridge.set_universe([f"c{i}" for i in range(universe)])
    s = bridge.strategy()
    posted = []
    for i, t in enumerate(end_times):
        before = len(bridge.events())
        s.on_bar(bar(security_id=f"{600000 + i}", end_time=t))
        if len(bridge.events()) > before:
            posted.append(i)
    assert posted == posted_at
    assert s.bar_cnt == final_count and s.current_trade_dt == end_times[-1] / 1000
    for event in bridge.events():
        assert event.event_type is pb.EVENT.BAR and list(vars(event)) == ["calendar_dt", "trading_dt"]
    if posted_at:
        first = bridge.events()[0]
        assert first.calendar_dt == first.trading_dt == dt.datetime(2024, 1, 2, 9, 31)


def test_bar_count_asks_the_universe_afresh_and_passes_the_whole_time(bridge):
    pb = bridge.pb
    s = bridge.strategy()
    bridge.set_universe(["a", "b", "c"])
    s.on_bar(bar(end_time=T1 + 400))
    bridge.set_universe(["a", "b"])  # the engine shrank its universe: the second bar completes the time
    seen = []
    real = pb.convert_int_to_whole_date
    pb.convert_int_to_whole_date = lambda n: seen.append(n) or real(n)
    try:
        s.on_bar(bar(end_time=T1 + 400))
    finally:
        pb.convert_int_to_whole_date = real
    assert seen == [20240102093100] and type(seen[0]) is int
    assert len(bridge.events()) == 1 and s.bar_cnt == 0


def test_callbacks_read_the_environment_when_they_run(bridge):
    from norvane.tessel.environment import Environment

    pb = bridge.pb
    Environment.set_instance(None)
    with pytest.raises(AttributeError):
        bridge.strategy().on_snapshot(snapshot())
    with pytest.raises(AttributeError):
        bridge.strategy().on_bar(bar())
    # Both kept their history before failing; neither posted.
    assert len(pb.history_tick["600000.SH"]) == 1 and len(pb.history_bar["600000.SH"]) == 1
    assert bridge.events() == []


def test_sdk_objects_of_any_kind_are_read_as_python_reads_them(bridge):
    from support.bridge import SdkObject

    class Report(SdkObject):
        pass

    class Slotted:
        __slots__ = tuple(vars(snapshot()))

        def __init__(self, **kw):
            for k, v in kw.items():
                setattr(self, k, v)

    class Lazy:
        def __init__(self, snap):
            self._snap = snap

        def __getattr__(self, name):
            return getattr(self._snap, name)

    pb = bridge.pb
    s = bridge.strategy()
    s.on_snapshot(Report(**vars(snapshot(last_price=1.0))))
    s.on_snapshot(Report(**vars(snapshot(last_price=2.0))))
    Report.last_price = property(lambda self: 99.0)  # the class changes between two reports
    s.on_snapshot(Report(**vars(snapshot(last_price=3.0))))
    del Report.last_price
    s.on_snapshot(Report(**vars(snapshot(last_price=4.0))))
    s.on_snapshot(Slotted(**vars(snapshot(last_price=5.0))))
    s.on_snapshot(Lazy(snapshot(last_price=6.0)))
    s.on_snapshot(snapshot(last_price=7.0))
    assert [t["last_price"] for t in pb.history_tick["600000.SH"]] == [1.0, 2.0, 99.0, 4.0, 5.0, 6.0, 7.0]
    broken = snapshot()
    del broken.iopv
    with pytest.raises(AttributeError, match="iopv"):
        s.on_snapshot(broken)


def test_module_names_are_read_at_every_call(bridge):
    import types

    pb = bridge.pb
    s = bridge.strategy()
    real = pb.SIDE
    s.on_tick_trade(tick_trade())
    pb.SIDE = types.SimpleNamespace(BUY="patched buy", SELL="patched sell")
    try:
        s.on_tick_trade(tick_trade())
        del pb.SIDE
        with pytest.raises(NameError, match="name 'SIDE' is not defined"):
            s.on_tick_trade(tick_trade())
    finally:
        pb.SIDE = real
    s.on_tick_trade(tick_trade())
    assert [e.l2_transaction.args[3] for e in bridge.events()] == [SIDE.BUY, "patched buy", SIDE.BUY]
