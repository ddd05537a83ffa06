// The module object: its state set up, the load sequence (multi-phase
// initialisation), and the garbage collector's view of the state.
#include "classes.hpp"
#include "imports.hpp"
#include "globals.hpp"
#include "state.hpp"

#include <cstring>

namespace npu {

// (A field made by an earlier attempt that failed part way is replaced.)
#define NPU_INTERN(field, text)                                      \
    if (PyObject* made = PyUnicode_InternFromString(text)) {         \
        Py_XSETREF(n.field, made);                                   \
    } else {                                                         \
        return -1;                                                   \
    }

int init_names(Names& n) {
#define NPU_INTERN_SETTING(attribute, key, read, fallback, param, assigned) \
    NPU_INTERN(attribute, #attribute)                                      \
    if (std::strcmp(key, #attribute) == 0) {                              \
        Py_XSETREF(n.key_##attribute, Ref::borrow(n.attribute).release()); \
    } else {                                                               \
        NPU_INTERN(key_##attribute, key)                                   \
    }
#define NPU_INTERN_CONSTANT(name, text, listed) NPU_INTERN(name, #name)
    NPU_NAMES(NPU_INTERN)
    NPU_SETTINGS(NPU_INTERN_SETTING)
    NPU_INIT_OPTIMIZATION(NPU_INTERN_CONSTANT)
    NPU_DEVICE_DTYPE(NPU_INTERN_CONSTANT)
#undef NPU_INTERN_SETTING
#undef NPU_INTERN_CONSTANT
    return 0;
}

int init_loader_names(Names& n) {
#define NPU_INTERN_SWITCH(field, key, fallback, constant) NPU_INTERN(field, key)
    NPU_LOADER_NAMES(NPU_INTERN)
    NPU_SWITCHES(NPU_INTERN_SWITCH)
#undef NPU_INTERN_SWITCH
    return 0;
}
#undef NPU_INTERN

void clear_names(Names& n) {
#define NPU_CLEAR(field, text) Py_CLEAR(n.field);
#define NPU_CLEAR_SETTING(attribute, key, read, fallback, param, assigned) \
    Py_CLEAR(n.attribute);                                                \
    Py_CLEAR(n.key_##attribute);
#define NPU_CLEAR_SWITCH(field, key, fallback, constant) Py_CLEAR(n.field);
#define NPU_CLEAR_CONSTANT(name, text, listed) Py_CLEAR(n.name);
    NPU_NAMES(NPU_CLEAR)
    NPU_SETTINGS(NPU_CLEAR_SETTING)
    NPU_INIT_OPTIMIZATION(NPU_CLEAR_CONSTANT)
    NPU_DEVICE_DTYPE(NPU_CLEAR_CONSTANT)
    NPU_LOADER_NAMES(NPU_CLEAR)
    NPU_SWITCHES(NPU_CLEAR_SWITCH)
#undef NPU_CLEAR
#undef NPU_CLEAR_SETTING
#undef NPU_CLEAR_SWITCH
#undef NPU_CLEAR_CONSTANT
}

namespace {

PyObject* make_fallback(const Fallback& fallback) {
    switch (fallback.kind) {
        case Fallback::Text:
            return PyUnicode_InternFromString(fallback.text);
        case Fallback::Number:
            return PyLong_FromLong(fallback.number);
        case Fallback::True:
            return Ref::borrow(Py_True).release();
        case Fallback::EmptyList:
            return PyList_New(0);
    }
    return nullptr;
}

int read_assertions_flag(ModuleState* st) {
    Borrowed flags(PySys_GetObject("flags"));
    if (!flags) {
        st->assertions = true;
        return 0;
    }
    Ref optimize = Ref::steal(PyObject_GetAttrString(flags.get(), "optimize"));
    if (!optimize) {
        return -1;
    }
    const int level = PyObject_IsTrue(optimize.get());
    if (level < 0) {
        return -1;
    }
    st->assertions = level == 0;
    return 0;
}

// The file the module's code objects are filed under.
Ref module_file(PyObject* module) {
    Ref filename = Ref::steal(PyModule_GetFilenameObject(module));
    if (!filename) {
        PyErr_Clear();
        filename = Ref::steal(PyUnicode_FromString("<npu_config>"));
    }
    return filename;
}

// Everything the operations share, made before the load sequence runs.
int init_state(PyObject* module) {
    ModuleState* st = state_of(module);
    Ref filename = module_file(module);
    if (!filename || init_names(st->n) < 0 || read_assertions_flag(st) < 0 ||
        !(st->function_type = make_function_type(module).release()) ||
        !(st->code_template = code_template(filename.get()).release())) {
        return -1;
    }
    for (int i = 0; i < kSettingCount; ++i) {
        if (!(st->fallbacks[i] = make_fallback(kSettings[i].fallback))) {
            return -1;
        }
    }
    return 0;
}

// ROOT_DIR = os.path.abspath(os.path.join(os.path.dirname(current_file_path), "..", ".."))
Ref compute_root_dir(ModuleState* st, PyObject* globals) {
    // Evaluated as the expression is: the functions first, outermost first.
    PyObject* builtins = running_builtins().get();  // the loading code's, for the whole step
    const Names& n = st->n;
    Ref abspath = os_path_function(globals, builtins, n, n.abspath);
    Ref join = abspath ? os_path_function(globals, builtins, n, n.join) : Ref();
    Ref dirname = join ? os_path_function(globals, builtins, n, n.dirname) : Ref();
    Ref file = dirname ? load_global(globals, builtins, n.current_file_path) : Ref();
    Ref package_dir = file ? call(dirname.get(), file.get()) : Ref();
    Ref joined = package_dir ? call(join.get(), package_dir.get(), n.parent_dir, n.parent_dir)
                             : Ref();
    return joined ? call(abspath.get(), joined.get()) : Ref();
}

// The module's code, in order: the imports, ROOT_DIR, the four classes.
int module_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    if (init_state(module) < 0) {
        return -1;
    }
    PyObject* g = module_namespace(module).get();  // the module keeps it for the load
    const Names& n = st->n;
    // As executing a module's code does: the namespace gets the builtins
    // that its functions will search.
    const int has_builtins = PyDict_Contains(g, n.dunder_builtins);
    if (has_builtins < 0 ||
        (!has_builtins && PyDict_SetItem(g, n.dunder_builtins, running_builtins().get()) < 0)) {
        return -1;
    }
    for (PyObject* name : {n.os, n.sys, n.copy, n.configparser, n.yaml}) {
        if (import_module_as(st, g, name) < 0) {
            return -1;
        }
    }
    if (import_from_as(st, g, n.collections, n.OrderedDict, n.OrderedDict, 0) < 0 ||
        import_from_as(st, g, n.ovra_log_module, n.OVRALog, n.ovraLog, 0) < 0 ||
        import_from_as(st, g, n.empty, n.dunder_file, n.current_file_path, 1) < 0 ||
        bind(g, n.ROOT_DIR, compute_root_dir(st, g)) < 0) {
        return -1;
    }
    if (bind(g, n.InitOptimization, make_init_optimization(module)) < 0 ||
        bind(g, n.DeviceDtype, make_device_dtype(module)) < 0 ||
        bind(g, n.DeviceConfig, make_device_config(module)) < 0) {
        return -1;
    }
    return bind(g, n.NPUConfig, make_npu_config(module));
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (!st) {
        return 0;
    }
    Py_VISIT(st->function_type);
    Py_VISIT(st->code_template);
    Py_VISIT(st->parse_device_code);
    Py_VISIT(st->parse_device_varnames);
    Py_VISIT(st->parse_device_qualname);
    for (PyObject* fallback : st->fallbacks) {
        Py_VISIT(fallback);
    }
    Py_VISIT(st->kwnames_record);
    Py_VISIT(st->kwnames_parser);
    if (int found = traverse_vocabulary(st->dtypes, visit, arg)) {
        return found;
    }
    return traverse_vocabulary(st->modes, visit, arg);
}

// The clear and the end of a module object come when its last reference
// goes, which may be while an exception is on its way: that exception is set
// aside meanwhile, as any deallocator must leave it.
int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (!st) {
        return 0;
    }
    SetAside pending;
    Py_CLEAR(st->function_type);
    Py_CLEAR(st->code_template);
    Py_CLEAR(st->parse_device_code);
    Py_CLEAR(st->parse_device_varnames);
    Py_CLEAR(st->parse_device_qualname);
    for (PyObject*& fallback : st->fallbacks) {
        Py_CLEAR(fallback);
    }
    Py_CLEAR(st->kwnames_record);
    Py_CLEAR(st->kwnames_parser);
    clear_vocabulary(st->dtypes);
    clear_vocabulary(st->modes);
    pending.raise_again();
    return 0;
}

void module_free(void* module) {
    ModuleState* st = state_of(static_cast<PyObject*>(module));
    if (!st) {
        return;
    }
    module_clear(static_cast<PyObject*>(module));
    SetAside pending;
    clear_names(st->n);
    pending.raise_again();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    NPU_INTERPRETER_SLOTS
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "npu_config",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace npu

PyMODINIT_FUNC PyInit_npu_config() { return PyModuleDef_Init(&npu::module_def); }
