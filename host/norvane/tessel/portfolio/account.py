"""Stand-in engine account asset."""


class Asset:
    def __init__(self, *args, **kwargs):
        self.args = args
        self.kwargs = kwargs
