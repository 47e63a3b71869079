// LockedRegion: one secret in its own guard-paged, page-locked, fork-wiped
// mapping (the lock policy: locked/policy.h; the counters: locked/counters.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "error/error.h"
#include "fork_generation.h"

namespace velmora {

// First 8 bytes of every live data area (little-endian). The kernel zero-fills
// the data area in a fork child, so a missing marker means "we are that child".
inline constexpr std::uint64_t REGION_MARKER = 0x1A5EC0DE5EC01E55ULL;
inline constexpr std::size_t REGION_HEADER_BYTES = 8;
inline constexpr std::uint64_t REGION_MAX_SECRET = UINT64_MAX - 8;  // 2^64 - 9

class LockedRegion {
public:
    // A region whose secret is n zero bytes: EmptySecret, AllocationFailed, LockRequired.
    static Result<LockedRegion> allocate(std::uint64_t n);
    // allocate(src.size()) then a copy of src; the caller owns wiping src.
    static Result<LockedRegion> from_slice(std::span<const std::uint8_t> src);

    LockedRegion(LockedRegion&& o) noexcept { *this = std::move(o); }
    LockedRegion& operator=(LockedRegion&& o) noexcept;
    LockedRegion(const LockedRegion&) = delete;
    LockedRegion& operator=(const LockedRegion&) = delete;
    ~LockedRegion() { release(); }

    // The access checks: Wiped, then ForkChild (the marker is gone).
    Status access() const;
    // The secret after the access checks.
    Result<std::span<const std::uint8_t>> bytes() const;
    Result<std::span<std::uint8_t>> bytes_mut();

    // Runs f on the checked bytes; f returns a Result of its own.
    template <class F>
    auto view(F&& f) const -> decltype(f(std::span<const std::uint8_t>{})) {
        auto b = bytes();
        if (!b) return b.error();
        return f(*b);
    }
    template <class F>
    auto view_mut(F&& f) -> decltype(f(std::span<std::uint8_t>{})) {
        auto b = bytes_mut();
        if (!b) return b.error();
        return f(*b);
    }

    // Zeroes the whole data area (marker included) and marks the region wiped;
    // the pages stay mapped, locked and counted until release.
    void wipe();

    std::uint64_t len() const { return len_; }
    // mlock is not inherited: in a fork child the pages are no longer pinned.
    bool is_locked() const { return locked_ && generation_ == fork_generation(); }
    bool is_wiped() const { return state_ != 0; }

    // For the allocator's own tests: the data area's bounds.
    std::uint8_t* data_area() const { return data_; }
    std::size_t data_area_len() const { return data_len_; }

private:
    LockedRegion() = default;
    void release();

    std::uint8_t* base_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::size_t map_len_ = 0;
    std::size_t data_len_ = 0;
    std::uint64_t len_ = 0;
    bool locked_ = false;
    std::uint8_t state_ = 0;
    std::uint32_t generation_ = 0;  // fork generation of the process that locked it
};

}  // namespace velmora
