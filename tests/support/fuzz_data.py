"""Building blocks of the fuzz tests: odd numeric types, padded record types, damaged values.

Hypothesis draws the shape of the input (which fields, which types, which damage); numpy fills
the values from a drawn seed, which keeps each example cheap."""
import warnings

import numpy as np
from hypothesis import strategies as st

# Every numeric kind and size numpy and HDF5 share (bool is stored as an HDF5 enum).
NUMERIC_CODES = ["?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f2", "f4", "f8"]


@st.composite
def numeric_dtypes(draw, codes=NUMERIC_CODES):
    code = draw(st.sampled_from(codes))
    if code in ("?", "i1", "u1"):
        return np.dtype(code)
    return np.dtype(draw(st.sampled_from("<>")) + code)


@st.composite
def record_dtypes(draw, fields):
    """A record type of `fields` ([(name, dtype)]), in order, packed or with padding between and
    after the fields (the layouts of writers that align their records)."""
    names, formats, offsets = [], [], []
    offset = draw(st.integers(0, 3))
    for name, dtype in fields:
        names.append(name)
        formats.append(dtype)
        offsets.append(offset)
        offset += dtype.itemsize + draw(st.sampled_from([0, 0, 1, 3, 8]))
    itemsize = offset + draw(st.integers(0, 5))
    return np.dtype({"names": names, "formats": formats, "offsets": offsets, "itemsize": max(itemsize, 1)})


def cast(values, dtype):
    """`values` (float64 or int64) in `dtype`, wrapping or saturating as numpy's casts do."""
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.asarray(values).astype(dtype)


def damage(rng, values, kinds):
    """`values` (float64) with a few entries replaced by each kind of bad value in `kinds`."""
    values = np.array(values, dtype=np.float64)
    specials = {"nan": np.nan, "inf": np.inf, "-inf": -np.inf, "negative": -1234.5, "huge": 1e300,
                "zero": 0.0, "big_int": 2.0 ** 62}
    for kind in kinds:
        if len(values):
            values[rng.integers(0, len(values), max(1, len(values) // 8))] = specials[kind]
    return values


def quiet(fn, *args, **kwargs):
    """Calls fn with numpy's warnings silenced (a plain reading of bad values warns)."""
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


def outcome(fn, *args, **kwargs):
    """("ok", value) or ("error", exception) of a call."""
    try:
        return "ok", fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - the kind of failure is compared by the caller
        return "error", e


def assert_clear_error(e):
    """A failure must come as an ordinary exception that says what is wrong."""
    assert isinstance(e, Exception), repr(e)
    assert str(e) or e.args, f"{type(e).__name__} without a message"
