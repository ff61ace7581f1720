// Placeholder until the decoder lands.
#include "codec/codec.h"

PyObject* quelt_loads(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "decoder not built yet");
    return nullptr;
}
PyObject* quelt_load(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "decoder not built yet");
    return nullptr;
}
