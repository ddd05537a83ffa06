// The C stack of the running thread, and whether one more level of calls
// through the module fits in what is left of it (stack.cpp says why and how).
#pragma once

#include <cstdint>

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
