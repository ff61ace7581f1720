// The codec's entry functions, as the module's method table calls them:
// (module, positional-argument tuple, keyword dictionary or null).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

PyObject* quelt_loads(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* quelt_load(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* quelt_dumps(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* quelt_dump(PyObject* self, PyObject* args, PyObject* kwargs);
