// Each call of one of the module's functions can call back into Python, which
// can call the module again: a level of such recursion holds C stack (the
// interpreter's own frames for the call into Python and for the class call
// back, and ours), where the same code in Python, from 3.11, holds none. The
// interpreter's counts of Python frames then end recursion too late for a
// thread with a small stack (threading.stack_size(), musl's 128 KiB), and
// from 3.14 its own measure of the stack ends it inside whatever library code
// runs at the edge, with that code's exception. So a call of the module
// starts only where the stack has room for a level, and raises
// RecursionError otherwise.
//
// The stack's bounds are a fact of the thread, the same for every
// interpreter that runs on it, measured once and kept in the thread's own
// storage: nothing of it is shared between threads or holds a Python object.
#include "stack.hpp"

#include "compat.hpp"

#include <cstddef>

#if NPU_STACK_MEASURED

#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif

// Against the oldest glibc of the architecture (the symbols' first versions,
// which later ones keep), not the build machine's: the module then loads
// wherever the interpreter does, as its wheel's tag promises.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace npu {

__thread ThreadStack t_stack;

namespace {

// What 3.14's interpreter keeps for itself at the end of a stack (its own
// checks raise RecursionError in the last four of its margins, and some give
// up there quietly, as the matching of an `except` clause does), and above
// that what one level may use beyond the point where the module's function
// starts (the interpreter's frames of the call into Python, the standard
// library's C calls): six margins, 96 KiB on a 64-bit machine (192 KiB for
// a debug build, whose margins and frames are twice as large), and never more
// than three quarters of a small thread's stack.
constexpr uintptr_t kReserve = 6 * kStackMarginPointers * sizeof(void*);

// The lowest address of the running thread's stack and its size; false
// where they cannot be had.
bool thread_stack(uintptr_t* low, uintptr_t* size) {
#if defined(__APPLE__)
    pthread_t self = pthread_self();
    *size = pthread_get_stacksize_np(self);
    *low = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self)) - *size;
    return *size != 0;
#else
    pthread_attr_t attr;
#if defined(__FreeBSD__)
    if (pthread_attr_init(&attr) != 0) {
        return false;
    }
    if (pthread_attr_get_np(pthread_self(), &attr) != 0) {
        pthread_attr_destroy(&attr);
        return false;
    }
#else
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return false;
    }
#endif
    void* address = nullptr;
    size_t bytes = 0;
    const int failed = pthread_attr_getstack(&attr, &address, &bytes);
    pthread_attr_destroy(&attr);
    *low = reinterpret_cast<uintptr_t>(address);
    *size = bytes;
    return !failed && address && bytes;
#endif
}

}  // namespace

bool measure_stack_has_room() {
    uintptr_t low = 0;
    uintptr_t size = 0;
    ThreadStack& s = t_stack;
    if (thread_stack(&low, &size)) {
        s.low = low;
        s.reserve = size / 4 * 3 < kReserve ? size / 4 * 3 : kReserve;
    } else {
        s.low = 0;
        s.reserve = 0;  // never short of room
    }
    s.measured = true;
    return stack_has_room();
}

}  // namespace npu

#endif
