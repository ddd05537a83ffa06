"""The model configurations shipped with the package: what
``NPUConfig(name)`` finds for a bare model name.

    >>> from ovralite.api.npu_config.models import shipped_models
    >>> "VIPNANOQ_PID0X82" in shipped_models()
    True
"""

import os
from typing import List

__all__ = ["models_dir", "shipped_models"]


def models_dir() -> str:
    """The directory of the shipped model configurations, where the loader
    looks up a model by its name."""
    from ovralite.api.npu_config import npu_config

    return os.path.join(str(npu_config.ROOT_DIR), "config", "npu_config")


def shipped_models() -> List[str]:
    """The names of the shipped models, sorted: each a name that
    ``NPUConfig`` loads from the package."""
    folder = models_dir()
    return sorted(name for name in os.listdir(folder)
                  if os.path.isfile(os.path.join(folder, name)) and not name.startswith("."))
