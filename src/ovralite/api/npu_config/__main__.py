import sys

from ovralite.api.npu_config.cli import main

sys.exit(main())
