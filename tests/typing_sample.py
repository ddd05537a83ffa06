"""Uses every public name of the compiled module; checked by mypy in the tests."""
from collections import OrderedDict
from typing import Any, List

from ovralite.api.npu_config import npu_config as m

modes: List[str] = m.InitOptimization.get_options()
names: List[str] = m.DeviceDtype.get_options() + m.DeviceDtype.get_quantization_dtype()
constants = [m.InitOptimization.ENABLE_ALL, m.InitOptimization.DISABLE_ALL,
             m.InitOptimization.MANUAL, m.DeviceDtype.DYNAMIC_FIXED_POINT_INT8,
             m.DeviceDtype.DYNAMIC_FIXED_POINT_INT16, m.DeviceDtype.DYNAMIC_FIXED_POINT_UINT8,
             m.DeviceDtype.DYNAMIC_FIXED_POINT_UINT16, m.DeviceDtype.SCALE_AFFINE_UINT8,
             m.DeviceDtype.FLOAT16, m.DeviceDtype.FLOAT32, m.DeviceDtype.INT32]
record = m.DeviceConfig("VIP8000", "0XFF", core=2, nn_support_dtypes=[m.DeviceDtype.FLOAT16])
cores: int = record.core
mapping: "OrderedDict[str, Any]" = record.serialize()
loader = m.NPUConfig("VIPNANOQ_PID0X82")
from_path = m.NPUConfig(__import__("pathlib").Path("./my_model"))  # a path works at run time
ok: bool = loader.is_quantize_method_compatible(m.DeviceDtype.FLOAT16)
device: m.DeviceConfig = loader.device
root: str = m.ROOT_DIR + m.current_file_path
m.ovraLog.e("message")
modules = (m.os, m.sys, m.copy, m.configparser, m.yaml, m.OrderedDict)

from ovralite.api.npu_config.check import Problem, check_file
from ovralite.api.npu_config.cli import main

status: int = main(["list"])
problems: List[Problem] = check_file("some/file")
where: List[str] = ["{}:{}: {}".format(p.path, p.line, p.message) for p in problems]
