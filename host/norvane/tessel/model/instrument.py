"""Stand-in instrument."""


class Instrument:
    def __init__(self, market_code, underlying_symbol=None, contract_multiplier=1, type="CS"):
        self.market_code = market_code
        self.underlying_symbol = underlying_symbol
        self.contract_multiplier = contract_multiplier
        self.type = type

    def __repr__(self):
        return f"Instrument({self.market_code!r})"
