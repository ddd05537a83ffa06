// The settings of a device record, one row each: everything the constructor,
// the loader and serialize know of a setting follows from its row.
//
//   attribute  the record's attribute, which is also the parameter of
//              DeviceConfig.__init__ that sets it
//   key        its key in the file's section "device" and in serialize()'s mapping
//   read       how the loader reads it from the section view (Read below)
//   fallback   the loader's value for a key the file lacks; the constructor's
//              default, for the parameters that have one
//   param      its position among __init__'s parameters, after self
//   assigned   its place in the order __init__ assigns the attributes
//
// The rows are in the order the loader reads the keys and serialize writes
// them; the constructor's two other orders are the numbered columns, so a
// setting is added by adding its row and renumbering those.
//
// X(attribute, key, read, fallback, param, assigned)
#pragma once

#define NPU_SETTINGS(X)                                                                      \
    X(target, "target", Get, text("VIP8000"), 1, 1)                                          \
    X(pid, "pid", Get, text("0XFF"), 2, 2)                                                   \
    X(optimization, "optimization", Get, truth(), 8, 3)                                      \
    X(core, "core", GetInt, number(1), 3, 4)                                                 \
    X(mad_per_core, "mad_per_core", GetInt, number(64), 4, 5)                                \
    X(input_buffer_depth, "input_buffer_depth", GetInt, number(12), 5, 6)                    \
    X(evis, "evis", GetInt, number(2), 6, 7)                                                 \
    X(nn_support_dtypes, "nn_support_dtypes", Switches, empty_list(), 7, 8)                  \
    X(ext_sram_sizes, "extSRAMSizes", Get, text("0x0"), 9, 9)                                \
    X(ext_axi_sram_sizes, "extAXISRAMSizes", Get, text("0"), 12, 12)                         \
    X(sdk_dir, "sdk_dir", UnderRoot, text("LION"), 10, 10)                                   \
    X(simulator_config, "simulator_config", Get, text("VIPNANOQ_PID0X82"), 11, 11)

// The first parameters have no default: __init__ requires them.
#define NPU_REQUIRED_PARAMS 2

// The data-type switches of the section "device", read in this order where
// the setting read as Switches stands: each a key, its fallback, and the
// DeviceDtype constant whose value joins the record's list when it is on.
//
// X(field, key, fallback, constant)
#define NPU_SWITCHES(X)                                                                      \
    X(float16_support, "float16_support", false, FLOAT16)                                    \
    X(dfp8_support, "dynamic_fixed_point-8_support", true, DYNAMIC_FIXED_POINT_INT8)         \
    X(dfp16_support, "dynamic_fixed_point-16_support", false, DYNAMIC_FIXED_POINT_INT16)     \
    X(aqu8_support, "asymmetric_quantized-u8_support", false, SCALE_AFFINE_UINT8)
