// The openings of sealed forms behind SecretBox's methods (secret_box/sealed_open.h):
// content opened in place or through the output, the output asked for only
// after the sizes pass and wiped on a tag mismatch, and one JSON member opened
// into a locked region.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/aes_gcm.h"
#include "secret_box/sealed_open.h"
#include "vectors.h"

namespace {

using velmora::ErrorKind;
using velmora::Result;
using velmora::testing::Bytes;
namespace gcm = velmora::crypto::aes_gcm;
namespace box = velmora::box;

const Bytes KEY(32, 0x42);
const Bytes NONCE(12, 0x07);
const Bytes AAD = {1, 2, 3};

Bytes sealed_of(const Bytes& plaintext) {
    auto s = gcm::seal(KEY, NONCE, AAD, plaintext);
    EXPECT_TRUE(s);
    return *s;
}

// An output buffer that counts how often it was asked for.
struct Out {
    std::vector<std::uint8_t> buf;
    int asked = 0;
    Result<std::uint8_t*> operator()(std::size_t n) {
        ++asked;
        buf.assign(n, 0xEE);
        return buf.data();
    }
};

TEST(SealedOpen, ContentOpensFromEitherKindOfInput) {
    for (std::size_t len : {0u, 1u, 17u, 4096u}) {
        Bytes plaintext(len);
        for (std::size_t i = 0; i < len; ++i) plaintext[i] = static_cast<std::uint8_t>(i * 7);
        const Bytes sealed = sealed_of(plaintext);
        for (auto input : {box::SealedInput::Stable, box::SealedInput::Shared}) {
            Out out;
            ASSERT_TRUE(box::open_sealed(KEY, NONCE, AAD, sealed, input, out)) << len;
            EXPECT_EQ(out.asked, 1);
            EXPECT_EQ(out.buf, plaintext) << len;
        }
    }
}

TEST(SealedOpen, RefusalsInOrderAndTheOutputWipedOnAMismatch) {
    const Bytes sealed = sealed_of(Bytes(40, 9));
    for (auto input : {box::SealedInput::Stable, box::SealedInput::Shared}) {
        Out out;
        // Sizes are refused before the output is asked for.
        auto s = box::open_sealed(Bytes(31), NONCE, AAD, sealed, input, out);
        EXPECT_EQ(s.error().kind, ErrorKind::WrongLength);
        s = box::open_sealed(KEY, Bytes(11), AAD, sealed, input, out);
        EXPECT_EQ(s.error().kind, ErrorKind::WrongLength);
        s = box::open_sealed(KEY, NONCE, AAD, Bytes(15), input, out);
        EXPECT_EQ(s.error().kind, ErrorKind::OpenFailed);
        EXPECT_EQ(out.asked, 0);
        // A wrong tag: the output held unverified plaintext and is zeroed.
        Bytes tampered = sealed;
        tampered.back() ^= 1;
        s = box::open_sealed(KEY, NONCE, AAD, tampered, input, out);
        EXPECT_EQ(s.error().kind, ErrorKind::OpenFailed);
        EXPECT_EQ(out.buf, Bytes(40, 0));
    }
    // The output's own error comes back unchanged.
    auto refusing = [](std::size_t) -> Result<std::uint8_t*> {
        return ErrorKind::AllocationFailed;
    };
    auto s = box::open_sealed(KEY, NONCE, AAD, sealed, box::SealedInput::Stable, refusing);
    EXPECT_EQ(s.error().kind, ErrorKind::AllocationFailed);
}

TEST(SealedOpen, JsonFieldOpensIntoARegion) {
    const std::string json = R"({"seed":"QUJD","other":1})";
    const Bytes sealed = sealed_of(Bytes(json.begin(), json.end()));
    velmora::ZeroizingBuffer buffer = velmora::ZeroizingBuffer::copy_of(sealed);
    auto region = box::open_json_field(KEY, NONCE, AAD, buffer.span(), "seed");
    ASSERT_TRUE(region);
    auto bytes = region->bytes();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(Bytes(bytes->begin(), bytes->end()), (Bytes{'A', 'B', 'C'}));

    // Errors in stage order: the tag, then the reader's.
    buffer = velmora::ZeroizingBuffer::copy_of(sealed);
    buffer[0] ^= 1;
    EXPECT_EQ(box::open_json_field(KEY, NONCE, AAD, buffer.span(), "seed").error().kind,
              ErrorKind::OpenFailed);
    buffer = velmora::ZeroizingBuffer::copy_of(sealed);
    auto missing = box::open_json_field(KEY, NONCE, AAD, buffer.span(), "absent");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Malformed);
    EXPECT_STREQ(missing.error().what, "json field");
}

}  // namespace
