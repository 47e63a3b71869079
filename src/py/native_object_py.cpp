#include "py/native_object.h"

#include <deque>
#include <string>
#include <vector>

namespace velmora {

PyTypeObject* create_type_from(const ClassDef& def, int basicsize, destructor dealloc,
                               std::initializer_list<PyType_Slot> slots, TypeMembers& members) {
    static std::deque<std::string> docs;  // process lifetime, as the types are
    unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    std::vector<PyType_Slot> all = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)}};
    if (def.constructor) {
        const Signature& m = def.constructor->method;
        docs.push_back(text_signature(m) + m.text);
        all.push_back({Py_tp_new, reinterpret_cast<void*>(def.constructor->function)});
    } else {
        docs.emplace_back(def.text);
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    }
    all.insert(all.begin(), {Py_tp_doc, const_cast<char*>(docs.back().c_str())});
    all.insert(all.end(), slots.begin(), slots.end());
    all.push_back({Py_tp_methods, members.methods.data()});
    if (members.getters.size() > 1) all.push_back({Py_tp_getset, members.getters.data()});
    all.push_back({0, nullptr});
    PyType_Spec spec = {def.qualified_name, basicsize, 0, flags, all.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    // The methods arrive in table order; only getters need moving among them.
    if (type && members.getters.size() > 1 && !order_members(type, members)) Py_CLEAR(type);
    return type;
}

}  // namespace velmora
