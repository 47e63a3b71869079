// The one check for a broken internal contract: a caller inside the module
// passed what the callee's header rules out (a wrong buffer length, a second
// finish, a library failing where its own contract says it cannot). That is a
// programming error, not a runtime failure, so it is neither a Result nor an
// exception: the process stops with the message, before any secret could be
// written somewhere it does not belong. Runtime failures are Results
// (error/error.h).
#pragma once

#include <cstdio>
#include <cstdlib>

namespace velmora {

[[noreturn]] inline void contract_broken(const char* what, const char* file, int line) {
    std::fprintf(stderr, "velmora._secure: internal contract broken at %s:%d: %s\n", file, line,
                 what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace velmora

// Aborts with `what` when `cond` is false. Always on, release builds included:
// every use guards a buffer bound or a state the code after it relies on.
#define VELMORA_EXPECT(cond, what) \
    ((cond) ? static_cast<void>(0) : ::velmora::contract_broken((what), __FILE__, __LINE__))
