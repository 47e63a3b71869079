#include "crypto/sha3.h"

#include <openssl/evp.h>

#include <cstring>

#include "contract.h"

namespace velmora::crypto {

namespace {

// One initialised, never-updated context per function. Each call starts from
// a copy of it: cheaper than re-initialising (no engine lookup, no provider
// init), and the templates hold no data, so concurrent copies only read them.
// They live until the process ends (freeing them from a static destructor
// could race the library's own exit-time cleanup).
struct Templates {
    EVP_MD_CTX* sha3_256;
    EVP_MD_CTX* sha3_512;
    EVP_MD_CTX* shake128;
    EVP_MD_CTX* shake256;
};

EVP_MD_CTX* make_template(const char* name) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    VELMORA_EXPECT(md != nullptr && ctx != nullptr && EVP_DigestInit_ex2(ctx, md, nullptr) == 1,
                   "libcrypto SHA-3 digest set-up");
    EVP_MD_free(md);  // the context keeps its own reference
    return ctx;
}

const Templates& templates() {
    static const Templates t{make_template("SHA3-256"), make_template("SHA3-512"),
                             make_template("SHAKE128"), make_template("SHAKE256")};
    return t;
}

// Copying over ctx first frees its previous algorithm context with
// OPENSSL_clear_free, so whatever the last call left in the Keccak lanes and
// buffer is cleansed here.
void absorb(EVP_MD_CTX* ctx, const EVP_MD_CTX* tmpl, std::initializer_list<ByteView> parts) {
    VELMORA_EXPECT(EVP_MD_CTX_copy_ex(ctx, tmpl) == 1, "libcrypto SHA-3 digest init");
    for (ByteView p : parts) {
        VELMORA_EXPECT(p.empty() || EVP_DigestUpdate(ctx, p.data(), p.size()) == 1,
                       "libcrypto SHA-3 digest update");
    }
}

}  // namespace

Sha3::Sha3() : ctx_(EVP_MD_CTX_new()) {
    VELMORA_EXPECT(ctx_ != nullptr, "libcrypto SHA-3 context allocation");
}

// EVP_MD_CTX_free resets the context first: the algorithm context is freed with
// OPENSSL_clear_free and the EVP_MD_CTX itself is cleansed.
Sha3::~Sha3() { EVP_MD_CTX_free(ctx_); }

void Sha3::wipe() { EVP_MD_CTX_reset(ctx_); }

void Sha3::sha3_256(std::initializer_list<ByteView> parts, std::uint8_t out[32]) {
    absorb(ctx_, templates().sha3_256, parts);
    VELMORA_EXPECT(EVP_DigestFinal_ex(ctx_, out, nullptr) == 1, "libcrypto SHA-3 digest final");
}

void Sha3::sha3_512(std::initializer_list<ByteView> parts, std::uint8_t out[64]) {
    absorb(ctx_, templates().sha3_512, parts);
    VELMORA_EXPECT(EVP_DigestFinal_ex(ctx_, out, nullptr) == 1, "libcrypto SHA-3 digest final");
}

void Sha3::shake128(std::initializer_list<ByteView> parts, std::uint8_t* out, std::size_t out_len) {
    absorb(ctx_, templates().shake128, parts);
    VELMORA_EXPECT(EVP_DigestFinalXOF(ctx_, out, out_len) == 1, "libcrypto SHAKE final");
}

void Sha3::shake256(std::initializer_list<ByteView> parts, std::uint8_t* out, std::size_t out_len) {
    absorb(ctx_, templates().shake256, parts);
    VELMORA_EXPECT(EVP_DigestFinalXOF(ctx_, out, out_len) == 1, "libcrypto SHAKE final");
}

Shake128Stream::Shake128Stream(Sha3& sha3, ByteView input, std::size_t initial_blocks)
    : sha3_(sha3), input_len_(input.size()), out_(buf_) {
    VELMORA_EXPECT(input_len_ <= INPUT_CAPACITY, "shake128 stream input length");
    std::memcpy(input_, input.data(), input_len_);
    available_ = initial_blocks < INLINE_BLOCKS ? initial_blocks : INLINE_BLOCKS;
    if (available_ == 0) available_ = 1;
    sha3_.shake128({ByteView(input_, input_len_)}, buf_, available_ * BLOCK_BYTES);
}

const std::uint8_t* Shake128Stream::next_block() {
    if (next_ == available_) {
        // Squeeze twice as much from the start; the prefix already handed out
        // comes out identical and is skipped.
        available_ *= 2;
        long_.resize(available_ * BLOCK_BYTES);
        sha3_.shake128({ByteView(input_, input_len_)}, long_.data(), long_.size());
        out_ = long_.data();
    }
    return out_ + BLOCK_BYTES * next_++;
}

}  // namespace velmora::crypto
