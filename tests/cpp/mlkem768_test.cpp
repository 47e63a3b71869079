// ML-KEM-768: the Wycheproof files end to end, plus the arithmetic and hashing
// details that the vectors reach only indirectly.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "crypto/ct.h"
#include "crypto/mlkem768.h"
#include "crypto/mlkem768/impl.h"
#if defined(__x86_64__)
#include "crypto/mlkem768/keccak4.h"
#include "crypto/mlkem768/poly_avx2.h"
#endif
#include "crypto/mlkem768/poly.h"
#include "crypto/sha3.h"
#include "vectors.h"

namespace mlkem = velmora::crypto::mlkem768;
using velmora::crypto::ByteView;
using velmora::crypto::Sha3;
using velmora::crypto::Shake128Stream;
using velmora::testing::Bytes;
using velmora::testing::case_label;
using velmora::testing::has_flag;
using velmora::testing::hex;
using velmora::testing::hex_field;
using velmora::testing::result_of;
using velmora::testing::str_field;
using velmora::testing::to_hex;

namespace {

// The path the adapters below run on: set by the fixture of each test that
// runs once per path.
mlkem::Impl g_path = mlkem::Impl::Portable;

class OnEachPath : public ::testing::TestWithParam<mlkem::Impl> {
protected:
    void SetUp() override {
        if (!mlkem::impl_available(GetParam())) GTEST_SKIP() << "this CPU cannot run the path";
        g_path = GetParam();
    }
};

std::string path_name(const ::testing::TestParamInfo<mlkem::Impl>& info) {
    return mlkem::impl_name(info.param);
}

// The ML-KEM functions take fixed-size arrays, so refusing a wrong length is
// the caller's first check; these adapters make that check the way every
// caller must, then the key check, then the operation.
enum class Outcome { Ok, WrongLength, KeyRejected };

struct Keys {
    Outcome outcome;
    Bytes ek, dk;
};

Keys keygen_from_seed(const Bytes& seed) {
    if (seed.size() != 2 * mlkem::SEED_BYTES) return {Outcome::WrongLength, {}, {}};
    Keys k{Outcome::Ok, Bytes(mlkem::PUBLIC_KEY_BYTES), Bytes(mlkem::SECRET_KEY_BYTES)};
    mlkem::keygen_on(g_path, seed.data(), seed.data() + 32, k.ek.data(), k.dk.data());
    return k;
}

struct Encapsulated {
    Outcome outcome;
    Bytes key, ct;
};

Encapsulated encapsulate(const Bytes& ek, const Bytes& m) {
    if (ek.size() != mlkem::PUBLIC_KEY_BYTES || m.size() != mlkem::SEED_BYTES) {
        return {Outcome::WrongLength, {}, {}};
    }
    if (!mlkem::check_encapsulation_key(ek.data())) return {Outcome::KeyRejected, {}, {}};
    Encapsulated e{Outcome::Ok, Bytes(mlkem::SHARED_BYTES), Bytes(mlkem::CIPHERTEXT_BYTES)};
    mlkem::encaps_on(g_path, ek.data(), m.data(), e.key.data(), e.ct.data());
    return e;
}

struct Decapsulated {
    Outcome outcome;
    Bytes key;
};

Decapsulated decapsulate(const Bytes& dk, const Bytes& ct) {
    if (dk.size() != mlkem::SECRET_KEY_BYTES || ct.size() != mlkem::CIPHERTEXT_BYTES) {
        return {Outcome::WrongLength, {}};
    }
    if (!mlkem::check_decapsulation_key(dk.data())) return {Outcome::KeyRejected, {}};
    Decapsulated d{Outcome::Ok, Bytes(mlkem::SHARED_BYTES)};
    mlkem::decaps_on(g_path, dk.data(), ct.data(), nullptr, d.key.data());
    // A long-lived key decapsulates with its matrix sampled once: same key,
    // on the accepting and the implicit-rejection path alike.
    const auto matrix = mlkem::expand_matrix_on(g_path, dk.data() + mlkem::DK_EK_OFFSET);
    Bytes with_matrix(mlkem::SHARED_BYTES);
    mlkem::decaps_on(g_path, dk.data(), ct.data(), matrix.get(), with_matrix.data());
    EXPECT_EQ(to_hex(with_matrix), to_hex(d.key))
        << "decapsulation with the sampled matrix differs";
    return d;
}

// K-bar = SHAKE256(z || c): the key an implicitly rejected ciphertext yields.
Bytes rejection_key(const Bytes& dk, const Bytes& ct) {
    Bytes k(32);
    Sha3 sha3;
    sha3.shake256({ByteView(dk.data() + mlkem::DK_Z_OFFSET, 32), ByteView(ct)}, k.data(), k.size());
    return k;
}

const char* name(Outcome o) {
    switch (o) {
        case Outcome::Ok:
            return "accepted";
        case Outcome::WrongLength:
            return "wrong length";
        case Outcome::KeyRejected:
            return "key rejected";
    }
    return "?";
}

int number_of_tests(const rapidjson::Document& doc) { return doc["numberOfTests"].GetInt(); }

Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

}  // namespace

// --- Wycheproof, on every path ----------------------------------------------------------

class MlKem768Vectors : public OnEachPath {};
INSTANTIATE_TEST_SUITE_P(Paths, MlKem768Vectors, ::testing::ValuesIn(mlkem::ALL_IMPLS), path_name);

TEST_P(MlKem768Vectors, KeyGenFromSeed) {
    VELMORA_LOAD_VECTORS(doc, "mlkem_768_keygen_seed_test.json");
    const int seen = velmora::testing::for_each_case(doc, [](const auto&, const auto& tc) {
        SCOPED_TRACE(case_label(tc));
        ASSERT_EQ(result_of(tc), "valid");
        const Keys k = keygen_from_seed(hex_field(tc, "seed"));
        ASSERT_EQ(k.outcome, Outcome::Ok);
        EXPECT_EQ(to_hex(k.ek), str_field(tc, "ek"));
        EXPECT_EQ(to_hex(k.dk), str_field(tc, "dk"));
        EXPECT_TRUE(mlkem::check_encapsulation_key(k.ek.data()));
        EXPECT_TRUE(mlkem::check_decapsulation_key(k.dk.data()));
    });
    EXPECT_EQ(seen, number_of_tests(doc));
}

TEST_P(MlKem768Vectors, Encapsulation) {
    VELMORA_LOAD_VECTORS(doc, "mlkem_768_encaps_test.json");
    const int seen = velmora::testing::for_each_case(doc, [](const auto&, const auto& tc) {
        SCOPED_TRACE(case_label(tc));
        const Bytes ek = hex_field(tc, "ek");
        const Encapsulated e = encapsulate(ek, hex_field(tc, "m"));
        if (result_of(tc) == "valid") {
            ASSERT_EQ(e.outcome, Outcome::Ok) << name(e.outcome);
            EXPECT_EQ(to_hex(e.ct), str_field(tc, "c"));
            EXPECT_EQ(to_hex(e.key), str_field(tc, "K"));
            return;
        }
        // Invalid keys are either mis-sized or carry a coefficient >= q.
        const std::string comment = str_field(tc, "comment");
        const bool length_case = comment.find("too short") != std::string::npos ||
                                 comment.find("too long") != std::string::npos;
        const bool modulus_case =
            has_flag(tc, "ModulusOverflow") || comment == "Public key not reduced";
        ASSERT_NE(length_case, modulus_case) << "unclassified invalid case";
        EXPECT_EQ(e.outcome, length_case ? Outcome::WrongLength : Outcome::KeyRejected)
            << name(e.outcome);
    });
    EXPECT_EQ(seen, number_of_tests(doc));
}

TEST_P(MlKem768Vectors, DecapsulationWithExpandedKey) {
    VELMORA_LOAD_VECTORS(doc, "mlkem_768_semi_expanded_decaps_test.json");
    const int seen = velmora::testing::for_each_case(doc, [](const auto&, const auto& tc) {
        SCOPED_TRACE(case_label(tc));
        const Bytes dk = hex_field(tc, "dk");
        const Bytes ct = hex_field(tc, "c");
        const Decapsulated d = decapsulate(dk, ct);
        if (result_of(tc) == "valid") {
            ASSERT_EQ(d.outcome, Outcome::Ok) << name(d.outcome);
            EXPECT_EQ(to_hex(d.key), str_field(tc, "K"));
            EXPECT_EQ(to_hex(dk.data() + mlkem::DK_EK_OFFSET, mlkem::PUBLIC_KEY_BYTES),
                      str_field(tc, "ek"));
            return;
        }
        Outcome expected;
        if (has_flag(tc, "IncorrectCiphertextLength") ||
            has_flag(tc, "IncorrectDecapsulationKeyLength")) {
            expected = Outcome::WrongLength;
        } else {
            ASSERT_TRUE(has_flag(tc, "InvalidDecapsulationKey")) << "unclassified invalid case";
            expected = Outcome::KeyRejected;
        }
        EXPECT_EQ(d.outcome, expected) << name(d.outcome);
    });
    EXPECT_EQ(seen, number_of_tests(doc));
}

TEST_P(MlKem768Vectors, DecapsulationFromSeed) {
    VELMORA_LOAD_VECTORS(doc, "mlkem_768_test.json");
    int rejected = 0;
    const int seen = velmora::testing::for_each_case(doc, [&](const auto&, const auto& tc) {
        SCOPED_TRACE(case_label(tc));
        const Keys k = keygen_from_seed(hex_field(tc, "seed"));
        const Bytes ct = hex_field(tc, "c");
        if (result_of(tc) != "valid") {
            // Mis-sized seeds ("private key") and ciphertexts.
            const Outcome got =
                k.outcome == Outcome::Ok ? decapsulate(k.dk, ct).outcome : k.outcome;
            EXPECT_EQ(got, Outcome::WrongLength) << name(got);
            return;
        }
        ASSERT_EQ(k.outcome, Outcome::Ok);
        EXPECT_EQ(to_hex(k.ek), str_field(tc, "ek"));
        const Decapsulated d = decapsulate(k.dk, ct);
        ASSERT_EQ(d.outcome, Outcome::Ok) << name(d.outcome);
        EXPECT_EQ(to_hex(d.key), str_field(tc, "K"));
        // Crafted ciphertexts (random, bit-flipped, built with zero secret and
        // error, or re-encrypting to something that differs only after a zero
        // byte) must take the implicit-rejection path; honest ones must not.
        const std::string comment = str_field(tc, "comment");
        const bool should_reject = has_flag(tc, "Strcmp") || comment == "Random ciphertext" ||
                                   comment == "Bit flipped ciphertext" ||
                                   comment == "ciphertext secret and error zero";
        const bool was_rejected = d.key == rejection_key(k.dk, ct);
        EXPECT_EQ(was_rejected, should_reject);
        rejected += was_rejected;
    });
    EXPECT_EQ(seen, number_of_tests(doc));
    EXPECT_GT(rejected, 0);
}

// --- properties the vectors do not pin down, on every path ------------------------------

class MlKem768 : public OnEachPath {};
INSTANTIATE_TEST_SUITE_P(Paths, MlKem768, ::testing::ValuesIn(mlkem::ALL_IMPLS), path_name);

// Decapsulation must not depend on anything but the ciphertext: every byte of
// c1 and c2 takes part in the comparison, and a faithful ciphertext round-trips.
TEST_P(MlKem768, RoundTripAndImplicitRejection) {
    std::mt19937_64 rng(0x6d6c6b656d);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        const Keys k = keygen_from_seed(random_bytes(rng, 64));
        const Encapsulated e = encapsulate(k.ek, random_bytes(rng, 32));
        ASSERT_EQ(e.outcome, Outcome::Ok);
        EXPECT_EQ(decapsulate(k.dk, e.ct).key, e.key);

        for (std::size_t pos :
             {std::size_t{0}, std::size_t{959}, std::size_t{960}, mlkem::CIPHERTEXT_BYTES - 1}) {
            Bytes bad = e.ct;
            bad[pos] ^= static_cast<std::uint8_t>(1u << (round % 8));
            const Bytes key = decapsulate(k.dk, bad).key;
            EXPECT_NE(key, e.key) << "flip at " << pos;
            EXPECT_EQ(key, rejection_key(k.dk, bad)) << "flip at " << pos;
        }
    }
}

// The secret vector in a stored key is not validated, so it may hold 12-bit
// values of q and above. They must act as their residues mod q, without
// overflowing the lazily reduced products.
TEST_P(MlKem768, UnreducedSecretVectorActsModQ) {
    std::mt19937_64 rng(7);
    const Keys k = keygen_from_seed(random_bytes(rng, 64));
    const Encapsulated e = encapsulate(k.ek, random_bytes(rng, 32));
    Bytes dk = k.dk;
    // Rewrite every coefficient c < 4096 - q as c + q, the largest values possible.
    int raised = 0;
    for (std::size_t i = 0; i < mlkem::DK_EK_OFFSET; i += 3) {
        std::uint16_t a0 = dk[i] | ((dk[i + 1] & 0x0F) << 8);
        std::uint16_t a1 = (dk[i + 1] >> 4) | (dk[i + 2] << 4);
        if (a0 < 4096 - mlkem::Q) a0 += mlkem::Q, ++raised;
        if (a1 < 4096 - mlkem::Q) a1 += mlkem::Q, ++raised;
        dk[i] = static_cast<std::uint8_t>(a0);
        dk[i + 1] = static_cast<std::uint8_t>((a0 >> 8) | (a1 << 4));
        dk[i + 2] = static_cast<std::uint8_t>(a1 >> 4);
    }
    ASSERT_GT(raised, 100);
    ASSERT_TRUE(mlkem::check_decapsulation_key(dk.data()));  // s^ is not examined
    EXPECT_EQ(decapsulate(dk, e.ct).key, e.key);
}

TEST(MlKem768Checks, KeyChecksLookAtTheRightBytes) {
    std::mt19937_64 rng(11);
    const Keys k = keygen_from_seed(random_bytes(rng, 64));
    // Sets 12-bit coefficient i of the polynomial vector at p.
    auto set_coefficient = [](std::uint8_t* p, std::size_t i, std::uint16_t v) {
        std::uint8_t* b = p + 3 * (i / 2);
        if (i % 2 == 0) {
            b[0] = static_cast<std::uint8_t>(v);
            b[1] = static_cast<std::uint8_t>((b[1] & 0xF0) | (v >> 8));
        } else {
            b[1] = static_cast<std::uint8_t>((b[1] & 0x0F) | (v << 4));
            b[2] = static_cast<std::uint8_t>(v >> 4);
        }
    };
    struct Case {
        const char* what;
        std::function<void(std::uint8_t* dk)> change;
        bool rehash;  // store the H(ek) of the changed ek, so only the modulus check can object
        bool ek_ok;   // the embedded ek passes the modulus check
        bool dk_ok;
    };
    const std::size_t last = 3 * 256 - 1;
    auto t_hat = [&](std::size_t i, std::uint16_t v) {
        return [=](std::uint8_t* dk) { set_coefficient(dk + mlkem::DK_EK_OFFSET, i, v); };
    };
    const Case cases[] = {
        {"last t^ coefficient q - 1", t_hat(last, mlkem::Q - 1), true, true, true},
        {"first t^ coefficient q", t_hat(0, mlkem::Q), true, false, false},
        {"last t^ coefficient 4095", t_hat(last, 4095), true, false, false},
        {"t^ changed, hash stale", t_hat(1, 5), false, true, false},
        {"byte of rho, hash stale", [](std::uint8_t* dk) { dk[mlkem::DK_HASH_OFFSET - 1] ^= 1; },
         false, true, false},
        {"byte of H(ek)", [](std::uint8_t* dk) { dk[mlkem::DK_HASH_OFFSET + 31] ^= 0x80; }, false,
         true, false},
        {"byte of s^", [](std::uint8_t* dk) { dk[17] ^= 0x55; }, false, true, true},
        {"byte of z", [](std::uint8_t* dk) { dk[mlkem::DK_Z_OFFSET] ^= 1; }, false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes dk = k.dk;
        c.change(dk.data());
        std::uint8_t* ek = dk.data() + mlkem::DK_EK_OFFSET;
        if (c.rehash)
            Sha3().sha3_256({ByteView(ek, mlkem::PUBLIC_KEY_BYTES)},
                            dk.data() + mlkem::DK_HASH_OFFSET);
        EXPECT_EQ(mlkem::check_encapsulation_key(ek), c.ek_ok);
        EXPECT_EQ(mlkem::check_decapsulation_key(dk.data()), c.dk_ok);
    }
}

// Compress and Decompress use a multiply-and-shift in place of division;
// compare with the rational definitions over the whole domain.
TEST(MlKem768Checks, CompressMatchesDefinition) {
    auto exact_compress = [](std::uint32_t x, int d) {
        // round(2^d x / q) with ties up, then mod 2^d
        const std::uint64_t num = (std::uint64_t{x} << (d + 1)) + mlkem::Q;
        return static_cast<std::uint32_t>(num / (2 * mlkem::Q)) & ((1u << d) - 1);
    };
    auto exact_decompress = [](std::uint32_t y, int d) {
        const std::uint64_t num = 2 * std::uint64_t{y} * mlkem::Q + (1u << d);
        return static_cast<std::uint32_t>(num / (std::uint64_t{2} << d));
    };
    for (std::uint32_t x = 0; x < mlkem::Q; ++x) {
        ASSERT_EQ(mlkem::compress<1>(x), exact_compress(x, 1)) << x;
        ASSERT_EQ(mlkem::compress<4>(x), exact_compress(x, 4)) << x;
        ASSERT_EQ(mlkem::compress<10>(x), exact_compress(x, 10)) << x;
    }
    for (std::uint32_t y = 0; y < 1024; ++y) {
        if (y < 2) {
            ASSERT_EQ(mlkem::decompress<1>(y), exact_decompress(y, 1)) << y;
        }
        if (y < 16) {
            ASSERT_EQ(mlkem::decompress<4>(y), exact_decompress(y, 4)) << y;
        }
        ASSERT_EQ(mlkem::decompress<10>(y), exact_decompress(y, 10)) << y;
    }
}

// --- the paths against each other ------------------------------------------------------

// Every path gives the same keys, ciphertexts and shared keys for the same
// inputs, including the rejection key of a tampered ciphertext, and a matrix
// sampled on one path serves the others.
TEST(MlKem768Paths, AgreeOnRandomInputs) {
    std::vector<mlkem::Impl> paths;
    for (mlkem::Impl p : mlkem::ALL_IMPLS) {
        if (mlkem::impl_available(p)) paths.push_back(p);
    }
    if (paths.size() < 2) GTEST_SKIP() << "only one path runs on this CPU";
    std::mt19937_64 rng(0x70617468);
    for (int round = 0; round < 32; ++round) {
        SCOPED_TRACE(round);
        const Bytes seed = random_bytes(rng, 64), m = random_bytes(rng, 32);
        Bytes bad_ct;
        std::string first;
        for (mlkem::Impl p : paths) {
            SCOPED_TRACE(mlkem::impl_name(p));
            g_path = p;
            const Keys k = keygen_from_seed(seed);
            const Encapsulated e = encapsulate(k.ek, m);
            ASSERT_EQ(e.outcome, Outcome::Ok);
            if (bad_ct.empty()) {
                bad_ct = e.ct;
                bad_ct[rng() % bad_ct.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            }
            const Decapsulated d = decapsulate(k.dk, e.ct);  // also with the sampled matrix
            const Decapsulated rej = decapsulate(k.dk, bad_ct);
            EXPECT_EQ(d.key, e.key);
            // A matrix from every other path gives the same keys here.
            for (mlkem::Impl other : paths) {
                const auto a = mlkem::expand_matrix_on(other, k.ek.data());
                Bytes key(32), key_rej(32);
                mlkem::decaps_on(p, k.dk.data(), e.ct.data(), a.get(), key.data());
                mlkem::decaps_on(p, k.dk.data(), bad_ct.data(), a.get(), key_rej.data());
                EXPECT_EQ(key, e.key) << "matrix from " << mlkem::impl_name(other);
                EXPECT_EQ(key_rej, rej.key) << "matrix from " << mlkem::impl_name(other);
            }
            const std::string all =
                to_hex(k.ek) + to_hex(k.dk) + to_hex(e.ct) + to_hex(e.key) + to_hex(rej.key);
            if (first.empty()) {
                first = all;
            } else {
                EXPECT_EQ(all, first) << "differs from " << mlkem::impl_name(paths[0]);
            }
        }
    }
}

#if defined(__x86_64__)  // the AVX2 path exists there only
// The AVX2 arithmetic does the portable code's steps lane for lane, so the
// two agree exactly, not only mod q, over each function's whole input range
// (its extremes included): a bound slip shows here before it shows in a key.
TEST(MlKem768Paths, Avx2ArithmeticMatchesPortableExactly) {
    if (!mlkem::impl_available(mlkem::Impl::Avx2)) GTEST_SKIP() << "no AVX2";
    std::mt19937_64 rng(0x617678);
    auto poly = [&](int lo, int hi) {  // uniform in [lo, hi], with the ends forced into a few lanes
        mlkem::Poly p;
        for (auto& c : p.c)
            c = static_cast<std::int16_t>(lo + static_cast<int>(rng() % (hi - lo + 1)));
        p.c[rng() % mlkem::N] = static_cast<std::int16_t>(lo);
        p.c[rng() % mlkem::N] = static_cast<std::int16_t>(hi);
        return p;
    };
    auto same = [](const mlkem::Poly& a, const mlkem::Poly& b) {
        return std::memcmp(a.c, b.c, sizeof a.c) == 0;
    };
    const int q = mlkem::Q;
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        mlkem::Poly a = poly(-(q - 1), q - 1), b = a;
        mlkem::ntt(a), mlkem::avx2::ntt(b);
        ASSERT_TRUE(same(a, b)) << "NTT";
        a = poly(-(q - 1), q - 1), b = a;
        mlkem::inv_ntt(a), mlkem::avx2::inv_ntt(b);
        ASSERT_TRUE(same(a, b)) << "inverse NTT";
        a = poly(INT16_MIN, INT16_MAX), b = a;
        mlkem::to_montgomery(a), mlkem::avx2::to_montgomery(b);
        ASSERT_TRUE(same(a, b)) << "to Montgomery";
        a = poly(INT16_MIN, INT16_MAX), b = a;
        mlkem::canonical(a), mlkem::avx2::canonical(b);
        ASSERT_TRUE(same(a, b)) << "canonical";

        a = poly(-(q - 1), q - 1);
        mlkem::MulOperand pa, pb;
        mlkem::prepare_operand(a, pa), mlkem::avx2::prepare_operand(a, pb);
        ASSERT_EQ(std::memcmp(&pa, &pb, sizeof pa), 0) << "prepare operand";
        // Products of the largest operands, K of them summed (a below 2^12 as
        // decoded from a key, b below q), then reduced.
        mlkem::Accumulator sa, sb;
        mlkem::Poly c = poly(0, 4095);
        mlkem::mul_set(sa, c, pa), mlkem::avx2::mul_set(sb, c, pa);
        for (int k = 1; k < mlkem::K; ++k) {
            c = poly(0, 4095);
            mlkem::mul_add(sa, c, pa), mlkem::avx2::mul_add(sb, c, pa);
        }
        ASSERT_EQ(std::memcmp(&sa, &sb, sizeof sa), 0) << "products";
        mlkem::mul_reduce(sa, a), mlkem::avx2::mul_reduce(sa, b);
        ASSERT_TRUE(same(a, b)) << "reduction of the products";

        a = poly(0, q - 1);
        std::uint8_t ea[mlkem::POLY_BYTES], eb[mlkem::POLY_BYTES];
        mlkem::encode12_ntt(a, ea), mlkem::avx2::encode12_ntt(a, eb);
        ASSERT_EQ(to_hex(ea, sizeof ea), to_hex(eb, sizeof eb)) << "ByteEncode12";

        Bytes bytes = random_bytes(rng, mlkem::POLY_BYTES);
        if (round % 4 == 0) std::fill(bytes.begin(), bytes.end(), round % 8 ? 0xFF : 0x00);
        mlkem::decode12_ntt(bytes.data(), a), mlkem::avx2::decode12_ntt(bytes.data(), b);
        ASSERT_TRUE(same(a, b)) << "ByteDecode12";
        mlkem::sample_cbd2(a, bytes.data()), mlkem::avx2::sample_cbd2(b, bytes.data());
        ASSERT_TRUE(same(a, b)) << "CBD";
        mlkem::decode_decompress_du(bytes.data(), a),
            mlkem::avx2::decode_decompress_du(bytes.data(), b);
        ASSERT_TRUE(same(a, b)) << "decompress du";
        mlkem::decode_decompress_dv(bytes.data(), a),
            mlkem::avx2::decode_decompress_dv(bytes.data(), b);
        ASSERT_TRUE(same(a, b)) << "decompress dv";
        mlkem::from_message(bytes.data(), a), mlkem::avx2::from_message(bytes.data(), b);
        ASSERT_TRUE(same(a, b)) << "message to polynomial";

        a = poly(0, q - 1);
        if (round < (q + mlkem::N - 1) / mlkem::N) {  // every input of the compressions, once
            for (int i = 0; i < mlkem::N; ++i)
                a.c[i] = static_cast<std::int16_t>(std::min(round * mlkem::N + i, q - 1));
        }
        std::uint8_t ca[32 * mlkem::DU], cb[32 * mlkem::DU];
        mlkem::compress_encode_du(a, ca), mlkem::avx2::compress_encode_du(a, cb);
        ASSERT_EQ(to_hex(ca, 32 * mlkem::DU), to_hex(cb, 32 * mlkem::DU)) << "compress du";
        mlkem::compress_encode_dv(a, ca), mlkem::avx2::compress_encode_dv(a, cb);
        ASSERT_EQ(to_hex(ca, 32 * mlkem::DV), to_hex(cb, 32 * mlkem::DV)) << "compress dv";
        mlkem::to_message(a, ca), mlkem::avx2::to_message(a, cb);
        ASSERT_EQ(to_hex(ca, 32), to_hex(cb, 32)) << "polynomial to message";
    }
}

// The four-way Keccak against libcrypto: four different inputs per call, both
// rates, several blocks, and a partial block.
TEST(KeccakX4, MatchesSingleStreamShake) {
    if (!mlkem::impl_available(mlkem::Impl::Avx2)) GTEST_SKIP() << "no AVX2";
    std::mt19937_64 rng(5);
    Sha3 sha3;
    for (std::size_t rate : {mlkem::KeccakX4::SHAKE128_RATE, mlkem::KeccakX4::SHAKE256_RATE}) {
        for (std::size_t len : {std::size_t{0}, std::size_t{33}, std::size_t{34}, rate - 1}) {
            SCOPED_TRACE(::testing::Message() << "rate " << rate << " len " << len);
            Bytes in[4];
            const std::uint8_t* in_ptrs[4];
            for (int l = 0; l < 4; ++l) in[l] = random_bytes(rng, len), in_ptrs[l] = in[l].data();
            mlkem::KeccakX4 x4(rate, in_ptrs, len);
            constexpr int blocks = 4;
            Bytes got[4];
            for (auto& g : got) g.resize(blocks * rate);
            for (int b = 0; b < blocks; ++b) {
                std::uint8_t* out[4] = {got[0].data() + b * rate, got[1].data() + b * rate,
                                        got[2].data() + b * rate, got[3].data() + b * rate};
                x4.squeeze(out, b == blocks - 1 ? rate - 3 : rate);  // the last one partial
            }
            for (int l = 0; l < 4; ++l) {
                Bytes want(blocks * rate - 3);
                if (rate == mlkem::KeccakX4::SHAKE128_RATE) {
                    sha3.shake128({ByteView(in[l])}, want.data(), want.size());
                } else {
                    sha3.shake256({ByteView(in[l])}, want.data(), want.size());
                }
                got[l].resize(want.size());
                EXPECT_EQ(to_hex(got[l]), to_hex(want)) << "stream " << l;
            }
        }
    }
}
#endif

// --- the SHA-3 wrapper ---------------------------------------------------------------------

TEST(Sha3, KnownAnswersAndMultiPartInput) {
    Sha3 sha3;
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    std::array<std::uint8_t, 64> out{};

    sha3.sha3_256({}, out.data());
    EXPECT_EQ(to_hex(out.data(), 32),
              "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
    sha3.sha3_512({ByteView(abc, 1), ByteView(abc + 1, 2)}, out.data());
    EXPECT_EQ(to_hex(out.data(), 64),
              "b751850b1a57168a5693cd924b6b096e08f621827444f70d884f5d0240d2712e"
              "10e116e9192af3c91a7ec57647e3934057340b4cf408d5a56592f8274eec53f0");
    sha3.shake128({}, out.data(), 32);
    EXPECT_EQ(to_hex(out.data(), 32),
              "7f9c2ba4e88f827d616045507605853ed73b8093f6efbc88eb1a6eacfa66ef26");
    sha3.shake256({ByteView(abc, 2), ByteView(), ByteView(abc + 2, 1)}, out.data(), 64);
    EXPECT_EQ(to_hex(out.data(), 64),
              "483366601360a8771c6863080cc4114d8db44530f8f1e1ee4f94ea37e78b5739"
              "d5a15bef186a5386c75744c0527e1faa9f8726e462a12a4feb06bd8801e751e4");
}

// A stream that outruns its first squeeze continues the same output.
TEST(Sha3, Shake128StreamContinuesPastItsFirstSqueeze) {
    Sha3 sha3;
    const std::uint8_t seed[34] = {1, 2, 3};
    constexpr std::size_t blocks = 11;
    Bytes expected(blocks * Shake128Stream::BLOCK_BYTES);
    sha3.shake128({ByteView(seed)}, expected.data(), expected.size());
    for (std::size_t initial : {std::size_t{1}, std::size_t{3}}) {
        Shake128Stream stream(sha3, ByteView(seed), initial);
        Bytes got;
        for (std::size_t i = 0; i < blocks; ++i) {
            const std::uint8_t* b = stream.next_block();
            got.insert(got.end(), b, b + Shake128Stream::BLOCK_BYTES);
        }
        EXPECT_EQ(got, expected) << "initial blocks " << initial;
    }
}

// --- the comparison of the re-encrypted ciphertext, across the 64-byte chunks ---

TEST(ConstantTime, BytesEqualSeesEveryByteAcrossChunks) {
    std::mt19937_64 rng(3);
    for (std::size_t n : {0, 1, 63, 64, 65, 127, 128, 1088}) {
        const Bytes a = random_bytes(rng, n);
        EXPECT_EQ(velmora::ct::bytes_equal(a.data(), a.data(), n), 0xFFFFFFFFu) << n;
        for (std::size_t pos = 0; pos < n; ++pos) {
            Bytes b = a;
            b[pos] ^= static_cast<std::uint8_t>(1u << (pos % 8));
            ASSERT_EQ(velmora::ct::bytes_equal(a.data(), b.data(), n), 0u) << n << " " << pos;
        }
    }
}
