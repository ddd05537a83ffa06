"""The program ``ovralite-npu`` (and ``python -m ovralite.api.npu_config``).

Ctrl-C ends it with one line and status 130 at any moment, the imports
included: the handler is set before anything else is imported.
"""

import _signal  # type: ignore[import-not-found,unused-ignore]  # quicker than signal
import os
import sys


def _interrupted(signum: int, frame: object) -> None:
    os.write(2, b"ovralite-npu: interrupted\n")
    os._exit(130)  # 128 + SIGINT, as shells report it


def run() -> None:
    _signal.signal(_signal.SIGINT, _interrupted)
    # Text the terminal cannot show is escaped rather than a failure.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    from ovralite.api.npu_config.cli import main

    sys.exit(main())
