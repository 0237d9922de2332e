"""Stand-in engine loggers: standard `logging` loggers, so tests can capture them (caplog)."""
import logging

system_log = logging.getLogger("norvane.system_log")
user_system_log = logging.getLogger("norvane.user_system_log")
