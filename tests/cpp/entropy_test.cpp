// The entropy pool's generator: blocks from fresh OS bytes, the seed and the
// counter, and a failed draw leaving the state alone.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crypto/sha256.h"
#include "entropy/pool.h"
#include "vectors.h"

namespace {

using velmora::ErrorKind;
using velmora::testing::Bytes;
using velmora::testing::to_hex;

Bytes ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }

// --- entropy pool generator ---------------------------------------------------------------

// A deterministic source: byte i of the stream is i mod 251.
std::size_t g_drawn = 0;
velmora::Status counting_source(std::span<std::uint8_t> out) {
    for (auto& b : out) b = static_cast<std::uint8_t>(g_drawn++ % 251);
    return {};
}
velmora::Status failing_source(std::span<std::uint8_t>) { return ErrorKind::RngFailed; }

TEST(EntropyPool, BlocksAreDigestsOfFreshBytesSeedAndCounter) {
    std::array<std::uint8_t, 40> state{};
    std::array<std::uint8_t, 32> seed_digest;
    velmora::crypto::sha256(ascii("seed"), seed_digest);
    velmora::entropy::reseed(state, seed_digest);
    // Start the counter near the top to see it wrap.
    for (int i = 32; i < 40; ++i) state[i] = 0xff;
    state[39] = 0xfe;

    g_drawn = 0;
    Bytes out(70);  // two whole blocks and a partial one
    ASSERT_TRUE(velmora::entropy::generate(state, out, counting_source));
    EXPECT_EQ(g_drawn, 96u);
    EXPECT_EQ(velmora::entropy::block_counter(state), 1u);  // 2^64 - 2 + 3, modulo 2^64

    // Whole blocks are drawn first (in one call), the partial block's r after.
    const std::uint64_t counters[3] = {0xfffffffffffffffeULL, 0xffffffffffffffffULL, 0};
    for (int block = 0; block < 3; ++block) {
        Bytes r(32);
        for (int i = 0; i < 32; ++i) r[i] = static_cast<std::uint8_t>((32 * block + i) % 251);
        Bytes c(8);
        for (int i = 0; i < 8; ++i)
            c[i] = static_cast<std::uint8_t>(counters[block] >> (56 - 8 * i));
        std::array<std::uint8_t, 32> d;
        velmora::crypto::sha256(r, seed_digest, c, d);
        const std::size_t take = block == 2 ? 6 : 32;
        EXPECT_EQ(to_hex(out.data() + 32 * block, take), to_hex(d.data(), take)) << block;
    }
}

TEST(EntropyPool, FailureOrNothingToDoLeavesTheStateAlone) {
    std::array<std::uint8_t, 40> state{};
    state[39] = 5;
    const auto before = state;
    Bytes out(65);
    EXPECT_EQ(velmora::entropy::generate(state, out, failing_source).error().kind,
              ErrorKind::RngFailed);
    EXPECT_EQ(state, before);
    g_drawn = 0;
    EXPECT_TRUE(velmora::entropy::generate(state, std::span<std::uint8_t>(), counting_source));
    EXPECT_EQ(g_drawn, 0u);
    EXPECT_EQ(state, before);
    // Counter advance is ceil(n / 32).
    for (auto [n, advance] : {std::pair{1, 1}, {32, 1}, {33, 2}, {64, 2}, {65, 3}}) {
        std::array<std::uint8_t, 40> s{};
        Bytes o(n);
        ASSERT_TRUE(velmora::entropy::generate(s, o, counting_source));
        EXPECT_EQ(velmora::entropy::block_counter(s), static_cast<std::uint64_t>(advance)) << n;
    }
}

}  // namespace
