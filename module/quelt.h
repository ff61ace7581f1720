// What the module frame shares with the codec: the module definition (so the
// encoder can find the per-module state), the state record, and the
// process-wide exception type the decoder raises.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

struct module_state {
    // Strong reference to decimal.Decimal, or null when `decimal` could not
    // be imported.  Written only by initialisation and teardown.
    PyObject* decimal_type;
};

extern PyModuleDef moduledef;

// quelt.JSONDecodeError.  Created once by PyInit_quelt; only read afterwards.
extern PyObject* JSONDecodeError;
