// Below the interpreter: X25519 against Wycheproof, the sealed-session reader
// on inputs the Python suite cannot easily build, and the hybrid core's
// wiping and failure paths.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/x25519.h"
#include "error/error.h"
#include "hybrid/key_pair.h"
#include "hybrid/sealed_session.h"
#include "locked/counters.h"
#include "locked/region.h"
#include "vectors.h"

namespace velmora {
namespace {

using testing::Bytes;

std::string as_string(std::span<const std::uint8_t> s) {
    return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

// ---------------------------------------------------------------- X25519

TEST(X25519, Wycheproof) {
    VELMORA_LOAD_VECTORS(doc, "x25519_test.json");
    int rejected = 0;
    const int n = testing::for_each_case(doc, [&](const auto&, const auto& tc) {
        const Bytes pub = testing::hex_field(tc, "public");
        const Bytes priv = testing::hex_field(tc, "private");
        const Bytes shared = testing::hex_field(tc, "shared");
        ASSERT_EQ(pub.size(), 32u) << testing::case_label(tc);
        std::uint8_t out[32];
        std::memset(out, 0xAA, sizeof out);
        const Status s = crypto::x25519::shared_secret(priv.data(), pub.data(), out);
        if (Bytes(32, 0) == shared) {
            // Low-order peer keys: refused, and nothing of the result is left.
            ASSERT_FALSE(s) << testing::case_label(tc);
            EXPECT_EQ(s.error().kind, ErrorKind::KeyRejected);
            EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0));
            ++rejected;
        } else {
            ASSERT_TRUE(s) << testing::case_label(tc);
            EXPECT_EQ(testing::to_hex(out, 32), testing::to_hex(shared)) << testing::case_label(tc);
        }
    });
    EXPECT_EQ(n, doc["numberOfTests"].GetInt());
    EXPECT_GT(rejected, 0);
}

TEST(X25519, PublicKeyIsBaseMultipleOfClampedScalar) {
    // RFC 7748 section 6.1, Alice's key pair.
    const Bytes a =
        testing::hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    std::uint8_t pub[32];
    crypto::x25519::public_key(a.data(), pub);
    EXPECT_EQ(testing::to_hex(pub, 32),
              "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    // The zero scalar clamps to 2^254, which is not zero: a usable key.
    const Bytes zero(32, 0);
    crypto::x25519::public_key(zero.data(), pub);
    EXPECT_NE(Bytes(pub, pub + 32), zero);
}

TEST(X25519, PublicKeyAgreesWithTheLadderForManyScalars) {
    // The public key goes through the Edwards form; the ladder is the reference.
    std::uint8_t scalar[32], ours[32], ladder[32];
    std::uint32_t state = 0x9E3779B9u;
    for (int n = 0; n < 2000; ++n) {
        for (auto& b : scalar) {
            state = state * 1664525u + 1013904223u;
            b = static_cast<std::uint8_t>(state >> 24);
        }
        if (n < 256) {  // edge scalars: all bytes equal, including 00 and FF
            std::memset(scalar, n, sizeof scalar);
        }
        crypto::x25519::public_key(scalar, ours);
        ASSERT_EQ(crypto_scalarmult_curve25519_base(ladder, scalar), 0);
        ASSERT_EQ(testing::to_hex(ours, 32), testing::to_hex(ladder, 32))
            << "scalar " << testing::to_hex(scalar, 32);
    }
}

// Whether `word` lies in the stack below this function's own frame, where the
// functions its caller has just returned from kept their locals. The 128 bytes
// right below the stack pointer may hold this function's own locals and are
// skipped. Not instrumented: the sanitizer would take that memory for stale
// frames.
__attribute__((noinline, no_sanitize("address"))) bool stack_below_holds(std::uint64_t word) {
    constexpr std::size_t SPAN = 16384, RED_ZONE = 128;
    const volatile std::uint8_t* sp;
#if defined(__x86_64__)
    asm volatile("mov %%rsp, %0" : "=r"(sp));
#else
    asm volatile("mov %0, sp" : "=r"(sp));
#endif
    for (const volatile std::uint8_t* p = sp - SPAN; p + 8 <= sp - RED_ZONE; ++p) {
        std::uint64_t v = 0;
        for (int k = 7; k >= 0; --k) v = (v << 8) | p[k];
        if (v == word) return true;
    }
    return false;
}

TEST(X25519, SharedSecretIsNotLeftOnTheStack) {
    // RFC 7748 section 6.1: Alice's secret and Bob's public key.
    const Bytes a =
        testing::hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const Bytes b =
        testing::hex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    std::uint8_t shared[32];
    ASSERT_TRUE(crypto::x25519::shared_secret(a.data(), b.data(), shared));
    ASSERT_EQ(testing::to_hex(shared, 32),
              "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
    // The library computes in 51-bit limbs; its last point is the result.
    std::uint64_t w0, w1;
    std::memcpy(&w0, shared, 8);
    std::memcpy(&w1, shared + 6, 8);
    const std::uint64_t mask = (std::uint64_t{1} << 51) - 1;
    EXPECT_FALSE(stack_below_holds(w0 & mask));
    EXPECT_FALSE(stack_below_holds((w1 >> 3) & mask));
}

// ------------------------------------------------------ sealed-session reader

Result<hybrid::SessionRecord> read(Bytes& text) { return hybrid::read_sealed_session(text); }

void expect_malformed(Bytes text, const std::string& why) {
    auto r = read(text);
    ASSERT_FALSE(r) << why;
    EXPECT_EQ(format_message(r.error()),
              "malformed sealed session \u00b7 sealed session malformado")
        << why;
}

TEST(SealedSessionReader, StringsAreUnescapedInPlaceIntoTheText) {
    Bytes text = bytes_of(
        R"({"session_id":"caf\u00e9 \"x\"","sign_key":"QQ","enc_key":"Q\/","expires_at":-9223372036854775808})");
    auto r = read(text);
    ASSERT_TRUE(r);
    EXPECT_EQ(as_string(r->session_id), "caf\xc3\xa9 \"x\"");
    EXPECT_EQ(as_string(r->sign_key), "QQ");
    EXPECT_EQ(as_string(r->enc_key), "Q/");
    EXPECT_EQ(r->expires_at, INT64_MIN);
    // The fields are views into the caller's buffer, which it alone wipes.
    const auto* lo = text.data();
    const auto* hi = text.data() + text.size();
    for (auto f : {r->session_id, r->sign_key, r->enc_key}) {
        EXPECT_GE(f.data(), lo);
        EXPECT_LE(f.data() + f.size(), hi);
    }
}

TEST(SealedSessionReader, EscapedNulInsideAStringKeepsTheWholeString) {
    Bytes text = bytes_of(R"(["a\u0000b","k","k",1])");
    auto r = read(text);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->session_id.size(), 3u);
    EXPECT_EQ(as_string(r->session_id), std::string("a\0b", 3));
}

TEST(SealedSessionReader, RawNulByteIsRefusedWherever) {
    const std::string ok = R"({"session_id":"s","sign_key":"k","enc_key":"k","expires_at":1})";
    // Trailing data hidden behind a NUL, and a NUL inside a string.
    expect_malformed(bytes_of(ok + std::string("\0{}", 3)), "NUL then trailing data");
    expect_malformed(bytes_of(ok + std::string(1, '\0')), "trailing NUL");
    Bytes inner = bytes_of(ok);
    inner[16] = 0;  // inside "s"
    expect_malformed(inner, "NUL inside a string");
    expect_malformed(Bytes{}, "empty");
}

TEST(SealedSessionReader, IgnoredMembersNestOnTheHeapNotTheStack) {
    // Deep enough to overflow the call stack of a recursive parser.
    const std::size_t depth = 1000000;
    std::string deep = R"({"x":)" + std::string(depth, '[') + "{\"k\":[1,2,{}]}" +
                       std::string(depth, ']') +
                       R"(,"session_id":"s","sign_key":"k","enc_key":"k","expires_at":7})";
    Bytes text = bytes_of(deep);
    auto r = read(text);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->expires_at, 7);
    // Unbalanced at that depth is still a syntax error.
    Bytes broken = bytes_of(deep.substr(0, 5 + depth));
    expect_malformed(broken, "unterminated deep value");
}

TEST(SealedSessionReader, EncodingIsCheckedOnlyWhereItMatters) {
    const std::string rest = R"("session_id":"s","sign_key":"k","enc_key":"k","expires_at":1)";
    // Strings inside ignored values need only valid escapes.
    Bytes skipped =
        bytes_of("{\"x\":[\"\xff\xfe\", {\"\xc0\x80\":\"\xed\xa0\x80\"}]," + rest + "}");
    EXPECT_TRUE(read(skipped));
    Bytes ignored_scalar = bytes_of("{\"x\":\"\xff\"," + rest + "}");
    EXPECT_TRUE(read(ignored_scalar));
    // The record's strings and its own member names must be UTF-8.
    expect_malformed(bytes_of("{\"\xff\":1," + rest + "}"), "bad top-level name");
    for (const char* bad :
         {"\xff", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\\udc00"}) {
        expect_malformed(bytes_of(std::string(R"({"session_id":")") + bad +
                                  R"(","sign_key":"k","enc_key":"k","expires_at":1})"),
                         std::string("session_id ") + bad);
        expect_malformed(bytes_of(std::string(R"(["s","k",")") + bad + R"(",1])"),
                         std::string("enc_key ") + bad);
    }
    Bytes good = bytes_of("[\"\xf0\x9f\x94\x91 \xe2\x82\xac \\ud83d\\udd11\",\"k\",\"k\",1]");
    auto r = read(good);
    ASSERT_TRUE(r);
    EXPECT_EQ(as_string(r->session_id), "\xf0\x9f\x94\x91 \xe2\x82\xac \xf0\x9f\x94\x91");
}

// ------------------------------------------------------------- hybrid core

// A random source that hands out a counter pattern and records each request;
// it fails the request whose index is `fail_at`.
struct Draws {
    std::vector<std::size_t> sizes;
    int fail_at = -1;
    std::uint8_t next = 1;
};
Draws g_draws;

Status recording_source(std::span<std::uint8_t> out) {
    const int index = static_cast<int>(g_draws.sizes.size());
    g_draws.sizes.push_back(out.size());
    if (index == g_draws.fail_at) return ErrorKind::RngFailed;
    for (auto& b : out) b = g_draws.next++;
    return {};
}

void reset_draws(int fail_at = -1) { g_draws = Draws{{}, fail_at, 1}; }

hybrid::HybridKeyPair must_generate() {
    reset_draws();
    auto id = hybrid::HybridKeyPair::generate(recording_source);
    if (!id) std::abort();
    return std::move(*id);
}

TEST(HybridCore, GenerateDrawsThreeSeparateKeys) {
    reset_draws();
    auto id = hybrid::HybridKeyPair::generate(recording_source);
    ASSERT_TRUE(id);
    EXPECT_EQ(g_draws.sizes, (std::vector<std::size_t>{32, 32, 32}));
    // The X25519 secret is the first draw, kept as drawn (not clamped).
    auto x = id->export_x25519_secret();
    ASSERT_TRUE(x);
    auto bytes = x->bytes();
    ASSERT_TRUE(bytes);
    EXPECT_EQ((*bytes)[0], 1);
    EXPECT_EQ((*bytes)[31], 32);
    for (int fail = 0; fail < 3; ++fail) {
        reset_draws(fail);
        const auto before = read_counters().live_secrets;
        auto failed = hybrid::HybridKeyPair::generate(recording_source);
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().kind, ErrorKind::KeyMaterialDrawFailed) << "draw " << fail;
        EXPECT_EQ(g_draws.sizes.size(), static_cast<std::size_t>(fail + 1));
        EXPECT_EQ(read_counters().live_secrets, before);
    }
}

TEST(HybridCore, SealDrawsEThenMThenNonce) {
    hybrid::HybridKeyPair id = must_generate();
    const Bytes pt = bytes_of("content");
    reset_draws();
    auto a = hybrid::seal(id.x25519_public(), id.mlkem768_public(), pt, {}, recording_source);
    ASSERT_TRUE(a);
    EXPECT_EQ(g_draws.sizes, (std::vector<std::size_t>{32, 32, 12}));
    // E is the public key of the first draw; the nonce is the last draw as is.
    std::uint8_t e[32], E[32];
    for (int i = 0; i < 32; ++i) e[i] = static_cast<std::uint8_t>(1 + i);
    crypto::x25519::public_key(e, E);
    EXPECT_EQ(Bytes(a->encapsulation.begin(), a->encapsulation.begin() + 32), Bytes(E, E + 32));
    for (int i = 0; i < 12; ++i) EXPECT_EQ(a->nonce[i], 65 + i);
    // Nothing else feeds the seal: the same draws give the same seal.
    reset_draws();
    auto b = hybrid::seal(id.x25519_public(), id.mlkem768_public(), pt, {}, recording_source);
    ASSERT_TRUE(b);
    EXPECT_EQ(a->encapsulation, b->encapsulation);
    EXPECT_EQ(a->ciphertext, b->ciphertext);
    auto opened = id.open(a->encapsulation, a->nonce, a->ciphertext, {});
    ASSERT_TRUE(opened);
    EXPECT_EQ(Bytes(opened->span().begin(), opened->span().end()), pt);
}

TEST(HybridCore, OnlyTheNonceDrawReportsRngFailed) {
    hybrid::HybridKeyPair id = must_generate();
    for (int fail = 0; fail < 3; ++fail) {
        reset_draws(fail);
        auto s = hybrid::seal(id.x25519_public(), id.mlkem768_public(), {}, {}, recording_source);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().kind,
                  fail < 2 ? ErrorKind::KeyMaterialDrawFailed : ErrorKind::RngFailed)
            << "draw " << fail;
    }
}

TEST(HybridCore, RefusedKeysStopBeforeLaterDraws) {
    hybrid::HybridKeyPair id = must_generate();
    const Bytes low_order(32, 0);
    reset_draws();
    auto s = hybrid::seal(low_order, id.mlkem768_public(), {}, {}, recording_source);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind, ErrorKind::KeyRejected);
    EXPECT_EQ(g_draws.sizes, (std::vector<std::size_t>{32}));

    Bytes ek(id.mlkem768_public().begin(), id.mlkem768_public().end());
    ek[0] = 0xFF;
    ek[1] |= 0x0F;
    reset_draws();
    s = hybrid::seal(id.x25519_public(), ek, {}, {}, recording_source);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind, ErrorKind::KeyRejected);
    EXPECT_EQ(g_draws.sizes, (std::vector<std::size_t>{32}));

    // Lengths are checked before anything is drawn.
    reset_draws();
    s = hybrid::seal(Bytes(31), Bytes(1183), {}, {}, recording_source);
    ASSERT_FALSE(s);
    EXPECT_EQ(format_message(s.error()),
              "x25519 public key: expected 32 bytes, got 31 \u00b7 esperava 32 bytes, recebeu 31");
    EXPECT_TRUE(g_draws.sizes.empty());
}

TEST(HybridCore, OpeningChecksInOrder) {
    hybrid::HybridKeyPair id = must_generate();
    reset_draws();
    auto s =
        hybrid::seal(id.x25519_public(), id.mlkem768_public(), bytes_of("p"), {}, recording_source);
    ASSERT_TRUE(s);
    const Bytes enc(s->encapsulation.begin(), s->encapsulation.end());
    const Bytes nonce(s->nonce.begin(), s->nonce.end());

    // A wrong nonce length is only seen after both key agreements.
    auto r = id.open(enc, Bytes(11), s->ciphertext, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(format_message(r.error()),
              "aes-gcm nonce: expected 12 bytes, got 11 \u00b7 esperava 12 bytes, recebeu 11");
    // A low-order E fails as an opening failure, before the nonce is looked at.
    Bytes zero_e = enc;
    std::fill(zero_e.begin(), zero_e.begin() + 32, 0);
    r = id.open(zero_e, Bytes(11), s->ciphertext, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::OpenFailed);

    id.wipe();
    EXPECT_TRUE(id.is_wiped());
    r = id.open(Bytes(1119), nonce, s->ciphertext, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::WrongLength);
    r = id.open(enc, nonce, s->ciphertext, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Wiped);
    EXPECT_FALSE(id.export_mlkem768_secret());
}

TEST(HybridCore, StoredSecretIsCheckedAgainAtEveryOpening) {
    EXPECT_EQ(hybrid::check_mlkem_secret(Bytes(2399)).error().kind, ErrorKind::KeyRejected);
    hybrid::HybridKeyPair id = must_generate();
    auto dk = id.export_mlkem768_secret();
    ASSERT_TRUE(dk);
    auto bytes = dk->bytes();
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(hybrid::check_mlkem_secret(*bytes));
    Bytes damaged(bytes->begin(), bytes->end());
    damaged[2336] ^= 1;
    EXPECT_EQ(hybrid::check_mlkem_secret(damaged).error().kind, ErrorKind::KeyRejected);
}

TEST(HybridCore, FailedFromSecretPartsLeavesNoRegion) {
    const auto before = read_counters().live_secrets;
    Bytes dk(2400, 0);
    auto r =
        hybrid::HybridKeyPair::from_secret_parts(Bytes(32), dk);  // hash of zeros does not match
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::KeyRejected);
    EXPECT_EQ(read_counters().live_secrets, before);
    {
        hybrid::HybridKeyPair id = must_generate();
        EXPECT_EQ(read_counters().live_secrets, before + 2);
    }
    EXPECT_EQ(read_counters().live_secrets, before);
}

TEST(HybridCore, DerivationCoversTheWholeEncapsulation) {
    std::uint8_t x[32] = {1}, k[32] = {2}, enc[hybrid::ENCAPSULATION_BYTES] = {};
    std::uint8_t a[32], b[32];
    hybrid::derive_seal_key(x, k, enc, a);
    for (std::size_t i :
         {std::size_t{0}, std::size_t{31}, std::size_t{32}, hybrid::ENCAPSULATION_BYTES - 1}) {
        enc[i] ^= 0x80;
        hybrid::derive_seal_key(x, k, enc, b);
        enc[i] ^= 0x80;
        EXPECT_NE(Bytes(a, a + 32), Bytes(b, b + 32)) << "byte " << i;
    }
    // Both shared secrets enter, in that order.
    hybrid::derive_seal_key(k, x, enc, b);
    EXPECT_NE(Bytes(a, a + 32), Bytes(b, b + 32));
}

}  // namespace
}  // namespace velmora
