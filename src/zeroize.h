// Wiping that the compiler cannot drop, and ZeroizingBuffer: the owned heap copy
// used for every transient copy of caller input or secret bytes outside locked
// memory. Its whole capacity is zeroed before it is freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string.h>
#include <memory>
#include <span>
#include <utility>

namespace velmora {

// Zeroes n bytes with stores the compiler may not drop as dead, at memset
// speed (a page is wiped on every region release).
inline void secure_zero(void* p, std::size_t n) {
    if (n == 0) return;
    explicit_bzero(p, n);
    __asm__ volatile("" : : "r"(p) : "memory");
}

// Wipes a stack object (a key schedule, a state copy) when it goes out of scope.
template <class T>
class WipeOnExit {
public:
    explicit WipeOnExit(T& obj) : obj_(obj) {}
    ~WipeOnExit() { secure_zero(&obj_, sizeof(T)); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    T& obj_;
};

class ZeroizingBuffer {
public:
    ZeroizingBuffer() = default;
    // n zero bytes; an empty buffer allocates nothing.
    explicit ZeroizingBuffer(std::size_t n)
        : data_(n ? new std::uint8_t[n]() : nullptr), size_(n), capacity_(n) {}
    static ZeroizingBuffer copy_of(std::span<const std::uint8_t> src) {
        ZeroizingBuffer b(src.size());
        if (!src.empty()) std::memcpy(b.data_, src.data(), src.size());
        return b;
    }
    ZeroizingBuffer(ZeroizingBuffer&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}
    ZeroizingBuffer& operator=(ZeroizingBuffer&& o) noexcept {
        if (this != &o) {
            clear();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            capacity_ = std::exchange(o.capacity_, 0);
        }
        return *this;
    }
    ZeroizingBuffer(const ZeroizingBuffer&) = delete;
    ZeroizingBuffer& operator=(const ZeroizingBuffer&) = delete;
    ~ZeroizingBuffer() { clear(); }

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::span<std::uint8_t> span() { return {data_, size_}; }
    std::span<const std::uint8_t> span() const { return {data_, size_}; }
    std::uint8_t& operator[](std::size_t i) { return data_[i]; }
    const std::uint8_t& operator[](std::size_t i) const { return data_[i]; }

    // Shortens the visible length; the tail stays allocated and is wiped now.
    void truncate(std::size_t n) {
        if (n < size_) {
            secure_zero(data_ + n, size_ - n);
            size_ = n;
        }
    }

private:
    void clear() {
        if (data_) {
            secure_zero(data_, capacity_);
            delete[] data_;
        }
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace velmora
