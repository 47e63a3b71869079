// SHA-256 (FIPS 180-4) through libcrypto, with the hash state on the stack and
// wiped after use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::crypto {

inline constexpr std::size_t SHA256_BYTES = 32;

// out = SHA-256(data).
void sha256(std::span<const std::uint8_t> data, std::span<std::uint8_t, SHA256_BYTES> out);

// out = SHA-256(first ‖ second ‖ third), without joining the parts in memory.
void sha256(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
            std::span<const std::uint8_t> third, std::span<std::uint8_t, SHA256_BYTES> out);

// Several digests in a row through one hash state on the stack, wiped once when
// the object goes out of scope rather than after every digest (the entropy pool
// hashes one short message per 32 output bytes).
class Sha256 {
public:
    Sha256() = default;
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // out = SHA-256(first ‖ second ‖ third).
    void digest(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
                std::span<const std::uint8_t> third, std::span<std::uint8_t, SHA256_BYTES> out);

    // out = SHA-256(block ‖ tail) for a message of exactly 72 bytes: two
    // compression calls with the padding precomputed, no buffering.
    void digest_72(std::span<const std::uint8_t, 64> block, std::span<const std::uint8_t, 8> tail,
                   std::span<std::uint8_t, SHA256_BYTES> out);

private:
    alignas(16) unsigned char state_[128];  // libcrypto's SHA256_CTX
    // The last block of a 72-byte message: the 8 tail bytes, 0x80, zeros, and
    // the length in bits (576) as a big-endian 64-bit number.
    std::uint8_t last_[64] = {};
};

}  // namespace velmora::crypto
