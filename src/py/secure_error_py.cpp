#include "py/secure_error.h"

#include <mutex>
#include <string>

#include "py/interpreter_lock.h"
#include "py/pyref.h"

namespace velmora {

namespace {

constexpr const char* BASE_MODULE = "velmora.errors";
constexpr const char* BASE_NAME = "CryptoError";
constexpr const char* DOC =
    "\U0001F1FA\U0001F1F8 Raised by the native enclave: locking, key material or authentication "
    "failed. \U0001F1E7\U0001F1F7 Lan\u00e7ada pelo enclave nativo: travamento, material de chave "
    "ou autentica\u00e7\u00e3o falhou.";

PyObject* g_secure_error = nullptr;  // process lifetime
std::mutex g_creation;               // the once-guard for g_secure_error

// Failures while creating SecureError must not be swallowed by `except
// Exception`: they derive from BaseException only.
PyObject* init_failure_type() {
    static PyObject* type =
        PyErr_NewException("velmora._secure.InitializationError", PyExc_BaseException, nullptr);
    return type;
}

void fail_init(const std::string& message) {
    PyObject* type = init_failure_type();
    if (type) PyErr_SetString(type, message.c_str());
}

// Text of the pending exception, which is cleared.
std::string take_pending_text() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t(type), v(value), b(tb);
    std::string text;
    if (v) {
        PyRef s(PyObject_Str(v.get()));
        const char* utf8 = s ? PyUnicode_AsUTF8AndSize(s.get(), nullptr) : nullptr;
        if (utf8) text = utf8;
        PyErr_Clear();
    }
    return text;
}

PyObject* create() {
    static PyObject* base = nullptr;  // imported once, kept for the process
    if (!base) {
        PyRef name(PyUnicode_FromString(BASE_MODULE));
        PyRef module(name ? PyImport_Import(name.get()) : nullptr);
        PyRef cls(module ? PyObject_GetAttrString(module.get(), BASE_NAME) : nullptr);
        if (!cls) {
            fail_init(std::string("failed to import exception ") + BASE_MODULE + "." + BASE_NAME +
                      ": " + take_pending_text());
            return nullptr;
        }
        base = cls.release();
    }
    PyObject* type = PyErr_NewExceptionWithDoc("velmora._secure.SecureError", DOC, base, nullptr);
    if (!type) {
        PyErr_Clear();
        fail_init("Failed to initialize new exception type.");
        return nullptr;
    }
    return type;
}

}  // namespace

PyObject* get_secure_error_type() {
    if (PyObject* t = __atomic_load_n(&g_secure_error, __ATOMIC_ACQUIRE)) return t;
    if (!g_creation.try_lock()) {
        PyThreadState* ts = release_interpreter();
        g_creation.lock();
        try {
            retake_interpreter(ts);  // may end this thread (interpreter exit)
        } catch (...) {
            g_creation.unlock();
            throw;
        }
    }
    std::lock_guard<std::mutex> guard(g_creation, std::adopt_lock);
    if (!g_secure_error) {
        PyObject* t = create();
        if (!t) return nullptr;
        __atomic_store_n(&g_secure_error, t, __ATOMIC_RELEASE);
    }
    return g_secure_error;
}

PyObject* raise_error(const EnclaveError& e) {
    if (e.kind == ErrorKind::KeyMaterialDrawFailed) {
        PyErr_SetString(PyExc_SystemError, format_message(e).c_str());
        return nullptr;
    }
    PyObject* type = get_secure_error_type();
    if (!type) return nullptr;
    const std::string message = format_message(e);
    PyRef text(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace velmora
