"""Stand-in SDK enumerations."""
from enum import Enum

__all__ = [
    "MDType",
    "TDType",
    "AlgoType",
    "MarketType",
    "SubscribeDataType",
    "OrderStatusType",
    "AlgoControlType",
]


class MDType(Enum):
    VaMD = 1
    AMD = 2


class TDType(Enum):
    ATP = 1
    OES = 2
    XTP = 3


class AlgoType(Enum):
    ATX = 1


class MarketType(Enum):
    SH = 1
    SZSE = 2


class SubscribeDataType(Enum):
    Snapshot = 1
    Bar = 2
    TickOrder = 3
    TickTrade = 4


class OrderStatusType(Enum):
    UnSend = 0
    Sended = 1
    PartiallyFilled = 2
    Filled = 3
    PartiallyFilledPartiallyCancelled = 4
    WaitCancelled = 5
    PartiallyFilledWaitCancelled = 6
    Cancelled = 7
    Reject = 8


class AlgoControlType(Enum):
    Pause = 1
    Resume = 2
