#include "codec/utf8.h"

namespace velmora::codec {

std::int32_t decode_utf8(std::span<const std::uint8_t> s, std::size_t& i) {
    const std::uint8_t c = s[i];
    if (c < 0x80) {
        ++i;
        return c;
    }
    std::size_t extra;
    std::int32_t cp;
    std::uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        cp = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        cp = c & 0x07;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
    } else {
        return -1;
    }
    if (s.size() - i <= extra) return -1;
    if (s[i + 1] < lo || s[i + 1] > hi) return -1;
    for (std::size_t k = 1; k <= extra; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return -1;
        cp = cp << 6 | (s[i + k] & 0x3F);
    }
    i += extra + 1;
    return cp;
}

bool valid_utf8(std::span<const std::uint8_t> s) {
    for (std::size_t i = 0; i < s.size();)
        if (decode_utf8(s, i) < 0) return false;
    return true;
}

}  // namespace velmora::codec
