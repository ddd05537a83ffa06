import os
import sys
import copy
import configparser
import yaml
from collections import OrderedDict
from ovralite.api.ovra_log import OVRALog as ovraLog
from . import __file__ as current_file_path


# NPU device descriptions and the configuration files of NPU models.
#
# The package builds this module as a compiled extension module beside this
# file, and the import system takes that one first; this file is the same
# module in plain Python, used wherever no compiled module was built for the
# interpreter (PyPy, a platform without a wheel, OVRALITE_PURE_PYTHON=1).
# Both behave alike in everything a caller can see: change them together.

ROOT_DIR = os.path.abspath(os.path.join(os.path.dirname(current_file_path), "..", ".."))


class InitOptimization(object):
    ENABLE_ALL = "enable_all"
    DISABLE_ALL = "disable_all"
    MANUAL = "manual"

    @classmethod
    def get_options(cls):
        return [cls.ENABLE_ALL, cls.DISABLE_ALL, cls.MANUAL]


class DeviceDtype(object):
    DYNAMIC_FIXED_POINT_INT8 = "dynamic_fixed_point-8"
    DYNAMIC_FIXED_POINT_INT16 = "dynamic_fixed_point-16"
    DYNAMIC_FIXED_POINT_UINT16 = "dynamic_fixed_point-u16"
    DYNAMIC_FIXED_POINT_UINT8 = "dynamic_fixed_point-u8"
    SCALE_AFFINE_UINT8 = "asymmetric_quantized-u8"
    FLOAT16 = "float16"
    FLOAT32 = "float32"
    INT32 = "int32"

    @classmethod
    def get_quantization_dtype(cls):
        return [cls.DYNAMIC_FIXED_POINT_INT8, cls.DYNAMIC_FIXED_POINT_INT16,
                cls.DYNAMIC_FIXED_POINT_UINT8, cls.DYNAMIC_FIXED_POINT_UINT16,
                cls.SCALE_AFFINE_UINT8]

    @classmethod
    def get_options(cls):
        return cls.get_quantization_dtype() + [cls.FLOAT16, cls.FLOAT32]


class DeviceConfig(object):
    def __init__(self, target, pid, core=1, mad_per_core=64, input_buffer_depth=12, evis=2,
                 nn_support_dtypes=[], optimization=True, ext_sram_sizes="0x0", sdk_dir="LION",
                 simulator_config="VIPNANOQ_PID0X82", ext_axi_sram_sizes="0"):
        if nn_support_dtypes is None:
            nn_support_dtypes = []
        options = DeviceDtype.get_options()
        for dtype in nn_support_dtypes:
            assert dtype in options
        self.target = target
        self.pid = pid
        self.optimization = optimization
        self.core = core
        self.mad_per_core = mad_per_core
        self.input_buffer_depth = input_buffer_depth
        self.evis = evis
        self.nn_support_dtypes = copy.deepcopy(nn_support_dtypes)
        self.ext_sram_sizes = ext_sram_sizes
        self.sdk_dir = sdk_dir
        self.simulator_config = simulator_config
        self.ext_axi_sram_sizes = ext_axi_sram_sizes

    def serialize(self):
        od = OrderedDict()
        od["target"] = self.target
        od["pid"] = self.pid
        od["optimization"] = self.optimization
        od["core"] = self.core
        od["mad_per_core"] = self.mad_per_core
        od["input_buffer_depth"] = self.input_buffer_depth
        od["evis"] = self.evis
        od["nn_support_dtypes"] = copy.deepcopy(self.nn_support_dtypes)
        od["extSRAMSizes"] = self.ext_sram_sizes
        od["extAXISRAMSizes"] = self.ext_axi_sram_sizes
        od["sdk_dir"] = self.sdk_dir
        od["simulator_config"] = self.simulator_config
        return od


class NPUConfig(object):
    def __init__(self, npu_model):
        def _parse_device(parser, device):
            if "device" not in parser:
                return
            dev = parser["device"]
            device.target = dev.get("target", "VIP8000")
            device.pid = dev.get("pid", "0XFF")
            device.optimization = dev.get("optimization", True)
            device.core = dev.getint("core", 1)
            device.mad_per_core = dev.getint("mad_per_core", 64)
            device.input_buffer_depth = dev.getint("input_buffer_depth", 12)
            device.evis = dev.getint("evis", 2)
            if dev.getboolean("float16_support", False):
                device.nn_support_dtypes.append(DeviceDtype.FLOAT16)
            if dev.getboolean("dynamic_fixed_point-8_support", True):
                device.nn_support_dtypes.append(DeviceDtype.DYNAMIC_FIXED_POINT_INT8)
            if dev.getboolean("dynamic_fixed_point-16_support", False):
                device.nn_support_dtypes.append(DeviceDtype.DYNAMIC_FIXED_POINT_INT16)
            if dev.getboolean("asymmetric_quantized-u8_support", False):
                device.nn_support_dtypes.append(DeviceDtype.SCALE_AFFINE_UINT8)
            device.ext_sram_sizes = dev.get("extSRAMSizes", "0x0")
            device.ext_axi_sram_sizes = dev.get("extAXISRAMSizes", "0")
            device.sdk_dir = os.path.join(ROOT_DIR, "simulator", dev.get("sdk_dir", "LION"))
            device.simulator_config = dev.get("simulator_config", "VIPNANOQ_PID0X82")

        npu_cfg_path = os.path.join(ROOT_DIR, "config", "npu_config", npu_model)
        # The truth of exists()'s answer is taken once, whatever it returns.
        missing = not os.path.exists(npu_cfg_path)
        if missing:
            ovraLog.e("Config for NPU {} does not exists!".format(npu_model))
        default_pid = "0XFF"
        self.device = DeviceConfig(target=npu_model, pid=default_pid)
        cfg_parser = configparser.ConfigParser(dict_type=OrderedDict)
        # A path that exists but yields nothing (a directory, an unreadable
        # file) is reported rather than passed off as an empty configuration.
        read = cfg_parser.read(npu_cfg_path)
        if not missing and not read:
            ovraLog.e("Config for NPU {} can not be read!".format(npu_model))
        _parse_device(cfg_parser, self.device)

    def is_quantize_method_compatible(self, quantized_dtype):
        return quantized_dtype in self.device.nn_support_dtypes
