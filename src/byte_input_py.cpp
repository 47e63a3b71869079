#include "byte_input.h"

#include <cstring>

#include "pyref.h"

namespace velmora {

namespace {

bool format_is_u8(const char* f) {
    if (f == nullptr) return true;  // absent means "B"
    if (f[0] == '@' || f[0] == '=' || f[0] == '>') ++f;
    return (f[0] == 'B' || f[0] == 'c') && f[1] == '\0';
}

std::optional<ZeroizingBuffer> read_into(PyObject* obj, bool zero_source) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError,
                        "expected a bytes-like object, got str; encode it first \u00b7 esperava "
                        "um objeto tipo bytes, recebeu str; codifique antes");
        return std::nullopt;
    }
    BufferView view;
    if (!view.acquire(obj, PyBUF_FULL_RO)) return std::nullopt;
    if (view->shape == nullptr) {
        PyErr_SetString(PyExc_BufferError, "shape is null");
        return std::nullopt;
    }
    if (view->strides == nullptr) {
        PyErr_SetString(PyExc_BufferError, "strides is null");
        return std::nullopt;
    }
    if (view->itemsize != 1 || !format_is_u8(view->format)) {
        PyErr_SetString(PyExc_BufferError, "buffer contents are not compatible with u8");
        return std::nullopt;
    }
    ZeroizingBuffer copy(static_cast<std::size_t>(view->len));
    if (!copy.empty() && PyBuffer_ToContiguous(copy.data(), view.get(), view->len, 'C') != 0)
        return std::nullopt;
    if (zero_source && !view->readonly && PyBuffer_IsContiguous(view.get(), 'C'))
        secure_zero(view->buf, static_cast<std::size_t>(view->len));
    return copy;
}

}  // namespace

std::optional<ZeroizingBuffer> read_byte_input(PyObject* obj) { return read_into(obj, false); }

std::optional<ZeroizingBuffer> take_byte_input_zeroing(PyObject* obj) {
    return read_into(obj, true);
}

}  // namespace velmora
