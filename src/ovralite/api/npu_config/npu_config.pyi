import configparser as configparser
import copy as copy
import os as os
import sys as sys
from collections import OrderedDict as OrderedDict
from typing import Any, ClassVar, Iterable, List, Optional, Union

import yaml as yaml  # type: ignore[import-untyped,unused-ignore]

from ovralite.api.ovra_log import _OvraLogger

ovraLog: _OvraLogger
current_file_path: str
ROOT_DIR: str

class InitOptimization:
    ENABLE_ALL: ClassVar[str]
    DISABLE_ALL: ClassVar[str]
    MANUAL: ClassVar[str]
    @classmethod
    def get_options(cls) -> List[str]: ...

class DeviceDtype:
    DYNAMIC_FIXED_POINT_INT8: ClassVar[str]
    DYNAMIC_FIXED_POINT_INT16: ClassVar[str]
    DYNAMIC_FIXED_POINT_UINT16: ClassVar[str]
    DYNAMIC_FIXED_POINT_UINT8: ClassVar[str]
    SCALE_AFFINE_UINT8: ClassVar[str]
    FLOAT16: ClassVar[str]
    FLOAT32: ClassVar[str]
    INT32: ClassVar[str]
    @classmethod
    def get_quantization_dtype(cls) -> List[str]: ...
    @classmethod
    def get_options(cls) -> List[str]: ...

class DeviceConfig:
    target: str
    pid: str
    optimization: Union[bool, str]
    core: int
    mad_per_core: int
    input_buffer_depth: int
    evis: int
    nn_support_dtypes: List[str]
    ext_sram_sizes: str
    sdk_dir: str
    simulator_config: str
    ext_axi_sram_sizes: str
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
    ) -> None: ...
    def serialize(self) -> "OrderedDict[str, Any]": ...

class NPUConfig:
    device: DeviceConfig
    def __init__(self, npu_model: str) -> None: ...
    def is_quantize_method_compatible(self, quantized_dtype: Any) -> bool: ...
