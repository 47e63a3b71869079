// Each Python-visible method is declared once, as a Method: its name, its
// parameters (with the defaults help() shows), which of them are keyword-only,
// and its bilingual text. The argument binder reads the parameters from it, and
// the type's method table, text signature and member order are built from it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <vector>

#include "py/args.h"

namespace velmora {

struct Param {
    const char* name;
    const char* shown_default = nullptr;  // as help() shows it ("None", "32"); null: required
};

// Who a method is called on, which decides its text signature's first entry.
enum class Receiver { Instance, Static, Module };

class Method {
public:
    static constexpr std::size_t MAX_PARAMS = 4;
    static constexpr std::size_t ALL_POSITIONAL = MAX_PARAMS + 1;

    // Parameters from `keyword_only_from` on can only be given by name.
    constexpr Method(const char* name, Receiver receiver, std::initializer_list<Param> params,
                     const char* text, std::size_t keyword_only_from = ALL_POSITIONAL)
        : name_(name), text_(text), receiver_(receiver), count_(params.size()) {
        std::size_t i = 0;
        for (const Param& p : params) params_[i++] = p;
        positional_ = keyword_only_from < count_ ? keyword_only_from : count_;
    }

    const char* name() const { return name_; }
    const char* text() const { return text_; }
    Receiver receiver() const { return receiver_; }
    std::span<const Param> params() const { return {params_.data(), count_}; }
    std::size_t positional() const { return positional_; }

private:
    const char* name_;
    const char* text_;
    Receiver receiver_;
    std::size_t count_;
    std::size_t positional_ = 0;
    std::array<Param, MAX_PARAMS> params_{};
};

// Binds positional and keyword arguments to the method's parameters, in order,
// into `out` (borrowed references; null where an optional parameter was not
// given), with the interpreter's usual TypeError wording otherwise.
bool bind(const Method& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// One row of a type's method table: the declaration and the function.
struct MethodEntry {
    const Method* method;
    PyCFunction function;
    int flags;  // METH_NOARGS or METH_FASTCALL | METH_KEYWORDS, METH_STATIC added for Static

    MethodEntry(const Method& m, PyCFunction f)  // takes no arguments
        : method(&m), function(f), flags(METH_NOARGS | static_flag(m)) {}
    MethodEntry(const Method& m, FastMethod f)
        : method(&m),
          function(as_cfunction(f)),
          flags(METH_FASTCALL | METH_KEYWORDS | static_flag(m)) {}

private:
    static int static_flag(const Method& m) {
        return m.receiver() == Receiver::Static ? METH_STATIC : 0;
    }
};

// The interpreter's definition of one method, its doc the text signature
// ("name($self, a, *, b=None)") and the method's text. Built once; the text is
// kept for the life of the process, like the types that point to it.
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
