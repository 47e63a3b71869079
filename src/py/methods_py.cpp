#include "py/methods.h"

#include <deque>
#include <string>

#include "py/member_order.h"

namespace velmora {

namespace {

bool too_many_positional(const Method& m, Py_ssize_t nargs) {
    const auto total = static_cast<Py_ssize_t>(m.params().size());
    const auto positional = static_cast<Py_ssize_t>(m.positional());
    if (positional < total) {
        if (nargs <= positional) return false;
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     m.name(), positional, positional == 1 ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        return true;
    }
    if (nargs <= total) return false;
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", m.name(), total,
                 total == 1 ? "" : "s", nargs);
    return true;
}

}  // namespace

bool bind(const Method& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
    const std::span<const Param> params = m.params();
    for (std::size_t i = 0; i < params.size(); ++i) out[i] = nullptr;
    if (too_many_positional(m, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        // Compared as strings, not as C strings: "message\0junk" is not
        // `message`, and a name without a UTF-8 form is just another unknown name.
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (std::size_t i = 0; i < params.size(); ++i)
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params[i].name) == 0)
                slot = static_cast<Py_ssize_t>(i);
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", m.name(),
                         key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %s() given by name ('%U') and position (%zd)", m.name(), key,
                         slot + 1);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].shown_default != nullptr || out[i] != nullptr) continue;
        if (i < m.positional())
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                         m.name(), params[i].name, i + 1);
        else
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required keyword-only argument: '%s'",
                         m.name(), params[i].name);
        return false;
    }
    return true;
}

PyMethodDef method_def(const MethodEntry& e) {
    static std::deque<std::string> docs;  // process lifetime, as the types are
    const Method& m = *e.method;
    std::string doc = std::string(m.name()) + "(";
    const char* sep = "";
    if (m.receiver() == Receiver::Instance) {
        doc += "$self";
        sep = ", ";
    }
    const std::span<const Param> params = m.params();
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i == m.positional()) {
            doc += sep;
            doc += "*";
            sep = ", ";
        }
        doc += sep;
        doc += params[i].name;
        if (params[i].shown_default) doc += std::string("=") + params[i].shown_default;
        sep = ", ";
    }
    doc += ")\n--\n\n";
    doc += m.text();
    docs.push_back(std::move(doc));
    return PyMethodDef{m.name(), e.function, e.flags, docs.back().c_str()};
}

TypeMembers& type_members(std::initializer_list<MemberRun> runs) {
    static std::deque<TypeMembers> all;  // process lifetime, as the types are
    TypeMembers& t = all.emplace_back();
    for (const MemberRun& run : runs) {
        for (const MethodEntry& e : run.methods) {
            t.methods.push_back(method_def(e));
            t.order.push_back(e.method->name());
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
