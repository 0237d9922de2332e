"""Stand-in engine utilities."""
import math


def safe_div(a, b):
    """a / b, or NaN when b is zero (never raises for a zero divisor)."""
    if b == 0:
        return math.nan
    return a / b
