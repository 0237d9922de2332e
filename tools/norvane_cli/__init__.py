"""Command-line tool around the native market-data stores, live bridge and stock-status queries."""
