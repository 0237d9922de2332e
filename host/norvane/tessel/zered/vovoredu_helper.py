"""Stand-in result-serialising decorator: results pass through unchanged."""
import functools


def http_conv_list_to_csv(result):
    return result


def vovoredu_serialize(converter=None):
    def decorator(f):
        @functools.wraps(f)
        def wrapper(*args, **kwargs):
            return f(*args, **kwargs)

        wrapper.converter = converter
        return wrapper

    return decorator
