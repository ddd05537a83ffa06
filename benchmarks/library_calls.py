"""Exactly the standard-library calls that NPUConfig(npu_model) makes: the
floor of the loader's cost."""
import configparser
import copy
import os
from collections import OrderedDict

from ovralite.api.npu_config.npu_config import ROOT_DIR


def standard_library_calls(npu_model):
    npu_cfg_path = os.path.join(ROOT_DIR, "config", "npu_config", npu_model)
    os.path.exists(npu_cfg_path)
    copy.deepcopy([])
    cfg_parser = configparser.ConfigParser(dict_type=OrderedDict)
    cfg_parser.read(npu_cfg_path)
    if "device" in cfg_parser:
        dev = cfg_parser["device"]
        dev.get("target", "VIP8000")
        dev.get("pid", "0XFF")
        dev.get("optimization", True)
        dev.getint("core", 1)
        dev.getint("mad_per_core", 64)
        dev.getint("input_buffer_depth", 12)
        dev.getint("evis", 2)
        dev.getboolean("float16_support", False)
        dev.getboolean("dynamic_fixed_point-8_support", True)
        dev.getboolean("dynamic_fixed_point-16_support", False)
        dev.getboolean("asymmetric_quantized-u8_support", False)
        dev.get("extSRAMSizes", "0x0")
        dev.get("extAXISRAMSizes", "0")
        os.path.join(ROOT_DIR, "simulator", dev.get("sdk_dir", "LION"))
        dev.get("simulator_config", "VIPNANOQ_PID0X82")
