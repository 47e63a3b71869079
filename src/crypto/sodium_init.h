// libsodium's one-time set-up, shared by every primitive that runs on it.
#pragma once

namespace velmora::crypto {

// Selects libsodium's fastest code paths for this CPU, once per process, on
// first use (importing the module does no work). Safe from any thread.
void ensure_sodium() noexcept;

}  // namespace velmora::crypto
