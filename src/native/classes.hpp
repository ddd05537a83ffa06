// What the module's class builders share: creating a class the way a
// `class` statement does, and functions and class methods for its body.
#pragma once

#include <initializer_list>
#include <utility>

#include "function.hpp"

namespace npu {

using Member = std::pair<PyObject*, PyObject*>;  // name, value (borrowed)

// type(name, (object,), ns), ns holding __module__, __qualname__ and then
// `members` in order, as a class body would fill it; `static_attributes` are
// the names its methods assign on self, sorted. Functions among the members
// learn the class as their __objclass__.
Ref new_class(PyObject* module, const char* name, std::initializer_list<Member> members,
              std::initializer_list<PyObject*> static_attributes = {});

// A code object for `info`, filed under the module's file.
Ref new_code(PyObject* module, const FunctionInfo& info);

// A function of this module, with a code object of its own.
Ref new_function(PyObject* module, const FunctionInfo& info, PyObject* defaults = nullptr);

// classmethod(function)
Ref new_classmethod(PyObject* module, const FunctionInfo& info);

// Each builder returns the class, or an empty Ref with an exception set.
Ref make_init_optimization(PyObject* module);
Ref make_device_dtype(PyObject* module);
Ref make_device_config(PyObject* module);
Ref make_npu_config(PyObject* module);

}  // namespace npu
