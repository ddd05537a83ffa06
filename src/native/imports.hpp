// The module-level imports of the load, made as the interpreter's import
// statements make them.
#pragma once

#include "ref.hpp"

namespace npu {

struct ModuleState;

// import <name>
int import_module_as(ModuleState* st, PyObject* globals, PyObject* name);

// from <module_name> import <name> as <as_name>, at `level` (1: from . import)
int import_from_as(ModuleState* st, PyObject* globals, PyObject* module_name, PyObject* name,
                   PyObject* as_name, int level);

}  // namespace npu
