"""Stand-in engine environment: one per process, set by the engine (or a test)."""


class DataProxy:
    """The environment's data access: instruments by order book id."""

    def __init__(self, instruments=None):
        self._instruments = instruments if instruments is not None else {}
        self._data_source = None

    def instruments(self, market_code):
        """The instrument of `market_code` (a new stand-in instrument for an unknown code)."""
        try:
            return self._instruments[market_code]
        except KeyError:
            from norvane.tessel.model.instrument import Instrument

            return Instrument(market_code)


class Environment:
    _env = None

    def __init__(self, config=None):
        self.config = config
        self.data_proxy = DataProxy()
        self.varorize_init = False
        self._universe = set()
        self._instruments = {}
        self._accounts = {}

    @classmethod
    def get_instance(cls):
        return Environment._env

    @classmethod
    def set_instance(cls, env):
        Environment._env = env

    def get_instrument(self, market_code):
        return self._instruments.get(market_code)

    def get_universe(self):
        return self._universe

    def set_universe(self, market_codes):
        self._universe = set(market_codes)

    def get_account(self, market_code):
        return self._accounts.get(market_code)
