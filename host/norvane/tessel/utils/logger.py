"""Stand-in engine loggers: standard `logging` loggers, so tests can capture them (caplog).

The engine's loggers also answer `warn`, as a plain synonym of `warning`."""
import logging


class EngineLogger(logging.Logger):
    def warn(self, msg, *args, **kwargs):  # not deprecated in the engine
        if self.isEnabledFor(logging.WARNING):
            self._log(logging.WARNING, msg, args, **kwargs)


def _logger(name):
    # Registered with logging's manager, so logging.getLogger(name) (and caplog) find the same object.
    previous = logging.getLoggerClass()
    logging.setLoggerClass(EngineLogger)
    try:
        return logging.getLogger(name)
    finally:
        logging.setLoggerClass(previous)


system_log = _logger("norvane.system_log")
user_system_log = _logger("norvane.user_system_log")
