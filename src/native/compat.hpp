// The few C API spellings that differ between the supported interpreters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace npu {

// getattr(obj, name) where a missing attribute is no error: 1 with *result
// set, 0 when absent (no exception), -1 on any other error.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

}  // namespace npu
