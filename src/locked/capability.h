// CAP_IPC_LOCK, the capability that frees mlock from RLIMIT_MEMLOCK. Both the
// allocator (which makes it effective where it is only permitted) and the
// status report read it through here.
#pragma once

#include <optional>

namespace velmora {

struct IpcLockCaps {
    bool permitted;
    bool effective;
};

// CAP_IPC_LOCK of the calling thread (capabilities are per thread); nullopt if
// capget fails.
std::optional<IpcLockCaps> read_ipc_lock();

// Makes CAP_IPC_LOCK effective for the calling thread where it is permitted,
// once per thread (the allocator does this before every region's lock; the
// own stacks, locked/own_stack.h, before theirs). Failures are silent.
void make_ipc_lock_effective();

}  // namespace velmora
