"""Stand-in engine Trade."""


class Trade:
    @classmethod
    def __from_create__(cls, *args, **kwargs):
        obj = cls.__new__(cls)
        obj.args = args
        obj.kwargs = kwargs
        for name, value in kwargs.items():
            setattr(obj, name, value)
        return obj

    def __repr__(self):
        return f"Trade(args={getattr(self, 'args', ())!r}, kwargs={getattr(self, 'kwargs', {})!r})"
