// K-PKE and the ML-KEM-768 key encapsulation built on it (FIPS 203 sections 5 and 6).
#include <cstring>

#include "crypto/ct.h"
#include "crypto/mlkem768.h"
#include "crypto/mlkem768/impl.h"
#include "crypto/mlkem768/poly.h"
#if defined(__x86_64__)
#include "crypto/mlkem768/poly_avx2.h"
#endif
#include "crypto/sha3.h"

namespace velmora::crypto::mlkem768 {

struct ExpandedMatrix {
    Poly entry[K][K];  // entry[row][col] = A^[row][col]
};

static_assert(POLYVEC_BYTES == DK_EK_OFFSET);
static_assert(POLYVEC_BYTES + 32 == PUBLIC_KEY_BYTES);
static_assert(C1_BYTES + C2_BYTES == CIPHERTEXT_BYTES);
static_assert(DK_HASH_OFFSET == DK_EK_OFFSET + PUBLIC_KEY_BYTES);
static_assert(DK_Z_OFFSET + SEED_BYTES == SECRET_KEY_BYTES);

namespace {

// Three blocks give 336 candidates for the 256 coefficients; about one
// polynomial in 120 needs more.
constexpr std::size_t SAMPLE_NTT_BLOCKS = 3;

// The path-specific steps, as static members: the two samplers, and the
// polynomial operations of poly.h (or of its AVX2 twin). KPke<Path> below is
// the same algorithm on either.
struct PortablePath {
    // Entry (row, col) of A^ is SampleNTT(rho || col || row). A^ depends on
    // the public seed alone, so neither it nor the sampling needs hiding.
    static void entry(Sha3& sha3, const std::uint8_t rho[32], int row, int col, Poly& out) {
        std::uint8_t seed[34];
        std::memcpy(seed, rho, 32);
        seed[32] = static_cast<std::uint8_t>(col);
        seed[33] = static_cast<std::uint8_t>(row);
        Shake128Stream xof(sha3, ByteView(seed, sizeof seed), SAMPLE_NTT_BLOCKS);
        sample_ntt(out, xof);
    }
    static void expand(Sha3& sha3, const std::uint8_t rho[32], ExpandedMatrix& a) {
        for (int row = 0; row < K; ++row) {
            for (int col = 0; col < K; ++col) entry(sha3, rho, row, col, a.entry[row][col]);
        }
    }
    // out[i] = SamplePolyCBD_2(PRF_2(seed, nonce0 + i)), i < count.
    static void noise(Sha3& sha3, const std::uint8_t seed[32], std::uint8_t nonce0, int count,
                      Poly* out) {
        std::uint8_t buf[CBD_BYTES];
        for (int i = 0; i < count; ++i) {
            const std::uint8_t n = static_cast<std::uint8_t>(nonce0 + i);
            sha3.shake256({ByteView(seed, 32), ByteView(&n, 1)}, buf, CBD_BYTES);
            sample_cbd2(out[i], buf);
        }
        secure_zero(buf, sizeof buf);
        sha3.wipe();
    }
    static constexpr auto ntt = &mlkem768::ntt;
    static constexpr auto inv_ntt = &mlkem768::inv_ntt;
    static constexpr auto prepare_operand = &mlkem768::prepare_operand;
    static constexpr auto mul_set = &mlkem768::mul_set;
    static constexpr auto mul_add = &mlkem768::mul_add;
    static constexpr auto mul_reduce = &mlkem768::mul_reduce;
    static constexpr auto add = &mlkem768::add;
    static constexpr auto sub_from = &mlkem768::sub_from;
    static constexpr auto to_montgomery = &mlkem768::to_montgomery;
    static constexpr auto canonical = &mlkem768::canonical;
    static constexpr auto encode12_ntt = &mlkem768::encode12_ntt;
    static constexpr auto decode12_ntt = &mlkem768::decode12_ntt;
    static constexpr auto compress_encode_du = &mlkem768::compress_encode_du;
    static constexpr auto compress_encode_dv = &mlkem768::compress_encode_dv;
    static constexpr auto decode_decompress_du = &mlkem768::decode_decompress_du;
    static constexpr auto decode_decompress_dv = &mlkem768::decode_decompress_dv;
    static constexpr auto from_message = &mlkem768::from_message;
    static constexpr auto to_message = &mlkem768::to_message;
};

#if defined(__x86_64__)
// add and sub_from stay the portable ones: plain 16-bit sums, which the
// compiler vectorises as well as intrinsics would.
struct Avx2Path : PortablePath {
    static void expand(Sha3& sha3, const std::uint8_t rho[32], ExpandedMatrix& a) {
        // Row-major entries, four at a time; the ninth alone costs less on
        // one stream than on four.
        for (int first = 0; first + 4 <= K * K; first += 4) {
            std::uint8_t idx[4][2];
            Poly* out[4];
            for (int l = 0; l < 4; ++l) {
                const int row = (first + l) / K, col = (first + l) % K;
                idx[l][0] = static_cast<std::uint8_t>(col);
                idx[l][1] = static_cast<std::uint8_t>(row);
                out[l] = &a.entry[row][col];
            }
            avx2::sample_ntt_x4(rho, idx, 4, out);
        }
        static_assert(K * K % 4 == 1);
        entry(sha3, rho, K - 1, K - 1, a.entry[K - 1][K - 1]);
    }
    static void noise(Sha3&, const std::uint8_t seed[32], std::uint8_t nonce0, int count,
                      Poly* out) {
        for (int first = 0; first < count; first += 4) {
            Poly* const p[4] = {out + first, out + first + 1, out + first + 2, out + first + 3};
            avx2::sample_noise_x4(seed, static_cast<std::uint8_t>(nonce0 + first),
                                  count - first < 4 ? count - first : 4, p);
        }
    }
    static constexpr auto ntt = &avx2::ntt;
    static constexpr auto inv_ntt = &avx2::inv_ntt;
    static constexpr auto prepare_operand = &avx2::prepare_operand;
    static constexpr auto mul_set = &avx2::mul_set;
    static constexpr auto mul_add = &avx2::mul_add;
    static constexpr auto mul_reduce = &avx2::mul_reduce;
    static constexpr auto to_montgomery = &avx2::to_montgomery;
    static constexpr auto canonical = &avx2::canonical;
    static constexpr auto encode12_ntt = &avx2::encode12_ntt;
    static constexpr auto decode12_ntt = &avx2::decode12_ntt;
    static constexpr auto compress_encode_du = &avx2::compress_encode_du;
    static constexpr auto compress_encode_dv = &avx2::compress_encode_dv;
    static constexpr auto decode_decompress_du = &avx2::decode_decompress_du;
    static constexpr auto decode_decompress_dv = &avx2::decode_decompress_dv;
    static constexpr auto from_message = &avx2::from_message;
    static constexpr auto to_message = &avx2::to_message;
};
#else
// The AVX2 path exists on x86-64 only; elsewhere impl_available(Impl::Avx2) is
// false, so nothing asks for it, and this name keeps the dispatch below one.
using Avx2Path = PortablePath;
#endif

template <class Path>
struct KPke {
    // K-PKE.KeyGen (Algorithm 13): writes ek (1184 bytes) and dk_PKE (1152 bytes).
    static void keygen(Sha3& sha3, const std::uint8_t d[32], std::uint8_t ek[PUBLIC_KEY_BYTES],
                       std::uint8_t dk_pke[POLYVEC_BYTES]) {
        struct {
            std::uint8_t g_input[33];
            std::uint8_t rho_sigma[64];  // rho, then sigma
            Poly noise[2 * K];           // s, then e: nonces 0..K-1, K..2K-1
            MulOperand s_hat[K];
            Accumulator acc;
            Poly t;
        } w;
        WipeOnExit wipe(w);
        ExpandedMatrix a;  // public

        std::memcpy(w.g_input, d, 32);
        w.g_input[32] = static_cast<std::uint8_t>(K);
        sha3.sha3_512({ByteView(w.g_input, sizeof w.g_input)}, w.rho_sigma);
        const std::uint8_t* rho = w.rho_sigma;
        const std::uint8_t* sigma = w.rho_sigma + 32;
        ct::declassify(rho, 32, "rho seeds the public matrix and is sent in the encapsulation key");

        Path::expand(sha3, rho, a);
        Poly* const s = w.noise;
        Poly* const e = w.noise + K;
        Path::noise(sha3, sigma, 0, 2 * K, w.noise);
        for (int i = 0; i < K; ++i) {
            Path::ntt(s[i]);
            Path::prepare_operand(s[i], w.s_hat[i]);
        }
        // t^[i] = sum_j A^[i][j] o s^[j] + e^[i]
        for (int i = 0; i < K; ++i) {
            Path::mul_set(w.acc, a.entry[i][0], w.s_hat[0]);
            for (int j = 1; j < K; ++j) Path::mul_add(w.acc, a.entry[i][j], w.s_hat[j]);
            Path::mul_reduce(w.acc, w.t);
            Path::to_montgomery(w.t);  // cancels the R^-1 of the products
            Path::ntt(e[i]);
            Path::add(w.t, e[i]);
            Path::canonical(w.t);
            Path::encode12_ntt(w.t, ek + i * POLY_BYTES);
        }
        std::memcpy(ek + POLYVEC_BYTES, rho, 32);
        for (int i = 0; i < K; ++i) {
            Path::canonical(s[i]);
            Path::encode12_ntt(s[i], dk_pke + i * POLY_BYTES);
        }
    }

    // K-PKE.Encrypt (Algorithm 14). `matrix` is A^ when the caller has it;
    // otherwise it is sampled here.
    static void encrypt(Sha3& sha3, const std::uint8_t ek[PUBLIC_KEY_BYTES],
                        const std::uint8_t m[32], const std::uint8_t r[32],
                        std::uint8_t ct[CIPHERTEXT_BYTES], const ExpandedMatrix* matrix) {
        struct {
            Poly noise[2 * K + 1];  // y, e1, e2: nonces 0..2K
            MulOperand y_hat[K];
            Accumulator acc;
            Poly u;
            Poly mu;
        } w;
        WipeOnExit wipe(w);
        ExpandedMatrix sampled;  // public, like t^
        Poly t;
        const std::uint8_t* rho = ek + POLYVEC_BYTES;
        if (matrix == nullptr) {
            Path::expand(sha3, rho, sampled);
            matrix = &sampled;
        }

        Poly* const y = w.noise;
        Poly* const e1 = w.noise + K;
        const Poly& e2 = w.noise[2 * K];
        Path::noise(sha3, r, 0, 2 * K + 1, w.noise);
        for (int i = 0; i < K; ++i) {
            Path::ntt(y[i]);
            Path::prepare_operand(y[i], w.y_hat[i]);
        }
        // u[i] = NTT^-1(sum_j A^[j][i] o y^[j]) + e1[i]
        for (int i = 0; i < K; ++i) {
            Path::mul_set(w.acc, matrix->entry[0][i], w.y_hat[0]);
            for (int j = 1; j < K; ++j) Path::mul_add(w.acc, matrix->entry[j][i], w.y_hat[j]);
            Path::mul_reduce(w.acc, w.u);
            Path::inv_ntt(w.u);
            Path::add(w.u, e1[i]);
            Path::canonical(w.u);
            Path::compress_encode_du(w.u, ct + i * 32 * DU);
        }
        // v = NTT^-1(sum_j t^[j] o y^[j]) + e2 + Decompress_1(m)
        for (int j = 0; j < K; ++j) {
            Path::decode12_ntt(ek + j * POLY_BYTES, t);
            if (j == 0) {
                Path::mul_set(w.acc, t, w.y_hat[j]);
            } else {
                Path::mul_add(w.acc, t, w.y_hat[j]);
            }
        }
        Path::mul_reduce(w.acc, w.u);
        Path::inv_ntt(w.u);
        Path::add(w.u, e2);
        Path::from_message(m, w.mu);
        Path::add(w.u, w.mu);
        Path::canonical(w.u);
        Path::compress_encode_dv(w.u, ct + C1_BYTES);
    }

    // K-PKE.Decrypt (Algorithm 15).
    static void decrypt(const std::uint8_t dk_pke[POLYVEC_BYTES],
                        const std::uint8_t ct[CIPHERTEXT_BYTES], std::uint8_t m[32]) {
        struct {
            Poly u;  // from the ciphertext: public, but cheap to wipe along
            MulOperand u_hat;
            Poly s;
            Accumulator acc;
            Poly w;
            Poly v;
        } w;
        WipeOnExit wipe(w);

        // w = v - NTT^-1(sum_i s^[i] o NTT(u[i])). The stored s^ is used as
        // decoded, below 2^12: its products agree with those of its reduced
        // form mod q.
        for (int i = 0; i < K; ++i) {
            Path::decode_decompress_du(ct + i * 32 * DU, w.u);
            Path::ntt(w.u);
            Path::prepare_operand(w.u, w.u_hat);
            Path::decode12_ntt(dk_pke + i * POLY_BYTES, w.s);
            if (i == 0) {
                Path::mul_set(w.acc, w.s, w.u_hat);
            } else {
                Path::mul_add(w.acc, w.s, w.u_hat);
            }
        }
        Path::mul_reduce(w.acc, w.w);
        Path::inv_ntt(w.w);
        Path::decode_decompress_dv(ct + C1_BYTES, w.v);
        Path::sub_from(w.w, w.v);
        Path::canonical(w.w);
        Path::to_message(w.w, m);
    }
};

template <class Path>
struct Kem {
    static void keygen(const std::uint8_t d[SEED_BYTES], const std::uint8_t z[SEED_BYTES],
                       std::uint8_t ek[PUBLIC_KEY_BYTES], std::uint8_t dk[SECRET_KEY_BYTES]) {
        Sha3 sha3;
        KPke<Path>::keygen(sha3, d, ek, dk + DK_PKE_OFFSET);
        std::memcpy(dk + DK_EK_OFFSET, ek, PUBLIC_KEY_BYTES);
        sha3.sha3_256({ByteView(ek, PUBLIC_KEY_BYTES)}, dk + DK_HASH_OFFSET);
        std::memcpy(dk + DK_Z_OFFSET, z, SEED_BYTES);
    }

    static void encaps(const std::uint8_t ek[PUBLIC_KEY_BYTES], const std::uint8_t m[SEED_BYTES],
                       std::uint8_t key[SHARED_BYTES], std::uint8_t ct[CIPHERTEXT_BYTES]) {
        struct {
            std::uint8_t g_input[64];  // m || H(ek)
            std::uint8_t k_r[64];      // K, then r
        } w;
        WipeOnExit wipe(w);
        Sha3 sha3;

        std::memcpy(w.g_input, m, 32);
        sha3.sha3_256({ByteView(ek, PUBLIC_KEY_BYTES)}, w.g_input + 32);
        sha3.sha3_512({ByteView(w.g_input, sizeof w.g_input)}, w.k_r);
        KPke<Path>::encrypt(sha3, ek, m, w.k_r + 32, ct, nullptr);
        std::memcpy(key, w.k_r, SHARED_BYTES);
    }

    static void decaps(const std::uint8_t dk[SECRET_KEY_BYTES],
                       const std::uint8_t ct[CIPHERTEXT_BYTES], const ExpandedMatrix* matrix,
                       std::uint8_t key[SHARED_BYTES]) {
        struct {
            std::uint8_t g_input[64];  // m' || h
            std::uint8_t k_r[64];      // K', then r'
            std::uint8_t k_bar[32];
            std::uint8_t ct2[CIPHERTEXT_BYTES];
        } w;
        WipeOnExit wipe(w);
        Sha3 sha3;
        const std::uint8_t* ek = dk + DK_EK_OFFSET;
        const std::uint8_t* z = dk + DK_Z_OFFSET;

        KPke<Path>::decrypt(dk + DK_PKE_OFFSET, ct, w.g_input);
        std::memcpy(w.g_input + 32, dk + DK_HASH_OFFSET, 32);
        sha3.sha3_512({ByteView(w.g_input, sizeof w.g_input)}, w.k_r);
        sha3.shake256({ByteView(z, 32), ByteView(ct, CIPHERTEXT_BYTES)}, w.k_bar, 32);
        KPke<Path>::encrypt(sha3, ek, w.g_input, w.k_r + 32, w.ct2, matrix);

        // K' when the ciphertext re-encrypts to itself, K-bar otherwise. The
        // verdict stays secret: which key came out must not show, so it is
        // only ever a selection mask, never a branch.
        const std::uint32_t same = ct::bytes_equal(ct, w.ct2, CIPHERTEXT_BYTES);
        const std::uint8_t mask = static_cast<std::uint8_t>(same);
        ct::select_bytes(key, w.k_r, w.k_bar, SHARED_BYTES, mask);
    }

    static ExpandedMatrixPtr expand_matrix(const std::uint8_t ek[PUBLIC_KEY_BYTES]) {
        ExpandedMatrixPtr out(new ExpandedMatrix);
        Sha3 sha3;
        Path::expand(sha3, ek + POLYVEC_BYTES, *out);
        return out;
    }
};

}  // namespace

void keygen_on(Impl impl, const std::uint8_t d[SEED_BYTES], const std::uint8_t z[SEED_BYTES],
               std::uint8_t ek[PUBLIC_KEY_BYTES], std::uint8_t dk[SECRET_KEY_BYTES]) {
    impl == Impl::Avx2 ? Kem<Avx2Path>::keygen(d, z, ek, dk)
                       : Kem<PortablePath>::keygen(d, z, ek, dk);
}

void encaps_on(Impl impl, const std::uint8_t ek[PUBLIC_KEY_BYTES], const std::uint8_t m[SEED_BYTES],
               std::uint8_t key[SHARED_BYTES], std::uint8_t ct[CIPHERTEXT_BYTES]) {
    impl == Impl::Avx2 ? Kem<Avx2Path>::encaps(ek, m, key, ct)
                       : Kem<PortablePath>::encaps(ek, m, key, ct);
}

void decaps_on(Impl impl, const std::uint8_t dk[SECRET_KEY_BYTES],
               const std::uint8_t ct[CIPHERTEXT_BYTES], const ExpandedMatrix* a,
               std::uint8_t key[SHARED_BYTES]) {
    impl == Impl::Avx2 ? Kem<Avx2Path>::decaps(dk, ct, a, key)
                       : Kem<PortablePath>::decaps(dk, ct, a, key);
}

ExpandedMatrixPtr expand_matrix_on(Impl impl, const std::uint8_t ek[PUBLIC_KEY_BYTES]) {
    return impl == Impl::Avx2 ? Kem<Avx2Path>::expand_matrix(ek)
                              : Kem<PortablePath>::expand_matrix(ek);
}

void keygen_internal(const std::uint8_t d[SEED_BYTES], const std::uint8_t z[SEED_BYTES],
                     std::uint8_t ek[PUBLIC_KEY_BYTES], std::uint8_t dk[SECRET_KEY_BYTES]) {
    keygen_on(active_impl(), d, z, ek, dk);
}

bool check_encapsulation_key(const std::uint8_t ek[PUBLIC_KEY_BYTES]) {
    return decode12_in_range_mask(ek, POLYVEC_BYTES) != 0;
}

bool check_decapsulation_key(const std::uint8_t dk[SECRET_KEY_BYTES]) {
    // Both parts are public: the embedded ek and its stored hash.
    std::uint8_t h[32];
    Sha3 sha3;
    sha3.sha3_256({ByteView(dk + DK_EK_OFFSET, PUBLIC_KEY_BYTES)}, h);
    const std::uint32_t hash_ok = ct::declassified(ct::bytes_equal(h, dk + DK_HASH_OFFSET, 32),
                                                   "a key that fails its hash check is refused");
    return (hash_ok & decode12_in_range_mask(dk + DK_EK_OFFSET, POLYVEC_BYTES) & 1u) != 0;
}

void encaps_internal(const std::uint8_t ek[PUBLIC_KEY_BYTES], const std::uint8_t m[SEED_BYTES],
                     std::uint8_t key[SHARED_BYTES], std::uint8_t ct[CIPHERTEXT_BYTES]) {
    encaps_on(active_impl(), ek, m, key, ct);
}

void decaps_internal(const std::uint8_t dk[SECRET_KEY_BYTES],
                     const std::uint8_t ct[CIPHERTEXT_BYTES], std::uint8_t key[SHARED_BYTES]) {
    decaps_on(active_impl(), dk, ct, nullptr, key);
}

void decaps_internal(const std::uint8_t dk[SECRET_KEY_BYTES],
                     const std::uint8_t ct[CIPHERTEXT_BYTES], const ExpandedMatrix& a,
                     std::uint8_t key[SHARED_BYTES]) {
    decaps_on(active_impl(), dk, ct, &a, key);
}

void ExpandedMatrixDeleter::operator()(ExpandedMatrix* m) const noexcept { delete m; }

ExpandedMatrixPtr expand_matrix(const std::uint8_t ek[PUBLIC_KEY_BYTES]) {
    return expand_matrix_on(active_impl(), ek);
}

}  // namespace velmora::crypto::mlkem768
