"""Stand-in engine constants."""
from enum import Enum


class ALGO(Enum):
    VWAP = "VWAP"
    TWAP = "TWAP"


class COMMISSION_TYPE(Enum):
    BY_MONEY = "BY_MONEY"
    BY_VOLUME = "BY_VOLUME"


class ORDER_STATUS(Enum):
    PENDING_NEW = "PENDING_NEW"
    ACTIVE = "ACTIVE"
    FILLED = "FILLED"
    REJECTED = "REJECTED"
    PENDING_CANCEL = "PENDING_CANCEL"
    CANCELLED = "CANCELLED"
    PARTIALLY_FILLED = "PARTIALLY_FILLED"


class POSITION_DIRECTION(Enum):
    LONG = "LONG"
    SHORT = "SHORT"


class SIDE(Enum):
    BUY = "BUY"
    SELL = "SELL"
