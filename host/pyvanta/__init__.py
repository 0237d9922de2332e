"""Stand-in live-trading SDK: a strategy base class with a context that records broker calls
and really runs timers."""
