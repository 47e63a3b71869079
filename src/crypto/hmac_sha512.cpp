#include "crypto/hmac_sha512.h"

#include "crypto/hmac_impl.h"

namespace velmora::crypto {

void hmac_sha512(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message,
                 std::span<std::uint8_t, HMAC_SHA512_BYTES> out) {
    const detail::HmacKey<detail::Sha512Traits> k(key);
    k.mac({message}, out);
}

}  // namespace velmora::crypto
