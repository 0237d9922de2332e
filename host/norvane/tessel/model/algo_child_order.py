"""Stand-in engine AlgoChildOrder."""


def _report_fields(report):
    """The public data attributes of an SDK report."""
    names = vars(report) if hasattr(report, "__dict__") else [n for n in dir(report) if not n.startswith("_")]
    return {n: getattr(report, n) for n in names if not n.startswith("_") and not callable(getattr(report, n))}


class AlgoChildOrder:
    def __init__(self, **fields):
        self.__dict__.update(fields)

    @classmethod
    def from_vanta(cls, report, previous):
        """The new state: the previous state's fields overlaid with the report's."""
        fields = dict(vars(previous)) if previous is not None else {}
        fields.update(_report_fields(report))
        return cls(**fields)

    def __repr__(self):
        return f"AlgoChildOrder({vars(self)!r})"
