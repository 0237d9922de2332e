"""Algo broker answers reach the engine; algo objects chain their previous state per id."""
from types import SimpleNamespace

import pytest

from norvane.tessel.core.events import EVENT
from pyvanta.enums import AlgoControlType
from support.bridge_orders import bridge  # noqa: F401  (fixture)


class Recorded:
    """An SDK result that records the order in which its attributes are read."""

    def __init__(self, **fields):
        object.__setattr__(self, "reads", [])
        object.__setattr__(self, "fields", fields)

    def __getattr__(self, name):
        self.reads.append(name)
        try:
            return self.fields[name]
        except KeyError:
            raise AttributeError(name) from None


RESULT = dict(client_seq_id=7, trader_id="T1", sys_quote_id="Q1", error_code=3, error_msg="refused")


@pytest.mark.parametrize("method, event, payload", [
    ("on_algo_login", "ALGO_LOGIN",
     [("req_id", 7), ("algo_account", "T1"), ("code", 3), ("msg", "refused")]),
    ("on_create_algo_parent_order_res", "PARENT_ORDER_CREATE",
     [("req_id", 7), ("parent_order_id", "Q1"), ("code", 3), ("msg", "refused")]),
    ("on_cancel_algo_parent_order_res", "PARENT_ORDER_CANCEL",
     [("parent_order_id", "Q1"), ("code", 3), ("msg", "refused")]),
])
def test_results_are_forwarded_whatever_the_code(bridge, method, event, payload):
    result = Recorded(**RESULT)
    getattr(bridge.strategy, method)(result)
    (posted,) = bridge.events()
    assert posted.event_type is getattr(EVENT, event) and list(vars(posted).items()) == payload
    expected_reads = {"client_seq_id": "req_id", "trader_id": "algo_account", "sys_quote_id": "parent_order_id",
                      "error_code": "code", "error_msg": "msg"}
    assert result.reads == [a for a, k in expected_reads.items() if k in dict(payload)]


@pytest.mark.parametrize("fields, event, reads", [
    (dict(control_type=AlgoControlType.Pause), "PARENT_ORDER_PAUSE", ["control_type"]),
    (dict(control_type=None, algo_control_type=AlgoControlType.Resume), "PARENT_ORDER_RESUME",
     ["control_type", "algo_control_type"]),
    # The resume test reads the second name only: a Resume in control_type is no resume.
    (dict(control_type=AlgoControlType.Resume, algo_control_type=AlgoControlType.Pause), None,
     ["control_type", "algo_control_type"]),
])
def test_control_result(bridge, fields, event, reads):
    result = Recorded(**fields, sys_quote_id="Q1", error_code=0, error_msg="")
    bridge.strategy.on_control_algo_parent_order_res(result)
    posted = bridge.events()
    if event is None:
        assert posted == [] and result.reads == reads
    else:
        (e,) = posted
        assert e.event_type is getattr(EVENT, event)
        assert list(vars(e).items()) == [("parent_order_id", "Q1"), ("code", 0), ("msg", "")]
        assert result.reads == reads + ["sys_quote_id", "error_code", "error_msg"]


def test_control_result_without_the_resume_field_raises(bridge):
    with pytest.raises(AttributeError, match="algo_control_type"):
        bridge.strategy.on_control_algo_parent_order_res(Recorded(control_type=None, sys_quote_id="Q1"))
    assert bridge.events() == []


UPDATES = [
    ("on_algo_parent_order_update", "algo_parent_orders", "AlgoParentOrder", "PARENT_ORDER_UPDATE",
     "algo_parent_order"),
    ("on_algo_child_order_update", "algo_child_orders", "AlgoChildOrder", "CHILD_ORDER_UPDATE", "algo_child_order"),
    ("on_algo_child_order_trade", "algo_child_trades", "AlgoChildTrade", "CHILD_ORDER_TRADE", "algo_child_trade"),
]


@pytest.mark.parametrize("method, store, cls, event, keyword", UPDATES)
def test_updates_chain_the_previous_state(bridge, monkeypatch, method, store, cls, event, keyword):
    pb = bridge.pb
    real = getattr(pb, cls)
    previous_seen = []

    class Recording(real):
        @classmethod
        def from_vanta(klass, report, previous):
            previous_seen.append(previous)
            return super().from_vanta(report, previous)

    monkeypatch.setattr(pb, cls, Recording)
    callback = getattr(bridge.strategy, method)
    callback(SimpleNamespace(sys_quote_id="Q1", qty=100))
    callback(SimpleNamespace(sys_quote_id="Q2", qty=5))
    first = getattr(pb, store)["Q1"]
    callback(SimpleNamespace(sys_quote_id="Q1", filled=40))
    second = getattr(pb, store)["Q1"]

    assert previous_seen[:2] == [None, None] and previous_seen[2] is first
    assert vars(second) == {"sys_quote_id": "Q1", "qty": 100, "filled": 40}
    posted = bridge.events()
    assert [(e.event_type, list(vars(e))) for e in posted] == [(getattr(EVENT, event), [keyword])] * 3
    last = getattr(posted[2], keyword)
    assert last is not second and vars(last) == vars(second)
    second.filled = 99  # the queued snapshot does not follow the stored object
    assert last.filled == 40

    bridge.strategy.on_switch_day()
    callback(SimpleNamespace(sys_quote_id="Q1", filled=1))
    assert previous_seen[3] is None and vars(getattr(pb, store)["Q1"]) == {"sys_quote_id": "Q1", "filled": 1}


def test_child_order_and_child_trade_with_one_id_are_kept_apart(bridge):
    bridge.strategy.on_algo_child_order_update(SimpleNamespace(sys_quote_id="S", kind="order"))
    bridge.strategy.on_algo_child_order_trade(SimpleNamespace(sys_quote_id="S", kind="trade"))
    assert bridge.pb.algo_child_orders["S"].kind == "order" and bridge.pb.algo_child_trades["S"].kind == "trade"
    assert "S" not in bridge.pb.algo_parent_orders


def test_failing_from_vanta_keeps_the_stored_object(bridge, monkeypatch):
    bridge.strategy.on_algo_parent_order_update(SimpleNamespace(sys_quote_id="Q1", qty=1))
    stored = bridge.pb.algo_parent_orders["Q1"]
    bridge.events()

    def broken(report, previous):
        raise ValueError("bad report")

    monkeypatch.setattr(bridge.pb.AlgoParentOrder, "from_vanta", broken)
    with pytest.raises(ValueError, match="bad report"):
        bridge.strategy.on_algo_parent_order_update(SimpleNamespace(sys_quote_id="Q1", qty=2))
    assert bridge.pb.algo_parent_orders["Q1"] is stored and bridge.events() == []
