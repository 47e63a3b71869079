#include "codec/base64url.h"

#include "crypto/ct.h"

namespace velmora::codec {

namespace {

// 0xFF when lo <= c <= hi, else 0, for bytes: c - lo and hi - c both stay
// non-negative exactly then, and a negative one sets bit 8.
std::uint32_t in_range(std::uint32_t c, std::uint32_t lo, std::uint32_t hi) {
    return ct::barrier((((c - lo) | (hi - c)) >> 8 & 1u) - 1u) & 0xFFu;
}

// The symbol's value in the low 6 bits and, in bit 8, whether c is a symbol.
std::uint32_t symbol(std::uint32_t c) {
    const std::uint32_t upper = in_range(c, 'A', 'Z'), lower = in_range(c, 'a', 'z');
    const std::uint32_t digit = in_range(c, '0', '9');
    const std::uint32_t dash = in_range(c, '-', '-'), under = in_range(c, '_', '_');
    const std::uint32_t value = (upper & (c - 'A')) | (lower & (c - 'a' + 26)) |
                                (digit & (c - '0' + 52)) | (dash & 62) | (under & 63);
    return (value & 0x3Fu) | ((upper | lower | digit | dash | under) & 1u) << 8;
}

}  // namespace

// Every byte of the text is looked at the same way whatever it holds: symbols
// are classified by arithmetic, failures are gathered into one flag, and only
// that flag and the length of the trailing '=' run (which fixes the decoded
// length, public anyway) are ever branched on.
Result<ZeroizingBuffer> base64url_decode(std::span<const std::uint8_t> text) {
    std::uint32_t run = 0xFFu;
    std::size_t pads = 0;
    for (std::size_t i = text.size(); i-- > 0;) {
        run &= in_range(text[i], '=', '=');
        pads += run & 1u;
    }
    const std::size_t n = text.size() - ct::declassified(pads, "the decoded length is public");
    if (n % 4 == 1) return EnclaveError::malformed("base64url");
    ZeroizingBuffer out(n / 4 * 3 + (n % 4 == 0 ? 0 : n % 4 - 1));

    std::uint32_t bad = 0;
    std::size_t o = 0;
    for (std::size_t i = 0; i < n; i += 4) {
        const std::size_t k = n - i < 4 ? n - i : 4;  // symbols in this group
        std::uint32_t acc = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const std::uint32_t s = j < k ? symbol(text[i + j]) : 0x100u;
            bad |= ~s & 0x100u;
            acc = acc << 6 | (s & 0x3Fu);
        }
        // The k symbols fill the top 6k of acc's 24 bits and the bytes taken
        // from them the top 8(k - 1): a short group leaves 2 (k == 3) or 4
        // (k == 2) bits unused between the two, and they must be zero.
        const std::size_t bytes = k - 1;
        bad |= (acc >> (24 - 6 * k)) & ((1u << (2 * (4 - k))) - 1u);
        for (std::size_t b = 0; b < bytes; ++b)
            out[o++] = static_cast<std::uint8_t>(acc >> (16 - 8 * b));
    }
    if (ct::declassified(bad, "whether the text decodes is reported to the caller") != 0)
        return EnclaveError::malformed("base64url");
    return out;
}

}  // namespace velmora::codec
