"""Stand-in for the platform package: just enough of the engine, the data-service client and
its gateway for the native modules to import and run. Not part of the native modules."""
