#include "crypto/hkdf_sha256.h"

#include <algorithm>
#include <cstring>

#include "crypto/hmac_impl.h"
#include "zeroize.h"

namespace velmora::crypto {

using detail::HmacKey;
using detail::Sha256Traits;

void hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message,
                 std::span<std::uint8_t, 32> out) {
    const HmacKey<Sha256Traits> k(key);
    k.mac({message}, out);
}

Status hkdf_sha256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                   std::span<const std::uint8_t> info, std::span<std::uint8_t> out) {
    constexpr std::size_t HASH = Sha256Traits::DIGEST;
    if (out.empty() || out.size() > HKDF_SHA256_MAX_OUTPUT)
        return EnclaveError::wrong_length("hkdf output length", HKDF_SHA256_MAX_OUTPUT, out.size());

    // Extract: PRK = HMAC(salt, IKM).
    std::uint8_t prk[HASH];
    WipeOnExit<decltype(prk)> wipe_prk(prk);
    {
        const HmacKey<Sha256Traits> extract(salt);
        extract.mac({ikm}, prk);
    }

    // Expand: T(i) = HMAC(PRK, T(i-1) ‖ info ‖ i).
    const HmacKey<Sha256Traits> expand(prk);
    std::uint8_t t[HASH];
    WipeOnExit<decltype(t)> wipe_t(t);
    std::size_t done = 0;
    for (std::uint8_t i = 1; done < out.size(); ++i) {
        const std::uint8_t counter[1] = {i};
        const std::span<const std::uint8_t> previous(t, i == 1 ? 0 : HASH);
        expand.mac({previous, info, counter}, t);
        const std::size_t take = std::min(HASH, out.size() - done);
        std::memcpy(out.data() + done, t, take);
        done += take;
    }
    return {};
}

}  // namespace velmora::crypto
