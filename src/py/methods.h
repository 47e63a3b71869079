// Each Python-visible callable is declared once, as a Method: its name, its
// parameters (with the defaults help() shows; keyword-only ones made with
// `keyword_only`), and its bilingual text. One entry template joins the
// declaration, the implementation and how deep the operation's work goes on
// the module's own stack (`entry<M, impl>()`, `entry<M, impl, depth>()`,
// `constructor<M, impl>()`):
// it binds the arguments into storage sized from the declaration and calls the
// implementation with one argument per parameter, so that an implementation
// that takes more or fewer arguments than its Method declares does not compile.
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
#include <type_traits>
#include <utility>
#include <vector>

#include "locked/stack_wipe.h"
#include "py/secure_error.h"

namespace velmora {

struct Param {
    const char* name;
    const char* shown_default = nullptr;  // as help() shows it ("None", "32"); null: required
    bool keyword_only = false;
};

// A parameter that can only be given by name (after `*` in the signature).
constexpr Param keyword_only(const char* name, const char* shown_default = nullptr) {
    return Param{name, shown_default, true};
}

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

template <std::size_t N, class F, class Self, std::size_t... I>
PyObject* call_with(F&& impl, Self self, std::array<PyObject*, N>& a, std::index_sequence<I...>) {
    return impl(self, a[I]...);
}

template <class Impl, class Self, std::size_t N, class = std::make_index_sequence<N>>
struct TakesOnePerParam;
template <class Impl, class Self, std::size_t N, std::size_t... I>
struct TakesOnePerParam<Impl, Self, N, std::index_sequence<I...>>
    : std::is_invocable_r<PyObject*, Impl, Self, decltype((void)I, (PyObject*)nullptr)...> {};

template <const auto& M, auto Impl, std::size_t Depth>
PyObject* call_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::size_t N = std::remove_cvref_t<decltype(M)>::PARAMS;
    return guarded(stack_wipe::with_depth<Depth>([&]() -> PyObject* {
        std::array<PyObject*, N> a{};
        if (!bind_fast(M, args, nargs, kwnames, a)) return nullptr;
        return call_with<N>(Impl, self, a, std::make_index_sequence<N>{});
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
        return call_with<N>(Impl, type, a, std::make_index_sequence<N>{});
    }));
}

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_cfunction(FastFunction f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace detail

// The method-table row for method (or module function) `M` implemented by
// `Impl`, whose work uses at most `Depth` bytes of the own stack, zeroed
// afterwards (stack_wipe::depth). `Impl` takes the receiver (the instance; the module for
// a module function; null for a static method), then one PyObject* per
// parameter of M (null for an optional one not given), and runs inside the
// interpreter boundary (`guarded`).
template <const auto& M, auto Impl, std::size_t Depth = stack_wipe::depth::DEFAULT>
MethodEntry entry() {
    using Decl = std::remove_cvref_t<decltype(M)>;
    static_assert(M.receiver() != Receiver::Class, "a constructor is declared with constructor<>");
    static_assert(detail::TakesOnePerParam<decltype(Impl), PyObject*, Decl::PARAMS>::value,
                  "the implementation takes the receiver and one PyObject* per parameter of its "
                  "Method");
    const int static_flag = M.receiver() == Receiver::Static ? METH_STATIC : 0;
    if constexpr (Decl::PARAMS == 0)
        return MethodEntry{M, detail::call_noargs<Impl, Depth>, METH_NOARGS | static_flag};
    else
        return MethodEntry{M, detail::as_cfunction(detail::call_fast<M, Impl, Depth>),
                           METH_FASTCALL | METH_KEYWORDS | static_flag};
}

// The constructor of a class: `M` (Receiver::Class, named as the class) and
// `Impl`, which takes the type and one PyObject* per parameter of M.
template <const auto& M, auto Impl, std::size_t Depth = stack_wipe::depth::DEFAULT>
ConstructorEntry constructor() {
    using Decl = std::remove_cvref_t<decltype(M)>;
    static_assert(M.receiver() == Receiver::Class, "a constructor's Method has Receiver::Class");
    static_assert(detail::TakesOnePerParam<decltype(Impl), PyTypeObject*, Decl::PARAMS>::value,
                  "the constructor takes the type and one PyObject* per parameter of its Method");
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
