"""The bridge's module body, its shared containers and the four readers of recent bars and ticks."""
import subprocess
import sys
from collections import deque

import numpy as np
import pytest

from support import PULSEBRIDGE
from support.bridge import bridge  # noqa: F401 (fixture)

IMPORTED = [
    "Environment", "EVENT", "Event", "TickObject", "Trade", "L2Order", "L2Transaction",
    "convert_int_to_whole_date", "convert_int_to_datetime",
    "get_exchane_from_vanta_mdtype", "get_vanta_tdtype", "get_side_from_vanta_l2_order",
    "get_order_type_from_vanta_l2_order", "get_trade_type_from_vanta", "get_l2order_type_from_vanta",
    "system_log", "user_system_log", "AlgoParentOrder", "AlgoChildOrder", "AlgoChildTrade",
    "ORDER_STATUS", "POSITION_DIRECTION", "SIDE", "Asset", "Position", "RB", "np", "deque", "copy",
    "datetime", "time", "timedelta", "strategy",
    "MDType", "TDType", "AlgoType", "MarketType", "SubscribeDataType", "OrderStatusType", "AlgoControlType",
]
DEFINED = [
    "vanta_params", "event_queue", "history_bar", "history_tick", "orders_dict", "algo_parent_orders",
    "algo_child_orders", "algo_child_trades", "get_current_bar", "get_current_tick", "history_ticks",
    "history_bars", "VantaStrategy",
]


def test_module_body_binds_its_names_in_order():
    # In a fresh process: tests here rebind and delete module names, which changes the dict's order.
    code = f"""
import datetime as dt, collections, numpy, numpy_ringbuffer, pyvanta.strategy
from norvane.tessel.core.events import EVENT
import {PULSEBRIDGE} as pb
assert [n for n in vars(pb) if not n.startswith("__")] == {IMPORTED + DEFINED!r}
assert pb.strategy is pyvanta.strategy and pb.np is numpy and pb.deque is collections.deque
assert (pb.datetime, pb.time, pb.timedelta) == (dt.datetime, dt.time, dt.timedelta)
assert pb.EVENT is EVENT and pb.RB is numpy_ringbuffer.RingBuffer
assert pb.VantaStrategy.__bases__ == (pyvanta.strategy.VantaStrategy,)
q = pb.event_queue
assert type(q) is pb.RB and q.maxlen == 1000000 and q.dtype == object and len(q) == 0 and q._allow_overwrite
for name in {DEFINED[:1] + DEFINED[2:8]!r}:
    assert getattr(pb, name) == {{}} and type(getattr(pb, name)) is dict, name
print("ok")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.strip() == "ok", out.stderr


def test_a_missing_outside_name_fails_the_whole_import():
    code = f"""
import sys
sys.modules["numpy_ringbuffer"] = None
try:
    import {PULSEBRIDGE}
except ImportError as exc:
    print("ImportError")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.strip() == "ImportError", out.stderr


@pytest.mark.parametrize("reader", ["get_current_bar", "get_current_tick"])
def test_newest_entry_is_the_stored_object(bridge, reader):
    pb = bridge.pb
    container = pb.history_bar if reader == "get_current_bar" else pb.history_tick
    first, last = {"n": 1}, {"n": 2}
    container["600000.SH"] = deque([first, last])
    got = getattr(pb, reader)("600000.SH")
    assert got is last
    got["n"] = 99  # a caller's change shows in the history
    assert container["600000.SH"][-1]["n"] == 99
    assert getattr(pb, reader)(market_code="000001.SZ") is None


HISTORY = [{"i": i} for i in range(10)]


@pytest.mark.parametrize("count", [3, 0, -4, 10, 25, -10, -25, 2**70, -(2**70), np.int64(3), np.int32(-2), True])
@pytest.mark.parametrize("reader", ["history_ticks", "history_bars"])
def test_history_slices_like_a_list_copy(bridge, reader, count):
    pb = bridge.pb
    container = pb.history_tick if reader == "history_ticks" else pb.history_bar
    container["600000.SH"] = deque(HISTORY)
    got = getattr(pb, reader)("600000.SH", count)
    expected = list(container["600000.SH"])[count * -1:]
    assert type(got) is list and got == expected
    assert all(a is b for a, b in zip(got, expected))  # the stored dicts, not copies
    assert getattr(pb, reader)(market_code="600000.SH", count=count) == expected


@pytest.mark.parametrize("reader", ["history_ticks", "history_bars"])
def test_history_of_an_unknown_code_is_none_and_count_must_index(bridge, reader):
    pb = bridge.pb
    assert getattr(pb, reader)("600000.SH", 5) is None
    (pb.history_tick if reader == "history_ticks" else pb.history_bar)["600000.SH"] = deque(HISTORY)
    with pytest.raises(TypeError, match="slice indices must be integers"):
        getattr(pb, reader)("600000.SH", 2.0)
    with pytest.raises(TypeError):
        getattr(pb, reader)("600000.SH")  # no defaults
    with pytest.raises(TypeError, match="unhashable"):
        getattr(pb, reader)(["600000.SH"], 1)


def test_history_readers_accept_any_sequence_rebound_by_the_engine(bridge):
    pb = bridge.pb
    pb.history_bar["600000.SH"] = list(HISTORY)  # not a deque: the general path
    assert pb.history_bars("600000.SH", 2) == HISTORY[-2:]
    assert pb.get_current_bar("600000.SH") is HISTORY[-1]
