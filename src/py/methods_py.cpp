#include "py/methods.h"

#include <array>
#include <deque>
#include <string>

#include "contract.h"
#include "py/member_order.h"

namespace velmora {

namespace {

bool too_many_positional(const Signature& m, Py_ssize_t nargs) {
    const auto total = static_cast<Py_ssize_t>(m.params.size());
    const auto positional = static_cast<Py_ssize_t>(m.positional);
    if (positional < total) {
        if (nargs <= positional) return false;
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     m.name, positional, positional == 1 ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        return true;
    }
    if (nargs <= total) return false;
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", m.name, total,
                 total == 1 ? "" : "s", nargs);
    return true;
}

}  // namespace

std::string text_signature(const Signature& m) {
    std::string doc = std::string(m.name) + "(";
    const char* sep = "";
    if (m.receiver == Receiver::Instance) {
        doc += "$self";
        sep = ", ";
    }
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        if (i == m.positional) {
            doc += sep;
            doc += "*";
            sep = ", ";
        }
        doc += sep;
        doc += m.params[i].name;
        if (m.params[i].shown_default) doc += std::string("=") + m.params[i].shown_default;
        sep = ", ";
    }
    return doc + ")\n--\n\n";
}

bool bind_fast(const Signature& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out) {
    const std::span<const Param> params = m.params;
    VELMORA_EXPECT(out.size() == params.size(), "argument storage sized from its Method");
    for (PyObject*& slot : out) slot = nullptr;
    if (too_many_positional(m, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        // Compared as strings, not as C strings: "message\0junk" is not
        // `message`, and a name without a UTF-8 form is just another unknown name.
        PyObject* key = PyTuple_GetItem(kwnames, k);  // borrowed
        if (key == nullptr) return false;
        std::size_t slot = params.size();
        for (std::size_t i = 0; i < params.size(); ++i)
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params[i].name) == 0)
                slot = i;
        if (slot == params.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", m.name,
                         key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %s() given by name ('%U') and position (%zu)", m.name, key,
                         slot + 1);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].shown_default != nullptr || out[i] != nullptr) continue;
        if (i < m.positional)
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", m.name,
                         params[i].name, i + 1);
        else
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required keyword-only argument: '%s'",
                         m.name, params[i].name);
        return false;
    }
    return true;
}

namespace {

// The interpreter's parser takes the outputs as variadic arguments: up to this
// many, which every constructor stays under.
constexpr std::size_t MAX_CONSTRUCTOR_PARAMS = 4;

template <std::size_t... I>
bool parse(PyObject* args, PyObject* kwargs, const char* format, char** names,
           std::array<PyObject*, sizeof...(I)>& out, std::index_sequence<I...>) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, names, &out[I]...) != 0;
}

}  // namespace

std::string constructor_format(const Signature& m) {
    std::string format;
    bool optional = false;
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        if (!optional && m.params[i].shown_default != nullptr) {
            format += '|';
            optional = true;
        }
        if (i == m.positional) format += '$';
        format += 'O';
    }
    return format + ':' + m.name;
}

bool bind_new(const Signature& m, const char* format, PyObject* args, PyObject* kwargs,
              std::span<PyObject*> out) {
    const std::span<const Param> params = m.params;
    VELMORA_EXPECT(out.size() == params.size(), "argument storage sized from its Method");
    VELMORA_EXPECT(params.size() <= MAX_CONSTRUCTOR_PARAMS, "constructor parameters");
    if (params.empty()) {
        const Py_ssize_t given = PyTuple_Size(args) + (kwargs ? PyDict_Size(kwargs) : 0);
        if (given == 0) return true;
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments", m.name);
        return false;
    }
    std::array<char*, MAX_CONSTRUCTOR_PARAMS + 1> names{};
    for (std::size_t i = 0; i < params.size(); ++i) names[i] = const_cast<char*>(params[i].name);
    std::array<PyObject*, MAX_CONSTRUCTOR_PARAMS> parsed{};  // the format fills the first ones
    if (!parse(args, kwargs, format, names.data(), parsed,
               std::make_index_sequence<MAX_CONSTRUCTOR_PARAMS>{}))
        return false;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = parsed[i];
    return true;
}

PyMethodDef method_def(const MethodEntry& e) {
    static std::deque<std::string> docs;  // process lifetime, as the types are
    docs.push_back(text_signature(e.method) + e.method.text);
    return PyMethodDef{e.method.name, e.function, e.flags, docs.back().c_str()};
}

TypeMembers& type_members(std::initializer_list<MemberRun> runs) {
    static std::deque<TypeMembers> all;  // process lifetime, as the types are
    TypeMembers& t = all.emplace_back();
    for (const MemberRun& run : runs) {
        for (const MethodEntry& e : run.methods) {
            t.methods.push_back(method_def(e));
            t.order.push_back(e.method.name);
        }
        for (const PyGetSetDef& g : run.getters) {
            t.getters.push_back(g);
            t.order.push_back(g.name);
        }
    }
    t.methods.push_back({nullptr, nullptr, 0, nullptr});
    t.getters.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    return t;
}

bool order_members(PyTypeObject* type, const TypeMembers& members) {
    return order_members(type, std::span<const char* const>(members.order));
}

}  // namespace velmora
