#include "crypto/aes_gcm.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "byte_order.h"
#include "crypto/ct.h"

#if defined(__x86_64__)
#include <intel-ipsec-mb.h>

#include "crypto/aes_gcm_ipsec.h"
#elif defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace velmora::crypto::aes_gcm {

namespace {

// Why each tag check may declassify its verdict: a ciphertext whose tag does
// not match is refused openly, and the refusal is all that it tells.
constexpr const char* TAG_VERDICT = "a forged or damaged ciphertext is refused openly";

Status check_key_nonce(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce) {
    if (key.size() != KEY_BYTES)
        return EnclaveError::wrong_length("aes-gcm key", KEY_BYTES, key.size());
    if (nonce.size() != NONCE_BYTES)
        return EnclaveError::wrong_length("aes-gcm nonce", NONCE_BYTES, nonce.size());
    return {};
}

#if defined(__x86_64__)
// Never hand ipsec-mb a null pointer, even for a zero length: where it is built
// with parameter checks, a pointer it dislikes makes it return without writing.
const std::uint8_t EMPTY[16] = {};
const std::uint8_t* ptr_or_empty(std::span<const std::uint8_t> s) {
    return s.empty() ? EMPTY : s.data();
}

// --- ipsec-mb -------------------------------------------------------------------

// One call's ipsec-mb state. The direct GCM API leaves the stack to us: the
// key data (round keys and GHASH key powers) and gcm_context_data (the running
// state) live here, on the caller's stack, and are wiped when the call's scope
// ends, whichever way it ends. A zero length still gets a real pointer.
class IpsecCall {
public:
    IpsecCall(std::span<const std::uint8_t> key, std::size_t aad_bytes, std::size_t text_bytes)
        : manager_(ipsec::manager_for(aad_bytes, text_bytes)) {
        ipsec::prepare_key(manager_, key.data(), key_);
    }
    ~IpsecCall() {
        secure_zero(&key_, sizeof key_);
        secure_zero(&ctx_, sizeof ctx_);
    }
    IpsecCall(const IpsecCall&) = delete;
    IpsecCall& operator=(const IpsecCall&) = delete;

    // out = in encrypted under `nonce` (out may be null only when in is empty),
    // and the tag of (aad, out).
    void encrypt(std::uint8_t* out, std::span<const std::uint8_t> in,
                 std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> aad,
                 std::uint8_t* tag) {
        IMB_AES256_GCM_ENC(manager_.mgr, &key_.data, &ctx_, writable_or_empty(out, in.size()),
                           ptr_or_empty(in), in.size(), nonce.data(), ptr_or_empty(aad), aad.size(),
                           tag, TAG_BYTES);
    }
    // out = in decrypted under `nonce`, and the tag of (aad, in).
    void decrypt(std::uint8_t* out, std::span<const std::uint8_t> in,
                 std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> aad,
                 std::uint8_t* tag) {
        IMB_AES256_GCM_DEC(manager_.mgr, &key_.data, &ctx_, writable_or_empty(out, in.size()),
                           ptr_or_empty(in), in.size(), nonce.data(), ptr_or_empty(aad), aad.size(),
                           tag, TAG_BYTES);
    }
    // Folds `data` (zero-padded to whole blocks) into the running hash `y`.
    void ghash(std::span<const std::uint8_t> data, std::uint8_t y[TAG_BYTES]) {
        IMB_GHASH(manager_.mgr, &key_.data, data.data(), data.size(), y, TAG_BYTES);
    }

private:
    static std::uint8_t* writable_or_empty(std::uint8_t* out, std::size_t n) {
        return n == 0 ? const_cast<std::uint8_t*>(EMPTY) : out;
    }

    const ipsec::Manager& manager_;
    ipsec::KeyData key_;
    gcm_context_data ctx_;
};

void ipsec_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                std::span<const std::uint8_t> aad, std::span<const std::uint8_t> pt,
                std::uint8_t* out) {
    IpsecCall call(key, aad.size(), pt.size());
    call.encrypt(out, pt, nonce, aad, out + pt.size());
}

// Verifies first, decrypts second: the expected tag is GHASH(A, C, lengths) ⊕
// E(K, J0), computed from the ciphertext alone, so a forged message is refused
// before any keystream touches it.
Status ipsec_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                  std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ct,
                  const std::uint8_t* tag, const Sink& out) {
    IpsecCall call(key, aad.size(), ct.size());
    struct Scratch {
        std::uint8_t ej0[TAG_BYTES];
        std::uint8_t expected[TAG_BYTES];
        std::uint8_t lengths[16];
        std::uint8_t discard[TAG_BYTES];
    } s{};
    WipeOnExit<Scratch> wipe_scratch(s);

    // An empty message with no AAD has GHASH 0, so its tag is E(K, J0) itself.
    call.encrypt(nullptr, {}, nonce, {}, s.ej0);
    if (!aad.empty()) call.ghash(aad, s.expected);
    if (!ct.empty()) call.ghash(ct, s.expected);
    store_be64(s.lengths, static_cast<std::uint64_t>(aad.size()) * 8);
    store_be64(s.lengths + 8, static_cast<std::uint64_t>(ct.size()) * 8);
    call.ghash(s.lengths, s.expected);
    for (std::size_t i = 0; i < TAG_BYTES; ++i) s.expected[i] ^= s.ej0[i];
    if (ct::declassified(ct::bytes_equal(s.expected, tag, TAG_BYTES), TAG_VERDICT) == 0)
        return ErrorKind::OpenFailed;

    auto dst = out(ct.size());
    if (!dst) return dst.error();
    call.decrypt(*dst, ct, nonce, aad, s.discard);
    return {};
}

// Decrypts and computes the tag together (the assembly's stitched loop), then
// compares; the output is wiped if the tag does not match.
Status ipsec_open_one_pass(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                           std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ct,
                           const std::uint8_t* tag, std::uint8_t* dst) {
    IpsecCall call(key, aad.size(), ct.size());
    std::uint8_t expected[TAG_BYTES];
    WipeOnExit<decltype(expected)> wipe_expected(expected);
    call.decrypt(dst, ct, nonce, aad, expected);
    if (ct::declassified(ct::bytes_equal(expected, tag, TAG_BYTES), TAG_VERDICT) == 0) {
        secure_zero(dst, ct.size());
        return ErrorKind::OpenFailed;
    }
    return {};
}

#endif  // __x86_64__

// --- OpenSSL's AES, our GCM -------------------------------------------------------
//
// The engine for processors without AES-NI and PCLMULQDQ. OpenSSL's own GCM
// there is not constant-time: it expands the key and encrypts J0 and H with
// its table-based AES, and its GHASH looks up tables indexed by the running
// hash. Its ECB mode, though, runs the vector-permute AES (SSSE3; AES-NI where
// present), which touches no secret-indexed memory. So only AES blocks come
// from OpenSSL, through ECB; the counter mode and GHASH are done here, GHASH
// with carry-less products built from ordinary integer multiplications.

// EVP_CIPHER_CTX_free cleanses the provider context (key schedule included)
// before freeing it.
struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

const EVP_CIPHER* evp_aes256ecb() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
    return cipher;
}

// The low 64 bits of the carry-less product of x and y. Each operand is split
// into four interleaved bit sets with three-bit holes between their bits; the
// integer products of the parts then never carry from one kept bit into the
// next, and masking keeps the bit of each sum that is its XOR.
std::uint64_t clmul_lo(std::uint64_t x, std::uint64_t y) {
    constexpr std::uint64_t m0 = 0x1111111111111111ull, m1 = m0 << 1, m2 = m0 << 2, m3 = m0 << 3;
    const std::uint64_t x0 = x & m0, x1 = x & m1, x2 = x & m2, x3 = x & m3;
    const std::uint64_t y0 = y & m0, y1 = y & m1, y2 = y & m2, y3 = y & m3;
    const std::uint64_t z0 = (x0 * y0) ^ (x1 * y3) ^ (x2 * y2) ^ (x3 * y1);
    const std::uint64_t z1 = (x0 * y1) ^ (x1 * y0) ^ (x2 * y3) ^ (x3 * y2);
    const std::uint64_t z2 = (x0 * y2) ^ (x1 * y1) ^ (x2 * y0) ^ (x3 * y3);
    const std::uint64_t z3 = (x0 * y3) ^ (x1 * y2) ^ (x2 * y1) ^ (x3 * y0);
    return (z0 & m0) | (z1 & m1) | (z2 & m2) | (z3 & m3);
}

std::uint64_t rev64(std::uint64_t x) {
    x = (x & 0x5555555555555555ull) << 1 | (x >> 1 & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) << 2 | (x >> 2 & 0x3333333333333333ull);
    x = (x & 0x0F0F0F0F0F0F0F0Full) << 4 | (x >> 4 & 0x0F0F0F0F0F0F0F0Full);
    x = (x & 0x00FF00FF00FF00FFull) << 8 | (x >> 8 & 0x00FF00FF00FF00FFull);
    x = (x & 0x0000FFFF0000FFFFull) << 16 | (x >> 16 & 0x0000FFFF0000FFFFull);
    return x << 32 | x >> 32;
}

// GHASH (SP 800-38D) over blocks of big-endian words, y1 the first half. The
// high halves of the 64-bit products are the low halves of the products of the
// bit-reversed operands, reversed; one Karatsuba step makes the 128-bit product,
// which is shifted by one (GCM numbers its bits from the other end) and reduced
// modulo x^128 + x^7 + x^2 + x + 1.
class Ghash {
public:
    explicit Ghash(const std::uint8_t h[16])
        : h1_(load_be64(h)),
          h0_(load_be64(h + 8)),
          h1r_(rev64(h1_)),
          h0r_(rev64(h0_)),
          h2_(h0_ ^ h1_),
          h2r_(h0r_ ^ h1r_) {}
    ~Ghash() { secure_zero(this, sizeof *this); }
    Ghash(const Ghash&) = delete;
    Ghash& operator=(const Ghash&) = delete;

    // Absorbs `data`, its last block zero-padded.
    void update(std::span<const std::uint8_t> data) {
        std::size_t i = 0;
        for (; i + 16 <= data.size(); i += 16) block(data.data() + i);
        if (i < data.size()) {
            std::uint8_t last[16] = {};
            std::memcpy(last, data.data() + i, data.size() - i);
            block(last);
            secure_zero(last, sizeof last);
        }
    }
    void lengths(std::uint64_t aad_bytes, std::uint64_t text_bytes) {
        std::uint8_t l[16];
        store_be64(l, aad_bytes * 8);
        store_be64(l + 8, text_bytes * 8);
        block(l);
    }
    void digest(std::uint8_t out[16]) const {
        store_be64(out, y1_);
        store_be64(out + 8, y0_);
    }

private:
    void block(const std::uint8_t b[16]) {
        y1_ ^= load_be64(b);
        y0_ ^= load_be64(b + 8);
        const std::uint64_t y0r = rev64(y0_), y1r = rev64(y1_);
        const std::uint64_t y2 = y0_ ^ y1_, y2r = y0r ^ y1r;
        const std::uint64_t z0 = clmul_lo(y0_, h0_), z1 = clmul_lo(y1_, h1_);
        std::uint64_t z2 = clmul_lo(y2, h2_);
        std::uint64_t z0h = clmul_lo(y0r, h0r_), z1h = clmul_lo(y1r, h1r_);
        std::uint64_t z2h = clmul_lo(y2r, h2r_);
        z2 ^= z0 ^ z1;
        z2h ^= z0h ^ z1h;
        z0h = rev64(z0h) >> 1;
        z1h = rev64(z1h) >> 1;
        z2h = rev64(z2h) >> 1;
        std::uint64_t v0 = z0, v1 = z0h ^ z2, v2 = z1 ^ z2h, v3 = z1h;
        v3 = v3 << 1 | v2 >> 63;
        v2 = v2 << 1 | v1 >> 63;
        v1 = v1 << 1 | v0 >> 63;
        v0 = v0 << 1;
        v2 ^= v0 ^ (v0 >> 1) ^ (v0 >> 2) ^ (v0 >> 7);
        v1 ^= (v0 << 63) ^ (v0 << 62) ^ (v0 << 57);
        v3 ^= v1 ^ (v1 >> 1) ^ (v1 >> 2) ^ (v1 >> 7);
        v2 ^= (v1 << 63) ^ (v1 << 62) ^ (v1 << 57);
        y0_ = v2;
        y1_ = v3;
    }

    std::uint64_t h1_, h0_, h1r_, h0r_, h2_, h2r_;
    std::uint64_t y1_ = 0, y0_ = 0;
};

// One key and nonce: H = E(0^128), E(J0) and the counter-mode key stream from
// inc32(J0) on. Everything keyed is wiped when it goes out of scope.
class SoftGcm {
public:
    bool init(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce) {
        const EVP_CIPHER* ecb = evp_aes256ecb();
        ctx_.reset(EVP_CIPHER_CTX_new());
        if (!ecb || !ctx_ ||
            EVP_EncryptInit_ex2(ctx_.get(), ecb, key.data(), nullptr, nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(ctx_.get(), 0) != 1)
            return false;
        std::memcpy(j0_, nonce.data(), NONCE_BYTES);
        j0_[15] = 1;
        std::uint8_t in[32] = {};
        std::memcpy(in + 16, j0_, 16);
        std::uint8_t out[32];
        const bool ok = ecb_blocks(in, out, 2);
        std::memcpy(h_, out, 16);
        std::memcpy(ej0_, out + 16, 16);
        secure_zero(out, sizeof out);
        return ok;
    }
    ~SoftGcm() {
        secure_zero(h_, sizeof h_);
        secure_zero(ej0_, sizeof ej0_);
    }

    const std::uint8_t* h() const { return h_; }

    // out = in xor the key stream (they may be the same memory).
    bool crypt(std::span<const std::uint8_t> in, std::uint8_t* out) {
        constexpr std::size_t BLOCKS = 64;
        std::uint8_t counters[BLOCKS * 16], stream[BLOCKS * 16];
        WipeOnExit<decltype(stream)> wipe(stream);
        std::uint32_t counter = 2;  // inc32(J0)
        bool ok = true;
        for (std::size_t off = 0; ok && off < in.size(); off += sizeof stream) {
            const std::size_t n = std::min(sizeof stream, in.size() - off);
            const std::size_t blocks = (n + 15) / 16;
            for (std::size_t b = 0; b < blocks; ++b, ++counter) {
                std::memcpy(counters + 16 * b, j0_, 12);
                counters[16 * b + 12] = static_cast<std::uint8_t>(counter >> 24);
                counters[16 * b + 13] = static_cast<std::uint8_t>(counter >> 16);
                counters[16 * b + 14] = static_cast<std::uint8_t>(counter >> 8);
                counters[16 * b + 15] = static_cast<std::uint8_t>(counter);
            }
            ok = ecb_blocks(counters, stream, blocks);
            for (std::size_t i = 0; i < n; ++i) out[off + i] = in[off + i] ^ stream[i];
        }
        return ok;
    }

    // The tag of (aad, ciphertext).
    void tag(std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ct,
             std::uint8_t out[TAG_BYTES]) const {
        Ghash g(h_);
        g.update(aad);
        g.update(ct);
        g.lengths(aad.size(), ct.size());
        g.digest(out);
        for (std::size_t i = 0; i < TAG_BYTES; ++i) out[i] ^= ej0_[i];
    }

private:
    bool ecb_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) {
        int outl = 0;
        const int n = static_cast<int>(16 * blocks);
        return EVP_EncryptUpdate(ctx_.get(), out, &outl, in, n) == 1 && outl == n;
    }

    CtxPtr ctx_;
    std::uint8_t j0_[16] = {};
    std::uint8_t h_[16] = {};
    std::uint8_t ej0_[16] = {};
};

// Any OpenSSL failure (none is expected once the lengths are right) is
// reported as a failed seal rather than trusted.
Status soft_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                 std::span<const std::uint8_t> aad, std::span<const std::uint8_t> pt,
                 std::uint8_t* out) {
    SoftGcm gcm;
    if (!gcm.init(key, nonce) || !gcm.crypt(pt, out)) return ErrorKind::SealFailed;
    gcm.tag(aad, {out, pt.size()}, out + pt.size());
    return {};
}

// Verifies first, decrypts second, like ipsec_open; the sink (which may be the
// ciphertext's own memory) is asked for only once the tag has matched.
Status soft_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                 std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ct,
                 const std::uint8_t* tag, const Sink& out) {
    SoftGcm gcm;
    if (!gcm.init(key, nonce)) return ErrorKind::OpenFailed;
    std::uint8_t expected[TAG_BYTES];
    WipeOnExit<decltype(expected)> wipe_expected(expected);
    gcm.tag(aad, ct, expected);
    if (ct::declassified(ct::bytes_equal(expected, tag, TAG_BYTES), TAG_VERDICT) == 0)
        return ErrorKind::OpenFailed;
    auto dst = out(ct.size());
    if (!dst) return dst.error();
    if (!gcm.crypt(ct, *dst)) {
        if (!ct.empty()) secure_zero(*dst, ct.size());
        return ErrorKind::OpenFailed;
    }
    return {};
}

#if defined(__aarch64__)
// --- OpenSSL's GCM ------------------------------------------------------------------
//
// The engine for aarch64 processors with the AES and PMULL instructions: there
// OpenSSL's AES-256-GCM runs on them (AESE/AESMC rounds, PMULL products),
// which take the same time whatever the key and data, and is several times
// faster than the engine above. The tag OpenSSL computes is not readable when
// decrypting, so opening leaves the comparison to it (CRYPTO_memcmp, constant
// time) rather than to ct::bytes_equal.

const EVP_CIPHER* evp_aes256gcm() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return cipher;
}

// EVP counts bytes in an int: longer inputs go through in pieces.
constexpr std::size_t EVP_STEP = std::size_t{1} << 30;

bool evp_aad(EVP_CIPHER_CTX* c, bool enc, std::span<const std::uint8_t> aad) {
    for (std::size_t off = 0; off < aad.size(); off += EVP_STEP) {
        const int n = static_cast<int>(std::min(EVP_STEP, aad.size() - off));
        int outl = 0;
        const int rc = enc ? EVP_EncryptUpdate(c, nullptr, &outl, aad.data() + off, n)
                           : EVP_DecryptUpdate(c, nullptr, &outl, aad.data() + off, n);
        if (rc != 1) return false;
    }
    return true;
}

// out = in through the cipher (they may be the same memory).
bool evp_text(EVP_CIPHER_CTX* c, bool enc, std::span<const std::uint8_t> in, std::uint8_t* out) {
    for (std::size_t off = 0; off < in.size(); off += EVP_STEP) {
        const int n = static_cast<int>(std::min(EVP_STEP, in.size() - off));
        int outl = 0;
        const int rc = enc ? EVP_EncryptUpdate(c, out + off, &outl, in.data() + off, n)
                           : EVP_DecryptUpdate(c, out + off, &outl, in.data() + off, n);
        if (rc != 1 || outl != n) return false;
    }
    return true;
}

// Starts a decryption of (aad, ·) under `key` and `nonce` with the expected tag.
bool evp_start_open(EVP_CIPHER_CTX* c, const std::uint8_t* key, std::span<const std::uint8_t> nonce,
                    std::span<const std::uint8_t> aad, const std::uint8_t* tag) {
    const EVP_CIPHER* gcm = evp_aes256gcm();
    return gcm != nullptr &&
           EVP_DecryptInit_ex2(c, key ? gcm : nullptr, key, nonce.data(), nullptr) == 1 &&
           EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(TAG_BYTES),
                               const_cast<std::uint8_t*>(tag)) == 1 &&
           evp_aad(c, false, aad);
}

bool evp_finish_open(EVP_CIPHER_CTX* c) {
    std::uint8_t none[16];
    int outl = 0;
    return EVP_DecryptFinal_ex(c, none, &outl) == 1 && outl == 0;
}

Status evp_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                std::span<const std::uint8_t> aad, std::span<const std::uint8_t> pt,
                std::uint8_t* out) {
    const EVP_CIPHER* gcm = evp_aes256gcm();
    CtxPtr c(EVP_CIPHER_CTX_new());
    int outl = 0;
    if (gcm == nullptr || !c ||
        EVP_EncryptInit_ex2(c.get(), gcm, key.data(), nonce.data(), nullptr) != 1 ||
        !evp_aad(c.get(), true, aad) || !evp_text(c.get(), true, pt, out) ||
        EVP_EncryptFinal_ex(c.get(), out + pt.size(), &outl) != 1 || outl != 0 ||
        EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(TAG_BYTES),
                            out + pt.size()) != 1)
        return ErrorKind::SealFailed;
    return {};
}

// Verifies first, decrypts second, like the other engines: the first pass
// decrypts into a scratch buffer that is wiped as it goes, only for the tag;
// the sink is asked for once the tag has matched, and the second pass (the
// same key schedule, the counter started again) decrypts into it.
Status evp_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ct,
                const std::uint8_t* tag, const Sink& out) {
    CtxPtr c(EVP_CIPHER_CTX_new());
    if (!c || !evp_start_open(c.get(), key.data(), nonce, aad, tag)) return ErrorKind::OpenFailed;
    {
        // Small: the work runs on the own stack, whose declared depth for
        // AES-GCM (stack_wipe.h) is a few KiB, OpenSSL's frames included.
        std::uint8_t scratch[512];
        WipeOnExit<decltype(scratch)> wipe(scratch);
        for (std::size_t off = 0; off < ct.size(); off += sizeof scratch) {
            const std::size_t n = std::min(sizeof scratch, ct.size() - off);
            if (!evp_text(c.get(), false, ct.subspan(off, n), scratch))
                return ErrorKind::OpenFailed;
        }
    }
    if (!evp_finish_open(c.get())) return ErrorKind::OpenFailed;
    auto dst = out(ct.size());
    if (!dst) return dst.error();
    if (!evp_start_open(c.get(), nullptr, nonce, aad, tag) || !evp_text(c.get(), false, ct, *dst) ||
        !evp_finish_open(c.get())) {
        if (!ct.empty()) secure_zero(*dst, ct.size());
        return ErrorKind::OpenFailed;
    }
    return {};
}

// Decrypts into `dst` while the tag is computed; wipes `dst` on a mismatch.
Status evp_open_one_pass(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                         std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ct,
                         const std::uint8_t* tag, std::uint8_t* dst) {
    CtxPtr c(EVP_CIPHER_CTX_new());
    if (!c || !evp_start_open(c.get(), key.data(), nonce, aad, tag) ||
        !evp_text(c.get(), false, ct, dst) || !evp_finish_open(c.get())) {
        if (!ct.empty()) secure_zero(dst, ct.size());
        return ErrorKind::OpenFailed;
    }
    return {};
}

bool detect_evp_gcm() {
    const unsigned long caps = getauxval(AT_HWCAP);
    return (caps & HWCAP_AES) != 0 && (caps & HWCAP_PMULL) != 0 && evp_aes256gcm() != nullptr;
}
#endif  // __aarch64__

}  // namespace

bool ipsec_mb_usable() {
#if defined(__x86_64__)
    return ipsec::usable();
#else
    return false;
#endif
}

bool evp_gcm_usable() {
#if defined(__aarch64__)
    static const bool usable = detect_evp_gcm();
    return usable;
#else
    return false;
#endif
}

Engine default_engine() {
#if defined(VELMORA_VALGRIND_CT)
    // The constant-time check runs every operation under each engine in turn.
    if (const char* forced = std::getenv("VELMORA_CT_AES_GCM_ENGINE");
        forced != nullptr && std::strcmp(forced, "openssl") == 0)
        return Engine::OpenSsl;
#endif
    if (ipsec_mb_usable()) return Engine::IpsecMb;
    if (evp_gcm_usable()) return Engine::EvpGcm;
    return Engine::OpenSsl;
}

Status check_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                  std::size_t aad_size, std::size_t plaintext_size) {
    if (Status s = check_key_nonce(key, nonce); !s) return s;
    if (plaintext_size > MAX_PLAINTEXT || aad_size > MAX_AAD) return ErrorKind::SealFailed;
    return {};
}

Status check_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                  std::size_t aad_size, std::size_t sealed_size) {
    if (Status s = check_key_nonce(key, nonce); !s) return s;
    if (sealed_size < TAG_BYTES || sealed_size > MAX_SEALED || aad_size > MAX_AAD)
        return ErrorKind::OpenFailed;
    return {};
}

Status seal_to(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
               std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext,
               const Sink& out, Engine engine) {
    if (Status s = check_seal(key, nonce, aad.size(), plaintext.size()); !s) return s;
    auto dst = out(plaintext.size() + TAG_BYTES);
    if (!dst) return dst.error();
#if defined(__x86_64__)
    if (engine == Engine::IpsecMb && ipsec_mb_usable()) {
        ipsec_seal(key, nonce, aad, plaintext, *dst);
        return {};
    }
#elif defined(__aarch64__)
    if (engine == Engine::EvpGcm && evp_gcm_usable())
        return evp_seal(key, nonce, aad, plaintext, *dst);
#endif
    return soft_seal(key, nonce, aad, plaintext, *dst);
}

Status open_to(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
               std::span<const std::uint8_t> aad, std::span<const std::uint8_t> sealed,
               const Sink& out, Engine engine) {
    if (Status s = check_open(key, nonce, aad.size(), sealed.size()); !s) return s;
    const auto ct = sealed.first(sealed.size() - TAG_BYTES);
    const std::uint8_t* tag = sealed.data() + ct.size();
#if defined(__x86_64__)
    if (engine == Engine::IpsecMb && ipsec_mb_usable())
        return ipsec_open(key, nonce, aad, ct, tag, out);
#elif defined(__aarch64__)
    if (engine == Engine::EvpGcm && evp_gcm_usable())
        return evp_open(key, nonce, aad, ct, tag, out);
#endif
    return soft_open(key, nonce, aad, ct, tag, out);
}

Status open_one_pass(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                     std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ciphertext,
                     std::span<const std::uint8_t, TAG_BYTES> tag, std::span<std::uint8_t> out,
                     Engine engine) {
    if (Status s = check_open(key, nonce, aad.size(), ciphertext.size() + TAG_BYTES); !s) return s;
    if (out.size() != ciphertext.size()) return ErrorKind::OpenFailed;
#if defined(__x86_64__)
    if (engine == Engine::IpsecMb && ipsec_mb_usable())
        return ipsec_open_one_pass(key, nonce, aad, ciphertext, tag.data(), out.data());
#elif defined(__aarch64__)
    if (engine == Engine::EvpGcm && evp_gcm_usable())
        return evp_open_one_pass(key, nonce, aad, ciphertext, tag.data(), out.data());
#endif
    // This engine verifies first and then decrypts, reading the ciphertext
    // twice; a failure leaves `out` zeroed all the same.
    Status s = soft_open(key, nonce, aad, ciphertext, tag.data(),
                         [&](std::size_t) -> Result<std::uint8_t*> { return out.data(); });
    if (!s && !out.empty()) secure_zero(out.data(), out.size());
    return s;
}

Result<std::vector<std::uint8_t>> seal(std::span<const std::uint8_t> key,
                                       std::span<const std::uint8_t> nonce,
                                       std::span<const std::uint8_t> aad,
                                       std::span<const std::uint8_t> plaintext, Engine engine) {
    std::vector<std::uint8_t> result;
    Status s = seal_to(key, nonce, aad, plaintext, [&](std::size_t n) -> Result<std::uint8_t*> {
        result.resize(n);
        return result.data();
    }, engine);
    if (!s) return s.error();
    return result;
}

Result<ZeroizingBuffer> open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                             std::span<const std::uint8_t> aad,
                             std::span<const std::uint8_t> sealed, Engine engine) {
    ZeroizingBuffer result;
    Status s = open_to(key, nonce, aad, sealed, [&](std::size_t n) -> Result<std::uint8_t*> {
        result = ZeroizingBuffer(n);
        return result.data();
    }, engine);
    if (!s) return s.error();
    return result;
}

}  // namespace velmora::crypto::aes_gcm
