// What the module frame and the codec share: the per-module state record and
// the entry functions that the module's method table calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// One per module object (one per interpreter that imports quelt), owned by
// the module and released by its garbage-collector hooks.  Written only by
// module execution and teardown, so every call may read it without a lock.
struct module_state {
    // quelt.JSONDecodeError: the type the decoder raises.
    PyObject* json_decode_error;
    // decimal.Decimal, or null when `decimal` could not be imported.
    PyObject* decimal_type;
};

// The state of the module that a call came through.  The entry functions
// receive that module as their first argument.
inline module_state* module_state_of(PyObject* module) noexcept {
    return static_cast<module_state*>(PyModule_GetState(module));
}

// The entry functions: (module, positional-argument tuple, keyword
// dictionary or null).
PyObject* quelt_loads(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* quelt_load(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* quelt_dumps(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* quelt_dump(PyObject* module, PyObject* args, PyObject* kwargs);
