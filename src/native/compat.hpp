// Everything that differs between the supported interpreters (3.9 to 3.15),
// each difference written once here under a name that says what it
// provides; the rest of the code reads without version tests.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// A type's members: structmember.h's names before 3.12, which gives them in
// Python.h under names of their own.
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif

namespace npu {

// The interpreter's stack margin, in pointers: from 3.14 its own checks
// work in multiples of it at a stack's end. A debug build's is twice as
// large (its frames are larger too); stack.cpp keeps room in these units on
// every version.
#ifdef Py_DEBUG
constexpr uintptr_t kStackMarginPointers = 4096;
#else
constexpr uintptr_t kStackMarginPointers = 2048;
#endif

// 3.10: argument errors name a function by its qualified name (3.9: by its
// code's name); functions show their builtins as __builtins__.
constexpr bool kErrorsNameQualname = PY_VERSION_HEX >= 0x030A0000;
constexpr bool kFunctionsShowBuiltins = PY_VERSION_HEX >= 0x030A0000;
// 3.10: a traceback may name an extension module's file (linecache skips a
// file that is not text; 3.9's fails on it).
constexpr bool kTracebacksNameExtensionFiles = PY_VERSION_HEX >= 0x030A0000;
// 3.10: a function keeps the builtins it was made with (3.9: its frame takes
// them from the namespace at every call).
#define NPU_FUNCTIONS_KEEP_BUILTINS (PY_VERSION_HEX >= 0x030A0000)
// 3.11: code objects carry the qualified name (co_qualname).
constexpr bool kCodeHasQualname = PY_VERSION_HEX >= 0x030B0000;
// 3.12: functions have __type_params__; an ImportError of `from ... import`
// carries the name it could not import (name_from).
constexpr bool kFunctionsHaveTypeParams = PY_VERSION_HEX >= 0x030C0000;
constexpr bool kImportErrorsCarryNameFrom = PY_VERSION_HEX >= 0x030C0000;
// 3.13: an unexpected keyword argument's error suggests the closest
// parameter; a class statement records __static_attributes__.
constexpr bool kSuggestsKeywords = PY_VERSION_HEX >= 0x030D0000;
constexpr bool kClassesRecordStaticAttributes = PY_VERSION_HEX >= 0x030D0000;
// 3.14: `from ... import` names the module's location by __spec__.origin
// (its __file__ only where __spec__ has no location); functions have
// __annotate__ (PEP 649).
constexpr bool kImportErrorsNameOrigin = PY_VERSION_HEX >= 0x030E0000;
constexpr bool kFunctionsHaveAnnotate = PY_VERSION_HEX >= 0x030E0000;

// What the interpreter's constructor of code objects takes from an empty code
// object (its bytecode, constants, names, free variables, file, lines and,
// from 3.11, exception table), read once: a tuple of the empty code and then
// those, or NULL with an error set. 3.10 names the lines co_linetable.
constexpr int kCodeParts = kCodeHasQualname ? 7 : 6;
inline PyObject* code_parts(PyObject* empty) {
    static const char* const names[] = {
        "co_code", "co_consts", "co_names", "co_freevars", "co_filename",
        PY_VERSION_HEX >= 0x030A0000 ? "co_linetable" : "co_lnotab", "co_exceptiontable"};
    PyObject* parts = PyTuple_New(1 + kCodeParts);
    if (!parts) {
        return nullptr;
    }
    Py_INCREF(empty);
    PyTuple_SET_ITEM(parts, 0, empty);
    for (int i = 0; i < kCodeParts; ++i) {
        PyObject* part = PyObject_GetAttrString(empty, names[i]);
        if (!part) {
            Py_DECREF(parts);
            return nullptr;
        }
        PyTuple_SET_ITEM(parts, 1 + i, part);
    }
    return parts;
}

// A code object of `argcount` positional parameters named by `varnames`,
// made by the interpreter's constructor from `parts` (code_parts()): what the
// compiler makes for a `def`, with no audit event (code.__new__ and
// code.replace() raise one). 3.11 adds the qualified name and the exception
// table; 3.12 names the constructor unstable. The empty code has no free or
// cell variables: its co_freevars, the empty tuple, is given for both. A new
// reference, or NULL with an error set.
inline PyObject* new_code(PyObject* parts, int argcount, int flags, PyObject* varnames,
                          PyObject* name, PyObject* qualname) {
    const auto* empty = reinterpret_cast<PyCodeObject*>(PyTuple_GET_ITEM(parts, 0));
    PyObject* const* p = &PyTuple_GET_ITEM(parts, 1);
#if PY_VERSION_HEX >= 0x030C0000
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, argcount, empty->co_stacksize, flags, p[0], p[1], p[2], varnames, p[3],
        p[3], p[4], name, qualname, empty->co_firstlineno, p[5], p[6]));
#elif PY_VERSION_HEX >= 0x030B0000
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, argcount, empty->co_stacksize, flags, p[0], p[1], p[2], varnames, p[3],
        p[3], p[4], name, qualname, empty->co_firstlineno, p[5], p[6]));
#else
    (void)qualname;
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, argcount, empty->co_stacksize, flags, p[0], p[1], p[2], varnames, p[3],
        p[3], p[4], name, empty->co_firstlineno, p[5]));
#endif
}

// What a function says of an __annotate__ that returns no dict.
inline void raise_not_annotations(PyObject* made) {
#if PY_VERSION_HEX >= 0x030F0000
    PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %T", made);
#else
    PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                 Py_TYPE(made)->tp_name);
#endif
}

// Module slots that say what the module supports: from 3.12 every
// interpreter, each with its own GIL; from 3.13 the GIL is declared used.
#if PY_VERSION_HEX >= 0x030D0000
#define NPU_INTERPRETER_SLOTS                                                  \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},      \
        {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define NPU_INTERPRETER_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define NPU_INTERPRETER_SLOTS
#endif

// Flags that make a heap type behave as the interpreter's own types do:
// no attributes set on it (3.10+).
#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned long kTypeFlagsOfBuiltins = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long kTypeFlagsOfBuiltins = 0;
#endif

// getattr(obj, name) where a missing attribute is no error: 1 with *result
// set, 0 when absent (no exception), -1 on any other error.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// How a change to a dictionary is noticed. Up to 3.11 every dictionary has
// a version: every change to any dictionary gives it a new number from one
// 64-bit counter of the interpreter, never handed out twice. From 3.12 that
// version is on its way out (PEP 699) and a dictionary can be watched
// instead: the interpreter calls a watcher on every change and on its end.
#define NPU_DICT_WATCHERS (PY_VERSION_HEX >= 0x030C0000)
#if !NPU_DICT_WATCHERS
inline uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// The exception being raised, set aside while other work runs and then
// raised again (3.12 keeps it as one object; before, as three).
class SetAside {
public:
    SetAside() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exception_, &traceback_);
        PyErr_NormalizeException(&type_, &exception_, &traceback_);
#endif
    }
    // The exception, borrowed (NULL if none was being raised).
    PyObject* exception() const noexcept { return exception_; }
    void raise_again() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exception_);
#else
        PyErr_Restore(type_, exception_, traceback_);
        type_ = traceback_ = nullptr;
#endif
        exception_ = nullptr;
    }

private:
    PyObject* exception_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

// Raises NameError for `name` as the interpreter's name lookup does; from
// 3.10 the exception carries the name, which its "Did you mean" hint reads.
inline void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
#if PY_VERSION_HEX >= 0x030A0000
    SetAside error;
    if (error.exception() && PyObject_SetAttrString(error.exception(), "name", name) < 0) {
        PyErr_Clear();
    }
    error.raise_again();
#endif
}

// The running thread's state (the GIL is held).
inline PyThreadState* current_thread_state() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return PyThreadState_Get();
#endif
}

}  // namespace npu
