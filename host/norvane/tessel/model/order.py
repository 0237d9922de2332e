"""Stand-in engine order: the object the engine registers in the live bridge's `orders_dict`."""
from norvane.tessel.const import ORDER_STATUS


class Order:
    def __init__(self, order_id, market_code, side, quantity, price, position_effect=None):
        self.order_id = order_id
        self.market_code = market_code
        self.side = side
        self.position_effect = position_effect
        self.quantity = quantity
        self.price = price
        self.status = ORDER_STATUS.PENDING_NEW
        self.secondary_order_id = None
        self.avg_price = 0.0
        self.filled_quantity = 0
        self.unfilled_quantity = quantity
        self.frozen_cash = 0.0
        self.message = ""

    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reject_reason):
        self.status = ORDER_STATUS.REJECTED
        self.message = reject_reason

    def __repr__(self):
        return (f"Order({self.order_id!r}, {self.market_code!r}, status={self.status}, "
                f"filled={self.filled_quantity!r}, avg_price={self.avg_price!r})")
