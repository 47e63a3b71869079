// The one conversion for every bytes-like argument: any exporter of single
// unsigned bytes, in any layout, copied into a self-wiping buffer; str refused.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "pyref.h"
#include "zeroize.h"

namespace velmora {

// An owned copy of the object's bytes in C order; nullopt with the error set.
std::optional<ZeroizingBuffer> read_byte_input(PyObject* obj);

// The same, then zeroes a writable C-contiguous source (SecretBox.from_bytes),
// so a secret handed in as a bytearray does not linger in the heap.
std::optional<ZeroizingBuffer> take_byte_input_zeroing(PyObject* obj);

// The accepted view itself, for a caller that copies large inputs straight to
// their destination (the stream's chunks) instead of through an owned copy.
// Same rule as read_byte_input.
class ByteInput {
public:
    // False with the error set: str, no buffer protocol, not single unsigned bytes.
    bool acquire(PyObject* obj);
    std::size_t size() const { return static_cast<std::size_t>(view_.get()->len); }
    // Copies bytes [offset, offset + n) in C order; a view that is not
    // C-contiguous is gathered once into a self-wiping buffer first.
    bool copy_to(std::uint8_t* dst, std::size_t offset, std::size_t n);
    Py_buffer* view() { return view_.get(); }
    void release() { view_.release(); }

private:
    bool refuse(const char* message);
    const std::uint8_t* contiguous();

    BufferView view_;
    std::optional<ZeroizingBuffer> gathered_;
};

}  // namespace velmora
