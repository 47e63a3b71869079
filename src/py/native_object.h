// The lifecycle every native type of the module shares: an interpreter object
// is PyObject_HEAD followed by one C++ value, built in place once the object
// is allocated and destroyed (wiping whatever it owns) when the object goes.
// Also the refusal of pickling and copying, and the typed argument check.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <new>
#include <utility>

#include "py/args.h"
#include "py/methods.h"
#include "py/type_name.h"

namespace velmora {

template <class T>
struct Native {
    PyObject_HEAD T value;
};

// The C++ value inside an object of a type whose instances are Native<T>.
template <class T>
T* native(PyObject* obj) {
    return &reinterpret_cast<Native<T>*>(obj)->value;
}

// A new instance of `type` whose value is T(args...); null with MemoryError set
// when the object cannot be allocated, in which case `args` are left as they
// were (an owner moved in by reference stays with the caller, who releases it).
template <class T, class... A>
PyObject* new_native(PyTypeObject* type, A&&... args) {
    // Through the slot: the stable ABI has no tp_alloc member to read.
    auto* alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return nullptr;
    new (native<T>(obj)) T(std::forward<A>(args)...);
    return obj;
}

// The tp_dealloc of every native type. The head is left alone: only the value
// is destroyed, each member in the reverse order of its declaration.
template <class T>
void dealloc_native(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    native<T>(self)->~T();
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

// What the interpreter shows of a class: its text, and its constructor if it
// has one (its Method, Receiver::Class, gives the class's text signature and
// its text is the class's). A class without one cannot be instantiated by
// calling it; its instances come only from the module's own factories.
struct ClassDef {
    const char* qualified_name;  // "velmora._secure.Name"
    const ConstructorEntry* constructor;
    const char* text;  // for a class without a constructor
};

inline ClassDef class_without_constructor(const char* qualified_name, const char* text) {
    return ClassDef{qualified_name, nullptr, text};
}
inline ClassDef class_with_constructor(const char* qualified_name, const ConstructorEntry& c) {
    return ClassDef{qualified_name, &c, nullptr};
}

// Creates the class `def` whose instances are Native<T> (none can be
// subclassed): its doc, the dealloc above, its constructor, `slots` (repr,
// comparison...), then the methods and getters of `members`, which are finally
// put in documented order. Null with the error set on failure.
PyTypeObject* create_type_from(const ClassDef& def, int basicsize, destructor dealloc,
                               std::initializer_list<PyType_Slot> slots, TypeMembers& members);

template <class T>
PyTypeObject* create_native_type(const ClassDef& def, std::initializer_list<PyType_Slot> slots,
                                 TypeMembers& members) {
    return create_type_from(def, sizeof(Native<T>), dealloc_native<T>, slots, members);
}

// The type's own object for T, or null with the error set. Each value type
// declares `static PyTypeObject* py_type()` and `static constexpr const char*
// PY_NAME` (the class name used in messages).
template <class T>
bool is_native(PyObject* obj) {
    PyTypeObject* type = T::py_type();
    return type != nullptr && Py_IS_TYPE(obj, type);
}

// Checks that argument `param` of `fname` is a T, with the interpreter's own
// wording: "fname() argument 'param' must be SecretBox, not bytes".
template <class T>
bool require(PyObject* obj, const char* fname, const char* param) {
    if (is_native<T>(obj)) return true;
    if (PyErr_Occurred()) return false;
    const TypeName type(obj);
    if (type.c_str())
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", fname, param,
                     T::PY_NAME, type.c_str());
    return false;
}

// __reduce__, __copy__ and __deepcopy__(_memo) of a type whose values must not
// be duplicated behind the caller's back: each raises TypeError(T::NO_COPY).
inline constexpr Method REDUCE{"__reduce__", Receiver::Instance, NoParams{}, ""};
inline constexpr Method COPY{"__copy__", Receiver::Instance, NoParams{}, ""};
inline constexpr Method DEEPCOPY{"__deepcopy__", Receiver::Instance, {{"_memo"}}, ""};

template <class T>
PyObject* refuse_copy(PyObject*) {
    PyErr_SetString(PyExc_TypeError, T::NO_COPY);
    return nullptr;
}

template <class T>
PyObject* refuse_deepcopy(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, T::NO_COPY);
    return nullptr;
}

// The three refusals as method-table rows.
template <class T>
const MethodEntry COPY_REFUSALS[] = {
    entry<REDUCE, refuse_copy<T>>(),
    entry<COPY, refuse_copy<T>>(),
    entry<DEEPCOPY, refuse_deepcopy<T>>(),
};

}  // namespace velmora
