// Process posture: hardening the process and reading what the locked memory can
// guarantee. Plain values here; posture_py.cpp turns them into dictionaries.
#pragma once

#include <cstdint>
#include <optional>

namespace velmora::posture {

struct MemlockLimits {
    std::optional<std::uint64_t> soft;  // nullopt: unlimited or unreadable
    std::optional<std::uint64_t> hard;
};

struct HardenReport {
    bool core_dumps_disabled;
    bool ptrace_restricted;
    bool memlock_soft_raised;
    MemlockLimits memlock;
};

// Raises the soft RLIMIT_MEMLOCK to the hard one, sets RLIMIT_CORE to 0/0 and
// clears the dumpable flag; every step runs and none fails the call.
HardenReport harden_process();

MemlockLimits read_memlock();

}  // namespace velmora::posture
