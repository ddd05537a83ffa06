// What the rows of settings.hpp give the code that walks them, made at
// compile time: the settings in file order with their interned names, the
// constructor's parameter names and assignment order, and the switches.
#pragma once

#include "names.hpp"

namespace npu {

// How the loader reads a setting from the section view.
enum class Read {
    Get,        // dev.get(key, fallback)
    GetInt,     // dev.getint(key, fallback)
    Switches,   // the data-type switches, appended to the record's list
    UnderRoot,  // os.path.join(ROOT_DIR, "simulator", dev.get(key, fallback))
};

// A fallback: a text, a number, True, or (the data types) an empty list.
struct Fallback {
    enum Kind { Text, Number, True, EmptyList } kind;
    const char* text;
    long number;
};
constexpr Fallback text(const char* value) { return {Fallback::Text, value, 0}; }
constexpr Fallback number(long value) { return {Fallback::Number, nullptr, value}; }
constexpr Fallback truth() { return {Fallback::True, nullptr, 0}; }
constexpr Fallback empty_list() { return {Fallback::EmptyList, nullptr, 0}; }

struct Setting {
    PyObject* Names::*attribute;
    PyObject* Names::*key;
    const char* text;  // the attribute's
    Read read;
    Fallback fallback;
    int param;     // 1-based, after self
    int assigned;  // 1-based
};

constexpr Setting kSettings[] = {
#define NPU_SETTING_ROW(attribute, key, read, fallback, param, assigned) \
    {&Names::attribute, &Names::key_##attribute, #attribute, Read::read, fallback, param, \
     assigned},
    NPU_SETTINGS(NPU_SETTING_ROW)
#undef NPU_SETTING_ROW
};
constexpr int kSettingCount = sizeof(kSettings) / sizeof(kSettings[0]);
constexpr int kRequiredParams = NPU_REQUIRED_PARAMS;
// DeviceConfig.__init__'s parameters, self included.
constexpr int kInitParamCount = kSettingCount + 1;

// The index in kSettings of the setting whose `column` is `place`; -1 if none.
constexpr int setting_at(int Setting::*column, int place) {
    for (int i = 0; i < kSettingCount; ++i) {
        if (kSettings[i].*column == place) {
            return i;
        }
    }
    return -1;
}

// Each place of a numbered column taken exactly once.
constexpr bool numbers_each_place_once(int Setting::*column) {
    for (int place = 1; place <= kSettingCount; ++place) {
        int holders = 0;
        for (const Setting& s : kSettings) {
            holders += s.*column == place;
        }
        if (holders != 1) {
            return false;
        }
    }
    return true;
}
static_assert(numbers_each_place_once(&Setting::param), "each parameter position once");
static_assert(numbers_each_place_once(&Setting::assigned), "each assignment place once");

// The one setting that is a list (of data types, filled by the switches).
constexpr int list_setting() {
    int found = -1;
    for (int i = 0; i < kSettingCount; ++i) {
        if (kSettings[i].read == Read::Switches) {
            found = found < 0 ? i : -2;
        }
    }
    return found;
}
constexpr int kDtypesSetting = list_setting();
static_assert(kDtypesSetting >= 0, "one setting holds the data types");

// An order of the settings, as indices into kSettings.
struct Order {
    int index[kSettingCount];
};

constexpr Order order_by(int Setting::*column) {
    Order order{};
    for (int place = 1; place <= kSettingCount; ++place) {
        order.index[place - 1] = setting_at(column, place);
    }
    return order;
}

constexpr Order kParamOrder = order_by(&Setting::param);
constexpr Order kAssignmentOrder = order_by(&Setting::assigned);

// The names of __init__'s parameters, self first.
struct ParamNames {
    PyObject* Names::*names[kInitParamCount];
};

constexpr ParamNames init_param_names() {
    ParamNames p{};
    p.names[0] = &Names::self;
    for (int i = 0; i < kSettingCount; ++i) {
        p.names[i + 1] = kSettings[kParamOrder.index[i]].attribute;
    }
    return p;
}
constexpr ParamNames kInitParams = init_param_names();

struct Switch {
    PyObject* Names::*key;
    bool fallback;
    PyObject* Names::*constant;
};

constexpr Switch kSwitches[] = {
#define NPU_SWITCH_ROW(field, key, fallback, constant) \
    {&Names::field, fallback, &Names::constant},
    NPU_SWITCHES(NPU_SWITCH_ROW)
#undef NPU_SWITCH_ROW
};

}  // namespace npu
