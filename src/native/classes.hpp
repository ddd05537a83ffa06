// What the module's class builders share: creating a class the way a
// `class` statement does, and functions and class methods for its body.
#pragma once

#include <initializer_list>
#include <utility>

#include "function.hpp"

namespace npu {

// A name of a class body and its value (borrowed); for a method, the
// function that the value is or wraps.
struct Member {
    PyObject* name;
    PyObject* value;
    PyObject* function = nullptr;
};

// type(name, (object,), ns), ns holding __module__, __qualname__ and then
// `members` in order, as a class body would fill it; `static_attributes` are
// the names its methods assign on self. The members' functions learn
// the class as their __objclass__.
Ref new_class(PyObject* module, const char* name, std::initializer_list<Member> members,
              PyObject* const* static_attributes = nullptr, int static_count = 0);

// The code of `info`, filed under the module's file.
CompiledDef new_code(PyObject* module, const FunctionInfo& info);

// A function of this module, with a code object of its own.
Ref new_function(PyObject* module, const FunctionInfo& info, PyObject* defaults = nullptr);

// classmethod(function)
Ref classmethod_of(PyObject* function);

// NPUConfig's local function, made afresh by every construction.
extern const FunctionInfo kParseDevice;

// Each builder returns the class, or an empty Ref with an exception set.
Ref make_init_optimization(PyObject* module);
Ref make_device_dtype(PyObject* module);
Ref make_device_config(PyObject* module);
Ref make_npu_config(PyObject* module);

}  // namespace npu
