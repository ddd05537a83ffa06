// A callable type for the module's functions that behaves like a function
// written in Python: same attributes, same binding as a method, same argument
// errors, and a code object that describes its parameters to `inspect`.
#pragma once

#include "names.hpp"
#include "ref.hpp"

namespace npu {

struct NativeFunction;
struct ModuleState;

// The body of a function: receives every parameter bound, in order
// (borrowed references, all non-NULL) and returns a new reference or NULL.
using FunctionBody = PyObject* (*)(NativeFunction* self, PyObject* const* args);

constexpr Py_ssize_t kMaxParams = 16;

// What a function is, fixed at compile time; its names are the module's.
struct FunctionInfo {
    PyObject* Names::*name;
    const char* qualname;
    PyObject* Names::* const* params;  // `argcount` names
    Py_ssize_t argcount;
    FunctionBody body;
};

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionInfo* info;
    PyObject* name;         // __name__
    PyObject* qualname;     // __qualname__
    PyObject* code;         // __code__
    PyObject* varnames;     // the code's parameter names, for binding
    PyObject* co_name;      // the code's name (the first __name__), quoted by 3.9's argument errors
    PyObject* globals;      // __globals__: the module namespace
    PyObject* builtins;     // namespace searched after __globals__
    PyObject* module;       // __module__
    PyObject* doc;          // __doc__
    PyObject* closure;      // __closure__: None
    PyObject* defaults;     // __defaults__, tuple or NULL
    PyObject* kwdefaults;   // __kwdefaults__, dict or NULL
    PyObject* annotations;  // __annotations__, created on first access
    PyObject* annotate;     // __annotate__ (3.14+), NULL for None
    PyObject* type_params;  // __type_params__ (3.12+)
    PyObject* dict;         // __dict__
    PyObject* weakreflist;
    PyObject* owner;        // the module object whose state the body uses
    ModuleState* state;     // that state, which lives as long as `owner`
    PyObject* objclass;     // __objclass__: the class whose body holds it, if any
};

// The function type of one module object, made from a PyType_Spec for it.
Ref make_function_type(PyObject* module);

// What a compiled `def` is made from: a code object whose argument counts and
// names describe `info`, those names, which binding compares keywords with,
// and the qualified name. Shared by every function made from it.
struct CompiledDef {
    Ref code;
    Ref varnames;
    Ref qualname;
};
// The code objects of a module object are made from the parts of one empty
// code object filed under its file, read once (code_template), by the
// interpreter's constructor of code objects, as the compiler makes a `def`'s:
// not by code.replace(), which raises the code.__new__ audit event.
Ref code_template(PyObject* filename);
CompiledDef make_code(const FunctionInfo& info, const Names& n, PyObject* code_template);

// A new function over `owner`'s namespace from `code` and `varnames` (as
// make_code made them). `defaults` may be NULL. Its builtins are those of the
// namespace, as for a `def` executed there, else `builtins` of the code that
// makes it (NULL: the running code's).
Ref make_function(const FunctionInfo& info, PyObject* code, PyObject* varnames,
                  PyObject* qualname, PyObject* owner, PyObject* defaults,
                  PyObject* builtins = nullptr);

// Files `cls` as the class of `function`, one of the module's functions.
void set_objclass(PyObject* function, PyObject* cls);

}  // namespace npu
