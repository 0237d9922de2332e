"""Stand-in engine memo decorator: the standard library's least-recently-used cache."""
import functools


def lru_cache(*args, **kwargs):
    return functools.lru_cache(*args, **kwargs)
