// Module definition and the load sequence (multi-phase initialisation).
#include "classes.hpp"
#include "compat.hpp"
#include "settings.hpp"
#include "state.hpp"

namespace npu {

namespace {

int init_names(Names& n) {
#define NPU_INIT(field, text)                          \
    if (!(n.field = PyUnicode_InternFromString(text))) { \
        return -1;                                     \
    }
    NPU_NAMES(NPU_INIT)
#undef NPU_INIT
    return 0;
}

void clear_names(Names& n) {
#define NPU_CLEAR(field, text) Py_CLEAR(n.field);
    NPU_NAMES(NPU_CLEAR)
#undef NPU_CLEAR
}

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

}  // namespace

int init_state(PyObject* module) {
    ModuleState* st = state_of(module);
    if (init_names(st->n) < 0 || read_assertions_flag(st) < 0 ||
        !(st->function_type = make_function_type(module).release())) {
        return -1;
    }
    const Names& n = st->n;
    for (int i = 0; i < kSettingCount; ++i) {
        if (!(st->fallbacks[i] = make_fallback(kSettings[i].fallback))) {
            return -1;
        }
    }
    // What every NPUConfig construction shares: the keyword names of its
    // calls and the code of _parse_device.
    st->kwnames_record = PyTuple_Pack(2, n.target, n.pid);
    st->kwnames_parser = PyTuple_Pack(1, n.dict_type);
    if (!st->kwnames_record || !st->kwnames_parser) {
        return -1;
    }
    CompiledDef parse = new_code(module, kParseDevice);
    if (!parse.code) {
        return -1;
    }
    st->parse_device_code = parse.code.release();
    st->parse_device_varnames = parse.varnames.release();
    return 0;
}

Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    Borrowed value = dict_item(globals, name);
    if (!value && !PyErr_Occurred()) {
        value = dict_item(builtins, name);
        if (!value && !PyErr_Occurred()) {
            raise_name_error(name);
        }
    }
    return Ref::borrow(value);
}

#if !NPU_FUNCTIONS_KEEP_BUILTINS
Ref load_global(NativeFunction* fn, PyObject* name) {
    Borrowed value = dict_item(fn->globals, name);
    if (value || PyErr_Occurred()) {
        return Ref::borrow(value);
    }
    // The namespace's __builtins__ as the call reads it (a module stands for
    // its namespace); without one, a 3.9 frame's builtins hold None alone.
    Ref builtins = Ref::borrow(dict_item(fn->globals, fn->state->n.dunder_builtins));
    if (!builtins) {
        if (PyErr_Occurred()) {
            return {};
        }
        if (PyUnicode_CompareWithASCIIString(name, "None") == 0) {
            return Ref::borrow(Py_None);
        }
        raise_name_error(name);
        return {};
    }
    if (PyModule_Check(builtins.get())) {
        builtins = Ref::borrow(module_namespace(builtins.get()));
    }
    return load_global(fn->globals, builtins.get(), name);
}
#endif

Ref os_path_function(PyObject* globals, PyObject* builtins, const Names& n, PyObject* name) {
    Ref os = load_global(globals, builtins, n.os);
    Ref path = os ? getattr(os.get(), n.path) : Ref();
    return path ? getattr(path.get(), name) : Ref();
}

CompiledDef new_code(PyObject* module, const FunctionInfo& info) {
    Ref filename = Ref::steal(PyModule_GetFilenameObject(module));
    if (!filename) {
        PyErr_Clear();
        filename = Ref::steal(PyUnicode_FromString("<npu_config>"));
        if (!filename) {
            return {};
        }
    }
    return make_code(info, filename.get());
}

Ref new_function(PyObject* module, const FunctionInfo& info, PyObject* defaults) {
    CompiledDef def = new_code(module, info);
    if (!def.code) {
        return {};
    }
    return make_function(info, def.code.get(), def.varnames.get(), module, defaults);
}

// classmethod(function), as the decorator in a class body calls it: from
// 3.10 the wrapper then takes the function's __name__, __qualname__,
// __module__ and __doc__, and keeps it as __wrapped__.
Ref classmethod_of(PyObject* function) {
    return function ? call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), function) : Ref();
}

Ref new_class(PyObject* module, const char* name, std::initializer_list<Member> members,
              PyObject* const* static_attributes, int static_count) {
    ModuleState* st = state_of(module);
    Ref class_name = Ref::steal(PyUnicode_InternFromString(name));
    Ref ns = Ref::steal(PyDict_New());
    if (!class_name || !ns) {
        return {};
    }
    Ref module_name = Ref::borrow(dict_item(module_namespace(module).get(), st->n.dunder_name));
    if (!module_name) {
        if (!PyErr_Occurred()) {
            raise_name_error(st->n.dunder_name);
        }
        return {};
    }
    if (PyDict_SetItem(ns.get(), st->n.dunder_module, module_name.get()) < 0 ||
        PyDict_SetItem(ns.get(), st->n.dunder_qualname, class_name.get()) < 0) {
        return {};
    }
    for (const Member& m : members) {
        if (!m.value || PyDict_SetItem(ns.get(), m.name, m.value) < 0) {
            return {};
        }
    }
    if (kClassesRecordStaticAttributes) {
        // A class statement ends its body with the names that its methods
        // assign as self.<name>, sorted.
        Ref assigned = Ref::steal(PyList_New(0));
        if (!assigned) {
            return {};
        }
        for (int i = 0; i < static_count; ++i) {
            if (PyList_Append(assigned.get(), static_attributes[i]) < 0) {
                return {};
            }
        }
        if (PyList_Sort(assigned.get()) < 0) {
            return {};
        }
        Ref sorted = Ref::steal(PyList_AsTuple(assigned.get()));
        if (!sorted || PyDict_SetItem(ns.get(), st->n.dunder_static_attributes, sorted.get()) < 0) {
            return {};
        }
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref cls = bases ? call(reinterpret_cast<PyObject*>(&PyType_Type), class_name.get(),
                           bases.get(), ns.get())
                    : Ref();
    if (cls) {
        for (const Member& m : members) {
            if (m.function) {
                set_objclass(m.function, cls.get());
            }
        }
    }
    return cls;
}

namespace {

// `import name` / `from name import ...`: through builtins.__import__, as the
// interpreter's IMPORT_NAME does for module-level code.
Ref import_name(ModuleState* st, PyObject* globals, PyObject* name, PyObject* fromlist,
                int level) {
    Borrowed builtins = running_builtins();
    Ref import_func = builtins ? Ref::borrow(dict_item(builtins.get(), st->n.dunder_import)) : Ref();
    if (!import_func) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "__import__ not found");
        }
        return {};
    }
    Ref level_obj = Ref::steal(PyLong_FromLong(level));
    if (!level_obj) {
        return {};
    }
    return call(import_func.get(), name, globals, globals, fromlist ? fromlist : Py_None,
                level_obj.get());
}

// The IMPORT_FROM step: an attribute of the module, else a submodule already
// in sys.modules, else ImportError worded as the interpreter words it.
Ref import_from(ModuleState* st, PyObject* module, PyObject* name) {
    PyObject* value = nullptr;
    if (lookup_attr(module, name, &value) != 0) {
        return Ref::steal(value);  // found, or an error other than AttributeError
    }
    Ref package_name = getattr(module, st->n.dunder_name);
    if (!package_name) {
        PyErr_Clear();
    } else if (!PyUnicode_Check(package_name.get())) {
        package_name.reset();
    } else {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package_name.get(), name));
        if (!full_name) {
            return {};
        }
        Ref found = Ref::steal(PyImport_GetModule(full_name.get()));
        if (found || PyErr_Occurred()) {
            return found;
        }
    }
    Ref shown = package_name ? Ref::borrow(package_name.get())
                             : Ref::steal(PyUnicode_FromString("<unknown module name>"));
    Ref location = Ref::steal(PyModule_GetFilenameObject(module));
    Ref message;
    if (!location || !PyUnicode_Check(location.get())) {
        PyErr_Clear();
        message = Ref::steal(PyUnicode_FromFormat(
            "cannot import name %R from %R (unknown location)", name, shown.get()));
        location.reset();
    } else {
        Ref info = getattr(module, st->n.dunder_spec);
        int initializing = 0;
        if (info) {
            Ref flag = getattr(info.get(), st->n.initializing);
            initializing = flag ? PyObject_IsTrue(flag.get()) : 0;
        }
        PyErr_Clear();
        message = Ref::steal(PyUnicode_FromFormat(
            initializing > 0 ? "cannot import name %R from partially initialized module %R "
                               "(most likely due to a circular import) (%S)"
                             : "cannot import name %R from %R (%S)",
            name, shown.get(), location.get()));
    }
    if (message) {
        PyErr_SetImportError(message.get(), package_name.get(), location.get());
    }
    return {};
}

int bind(PyObject* globals, PyObject* name, const Ref& value) {
    return value ? PyDict_SetItem(globals, name, value.get()) : -1;
}

int import_module_as(ModuleState* st, PyObject* globals, PyObject* name) {
    return bind(globals, name, import_name(st, globals, name, nullptr, 0));
}

// from <module_name> import <name> as <as_name>
int import_from_as(ModuleState* st, PyObject* globals, PyObject* module_name, PyObject* name,
                   PyObject* as_name, int level) {
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
    if (!fromlist) {
        return -1;
    }
    Ref module = import_name(st, globals, module_name, fromlist.get(), level);
    if (!module) {
        return -1;
    }
    return bind(globals, as_name, import_from(st, module.get(), name));
}

// ROOT_DIR = os.path.abspath(os.path.join(os.path.dirname(current_file_path), "..", ".."))
Ref compute_root_dir(ModuleState* st, PyObject* globals) {
    // Evaluated as the expression is: the functions first, outermost first.
    PyObject* builtins = running_builtins().get();  // the loading code's, for the whole step
    const Names& n = st->n;
    Ref abspath = os_path_function(globals, builtins, n, n.abspath);
    Ref join = abspath ? os_path_function(globals, builtins, n, n.join) : Ref();
    Ref dirname = join ? os_path_function(globals, builtins, n, n.dirname) : Ref();
    Ref file = dirname ? load_global(globals, builtins, st->n.current_file_path) : Ref();
    Ref package_dir = file ? call(dirname.get(), file.get()) : Ref();
    Ref joined = package_dir ? call(join.get(), package_dir.get(), st->n.parent_dir,
                                    st->n.parent_dir)
                             : Ref();
    return joined ? call(abspath.get(), joined.get()) : Ref();
}

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
    if (bind(g, n.InitOptimization, make_init_optimization(module)) < 0) {
        return -1;
    }
    if (bind(g, n.DeviceDtype, make_device_dtype(module)) < 0) {
        return -1;
    }
    if (bind(g, n.DeviceConfig, make_device_config(module)) < 0) {
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
    Py_VISIT(st->parse_device_code);
    Py_VISIT(st->parse_device_varnames);
    for (PyObject* fallback : st->fallbacks) {
        Py_VISIT(fallback);
    }
    Py_VISIT(st->kwnames_record);
    Py_VISIT(st->kwnames_parser);
#if NPU_SHORTCUTS
    if (int found = traverse_vocabulary(st->dtypes, visit, arg)) {
        return found;
    }
    if (int found = traverse_vocabulary(st->modes, visit, arg)) {
        return found;
    }
#endif
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (!st) {
        return 0;
    }
    Py_CLEAR(st->function_type);
    Py_CLEAR(st->parse_device_code);
    Py_CLEAR(st->parse_device_varnames);
    for (PyObject*& fallback : st->fallbacks) {
        Py_CLEAR(fallback);
    }
    Py_CLEAR(st->kwnames_record);
    Py_CLEAR(st->kwnames_parser);
#if NPU_SHORTCUTS
    clear_vocabulary(st->dtypes);
    clear_vocabulary(st->modes);
#endif
    return 0;
}

void module_free(void* module) {
    module_clear(static_cast<PyObject*>(module));
    ModuleState* st = state_of(static_cast<PyObject*>(module));
    if (st) {
        clear_names(st->n);
    }
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
