// K-PKE and the ML-KEM-768 key encapsulation built on it (FIPS 203 sections 5 and 6).
#include <cstring>

#include "crypto/ct.h"
#include "crypto/mlkem768.h"
#include "crypto/mlkem768/poly.h"
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

// Entry (row, col) of A^ is SampleNTT(rho || col || row). A^ depends on the
// public seed alone, so neither it nor the sampling needs to be hidden.
void matrix_entry(Sha3& sha3, const std::uint8_t rho[32], int row, int col, Poly& out) {
    std::uint8_t seed[34];
    std::memcpy(seed, rho, 32);
    seed[32] = static_cast<std::uint8_t>(col);
    seed[33] = static_cast<std::uint8_t>(row);
    Shake128Stream xof(sha3, ByteView(seed, sizeof seed), SAMPLE_NTT_BLOCKS);
    sample_ntt(out, xof);
}

// SamplePolyCBD_2(PRF_2(seed, n)).
void sample_noise(Sha3& sha3, const std::uint8_t seed[32], std::uint8_t n, std::uint8_t buf[CBD_BYTES],
                  Poly& out) {
    sha3.shake256({ByteView(seed, 32), ByteView(&n, 1)}, buf, CBD_BYTES);
    sample_cbd2(out, buf);
}

// K-PKE.KeyGen (Algorithm 13): writes ek (1184 bytes) and dk_PKE (1152 bytes).
void pke_keygen(Sha3& sha3, const std::uint8_t d[32], std::uint8_t ek[PUBLIC_KEY_BYTES],
                std::uint8_t dk_pke[POLYVEC_BYTES]) {
    struct {
        std::uint8_t g_input[33];
        std::uint8_t rho_sigma[64];  // rho, then sigma
        std::uint8_t prf[CBD_BYTES];
        Poly s[K];
        Poly e;
        MulOperand s_hat[K];
        Accumulator acc;
        Poly t;
    } w;
    WipeOnExit wipe(w);
    Poly a;  // public

    std::memcpy(w.g_input, d, 32);
    w.g_input[32] = static_cast<std::uint8_t>(K);
    sha3.sha3_512({ByteView(w.g_input, sizeof w.g_input)}, w.rho_sigma);
    const std::uint8_t* rho = w.rho_sigma;
    const std::uint8_t* sigma = w.rho_sigma + 32;
    declassify(rho, 32);

    for (int i = 0; i < K; ++i) {
        sample_noise(sha3, sigma, static_cast<std::uint8_t>(i), w.prf, w.s[i]);
        ntt(w.s[i]);
        prepare_operand(w.s[i], w.s_hat[i]);
    }
    // t^[i] = sum_j A^[i][j] o s^[j] + e^[i]
    for (int i = 0; i < K; ++i) {
        for (int j = 0; j < K; ++j) {
            matrix_entry(sha3, rho, i, j, a);
            if (j == 0) {
                mul_set(w.acc, a, w.s_hat[j]);
            } else {
                mul_add(w.acc, a, w.s_hat[j]);
            }
        }
        mul_reduce(w.acc, w.t);
        to_montgomery(w.t);  // cancels the R^-1 of the products
        sample_noise(sha3, sigma, static_cast<std::uint8_t>(K + i), w.prf, w.e);
        ntt(w.e);
        add(w.t, w.e);
        canonical(w.t);
        encode12_ntt(w.t, ek + i * POLY_BYTES);
    }
    std::memcpy(ek + POLYVEC_BYTES, rho, 32);
    for (int i = 0; i < K; ++i) {
        canonical(w.s[i]);
        encode12_ntt(w.s[i], dk_pke + i * POLY_BYTES);
    }
}

// K-PKE.Encrypt (Algorithm 14).
// `matrix` is A^ when the caller has it; otherwise each entry is sampled here.
void pke_encrypt(Sha3& sha3, const std::uint8_t ek[PUBLIC_KEY_BYTES], const std::uint8_t m[32],
                 const std::uint8_t r[32], std::uint8_t ct[CIPHERTEXT_BYTES],
                 const ExpandedMatrix* matrix = nullptr) {
    struct {
        std::uint8_t prf[CBD_BYTES];
        Poly y;
        MulOperand y_hat[K];
        Accumulator acc;
        Poly u;
        Poly noise;
        Poly mu;
    } w;
    WipeOnExit wipe(w);
    Poly a;  // public: entries of A^ and of t^
    const std::uint8_t* rho = ek + POLYVEC_BYTES;

    for (int i = 0; i < K; ++i) {
        sample_noise(sha3, r, static_cast<std::uint8_t>(i), w.prf, w.y);
        ntt(w.y);
        prepare_operand(w.y, w.y_hat[i]);
    }
    // u[i] = NTT^-1(sum_j A^[j][i] o y^[j]) + e1[i]
    for (int i = 0; i < K; ++i) {
        for (int j = 0; j < K; ++j) {
            const Poly* entry = &a;
            if (matrix != nullptr) {
                entry = &matrix->entry[j][i];
            } else {
                matrix_entry(sha3, rho, j, i, a);
            }
            if (j == 0) {
                mul_set(w.acc, *entry, w.y_hat[j]);
            } else {
                mul_add(w.acc, *entry, w.y_hat[j]);
            }
        }
        mul_reduce(w.acc, w.u);
        inv_ntt(w.u);
        sample_noise(sha3, r, static_cast<std::uint8_t>(K + i), w.prf, w.noise);
        add(w.u, w.noise);
        canonical(w.u);
        compress_encode_du(w.u, ct + i * 32 * DU);
    }
    // v = NTT^-1(sum_j t^[j] o y^[j]) + e2 + Decompress_1(m)
    for (int j = 0; j < K; ++j) {
        decode12_ntt(ek + j * POLY_BYTES, a);
        if (j == 0) {
            mul_set(w.acc, a, w.y_hat[j]);
        } else {
            mul_add(w.acc, a, w.y_hat[j]);
        }
    }
    mul_reduce(w.acc, w.u);
    inv_ntt(w.u);
    sample_noise(sha3, r, static_cast<std::uint8_t>(2 * K), w.prf, w.noise);
    add(w.u, w.noise);
    from_message(m, w.mu);
    add(w.u, w.mu);
    canonical(w.u);
    compress_encode_dv(w.u, ct + C1_BYTES);
}

// K-PKE.Decrypt (Algorithm 15).
void pke_decrypt(const std::uint8_t dk_pke[POLYVEC_BYTES], const std::uint8_t ct[CIPHERTEXT_BYTES],
                 std::uint8_t m[32]) {
    struct {
        Poly u;  // from the ciphertext: public, but cheap to wipe along
        MulOperand u_hat;
        Poly s;
        Accumulator acc;
        Poly w;
        Poly v;
    } w;
    WipeOnExit wipe(w);

    // w = v - NTT^-1(sum_i s^[i] o NTT(u[i])). The stored s^ is used as decoded,
    // below 2^12: its products agree with those of its reduced form mod q.
    for (int i = 0; i < K; ++i) {
        decode_decompress_du(ct + i * 32 * DU, w.u);
        ntt(w.u);
        prepare_operand(w.u, w.u_hat);
        decode12_ntt(dk_pke + i * POLY_BYTES, w.s);
        if (i == 0) {
            mul_set(w.acc, w.s, w.u_hat);
        } else {
            mul_add(w.acc, w.s, w.u_hat);
        }
    }
    mul_reduce(w.acc, w.w);
    inv_ntt(w.w);
    decode_decompress_dv(ct + C1_BYTES, w.v);
    sub_from(w.w, w.v);
    canonical(w.w);
    to_message(w.w, m);
}

}  // namespace

void keygen_internal(const std::uint8_t d[SEED_BYTES], const std::uint8_t z[SEED_BYTES],
                     std::uint8_t ek[PUBLIC_KEY_BYTES], std::uint8_t dk[SECRET_KEY_BYTES]) {
    Sha3 sha3;
    pke_keygen(sha3, d, ek, dk + DK_PKE_OFFSET);
    std::memcpy(dk + DK_EK_OFFSET, ek, PUBLIC_KEY_BYTES);
    sha3.sha3_256({ByteView(ek, PUBLIC_KEY_BYTES)}, dk + DK_HASH_OFFSET);
    std::memcpy(dk + DK_Z_OFFSET, z, SEED_BYTES);
}

bool check_encapsulation_key(const std::uint8_t ek[PUBLIC_KEY_BYTES]) {
    return decode12_in_range_mask(ek, POLYVEC_BYTES) != 0;
}

bool check_decapsulation_key(const std::uint8_t dk[SECRET_KEY_BYTES]) {
    // Both parts are public: the embedded ek and its stored hash.
    std::uint8_t h[32];
    Sha3 sha3;
    sha3.sha3_256({ByteView(dk + DK_EK_OFFSET, PUBLIC_KEY_BYTES)}, h);
    const std::uint32_t hash_ok = ct::bytes_equal(h, dk + DK_HASH_OFFSET, 32);
    return (hash_ok & decode12_in_range_mask(dk + DK_EK_OFFSET, POLYVEC_BYTES) & 1u) != 0;
}

void encaps_internal(const std::uint8_t ek[PUBLIC_KEY_BYTES], const std::uint8_t m[SEED_BYTES],
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
    pke_encrypt(sha3, ek, m, w.k_r + 32, ct);
    std::memcpy(key, w.k_r, SHARED_BYTES);
}

namespace {

void decaps(const std::uint8_t dk[SECRET_KEY_BYTES], const std::uint8_t ct[CIPHERTEXT_BYTES],
            const ExpandedMatrix* matrix, std::uint8_t key[SHARED_BYTES]) {
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

    pke_decrypt(dk + DK_PKE_OFFSET, ct, w.g_input);
    std::memcpy(w.g_input + 32, dk + DK_HASH_OFFSET, 32);
    sha3.sha3_512({ByteView(w.g_input, sizeof w.g_input)}, w.k_r);
    sha3.shake256({ByteView(z, 32), ByteView(ct, CIPHERTEXT_BYTES)}, w.k_bar, 32);
    pke_encrypt(sha3, ek, w.g_input, w.k_r + 32, w.ct2, matrix);

    // K' when the ciphertext re-encrypts to itself, K-bar otherwise.
    const std::uint32_t same = ct::bytes_equal(ct, w.ct2, CIPHERTEXT_BYTES);
    const std::uint8_t mask = static_cast<std::uint8_t>(0u - same);
    ct::select_bytes(key, w.k_r, w.k_bar, SHARED_BYTES, mask);
}

}  // namespace

void decaps_internal(const std::uint8_t dk[SECRET_KEY_BYTES], const std::uint8_t ct[CIPHERTEXT_BYTES],
                     std::uint8_t key[SHARED_BYTES]) {
    decaps(dk, ct, nullptr, key);
}

void decaps_internal(const std::uint8_t dk[SECRET_KEY_BYTES], const std::uint8_t ct[CIPHERTEXT_BYTES],
                     const ExpandedMatrix& a, std::uint8_t key[SHARED_BYTES]) {
    decaps(dk, ct, &a, key);
}

void ExpandedMatrixDeleter::operator()(ExpandedMatrix* m) const noexcept { delete m; }

ExpandedMatrixPtr expand_matrix(const std::uint8_t ek[PUBLIC_KEY_BYTES]) {
    ExpandedMatrixPtr out(new ExpandedMatrix);
    Sha3 sha3;
    for (int row = 0; row < K; ++row) {
        for (int col = 0; col < K; ++col) {
            matrix_entry(sha3, ek + POLYVEC_BYTES, row, col, out->entry[row][col]);
        }
    }
    return out;
}

}  // namespace velmora::crypto::mlkem768
