"""The package logger: standard logging under the name "ovralite"."""
import logging

from ovralite.api.ovra_log import OVRALog


def test_levels_go_to_the_ovralite_logger_with_the_callers_location(caplog):
    caplog.set_level(logging.DEBUG, logger="ovralite")
    OVRALog.e("err")
    OVRALog.w("warn")
    OVRALog.i("info")
    OVRALog.d("debug")
    records = [(r.name, r.levelname, r.getMessage(), r.filename) for r in caplog.records]
    assert records == [("ovralite", "ERROR", "err", "test_logger.py"),
                       ("ovralite", "WARNING", "warn", "test_logger.py"),
                       ("ovralite", "INFO", "info", "test_logger.py"),
                       ("ovralite", "DEBUG", "debug", "test_logger.py")]


def test_level_configuration_is_the_applications(caplog):
    caplog.set_level(logging.ERROR, logger="ovralite")
    OVRALog.w("hidden")
    OVRALog.e("shown")
    assert [r.getMessage() for r in caplog.records] == ["shown"]
