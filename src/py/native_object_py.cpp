#include "py/native_object.h"

#include <vector>

namespace velmora {

PyTypeObject* create_type_from(const char* name, int basicsize, unsigned flags, const char* doc,
                               destructor dealloc, std::initializer_list<PyType_Slot> slots,
                               TypeMembers& members) {
    std::vector<PyType_Slot> all = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    };
    all.insert(all.end(), slots.begin(), slots.end());
    all.push_back({Py_tp_methods, members.methods.data()});
    if (members.getters.size() > 1) all.push_back({Py_tp_getset, members.getters.data()});
    all.push_back({0, nullptr});
    PyType_Spec spec = {name, basicsize, 0, flags, all.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    // The methods arrive in table order; only getters need moving among them.
    if (type && members.getters.size() > 1 && !order_members(type, members)) Py_CLEAR(type);
    return type;
}

}  // namespace velmora
