/* The C stack a call uses: the region below the caller is painted with a
 * pattern, the call runs, and the lowest byte it changed tells how deep it
 * went. make bench builds it and reports, for every operation of the module
 * and of the module in plain Python, how much stack one call holds below its
 * entry, and how much one level of recursion through the module adds: the
 * numbers the module's stack guard keeps room for (src/native/stack.cpp).
 *
 *   used(callable, *args)   bytes of stack below this function's frame that
 *                           callable(*args) wrote; its result is dropped, an
 *                           exception passes through
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>

#if defined(__GNUC__) || defined(__clang__)
#define NOINLINE __attribute__((noinline))
#else
#define NOINLINE
#endif

#define PATTERN 0xA5
#define PAINTED (768 * 1024)

/* Paints PAINTED bytes below the caller with the pattern; returns their
 * lowest address. The region is the stack this frame took, gone when it
 * returns: what the next call writes there, it writes over the pattern. */
static NOINLINE uintptr_t
paint(void)
{
    volatile unsigned char *block = (volatile unsigned char *)__builtin_alloca(PAINTED);
    for (size_t i = PAINTED; i-- > 0;) {  /* from the top, as the stack grows */
        block[i] = PATTERN;
    }
    return (uintptr_t)block;
}

/* The lowest address at or above `low` whose byte is not the pattern. */
static NOINLINE uintptr_t
deepest_written(uintptr_t low, uintptr_t high)
{
    const volatile unsigned char *p = (const volatile unsigned char *)low;
    size_t i = 0;
    while (low + i < high && p[i] == PATTERN) {
        ++i;
    }
    return low + i;
}

static PyObject *
used(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "used(callable, *args)");
        return NULL;
    }
    const uintptr_t here = (uintptr_t)__builtin_frame_address(0);
    const uintptr_t low = paint();
    PyObject *result = PyObject_Vectorcall(args[0], args + 1, (size_t)(nargs - 1), NULL);
    const uintptr_t deepest = deepest_written(low, here);
    if (!result) {
        return NULL;
    }
    Py_DECREF(result);
    if (deepest == low) {
        PyErr_SetString(PyExc_OverflowError, "the call went below the painted region");
        return NULL;
    }
    return PyLong_FromSize_t((size_t)(here - deepest));
}

static PyMethodDef methods[] = {
    {"used", (PyCFunction)(void (*)(void))used, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "npu_stack_use", NULL, 0, methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit_npu_stack_use(void)
{
    return PyModule_Create(&definition);
}
