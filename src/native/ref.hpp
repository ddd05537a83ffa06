// References to Python objects, and the rules the module's code keeps.
//
// - Ref owns a reference: it is released when the Ref goes (RAII, move-only).
//   Results of our own helpers are Refs; an empty Ref means an exception is
//   set, as a NULL result does in the C API.
// - Borrowed is a reference that something else keeps alive: an item of a
//   dict, tuple or list, a module's namespace, the running code's builtins.
//   It stays valid only until code runs that could drop that other
//   reference, which is any call back into Python, any decref and any
//   allocation (a garbage collection may run finalizers). Take a Ref of it
//   (Ref::borrow) before such code, or look it up again afterwards.
// - A PyObject* parameter is borrowed for the duration of the call, as in the
//   C API; PyObject* results are new references, and appear only where the C
//   API asks for them (function bodies and type slots).
// - A PyObject* field of a struct owns its reference unless it says otherwise.
// - Nothing here throws: the module is built without C++ exceptions, and
//   errors travel as in the C API (NULL or -1 with the exception set).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace npu {

class Borrowed {
public:
    Borrowed() noexcept = default;
    explicit Borrowed(PyObject* p) noexcept : ptr_(p) {}
    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

// dict[key], borrowed; empty when absent (no exception) or on error (set).
inline Borrowed dict_item(PyObject* dict, PyObject* key) {
    return Borrowed(PyDict_GetItemWithError(dict, key));
}

// The namespace of a module object, borrowed.
inline Borrowed module_namespace(PyObject* module) { return Borrowed(PyModule_GetDict(module)); }

// The builtins of the running code, borrowed.
inline Borrowed running_builtins() { return Borrowed(PyEval_GetBuiltins()); }

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (the result of most C API calls).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.ptr_ = p;
        return r;
    }
    // Adds a reference of our own to a borrowed one.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }
    static Ref borrow(Borrowed b) noexcept { return borrow(b.get()); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace npu
