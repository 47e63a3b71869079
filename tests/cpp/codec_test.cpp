// The text codecs: the base64url rule and the JSON field reader (the session
// record reader is tested with the hybrid opening, in hybrid_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/base64url.h"
#include "codec/json_field.h"
#include "vectors.h"

namespace {

using velmora::EnclaveError;
using velmora::testing::hex;
using velmora::testing::same_error;
using velmora::testing::to_hex;

// --- base64url ------------------------------------------------------------------------

velmora::Result<velmora::ZeroizingBuffer> b64(std::string_view s) {
    return velmora::codec::base64url_decode(
        {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
}

TEST(Base64Url, AcceptsTheRule) {
    struct Case {
        const char* text;
        const char* hex;
    } cases[] = {
        {"", ""},           {"=", ""},           {"====", ""},       {"QQ", "41"},
        {"QQ=", "41"},      {"QQ==", "41"},      {"QQ=====", "41"},  {"QUI", "4142"},
        {"QUJD", "414243"}, {"QUJD=", "414243"}, {"-_-_", "fbffbf"}, {"AAAA", "000000"},
        {"_w", "ff"},       {"__8", "ffff"},
    };
    for (const Case& c : cases) {
        auto r = b64(c.text);
        ASSERT_TRUE(r) << c.text;
        EXPECT_EQ(to_hex(r->data(), r->size()), std::string(c.hex).substr(0, 2 * r->size()))
            << c.text;
    }
    // Every one of the 64 symbols decodes to its value.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    for (int v = 0; v < 64; ++v) {
        auto r = b64(std::string(1, alphabet[v]) + "AAA");
        ASSERT_TRUE(r);
        EXPECT_EQ((*r)[0] >> 2, v);
    }
}

TEST(Base64Url, RefusesEverythingElse) {
    for (const char* text : {"Q", "QUJDQ", "QR", "QUJ", "QUK", "Q=Q", "QQ=A", "=QQ", "QQ+A", "QQ/A",
                             "QQ A", "QQ\nA", "QQ\rA", "Q\tQ", "QUJD.", "QUJD==A"}) {
        auto r = b64(text);
        ASSERT_FALSE(r) << text;
        EXPECT_TRUE(same_error(r.error(), EnclaveError::malformed("base64url")));
    }
    // Every byte outside the alphabet, at every position of a group.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    for (int c = 0; c < 256; ++c) {
        if (alphabet.find(static_cast<char>(c)) != std::string::npos) continue;
        for (int pos = 0; pos < 4; ++pos) {
            std::string text = "QUJDQUJD";
            text[4 + pos] = static_cast<char>(c);
            if (c == '=' && pos == 3) continue;  // a trailing '=' run is allowed
            EXPECT_FALSE(b64(text)) << "byte " << c << " at " << pos;
        }
    }
    // Non-zero unused bits in a final group of two or three symbols.
    for (char last : std::string("BCDEFGHIJKLMNOP")) EXPECT_FALSE(b64(std::string("Q") + last));
    for (char last : std::string("BCD")) EXPECT_FALSE(b64(std::string("QU") + last));
}

// --- JSON field -------------------------------------------------------------------------

velmora::Result<velmora::ZeroizingBuffer> field_of(std::string_view json, std::string_view field) {
    velmora::ZeroizingBuffer buf(json.size() + 1);
    if (!json.empty()) std::memcpy(buf.data(), json.data(), json.size());
    return velmora::codec::json_field_base64url(buf.span(), field);
}

std::string nested(int depth) {
    // `depth` levels in all: the top-level object, then arrays.
    return "{\"seed\":\"QUJD\",\"x\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') +
           "}";
}

TEST(JsonField, ParsesInPlaceAndFindsTheLastTopLevelMember) {
    velmora::ZeroizingBuffer buf(std::string_view("{\"seed\":\"QU\\u004aD\"}").size() + 1);
    const std::string_view text = "{\"seed\":\"QU\\u004aD\"}";
    std::memcpy(buf.data(), text.data(), text.size());
    auto r = velmora::codec::json_field_base64url(buf.span(), "seed");
    ASSERT_TRUE(r);
    EXPECT_EQ(std::string(r->data(), r->data() + r->size()), "ABC");
    // Unescaped in place: the escape is gone from the caller's buffer.
    EXPECT_NE(std::string(reinterpret_cast<char*>(buf.data()), text.size()).find("QUJD"),
              std::string::npos);

    EXPECT_TRUE(field_of(nested(127), "seed"));
    const auto malformed_object = EnclaveError::malformed("json object");
    EXPECT_TRUE(same_error(field_of(nested(128), "seed").error(), malformed_object));
    // Far deeper than the limit still fails cleanly (no recursion blow-up).
    EXPECT_TRUE(same_error(field_of(nested(100000), "seed").error(), malformed_object));
    EXPECT_EQ(field_of("{\"a\\u0000b\":\"QQ\"}", std::string_view("a\0b", 3))->size(), 1u);
    // A multi-byte sequence cut short by the end of the text: refused without
    // reading past the buffer (the sanitizer build checks the "without").
    for (const char* cut :
         {"{\"a\":\"\xf0", "{\"a\":\"\xf0\x9f", "{\"a\":\"\xe2", "\xf4", "{\"a\":\"\xf0\x9f\x98"}) {
        EXPECT_TRUE(same_error(field_of(cut, "a").error(), malformed_object)) << cut;
    }
    // The buffer must end with its NUL mark, and a NUL inside the text is refused.
    velmora::ZeroizingBuffer unterminated(4);
    std::memcpy(unterminated.data(), "{}{}", 4);
    EXPECT_FALSE(velmora::codec::json_field_base64url(unterminated.span(), "seed"));
    EXPECT_TRUE(same_error(field_of(std::string_view("{\"seed\":\"QQ\"}\0 ", 14), "seed").error(),
                           malformed_object));
}

}  // namespace
