/* The least the public C API needs for two operations whose cost is mostly
 * attribute reads, written as plain C functions (METH_FASTCALL, the cheapest
 * call the interpreter makes into C) with the recursion check every C
 * function that can call back into Python makes: what any compiled version
 * of them costs at best. make bench compares the module with them.
 *
 *   compatible(npu, name)   name in npu.device.nn_support_dtypes
 *   serialize(record, ns)   an OrderedDict of the record's settings, with
 *                           OrderedDict and copy read from the namespace `ns`
 *
 * It also carries the benchmark's meter: under callgrind, toggle() starts and
 * stops counting instructions and dump(name) writes the count so far.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define METERED 1
#endif
#endif
#ifndef METERED
#define METERED 0
#define CALLGRIND_TOGGLE_COLLECT
#define CALLGRIND_DUMP_STATS_AT(name) (void)(name)
#endif

/* attributes, keys, then "device", "OrderedDict", "copy", "deepcopy" */
static PyObject *names[3][12];
static const char *const others[] = {"device", "OrderedDict", "copy", "deepcopy"};

static PyObject *
compatible(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "compatible(npu, name)");
        return NULL;
    }
    /* Reading attributes and comparing can run Python code that calls this
       again: the recursion check, as CPython's own C functions make it. */
    if (Py_EnterRecursiveCall(" in compatible")) {
        return NULL;
    }
    int found = -1;
    PyObject *device = PyObject_GetAttr(args[0], names[2][0]);
    PyObject *dtypes = device ? PyObject_GetAttr(device, names[0][7]) : NULL;
    Py_XDECREF(device);
    if (dtypes) {
        found = PySequence_Contains(dtypes, args[1]);
        Py_DECREF(dtypes);
    }
    Py_LeaveRecursiveCall();
    return found < 0 ? NULL : PyBool_FromLong(found);
}

static const char *const attributes[] = {
    "target", "pid", "optimization", "core", "mad_per_core", "input_buffer_depth", "evis",
    "nn_support_dtypes", "ext_sram_sizes", "ext_axi_sram_sizes", "sdk_dir", "simulator_config"};
static const char *const keys[] = {
    "target", "pid", "optimization", "core", "mad_per_core", "input_buffer_depth", "evis",
    "nn_support_dtypes", "extSRAMSizes", "extAXISRAMSizes", "sdk_dir", "simulator_config"};

static PyObject *
serialize(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    if (nargs != 2 || !PyDict_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "serialize(record, namespace)");
        return NULL;
    }
    if (Py_EnterRecursiveCall(" in serialize")) {
        return NULL;
    }
    PyObject *ordered_dict = PyDict_GetItemWithError(args[1], names[2][1]);
    PyObject *result = ordered_dict ? PyObject_CallNoArgs(ordered_dict) : NULL;
    if (!result) {
        Py_LeaveRecursiveCall();
        return NULL;
    }
    for (int i = 0; i < 12; ++i) {
        PyObject *value;
        if (i == 7) {
            PyObject *copy = PyDict_GetItemWithError(args[1], names[2][2]);
            PyObject *deepcopy = copy ? PyObject_GetAttr(copy, names[2][3]) : NULL;
            PyObject *list = deepcopy ? PyObject_GetAttr(args[0], names[0][i]) : NULL;
            value = list ? PyObject_CallOneArg(deepcopy, list) : NULL;
            Py_XDECREF(list);
            Py_XDECREF(deepcopy);
        }
        else {
            value = PyObject_GetAttr(args[0], names[0][i]);
        }
        if (!value || PyObject_SetItem(result, names[1][i], value) < 0) {
            Py_XDECREF(value);
            Py_CLEAR(result);
            break;
        }
        Py_DECREF(value);
    }
    Py_LeaveRecursiveCall();
    return result;
}

static PyObject *
toggle(PyObject *module, PyObject *unused)
{
    (void)module, (void)unused;
    CALLGRIND_TOGGLE_COLLECT;
    Py_RETURN_NONE;
}

static PyObject *
dump(PyObject *module, PyObject *name)
{
    (void)module;
    const char *text = PyUnicode_AsUTF8(name);
    if (!text) {
        return NULL;
    }
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"toggle", toggle, METH_NOARGS, NULL},
    {"dump", dump, METH_O, NULL},
    {"compatible", (PyCFunction)(void (*)(void))compatible, METH_FASTCALL, NULL},
    {"serialize", (PyCFunction)(void (*)(void))serialize, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "npu_minimal", NULL, -1, methods};

PyMODINIT_FUNC
PyInit_npu_minimal(void)
{
    for (int i = 0; i < 4; ++i) {
        if (!(names[2][i] = PyUnicode_InternFromString(others[i]))) {
            return NULL;
        }
    }
    for (int i = 0; i < 12; ++i) {
        names[0][i] = PyUnicode_InternFromString(attributes[i]);
        names[1][i] = PyUnicode_InternFromString(keys[i]);
        if (!names[0][i] || !names[1][i]) {
            return NULL;
        }
    }
    PyObject *module = PyModule_Create(&definition);
    if (module && PyModule_AddIntConstant(module, "metered", METERED) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
