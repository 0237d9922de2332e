"""Stand-in engine L2Transaction."""


class L2Transaction:
    _FIELDS = ()

    @classmethod
    def __from_create__(cls, *args, **kwargs):
        obj = cls.__new__(cls)
        obj.args = args
        obj.kwargs = kwargs
        return obj

    def __repr__(self):
        return f"L2Transaction(args={getattr(self, 'args', ())!r}, kwargs={getattr(self, 'kwargs', {})!r})"
