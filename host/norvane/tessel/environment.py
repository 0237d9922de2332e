"""Stand-in engine environment: one per process, set by the engine (or a test)."""


class Environment:
    _env = None

    def __init__(self, config=None):
        self.config = config
        self.data_proxy = None
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

    def get_account(self, market_code):
        return self._accounts.get(market_code)
