#include "posture/posture.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

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

std::optional<IpcLockCaps> read_ipc_lock() {
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &hdr, data) != 0) return std::nullopt;
    const std::uint32_t bit = 1u << CAP_IPC_LOCK;
    return IpcLockCaps{(data[0].permitted & bit) != 0, (data[0].effective & bit) != 0};
}

}  // namespace velmora::posture
