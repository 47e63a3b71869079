#include "crypto/chacha20.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <climits>
#include <cstring>

#include "contract.h"
#include "crypto/sodium_init.h"
#include "zeroize.h"

namespace velmora::crypto {

namespace {

// Fetched once and kept for the life of the process (freeing it from a static
// destructor could race libcrypto's own exit-time cleanup).
const EVP_CIPHER* libcrypto_chacha20() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr);
    return cipher;
}

// One context per thread, created on first bulk request. Between calls it holds
// an all-zero key and nonce. Freeing it (at thread exit) releases the provider
// context with OPENSSL_clear_free.
struct ThreadContext {
    EVP_CIPHER_CTX* ctx = nullptr;
    bool failed = false;
    ~ThreadContext() { EVP_CIPHER_CTX_free(ctx); }

    EVP_CIPHER_CTX* get() {
        if (ctx != nullptr || failed) return ctx;
        const EVP_CIPHER* cipher = libcrypto_chacha20();
        EVP_CIPHER_CTX* c = cipher ? EVP_CIPHER_CTX_new() : nullptr;
        if (c == nullptr || EVP_EncryptInit_ex2(c, cipher, nullptr, nullptr, nullptr) != 1) {
            EVP_CIPHER_CTX_free(c);
            failed = true;  // stay on libsodium for this thread
            return nullptr;
        }
        ctx = c;
        return ctx;
    }
};

thread_local ThreadContext t_context;

constexpr std::uint8_t ZERO_KEY[CHACHA20_KEY_BYTES] = {};
constexpr std::uint8_t ZERO_IV[16] = {};

// Once the context took the key and nonce, an update of whole blocks has no
// way to fail but misuse; a failure there is a broken contract.
constexpr const char* UPDATE_FAILED = "libcrypto ChaCha20 update failed on a keyed context";

// Overwrites the key, nonce and counter the provider context copied in. The
// context never holds a partial block: every update below is a whole number of
// blocks, so its leftover key-stream buffer is never filled.
struct Rekeyed {
    EVP_CIPHER_CTX* ctx;
    ~Rekeyed() { (void)EVP_EncryptInit_ex2(ctx, nullptr, ZERO_KEY, ZERO_IV, nullptr); }
};

}  // namespace

namespace detail {

void chacha20_xor_sodium(std::uint8_t* out, const std::uint8_t* in, std::size_t len,
                         const std::uint8_t* key, const std::uint8_t* nonce,
                         std::uint32_t first_block) {
    if (len == 0) return;
    ensure_sodium();
    crypto_stream_chacha20_ietf_xor_ic(out, in, len, nonce, first_block, key);
}

bool chacha20_xor_libcrypto(std::uint8_t* out, const std::uint8_t* in, std::size_t len,
                            const std::uint8_t* key, const std::uint8_t* nonce,
                            std::uint32_t first_block) {
    if (len == 0) return true;
    EVP_CIPHER_CTX* ctx = t_context.get();
    if (ctx == nullptr) return false;

    // libcrypto's IV: the 32-bit block counter (little-endian), then the nonce.
    std::uint8_t iv[16];
    WipeOnExit<std::uint8_t[16]> wipe_iv(iv);
    iv[0] = static_cast<std::uint8_t>(first_block);
    iv[1] = static_cast<std::uint8_t>(first_block >> 8);
    iv[2] = static_cast<std::uint8_t>(first_block >> 16);
    iv[3] = static_cast<std::uint8_t>(first_block >> 24);
    std::memcpy(iv + 4, nonce, CHACHA20_NONCE_BYTES);

    Rekeyed rekey_on_exit{ctx};
    // Nothing written yet: the caller falls back to libsodium.
    if (EVP_EncryptInit_ex2(ctx, nullptr, key, iv, nullptr) != 1) return false;

    // Whole blocks, in pieces that fit the int length libcrypto takes.
    constexpr std::size_t PIECE = std::size_t{1} << 30;
    const std::size_t whole = len - len % CHACHA20_BLOCK_BYTES;
    for (std::size_t done = 0; done < whole;) {
        const std::size_t n = whole - done < PIECE ? whole - done : PIECE;
        int written = 0;
        VELMORA_EXPECT(
            EVP_EncryptUpdate(ctx, out + done, &written, in + done, static_cast<int>(n)) == 1 &&
                static_cast<std::size_t>(written) == n,
            UPDATE_FAILED);
        done += n;
    }
    // The tail: one more whole block of key stream, on the stack.
    if (const std::size_t tail = len - whole; tail != 0) {
        std::uint8_t block[CHACHA20_BLOCK_BYTES] = {};
        WipeOnExit<std::uint8_t[CHACHA20_BLOCK_BYTES]> wipe_block(block);
        int written = 0;
        VELMORA_EXPECT(EVP_EncryptUpdate(ctx, block, &written, block, CHACHA20_BLOCK_BYTES) == 1 &&
                           written == static_cast<int>(CHACHA20_BLOCK_BYTES),
                       UPDATE_FAILED);
        for (std::size_t i = 0; i < tail; ++i) out[whole + i] = in[whole + i] ^ block[i];
    }
    return true;
}

}  // namespace detail

void chacha20_xor(std::uint8_t* out, const std::uint8_t* in, std::size_t len,
                  const std::uint8_t key[CHACHA20_KEY_BYTES],
                  const std::uint8_t nonce[CHACHA20_NONCE_BYTES], std::uint32_t first_block) {
    VELMORA_EXPECT(chacha20_fits(first_block, len),
                   "ChaCha20 request runs past the 32-bit block counter");
    if (len == 0) return;
    if (len >= CHACHA20_BULK_BYTES &&
        detail::chacha20_xor_libcrypto(out, in, len, key, nonce, first_block))
        return;
    detail::chacha20_xor_sodium(out, in, len, key, nonce, first_block);
}

void chacha20_keystream(std::uint8_t* out, std::size_t len,
                        const std::uint8_t key[CHACHA20_KEY_BYTES],
                        const std::uint8_t nonce[CHACHA20_NONCE_BYTES], std::uint32_t first_block) {
    VELMORA_EXPECT(chacha20_fits(first_block, len),
                   "ChaCha20 request runs past the 32-bit block counter");
    if (len != 0) std::memset(out, 0, len);
    chacha20_xor(out, out, len, key, nonce, first_block);
}

}  // namespace velmora::crypto
