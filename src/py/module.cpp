// Entry point of velmora._secure: multi-phase initialisation whose one execution
// step registers the classes, functions, exception and constants in a fixed order.
#include <cstdint>
#include <vector>

#include "crypto/mlkem768.h"
#include "crypto/x25519.h"
#include "py/methods.h"
#include "secretstream/secretstream.h"

#include "py/secure_error.h"
#include "py/module_defs.h"
#include "py/pyref.h"

namespace velmora {

namespace {

using TypeGetter = PyTypeObject* (*)();

struct ClassEntry {
    const char* name;
    TypeGetter get;
};

// Registration order is part of the interface.
const ClassEntry CLASSES[] = {
    {"SecretBox", secret_box_type},
    {"HybridKeyPair", hybrid_key_pair_type},
    {"SecretStreamPush", secret_stream_push_type},
    {"SecretStreamPull", secret_stream_pull_type},
    {"EntropyPool", entropy_pool_type},
};

const MethodEntry* const FUNCTIONS[] = {
    &SEAL_HYBRID_ENTRY,
    &HARDEN_PROCESS_ENTRY,
    &MEMORY_STATUS_ENTRY,
};

// The functions' definitions, made once: the function objects point to them
// for the life of the process.
std::vector<PyMethodDef>& function_defs() {
    static std::vector<PyMethodDef> defs = [] {
        std::vector<PyMethodDef> made;
        for (const MethodEntry* e : FUNCTIONS) made.push_back(method_def(*e));
        return made;
    }();
    return defs;
}

struct Constant {
    const char* name;
    std::uint64_t value;
};

const Constant CONSTANTS[] = {
    {"SECRETSTREAM_HEADER_BYTES", secretstream::HEADER_BYTES},
    {"SECRETSTREAM_ABYTES", secretstream::ABYTES},
    {"X25519_PUBLIC_BYTES", crypto::x25519::KEY_BYTES},
    {"X25519_SECRET_BYTES", crypto::x25519::KEY_BYTES},
    {"MLKEM768_PUBLIC_BYTES", crypto::mlkem768::PUBLIC_KEY_BYTES},
    {"MLKEM768_SECRET_BYTES", crypto::mlkem768::SECRET_KEY_BYTES},
    {"MLKEM768_CIPHERTEXT_BYTES", crypto::mlkem768::CIPHERTEXT_BYTES},
};

int add(PyObject* module, const char* name, PyObject* value /* new ref */) {
    PyRef v(value);
    if (!v) return -1;
    PyRef key(PyUnicode_FromString(name));
    if (!key) return -1;
    return PyObject_SetAttr(module, key.get(), v.get());
}

// The classes, SecureError (whose base class comes from the importing
// interpreter's velmora.errors) and the counters are process-wide, so only the
// main interpreter may load the module. Interpreters that honour the module
// slot below refuse it before this runs; older ones and legacy
// sub-interpreters get here.
bool in_main_interpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    PyErr_SetString(PyExc_ImportError,
                    "velmora._secure cannot be loaded in a sub-interpreter; import it in the main "
                    "interpreter only");
    return false;
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [&]() -> int {
        if (!in_main_interpreter()) return -1;
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "expected a module, got %.200s",
                         Py_TYPE(module)->tp_name);
            return -1;
        }
        for (const ClassEntry& c : CLASSES) {
            PyTypeObject* type = c.get();
            if (!type) return -1;
            if (add(module, c.name, Py_NewRef(reinterpret_cast<PyObject*>(type))) < 0) return -1;
        }
        for (PyMethodDef& def : function_defs()) {
            PyRef name(PyModule_GetNameObject(module));
            if (!name) return -1;
            if (add(module, def.ml_name, PyCFunction_NewEx(&def, module, name.get())) < 0)
                return -1;
        }
        PyObject* secure_error = get_secure_error_type();
        if (!secure_error) return -1;
        if (add(module, "SecureError", Py_NewRef(secure_error)) < 0) return -1;
        if (add(module, "__version__", PyUnicode_FromString("0.1.0")) < 0) return -1;
        for (const Constant& k : CONSTANTS) {
            if (add(module, k.name, PyLong_FromUnsignedLongLong(k.value)) < 0) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "_secure",
    "🇺🇸 Module entry point: registers the classes, functions and constants Python sees.\n"
    "🇧🇷 Ponto de entrada do módulo: registra as classes, funções e constantes que o Python vê.",
    0,
    nullptr,
    SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace velmora

PyMODINIT_FUNC PyInit__secure(void) { return PyModuleDef_Init(&velmora::MODULE); }
