// The file check shared by load() and dump().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// New reference to the callable attribute `name` ("read" or "write") of
// `fp`, or null with an exception set: TypeError "expected file" when the
// attribute is missing or not callable.  Only a missing attribute counts as
// absent; any other error of the lookup (a property or __getattr__ that
// raises) propagates unchanged.
inline PyObject* file_method(PyObject* fp, const char* name) noexcept {
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttrString(fp, name, &method) < 0) return nullptr;
    if (!method || !PyCallable_Check(method)) {
        Py_XDECREF(method);
        PyErr_SetString(PyExc_TypeError, "expected file");
        return nullptr;
    }
    return method;
}
