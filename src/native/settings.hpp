// The settings of a device record, written once: each with its attribute,
// its key in the configuration file's section "device" and in the serialized
// mapping, how the file's value is read, its fallback, and its parameter of
// DeviceConfig.__init__. The loader, the constructor and serialize walk it.
#pragma once

#include "state.hpp"

namespace npu {

// How the loader reads a setting from the section view.
enum class Read {
    Get,         // dev.get(key, fallback)
    GetInt,      // dev.getint(key, fallback)
    Switches,    // the data-type switches below, appended to the record's list
    UnderRoot,   // os.path.join(ROOT_DIR, "simulator", dev.get(key, fallback))
};

// Parameter positions of DeviceConfig.__init__ (0 is the instance).
enum Param : int {
    kSelf,
    kTarget,
    kPid,
    kCore,
    kMadPerCore,
    kInputBufferDepth,
    kEvis,
    kDtypes,
    kOptimization,
    kExtSramSizes,
    kSdkDir,
    kSimulatorConfig,
    kExtAxiSramSizes,
    kParamCount
};

// A fallback: a text, a number, True, or (the data types) an empty list.
struct Fallback {
    enum Kind { Text, Number, True, EmptyList } kind;
    const char* text;
    long number;
};
constexpr Fallback text(const char* value) { return {Fallback::Text, value, 0}; }
constexpr Fallback number(long value) { return {Fallback::Number, nullptr, value}; }
constexpr Fallback of_kind(Fallback::Kind kind) { return {kind, nullptr, 0}; }

struct Setting {
    PyObject* Names::*attribute;
    PyObject* Names::*key;
    Read read;
    Fallback fallback;  // of the file's key, and the constructor's default
    Param param;
};

// In the order the loader reads them and serialize writes them. The
// constructor has no default for target and pid.
constexpr Setting kSettings[] = {
    {&Names::target, &Names::target, Read::Get, text("VIP8000"), kTarget},
    {&Names::pid, &Names::pid, Read::Get, text("0XFF"), kPid},
    {&Names::optimization, &Names::optimization, Read::Get, of_kind(Fallback::True), kOptimization},
    {&Names::core, &Names::core, Read::GetInt, number(1), kCore},
    {&Names::mad_per_core, &Names::mad_per_core, Read::GetInt, number(64), kMadPerCore},
    {&Names::input_buffer_depth, &Names::input_buffer_depth, Read::GetInt, number(12),
     kInputBufferDepth},
    {&Names::evis, &Names::evis, Read::GetInt, number(2), kEvis},
    {&Names::nn_support_dtypes, &Names::nn_support_dtypes, Read::Switches,
     of_kind(Fallback::EmptyList), kDtypes},
    {&Names::ext_sram_sizes, &Names::extSRAMSizes, Read::Get, text("0x0"), kExtSramSizes},
    {&Names::ext_axi_sram_sizes, &Names::extAXISRAMSizes, Read::Get, text("0"),
     kExtAxiSramSizes},
    {&Names::sdk_dir, &Names::sdk_dir, Read::UnderRoot, text("LION"), kSdkDir},
    {&Names::simulator_config, &Names::simulator_config, Read::Get, text("VIPNANOQ_PID0X82"),
     kSimulatorConfig},
};
constexpr int kSettingCount = sizeof(kSettings) / sizeof(kSettings[0]);

static_assert(kSettingCount == kSettingSlots, "a fallback for every setting");

// The order in which the constructor assigns them (indices into kSettings).
constexpr int kAssignmentOrder[kSettingCount] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 9};

// A support switch: the file's key, its fallback, and the DeviceDtype
// constant whose name is appended to the record's list when it is on.
struct Switch {
    PyObject* Names::*key;
    bool fallback;
    PyObject* Names::*constant;
};

constexpr Switch kSwitches[] = {
    {&Names::float16_support, false, &Names::FLOAT16},
    {&Names::dfp8_support, true, &Names::DYNAMIC_FIXED_POINT_INT8},
    {&Names::dfp16_support, false, &Names::DYNAMIC_FIXED_POINT_INT16},
    {&Names::aqu8_support, false, &Names::SCALE_AFFINE_UINT8},
};

}  // namespace npu
