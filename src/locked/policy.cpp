// The lock policy's decision rule and the page size.
#include "locked/policy.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "codec/utf8.h"

namespace velmora {

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

LockPolicy parse_lock_policy(const char* value) {
    if (value == nullptr) return LockPolicy::BestEffort;
    std::string_view s(value);
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(s.data()),
                                              s.size());
    // Decode fully first: text that is not valid UTF-8 keeps the default.
    std::size_t first = s.size(), last = 0;  // byte range of non-space content
    bool any = false;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        const std::int32_t cp = codec::decode_utf8(bytes, i);
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
