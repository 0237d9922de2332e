"""Stand-in data-service errors."""


class ZeredError(Exception):
    pass


class PermissionDenied(ZeredError):
    pass
