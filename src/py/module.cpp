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
#include "py/type_name.h"

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
    // The main interpreter's id is 0 (the stable ABI has no
    // PyInterpreterState_Main to compare with).
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) == 0) return true;
    PyErr_SetString(PyExc_ImportError,
                    "velmora._secure cannot be loaded in a sub-interpreter; import it in the main "
                    "interpreter only");
    return false;
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [&]() -> int {
        if (!in_main_interpreter()) return -1;
        if (!PyModule_Check(module)) {
            const TypeName type(module);
            if (type.c_str())
                PyErr_Format(PyExc_TypeError, "expected a module, got %.200s", type.c_str());
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

// The slot by which 3.12 and later refuse the module in every sub-interpreter
// before it runs. The limited API of 3.11 does not name it, and 3.11 itself
// fails a module that carries a slot it does not know, so it is added only
// when the running interpreter is 3.12 or later (its number and value are
// part of the stable ABI from then on).
constexpr int MULTIPLE_INTERPRETERS_SLOT = 3;               // Py_mod_multiple_interpreters
void* const MULTIPLE_INTERPRETERS_NOT_SUPPORTED = nullptr;  // its "not supported" value
constexpr unsigned long FIRST_WITH_MULTIPLE_INTERPRETERS = 0x030c0000;
#ifdef Py_mod_multiple_interpreters
static_assert(Py_mod_multiple_interpreters == MULTIPLE_INTERPRETERS_SLOT);
#endif

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},  // the sub-interpreter refusal, on 3.12 and later
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

PyMODINIT_FUNC PyInit__secure(void) {
    using namespace velmora;
    if (Py_Version >= FIRST_WITH_MULTIPLE_INTERPRETERS)
        SLOTS[1] = {MULTIPLE_INTERPRETERS_SLOT, MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
    return PyModuleDef_Init(&MODULE);
}
