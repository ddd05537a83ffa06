// Reading a global name as the body of a function does.
#include "globals.hpp"

namespace npu {

Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    Borrowed value = dict_item(globals, name);
    if (value || PyErr_Occurred()) {
        return Ref::borrow(value);
    }
    return load_builtin(builtins, name);
}

Ref load_builtin(PyObject* builtins, PyObject* name) {
    Borrowed value = dict_item(builtins, name);
    if (!value && !PyErr_Occurred()) {
        raise_name_error(name);
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
    return load_builtin(builtins.get(), name);
}
#endif

Ref os_path_function(PyObject* globals, PyObject* builtins, const Names& n, PyObject* name) {
    Ref os = load_global(globals, builtins, n.os);
    Ref path = os ? getattr(os.get(), n.path) : Ref();
    return path ? getattr(path.get(), name) : Ref();
}

}  // namespace npu
