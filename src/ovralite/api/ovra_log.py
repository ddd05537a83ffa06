"""The package logger.

``OVRALog`` writes through the standard :mod:`logging` module under the
logger name ``"ovralite"``, so applications configure it the usual way
(``logging.basicConfig``, handlers on ``logging.getLogger("ovralite")``).
"""

import logging

__all__ = ["OVRALog", "LOGGER_NAME"]

LOGGER_NAME = "ovralite"


class _OvraLogger:
    """Short-named severity methods over one :class:`logging.Logger`."""

    def __init__(self, name: str) -> None:
        self.logger: logging.Logger = logging.getLogger(name)

    # stacklevel=2 attributes each record to the caller, not to this file.
    def e(self, msg: object) -> None:
        self.logger.error(msg, stacklevel=2)

    def w(self, msg: object) -> None:
        self.logger.warning(msg, stacklevel=2)

    def i(self, msg: object) -> None:
        self.logger.info(msg, stacklevel=2)

    def d(self, msg: object) -> None:
        self.logger.debug(msg, stacklevel=2)

    def __repr__(self) -> str:
        return "<OVRALog {!r}>".format(self.logger.name)


OVRALog: _OvraLogger = _OvraLogger(LOGGER_NAME)
