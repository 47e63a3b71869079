// A callable's parameters as declared in its Method (py/methods.h): the name,
// the converter that turns the argument into what the implementation takes,
// the default help() shows, and whether it can only be given by name. Each
// parameter is one line, made by a function of `arg`:
//
//   arg::bytes("message")            bytes-like, copied     -> std::span<const std::uint8_t>
//   arg::short_bytes("nonce")        bytes-like, expected short, copied on the stack -> span
//   arg::bytes_view("plaintext")     bytes-like, the exporter's view held -> ByteInput&
//   arg::bytes_taken("data")         bytes-like, copied, a writable source zeroed -> span
//   arg::bytes_scratch("ciphertext")  bytes-like, copied into a buffer the implementation
//                                    may overwrite -> std::span<std::uint8_t>
//   arg::optional_bytes("aad", "None")  bytes-like or None (empty) -> span
//   arg::str("field")                str                    -> std::string_view (UTF-8)
//   arg::u64("length", "32")         an __index__ object    -> std::uint64_t
//   arg::flag("final", "False")      bool or numpy's bool   -> bool
//   arg::instance<SecretBox>("key")  an instance of a type  -> PyObject*
//   arg::object("_memo")             anything, untouched    -> PyObject* (null: not given)
//
// The converters themselves are in py/converters.h. The arguments that copy
// nothing are converted before the byte inputs (py/methods.h). A default is written as
// help() shows it and, for an integer or a flag, is also the value the
// implementation receives when the argument is left out; a default the
// converter cannot have does not compile.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace velmora {

enum class Conv : std::uint8_t {
    Object,
    Bytes,
    ShortBytes,
    BytesView,
    BytesTaken,
    BytesScratch,
    OptionalBytes,
    Str,
    U64,
    Bool,
    Instance,
};

// Whether the converter reads a buffer (and so copies or holds something).
constexpr bool reads_bytes(Conv conv) {
    switch (conv) {
        case Conv::Bytes:
        case Conv::ShortBytes:
        case Conv::BytesView:
        case Conv::BytesTaken:
        case Conv::BytesScratch:
        case Conv::OptionalBytes:
            return true;
        default:
            return false;
    }
}

// A native type an argument must be an instance of: its type object and the
// class name its messages use. Each value type declares `static PyTypeObject*
// py_type()` and `static constexpr const char* PY_NAME`.
struct NativeType {
    PyTypeObject* (*py_type)();
    const char* name;
};

template <class T>
inline constexpr NativeType native_type{&T::py_type, T::PY_NAME};

namespace detail {
// Reached only while checking a declaration in a constant expression, which
// then fails to compile.
inline void default_does_not_fit_the_converter() {}
inline void instance_parameter_needs_a_type() {}

constexpr bool same(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr std::uint64_t parse_default(Conv conv, const char* shown) {
    if (shown == nullptr) return 0;
    switch (conv) {
        case Conv::Object:
            return 0;
        case Conv::OptionalBytes:
            if (!same(shown, "None")) default_does_not_fit_the_converter();
            return 0;
        case Conv::Bool:
            if (same(shown, "True")) return 1;
            if (!same(shown, "False")) default_does_not_fit_the_converter();
            return 0;
        case Conv::U64: {
            std::uint64_t v = 0;
            if (*shown == '\0') default_does_not_fit_the_converter();
            for (const char* c = shown; *c != '\0'; ++c) {
                if (*c < '0' || *c > '9') default_does_not_fit_the_converter();
                v = v * 10 + static_cast<std::uint64_t>(*c - '0');
            }
            return v;
        }
        default:
            default_does_not_fit_the_converter();
            return 0;
    }
}
}  // namespace detail

class Param {
public:
    constexpr Param() = default;  // an empty slot of a Method's storage
    constexpr Param(const char* name, Conv conv, const char* shown_default)
        : name(name),
          shown_default(shown_default),
          conv(conv),
          default_value(detail::parse_default(conv, shown_default)) {
        if (conv == Conv::Instance) detail::instance_parameter_needs_a_type();
    }
    // An instance of `type` (arg::instance). The type comes by reference, not
    // as a pointer checked against null: under the sanitizers GCC cannot
    // compare a template variable's address with null in a constant
    // expression.
    constexpr Param(const char* name, const NativeType& type)
        : name(name), conv(Conv::Instance), type(&type) {}

    const char* name = nullptr;
    const char* shown_default = nullptr;  // as help() shows it ("None", "32"); null: required
    Conv conv = Conv::Object;
    bool keyword_only = false;
    const NativeType* type = nullptr;  // Conv::Instance
    std::uint64_t default_value = 0;   // Conv::U64 and Conv::Bool, from shown_default
};

// A parameter that can only be given by name (after `*` in the signature).
constexpr Param keyword_only(Param p) {
    p.keyword_only = true;
    return p;
}

namespace arg {

constexpr Param object(const char* name, const char* shown_default = nullptr) {
    return {name, Conv::Object, shown_default};
}
constexpr Param bytes(const char* name) { return {name, Conv::Bytes, nullptr}; }
constexpr Param short_bytes(const char* name) { return {name, Conv::ShortBytes, nullptr}; }
constexpr Param bytes_view(const char* name) { return {name, Conv::BytesView, nullptr}; }
constexpr Param bytes_taken(const char* name) { return {name, Conv::BytesTaken, nullptr}; }
constexpr Param bytes_scratch(const char* name) { return {name, Conv::BytesScratch, nullptr}; }
constexpr Param optional_bytes(const char* name, const char* shown_default = nullptr) {
    return {name, Conv::OptionalBytes, shown_default};
}
constexpr Param str(const char* name) { return {name, Conv::Str, nullptr}; }
constexpr Param u64(const char* name, const char* shown_default = nullptr) {
    return {name, Conv::U64, shown_default};
}
constexpr Param flag(const char* name, const char* shown_default = nullptr) {
    return {name, Conv::Bool, shown_default};
}
template <class T>
constexpr Param instance(const char* name) {
    return {name, native_type<T>};
}

}  // namespace arg

}  // namespace velmora
