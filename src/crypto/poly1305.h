// Poly1305 as in RFC 8439, one-shot or incremental. It runs on libcrypto through
// one reusable context per thread (measured faster than libsodium at every
// length, its key set-up included); libsodium, with the state inside this object
// on the caller's stack, takes over when this thread's context is already in use
// or cannot be created. Either state is wiped when the tag is produced or the
// object goes away.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct evp_mac_ctx_st EVP_MAC_CTX;

namespace velmora::crypto {

inline constexpr std::size_t POLY1305_KEY_BYTES = 32;
inline constexpr std::size_t POLY1305_TAG_BYTES = 16;

class Poly1305 {
public:
    enum class Backend { Auto, Sodium, Libcrypto };

    // Auto and Libcrypto both fall back to libsodium when this thread's context
    // is busy or unavailable; Sodium forces libsodium (for tests).
    explicit Poly1305(const std::uint8_t key[POLY1305_KEY_BYTES], Backend backend = Backend::Auto);
    ~Poly1305();
    Poly1305(const Poly1305&) = delete;
    Poly1305& operator=(const Poly1305&) = delete;

    void update(const std::uint8_t* data, std::size_t len);
    // Writes the tag and wipes the state; no update may follow, and a second
    // finish is a broken contract (contract.h).
    void finish(std::uint8_t tag[POLY1305_TAG_BYTES]);

    bool on_libcrypto() const { return evp_ != nullptr; }

    // Room for libsodium's state (checked against its real size in the source).
    static constexpr std::size_t SODIUM_STATE_BYTES = 256;
    static constexpr std::size_t SODIUM_STATE_ALIGN = 16;

private:
    void wipe();

    EVP_MAC_CTX* evp_ = nullptr;  // this thread's context while we own it
    alignas(SODIUM_STATE_ALIGN) unsigned char state_[SODIUM_STATE_BYTES];
    bool finished_ = false;
};

// tag = Poly1305(key, message).
void poly1305(std::uint8_t tag[POLY1305_TAG_BYTES], const std::uint8_t* message, std::size_t len,
              const std::uint8_t key[POLY1305_KEY_BYTES]);

}  // namespace velmora::crypto
