// The region record's moves and access checks.
#include "locked/region.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "crypto/ct.h"
#include "zeroize.h"

namespace velmora {

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

Status LockedRegion::access() const {
    if (state_ != 0) return ErrorKind::Wiped;
    std::uint64_t marker;
    std::memcpy(&marker, data_, sizeof marker);
    if (marker != REGION_MARKER) return ErrorKind::ForkChild;
    return {};
}

Result<std::span<const std::uint8_t>> LockedRegion::bytes() const {
    if (Status s = access(); !s) return s.error();
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
