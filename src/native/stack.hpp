// The C stack of the running thread, and whether one more level of calls
// through the module fits in what is left of it (stack.cpp says why and
// how); the recursion check every call of the module's functions passes.
#pragma once

#include <cstdint>

#include "compat.hpp"

#if defined(__linux__) || defined(__APPLE__) || defined(__FreeBSD__)
#define NPU_STACK_MEASURED 1
#else
#define NPU_STACK_MEASURED 0
#endif

namespace npu {

#if NPU_STACK_MEASURED
// The part of the running thread's own stack where a level is known to fit:
// a frame at an address in [fast_low, fast_low + fast_span) has the room
// without another look. Empty until the first call on the thread measures
// it, and wherever a call must look again (stack.cpp).
struct FastRoom {
    uintptr_t fast_low;
    uintptr_t fast_span;
};
extern __thread FastRoom t_room;

// Whether the stack has room for a level below `here`, on any stack: the
// thread's own, measured or re-measured, or another one.
bool stack_has_room_slow(uintptr_t here);

// Whether the stack keeps, below the calling frame, the room a level of calls
// through the module uses, above what the interpreter keeps for its own
// checks at the stack's end. The common case is one compare.
inline bool stack_has_room() {
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const FastRoom& r = t_room;
    return here - r.fast_low < r.fast_span || stack_has_room_slow(here);
}
#else
inline bool stack_has_room() { return true; }
#endif

// The recursion check of a call to one of the module's functions, as the
// interpreter makes it for a Python function's frame. From 3.12 Python frames
// count against their own limit (sys.getrecursionlimit()), apart from the
// much deeper one of C calls, so both are taken: the first bounds the depth
// as for Python code, the second keeps the C stack's accounting, and the
// thread state is taken once, on entry (kept in *ts for the leaving). On 3.12
// and 3.13 the C count is a counter of the thread state, of which a call
// takes what the interpreter takes when C code calls a Python function (two
// units, PY_EVAL_C_STACK_UNITS): far from its limit they are counted there
// directly, and near it Py_EnterRecursiveCall decides (and raises) for each
// unit as ever. False with RecursionError set when the limit is reached.
#define NPU_COUNTS_C_CALLS (PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000)
#if NPU_COUNTS_C_CALLS
constexpr int kCStackUnits = 2;
#endif

inline bool enter_function_call(PyThreadState** ts) {
    if (!stack_has_room()) {
        *ts = nullptr;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return false;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState* t = *ts = current_thread_state();
    if (t->py_recursion_remaining-- <= 0) {
        ++t->py_recursion_remaining;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return false;
    }
#if NPU_COUNTS_C_CALLS
    if (t->c_recursion_remaining > kCStackUnits) {
        t->c_recursion_remaining -= kCStackUnits;
        return true;
    }
    for (int unit = 0; unit < kCStackUnits; ++unit) {
        if (Py_EnterRecursiveCall("")) {
            t->c_recursion_remaining += unit;
            ++t->py_recursion_remaining;
            return false;
        }
    }
    return true;
#else
    if (Py_EnterRecursiveCall("")) {
        ++t->py_recursion_remaining;
        return false;
    }
    return true;
#endif
#else
    *ts = nullptr;
    return Py_EnterRecursiveCall("") == 0;
#endif
}

inline void leave_function_call(PyThreadState* ts) {
#if NPU_COUNTS_C_CALLS
    ts->c_recursion_remaining += kCStackUnits;  // as Py_LeaveRecursiveCall counts each
#else
    Py_LeaveRecursiveCall();
#endif
#if PY_VERSION_HEX >= 0x030C0000
    ++ts->py_recursion_remaining;
#else
    (void)ts;
#endif
}

// The recursion checks of `calls` nested calls of Python functions that a
// shortcut does not make: it fails where they would have failed. From 3.12
// such calls count against the Python frame limit alone.
inline bool check_skipped_calls(int calls) {
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState* t = current_thread_state();
    if (t->py_recursion_remaining < calls) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return false;
    }
    return true;
#else
    int depth = 0;
    while (depth < calls && Py_EnterRecursiveCall("") == 0) {
        ++depth;
    }
    const bool passed = depth == calls;
    while (depth-- > 0) {
        Py_LeaveRecursiveCall();
    }
    return passed;
#endif
}

}  // namespace npu

// A function whose frame stays apart from its caller's: what it holds is on
// the stack only while it runs, not for the whole of a call that goes on
// into Python and may come back.
#if defined(__GNUC__) || defined(__clang__)
#define NPU_OWN_FRAME __attribute__((noinline))
#elif defined(_MSC_VER)
#define NPU_OWN_FRAME __declspec(noinline)
#else
#define NPU_OWN_FRAME
#endif
