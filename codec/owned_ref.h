// OwnedRef: sole owner of one strong reference, released when it goes out of
// scope, so "released on every path" holds by construction.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

struct OwnedRef {
    PyObject* obj = nullptr;

    OwnedRef() = default;
    explicit OwnedRef(PyObject* owned) noexcept : obj(owned) {}
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(obj); }

    PyObject* get() const noexcept { return obj; }
    explicit operator bool() const noexcept { return obj != nullptr; }

    // Hands the reference to the caller; the holder ends empty.
    PyObject* release() noexcept {
        PyObject* owned = obj;
        obj = nullptr;
        return owned;
    }
    // Takes over `owned`, dropping what was held before.
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = obj;
        obj = owned;
        Py_XDECREF(old);
    }
};
