#include "posture/posture.h"

#include <sys/prctl.h>
#include <sys/resource.h>

namespace velmora::posture {

namespace {

std::optional<std::uint64_t> limit_value(rlim_t v) {
    if (v == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(v);
}

}  // namespace

MemlockLimits read_memlock() {
    rlimit lim{};
    if (getrlimit(RLIMIT_MEMLOCK, &lim) != 0) return {};
    return {limit_value(lim.rlim_cur), limit_value(lim.rlim_max)};
}

HardenReport harden_process() {
    HardenReport report{};

    rlimit memlock{};
    if (getrlimit(RLIMIT_MEMLOCK, &memlock) == 0 && memlock.rlim_cur != memlock.rlim_max) {
        rlimit raised{memlock.rlim_max, memlock.rlim_max};
        report.memlock_soft_raised = setrlimit(RLIMIT_MEMLOCK, &raised) == 0;
    }

    rlimit no_core{0, 0};
    report.core_dumps_disabled = setrlimit(RLIMIT_CORE, &no_core) == 0;
    report.ptrace_restricted = prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
    report.memlock = read_memlock();
    return report;
}

}  // namespace velmora::posture
