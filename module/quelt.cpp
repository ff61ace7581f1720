// The module frame: definition, method table, per-module state and its
// garbage-collector hooks, and PyInit_quelt.  No codec logic lives here.
#include "module/quelt.h"

#include "codec/codec.h"

PyObject* JSONDecodeError = nullptr;

// ---- docstrings ------------------------------------------------------------

#define QUELT_ENCODE_OPTIONS_DOC                                                 \
    " Use ensure_ascii=false to output UTF-8. Set encode_html_chars=True to "   \
    "encode < > & as unicode escape sequences. Set escape_forward_slashes=False " \
    "to prevent escaping / characters.Set allow_nan=False to raise an exception " \
    "when NaN or Infinity would be serialized.Set reject_bytes=True to raise "  \
    "TypeError on bytes."

static const char g_dumpsDoc[] =
    "Converts arbitrary object recursively into JSON." QUELT_ENCODE_OPTIONS_DOC;
static const char g_loadsDoc[] = "Converts JSON as string to dict object structure.";
static const char g_dumpDoc[] =
    "Converts arbitrary object recursively into JSON file." QUELT_ENCODE_OPTIONS_DOC;
static const char g_loadDoc[] = "Converts JSON as file to dict object structure.";

// ---- method table ----------------------------------------------------------

#define QUELT_METHOD(name, fn, doc) \
    { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), \
      METH_VARARGS | METH_KEYWORDS, doc }

static PyMethodDef queltMethods[] = {
    QUELT_METHOD("encode", quelt_dumps, g_dumpsDoc),
    QUELT_METHOD("decode", quelt_loads, g_loadsDoc),
    QUELT_METHOD("dumps", quelt_dumps, g_dumpsDoc),
    QUELT_METHOD("loads", quelt_loads, g_loadsDoc),
    QUELT_METHOD("dump", quelt_dump, g_dumpDoc),
    QUELT_METHOD("load", quelt_load, g_loadDoc),
    {nullptr, nullptr, 0, nullptr},
};

// ---- per-module state hooks ------------------------------------------------

static module_state* get_state(PyObject* module) {
    return static_cast<module_state*>(PyModule_GetState(module));
}

static int module_traverse(PyObject* module, visitproc visit, void* arg) {
    module_state* state = get_state(module);
    if (state && state->decimal_type) {
        const int result = visit(state->decimal_type, arg);
        if (result) return result;
    }
    return 0;
}

static int module_clear(PyObject* module) {
    module_state* state = get_state(module);
    // Null the field before the release, so nothing can see a dead pointer.
    if (state && state->decimal_type) Py_CLEAR(state->decimal_type);
    return 0;
}

static void module_free(void* module) {
    module_clear(static_cast<PyObject*>(module));
}

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "quelt",
    nullptr,  // no module docstring
    sizeof(module_state),
    queltMethods,
    nullptr,  // single-phase initialisation
    module_traverse,
    module_clear,
    module_free,
};

// ---- initialisation --------------------------------------------------------

// The Decimal class, or null with no error pending.  A missing `decimal`
// module, or one without a `Decimal` attribute, only means that no object
// will be recognised as a Decimal; neither stops the import.
static PyObject* import_decimal_type() {
    PyObject* decimal = PyImport_ImportModule("decimal");
    if (!decimal) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* decimal_type = PyObject_GetAttrString(decimal, "Decimal");
    Py_DECREF(decimal);
    if (!decimal_type) PyErr_Clear();
    return decimal_type;
}

PyMODINIT_FUNC PyInit_quelt(void) {
    // A later call in the same interpreter hands back the first module, with
    // its exception type and state, instead of making a second set.
    PyObject* module = PyState_FindModule(&moduledef);
    if (module) return Py_NewRef(module);

    module = PyModule_Create2(&moduledef, PYTHON_API_VERSION);
    if (!module) return nullptr;

    (void)PyModule_AddStringConstant(module, "__version__", "6.0.0");

    get_state(module)->decimal_type = import_decimal_type();

    // One reference for the global, one handed to the module attribute.
    Py_XSETREF(JSONDecodeError,
               PyErr_NewException("quelt.JSONDecodeError", PyExc_ValueError, nullptr));
    Py_XINCREF(JSONDecodeError);
    if (PyModule_AddObject(module, "JSONDecodeError", JSONDecodeError) < 0) {
        Py_XDECREF(JSONDecodeError);  // the reference meant for the module
        Py_CLEAR(JSONDecodeError);
        Py_DECREF(module);
        return nullptr;
    }

#ifdef Py_GIL_DISABLED
    // All per-call state lives in the caller's frame; the only shared data are
    // written here and in teardown.  The module needs no GIL.
    (void)PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#endif
    return module;
}
