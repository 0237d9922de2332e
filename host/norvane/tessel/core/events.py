"""Stand-in engine events."""
from enum import Enum


class EVENT(Enum):
    LOGIN = "login"
    TICK = "tick"
    L2_ORDER = "l2_order"
    L2_TRANSACTION = "l2_transaction"
    BAR = "bar"
    QUERY_ACCOUNT = "query_account"
    QUERY_POSITION = "query_position"
    ORDER_CREATION_PASS = "order_creation_pass"
    TRADE = "trade"
    ORDER_CANCELLATION_PASS = "order_cancellation_pass"
    ORDER_PENDING_CANCEL = "order_pending_cancel"
    ORDER_UNSOLICITED_UPDATE = "order_unsolicited_update"
    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"
    ALGO_LOGIN = "algo_login"
    PARENT_ORDER_CREATE = "parent_order_create"
    PARENT_ORDER_CANCEL = "parent_order_cancel"
    PARENT_ORDER_PAUSE = "parent_order_pause"
    PARENT_ORDER_RESUME = "parent_order_resume"
    PARENT_ORDER_UPDATE = "parent_order_update"
    CHILD_ORDER_UPDATE = "child_order_update"
    CHILD_ORDER_TRADE = "child_order_trade"
    BEFORE_TRADING = "before_trading"
    OPEN_AUCTION = "open_auction"
    AFTER_TRADING = "after_trading"


class Event:
    __slots__ = ("event_type", "__dict__")

    def __init__(self, event_type, **kwargs):
        self.event_type = event_type
        self.__dict__.update(kwargs)

    def __repr__(self):
        payload = ", ".join(f"{k}={v!r}" for k, v in self.__dict__.items())
        return f"Event({self.event_type}, {payload})"
