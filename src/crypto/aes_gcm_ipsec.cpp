#include "crypto/aes_gcm_ipsec.h"

#include <immintrin.h>

#include <cstring>

#include "crypto/aes_gcm.h"

namespace velmora::crypto::aes_gcm::ipsec {

namespace {

constexpr std::size_t POWERS = 8;
// Inputs (AAD and text together) up to this many bytes take the narrow manager.
constexpr std::size_t NARROW_MAX_BYTES = 256;

// AES-256 key expansion (FIPS 197, 5.2) into the 15 round keys. The S-box of
// a word comes from AESENCLAST on that word broadcast to all four columns
// (ShiftRows then only swaps equal bytes), with the round constant as the
// round key. Registers and stores only, no table lookups.
[[gnu::target("aes,ssse3")]] void expand_key(const std::uint8_t* key, std::uint8_t* out) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16));
    auto* round = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(round, a);
    _mm_storeu_si128(round + 1, b);
    // The last word of a key half, rotated (RotWord) or not, in every column.
    const __m128i rot_word = _mm_set1_epi32(0x0c0f0e0d);
    const __m128i last_word = _mm_set1_epi32(0x0f0e0d0c);
    // Each word XORed with those before it in its half: w[i-8] ^ ... ^ w[i-8+j].
    auto prefix = [](__m128i x) {
        x = _mm_xor_si128(x, _mm_slli_si128(x, 4));
        return _mm_xor_si128(x, _mm_slli_si128(x, 8));
    };
    __m128i rcon = _mm_set1_epi32(1);
    for (int i = 1; i <= 7; ++i) {
        a = _mm_xor_si128(prefix(a), _mm_aesenclast_si128(_mm_shuffle_epi8(b, rot_word), rcon));
        _mm_storeu_si128(round + 2 * i, a);
        if (i == 7) break;
        rcon = _mm_slli_epi32(rcon, 1);
        b = _mm_xor_si128(
            prefix(b), _mm_aesenclast_si128(_mm_shuffle_epi8(a, last_word), _mm_setzero_si128()));
        _mm_storeu_si128(round + 2 * i + 1, b);
    }
}

// GCM's carry-less code works on blocks with their bytes reversed, read as
// 128-bit integers (bit i the coefficient of x^i), modulo
// Q = x^128 + x^127 + x^126 + x^121 + 1. This is a·b·x^-128 mod Q: the
// 256-bit product, then two Montgomery steps of 64 bits (Q is 1 modulo x^64,
// so adding (the low 64 bits)·Q clears them; Q's other terms are x^128 and
// (x^63 + x^62 + x^57)·x^64).
[[gnu::target("pclmul,sse2")]] __m128i gf_mul(__m128i a, __m128i b) {
    __m128i lo = _mm_clmulepi64_si128(a, b, 0x00);
    __m128i hi = _mm_clmulepi64_si128(a, b, 0x11);
    const __m128i mid =
        _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x01), _mm_clmulepi64_si128(a, b, 0x10));
    lo = _mm_xor_si128(lo, _mm_slli_si128(mid, 8));
    hi = _mm_xor_si128(hi, _mm_srli_si128(mid, 8));
    const __m128i q = _mm_set_epi64x(0, static_cast<long long>(0xc200000000000000ull));
    lo = _mm_xor_si128(_mm_shuffle_epi32(lo, 0x4e), _mm_clmulepi64_si128(lo, q, 0x00));
    lo = _mm_xor_si128(_mm_shuffle_epi32(lo, 0x4e), _mm_clmulepi64_si128(lo, q, 0x00));
    return _mm_xor_si128(hi, lo);
}

// The powers of the hash key as ipsec-mb's AVX2 code keeps them: H' = x·H
// mod Q (its "HashKey<<1 mod poly"), then H^k' = gf_mul(H^(k-1)', H') =
// x·H^k, stored from H^8' down to H'. gf_mul(a', b') = (a·b)', so the powers
// come from squarings and products in three rounds instead of seven.
[[gnu::target("aes,pclmul,ssse3")]] void derive_hash_keys(const std::uint8_t* round_keys,
                                                          std::uint8_t* out) {
    const auto* rk = reinterpret_cast<const __m128i*>(round_keys);
    // H = E(K, 0^128).
    __m128i h = _mm_loadu_si128(rk);
    for (int i = 1; i < 14; ++i) h = _mm_aesenc_si128(h, _mm_loadu_si128(rk + i));
    h = _mm_aesenclast_si128(h, _mm_loadu_si128(rk + 14));
    h = _mm_shuffle_epi8(h, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    // x·H mod Q: shift left by one and, where bit 127 fell out, add Q's
    // other terms; a mask, not a branch.
    const __m128i carries = _mm_srli_epi64(h, 63);
    h = _mm_or_si128(_mm_slli_epi64(h, 1), _mm_slli_si128(carries, 8));
    const __m128i fell_out = _mm_sub_epi64(_mm_setzero_si128(), _mm_shuffle_epi32(carries, 0xee));
    h = _mm_xor_si128(
        h,
        _mm_and_si128(fell_out, _mm_set_epi64x(static_cast<long long>(0xc200000000000000ull), 1)));
    __m128i p[POWERS + 1];
    p[1] = h;
    p[2] = gf_mul(h, h);
    p[3] = gf_mul(p[2], h);
    p[4] = gf_mul(p[2], p[2]);
    p[5] = gf_mul(p[4], h);
    p[6] = gf_mul(p[4], p[2]);
    p[7] = gf_mul(p[4], p[3]);
    p[8] = gf_mul(p[4], p[4]);
    auto* dst = reinterpret_cast<__m128i*>(out);
    for (std::size_t k = 1; k <= POWERS; ++k) _mm_storeu_si128(dst + (POWERS - k), p[k]);
}

// Whether ipsec-mb picked its emulation of AES-NI, which is not constant
// time. Version 2.0 dropped the emulation and its IMB_ARCH_NOAESNI; there, on
// a processor without AES-NI, no engine is made at all (and the check of the
// processor in managers() refuses before asking).
bool emulates_aesni(IMB_ARCH arch) {
#if IMB_VERSION_NUM < IMB_VERSION(2, 0, 0)
    return arch == IMB_ARCH_NOAESNI;
#else
    (void)arch;
    return false;
#endif
}

IMB_MGR* new_manager(void (*init)(IMB_MGR*), IMB_ARCH* arch) {
    IMB_MGR* m = alloc_mb_mgr(0);
    if (m == nullptr) return nullptr;
    if (init != nullptr)
        init(m);
    else
        init_mb_mgr_auto(m, arch);
    if (imb_get_errno(m) != 0) {
        free_mb_mgr(m);
        return nullptr;
    }
    return m;
}

// Whether what prepare_key fills for `m` matches ipsec-mb's own derivation on a
// fixed key, every byte of the key data included (both start from one pattern).
bool derives_as_ipsec_mb(const Manager& m) {
    std::uint8_t key[KEY_BYTES];
    for (std::size_t i = 0; i < KEY_BYTES; ++i) key[i] = static_cast<std::uint8_t>(0x1f * i + 3);
    KeyData theirs, ours;
    std::memset(&theirs, 0x5a, sizeof theirs);
    std::memset(&ours, 0x5a, sizeof ours);
    IMB_AES256_GCM_PRE(m.mgr, key, &theirs.data);
    prepare_key(m, key, ours);
    return std::memcmp(&theirs, &ours, sizeof ours) == 0;
}

// Takes over as much of the derivation for `mgr` as checks out.
Manager checked(IMB_MGR* mgr) {
    Manager m{mgr, true, true};
    if (derives_as_ipsec_mb(m)) return m;
    m.own_hash_keys = false;
    if (derives_as_ipsec_mb(m)) return m;
    m.own_round_keys = false;
    return m;
}

struct Managers {
    Manager wide, narrow;
};

const Managers& managers() {
    static const Managers all = []() -> Managers {
        Managers all;
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("aes") || !__builtin_cpu_supports("pclmul")) return all;
        IMB_ARCH arch = IMB_ARCH_NONE;
        IMB_MGR* wide = new_manager(nullptr, &arch);
        if (wide == nullptr) return all;
        if (arch == IMB_ARCH_NONE || emulates_aesni(arch)) {
            free_mb_mgr(wide);
            return all;
        }
        all.wide = all.narrow = checked(wide);
        if (arch == IMB_ARCH_AVX512) {
            if (IMB_MGR* narrow = new_manager(init_mb_mgr_avx2, nullptr))
                all.narrow = checked(narrow);
        }
        return all;
    }();
    return all;
}

}  // namespace

bool usable() { return managers().wide.mgr != nullptr; }

const Manager& manager_for(std::size_t aad_bytes, std::size_t text_bytes) {
    const Managers& all = managers();
    return aad_bytes + text_bytes <= NARROW_MAX_BYTES ? all.narrow : all.wide;
}

void prepare_key(const Manager& m, const std::uint8_t* key, KeyData& k) {
    if (!m.own_round_keys) {
        IMB_AES256_GCM_PRE(m.mgr, key, &k.data);
        return;
    }
    expand_key(key, k.data.expanded_keys);
    if (m.own_hash_keys)
        derive_hash_keys(k.data.expanded_keys, k.data.ghash_keys.avx2_avx512.shifted_hkey);
    else
        IMB_AES256_GCM_PRECOMP(m.mgr, &k.data);
}

}  // namespace velmora::crypto::aes_gcm::ipsec
