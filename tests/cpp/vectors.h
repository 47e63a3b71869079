// Test-vector files read at run time: where they are, how to load one, and hex.
//
// The folder is <repo>/tests/vectors/wycheproof, which the repository carries.
// A file that is missing, unreadable or not JSON fails the test:
//
//   TEST(Aes, Wycheproof) {
//       VELMORA_LOAD_VECTORS(doc, "aes_gcm_test.json");
//       velmora::testing::for_each_case(doc, [](const auto& group, const auto& tc) { ... });
//   }
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.h"

namespace velmora::testing {

// Errors compare by their labels' text: the same literal need not have one address.
inline ::testing::AssertionResult same_error(const EnclaveError& got, const EnclaveError& want) {
    const bool labels = (got.what == nullptr && want.what == nullptr) ||
                        (got.what && want.what && std::string_view(got.what) == want.what);
    if (got.kind == want.kind && labels && got.expected == want.expected && got.got == want.got &&
        got.errno_value == want.errno_value)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got \"" << velmora::format_message(got)
                                         << "\", want \"" << velmora::format_message(want) << "\"";
}

using Bytes = std::vector<std::uint8_t>;

inline std::filesystem::path vectors_dir() {
    return std::filesystem::path(VELMORA_SOURCE_DIR) / "tests" / "vectors" / "wycheproof";
}

// Parses <vectors_dir()>/<name> into `doc`. False when the file cannot be read;
// a file that is read but does not parse throws, which fails the test too.
inline bool load_vectors(const std::string& name, rapidjson::Document& doc) {
    const std::filesystem::path path = vectors_dir() / name;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream text;
    text << in.rdbuf();
    const std::string json = text.str();
    doc.Parse(json.c_str(), json.size());
    if (doc.HasParseError()) {
        throw std::runtime_error(path.string() + ": " +
                                 rapidjson::GetParseError_En(doc.GetParseError()) + " at offset " +
                                 std::to_string(doc.GetErrorOffset()));
    }
    return true;
}

#define VELMORA_LOAD_VECTORS(doc, name)                        \
    rapidjson::Document doc;                                   \
    ASSERT_TRUE(::velmora::testing::load_vectors((name), doc)) \
        << "cannot read test vectors " << (::velmora::testing::vectors_dir() / (name))

inline Bytes hex(std::string_view s) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("not a hex digit");
    };
    if (s.size() % 2 != 0) throw std::invalid_argument("odd-length hex string");
    Bytes out(s.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(nibble(s[2 * i]) << 4 | nibble(s[2 * i + 1]));
    }
    return out;
}

inline std::string to_hex(const std::uint8_t* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}
inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }

// Member `key` of a test case as bytes; a missing member is an empty string.
inline Bytes hex_field(const rapidjson::Value& tc, const char* key) {
    const auto it = tc.FindMember(key);
    if (it == tc.MemberEnd()) return {};
    return hex(std::string_view(it->value.GetString(), it->value.GetStringLength()));
}

inline std::string str_field(const rapidjson::Value& tc, const char* key) {
    const auto it = tc.FindMember(key);
    if (it == tc.MemberEnd() || !it->value.IsString()) return {};
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

inline bool has_flag(const rapidjson::Value& tc, std::string_view flag) {
    const auto it = tc.FindMember("flags");
    if (it == tc.MemberEnd()) return false;
    for (const auto& f : it->value.GetArray()) {
        if (flag == std::string_view(f.GetString(), f.GetStringLength())) return true;
    }
    return false;
}

// "valid", "invalid" or "acceptable".
inline std::string result_of(const rapidjson::Value& tc) { return str_field(tc, "result"); }

// A label for failure messages: "tcId 17 (comment)".
inline std::string case_label(const rapidjson::Value& tc) {
    std::string label = "tcId " + std::to_string(tc["tcId"].GetInt());
    const std::string comment = str_field(tc, "comment");
    if (!comment.empty()) label += " (" + comment + ")";
    return label;
}

// Calls fn(group, case) for every case of every group and returns how many
// there were, for comparison with the file's numberOfTests.
template <class Fn>
int for_each_case(const rapidjson::Document& doc, Fn&& fn) {
    int n = 0;
    for (const auto& group : doc["testGroups"].GetArray()) {
        for (const auto& tc : group["tests"].GetArray()) {
            fn(group, tc);
            ++n;
        }
    }
    return n;
}

}  // namespace velmora::testing
