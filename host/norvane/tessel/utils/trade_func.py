"""Stand-in mappings between the SDK's codes and the engine's."""
from norvane.tessel.const import SIDE

_EXCHANGE_BY_MARKET = {1: "SH", 2: "SZ", 3: "BJ", "SH": "SH", "SZ": "SZ", "BJ": "BJ"}


def get_exchane_from_vanta_mdtype(market_type):
    try:
        return _EXCHANGE_BY_MARKET[market_type]
    except (KeyError, TypeError):
        raise ValueError(f"unknown market type {market_type!r}") from None


def get_vanta_tdtype(destination):
    from pyvanta.enums import TDType

    try:
        return TDType[destination]
    except KeyError:
        raise ValueError(f"unknown trading destination {destination!r}") from None


def get_side_from_vanta_l2_order(side, market_type):
    if side in ("1", "B"):
        return SIDE.BUY
    if side in ("2", "S"):
        return SIDE.SELL
    return None


def get_order_type_from_vanta_l2_order(order_type, market_type):
    return {"1": "MARKET", "2": "LIMIT", "U": "BEST_OWN"}.get(order_type, "LIMIT")


def get_l2order_type_from_vanta(order_type, market_type):
    return {"A": "ADD", "D": "DELETE"}.get(order_type, "ORDER")


def get_trade_type_from_vanta(trade_type):
    return {"F": "TRADE", "4": "CANCEL"}.get(trade_type, "TRADE")
