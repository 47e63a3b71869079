#include "crypto/base64url.h"

#include <sodium.h>

namespace velmora::crypto {

Result<ZeroizingBuffer> base64url_decode(std::span<const std::uint8_t> text) {
    std::size_t n = text.size();
    while (n > 0 && text[n - 1] == '=') --n;
    if (n % 4 == 1) return EnclaveError::malformed("base64url");
    // libsodium classifies a byte through arithmetic that assumes 0..255, but
    // reads it as a (signed) char: bytes from 0x80 up come out as garbage
    // symbols and are accepted. They are never symbols, so refuse them first,
    // looking at every byte the same way (the text is usually a secret key).
    unsigned high = 0;
    for (std::size_t i = 0; i < n; ++i) high |= text[i];
    if (high & 0x80) return EnclaveError::malformed("base64url");
    ZeroizingBuffer out(n / 4 * 3 + (n % 4 == 0 ? 0 : n % 4 - 1));
    if (n == 0) return out;
    // No ignore set and no end pointer: libsodium then refuses any byte outside
    // the alphabet (a '=' included) and any non-zero unused bits in the last group.
    std::size_t written = 0;
    const int rc = sodium_base642bin(out.data(), out.size(),
                                     reinterpret_cast<const char*>(text.data()), n, nullptr,
                                     &written, nullptr, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    if (rc != 0 || written != out.size()) return EnclaveError::malformed("base64url");
    return out;
}

}  // namespace velmora::crypto
