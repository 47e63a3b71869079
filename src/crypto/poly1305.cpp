#include "crypto/poly1305.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <cstring>

#include "contract.h"
#include "crypto/sodium_init.h"
#include "zeroize.h"

namespace velmora::crypto {

namespace {

const EVP_MAC* libcrypto_poly1305() {
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
    return mac;
}

// The provider's Poly1305 state is cleansed by its final step (and only there:
// freeing the context does not cleanse it), so every keyed use of the context
// ends with EVP_MAC_final, on the error paths too.
struct ThreadContext {
    EVP_MAC_CTX* ctx = nullptr;
    bool failed = false;
    bool busy = false;
    ~ThreadContext() { EVP_MAC_CTX_free(ctx); }

    EVP_MAC_CTX* acquire() {
        if (busy || failed) return nullptr;
        if (ctx == nullptr) {
            const EVP_MAC* mac = libcrypto_poly1305();
            ctx = mac ? EVP_MAC_CTX_new(const_cast<EVP_MAC*>(mac)) : nullptr;
            if (ctx == nullptr) {
                failed = true;
                return nullptr;
            }
        }
        busy = true;
        return ctx;
    }
    void release() { busy = false; }
};

thread_local ThreadContext t_context;

// The libsodium state lives in this object's own storage, so the header needs
// no library header of its own.
using SodiumState = crypto_onetimeauth_poly1305_state;
static_assert(sizeof(SodiumState) <= Poly1305::SODIUM_STATE_BYTES);
static_assert(alignof(SodiumState) <= Poly1305::SODIUM_STATE_ALIGN);

SodiumState* sodium_state(unsigned char* storage) {
    return reinterpret_cast<SodiumState*>(storage);
}

// Runs the provider's final step into a scratch tag, which cleanses its state.
void cleanse(EVP_MAC_CTX* ctx) {
    std::uint8_t scratch[POLY1305_TAG_BYTES];
    std::size_t n = 0;
    (void)EVP_MAC_final(ctx, scratch, &n, sizeof scratch);
    secure_zero(scratch, sizeof scratch);
}

}  // namespace

Poly1305::Poly1305(const std::uint8_t key[POLY1305_KEY_BYTES], Backend backend) {
    if (backend != Backend::Sodium) evp_ = t_context.acquire();
    if (evp_ != nullptr) {
        if (EVP_MAC_init(evp_, key, POLY1305_KEY_BYTES, nullptr) == 1) return;
        cleanse(evp_);  // in case the key got in before the failure
        t_context.release();
        evp_ = nullptr;
    }
    ensure_sodium();
    crypto_onetimeauth_poly1305_init(sodium_state(state_), key);
}

Poly1305::~Poly1305() {
    if (!finished_) wipe();
}

void Poly1305::wipe() {
    if (evp_ != nullptr) {
        cleanse(evp_);
        t_context.release();
        evp_ = nullptr;
    } else {
        secure_zero(state_, sizeof state_);
    }
}

void Poly1305::update(const std::uint8_t* data, std::size_t len) {
    if (len == 0) return;
    if (evp_ != nullptr) {
        // A keyed context fails an update only when misused.
        VELMORA_EXPECT(EVP_MAC_update(evp_, data, len) == 1,
                       "libcrypto Poly1305 update failed on a keyed context");
    } else {
        crypto_onetimeauth_poly1305_update(sodium_state(state_), data, len);
    }
}

void Poly1305::finish(std::uint8_t tag[POLY1305_TAG_BYTES]) {
    VELMORA_EXPECT(!finished_, "Poly1305 finished twice");
    finished_ = true;
    if (evp_ != nullptr) {
        std::size_t n = 0;
        const int ok = EVP_MAC_final(evp_, tag, &n, POLY1305_TAG_BYTES);
        t_context.release();
        evp_ = nullptr;
        VELMORA_EXPECT(ok == 1 && n == POLY1305_TAG_BYTES,
                       "libcrypto Poly1305 final failed on a keyed context");
    } else {
        crypto_onetimeauth_poly1305_final(sodium_state(state_), tag);
        secure_zero(state_, sizeof state_);
    }
}

void poly1305(std::uint8_t tag[POLY1305_TAG_BYTES], const std::uint8_t* message, std::size_t len,
              const std::uint8_t key[POLY1305_KEY_BYTES]) {
    Poly1305 mac(key);
    mac.update(message, len);
    mac.finish(tag);
}

}  // namespace velmora::crypto
