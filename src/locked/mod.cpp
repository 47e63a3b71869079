// The region record's access checks, the lock policy and the counters.
#include "locked/mod.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "crypto/ct.h"
#include "zeroize.h"

namespace velmora {

namespace {

std::atomic<std::uint64_t> g_live_secrets{0};
std::atomic<std::uint64_t> g_unlocked_allocations{0};
std::atomic<std::int32_t> g_last_lock_errno{0};

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

void note_created() { g_live_secrets.fetch_add(1, std::memory_order_seq_cst); }
void note_released() { g_live_secrets.fetch_sub(1, std::memory_order_seq_cst); }
void note_unlocked(int errno_value) {
    g_unlocked_allocations.fetch_add(1, std::memory_order_seq_cst);
    g_last_lock_errno.store(errno_value, std::memory_order_relaxed);
}
CounterSnapshot snapshot() {
    return {g_live_secrets.load(), g_unlocked_allocations.load(),
            g_last_lock_errno.load(std::memory_order_relaxed)};
}

LockedRegion& LockedRegion::operator=(LockedRegion&& o) noexcept {
    if (this != &o) {
        release();
        base_ = std::exchange(o.base_, nullptr);
        data_ = std::exchange(o.data_, nullptr);
        map_len_ = std::exchange(o.map_len_, 0);
        data_len_ = std::exchange(o.data_len_, 0);
        len_ = std::exchange(o.len_, 0);
        locked_ = std::exchange(o.locked_, false);
        state_ = std::exchange(o.state_, 0);
        generation_ = std::exchange(o.generation_, 0);
    }
    return *this;
}

Result<LockedRegion> LockedRegion::from_slice(std::span<const std::uint8_t> src) {
    auto r = allocate(src.size());
    if (!r) return r.error();
    std::memcpy(r->data_ + REGION_HEADER_BYTES, src.data(), src.size());
    ct::mark_secret(r->data_ + REGION_HEADER_BYTES, src.size());
    return r;
}

Result<std::span<const std::uint8_t>> LockedRegion::bytes() const {
    if (state_ != 0) return ErrorKind::Wiped;
    std::uint64_t marker;
    std::memcpy(&marker, data_, sizeof marker);
    if (marker != REGION_MARKER) return ErrorKind::ForkChild;
    // Whatever was written in since the last access (a fill from the OS
    // source, a derivation, a decryption) is a secret from here on.
    ct::mark_secret(data_ + REGION_HEADER_BYTES, len_);
    return std::span<const std::uint8_t>(data_ + REGION_HEADER_BYTES, len_);
}

Result<std::span<std::uint8_t>> LockedRegion::bytes_mut() {
    auto b = bytes();
    if (!b) return b.error();
    return std::span<std::uint8_t>(data_ + REGION_HEADER_BYTES, len_);
}

void LockedRegion::wipe() {
    if (data_) secure_zero(data_, data_len_);
    state_ = 1;
}

}  // namespace velmora
