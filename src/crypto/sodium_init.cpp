#include "crypto/sodium_init.h"

#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>

#include "contract.h"
#include "crypto/os_random.h"

namespace velmora::crypto {

namespace {

// libsodium's own random generator aborts the process when the kernel offers
// no randomness (no getrandom, no usable /dev/urandom), and sodium_init draws
// from it even though nothing here asks libsodium for random bytes: it stirs
// the generator and fills the canary of its guarded allocator. So it is given
// the module's own source first, whose failure is an ordinary error for every
// operation that really draws (RngFailed), and an operation that draws nothing
// works without one.
//
// Only sodium_init reaches this source: the allocator canary, for
// sodium_malloc, which the module never uses. Where the kernel has nothing to
// give, that canary is left as zeros. After set-up, no call the module makes
// into libsodium draws randomness; one that did would be a broken contract.
bool g_set_up = false;  // written under the once flag, before any later draw

void fill(void* buf, std::size_t size) {
    auto out = std::span<std::uint8_t>(static_cast<std::uint8_t*>(buf), size);
    if (os_random(out)) return;
    VELMORA_EXPECT(!g_set_up, "libsodium drew randomness after its set-up");
    std::memset(buf, 0, size);
}

std::uint32_t random_word() {
    std::uint32_t w;
    fill(&w, sizeof w);
    return w;
}

const char* implementation_name() { return "velmora-os-random"; }

randombytes_implementation g_source = {
    implementation_name,   random_word, nullptr /* stir */,
    nullptr /* uniform */, fill,        nullptr /* close */,
};

}  // namespace

void ensure_sodium() noexcept {
    static std::once_flag once;
    std::call_once(once, [] {
        VELMORA_EXPECT(randombytes_set_implementation(&g_source) == 0,
                       "libsodium refused the random source");
        // -1 only where it cannot probe the CPU, which x86-64 always allows.
        VELMORA_EXPECT(sodium_init() >= 0, "libsodium failed to initialise");
        g_set_up = true;
    });
}

}  // namespace velmora::crypto
