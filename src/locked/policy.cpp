// The lock policy's decision rule and the page size.
#include "locked/policy.h"

#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace velmora {

namespace {

// Decodes one UTF-8 sequence at s[i]; returns the code point or -1 if invalid.
long decode_utf8(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int n;
    long cp;
    if ((b0 & 0xE0) == 0xC0) n = 1, cp = b0 & 0x1F;
    else if ((b0 & 0xF0) == 0xE0) n = 2, cp = b0 & 0x0F;
    else if ((b0 & 0xF8) == 0xF0) n = 3, cp = b0 & 0x07;
    else return -1;
    if (i + n >= s.size()) return -1;
    for (int k = 1; k <= n; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr long min_for_len[] = {0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    i += n + 1;
    return cp;
}

bool is_unicode_space(long cp) {
    switch (cp) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

}  // namespace

LockPolicy parse_lock_policy(const char* value) {
    if (value == nullptr) return LockPolicy::BestEffort;
    std::string_view s(value);
    // Decode fully first: text that is not valid UTF-8 keeps the default.
    std::size_t first = s.size(), last = 0;  // byte range of non-space content
    bool any = false;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        long cp = decode_utf8(s, i);
        if (cp < 0) return LockPolicy::BestEffort;
        if (!is_unicode_space(cp)) {
            if (!any) first = start;
            any = true;
            last = i;
        }
    }
    if (!any) return LockPolicy::BestEffort;
    std::string_view t = s.substr(first, last - first);
    static constexpr std::string_view want = "require";
    if (t.size() != want.size()) return LockPolicy::BestEffort;
    for (std::size_t k = 0; k < want.size(); ++k) {
        char c = t[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != want[k]) return LockPolicy::BestEffort;
    }
    return LockPolicy::Require;
}

LockPolicy lock_policy() {
    static const LockPolicy policy = parse_lock_policy(std::getenv("VELMORA_MEMORY_LOCK"));
    return policy;
}

const char* lock_policy_name(LockPolicy p) {
    return p == LockPolicy::Require ? "require" : "best-effort";
}

std::size_t page_size() {
    static const std::size_t size = [] {
        long v = sysconf(_SC_PAGESIZE);
        return v < 512 ? std::size_t{4096} : static_cast<std::size_t>(v);
    }();
    return size;
}

}  // namespace velmora
