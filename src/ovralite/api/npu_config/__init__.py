"""NPU device descriptions and the configuration files of NPU models.

The classes live in the compiled module ``ovralite.api.npu_config.npu_config``.
"""
