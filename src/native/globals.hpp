// Global names as the module's function bodies read them.
#pragma once

#include "function.hpp"
#include "state.hpp"

namespace npu {

// A global name as a function body reads it: the module namespace first,
// then the builtins; NameError when neither has it.
Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name);
// The second half of that: a name the namespace lacks, from the builtins.
Ref load_builtin(PyObject* builtins, PyObject* name);

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

}  // namespace npu
