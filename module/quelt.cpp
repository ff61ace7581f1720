// The module frame: definition, method table, per-module state and its
// garbage-collector hooks, and PyInit_quelt.  No codec logic lives here.
#include "codec/codec.h"

// ---- docstrings ------------------------------------------------------------

#define QUELT_ENCODE_OPTIONS_DOC                                                 \
    " Use ensure_ascii=false to output UTF-8. Set encode_html_chars=True to "   \
    "encode < > & as unicode escape sequences. Set escape_forward_slashes=False " \
    "to prevent escaping / characters.Set allow_nan=False to raise an exception " \
    "when NaN or Infinity would be serialized.Set reject_bytes=True to raise "  \
    "TypeError on bytes."

// Each docstring starts with the function's signature, which inspect reads
// (the interpreter strips it from __doc__): "$module" stands for the module
// that the function receives as its first argument.
#define QUELT_ENCODE_OPTIONS_SIGNATURE                                           \
    "ensure_ascii=True, encode_html_chars=False, escape_forward_slashes=True, "  \
    "sort_keys=False, indent=0, allow_nan=True, reject_bytes=True, default=None, " \
    "separators=None)\n--\n\n"

// dumps and encode (loads and decode) share their text; the signature line
// names the function, as inspect expects.
#define QUELT_DUMPS_DOC(name)                      \
    name "($module, /, obj, " QUELT_ENCODE_OPTIONS_SIGNATURE \
    "Converts arbitrary object recursively into JSON." QUELT_ENCODE_OPTIONS_DOC
#define QUELT_LOADS_DOC(name) \
    name "($module, /, obj)\n--\n\nConverts JSON as string to dict object structure."

static const char g_dumpsDoc[] = QUELT_DUMPS_DOC("dumps");
static const char g_encodeDoc[] = QUELT_DUMPS_DOC("encode");
static const char g_loadsDoc[] = QUELT_LOADS_DOC("loads");
static const char g_decodeDoc[] = QUELT_LOADS_DOC("decode");
static const char g_dumpDoc[] =
    "dump($module, obj, fp, /, *, " QUELT_ENCODE_OPTIONS_SIGNATURE
    "Converts arbitrary object recursively into JSON file." QUELT_ENCODE_OPTIONS_DOC;
static const char g_loadDoc[] =
    "load($module, fp, /)\n--\n\nConverts JSON as file to dict object structure.";

static const char g_moduleDoc[] =
    "Fast, strict JSON encoder and decoder.\n\n"
    "dumps()/encode() and dump() write Python objects as JSON text; loads()/decode()\n"
    "and load() read JSON text from str, bytes or bytearray. Malformed input raises\n"
    "JSONDecodeError, a ValueError carrying msg, doc, pos, lineno and colno.";

// ---- method table ----------------------------------------------------------

#define QUELT_METHOD(name, fn, doc) \
    { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), \
      METH_VARARGS | METH_KEYWORDS, doc }

static PyMethodDef queltMethods[] = {
    QUELT_METHOD("encode", quelt_dumps, g_encodeDoc),
    QUELT_METHOD("decode", quelt_loads, g_decodeDoc),
    QUELT_METHOD("dumps", quelt_dumps, g_dumpsDoc),
    QUELT_METHOD("loads", quelt_loads, g_loadsDoc),
    QUELT_METHOD("dump", quelt_dump, g_dumpDoc),
    QUELT_METHOD("load", quelt_load, g_loadDoc),
    {nullptr, nullptr, 0, nullptr},
};

// ---- per-module state hooks ------------------------------------------------

static int module_traverse(PyObject* module, visitproc visit, void* arg) {
    module_state* state = module_state_of(module);
    Py_VISIT(state->json_decode_error);
    Py_VISIT(state->decimal_type);
    return 0;
}

static int module_clear(PyObject* module) {
    module_state* state = module_state_of(module);
    // Py_CLEAR nulls each field before the release, so nothing sees a dead
    // pointer.
    Py_CLEAR(state->json_decode_error);
    Py_CLEAR(state->decimal_type);
    return 0;
}

static void module_free(void* module) {
    module_clear(static_cast<PyObject*>(module));
}

// ---- module execution --------------------------------------------------------

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

// Runs once for every module object the interpreter makes (once per
// interpreter that imports quelt).  On failure the interpreter releases the
// module, and module_clear releases what was stored so far.
static int module_exec(PyObject* module) {
    module_state* state = module_state_of(module);
    if (PyModule_AddStringConstant(module, "__version__", "6.0.0") < 0) return -1;

    state->decimal_type = import_decimal_type();

    state->json_decode_error =
        PyErr_NewException("quelt.JSONDecodeError", PyExc_ValueError, nullptr);
    if (!state->json_decode_error) return -1;
    // PyModule_AddObjectRef takes a reference of its own; the state keeps one.
    if (PyModule_AddObjectRef(module, "JSONDecodeError", state->json_decode_error) < 0) return -1;
    return 0;
}

// All per-call state lives in the caller's frame and the module state is
// written only by module_exec and teardown, so the module needs no GIL and
// may be imported by interpreters that have their own.
static PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},  // read by the free-threaded build only
    {0, nullptr},
};

static PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "quelt",
    g_moduleDoc,
    sizeof(module_state),
    queltMethods,
    moduleSlots,
    module_traverse,
    module_clear,
    module_free,
};

PyMODINIT_FUNC PyInit_quelt(void) {
    return PyModuleDef_Init(&moduledef);
}
