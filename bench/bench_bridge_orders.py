"""Live bridge order reports: `on_order` for a Sended then a Filled report (two events, two order
snapshots), against the same handling written in plain Python, timed in one run."""
import copy
import importlib
import sys
from types import SimpleNamespace

from common import info, median_time, print_table

PULSEBRIDGE = "norvane.tessel.utils.pulsebridge"


def python_on_order(pb):
    """The order-report handling as plain Python over the same module names and containers."""
    g = pb.__dict__

    def post(event_type, **payload):
        g["event_queue"].append(g["Event"](event_type, **payload))

    def on_order(self, order):
        g["system_log"].info(
            "on_order:" + str(order.client_order_id) + ", symbol: " + str(order.security_id) + ", price:"
            + str(order.order_price) + ", status:" + str(order.order_status) + ", order_qty:" + str(order.order_qty)
            + ", trade_qty:" + str(order.trade_qty) + ", total_trade_value: " + str(order.total_trade_value)
            + ", error_msg:" + str(order.error_msg) + ", last_match_qty: " + str(order.last_match_qty))
        orders = g["orders_dict"]
        if order.client_order_id not in orders:
            return
        o = orders[order.client_order_id]
        account = g["Environment"].get_instance().get_account(o.market_code)
        st, status, EVENT = g["OrderStatusType"], g["ORDER_STATUS"], g["EVENT"]
        s = order.order_status
        if s == st.UnSend or s == st.Sended:
            o.secondary_order_id = order.counter_order_id
            o.set_frozen_cash(order.frozen_trade_value)
            if order.counter_order_id and order.counter_order_id > 0 and o.status != status.ACTIVE:
                o.status = status.ACTIVE
                post(EVENT.ORDER_CREATION_PASS, account=account, order=copy.deepcopy(o))
        elif s in (st.PartiallyFilled, st.Filled, st.PartiallyFilledPartiallyCancelled, st.WaitCancelled,
                   st.PartiallyFilledWaitCancelled, st.Cancelled):
            if order.last_match_qty > 0:
                trade = g["Trade"].__from_create__(
                    order_id=o.order_id, price=order.last_match_price, amount=order.last_match_qty, side=o.side,
                    position_effect=o.position_effect, market_code=o.market_code, frozen_price=o.price)
                if order.trade_qty != 0:
                    o.avg_price = order.total_trade_value / order.trade_qty
                o.filled_quantity = order.trade_qty
                o.unfilled_quantity = order.order_qty - order.trade_qty
                if s == st.Filled:
                    o.status = status.FILLED
                elif s == st.PartiallyFilled:
                    o.status = status.PARTIALLY_FILLED
                post(EVENT.TRADE, account=account, trade=trade, order=copy.deepcopy(o))
            if s == st.PartiallyFilledPartiallyCancelled or s == st.Cancelled:
                o.status = status.CANCELLED
                post(EVENT.ORDER_CANCELLATION_PASS, account=account, order=copy.deepcopy(o))
            elif s == st.PartiallyFilledWaitCancelled or s == st.WaitCancelled:
                if o.filled_quantity > 0:
                    o.status = status.PARTIALLY_FILLED
                post(EVENT.ORDER_PENDING_CANCEL, account=account, order=copy.deepcopy(o))
        elif s == st.Reject:
            o.mark_rejected(str(order.error_code) + "_" + str(order.error_msg))
            o.set_frozen_cash(order.frozen_trade_value)
            post(EVENT.ORDER_UNSOLICITED_UPDATE, account=account, order=copy.deepcopy(o))

    return on_order


def run():
    from norvane.tessel.const import SIDE
    from norvane.tessel.environment import Environment
    from norvane.tessel.model.order import Order
    from pyvanta.enums import OrderStatusType

    pb = importlib.import_module(PULSEBRIDGE)
    for name in ("orders_dict",):
        if not hasattr(pb, name):
            setattr(pb, name, {})
    if not hasattr(pb, "event_queue"):
        pb.event_queue = pb.RB(capacity=1000000, dtype=object)
    env = Environment()
    env._accounts["600000.SH"] = SimpleNamespace(name="stock account")
    previous_env = Environment.get_instance()
    Environment.set_instance(env)

    def report(status, **fields):
        values = dict(client_order_id="bench", security_id="600000", order_price=10.0, order_status=status,
                      order_qty=300, trade_qty=0, total_trade_value=0.0, error_msg="", error_code=0,
                      last_match_qty=0, last_match_price=0.0, counter_order_id=77, frozen_trade_value=3000.0)
        values.update(fields)
        return SimpleNamespace(**values)

    sended = report(OrderStatusType.Sended)
    filled = report(OrderStatusType.Filled, last_match_qty=300, last_match_price=10.5, trade_qty=300,
                    total_trade_value=3150.0)
    unknown = report(OrderStatusType.Filled, client_order_id="nobody", last_match_qty=300)
    strategy = pb.VantaStrategy.__new__(pb.VantaStrategy)
    plain = python_on_order(pb)
    pb.orders_dict["bench"] = Order(1, "600000.SH", SIDE.BUY, 300, 10.0, position_effect="OPEN")

    def ours():
        strategy.on_order(sended)
        strategy.on_order(filled)

    def baseline():
        plain(strategy, sended)
        plain(strategy, filled)

    try:
        before = len(pb.event_queue)
        ours()
        assert len(pb.event_queue) == before + 2  # each pair posts ORDER_CREATION_PASS and TRADE
        rows = [
            info(median_time(ours, repeat=11) / 2, median_time(baseline, repeat=11) / 2,
                 "on_order Sended then Filled (per call)", "plain Python"),
            info(median_time(lambda: strategy.on_order(unknown), repeat=11),
                 median_time(lambda: plain(strategy, unknown), repeat=11),
                 "on_order unknown client order id", "plain Python"),
        ]
        # Without the order snapshots (deepcopy dominates the pair above): Sended on an ACTIVE order.
        strategy.on_order(sended)
        rows.append(info(median_time(lambda: strategy.on_order(sended), repeat=11),
                         median_time(lambda: plain(strategy, sended), repeat=11),
                         "on_order Sended on an active order (no event)", "plain Python"))
    finally:
        pb.orders_dict.pop("bench", None)
        Environment.set_instance(previous_env)
    return rows


if __name__ == "__main__":
    print_table(run())
    sys.exit(0)
