// The converter behind each kind of parameter (py/params.h): it takes the
// argument as bound (a borrowed reference; null for an optional one not
// given), keeps whatever the converted value needs for the length of the
// call (a copy, a held buffer view), and hands the implementation its value.
// Arguments are converted before the implementation runs (in the order
// py/methods.h gives), on the thread's stack: converting calls the
// interpreter, which the module's own stack never does. The first refusal
// stops the call with its error set, and everything kept so far is released
// (copies wiped) on the way out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "py/args.h"
#include "py/byte_input.h"
#include "py/params.h"
#include "zeroize.h"

namespace velmora {

template <Conv C>
struct Converter;

template <>
struct Converter<Conv::Object> {
    PyObject* object = nullptr;
    bool convert(PyObject* obj, const Param&, const char*) {
        object = obj;
        return true;
    }
    PyObject* value() const { return object; }
};

template <>
struct Converter<Conv::Bytes> {
    ZeroizingBuffer copy;
    bool convert(PyObject* obj, const Param&, const char*) {
        auto read = read_byte_input(obj);
        if (!read) return false;
        copy = std::move(*read);
        return true;
    }
    std::span<const std::uint8_t> value() const { return copy.span(); }
};

template <>
struct Converter<Conv::BytesTaken> {
    ZeroizingBuffer copy;
    bool convert(PyObject* obj, const Param&, const char*) {
        auto read = take_byte_input_zeroing(obj);
        if (!read) return false;
        copy = std::move(*read);
        return true;
    }
    std::span<const std::uint8_t> value() const { return copy.span(); }
};

template <>
struct Converter<Conv::BytesScratch> {
    ZeroizingBuffer copy;
    bool convert(PyObject* obj, const Param&, const char*) {
        auto read = read_byte_input(obj);
        if (!read) return false;
        copy = std::move(*read);
        return true;
    }
    std::span<std::uint8_t> value() { return copy.span(); }
};

template <>
struct Converter<Conv::OptionalBytes> {
    ZeroizingBuffer copy;  // None and a missing argument are both empty
    bool convert(PyObject* obj, const Param&, const char*) {
        if (obj == nullptr || obj == Py_None) return true;
        auto read = read_byte_input(obj);
        if (!read) return false;
        copy = std::move(*read);
        return true;
    }
    std::span<const std::uint8_t> value() const { return copy.span(); }
};

template <>
struct Converter<Conv::ShortBytes> {
    ShortInput input;
    bool convert(PyObject* obj, const Param&, const char*) { return input.acquire(obj); }
    std::span<const std::uint8_t> value() const { return input.span(); }
};

// The view stays held until the implementation releases it or returns, so a
// large input is read in place; the implementation decides when its bytes are
// gathered and when the exporter is let go (before a lock is taken or the
// interpreter lock released).
template <>
struct Converter<Conv::BytesView> {
    ByteInput input;
    bool convert(PyObject* obj, const Param&, const char*) { return input.acquire(obj); }
    ByteInput& value() { return input; }
};

template <>
struct Converter<Conv::Str> {
    std::string_view text;
    bool convert(PyObject* obj, const Param& p, const char*) { return arg_str(obj, &text, p.name); }
    std::string_view value() const { return text; }
};

template <>
struct Converter<Conv::U64> {
    std::uint64_t number = 0;
    bool convert(PyObject* obj, const Param& p, const char*) {
        if (obj == nullptr) {
            number = p.default_value;
            return true;
        }
        return arg_u64(obj, &number, p.name);
    }
    std::uint64_t value() const { return number; }
};

template <>
struct Converter<Conv::Bool> {
    bool truth = false;
    bool convert(PyObject* obj, const Param& p, const char* function) {
        if (obj == nullptr) {
            truth = p.default_value != 0;
            return true;
        }
        return arg_flag(obj, &truth, function, p.name);
    }
    bool value() const { return truth; }
};

template <>
struct Converter<Conv::Instance> {
    PyObject* object = nullptr;
    bool convert(PyObject* obj, const Param& p, const char* function) {
        object = obj;
        return arg_instance(obj, *p.type, function, p.name);
    }
    PyObject* value() const { return object; }
};

}  // namespace velmora
