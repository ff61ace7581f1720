// Placeholder until the encoder lands.
#include "codec/codec.h"

PyObject* quelt_dumps(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "encoder not built yet");
    return nullptr;
}
PyObject* quelt_dump(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "encoder not built yet");
    return nullptr;
}
