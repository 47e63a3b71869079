#include "py/byte_input.h"

#include <cstring>

namespace velmora {

namespace {

bool format_is_u8(const char* f) {
    if (f == nullptr) return true;  // absent means "B"
    if (f[0] == '@' || f[0] == '=' || f[0] == '>') ++f;
    return (f[0] == 'B' || f[0] == 'c') && f[1] == '\0';
}

std::optional<ZeroizingBuffer> read_into(PyObject* obj, bool zero_source) {
    ByteInput in;
    if (!in.acquire(obj)) return std::nullopt;
    Py_buffer* view = in.view();
    ZeroizingBuffer copy(in.size());
    if (!copy.empty() && PyBuffer_ToContiguous(copy.data(), view, view->len, 'C') != 0)
        return std::nullopt;
    if (zero_source && !view->readonly && PyBuffer_IsContiguous(view, 'C'))
        secure_zero(view->buf, in.size());
    return copy;
}

}  // namespace

bool ByteInput::acquire(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError,
                        "expected a bytes-like object, got str; encode it first \u00b7 esperava "
                        "um objeto tipo bytes, recebeu str; codifique antes");
        return false;
    }
    if (!view_.acquire(obj, PyBUF_FULL_RO)) return false;
    if (view_->shape == nullptr) return refuse("shape is null");
    if (view_->strides == nullptr) return refuse("strides is null");
    if (view_->itemsize != 1 || !format_is_u8(view_->format))
        return refuse("buffer contents are not compatible with u8");
    object_ = obj;
    return true;
}

bool ByteInput::refuse(const char* message) {
    view_.release();
    PyErr_SetString(PyExc_BufferError, message);
    return false;
}

std::optional<std::span<const std::uint8_t>> ByteInput::bytes() {
    Py_buffer* v = view_.get();
    if (PyBuffer_IsContiguous(v, 'C'))
        return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(v->buf), size());
    if (!gathered_) {
        ZeroizingBuffer copy(size());
        if (PyBuffer_ToContiguous(copy.data(), v, v->len, 'C') != 0) return std::nullopt;
        gathered_.emplace(std::move(copy));
    }
    return gathered_->span();
}

bool ByteInput::copy_to(std::uint8_t* dst, std::size_t offset, std::size_t n) {
    if (n == 0) return true;
    const auto src = bytes();
    if (!src) return false;
    std::memcpy(dst, src->data() + offset, n);
    return true;
}

std::optional<ZeroizingBuffer> read_byte_input(PyObject* obj) { return read_into(obj, false); }

std::optional<ZeroizingBuffer> take_byte_input_zeroing(PyObject* obj) {
    return read_into(obj, true);
}

}  // namespace velmora
