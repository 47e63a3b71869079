// The stream construction below the interpreter: the three primitives (both back
// ends of ChaCha20 and Poly1305 held against known answers and each other), the
// state derivation, chunks against libsodium's published construction in both
// directions, failed opens that change nothing, and the chunk-counter wrap that
// forces a rekey.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "crypto/chacha20.h"
#include "crypto/hchacha20.h"
#include "crypto/poly1305.h"
#include "error/error.h"
#include "locked/counters.h"
#include "locked/region.h"
#include "secretstream/secretstream.h"
#include "vectors.h"

namespace velmora {
namespace {

using testing::Bytes;
using testing::hex;
using testing::to_hex;
namespace ss = secretstream;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    std::uint32_t x = 0x9E3779B9u * (seed + 1u);
    for (auto& v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<std::uint8_t>(x);
    }
    return b;
}

// Message lengths on both sides of the libcrypto threshold and of block edges.
const std::size_t LENGTHS[] = {0,
                               1,
                               15,
                               16,
                               17,
                               63,
                               64,
                               65,
                               127,
                               128,
                               1000,
                               crypto::CHACHA20_BULK_BYTES - 1,
                               crypto::CHACHA20_BULK_BYTES,
                               crypto::CHACHA20_BULK_BYTES + 1,
                               5000,
                               70000};

// --- primitives ------------------------------------------------------------------

TEST(HChaCha20, KnownAnswer) {
    // The HChaCha20 test vector of the XChaCha20 draft (section 2.2.1).
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes input = hex("000000090000004a0000000031415927");
    std::uint8_t out[32];
    crypto::hchacha20(out, key.data(), input.data());
    EXPECT_EQ(to_hex(out, 32), "82413b4227b27bfed30e42508a877d73a0f9e4d58a74a853c12ec41326d3ecdc");
}

TEST(ChaCha20, Rfc8439EncryptionVector) {
    // RFC 8439 section 2.4.2: counter 1, the "sunscreen" plaintext (114 bytes).
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes nonce = hex("000000000000004a00000000");
    const std::string text =
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
        "future, sunscreen would be it.";
    const std::string want =
        "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0bf91b65c5524733ab8f593d"
        "abcd62b3571639d624e65152ab8f530c359f0861d807ca0dbf500d6a6156a38e088a22b65e52bc514d16cc"
        "f806818ce91ab77937365af90bbf74a35be6b40b8eedf2785e42874d";
    Bytes in(text.begin(), text.end());
    Bytes out(in.size());

    crypto::detail::chacha20_xor_sodium(out.data(), in.data(), in.size(), key.data(), nonce.data(),
                                        1);
    EXPECT_EQ(to_hex(out), want);
    std::fill(out.begin(), out.end(), 0);
    ASSERT_TRUE(crypto::detail::chacha20_xor_libcrypto(out.data(), in.data(), in.size(), key.data(),
                                                       nonce.data(), 1));
    EXPECT_EQ(to_hex(out), want);
}

// Both back ends, at every length around block edges, from block counters that
// include the last ones before the 32-bit counter wraps, out of place and in place.
TEST(ChaCha20, BackEndsAgree) {
    const Bytes key = pattern(32, 1);
    const Bytes nonce = pattern(12, 2);
    for (std::uint32_t first : {0u, 1u, 2u, 0xFFFFFF00u}) {
        for (std::size_t len : LENGTHS) {
            if (!crypto::chacha20_fits(first, len)) continue;
            const Bytes in = pattern(len, 3);
            Bytes a(len), b(len), c(in);
            crypto::detail::chacha20_xor_sodium(a.data(), in.data(), len, key.data(), nonce.data(),
                                                first);
            ASSERT_TRUE(crypto::detail::chacha20_xor_libcrypto(b.data(), in.data(), len, key.data(),
                                                               nonce.data(), first));
            crypto::chacha20_xor(c.data(), c.data(), len, key.data(), nonce.data(), first);
            EXPECT_EQ(a, b) << "first block " << first << ", " << len << " bytes";
            EXPECT_EQ(a, c) << "in place, first block " << first << ", " << len << " bytes";
        }
    }
}

TEST(ChaCha20, LastBlockAndNoFurther) {
    const Bytes key = pattern(32, 4);
    const Bytes nonce = pattern(12, 5);
    // Block 2^32 - 1 is the last one; libcrypto and libsodium agree on it.
    Bytes a(64), b(64);
    crypto::chacha20_keystream(a.data(), 64, key.data(), nonce.data(), 0xFFFFFFFFu);
    const Bytes zeros(64);
    ASSERT_TRUE(crypto::detail::chacha20_xor_libcrypto(b.data(), zeros.data(), 64, key.data(),
                                                       nonce.data(), 0xFFFFFFFFu));
    EXPECT_EQ(a, b);
    // 2560 bytes (libcrypto) ending exactly at the last block.
    const std::uint32_t first = 0xFFFFFFFFu - 39;
    Bytes c(2560), d(2560);
    crypto::chacha20_keystream(c.data(), c.size(), key.data(), nonce.data(), first);
    crypto::detail::chacha20_xor_sodium(d.data(), Bytes(2560).data(), 2560, key.data(),
                                        nonce.data(), first);
    EXPECT_EQ(c, d);
    EXPECT_EQ(Bytes(c.end() - 64, c.end()), a);

    // One byte more would wrap the counter: a broken contract, the process stops
    // before anything is written.
    Bytes e(65, 0xAA);
    EXPECT_DEATH(
        crypto::chacha20_xor(e.data(), e.data(), 65, key.data(), nonce.data(), 0xFFFFFFFFu),
        "runs past the 32-bit block counter");
    EXPECT_EQ(e, Bytes(65, 0xAA));
    // From block 2, blocks 2 .. 2^32 - 1 are available.
    EXPECT_TRUE(crypto::chacha20_fits(2, 64 * ((std::uint64_t{1} << 32) - 2)));
    EXPECT_FALSE(crypto::chacha20_fits(2, 64 * ((std::uint64_t{1} << 32) - 2) + 1));
}

TEST(Poly1305, Rfc8439Vector) {
    // RFC 8439 section 2.5.2.
    const Bytes key = hex("85d6be7857556d337f4452fe42d506a80103808afb0db2fd4abff6af4149f51b");
    const std::string text = "Cryptographic Forum Research Group";
    const std::string want = "a8061dc1305136c6c22b8baf0c0127a9";
    for (auto backend : {crypto::Poly1305::Backend::Sodium, crypto::Poly1305::Backend::Libcrypto}) {
        crypto::Poly1305 mac(key.data(), backend);
        EXPECT_EQ(mac.on_libcrypto(), backend == crypto::Poly1305::Backend::Libcrypto);
        mac.update(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        std::uint8_t tag[16];
        mac.finish(tag);
        EXPECT_EQ(to_hex(tag, 16), want);
    }
}

// Incremental updates split at odd places give the one-shot tag on both back ends.
TEST(Poly1305, BackEndsAgreeIncrementally) {
    const Bytes key = pattern(32, 6);
    for (std::size_t len : LENGTHS) {
        const Bytes msg = pattern(len, 7);
        std::uint8_t one_shot[16];
        crypto::poly1305(one_shot, msg.data(), len, key.data());
        for (auto backend :
             {crypto::Poly1305::Backend::Sodium, crypto::Poly1305::Backend::Libcrypto}) {
            crypto::Poly1305 mac(key.data(), backend);
            std::size_t done = 0;
            for (std::size_t step = 1; done < len; step = step * 3 + 1) {
                const std::size_t n = std::min(step, len - done);
                mac.update(msg.data() + done, n);
                done += n;
            }
            std::uint8_t tag[16];
            mac.finish(tag);
            EXPECT_EQ(to_hex(tag, 16), to_hex(one_shot, 16)) << len << " bytes";
        }
    }
}

// A second MAC on the same thread while the first holds the thread's libcrypto
// context falls back to libsodium instead of sharing the context.
TEST(Poly1305, NestedUseDoesNotShareTheContext) {
    const Bytes k1 = pattern(32, 8), k2 = pattern(32, 9), msg = pattern(3000, 10);
    crypto::Poly1305 outer(k1.data());
    ASSERT_TRUE(outer.on_libcrypto());
    outer.update(msg.data(), 1000);
    {
        crypto::Poly1305 inner(k2.data());
        EXPECT_FALSE(inner.on_libcrypto());
        inner.update(msg.data(), msg.size());
        std::uint8_t t[16], want[16];
        inner.finish(t);
        crypto::Poly1305 ref(k2.data(), crypto::Poly1305::Backend::Sodium);
        ref.update(msg.data(), msg.size());
        ref.finish(want);
        EXPECT_EQ(to_hex(t, 16), to_hex(want, 16));
    }
    outer.update(msg.data() + 1000, msg.size() - 1000);
    std::uint8_t t[16], want[16];
    outer.finish(t);
    crypto::poly1305(want, msg.data(), msg.size(), k1.data());
    EXPECT_EQ(to_hex(t, 16), to_hex(want, 16));
    // The context is free again.
    crypto::Poly1305 again(k1.data());
    EXPECT_TRUE(again.on_libcrypto());
}

// Misuse inside the module is a broken contract: the process stops with the
// reason instead of returning a value nobody checks.
TEST(Contracts, MisuseStopsTheProcess) {
    const Bytes key = pattern(32, 12);
    EXPECT_DEATH(
        {
            crypto::Poly1305 mac(key.data());
            std::uint8_t tag[16];
            mac.finish(tag);
            mac.finish(tag);
        },
        "Poly1305 finished twice");
    Bytes state(ss::STATE_BYTES), chunk(4 + ss::ABYTES);
    const Bytes m(3);
    EXPECT_DEATH((void)ss::seal_chunk(state, m, {}, 0, chunk), "secretstream chunk length");
    // A state of another length, wherever it is handed in.
    const std::span<std::uint8_t> short_state(state.data(), ss::STATE_BYTES - 1);
    EXPECT_DEATH(ss::rekey(short_state), "secretstream state length");
    EXPECT_DEATH((void)ss::init_state(short_state, Bytes(32), Bytes(24)),
                 "secretstream state length");
    EXPECT_DEATH(ss::seal_chunk(short_state, m, {}, 0, chunk), "secretstream state length");
    Bytes out(3);
    EXPECT_DEATH((void)ss::open_chunk(short_state, chunk, {}, out), "secretstream state length");
}

// --- the construction against libsodium's ---------------------------------------------

using SodiumState = crypto_secretstream_xchacha20poly1305_state;

struct Streams {
    Bytes key = pattern(32, 11);
    Bytes header;
    Bytes ours = Bytes(ss::STATE_BYTES);
    SodiumState theirs{};

    // Their writer picks the header; our state is derived from it.
    static Streams from_their_writer() {
        Streams s;
        s.header.resize(ss::HEADER_BYTES);
        EXPECT_EQ(crypto_secretstream_xchacha20poly1305_init_push(&s.theirs, s.header.data(),
                                                                  s.key.data()),
                  0);
        EXPECT_TRUE(ss::init_state(s.ours, s.key, s.header));
        return s;
    }
    // Our writer's header (any 24 bytes); their reader starts from it.
    static Streams for_their_reader() {
        Streams s;
        s.header = pattern(ss::HEADER_BYTES, 12);
        EXPECT_TRUE(ss::init_state(s.ours, s.key, s.header));
        EXPECT_EQ(crypto_secretstream_xchacha20poly1305_init_pull(&s.theirs, s.header.data(),
                                                                  s.key.data()),
                  0);
        return s;
    }
    // Their state opens with the same 44 bytes as ours (key, counter, nonce tail).
    std::uint8_t* their_bytes() { return reinterpret_cast<std::uint8_t*>(&theirs); }
    Bytes their_prefix() { return Bytes(their_bytes(), their_bytes() + ss::STATE_BYTES); }
    void set_counter(std::uint32_t c) {
        for (int i = 0; i < 4; ++i) {
            ours[ss::STATE_COUNTER + i] = static_cast<std::uint8_t>(c >> (8 * i));
            their_bytes()[ss::STATE_COUNTER + i] = static_cast<std::uint8_t>(c >> (8 * i));
        }
    }
};

Bytes seal(Bytes& state, const Bytes& m, const Bytes& ad, std::uint8_t tag) {
    Bytes chunk(m.size() + ss::ABYTES);
    ss::seal_chunk(state, m, ad, tag, chunk);
    return chunk;
}

Bytes their_push(SodiumState& st, const Bytes& m, const Bytes& ad, std::uint8_t tag) {
    Bytes chunk(m.size() + ss::ABYTES);
    unsigned long long clen = 0;
    EXPECT_EQ(crypto_secretstream_xchacha20poly1305_push(&st, chunk.data(), &clen, m.data(),
                                                         m.size(), ad.empty() ? nullptr : ad.data(),
                                                         ad.size(), tag),
              0);
    EXPECT_EQ(clen, chunk.size());
    return chunk;
}

TEST(SecretStream, StateDerivationMatchesThePublishedConstruction) {
    Streams s = Streams::from_their_writer();
    EXPECT_EQ(to_hex(s.ours), to_hex(s.their_prefix()));
    EXPECT_EQ(Bytes(s.ours.begin() + ss::STATE_COUNTER, s.ours.begin() + ss::STATE_INONCE),
              (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(Bytes(s.ours.begin() + ss::STATE_INONCE, s.ours.end()),
              Bytes(s.header.begin() + 16, s.header.end()));
}

// Chunks sealed here are byte-identical to theirs and open there, for every tag,
// associated-data padding case and message length on both sides of the back-end
// threshold; the states stay equal all along.
TEST(SecretStream, SealsWhatTheyOpen) {
    Streams s = Streams::for_their_reader();
    SodiumState writer;  // their writer on the same state, to compare bytes
    std::memcpy(&writer, &s.theirs, sizeof writer);
    int i = 0;
    for (std::size_t len : LENGTHS) {
        for (std::size_t ad_len : {0u, 16u, 17u, 100u}) {
            const std::uint8_t tag = static_cast<std::uint8_t>(i++ % 3);  // 0, 1, 2
            const Bytes m = pattern(len, 13), ad = pattern(ad_len, 14);
            const Bytes chunk = seal(s.ours, m, ad, tag);
            EXPECT_EQ(to_hex(chunk), to_hex(their_push(writer, m, ad, tag)))
                << len << " bytes, ad " << ad_len << ", tag " << int(tag);
            Bytes out(len + 1);
            unsigned long long mlen = 0;
            unsigned char got_tag = 0xFF;
            ASSERT_EQ(crypto_secretstream_xchacha20poly1305_pull(
                          &s.theirs, out.data(), &mlen, &got_tag, chunk.data(), chunk.size(),
                          ad.empty() ? nullptr : ad.data(), ad.size()),
                      0)
                << len << " bytes, ad " << ad_len;
            EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(mlen)), m);
            EXPECT_EQ(got_tag, tag);
            EXPECT_EQ(to_hex(s.ours), to_hex(s.their_prefix()));
        }
    }
    const Bytes last = seal(s.ours, pattern(10, 15), {}, ss::TAG_FINAL);
    EXPECT_EQ(to_hex(last), to_hex(their_push(writer, pattern(10, 15), {}, ss::TAG_FINAL)));
}

TEST(SecretStream, OpensWhatTheySeal) {
    Streams s = Streams::from_their_writer();
    int i = 0;
    for (std::size_t len : LENGTHS) {
        for (std::size_t ad_len : {0u, 16u, 17u, 100u}) {
            const std::uint8_t tag = static_cast<std::uint8_t>(i++ % 4);  // 0, 1, 2, 3
            const Bytes m = pattern(len, 16), ad = pattern(ad_len, 17);
            const Bytes chunk = their_push(s.theirs, m, ad, tag);
            Bytes out(len, 0xEE);
            auto got = ss::open_chunk(s.ours, chunk, ad, out);
            ASSERT_TRUE(got) << len << " bytes, ad " << ad_len << ": "
                             << format_message(got.error());
            EXPECT_EQ(*got, tag);
            EXPECT_EQ(out, m);
            EXPECT_EQ(to_hex(s.ours), to_hex(s.their_prefix()));
        }
    }
}

// Sealing and opening in place (the message inside the chunk buffer) give the
// same bytes as out of place.
TEST(SecretStream, InPlaceMatchesOutOfPlace) {
    for (std::size_t len : {std::size_t{0}, std::size_t{33}, std::size_t{4096 + 7}}) {
        Streams a = Streams::for_their_reader();
        Bytes b_state = a.ours;
        const Bytes m = pattern(len, 18), ad = pattern(5, 19);
        const Bytes expected = seal(a.ours, m, ad, ss::TAG_MESSAGE);

        Bytes chunk(len + ss::ABYTES);
        std::copy(m.begin(), m.end(), chunk.begin() + 1);
        ss::seal_chunk(b_state, std::span<const std::uint8_t>(chunk.data() + 1, len), ad,
                       ss::TAG_MESSAGE, chunk);
        EXPECT_EQ(chunk, expected);

        Bytes reader = Streams::for_their_reader().ours;
        auto tag = ss::open_chunk_parts(reader, chunk[0],
                                        std::span<const std::uint8_t>(chunk.data() + 1, len),
                                        std::span<const std::uint8_t>(chunk.data() + 1 + len, 16),
                                        ad, std::span<std::uint8_t>(chunk.data() + 1, len));
        ASSERT_TRUE(tag);
        EXPECT_EQ(Bytes(chunk.begin() + 1, chunk.begin() + 1 + static_cast<long>(len)), m);
    }
}

// --- failures change nothing ------------------------------------------------------

struct Corruption {
    const char* name;
    void (*apply)(Bytes& chunk, Bytes& ad);
};

const Corruption CORRUPTIONS[] = {
    {"tag byte", [](Bytes& c, Bytes&) { c[0] ^= 0x01; }},
    {"ciphertext", [](Bytes& c, Bytes&) { c[5] ^= 0x80; }},
    {"mac", [](Bytes& c, Bytes&) { c.back() ^= 0x01; }},
    {"truncated", [](Bytes& c, Bytes&) { c.pop_back(); }},
    {"extended", [](Bytes& c, Bytes&) { c.push_back(0); }},
    {"shorter than 17", [](Bytes& c, Bytes&) { c.resize(16); }},
    {"empty", [](Bytes& c, Bytes&) { c.clear(); }},
    {"other ad", [](Bytes&, Bytes& ad) { ad[0] ^= 1; }},
    {"no ad", [](Bytes&, Bytes& ad) { ad.clear(); }},
};

TEST(SecretStream, FailedOpenChangesNothing) {
    for (const Corruption& k : CORRUPTIONS) {
        Streams s = Streams::for_their_reader();
        Bytes writer = s.ours;
        const Bytes m = pattern(40, 20), good_ad = pattern(3, 21);
        const Bytes chunk = seal(writer, m, good_ad, ss::TAG_MESSAGE);

        Bytes bad = chunk, ad = good_ad;
        k.apply(bad, ad);
        const Bytes before = s.ours;
        const std::size_t out_len = bad.size() >= ss::ABYTES ? bad.size() - ss::ABYTES : 0;
        Bytes out(out_len, 0x5A);
        auto failed = ss::open_chunk(s.ours, bad, ad, out);
        ASSERT_FALSE(failed) << k.name;
        EXPECT_EQ(failed.error().kind, ErrorKind::OpenFailed) << k.name;
        EXPECT_EQ(s.ours, before) << k.name;
        EXPECT_EQ(out, Bytes(out_len, 0x5A)) << k.name << ": nothing written";

        Bytes good_out(m.size());
        auto ok = ss::open_chunk(s.ours, chunk, good_ad, good_out);
        ASSERT_TRUE(ok) << k.name;
        EXPECT_EQ(good_out, m);
    }
}

TEST(SecretStream, LengthErrorsInOrder) {
    Bytes state(ss::STATE_BYTES);
    // Compared through the message: the labels are compared by text, not address.
    auto check = [&](Status s, const char* what, std::uint64_t expected, std::uint64_t got) {
        ASSERT_FALSE(s);
        EXPECT_EQ(format_message(s.error()),
                  format_message(EnclaveError::wrong_length(what, expected, got)));
    };
    // The key is looked at before the header.
    check(ss::init_state(state, Bytes(16), Bytes(23)), "secretstream key", 32, 16);
    check(ss::init_state(state, Bytes(32), Bytes(23)), "secretstream header", 24, 23);
    EXPECT_EQ(format_message(EnclaveError::wrong_length("secretstream key", 32, 16)),
              "secretstream key: expected 32 bytes, got 16 · esperava 32 bytes, recebeu 16");

    // A failed new_state leaves no region behind.
    const auto live = read_counters().live_secrets;
    auto r = ss::new_state(Bytes(31), Bytes(24));
    ASSERT_FALSE(r);
    EXPECT_EQ(format_message(r.error()),
              "secretstream key: expected 32 bytes, got 31 · esperava 32 bytes, recebeu 31");
    EXPECT_EQ(read_counters().live_secrets, live);
}

TEST(SecretStream, NewStateLivesInALockedRegion) {
    const Bytes key = pattern(32, 22), header = pattern(24, 23);
    auto region = ss::new_state(key, header);
    ASSERT_TRUE(region);
    EXPECT_EQ(region->len(), ss::STATE_BYTES);
    Bytes expected(ss::STATE_BYTES);
    ASSERT_TRUE(ss::init_state(expected, key, header));
    auto bytes = region->bytes();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(Bytes(bytes->begin(), bytes->end()), expected);
}

// --- the chunk-counter wrap ----------------------------------------------------------

// With the counter two chunks short of 2^32, the second chunk's advance wraps it
// to 0, which forces a rekey even though its tag is 0. Libsodium's construction,
// set to the same counter, is the independent reference: every chunk and the
// state after each one must match, in both directions.
TEST(SecretStream, CounterWrapForcesRekey) {
    const Bytes ad = pattern(7, 24);
    {
        Streams s = Streams::for_their_reader();
        s.set_counter(0xFFFFFFFEu);
        SodiumState writer;
        std::memcpy(&writer, &s.theirs, sizeof writer);
        for (int i = 0; i < 4; ++i) {
            const Bytes before = s.ours;
            const Bytes m = pattern(100 + i, static_cast<std::uint8_t>(25 + i));
            const Bytes chunk = seal(s.ours, m, ad, ss::TAG_MESSAGE);
            EXPECT_EQ(to_hex(chunk), to_hex(their_push(writer, m, ad, ss::TAG_MESSAGE)))
                << "chunk " << i;
            EXPECT_EQ(to_hex(s.ours),
                      to_hex(Bytes(reinterpret_cast<std::uint8_t*>(&writer),
                                   reinterpret_cast<std::uint8_t*>(&writer) + ss::STATE_BYTES)))
                << "state after chunk " << i;
            if (i == 1) {
                // Wrapped: the counter restarts at 1 under a new key.
                EXPECT_EQ(
                    Bytes(s.ours.begin() + ss::STATE_COUNTER, s.ours.begin() + ss::STATE_INONCE),
                    (Bytes{1, 0, 0, 0}));
                EXPECT_NE(Bytes(s.ours.begin(), s.ours.begin() + 32),
                          Bytes(before.begin(), before.begin() + 32));
            }
            Bytes out(m.size());
            unsigned long long mlen = 0;
            unsigned char tag = 0xFF;
            ASSERT_EQ(crypto_secretstream_xchacha20poly1305_pull(&s.theirs, out.data(), &mlen, &tag,
                                                                 chunk.data(), chunk.size(),
                                                                 ad.data(), ad.size()),
                      0)
                << "chunk " << i;
            EXPECT_EQ(out, m);
        }
    }
    {
        Streams s = Streams::from_their_writer();
        s.set_counter(0xFFFFFFFFu);
        for (int i = 0; i < 3; ++i) {
            const Bytes m = pattern(3000, static_cast<std::uint8_t>(30 + i));
            const Bytes chunk = their_push(s.theirs, m, ad, ss::TAG_MESSAGE);
            Bytes out(m.size());
            auto tag = ss::open_chunk(s.ours, chunk, ad, out);
            ASSERT_TRUE(tag) << "chunk " << i;
            EXPECT_EQ(out, m);
            EXPECT_EQ(to_hex(s.ours), to_hex(s.their_prefix())) << "state after chunk " << i;
        }
    }
}

// One whole chunk as the interpreter-facing side moves it: the message placed
// into the chunk buffer and sealed there; the chunk split into its parts and
// opened where its ciphertext was copied. Both against libsodium's ends.
TEST(SecretStream, WholeChunkInPlace) {
    const Bytes ad = pattern(5, 13);
    Streams w = Streams::for_their_reader();
    for (std::size_t len : {0u, 1u, 200u}) {
        const Bytes m = pattern(len, static_cast<std::uint8_t>(len));
        Bytes chunk(len + ss::ABYTES);
        std::span<std::uint8_t> placed = ss::chunk_message(chunk);
        ASSERT_EQ(placed.size(), len);
        std::copy(m.begin(), m.end(), placed.begin());
        ss::seal_chunk_in_place(w.ours, ad, ss::TAG_MESSAGE, chunk);
        Bytes out(len);
        unsigned long long mlen = 0;
        unsigned char tag = 0xFF;
        ASSERT_EQ(crypto_secretstream_xchacha20poly1305_pull(&w.theirs, out.data(), &mlen, &tag,
                                                             chunk.data(), chunk.size(), ad.data(),
                                                             ad.size()),
                  0);
        EXPECT_EQ(out, m);
    }

    Streams r = Streams::from_their_writer();
    for (std::size_t len : {0u, 1u, 200u}) {
        const Bytes m = pattern(len, static_cast<std::uint8_t>(len + 1));
        const std::uint8_t sent = len == 200 ? ss::TAG_FINAL : ss::TAG_MESSAGE;
        const Bytes chunk = their_push(r.theirs, m, ad, sent);
        ASSERT_EQ(ss::chunk_message_size(chunk.size()), len);
        Bytes message(len);
        const ss::SplitChunk parts = ss::split_chunk(chunk, message);
        auto tag = ss::open_split_chunk(r.ours, parts, ad, message);
        ASSERT_TRUE(tag);
        EXPECT_EQ(*tag, sent);
        EXPECT_EQ(message, m);
    }
    // Lengths no writer makes.
    EXPECT_EQ(ss::chunk_message_size(ss::ABYTES - 1), std::nullopt);
    EXPECT_EQ(ss::chunk_message_size(ss::MESSAGE_MAX + ss::ABYTES), ss::MESSAGE_MAX);
    EXPECT_EQ(ss::chunk_message_size(ss::MESSAGE_MAX + ss::ABYTES + 1), std::nullopt);
}

// The rekey itself, written out from its definition with libsodium's raw
// ChaCha20: new key | new nonce tail = (key | nonce tail) XOR block 0.
TEST(SecretStream, RekeyFromItsDefinition) {
    Bytes state = pattern(ss::STATE_BYTES, 40);
    Bytes t(state.begin(), state.begin() + 32);
    t.insert(t.end(), state.begin() + ss::STATE_INONCE, state.end());
    Bytes block(64);
    crypto_stream_chacha20_ietf(block.data(), block.size(), state.data() + ss::STATE_NONCE,
                                state.data());
    for (std::size_t i = 0; i < t.size(); ++i) t[i] ^= block[i];

    ss::rekey(state);
    EXPECT_EQ(Bytes(state.begin(), state.begin() + 32), Bytes(t.begin(), t.begin() + 32));
    EXPECT_EQ(Bytes(state.begin() + ss::STATE_COUNTER, state.begin() + ss::STATE_INONCE),
              (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(Bytes(state.begin() + ss::STATE_INONCE, state.end()), Bytes(t.begin() + 32, t.end()));
}

TEST(SecretStream, MessageLimit) {
    EXPECT_EQ(ss::MESSAGE_MAX, 274877906752ull);
    EXPECT_TRUE(ss::message_fits(ss::MESSAGE_MAX));
    EXPECT_FALSE(ss::message_fits(ss::MESSAGE_MAX + 1));
    // The longest message's key stream stops one block short of the last one.
    EXPECT_TRUE(crypto::chacha20_fits(2, ss::MESSAGE_MAX + 64));
    EXPECT_FALSE(crypto::chacha20_fits(2, ss::MESSAGE_MAX + 65));
}

}  // namespace
}  // namespace velmora
