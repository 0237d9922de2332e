"""Account, position and order reports of the SDK reach the engine as events."""
import logging
from types import SimpleNamespace

import pytest

from norvane.tessel.const import ORDER_STATUS
from norvane.tessel.core.events import EVENT
from support.bridge_orders import bridge, engine_order, sdk_order  # noqa: F401  (fixture)

A, PF, F, C, R = (ORDER_STATUS.ACTIVE, ORDER_STATUS.PARTIALLY_FILLED, ORDER_STATUS.FILLED,
                  ORDER_STATUS.CANCELLED, ORDER_STATUS.REJECTED)
PENDING = ORDER_STATUS.PENDING_NEW


@pytest.mark.parametrize(
    "start, report, events, final",
    [
        # UnSend / Sended: accepted by the counter once it has a counter id.
        (dict(status=PENDING), dict(status="UnSend", counter_order_id=77), [("ORDER_CREATION_PASS", A)], A),
        (dict(status=PENDING), dict(status="Sended", counter_order_id=77), [("ORDER_CREATION_PASS", A)], A),
        (dict(status=PENDING), dict(status="Sended", counter_order_id=0), [], PENDING),
        (dict(status=PENDING), dict(status="Sended", counter_order_id=-3), [], PENDING),
        (dict(status=A), dict(status="Sended", counter_order_id=77), [], A),
        # Fills.
        (dict(), dict(status="PartiallyFilled", last_match_qty=100, trade_qty=100, total_trade_value=1050.0),
         [("TRADE", PF)], PF),
        (dict(), dict(status="PartiallyFilled", last_match_qty=0), [], A),
        (dict(), dict(status="Filled", last_match_qty=300, trade_qty=300, total_trade_value=3150.0),
         [("TRADE", F)], F),
        # Cancels: the trade's order copy shows the status before the cancel step.
        (dict(), dict(status="Cancelled", last_match_qty=5, trade_qty=5, total_trade_value=50.0),
         [("TRADE", A), ("ORDER_CANCELLATION_PASS", C)], C),
        (dict(), dict(status="Cancelled"), [("ORDER_CANCELLATION_PASS", C)], C),
        (dict(), dict(status="PartiallyFilledPartiallyCancelled", last_match_qty=5, trade_qty=105,
                      total_trade_value=1100.0), [("TRADE", A), ("ORDER_CANCELLATION_PASS", C)], C),
        (dict(), dict(status="WaitCancelled"), [("ORDER_PENDING_CANCEL", A)], A),
        (dict(filled_quantity=50), dict(status="PartiallyFilledWaitCancelled"),
         [("ORDER_PENDING_CANCEL", PF)], PF),
        (dict(), dict(status="PartiallyFilledWaitCancelled", last_match_qty=10, trade_qty=10,
                      total_trade_value=100.0), [("TRADE", A), ("ORDER_PENDING_CANCEL", PF)], PF),
        # Reject and unknown statuses.
        (dict(), dict(status="Reject", error_code=1001, error_msg="x"), [("ORDER_UNSOLICITED_UPDATE", R)], R),
        (dict(), dict(status="not a status", last_match_qty=5, trade_qty=5), [], A),
    ],
)
def test_status_table(bridge, start, report, events, final):
    order = bridge.register("c1", engine_order(**start))
    before = vars(order).copy()
    bridge.strategy.on_order(sdk_order("c1", **report))

    posted = bridge.events()
    assert [(e.event_type, e.order.status) for e in posted] == [(getattr(EVENT, n), s) for n, s in events]
    for e in posted:
        assert e.account is bridge.account and e.order is not order
    assert order.status is final
    status = report["status"]
    if status in ("UnSend", "Sended"):
        assert order.secondary_order_id == report["counter_order_id"] and order.frozen_cash == 3000.0
    if report.get("last_match_qty", 0) > 0 and status != "not a status":
        trade_qty = report["trade_qty"]
        assert (order.filled_quantity, order.unfilled_quantity) == (trade_qty, 300 - trade_qty)
        assert order.avg_price == report["total_trade_value"] / trade_qty
    elif status not in ("UnSend", "Sended", "Reject"):
        changed = {k for k in vars(order) if vars(order)[k] != before[k]}
        assert changed <= {"status"}
    if status == "Reject":
        assert (order.message, order.frozen_cash) == ("1001_x", 3000.0)


def test_fill_builds_the_trade_and_snapshots_the_order(bridge):
    order = bridge.register("c1", engine_order(order_id=42))
    bridge.strategy.on_order(sdk_order("c1", "Filled", last_match_qty=300, last_match_price=10.5, trade_qty=300,
                                       total_trade_value=3150.0))
    (event,) = bridge.events()
    assert list(vars(event)) == ["account", "trade", "order"]
    assert list(event.trade.kwargs.items()) == [
        ("order_id", 42), ("price", 10.5), ("amount", 300), ("side", order.side),
        ("position_effect", "OPEN"), ("market_code", "600000.SH"), ("frozen_price", 10.0),
    ]
    order.status = ORDER_STATUS.CANCELLED  # later changes do not reach the queued copy
    assert event.order.status is ORDER_STATUS.FILLED and event.order.avg_price == 10.5


def test_on_order_log_line_and_unknown_client_order_id(bridge, caplog):
    caplog.set_level(logging.INFO, logger="norvane.system_log")
    order = bridge.register("known", engine_order())
    before = vars(order).copy()
    report = sdk_order("unknown", "Filled", last_match_qty=7, trade_qty=7, total_trade_value=70.0,
                       error_msg="none")
    bridge.strategy.on_order(report)
    bridge.strategy.on_order_action_error(SimpleNamespace(client_order_id="unknown"))
    assert bridge.events() == [] and vars(order) == before
    assert caplog.messages == [
        "on_order:unknown, symbol: 600000, price:10.0, status:OrderStatusType.Filled, order_qty:300, "
        "trade_qty:7, total_trade_value: 70.0, error_msg:none, last_match_qty: 7"
    ]


@pytest.mark.parametrize("status, events", [
    ("Filled", ["TRADE"]),
    ("Cancelled", ["TRADE", "ORDER_CANCELLATION_PASS"]),
    ("PartiallyFilledWaitCancelled", ["TRADE", "ORDER_PENDING_CANCEL"]),
])
def test_match_without_cumulative_quantity_still_delivers_the_fill(bridge, status, events):
    order = bridge.register("c1", engine_order(avg_price=9.5, filled_quantity=0))
    bridge.strategy.on_order(sdk_order("c1", status, last_match_qty=5, last_match_price=10.0, trade_qty=0,
                                       total_trade_value=0.0))
    posted = bridge.events()
    assert [e.event_type for e in posted] == [getattr(EVENT, n) for n in events]
    assert posted[0].trade.kwargs["amount"] == 5
    assert order.avg_price == 9.5 and (order.filled_quantity, order.unfilled_quantity) == (0, 300)


@pytest.mark.parametrize("code, msg, reason", [
    (1001, None, "1001_None"),
    ("E7", 42, "E7_42"),
    (1001, "x", "1001_x"),
])
def test_reject_reason_from_any_parts(bridge, code, msg, reason):
    order = bridge.register("c1", engine_order())
    bridge.strategy.on_order(sdk_order("c1", "Reject", error_code=code, error_msg=msg, frozen_trade_value=0.0))
    (event,) = bridge.events()
    assert event.event_type is EVENT.ORDER_UNSOLICITED_UPDATE and event.order.message == reason
    assert order.status is ORDER_STATUS.REJECTED and order.frozen_cash == 0.0


def test_order_action_error_posts_cancellation_reject_without_changing_the_order(bridge):
    order = bridge.register("c1", engine_order(filled_quantity=10))
    before = vars(order).copy()
    bridge.strategy.on_order_action_error(SimpleNamespace(client_order_id="c1"))
    (event,) = bridge.events()
    assert event.event_type is EVENT.ORDER_CANCELLATION_REJECT and list(vars(event)) == ["account", "order"]
    assert event.account is bridge.account and event.order is not order
    assert vars(event.order) == before == vars(order)
    assert bridge.strategy.on_trade(object()) is None and bridge.events() == []


def asset_result(**fields):
    values = dict(fund_account_id="F1", available_t1=1.0, frozen_all=2.0, market_value=3.0, total_asset=4.0,
                  leaves_value=5.0, init_leaves_value=6.0)
    values.update(fields)
    return SimpleNamespace(**values)


@pytest.mark.parametrize("code, payload", [
    (0, ["rid", "account_id", "asset"]),
    (-1, ["rid", "account_id", "code", "msg"]),
])
def test_query_asset(bridge, caplog, code, payload):
    caplog.set_level(logging.INFO, logger="norvane.system_log")
    bridge.strategy.on_query_asset(asset_result(), 9, code, "m")
    (event,) = bridge.events()
    assert event.event_type is EVENT.QUERY_ACCOUNT and list(vars(event)) == payload
    assert (event.rid, event.account_id) == (9, "F1")
    if code == 0:
        assert event.asset.args == ("F1", 1.0, 2.0, 3.0, 4.0, 5.0, 6.0)
    else:
        assert (event.code, event.msg) == (-1, "m")
    assert caplog.messages == [f"on_query_asset, F1, leaves_value:5.0 code {code}  ms m"]


def sdk_position(security_id="600000", market_id=1, **fields):
    values = dict(security_id=security_id, market_id=market_id, init_qty=100, leaves_qty=200, available_qty=150,
                  cost_price=9.0, last_price=10.0, market_value=2000.0, profit_loss=12.5)
    values.update(fields)
    return SimpleNamespace(**values)


def test_query_position_skips_failing_positions(bridge, caplog, monkeypatch):
    caplog.set_level(logging.INFO, logger="norvane")
    real = bridge.pb.Position

    class Position(real):
        def set_state(self, state):
            if self.market_code == "000002.SZ":
                raise RuntimeError("bad state")
            super().set_state(state)

    monkeypatch.setattr(bridge.pb, "Position", Position)
    positions = [sdk_position(), sdk_position("X", market_id=99), sdk_position("000002", market_id=2),
                 sdk_position("000001", market_id=2, init_qty=5)]
    bridge.strategy.on_query_position(positions, 3, 0, "")
    (event,) = bridge.events()
    assert event.event_type is EVENT.QUERY_POSITION and list(vars(event)) == ["rid", "positions"]
    assert event.rid == 3
    assert [(p.market_code, p.direction.name, p.init_quantity) for p in event.positions] == [
        ("600000.SH", "LONG", 100), ("000001.SZ", "LONG", 5)]
    assert list(event.positions[0].state.items()) == [
        ("quantity", 200), ("available_qty", 150), ("avg_price", 9.0), ("last_price", 10.0),
        ("market_value", 2000.0), ("daily_pnl", 12.5)]
    assert caplog.messages == [
        "on_query_position: code:0, msg:",
        "on_query_position position do not add: X  exception: unknown market type 99",
        "on_query_position position do not add: 000002  exception: bad state",
    ]
    assert [r.name for r in caplog.records[1:]] == ["norvane.user_system_log"] * 2


@pytest.mark.parametrize("result, code, events", [
    ((sdk_position(),), 0, []),  # only an exact list is read
    ([], 0, []),
    (type("L", (list,), {})([sdk_position()]), 0, []),
    ([sdk_position("X", market_id=99)], 0, [("QUERY_POSITION", ["rid", "positions"])]),
    ([sdk_position()], 5, [("QUERY_ACCOUNT", ["rid", "code", "msg"])]),
])
def test_query_position_answers(bridge, result, code, events):
    bridge.strategy.on_query_position(result, 1, code, "failed")
    posted = bridge.events()
    assert [(e.event_type, list(vars(e))) for e in posted] == [(getattr(EVENT, n), p) for n, p in events]
    if events and events[0][0] == "QUERY_POSITION":
        assert posted[0].positions == []
