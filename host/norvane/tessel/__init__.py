"""Stand-in engine package."""
