// The C stack of the running thread, and whether one more level of calls
// through the module fits in what is left of it (stack.cpp says why).
#pragma once

#include <cstdint>

#if defined(__linux__) || defined(__APPLE__) || defined(__FreeBSD__)
#define NPU_STACK_MEASURED 1
#else
#define NPU_STACK_MEASURED 0
#endif

namespace npu {

#if NPU_STACK_MEASURED
// The running thread's stack as measured: the room kept free at its end is
// [low, low + reserve]. Zero until measured.
struct ThreadStack {
    uintptr_t low;
    uintptr_t reserve;
    bool measured;
};
extern __thread ThreadStack t_stack;

// The first call on a thread: measures its stack, then answers.
bool measure_stack_has_room();

// Whether the running thread's stack keeps, below this point, the room a
// level of calls through the module may need, on top of what the
// interpreter keeps for its own checks. True where the stack cannot be
// measured, and for code running on another stack than the thread's.
inline bool stack_has_room() {
    const ThreadStack& s = t_stack;
    if (!s.measured) {
        return measure_stack_has_room();
    }
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return here - s.low - 1 >= s.reserve;  // below `low` wraps round: another stack
}
#else
inline bool stack_has_room() { return true; }
#endif

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
