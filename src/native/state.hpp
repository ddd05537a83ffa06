// Per-module state: interned texts, the classes made at load, and the
// helpers every operation uses to read the module namespace.
#pragma once

#include "compat.hpp"
#include "function.hpp"
#include "ref.hpp"

namespace npu {

// Interned texts: X(field, text).
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
    X(dunder_spec, "__spec__")                                              \
    X(dunder_module, "__module__")                                          \
    X(dunder_qualname, "__qualname__")                                      \
    X(dunder_init, "__init__")                                              \
    X(serialize, "serialize")                                               \
    X(is_quantize_method_compatible, "is_quantize_method_compatible")       \
    X(initializing, "_initializing")                                        \
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
    X(exists, "exists")                                                     \
    X(parent_dir, "..")                                                     \
    X(empty, "")                                                            \
    X(deepcopy, "deepcopy")                                                 \
    X(dunder_builtins, "__builtins__")                                      \
    X(dunder_static_attributes, "__static_attributes__")                    \
    X(get_options, "get_options")                                           \
    X(get_quantization_dtype, "get_quantization_dtype")                     \
    X(ENABLE_ALL, "ENABLE_ALL")                                             \
    X(DISABLE_ALL, "DISABLE_ALL")                                           \
    X(MANUAL, "MANUAL")                                                     \
    X(DYNAMIC_FIXED_POINT_INT8, "DYNAMIC_FIXED_POINT_INT8")                 \
    X(DYNAMIC_FIXED_POINT_INT16, "DYNAMIC_FIXED_POINT_INT16")               \
    X(DYNAMIC_FIXED_POINT_UINT16, "DYNAMIC_FIXED_POINT_UINT16")             \
    X(DYNAMIC_FIXED_POINT_UINT8, "DYNAMIC_FIXED_POINT_UINT8")               \
    X(SCALE_AFFINE_UINT8, "SCALE_AFFINE_UINT8")                             \
    X(FLOAT16, "FLOAT16")                                                   \
    X(FLOAT32, "FLOAT32")                                                   \
    X(INT32, "INT32")                                                       \
    X(target, "target")                                                     \
    X(pid, "pid")                                                           \
    X(optimization, "optimization")                                         \
    X(core, "core")                                                         \
    X(mad_per_core, "mad_per_core")                                         \
    X(input_buffer_depth, "input_buffer_depth")                             \
    X(evis, "evis")                                                         \
    X(nn_support_dtypes, "nn_support_dtypes")                               \
    X(ext_sram_sizes, "ext_sram_sizes")                                     \
    X(sdk_dir, "sdk_dir")                                                   \
    X(simulator_config, "simulator_config")                                 \
    X(ext_axi_sram_sizes, "ext_axi_sram_sizes")                             \
    X(extSRAMSizes, "extSRAMSizes")                                         \
    X(extAXISRAMSizes, "extAXISRAMSizes")                                   \
    X(float16_support, "float16_support")                                   \
    X(dfp8_support, "dynamic_fixed_point-8_support")                        \
    X(dfp16_support, "dynamic_fixed_point-16_support")                      \
    X(aqu8_support, "asymmetric_quantized-u8_support")                      \
    X(device, "device")                                                     \
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
    X(default_pid, "0XFF")

struct Names {
#define NPU_FIELD(field, text) PyObject* field;
    NPU_NAMES(NPU_FIELD)
#undef NPU_FIELD
};

#if NPU_SHORTCUTS
// A vocabulary class as the load made it: the class and its namespace (not
// owned: while `valid`, both are alive), how that namespace is known to be
// unchanged, and the names its get_options() lists (owned).
struct VocabularyCache {
    static constexpr int kMaxEntries = 7;
    bool valid;
    PyObject* cls;
    PyObject* namespace_dict;
#if NPU_DICT_WATCHERS
    int watcher;  // the interpreter's watcher that clears `valid`
#else
    uint64_t version;  // the namespace's version when the class was made
#endif
    int count;
    PyObject* entries[kMaxEntries];
};
#endif

constexpr int kSettingSlots = 12;  // the record's settings (settings.hpp)

struct ModuleState {
    Names n;
    PyObject* function_type;  // the type of the module's functions
    // The code shared by every `_parse_device` made by NPUConfig.
    PyObject* parse_device_code;
    PyObject* parse_device_varnames;
    // Each setting's fallback (settings.hpp), made once; the list of
    // nn_support_dtypes is the constructor's shared default.
    PyObject* fallbacks[kSettingSlots];
    // Keyword names of the loader's calls: ("target", "pid"), ("dict_type",).
    PyObject* kwnames_record;
    PyObject* kwnames_parser;
    // Python source compiled alongside this module would keep its asserts
    // unless the interpreter runs with -O; fixed when the module loads.
    bool assertions;
#if NPU_SHORTCUTS
    VocabularyCache dtypes;  // DeviceDtype: get_options(), the first five its quantized ones
    VocabularyCache modes;   // InitOptimization
#endif
};

inline ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

#if NPU_SHORTCUTS
// Whether `cls` is the cached class with its namespace unchanged since the load.
inline bool as_loaded(const VocabularyCache& v, PyObject* cls) {
    return v.valid && cls == v.cls && Py_TYPE(cls) == &PyType_Type &&
           reinterpret_cast<PyTypeObject*>(cls)->tp_dict == v.namespace_dict
#if !NPU_DICT_WATCHERS
           && dict_version(v.namespace_dict) == v.version
#endif
        ;
}
int traverse_vocabulary(VocabularyCache& v, visitproc visit, void* arg);
void clear_vocabulary(VocabularyCache& v);
#endif

// Sets up the whole state of a module being loaded (module.cpp).
int init_state(PyObject* module);

// obj.<name>, as the interpreter reads it: from 3.10 an AttributeError
// raised on the way carries the name and the object.
inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj.<name> = value for one of the module's own names (exact, interned
// strings, held by the module): the type's setattro, which is what
// PyObject_SetAttr calls once it has checked and interned the name.
inline int set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    return set ? set(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

// A global name as a function body reads it: the module namespace first,
// then the builtins; NameError when neither has it.
Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name);

// os.path.<name>, with `os` read from the namespace now.
Ref os_path_function(PyObject* globals, PyObject* builtins, const Names& n, PyObject* name);

// The same, as the body of `fn` reads them: from 3.10 a function searches
// the builtins it took when it was made; a 3.9 frame takes them from the
// namespace as each call starts.
#if NPU_FUNCTIONS_KEEP_BUILTINS
inline Ref load_global(NativeFunction* fn, PyObject* name) {
    return load_global(fn->globals, fn->builtins, name);
}
#else
Ref load_global(NativeFunction* fn, PyObject* name);
#endif
inline Ref os_path_function(NativeFunction* fn, PyObject* name) {
    Ref os = load_global(fn, fn->state->n.os);
    Ref path = os ? getattr(os.get(), fn->state->n.path) : Ref();
    return path ? getattr(path.get(), name) : Ref();
}

// Calls `callable` with positional arguments; a new reference or NULL.
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1,
                                          sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// obj.name(args...)
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* stack[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace npu
