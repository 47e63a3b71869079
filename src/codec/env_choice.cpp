#include "codec/env_choice.h"

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/utf8.h"

namespace velmora::codec {

namespace {

bool is_unicode_space(std::int32_t cp) {
    switch (cp) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

}  // namespace

EnvChoice env_choice(const char* value, std::string_view word) {
    if (value == nullptr) return EnvChoice::Unset;
    const std::string_view s(value);
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(s.data()),
                                              s.size());
    // Decode fully first: text that is not valid UTF-8 names nothing.
    std::size_t first = s.size(), last = 0;  // byte range of non-space content
    bool any = false;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        const std::int32_t cp = decode_utf8(bytes, i);
        if (cp < 0) return EnvChoice::Other;
        if (!is_unicode_space(cp)) {
            if (!any) first = start;
            any = true;
            last = i;
        }
    }
    if (!any) return EnvChoice::Unset;
    const std::string_view t = s.substr(first, last - first);
    if (t.size() != word.size()) return EnvChoice::Other;
    for (std::size_t k = 0; k < word.size(); ++k) {
        char c = t[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[k]) return EnvChoice::Other;
    }
    return EnvChoice::Named;
}

}  // namespace velmora::codec
