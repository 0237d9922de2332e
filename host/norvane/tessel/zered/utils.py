"""Stand-in client utilities."""
import pandas as pd

# pandas removed panels long ago.
is_panel_removed = not hasattr(pd, "Panel")


def to_datetime(value):
    return pd.to_datetime(value)
