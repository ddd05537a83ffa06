// Per-module state, and the helpers every operation uses to read the module
// namespace and to call.
#pragma once

#include "compat.hpp"
#include "names.hpp"
#include "ref.hpp"
#include "setting_tables.hpp"
#include "shortcuts.hpp"

namespace npu {

struct ModuleState {
    Names n;
    PyObject* function_type;  // the type of the module's functions
    // What the functions' code objects are made from (function.hpp).
    PyObject* code_template;
    // The code shared by every `_parse_device` made by NPUConfig, made by
    // the first construction.
    PyObject* parse_device_code;
    PyObject* parse_device_varnames;
    PyObject* parse_device_qualname;
    // Each setting's fallback (settings.hpp), made once; the list of
    // nn_support_dtypes is the constructor's shared default.
    PyObject* fallbacks[kSettingCount];
    // What only NPUConfig uses, made by its first construction: the loader's
    // names (names.hpp) and the keyword names of its calls, ("target", "pid")
    // and ("dict_type",).
    bool loader_ready;
    PyObject* kwnames_record;
    PyObject* kwnames_parser;
    // Python source compiled alongside this module would keep its asserts
    // unless the interpreter runs with -O; fixed when the module loads.
    bool assertions;
    VocabularyCache dtypes;  // DeviceDtype: get_options(), the first five its quantized ones
    VocabularyCache modes;   // InitOptimization
};

inline ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

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

// A text of the module's own, interned; empty with an exception set when it
// cannot be made.
inline Ref interned(const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); }

// globals[name] = value, where value is what a statement computed: its
// error, when it has none, goes on.
inline int bind(PyObject* globals, PyObject* name, const Ref& value) {
    return value ? PyDict_SetItem(globals, name, value.get()) : -1;
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
