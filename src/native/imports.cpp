// The load's imports, as the interpreter's IMPORT_NAME and IMPORT_FROM make
// them for module-level code (Python/ceval.c of each version).
#include "imports.hpp"

#include "state.hpp"

namespace npu {

namespace {

// obj.<name>, for a name read only when an import fails (made then): 1 with
// *result set, 0 when absent, -1 on any other error.
int lookup_named(PyObject* obj, const char* text, PyObject** result) {
    Ref name = interned(text);
    return name ? lookup_attr(obj, name.get(), result) : -1;
}

// `import name` / `from name import ...`: through builtins.__import__.
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

// Where the ImportError of IMPORT_FROM says the module is: a new reference,
// empty (no exception) where it says "unknown location". From 3.14 its
// __spec__.origin where __spec__ has a location, else its __file__.
Ref module_location(PyObject* module, PyObject* module_spec) {
    if (kImportErrorsNameOrigin && module_spec) {
        PyObject* has_location = nullptr;
        int found = lookup_named(module_spec, "has_location", &has_location);
        Ref flag = Ref::steal(has_location);
        found = found > 0 ? PyObject_IsTrue(flag.get()) : found;
        if (found > 0) {
            PyObject* origin = nullptr;
            found = lookup_named(module_spec, "origin", &origin);
            if (found > 0 && PyUnicode_Check(origin)) {
                return Ref::steal(origin);
            }
            Py_XDECREF(origin);
        }
        if (found < 0) {
            return {};
        }
    }
    Ref location = Ref::steal(PyModule_GetFilenameObject(module));
    if (!location && PyErr_ExceptionMatches(PyExc_SystemError)) {
        PyErr_Clear();  // "module filename missing"
    }
    return location;
}

// IMPORT_FROM: an attribute of the module, else a submodule already in
// sys.modules, else ImportError worded as the interpreter words it.
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
    if (!shown) {
        return {};
    }
    // Before 3.14 a __spec__ that cannot be read counts as none, and as a
    // module not being initialized; from 3.14 its error is raised.
    PyObject* found_spec = nullptr;
    int initializing = lookup_named(module, "__spec__", &found_spec);
    Ref module_spec = Ref::steal(found_spec);
    if (module_spec) {
        PyObject* flag = nullptr;
        initializing = lookup_named(module_spec.get(), "_initializing", &flag);
        Ref held = Ref::steal(flag);
        initializing = initializing > 0 ? PyObject_IsTrue(flag) : initializing;
    }
    if (initializing < 0) {
        if (kImportErrorsNameOrigin) {
            return {};
        }
        PyErr_Clear();
        initializing = 0;
    }
    Ref location = module_location(module, module_spec.get());
    if (!location && PyErr_Occurred()) {
        return {};
    }
    Ref message;
    if (!location) {
        message = Ref::steal(PyUnicode_FromFormat(
            initializing > 0 && kImportErrorsNameOrigin
                ? "cannot import name %R from partially initialized module %R "
                  "(most likely due to a circular import)"
                : "cannot import name %R from %R (unknown location)",
            name, shown.get()));
    } else {
        message = Ref::steal(PyUnicode_FromFormat(
            initializing > 0 ? "cannot import name %R from partially initialized module %R "
                               "(most likely due to a circular import) (%S)"
                             : "cannot import name %R from %R (%S)",
            name, shown.get(), location.get()));
    }
    if (!message) {
        return {};
    }
    PyErr_SetImportError(message.get(), package_name.get(), location.get());
    if (kImportErrorsCarryNameFrom) {
        SetAside error;
        if (error.exception() &&
            PyObject_SetAttrString(error.exception(), "name_from", name) < 0) {
            PyErr_Clear();
        }
        error.raise_again();
    }
    return {};
}

}  // namespace

int import_module_as(ModuleState* st, PyObject* globals, PyObject* name) {
    return bind(globals, name, import_name(st, globals, name, nullptr, 0));
}

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

}  // namespace npu
