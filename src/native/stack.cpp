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
// A level is what one call of the module's deepest operation holds below
// its entry, NPUConfig(model) reading a file: 7.6 to 9.3 KiB on 3.9 to 3.15
// (x86_64, release builds), 11.9 KiB on 3.14's debug build, as
// benchmarks/stack_use.c measures it (make bench prints it). Before 3.14 the
// room kept for it is one of the interpreter's stack margins: 16 KiB, 32 KiB
// on a debug build. From 3.14 the interpreter keeps four
// margins of its own at the stack's end: its checks raise RecursionError in
// the last two, and some in the last four, where the matching of an `except`
// clause with a tuple gives up quietly (so os.path.exists would answer
// False); a level fits in its last two, and the room kept above the four is
// what the level's frames hold down to those checks (kLevel). Before 3.14
// nothing of the interpreter looks at the stack.
//
// Which stack a frame is on, and where that stack ends:
// - The thread's own stack, measured on the thread's first call. A thread's
//   stack is fixed; the main thread's grows as it is used, up to the soft
//   RLIMIT_STACK of the moment it grows, which may since have been lowered.
//   Its room is taken from the limit as it is now, and the stack below the
//   frame is then touched, so that the room is there for good: a later call
//   no deeper needs no other look. Where the measure fails (it reads
//   /proc/self/maps for the main thread: no descriptor free, no /proc), it is
//   tried again at the next call; meanwhile the main thread's stack is known
//   from the top of the process's stack (the program's name, the first thing
//   the kernel writes there) and the limit, capped where the interpreter caps
//   a stack it cannot measure.
// - Another stack (a ucontext, a coroutine library's, one made from C): its
//   end is not known. The room taken is 64 KiB below the first frame seen on
//   it, or less where the memory mapping that holds it ends sooner.
//
// Everything here is a fact of the thread, the same for every interpreter
// that runs on it, kept in the thread's own storage: nothing of it is shared
// between threads or holds a Python object.
#include "stack.hpp"

#include <cstddef>

#if NPU_STACK_MEASURED

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#if defined(__linux__)
#include <cstring>
#include <sys/auxv.h>
#include <sys/syscall.h>
#endif

// Against the oldest glibc of the architecture (the symbols' first versions,
// which later ones keep), not the build machine's: the module then loads
// wherever the interpreter does, as its wheel's tag promises.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getguardsize,pthread_attr_getguardsize@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
__asm__(".symver pthread_attr_getguardsize,pthread_attr_getguardsize@GLIBC_2.17");
#endif

namespace npu {

__thread FastRoom t_room;

namespace {

constexpr uintptr_t kMargin = kStackMarginPointers * sizeof(void*);
constexpr uintptr_t kPage = 4096;
// What the interpreter keeps for itself at the end of a stack, above its
// base (the lowest address past the guard pages): from 3.14 four margins
// (see the top of this file); before, nothing, and a page is kept.
constexpr bool kInterpreterMeasuresStack = PY_VERSION_HEX >= 0x030E0000;
constexpr uintptr_t kInterpreterEnd = kInterpreterMeasuresStack ? 4 * kMargin : kPage;
// The room one level needs above that: from 3.14, what its frames hold down
// to the interpreter's deepest check (under 2 KiB measured; the whole level,
// 9.3 KiB at most, fits in the interpreter's last two margins), with the
// module's own nested calls, three eighths of a margin (6 KiB); before, the
// whole level, a margin.
constexpr uintptr_t kLevel = kInterpreterMeasuresStack ? kMargin * 3 / 8 : kMargin;
// The size the interpreter (3.14+) takes for a stack it cannot measure,
// counted down from where it first looked; the size taken here, too, for the
// main thread's stack when neither the measure nor the limit gives one.
constexpr uintptr_t kUnmeasuredStack = 4000000;
// The room taken on a stack that is not the thread's, below the first frame
// seen on it.
constexpr uintptr_t kOtherStack = 64 * 1024;
// The kernel keeps this gap between a growing stack and the mapping below it
// (stack_guard_gap, 256 pages).
constexpr uintptr_t kGrowthGap = 1024 * 1024;
// Room for the program's arguments and environment above the main thread's
// stack, where their size is not known.
constexpr uintptr_t kArgumentsRoom = 256 * 1024;
constexpr int kOtherStacks = 4;

// The running thread's own stack.
struct OwnStack {
    uintptr_t top;     // its highest address
    uintptr_t bottom;  // the lowest it may reach: below, a frame is on another stack
    uintptr_t low;     // a fixed stack: the lowest address a level may use
    uintptr_t limit_top;  // a growing stack: where its limit is counted from
    uintptr_t mapped;  // a growing stack: the lowest address known to be in it
    bool measured;     // the thread's stack attributes gave it
    bool known;        // measured, or known otherwise
    bool grows;        // the main thread's: grows up to RLIMIT_STACK
    bool next_to_mapping;  // its size is the room up to the mapping below
};

// A stack that is not the thread's, as first seen: a frame in [bottom, top)
// is on it, and has room down to `low`.
struct OtherStack {
    uintptr_t bottom;
    uintptr_t low;
    uintptr_t top;
};

struct Stacks {
    OwnStack own;
    OtherStack others[kOtherStacks];
    unsigned next_other;
};
__thread Stacks t_stacks;

uintptr_t at_least(uintptr_t a, uintptr_t b) { return a > b ? a : b; }
uintptr_t page_start(uintptr_t address) { return address & ~(kPage - 1); }

// The lowest address, size and guard size of the running thread's stack;
// false where they cannot be had.
bool thread_stack(uintptr_t* low, uintptr_t* size, uintptr_t* guard) {
#if defined(__APPLE__)
    pthread_t self = pthread_self();
    *size = pthread_get_stacksize_np(self);
    *low = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self)) - *size;
    *guard = kPage;
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
    size_t guard_bytes = 0;
    const int failed = pthread_attr_getstack(&attr, &address, &bytes) |
                       pthread_attr_getguardsize(&attr, &guard_bytes);
    pthread_attr_destroy(&attr);
    *low = reinterpret_cast<uintptr_t>(address);
    *size = bytes;
    *guard = guard_bytes;
    return !failed && address && bytes;
#endif
}

// Whether the running thread is the process's first, whose stack grows.
bool is_main_thread() {
#if defined(__linux__)
    return getpid() == static_cast<pid_t>(syscall(SYS_gettid));
#else
    return false;  // elsewhere every stack is taken as fixed
#endif
}

// The soft RLIMIT_STACK as it is now; 0 where there is none.
uintptr_t stack_limit_now() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    return page_start(static_cast<uintptr_t>(limit.rlim_cur));
}

// The top of the main thread's stack without /proc: the kernel writes the
// program's name there first, just below the top.
bool main_stack_top(uintptr_t* top) {
#if defined(__linux__)
    const auto* name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (!name) {
        return false;
    }
    const uintptr_t end = reinterpret_cast<uintptr_t>(name) + strlen(name) + 1 + sizeof(void*);
    *top = page_start(end + kPage - 1);
    return true;
#else
    (void)top;
    return false;
#endif
}

void measure_own(OwnStack& own, uintptr_t here) {
    uintptr_t low = 0;
    uintptr_t size = 0;
    uintptr_t guard = 0;
    if (thread_stack(&low, &size, &guard)) {
        own = OwnStack{};
        own.top = low + size;
        own.bottom = low;
        own.grows = is_main_thread();
        if (own.grows) {
            // glibc gives the stack's end where the limit of the moment puts
            // it, counted from the top of the mapping (above `top`: the
            // program's arguments and environment), or where the mapping
            // below comes sooner.
            const uintptr_t limit = stack_limit_now();
            uintptr_t mapping_top = 0;
            if (main_stack_top(&mapping_top) && mapping_top >= own.top &&
                mapping_top - own.top < kArgumentsRoom) {
                own.limit_top = mapping_top;
                own.next_to_mapping =
                    limit <= mapping_top - own.top ||
                    size < page_start(limit - (mapping_top - own.top));
            } else {
                own.next_to_mapping = limit == 0 || size > limit || limit - size > kArgumentsRoom;
                own.limit_top = own.top + (own.next_to_mapping ? kArgumentsRoom : limit - size);
            }
            own.mapped = own.top;
        } else {
            own.low = low + guard + kInterpreterEnd;
        }
        own.measured = own.known = true;
        return;
    }
    uintptr_t top = 0;
    if (!own.known && is_main_thread() && main_stack_top(&top) && here < top) {
        own = OwnStack{};
        own.top = own.limit_top = own.mapped = top;
        const uintptr_t size = at_least(stack_limit_now(), kUnmeasuredStack);
        own.bottom = top > size ? top - size : 0;
        own.grows = own.known = true;
    }
}

// The lowest address a level may use on the main thread's stack, by the
// stack limit as it is now.
uintptr_t growing_stack_low(const OwnStack& own) {
    uintptr_t low = own.bottom + (own.next_to_mapping ? kGrowthGap : 0);
    const uintptr_t limit = stack_limit_now();
    if (limit && limit < own.limit_top && own.limit_top - limit > low) {
        low = own.limit_top - limit;
    }
    if (!own.measured && (kInterpreterMeasuresStack || !limit) &&
        own.limit_top - kUnmeasuredStack > low) {
        low = own.limit_top - kUnmeasuredStack;  // the interpreter's end of an unmeasured stack
    }
    return low + kInterpreterEnd;
}

// Makes the stack reach `lowest`, from the top down, as the kernel lets a
// stack grow: from then on the memory is the stack's, whatever the limit
// becomes. Returns the lowest address now known to be in the stack.
NPU_OWN_FRAME uintptr_t touch_stack(uintptr_t lowest) {
    constexpr uintptr_t kOwnFrame = 256;  // this frame's own, below its address
    const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (frame < lowest + kOwnFrame + kPage) {
        return page_start(frame);
    }
    const size_t bytes = frame - lowest - kOwnFrame;
    auto* block = static_cast<volatile char*>(__builtin_alloca(bytes));
    for (size_t at = bytes; at >= kPage; at -= kPage) {
        block[at - 1] = 0;
    }
    block[0] = 0;
    return page_start(reinterpret_cast<uintptr_t>(block));
}

bool own_stack_has_room(OwnStack& own, uintptr_t here) {
    const uintptr_t low = own.grows ? growing_stack_low(own) : own.low;
    if (here < low || here - low < kLevel) {
        return false;
    }
    uintptr_t fast_low = low + kLevel;
    if (own.grows) {
        // The level and the interpreter's end below it, made the stack's.
        constexpr uintptr_t kBelow = kLevel + kInterpreterEnd;
        if (here - kBelow < own.mapped) {
            own.mapped = touch_stack(here - kBelow);
        }
        fast_low = own.mapped + kBelow;
    }
    t_room = FastRoom{fast_low, own.top - fast_low};
    return true;
}

#if defined(__linux__)
// Whether the line of /proc/self/maps in [line, line + n) ("start-end perms
// ...", two hexadecimal numbers) is of the mapping that holds `address`.
bool mapping_holds(const char* line, size_t n, uintptr_t address, uintptr_t* start,
                   uintptr_t* end) {
    uintptr_t bounds[2] = {0, 0};
    size_t at = 0;
    for (uintptr_t& bound : bounds) {
        for (; at < n; ++at) {
            const char c = line[at];
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0) {
                break;
            }
            bound = bound * 16 + static_cast<uintptr_t>(digit);
        }
        ++at;  // the '-'
    }
    if (bounds[0] <= address && address < bounds[1]) {
        *start = bounds[0];
        *end = bounds[1];
        return true;
    }
    return false;
}
#endif

// The start and end of the memory mapping that holds `address`, from
// /proc/self/maps; false where it cannot be read.
bool mapping_of(uintptr_t address, uintptr_t* start, uintptr_t* end) {
#if defined(__linux__)
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[512];
    size_t kept = 0;
    bool found = false;
    bool in_line = false;  // the buffer starts inside a line already looked at
    ssize_t got;
    while (!found && (got = read(fd, buffer + kept, sizeof buffer - kept)) > 0) {
        kept += static_cast<size_t>(got);
        size_t line = 0;
        for (size_t i = 0; i < kept && !found; ++i) {
            if (buffer[i] == '\n') {
                found = !in_line && mapping_holds(buffer + line, i - line, address, start, end);
                in_line = false;
                line = i + 1;
            }
        }
        if (!found && line == 0 && kept == sizeof buffer) {
            // A line longer than the buffer: its range is at its start.
            found = !in_line && mapping_holds(buffer, kept, address, start, end);
            in_line = true;
            line = kept;
        }
        memmove(buffer, buffer + line, kept - line);
        kept -= line;
    }
    close(fd);
    return found;
#else
    (void)address;
    (void)start;
    (void)end;
    return false;
#endif
}

bool other_stack_has_room(Stacks& stacks, uintptr_t here) {
    for (const OtherStack& other : stacks.others) {
        if (other.bottom <= here && here < other.top) {
            return here >= other.low && here - other.low >= kLevel;
        }
    }
    // A stack not seen before. Where its mapping is not known, a frame
    // somewhat below its room is still taken to be on it: no deeper frame
    // starts a stack of its own with room afresh.
    const uintptr_t low = here > kOtherStack ? here - kOtherStack : 0;
    OtherStack other{low > kOtherStack ? low - kOtherStack : 0, low, here + kOtherStack};
    uintptr_t start = 0;
    uintptr_t end = 0;
    if (mapping_of(here, &start, &end)) {
        other = OtherStack{start, at_least(low, start + kPage), end};
    }
    stacks.others[stacks.next_other++ % kOtherStacks] = other;
    return here >= other.low && here - other.low >= kLevel;
}

}  // namespace

bool stack_has_room_slow(uintptr_t here) {
    Stacks& stacks = t_stacks;
    OwnStack& own = stacks.own;
    if (!own.measured) {
        measure_own(own, here);  // again at every call until it succeeds
    }
    if (own.known && own.bottom <= here && here < own.top) {
        return own_stack_has_room(own, here);
    }
    return other_stack_has_room(stacks, here);
}

}  // namespace npu

#endif
