#include "crypto/aes_gcm.h"

#include <intel-ipsec-mb.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "crypto/ct.h"

namespace velmora::crypto::aes_gcm {

namespace {

// ipsec-mb's direct GCM API leaves the stack to us: gcm_key_data holds the
// expanded round keys and the GHASH key powers, gcm_context_data the running
// state. Both are placed on the stack, aligned as the assembly expects, and
// wiped before returning.
struct alignas(64) IpsecKey {
    gcm_key_data data;
};

// Never hand ipsec-mb a null pointer, even for a zero length: where it is built
// with parameter checks, a pointer it dislikes makes it return without writing.
const std::uint8_t kEmpty[16] = {};
const std::uint8_t* ptr_or_empty(std::span<const std::uint8_t> s) {
    return s.empty() ? kEmpty : s.data();
}

// The manager only carries function pointers chosen for this processor; the
// direct GCM calls keep no state in it, so one instance serves every thread.
IMB_MGR* ipsec_manager() {
    static IMB_MGR* const mgr = []() -> IMB_MGR* {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("aes") || !__builtin_cpu_supports("pclmul")) return nullptr;
        IMB_MGR* m = alloc_mb_mgr(0);
        if (m == nullptr) return nullptr;
        IMB_ARCH arch;
        init_mb_mgr_auto(m, &arch);
        if (imb_get_errno(m) != 0 || arch == IMB_ARCH_NONE || arch == IMB_ARCH_NOAESNI) {
            free_mb_mgr(m);
            return nullptr;
        }
        return m;
    }();
    return mgr;
}

Status check_key_nonce(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce) {
    if (key.size() != kKeyBytes)
        return EnclaveError::wrong_length("aes-gcm key", kKeyBytes, key.size());
    if (nonce.size() != kNonceBytes)
        return EnclaveError::wrong_length("aes-gcm nonce", kNonceBytes, nonce.size());
    return {};
}

// --- ipsec-mb -------------------------------------------------------------------

void ipsec_seal(IMB_MGR* m, std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                std::span<const std::uint8_t> aad, std::span<const std::uint8_t> pt,
                std::uint8_t* out) {
    IpsecKey k;
    WipeOnExit<IpsecKey> wipe_key(k);
    gcm_context_data ctx;
    WipeOnExit<gcm_context_data> wipe_ctx(ctx);
    IMB_AES256_GCM_PRE(m, key.data(), &k.data);
    IMB_AES256_GCM_ENC(m, &k.data, &ctx, pt.empty() ? const_cast<std::uint8_t*>(kEmpty) : out,
                       ptr_or_empty(pt), pt.size(), nonce.data(), ptr_or_empty(aad), aad.size(),
                       out + pt.size(), kTagBytes);
}

// Verifies first, decrypts second: the expected tag is GHASH(A, C, lengths) ⊕
// E(K, J0), computed from the ciphertext alone, so a forged message is refused
// before any keystream touches it.
Status ipsec_open(IMB_MGR* m, std::span<const std::uint8_t> key,
                  std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> aad,
                  std::span<const std::uint8_t> ct, const std::uint8_t* tag, const Sink& out) {
    IpsecKey k;
    WipeOnExit<IpsecKey> wipe_key(k);
    gcm_context_data ctx;
    WipeOnExit<gcm_context_data> wipe_ctx(ctx);
    struct Scratch {
        std::uint8_t ej0[kTagBytes];
        std::uint8_t expected[kTagBytes];
        std::uint8_t lengths[16];
        std::uint8_t discard[kTagBytes];
    } s{};
    WipeOnExit<Scratch> wipe_scratch(s);

    IMB_AES256_GCM_PRE(m, key.data(), &k.data);
    // An empty message with no AAD has GHASH 0, so its tag is E(K, J0) itself.
    IMB_AES256_GCM_ENC(m, &k.data, &ctx, const_cast<std::uint8_t*>(kEmpty), kEmpty, 0,
                       nonce.data(), kEmpty, 0, s.ej0, kTagBytes);
    if (!aad.empty()) IMB_GHASH(m, &k.data, aad.data(), aad.size(), s.expected, kTagBytes);
    if (!ct.empty()) IMB_GHASH(m, &k.data, ct.data(), ct.size(), s.expected, kTagBytes);
    const std::uint64_t abits = static_cast<std::uint64_t>(aad.size()) * 8;
    const std::uint64_t cbits = static_cast<std::uint64_t>(ct.size()) * 8;
    for (int i = 0; i < 8; ++i) {
        s.lengths[i] = static_cast<std::uint8_t>(abits >> (56 - 8 * i));
        s.lengths[8 + i] = static_cast<std::uint8_t>(cbits >> (56 - 8 * i));
    }
    IMB_GHASH(m, &k.data, s.lengths, sizeof s.lengths, s.expected, kTagBytes);
    for (std::size_t i = 0; i < kTagBytes; ++i) s.expected[i] ^= s.ej0[i];
    if (ct::bytes_equal(s.expected, tag, kTagBytes) != 1) return ErrorKind::OpenFailed;

    auto dst = out(ct.size());
    if (!dst) return dst.error();
    IMB_AES256_GCM_DEC(m, &k.data, &ctx, ct.empty() ? const_cast<std::uint8_t*>(kEmpty) : *dst,
                       ptr_or_empty(ct), ct.size(), nonce.data(), ptr_or_empty(aad), aad.size(),
                       s.discard, kTagBytes);
    return {};
}

// Decrypts and computes the tag together (the assembly's stitched loop), then
// compares; the output is wiped if the tag does not match.
Status ipsec_open_one_pass(IMB_MGR* m, std::span<const std::uint8_t> key,
                           std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> aad,
                           std::span<const std::uint8_t> ct, const std::uint8_t* tag,
                           std::uint8_t* dst) {
    IpsecKey k;
    WipeOnExit<IpsecKey> wipe_key(k);
    gcm_context_data ctx;
    WipeOnExit<gcm_context_data> wipe_ctx(ctx);
    std::uint8_t expected[kTagBytes];
    WipeOnExit<decltype(expected)> wipe_expected(expected);
    IMB_AES256_GCM_PRE(m, key.data(), &k.data);
    IMB_AES256_GCM_DEC(m, &k.data, &ctx, ct.empty() ? const_cast<std::uint8_t*>(kEmpty) : dst,
                       ptr_or_empty(ct), ct.size(), nonce.data(), ptr_or_empty(aad), aad.size(),
                       expected, kTagBytes);
    if (ct::bytes_equal(expected, tag, kTagBytes) != 1) {
        secure_zero(dst, ct.size());
        return ErrorKind::OpenFailed;
    }
    return {};
}

// --- OpenSSL EVP ------------------------------------------------------------------

// EVP_CIPHER_CTX_free cleanses the provider context (key schedule included)
// before freeing it.
struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

const EVP_CIPHER* evp_aes256gcm() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return cipher;
}

// EVP counts in int: feed long inputs in pieces.
constexpr std::size_t kEvpChunk = std::size_t{1} << 30;

bool evp_aad(EVP_CIPHER_CTX* c, std::span<const std::uint8_t> aad, bool encrypt) {
    for (std::size_t off = 0; off < aad.size(); off += kEvpChunk) {
        const int n = static_cast<int>(std::min(kEvpChunk, aad.size() - off));
        int outl = 0;
        const int ok = encrypt ? EVP_EncryptUpdate(c, nullptr, &outl, aad.data() + off, n)
                               : EVP_DecryptUpdate(c, nullptr, &outl, aad.data() + off, n);
        if (ok != 1) return false;
    }
    return true;
}

bool evp_crypt(EVP_CIPHER_CTX* c, std::span<const std::uint8_t> in, std::uint8_t* out,
               bool encrypt) {
    for (std::size_t off = 0; off < in.size(); off += kEvpChunk) {
        const int n = static_cast<int>(std::min(kEvpChunk, in.size() - off));
        int outl = 0;
        const int ok = encrypt ? EVP_EncryptUpdate(c, out + off, &outl, in.data() + off, n)
                               : EVP_DecryptUpdate(c, out + off, &outl, in.data() + off, n);
        if (ok != 1 || outl != n) return false;
    }
    return true;
}

// Any EVP failure (none is expected once the lengths are right) is reported as
// a failed operation rather than trusted.
Status evp_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                std::span<const std::uint8_t> aad, std::span<const std::uint8_t> pt,
                std::uint8_t* out) {
    const EVP_CIPHER* cipher = evp_aes256gcm();
    CtxPtr c(EVP_CIPHER_CTX_new());
    if (!cipher || !c) return ErrorKind::OpenFailed;
    int outl = 0;
    if (EVP_EncryptInit_ex2(c.get(), cipher, key.data(), nonce.data(), nullptr) != 1 ||
        !evp_aad(c.get(), aad, true) || !evp_crypt(c.get(), pt, out, true) ||
        EVP_EncryptFinal_ex(c.get(), out + pt.size(), &outl) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagBytes),
                            out + pt.size()) != 1)
        return ErrorKind::OpenFailed;
    return {};
}

// EVP checks a tag only inside EVP_DecryptFinal_ex, which ends in a branch on
// the verdict within the library; the tag is therefore computed here and
// compared by our own helper, before any plaintext is made.
//
// The expected tag is GHASH_H(A', C', L) xor E_K(J0), with A', C' the AAD and
// the ciphertext zero-padded to whole blocks and L = [8 len A]_64 || [8 len C]_64.
// EVP sealing an empty message whose AAD is D = A' || C gives GHASH_H(A', C', L')
// xor E_K(J0) with L' = [8 len D]_64 || 0_64: the same sum but for its last
// block, so adding (L xor L') * H turns one into the other. That costs one
// GHASH pass over the ciphertext and one field multiplication.

const EVP_CIPHER* evp_aes256ecb() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
    return cipher;
}

void store_be64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}
std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

// x * h in GCM's field (SP 800-38D, algorithm 1). x is public and steers the
// loop; the secret h is only shifted, masked and added.
void gf128_mul_public(const std::uint8_t x[16], const std::uint8_t h[16], std::uint8_t out[16]) {
    std::uint64_t vh = load_be64(h), vl = load_be64(h + 8), zh = 0, zl = 0;
    for (int i = 0; i < 128; ++i) {
        if ((x[i / 8] >> (7 - i % 8)) & 1) {
            zh ^= vh;
            zl ^= vl;
        }
        const std::uint64_t reduce = ct::barrier(0 - (vl & 1));
        vl = vl >> 1 | vh << 63;
        vh = vh >> 1 ^ (reduce & 0xE100000000000000ull);
    }
    store_be64(out, zh);
    store_be64(out + 8, zl);
    zh = zl = vh = vl = 0;
}

bool evp_expected_tag(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                      std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ct,
                      std::uint8_t tag[kTagBytes]) {
    struct Scratch {
        std::uint8_t h[16];
        std::uint8_t fix[16];
        std::uint8_t ecb_out[32];
    } s{};
    WipeOnExit<Scratch> wipe(s);
    const EVP_CIPHER* gcm = evp_aes256gcm();
    const EVP_CIPHER* ecb = evp_aes256ecb();
    CtxPtr g(EVP_CIPHER_CTX_new()), e(EVP_CIPHER_CTX_new());
    if (!gcm || !ecb || !g || !e) return false;
    // H = E_K(0^128).
    static const std::uint8_t kZeroBlock[16] = {};
    int outl = 0;
    if (EVP_EncryptInit_ex2(e.get(), ecb, key.data(), nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(e.get(), 0) != 1 ||
        EVP_EncryptUpdate(e.get(), s.ecb_out, &outl, kZeroBlock, 16) != 1 || outl != 16)
        return false;
    std::memcpy(s.h, s.ecb_out, 16);
    // GMAC over D = A' || C.
    static const std::uint8_t kPad[16] = {};
    const std::size_t apad = (16 - aad.size() % 16) % 16;
    if (EVP_EncryptInit_ex2(g.get(), gcm, key.data(), nonce.data(), nullptr) != 1 ||
        !evp_aad(g.get(), aad, true) || !evp_aad(g.get(), {kPad, apad}, true) ||
        !evp_aad(g.get(), ct, true) || EVP_EncryptFinal_ex(g.get(), s.ecb_out, &outl) != 1 ||
        EVP_CIPHER_CTX_ctrl(g.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagBytes), tag) != 1)
        return false;
    // L xor L' (public), times H.
    std::uint8_t lengths[16], other[16];
    store_be64(lengths, static_cast<std::uint64_t>(aad.size()) * 8);
    store_be64(lengths + 8, static_cast<std::uint64_t>(ct.size()) * 8);
    store_be64(other, static_cast<std::uint64_t>(aad.size() + apad + ct.size()) * 8);
    store_be64(other + 8, 0);
    for (int i = 0; i < 16; ++i) lengths[i] ^= other[i];
    gf128_mul_public(lengths, s.h, s.fix);
    for (std::size_t i = 0; i < kTagBytes; ++i) tag[i] ^= s.fix[i];
    return true;
}

// Checks the tag; only if it matches, decrypts `ct` into dst (which may be the
// very same memory) with the GCM key stream alone.
Status evp_verify_then_decrypt(std::span<const std::uint8_t> key,
                               std::span<const std::uint8_t> nonce,
                               std::span<const std::uint8_t> aad,
                               std::span<const std::uint8_t> ct, const std::uint8_t* tag,
                               const Sink& out) {
    std::uint8_t expected[kTagBytes];
    WipeOnExit<decltype(expected)> wipe_expected(expected);
    if (!evp_expected_tag(key, nonce, aad, ct, expected)) return ErrorKind::OpenFailed;
    if (ct::bytes_equal(expected, tag, kTagBytes) != 1) return ErrorKind::OpenFailed;
    auto dst = out(ct.size());
    if (!dst) return dst.error();
    const EVP_CIPHER* cipher = evp_aes256gcm();
    CtxPtr c(EVP_CIPHER_CTX_new());
    // No final step: the tag has been checked already.
    if (!cipher || !c ||
        EVP_DecryptInit_ex2(c.get(), cipher, key.data(), nonce.data(), nullptr) != 1 ||
        !evp_crypt(c.get(), ct, *dst, false)) {
        if (!ct.empty()) secure_zero(*dst, ct.size());
        return ErrorKind::OpenFailed;
    }
    return {};
}

}  // namespace

bool ipsec_mb_usable() { return ipsec_manager() != nullptr; }

Engine default_engine() {
#if defined(VELMORA_VALGRIND_CT)
    // The constant-time check runs every operation under each engine in turn.
    if (const char* forced = std::getenv("VELMORA_CT_AES_GCM_ENGINE");
        forced != nullptr && std::strcmp(forced, "openssl") == 0)
        return Engine::OpenSsl;
#endif
    return ipsec_mb_usable() ? Engine::IpsecMb : Engine::OpenSsl;
}

Status check_seal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                  std::size_t aad_size, std::size_t plaintext_size) {
    if (Status s = check_key_nonce(key, nonce); !s) return s;
    if (plaintext_size > kMaxPlaintext || aad_size > kMaxAad) return ErrorKind::OpenFailed;
    return {};
}

Status check_open(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                  std::size_t aad_size, std::size_t sealed_size) {
    if (Status s = check_key_nonce(key, nonce); !s) return s;
    if (sealed_size < kTagBytes || sealed_size > kMaxSealed || aad_size > kMaxAad)
        return ErrorKind::OpenFailed;
    return {};
}

Status seal_to(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
               std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext,
               const Sink& out, Engine engine) {
    if (Status s = check_seal(key, nonce, aad.size(), plaintext.size()); !s) return s;
    auto dst = out(plaintext.size() + kTagBytes);
    if (!dst) return dst.error();
    IMB_MGR* m = engine == Engine::IpsecMb ? ipsec_manager() : nullptr;
    if (m != nullptr) {
        ipsec_seal(m, key, nonce, aad, plaintext, *dst);
        return {};
    }
    return evp_seal(key, nonce, aad, plaintext, *dst);
}

Status open_to(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
               std::span<const std::uint8_t> aad, std::span<const std::uint8_t> sealed,
               const Sink& out, Engine engine) {
    if (Status s = check_open(key, nonce, aad.size(), sealed.size()); !s) return s;
    const auto ct = sealed.first(sealed.size() - kTagBytes);
    const std::uint8_t* tag = sealed.data() + ct.size();
    IMB_MGR* m = engine == Engine::IpsecMb ? ipsec_manager() : nullptr;
    if (m != nullptr) return ipsec_open(m, key, nonce, aad, ct, tag, out);
    return evp_verify_then_decrypt(key, nonce, aad, ct, tag, out);
}

Status open_one_pass(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                     std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ciphertext,
                     std::span<const std::uint8_t, kTagBytes> tag, std::span<std::uint8_t> out,
                     Engine engine) {
    if (Status s = check_open(key, nonce, aad.size(), ciphertext.size() + kTagBytes); !s) return s;
    if (out.size() != ciphertext.size()) return ErrorKind::OpenFailed;
    IMB_MGR* m = engine == Engine::IpsecMb ? ipsec_manager() : nullptr;
    if (m != nullptr) return ipsec_open_one_pass(m, key, nonce, aad, ciphertext, tag.data(), out.data());
    // EVP verifies first and then decrypts, reading the ciphertext twice; a
    // failure leaves `out` zeroed all the same.
    Status s = evp_verify_then_decrypt(key, nonce, aad, ciphertext, tag.data(),
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

Result<ZeroizingBuffer> open(std::span<const std::uint8_t> key,
                             std::span<const std::uint8_t> nonce,
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
