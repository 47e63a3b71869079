// HMAC (RFC 2104) over libcrypto's low-level SHA-2 states. Everything keyed (the
// padded key block, the inner and outer states, the inner digest) lives in this
// object on the caller's stack and is wiped when it goes out of scope.
// Internal to src/crypto: include only from the HMAC and HKDF wrappers.
#pragma once

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>

#include "zeroize.h"

namespace velmora::crypto::detail {

struct Sha256Traits {
    using Ctx = SHA256_CTX;
    static constexpr std::size_t BLOCK = SHA256_CBLOCK;          // 64
    static constexpr std::size_t DIGEST = SHA256_DIGEST_LENGTH;  // 32
    static void init(Ctx* c) { SHA256_Init(c); }
    static void update(Ctx* c, const void* p, std::size_t n) { SHA256_Update(c, p, n); }
    static void final(std::uint8_t* out, Ctx* c) { SHA256_Final(out, c); }
};

struct Sha512Traits {
    using Ctx = SHA512_CTX;
    static constexpr std::size_t BLOCK = SHA512_CBLOCK;          // 128
    static constexpr std::size_t DIGEST = SHA512_DIGEST_LENGTH;  // 64
    static void init(Ctx* c) { SHA512_Init(c); }
    static void update(Ctx* c, const void* p, std::size_t n) { SHA512_Update(c, p, n); }
    static void final(std::uint8_t* out, Ctx* c) { SHA512_Final(out, c); }
};

// A key absorbed once into its inner (key ⊕ ipad) and outer (key ⊕ opad)
// states, so that several MACs under one key (HKDF-Expand) start from copies.
template <class H>
class HmacKey {
public:
    static constexpr std::size_t DIGEST = H::DIGEST;

    explicit HmacKey(std::span<const std::uint8_t> key) {
        std::uint8_t block[H::BLOCK] = {};
        if (key.size() > H::BLOCK) {
            // A key longer than the block is replaced by its digest.
            H::init(&inner_);
            H::update(&inner_, key.data(), key.size());
            H::final(block, &inner_);
        } else if (!key.empty()) {
            std::memcpy(block, key.data(), key.size());
        }
        for (auto& b : block) b ^= 0x36;
        H::init(&inner_);
        H::update(&inner_, block, H::BLOCK);
        for (auto& b : block) b ^= 0x36 ^ 0x5c;
        H::init(&outer_);
        H::update(&outer_, block, H::BLOCK);
        secure_zero(block, sizeof block);
    }
    ~HmacKey() {
        secure_zero(&inner_, sizeof inner_);
        secure_zero(&outer_, sizeof outer_);
    }
    HmacKey(const HmacKey&) = delete;
    HmacKey& operator=(const HmacKey&) = delete;

    // One MAC over the concatenation of `parts`.
    void mac(std::initializer_list<std::span<const std::uint8_t>> parts,
             std::span<std::uint8_t, DIGEST> out) const {
        typename H::Ctx ctx = inner_;
        WipeOnExit<typename H::Ctx> wipe_ctx(ctx);
        for (auto p : parts) H::update(&ctx, p.data(), p.size());
        std::uint8_t inner_digest[DIGEST];
        WipeOnExit<decltype(inner_digest)> wipe_digest(inner_digest);
        H::final(inner_digest, &ctx);
        ctx = outer_;
        H::update(&ctx, inner_digest, DIGEST);
        H::final(out.data(), &ctx);
    }

private:
    typename H::Ctx inner_;
    typename H::Ctx outer_;
};

}  // namespace velmora::crypto::detail
