// The texts the module works with, interned once per module object: the
// names it binds, looks up and calls, the settings' attributes and keys
// (settings.hpp), the vocabularies' constants (vocabularies.hpp), and its
// messages.
#pragma once

#include "ref.hpp"
#include "settings.hpp"
#include "vocabularies.hpp"

namespace npu {

// X(field, text)
#define NPU_NAMES(X)                                                        \
    X(os, "os")                                                             \
    X(sys, "sys")                                                           \
    X(copy, "copy")                                                         \
    X(configparser, "configparser")                                         \
    X(yaml, "yaml")                                                         \
    X(collections, "collections")                                           \
    X(OrderedDict, "OrderedDict")                                           \
    X(ovra_log_module, "ovralite.api.ovra_log")                             \
    X(OVRALog, "OVRALog")                                                   \
    X(ovraLog, "ovraLog")                                                   \
    X(dunder_file, "__file__")                                              \
    X(dunder_import, "__import__")                                          \
    X(dunder_name, "__name__")                                              \
    X(dunder_module, "__module__")                                          \
    X(dunder_qualname, "__qualname__")                                      \
    X(dunder_init, "__init__")                                              \
    X(dunder_builtins, "__builtins__")                                      \
    X(dunder_static_attributes, "__static_attributes__")                    \
    X(serialize, "serialize")                                               \
    X(self, "self")                                                         \
    X(cls, "cls")                                                           \
    X(npu_model, "npu_model")                                               \
    X(quantized_dtype, "quantized_dtype")                                   \
    X(is_quantize_method_compatible, "is_quantize_method_compatible")       \
    X(current_file_path, "current_file_path")                               \
    X(ROOT_DIR, "ROOT_DIR")                                                 \
    X(InitOptimization, "InitOptimization")                                 \
    X(DeviceDtype, "DeviceDtype")                                           \
    X(DeviceConfig, "DeviceConfig")                                         \
    X(NPUConfig, "NPUConfig")                                               \
    X(path, "path")                                                         \
    X(dirname, "dirname")                                                   \
    X(join, "join")                                                         \
    X(abspath, "abspath")                                                   \
    X(parent_dir, "..")                                                     \
    X(empty, "")                                                            \
    X(deepcopy, "deepcopy")                                                 \
    X(get_options, "get_options")                                           \
    X(get_quantization_dtype, "get_quantization_dtype")                     \
    X(device, "device")

// The texts only NPUConfig's construction uses: made by the first one, so
// that the module's import makes no more than it needs.
#define NPU_LOADER_NAMES(X)                                                 \
    X(parse_device, "_parse_device")                                        \
    X(parser, "parser")                                                     \
    X(config, "config")                                                     \
    X(npu_config, "npu_config")                                             \
    X(simulator, "simulator")                                               \
    X(ConfigParser, "ConfigParser")                                         \
    X(dict_type, "dict_type")                                               \
    X(read, "read")                                                         \
    X(get, "get")                                                           \
    X(getint, "getint")                                                     \
    X(getboolean, "getboolean")                                             \
    X(e, "e")                                                               \
    X(append, "append")                                                     \
    X(format, "format")                                                     \
    X(msg_missing, "Config for NPU {} does not exists!")                    \
    X(msg_unreadable, "Config for NPU {} can not be read!")                 \
    X(default_pid, "0XFF")                                                  \
    X(exists, "exists")

struct Names {
#define NPU_NAME_FIELD(field, text) PyObject* field;
#define NPU_SETTING_FIELDS(attribute, key, read, fallback, param, assigned) \
    PyObject* attribute;                                                   \
    PyObject* key_##attribute;
#define NPU_SWITCH_FIELD(field, key, fallback, constant) PyObject* field;
#define NPU_CONSTANT_FIELD(name, text, listed) PyObject* name;
    NPU_NAMES(NPU_NAME_FIELD)
    NPU_SETTINGS(NPU_SETTING_FIELDS)
    NPU_INIT_OPTIMIZATION(NPU_CONSTANT_FIELD)
    NPU_DEVICE_DTYPE(NPU_CONSTANT_FIELD)
    NPU_LOADER_NAMES(NPU_NAME_FIELD)
    NPU_SWITCHES(NPU_SWITCH_FIELD)
#undef NPU_NAME_FIELD
#undef NPU_SETTING_FIELDS
#undef NPU_SWITCH_FIELD
#undef NPU_CONSTANT_FIELD
};

// Interns the texts of the load (NPU_NAMES, the settings) or of the loader
// (NPU_LOADER_NAMES, the switches' keys); -1 with an exception set when one
// cannot be made.
int init_names(Names& n);
int init_loader_names(Names& n);
void clear_names(Names& n);

}  // namespace npu
