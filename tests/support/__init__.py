"""Helpers shared by the tests (on sys.path through the pytest settings)."""

QUARRYBIN = "norvane.tessel.mod.mod_quant_data.data_sources.quarrybin"
PULSEBRIDGE = "norvane.tessel.utils.pulsebridge"
SHAREFLAGS = "norvane.tessel.zered.services.shareflags"
MODULES = (QUARRYBIN, PULSEBRIDGE, SHAREFLAGS)
