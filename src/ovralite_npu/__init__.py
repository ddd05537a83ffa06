"""The program ``ovralite-npu`` (also ``python -m ovralite.api.npu_config``).

A package of its own, outside ovralite: the program's entry imports nothing
of ovralite before it takes Ctrl-C, which then ends the program with one
line and status 130 at any moment, ovralite's imports included.
"""

import _signal  # type: ignore[import-not-found,unused-ignore]  # quicker than signal
import os
import sys


def _interrupted(signum: int, frame: object) -> None:
    os.write(2, b"ovralite-npu: interrupted\n")
    os._exit(130)  # 128 + SIGINT, as shells report it


def run() -> None:
    _signal.signal(_signal.SIGINT, _interrupted)
    from ovralite.api.npu_config.cli import program

    sys.exit(program())
