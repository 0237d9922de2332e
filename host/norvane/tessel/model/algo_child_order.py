"""Stand-in engine AlgoChildOrder."""


class AlgoChildOrder:
    def __init__(self, report=None, previous=None):
        self.report = report
        self.previous = previous

    @classmethod
    def from_vanta(cls, report, previous):
        return cls(report, previous)
