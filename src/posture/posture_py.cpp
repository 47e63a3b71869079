// harden_process() and memory_status(): the two posture reports as dictionaries.
#include "locked/capability.h"
#include "locked/counters.h"
#include "locked/policy.h"
#include "posture/posture.h"

#include "py/secure_error.h"
#include "py/methods.h"
#include "py/module_defs.h"
#include "py/pyref.h"

namespace velmora {

namespace {

PyObject* optional_int(const std::optional<std::uint64_t>& v) {
    if (!v) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*v);
}

// Adds `value` (a new reference, possibly null) under `key`.
bool put(PyObject* dict, const char* key, PyObject* value) {
    PyRef v(value);
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* harden_process(PyObject*) {
    const posture::HardenReport r = posture::harden_process();
    PyRef d(PyDict_New());
    if (!d || !put(d.get(), "platform", PyUnicode_FromString("linux")) ||
        !put(d.get(), "core_dumps_disabled", PyBool_FromLong(r.core_dumps_disabled)) ||
        !put(d.get(), "ptrace_restricted", PyBool_FromLong(r.ptrace_restricted)) ||
        !put(d.get(), "memlock_soft_raised", PyBool_FromLong(r.memlock_soft_raised)) ||
        !put(d.get(), "memlock_soft", optional_int(r.memlock.soft)) ||
        !put(d.get(), "memlock_hard", optional_int(r.memlock.hard)))
        return nullptr;
    return d.release();
}

PyObject* memory_status(PyObject*) {
    const CounterSnapshot counters = read_counters();
    const std::size_t page = page_size();
    const posture::MemlockLimits memlock = posture::read_memlock();
    PyRef d(PyDict_New());
    if (!d || !put(d.get(), "platform", PyUnicode_FromString("linux")) ||
        !put(d.get(), "backend", PyUnicode_FromString("mmap+mlock")) ||
        !put(d.get(), "guard_pages", PyBool_FromLong(1)) ||
        !put(d.get(), "wipe_on_fork", PyBool_FromLong(1)) ||
        !put(d.get(), "page_size", PyLong_FromSize_t(page)))
        return nullptr;
    if (!put(d.get(), "lock_policy", PyUnicode_FromString(lock_policy_name(lock_policy()))) ||
        !put(d.get(), "live_secrets", PyLong_FromUnsignedLongLong(counters.live_secrets)) ||
        !put(d.get(), "unlocked_allocations",
             PyLong_FromUnsignedLongLong(counters.unlocked_allocations)) ||
        !put(d.get(), "last_lock_errno", PyLong_FromLong(counters.last_lock_errno)) ||
        !put(d.get(), "memlock_soft", optional_int(memlock.soft)) ||
        !put(d.get(), "memlock_hard", optional_int(memlock.hard)))
        return nullptr;
    const auto caps = read_ipc_lock();
    auto cap_flag = [&](bool v) -> PyObject* {
        if (!caps) Py_RETURN_NONE;
        return PyBool_FromLong(v);
    };
    if (!put(d.get(), "ipc_lock_permitted", cap_flag(caps && caps->permitted)) ||
        !put(d.get(), "ipc_lock_effective", cap_flag(caps && caps->effective)))
        return nullptr;
    return d.release();
}

}  // namespace

constexpr Method HARDEN_PROCESS{
    "harden_process", Receiver::Module, NoParams{},
    "🇺🇸 Applies every hardening step available on this platform; returns what took effect. "
    "Idempotent.\n"
    "🇧🇷 Aplica todo passo de hardening disponível nesta plataforma; devolve o que teve efeito. "
    "Idempotente."};

constexpr Method MEMORY_STATUS{
    "memory_status", Receiver::Module, NoParams{},
    "🇺🇸 What the enclave can and cannot guarantee right now, for logs and `velmora status`.\n"
    "🇧🇷 O que o enclave pode e não pode garantir agora, para logs e `velmora status`."};

const MethodEntry HARDEN_PROCESS_ENTRY = entry<HARDEN_PROCESS, harden_process>();
const MethodEntry MEMORY_STATUS_ENTRY = entry<MEMORY_STATUS, memory_status>();

}  // namespace velmora
