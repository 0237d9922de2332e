"""Stand-in tick object."""


class TickObject:
    def __init__(self, instrument, tick_dict):
        self._instrument = instrument
        self._tick_dict = tick_dict

    @property
    def market_code(self):
        return self._tick_dict.get("market_code")

    def __getattr__(self, name):
        try:
            return self.__dict__["_tick_dict"][name]
        except KeyError:
            raise AttributeError(name) from None
