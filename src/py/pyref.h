// RAII for interpreter references and buffer views.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "py/interpreter_lock.h"

namespace velmora {

// Owns one strong reference. Both owners here let go only while this thread
// holds the interpreter lock: a thread ended while retaking it (interpreter
// exit) unwinds without it and leaves what they hold (see interpreter_lock.h).
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) : p_(owned) {}
    static PyRef borrow(PyObject* p) {
        Py_XINCREF(p);
        return PyRef(p);
    }
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            drop();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { drop(); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    void drop() {
        if (p_ != nullptr && !interpreter_released()) Py_DECREF(p_);
    }

    PyObject* p_ = nullptr;
};

// Holds a buffer view obtained with PyObject_GetBuffer and releases it.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // False with the exporter's error set.
    bool acquire(PyObject* obj, int flags) {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
        held_ = true;
        return true;
    }
    void release() {
        if (held_ && !interpreter_released()) PyBuffer_Release(&view_);
        held_ = false;
    }
    Py_buffer& operator*() { return view_; }
    Py_buffer* operator->() { return &view_; }
    Py_buffer* get() { return &view_; }
    const Py_buffer* get() const { return &view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace velmora
