#include "locked/stack_bounds.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velmora::stack_bounds {

constinit thread_local Bounds t_bounds [[gnu::tls_model("initial-exec")]] = {0, 0, false};

namespace {

// The kernel will not grow the process's first stack to within this distance
// of the mapping below it (its stack_guard_gap, 256 pages by default), while
// the C library reports the stack as reaching right down to that mapping.
constexpr std::uintptr_t FIRST_STACK_GAP = 256 * 4096;

}  // namespace

void learn() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;  // tried again next call
    void* addr = nullptr;
    std::size_t size = 0;
    const int got = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    if (got != 0 || addr == nullptr || size == 0) return;
    Bounds b{reinterpret_cast<std::uintptr_t>(addr), reinterpret_cast<std::uintptr_t>(addr) + size,
             true};
    // For threads the C library made, the reported stack already leaves out
    // the guard page (and a stack the caller supplied has none: it is all
    // theirs). The first thread's stack grows on demand down to a limit that
    // the kernel enforces with a gap; stay above it. A large stack is the only
    // kind that can be the first thread's (its size is RLIMIT_STACK); a small
    // one here is a thread's stack inherited by a fork child, mapped whole.
    if (getpid() == static_cast<pid_t>(syscall(SYS_gettid)) && size > 4 * FIRST_STACK_GAP)
        b.lo += FIRST_STACK_GAP;
    t_bounds = b;
}

}  // namespace velmora::stack_bounds
