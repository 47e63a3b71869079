// Each Python-visible callable is declared once, as a Method: its name, its
// parameters, each with its converter and the default help() shows
// (py/params.h; keyword-only ones made with `keyword_only`), and its bilingual
// text. One entry template joins the declaration, the implementation and how
// deep the operation's work goes on the module's own stack (`entry<M, impl>()`,
// `entry<M, impl, depth>()`, `constructor<M, impl>()`): it binds the
// arguments, converts each one with its parameter's converter
// (py/converters.h), and calls the implementation with the converted values,
// one per parameter. Binding and conversion call the interpreter, so they run
// on the thread's stack, before the implementation sends its core work to the
// own stack (locked/own_stack.h). An implementation whose parameters are not
// exactly the receiver and the values its Method's converters give, in order,
// does not compile.
// The type's method table, its text signatures, its class doc and its member
// order are built from the same declarations.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "locked/stack_wipe.h"
#include "py/converters.h"
#include "py/params.h"
#include "py/secure_error.h"

namespace velmora {

// Who a callable is called on, which decides its text signature's first entry
// and the calling convention.
enum class Receiver {
    Instance,  // a method: `$self` first
    Static,    // a static method of the class
    Module,    // a module function
    Class,     // the constructor: called as the class, its signature is the class's
};

// The parameter list of a callable that takes none.
struct NoParams {};

namespace detail {
// Reached only while checking a Method in a constant expression, which then
// fails to compile.
inline void keyword_only_parameters_must_come_last() {}
}  // namespace detail

template <std::size_t N>
class Method {
public:
    static constexpr std::size_t PARAMS = N;

    constexpr Method(const char* name, Receiver receiver, const Param (&params)[N],
                     const char* text)
        : name_(name), text_(text), receiver_(receiver) {
        bool keyword_seen = false;
        for (std::size_t i = 0; i < N; ++i) {
            params_[i] = params[i];
            if (params[i].keyword_only) {
                if (!keyword_seen) positional_ = i;
                keyword_seen = true;
            } else if (keyword_seen) {
                detail::keyword_only_parameters_must_come_last();
            }
        }
        if (!keyword_seen) positional_ = N;
    }
    constexpr Method(const char* name, Receiver receiver, NoParams, const char* text)
        requires(N == 0)
        : name_(name), text_(text), receiver_(receiver) {}

    constexpr const char* name() const { return name_; }
    constexpr const char* text() const { return text_; }
    constexpr Receiver receiver() const { return receiver_; }
    constexpr std::span<const Param> params() const { return {params_.data(), N}; }
    constexpr const Param& param(std::size_t i) const { return params_[i]; }
    // How many parameters can be given by position (those before the first
    // keyword-only one).
    constexpr std::size_t positional() const { return positional_; }

private:
    const char* name_;
    const char* text_;
    Receiver receiver_;
    std::size_t positional_ = 0;
    std::array<Param, N> params_{};
};

template <std::size_t N>
Method(const char*, Receiver, const Param (&)[N], const char*) -> Method<N>;
Method(const char*, Receiver, NoParams, const char*) -> Method<0>;

// A Method with its size left out, for what only reads the declaration (text
// signatures, the argument binder's messages).
struct Signature {
    const char* name;
    const char* text;
    Receiver receiver;
    std::span<const Param> params;
    std::size_t positional;

    template <std::size_t N>
    constexpr Signature(const Method<N>& m)  // NOLINT: every Method is one
        : name(m.name()),
          text(m.text()),
          receiver(m.receiver()),
          params(m.params()),
          positional(m.positional()) {}
};

// The text signature the interpreter derives a callable's signature from:
// "name($self, a, *, b=None)\n--\n\n" (a class: "Name(a, b)\n--\n\n").
std::string text_signature(const Signature& m);

// Binds METH_FASTCALL | METH_KEYWORDS arguments to the parameters of `m`, in
// order, into `out` (one slot per parameter: borrowed references, null where an
// optional parameter was not given), with the interpreter's usual TypeError
// wording otherwise.
bool bind_fast(const Signature& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out);

// The interpreter's keyword-argument format for constructor `m`: "O|O$O:Name",
// one object per parameter, '|' before the first optional one, '$' before the
// first keyword-only one. Made once per constructor (detail::call_new).
std::string constructor_format(const Signature& m);

// The same for a constructor's tuple and dictionary, by the interpreter's own
// keyword-argument parser with `format` (so its messages are the
// interpreter's, version by version); a constructor without parameters
// refuses any argument with "Name() takes no arguments".
bool bind_new(const Signature& m, const char* format, PyObject* args, PyObject* kwargs,
              std::span<PyObject*> out);

// One row of a type's method table: the declaration and the function the
// interpreter calls.
struct MethodEntry {
    Signature method;
    PyCFunction function;
    int flags;
};

// A class's constructor: its declaration (Receiver::Class) and its tp_new.
struct ConstructorEntry {
    Signature method;
    newfunc function;
};

namespace detail {

// The implementation's parameter types, from its function pointer.
template <class F>
struct FunctionParams;
template <class R, class... A>
struct FunctionParams<R (*)(A...)> {
    using Result = R;
    using Types = std::tuple<A...>;
};
template <class R, class... A>
struct FunctionParams<R (*)(A...) noexcept> : FunctionParams<R (*)(A...)> {};

template <const auto& M, std::size_t I>
using ConverterOf = Converter<M.param(I).conv>;

template <const auto& M, std::size_t I>
using ValueOf = decltype(std::declval<ConverterOf<M, I>&>().value());

// Whether `Impl` takes the receiver and then one value per parameter of M.
template <const auto& M, auto Impl, class Self>
constexpr bool takes_one_per_param() {
    using P = FunctionParams<decltype(Impl)>;
    return std::is_same_v<typename P::Result, PyObject*> &&
           std::tuple_size_v<typename P::Types> == std::remove_cvref_t<decltype(M)>::PARAMS + 1 &&
           std::is_same_v<std::tuple_element_t<0, typename P::Types>, Self>;
}

// Whether each of those takes exactly what its parameter's converter gives.
template <const auto& M, auto Impl, std::size_t... I>
constexpr bool converters_fit(std::index_sequence<I...>) {
    using Types = typename FunctionParams<decltype(Impl)>::Types;
    return (std::is_same_v<std::tuple_element_t<I + 1, Types>, ValueOf<M, I>> && ...);
}

template <const auto& M, auto Impl, class Self>
constexpr bool fits() {
    constexpr std::size_t N = std::remove_cvref_t<decltype(M)>::PARAMS;
    if constexpr (takes_one_per_param<M, Impl, Self>())
        return converters_fit<M, Impl>(std::make_index_sequence<N>{});
    else
        return false;
}

// Converts argument I if it belongs to this pass (byte inputs or the rest).
template <const auto& M, std::size_t I, bool BytePass, class Converted, std::size_t N>
bool convert_in_pass(Converted& converted, const std::array<PyObject*, N>& a) {
    if constexpr (reads_bytes(M.param(I).conv) != BytePass)
        return true;
    else
        return std::get<I>(converted).convert(a[I], M.param(I), M.name());
}

// Converts the bound arguments and calls the implementation with the values;
// what the converters keep (copies, views) lives until the implementation
// returns. The arguments that copy nothing (types, integers, flags, text) are
// converted first, so that a wrong one is refused before any input is read;
// then the byte inputs, each in parameter order.
template <const auto& M, auto Impl, class Self, std::size_t N, std::size_t... I>
PyObject* convert_and_call(Self self, const std::array<PyObject*, N>& a,
                           std::index_sequence<I...>) {
    std::tuple<ConverterOf<M, I>...> converted;
    if (!(convert_in_pass<M, I, false>(converted, a) && ...)) return nullptr;
    if (!(convert_in_pass<M, I, true>(converted, a) && ...)) return nullptr;
    return Impl(self, std::get<I>(converted).value()...);
}

template <const auto& M, auto Impl, std::size_t Depth>
PyObject* call_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::size_t N = std::remove_cvref_t<decltype(M)>::PARAMS;
    return guarded(stack_wipe::with_depth<Depth>([&]() -> PyObject* {
        std::array<PyObject*, N> a{};
        if (!bind_fast(M, args, nargs, kwnames, a)) return nullptr;
        return convert_and_call<M, Impl>(self, a, std::make_index_sequence<N>{});
    }));
}

template <auto Impl, std::size_t Depth>
PyObject* call_noargs(PyObject* self, PyObject*) {
    return guarded(stack_wipe::with_depth<Depth>([&]() -> PyObject* { return Impl(self); }));
}

template <const auto& M, auto Impl, std::size_t Depth>
PyObject* call_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    constexpr std::size_t N = std::remove_cvref_t<decltype(M)>::PARAMS;
    return guarded(stack_wipe::with_depth<Depth>([&]() -> PyObject* {
        static const std::string format = constructor_format(M);
        std::array<PyObject*, N> a{};
        if (!bind_new(M, format.c_str(), args, kwargs, a)) return nullptr;
        return convert_and_call<M, Impl>(type, a, std::make_index_sequence<N>{});
    }));
}

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_cfunction(FastFunction f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace detail

// The method-table row for method (or module function) `M` implemented by
// `Impl`, whose work uses at most `Depth` bytes of the own stack, zeroed
// afterwards (stack_wipe::depth). `Impl` takes the receiver (the instance; the
// module for a module function; null for a static method), then one converted
// value per parameter of M, of exactly the type its converter gives
// (py/params.h), and runs inside the interpreter boundary (`guarded`).
template <const auto& M, auto Impl, std::size_t Depth = stack_wipe::depth::DEFAULT>
MethodEntry entry() {
    using Decl = std::remove_cvref_t<decltype(M)>;
    static_assert(M.receiver() != Receiver::Class, "a constructor is declared with constructor<>");
    static_assert(detail::takes_one_per_param<M, Impl, PyObject*>(),
                  "the implementation returns PyObject* and takes the receiver and one value per "
                  "parameter of its Method");
    static_assert(detail::fits<M, Impl, PyObject*>(),
                  "each parameter of the implementation takes what its converter gives");
    const int static_flag = M.receiver() == Receiver::Static ? METH_STATIC : 0;
    if constexpr (Decl::PARAMS == 0)
        return MethodEntry{M, detail::call_noargs<Impl, Depth>, METH_NOARGS | static_flag};
    else
        return MethodEntry{M, detail::as_cfunction(detail::call_fast<M, Impl, Depth>),
                           METH_FASTCALL | METH_KEYWORDS | static_flag};
}

// The constructor of a class: `M` (Receiver::Class, named as the class) and
// `Impl`, which takes the type and one converted value per parameter of M.
template <const auto& M, auto Impl, std::size_t Depth = stack_wipe::depth::DEFAULT>
ConstructorEntry constructor() {
    static_assert(M.receiver() == Receiver::Class, "a constructor's Method has Receiver::Class");
    static_assert(detail::takes_one_per_param<M, Impl, PyTypeObject*>(),
                  "the constructor returns PyObject* and takes the type and one value per "
                  "parameter of its Method");
    static_assert(detail::fits<M, Impl, PyTypeObject*>(),
                  "each parameter of the constructor takes what its converter gives");
    return ConstructorEntry{M, detail::call_new<M, Impl, Depth>};
}

// A getter: `Impl` takes the instance and runs inside the interpreter boundary.
template <auto Impl>
PyObject* getter_function(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return Impl(self); });
}

template <auto Impl>
constexpr PyGetSetDef getter(const char* name, const char* doc) {
    return PyGetSetDef{name, getter_function<Impl>, nullptr, doc, nullptr};
}

// The interpreter's definition of one method, its doc the text signature and
// the method's text. Built once; the text is kept for the life of the process,
// like the types that point to it.
PyMethodDef method_def(const MethodEntry& e);

// A type's members in the order they are documented: runs of methods and of
// getters, in turn. From them come the method table, the getter table (both
// terminated) and the order the members are put in (py/member_order.h).
struct MemberRun {
    std::span<const MethodEntry> methods;
    std::span<const PyGetSetDef> getters;
    // Implicit on purpose: a type lists its runs as plain tables.
    MemberRun(std::span<const MethodEntry> m) : methods(m) {}  // NOLINT
    MemberRun(std::span<const PyGetSetDef> g) : getters(g) {}  // NOLINT
    template <std::size_t N>
    MemberRun(const MethodEntry (&m)[N]) : methods(m) {}  // NOLINT
    template <std::size_t N>
    MemberRun(const PyGetSetDef (&g)[N]) : getters(g) {}  // NOLINT
};

struct TypeMembers {
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getters;
    std::vector<const char*> order;
};

// Built once per type and kept for the life of the process.
TypeMembers& type_members(std::initializer_list<MemberRun> runs);

// Puts the members of `type` (created from `members`) in documented order;
// false with the error set.
bool order_members(PyTypeObject* type, const TypeMembers& members);

}  // namespace velmora
