import configparser as configparser
import copy as copy
import os as os
import sys as sys
from collections import OrderedDict as OrderedDict
from typing import Any, ClassVar, Iterable, List, Optional, Union

import yaml as yaml  # type: ignore[import-untyped,unused-ignore]

from ovralite.api.ovra_log import _OvraLogger

ovraLog: _OvraLogger
"""The package logger (``ovralite.api.ovra_log.OVRALog``); reports a model without a file."""
current_file_path: str
"""The path of the package ``ovralite.api.npu_config``'s ``__init__`` file."""
ROOT_DIR: str
"""The absolute path of the top package ``ovralite``; configuration files lie below it.

The shipped models' names: ``ovralite.api.npu_config.models.shipped_models()``.
A configuration file's mistakes, as ``ovralite-npu check`` reports them:
``ovralite.api.npu_config.check.check_file(path)``."""

class InitOptimization:
    """The initial optimization modes."""

    ENABLE_ALL: ClassVar[str]
    """``"enable_all"``"""
    DISABLE_ALL: ClassVar[str]
    """``"disable_all"``"""
    MANUAL: ClassVar[str]
    """``"manual"``"""
    @classmethod
    def get_options(cls) -> List[str]:
        """A new list of the modes, read through `cls`: ENABLE_ALL, DISABLE_ALL, MANUAL."""

class DeviceDtype:
    """The names of the data types an NPU's neural-network engine may support."""

    DYNAMIC_FIXED_POINT_INT8: ClassVar[str]
    """``"dynamic_fixed_point-8"``"""
    DYNAMIC_FIXED_POINT_INT16: ClassVar[str]
    """``"dynamic_fixed_point-16"``"""
    DYNAMIC_FIXED_POINT_UINT16: ClassVar[str]
    """``"dynamic_fixed_point-u16"``"""
    DYNAMIC_FIXED_POINT_UINT8: ClassVar[str]
    """``"dynamic_fixed_point-u8"``"""
    SCALE_AFFINE_UINT8: ClassVar[str]
    """``"asymmetric_quantized-u8"``"""
    FLOAT16: ClassVar[str]
    """``"float16"``"""
    FLOAT32: ClassVar[str]
    """``"float32"``"""
    INT32: ClassVar[str]
    """``"int32"`` (no device lists it)"""
    @classmethod
    def get_quantization_dtype(cls) -> List[str]:
        """A new list of the five quantized types, read through `cls`."""
    @classmethod
    def get_options(cls) -> List[str]:
        """A new list of the seven types a device may list: the quantized ones, then
        FLOAT16 and FLOAT32."""

class DeviceConfig:
    """The settings of one NPU device, as a configuration file's section
    ``[device]`` gives them; plain attributes, read and assigned directly."""

    target: str
    """The device's target name."""
    pid: str
    """The product id, as written (``"0X82"``)."""
    optimization: Union[bool, str]
    """The initial optimization: True, or the text the file gives."""
    core: int
    """The number of cores."""
    mad_per_core: int
    """MAD units per core."""
    input_buffer_depth: int
    """The input buffer depth."""
    evis: int
    """The EVIS setting."""
    nn_support_dtypes: List[str]
    """The data types the neural-network engine supports (DeviceDtype names)."""
    ext_sram_sizes: str
    """The external SRAM sizes, as written (file key ``extSRAMSizes``)."""
    sdk_dir: str
    """The simulator SDK directory."""
    simulator_config: str
    """The simulator configuration."""
    ext_axi_sram_sizes: str
    """The AXI SRAM sizes, as written (file key ``extAXISRAMSizes``)."""
    def __init__(
        self,
        target: str,
        pid: str,
        core: int = ...,
        mad_per_core: int = ...,
        input_buffer_depth: int = ...,
        evis: int = ...,
        nn_support_dtypes: Optional[Iterable[str]] = ...,
        optimization: Union[bool, str] = ...,
        ext_sram_sizes: str = ...,
        sdk_dir: str = ...,
        simulator_config: str = ...,
        ext_axi_sram_sizes: str = ...,
    ) -> None:
        """A record of the settings given, every other at its default; the data
        types must be names of DeviceDtype.get_options() and are copied."""
    def serialize(self) -> "OrderedDict[str, Any]":
        """The settings as an ordered mapping under the file's key names, with a
        copy of the data types."""

class NPUConfig:
    """An NPU model's configuration, read from its file in the package."""

    device: DeviceConfig
    """The device the model's file describes (the defaults without a file)."""
    def __init__(self, npu_model: Union[str, "os.PathLike[str]"]) -> None:
        """Reads the file of the model named `npu_model` (below ROOT_DIR, in
        config/npu_config; a path is taken as it is) and applies its section
        ``[device]``. A model without a file is reported through ovraLog."""
    def is_quantize_method_compatible(self, quantized_dtype: Any) -> bool:
        """Whether `quantized_dtype` is among the device's data types."""
