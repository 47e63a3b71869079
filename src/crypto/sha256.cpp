#include "crypto/sha256.h"

// The low-level interface keeps the state in a caller-owned structure, which is
// what lets us hold it on the stack and wipe it; EVP would put it on the heap.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>

#include "zeroize.h"

namespace velmora::crypto {

void sha256(std::span<const std::uint8_t> data, std::span<std::uint8_t, SHA256_BYTES> out) {
    sha256(data, {}, {}, out);
}

void sha256(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
            std::span<const std::uint8_t> third, std::span<std::uint8_t, SHA256_BYTES> out) {
    Sha256 h;
    h.digest(first, second, third, out);
}

static_assert(sizeof(SHA256_CTX) <= sizeof(Sha256{}) && alignof(SHA256_CTX) <= 16);

Sha256::~Sha256() {
    secure_zero(state_, sizeof state_);
    secure_zero(last_, sizeof last_);
}

void Sha256::digest_72(std::span<const std::uint8_t, 64> block,
                       std::span<const std::uint8_t, 8> tail,
                       std::span<std::uint8_t, SHA256_BYTES> out) {
    auto* ctx = reinterpret_cast<SHA256_CTX*>(state_);
    std::memcpy(last_, tail.data(), 8);
    last_[8] = 0x80;
    last_[62] = 576 >> 8;
    last_[63] = 576 & 0xff;
    SHA256_Init(ctx);
    SHA256_Transform(ctx, block.data());
    SHA256_Transform(ctx, last_);
    for (int i = 0; i < 8; ++i) {
        const std::uint32_t w = ctx->h[i];
        out[4 * i] = static_cast<std::uint8_t>(w >> 24);
        out[4 * i + 1] = static_cast<std::uint8_t>(w >> 16);
        out[4 * i + 2] = static_cast<std::uint8_t>(w >> 8);
        out[4 * i + 3] = static_cast<std::uint8_t>(w);
    }
}

void Sha256::digest(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
                    std::span<const std::uint8_t> third,
                    std::span<std::uint8_t, SHA256_BYTES> out) {
    auto* ctx = reinterpret_cast<SHA256_CTX*>(state_);
    SHA256_Init(ctx);
    SHA256_Update(ctx, first.data(), first.size());
    SHA256_Update(ctx, second.data(), second.size());
    SHA256_Update(ctx, third.data(), third.size());
    SHA256_Final(out.data(), ctx);
}

}  // namespace velmora::crypto
