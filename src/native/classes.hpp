// Building the module's classes as a `class` statement does, and the
// functions and class methods of their bodies.
#pragma once

#include <initializer_list>

#include "function.hpp"

namespace npu {

// A name of a class body and its value (borrowed); for a method, the
// function that the value is or wraps.
struct Member {
    PyObject* name;
    PyObject* value;
    PyObject* function = nullptr;
};

// The names a class's methods assign on self, in any order (borrowed).
struct Assigned {
    PyObject* const* names = nullptr;
    int count = 0;
};

// type(name, (object,), ns), ns holding __module__, __qualname__ and then
// `members` in order, as a class body would fill it; from 3.13 also
// __static_attributes__, the `assigned` names sorted, as a class statement
// records them. The members' functions learn the class as their
// __objclass__.
Ref new_class(PyObject* module, const char* name, const Member* members, int count,
              Assigned assigned = {});
inline Ref new_class(PyObject* module, const char* name, std::initializer_list<Member> members,
                     Assigned assigned = {}) {
    return new_class(module, name, members.begin(), static_cast<int>(members.size()), assigned);
}

// The code of `info`, filed under the module's file.
CompiledDef new_code(PyObject* module, const FunctionInfo& info);

// A function of this module, with a code object of its own.
Ref new_function(PyObject* module, const FunctionInfo& info, PyObject* defaults = nullptr);

// classmethod(function)
Ref classmethod_of(PyObject* function);

// Each builder returns the class, or an empty Ref with an exception set.
Ref make_init_optimization(PyObject* module);
Ref make_device_dtype(PyObject* module);
Ref make_device_config(PyObject* module);
Ref make_npu_config(PyObject* module);

}  // namespace npu
