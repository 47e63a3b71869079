// The one conversion for every bytes-like argument: any exporter of single
// unsigned bytes, in any layout, copied into a self-wiping buffer; str refused.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "py/pyref.h"
#include "zeroize.h"

namespace velmora {

// An owned copy of the object's bytes in C order; nullopt with the error set.
std::optional<ZeroizingBuffer> read_byte_input(PyObject* obj);

// The same, then zeroes a writable C-contiguous source (SecretBox.from_bytes),
// so a secret handed in as a bytearray does not linger in the heap.
std::optional<ZeroizingBuffer> take_byte_input_zeroing(PyObject* obj);

// The accepted view itself, for a caller that reads a possibly large input (a
// plaintext, a sealed form, a stream chunk) in place or copies it straight to
// its destination instead of through an owned copy. Same rule as
// read_byte_input.
class ByteInput {
public:
    // False with the error set: str, no buffer protocol, not single unsigned bytes.
    bool acquire(PyObject* obj);
    std::size_t size() const { return static_cast<std::size_t>(view_.get()->len); }
    // The bytes in C order: a C-contiguous view in place, any other layout
    // gathered once into a self-wiping copy (do that before taking any lock).
    // Nullopt with the error set if gathering fails.
    std::optional<std::span<const std::uint8_t>> bytes();
    // Copies bytes [offset, offset + n) in C order (through bytes()).
    bool copy_to(std::uint8_t* dst, std::size_t offset, std::size_t n);
    // True when nobody else can change the bytes while they are read: our own
    // gathered copy, or an exact `bytes` object.
    bool stable() const {
        return gathered_.has_value() || (object_ != nullptr && PyBytes_CheckExact(object_));
    }
    Py_buffer* view() { return view_.get(); }
    void release() { view_.release(); }

private:
    bool refuse(const char* message);

    BufferView view_;
    PyObject* object_ = nullptr;  // the acquired object, borrowed for the call
    std::optional<ZeroizingBuffer> gathered_;
};

// A byte input that is short when used as intended (a nonce), under the same
// rule as read_byte_input, copied into this object (on the caller's stack)
// instead of a heap buffer, whose allocation and wipe are a noticeable part of
// a 64-byte seal. A longer input (which the length check then refuses) goes to
// the heap as usual.
class ShortInput {
public:
    ShortInput() = default;
    ShortInput(const ShortInput&) = delete;
    ShortInput& operator=(const ShortInput&) = delete;
    ~ShortInput() { secure_zero(inline_, sizeof inline_); }

    // False with the error set, as ByteInput::acquire.
    bool acquire(PyObject* obj) {
        ByteInput input;
        if (!input.acquire(obj)) return false;
        size_ = input.size();
        if (size_ > sizeof inline_) heap_ = ZeroizingBuffer(size_);
        return input.copy_to(size_ > sizeof inline_ ? heap_.data() : inline_, 0, size_);
    }
    std::span<const std::uint8_t> span() const {
        return size_ > sizeof inline_ ? heap_.span()
                                      : std::span<const std::uint8_t>(inline_, size_);
    }

private:
    std::uint8_t inline_[16] = {};
    std::size_t size_ = 0;
    ZeroizingBuffer heap_;
};

}  // namespace velmora
