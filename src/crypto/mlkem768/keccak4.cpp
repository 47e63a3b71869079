#include "crypto/mlkem768/keccak4.h"

#include <immintrin.h>

#include <cstring>

#include "zeroize.h"

namespace velmora::crypto::mlkem768 {

namespace {

constexpr std::uint64_t ROUND_CONSTANTS[24] = {
    0x0000000000000001ull, 0x0000000000008082ull, 0x800000000000808aull, 0x8000000080008000ull,
    0x000000000000808bull, 0x0000000080000001ull, 0x8000000080008081ull, 0x8000000000008009ull,
    0x000000000000008aull, 0x0000000000000088ull, 0x0000000080008009ull, 0x000000008000000aull,
    0x000000008000808bull, 0x800000000000008bull, 0x8000000000008089ull, 0x8000000000008003ull,
    0x8000000000008002ull, 0x8000000000000080ull, 0x000000000000800aull, 0x800000008000000aull,
    0x8000000080008081ull, 0x8000000000008080ull, 0x0000000080000001ull, 0x8000000080008008ull,
};

// Rotation of word x + 5 y in the rho step.
constexpr int RHO[25] = {0,  1,  62, 28, 27, 36, 44, 6,  55, 20, 3,  10, 43,
                         25, 39, 41, 45, 15, 21, 8,  18, 2,  61, 56, 14};

}  // namespace

// Everything below this point is compiled for AVX2 and has internal linkage,
// so no AVX2 copy of a shared inline function can end up in baseline code.
#include "crypto/mlkem768/avx2_begin.h"

namespace {

template <int R>
inline __m256i rol(__m256i x) {
    if constexpr (R == 0) {
        return x;
    } else if constexpr (R == 8 || R == 56) {
        // Whole-byte rotations are one byte shuffle.
        constexpr char s = R / 8;
        const __m256i idx = _mm256_setr_epi8(
            (0 - s) & 7, (1 - s) & 7, (2 - s) & 7, (3 - s) & 7, (4 - s) & 7, (5 - s) & 7,
            (6 - s) & 7, (7 - s) & 7, 8 + ((0 - s) & 7), 8 + ((1 - s) & 7), 8 + ((2 - s) & 7),
            8 + ((3 - s) & 7), 8 + ((4 - s) & 7), 8 + ((5 - s) & 7), 8 + ((6 - s) & 7),
            8 + ((7 - s) & 7), (0 - s) & 7, (1 - s) & 7, (2 - s) & 7, (3 - s) & 7, (4 - s) & 7,
            (5 - s) & 7, (6 - s) & 7, (7 - s) & 7, 8 + ((0 - s) & 7), 8 + ((1 - s) & 7),
            8 + ((2 - s) & 7), 8 + ((3 - s) & 7), 8 + ((4 - s) & 7), 8 + ((5 - s) & 7),
            8 + ((6 - s) & 7), 8 + ((7 - s) & 7));
        return _mm256_shuffle_epi8(x, idx);
    } else {
        return _mm256_or_si256(_mm256_slli_epi64(x, R), _mm256_srli_epi64(x, 64 - R));
    }
}

// One round from a into e, plane by plane. Output plane Y takes, for each x',
// the word i = x + 5 y with y = x' and 2 x + 3 y = Y (mod 5), after theta
// (xor with d[x]) and rho (rotation by RHO[i]); chi then mixes the five.
template <int Y, int XP>
inline __m256i theta_rho(const __m256i* a, const __m256i* d) {
    constexpr int x = ((Y - 3 * XP) % 5 + 5) * 3 % 5;
    constexpr int i = x + 5 * XP;
    return rol<RHO[i]>(_mm256_xor_si256(a[i], d[x]));
}

template <int Y>
inline void plane(const __m256i* a, const __m256i* d, __m256i* e) {
    const __m256i b0 = theta_rho<Y, 0>(a, d), b1 = theta_rho<Y, 1>(a, d),
                  b2 = theta_rho<Y, 2>(a, d), b3 = theta_rho<Y, 3>(a, d),
                  b4 = theta_rho<Y, 4>(a, d);
    e[5 * Y + 0] = _mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2));
    e[5 * Y + 1] = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    e[5 * Y + 2] = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    e[5 * Y + 3] = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    e[5 * Y + 4] = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
}

inline void round(const __m256i* a, __m256i* e, std::uint64_t rc) {
    __m256i c[5], d[5];
    for (int x = 0; x < 5; ++x) {
        c[x] =
            _mm256_xor_si256(_mm256_xor_si256(a[x], a[x + 5]),
                             _mm256_xor_si256(_mm256_xor_si256(a[x + 10], a[x + 15]), a[x + 20]));
    }
    for (int x = 0; x < 5; ++x) d[x] = _mm256_xor_si256(c[(x + 4) % 5], rol<1>(c[(x + 1) % 5]));
    plane<0>(a, d, e);
    plane<1>(a, d, e);
    plane<2>(a, d, e);
    plane<3>(a, d, e);
    plane<4>(a, d, e);
    e[0] = _mm256_xor_si256(e[0], _mm256_set1_epi64x(static_cast<long long>(rc)));
}

void permute(std::uint64_t* state) {
    __m256i* a = reinterpret_cast<__m256i*>(state);  // 32-byte aligned
    __m256i e[25];
    for (int r = 0; r < 24; r += 2) {
        round(a, e, ROUND_CONSTANTS[r]);
        round(e, a, ROUND_CONSTANTS[r + 1]);
    }
    secure_zero(e, sizeof e);  // the state of the round before last
}

}  // namespace

#include "crypto/mlkem768/avx2_end.h"

// Bytes enter and leave the state little-endian, word by word, as in FIPS 202.
KeccakX4::KeccakX4(std::size_t rate, const std::uint8_t* const in[4], std::size_t len)
    : rate_(rate) {
    std::memset(state_, 0, sizeof state_);
    for (int l = 0; l < 4; ++l) {
        std::uint8_t block[SHAKE128_RATE] = {};
        if (len != 0) std::memcpy(block, in[l], len);
        block[len] ^= 0x1F;  // SHAKE domain bits and the first padding bit
        block[rate - 1] ^= 0x80;
        for (std::size_t i = 0; i < rate / 8; ++i)
            std::memcpy(&state_[4 * i + l], block + 8 * i, 8);
        secure_zero(block, sizeof block);
    }
}

KeccakX4::~KeccakX4() { secure_zero(state_, sizeof state_); }

void KeccakX4::squeeze(std::uint8_t* const out[4], std::size_t n) {
    permute(state_);
    for (int l = 0; l < 4; ++l) {
        for (std::size_t i = 0; i < n / 8; ++i) std::memcpy(out[l] + 8 * i, &state_[4 * i + l], 8);
        if (n % 8 != 0) std::memcpy(out[l] + n / 8 * 8, &state_[4 * (n / 8) + l], n % 8);
    }
}

}  // namespace velmora::crypto::mlkem768
