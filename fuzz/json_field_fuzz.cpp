// libFuzzer target for the sealed-JSON-field reader and the base64url rule.
//
// Each input is used twice:
//  1. as an opened plaintext: the JSON field reader runs on it in place (field
//     "seed"), and anything it returns must be what the rule gives for the
//     member's text;
//  2. as base64url text: the libsodium-backed decoder must agree exactly with a
//     plain reference implementation of the rule, acceptance and bytes alike.
//
// Build: cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang
//        -DCMAKE_CXX_COMPILER=clang++ -DVELMORA_BUILD_FUZZ=ON
//        -DVELMORA_BUILD_EXTENSION=OFF && cmake --build build/fuzz --target json_field_fuzz
// Run:   mkdir -p fuzz/corpus/json_field && build/fuzz/json_field_fuzz
//        -dict=fuzz/json_field.dict fuzz/corpus/json_field fuzz/seeds/json_field
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "codec/base64url.h"
#include "codec/json_field.h"
#include "zeroize.h"

namespace {

// The rule, written the obvious way.
std::optional<std::vector<std::uint8_t>> reference_decode(const std::uint8_t* p, std::size_t n) {
    while (n > 0 && p[n - 1] == '=') --n;
    if (n % 4 == 1) return std::nullopt;
    std::vector<std::uint8_t> out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t c = p[i];
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '-')
            v = 62;
        else if (c == '_')
            v = 63;
        else
            return std::nullopt;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    if (acc != 0) return std::nullopt;  // non-zero unused bits in the last group
    return out;
}

// Labels compare by text: one literal need not have one address across files.
bool is_malformed(const velmora::EnclaveError& e, const char* what) {
    return e.kind == velmora::ErrorKind::Malformed && e.what && std::strcmp(e.what, what) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // 2. base64url against the reference.
    auto ours = velmora::codec::base64url_decode({data, size});
    auto ref = reference_decode(data, size);
    if (ours.has_value() != ref.has_value()) std::abort();
    if (ours && (ours->size() != ref->size() ||
                 (!ref->empty() && std::memcmp(ours->data(), ref->data(), ref->size()) != 0)))
        std::abort();
    if (!ours && !is_malformed(ours.error(), "base64url")) std::abort();

    // 1. the JSON reader, on a private copy with its NUL end mark.
    velmora::ZeroizingBuffer text(size + 1);
    if (size) std::memcpy(text.data(), data, size);
    auto field = velmora::codec::json_field_base64url(text.span(), "seed");
    if (!field) {
        const auto& e = field.error();
        if (!is_malformed(e, "json object") && !is_malformed(e, "json field") &&
            !is_malformed(e, "base64url"))
            std::abort();
    } else if (size < 8) {
        std::abort();  // no JSON text shorter than {"seed":""} can name the member
    }
    return 0;
}
