// libFuzzer entry for one of quelt's entry points, chosen at compile time by
// QUELT_FUZZ_TARGET ("loads" or "dumps").  The binary embeds the free-threaded
// interpreter with quelt linked in as a built-in module; only quelt's own
// sources carry the coverage instrumentation, so the fuzzer steers by the
// branches of the codec.  Each input goes to CHECKS[target] of
// quelt_fuzz_checks.py; a check that raises aborts, and libFuzzer keeps the
// input as a crash file.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifndef QUELT_FUZZ_TARGET
#error "QUELT_FUZZ_TARGET must name the entry point to fuzz"
#endif
#ifndef QUELT_FUZZ_PYTHONHOME
#error "QUELT_FUZZ_PYTHONHOME must be the prefix of the free-threaded interpreter"
#endif
#ifndef QUELT_FUZZ_DIR
#error "QUELT_FUZZ_DIR must be the directory of quelt_fuzz_checks.py"
#endif

extern "C" PyObject* PyInit_quelt(void);

namespace {

PyObject* g_check = nullptr;  // owned for the life of the process

[[noreturn]] void die(const char* what) {
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "fuzz_%s: %s\n", QUELT_FUZZ_TARGET, what);
    std::fflush(stderr);
    std::abort();
}

void start_interpreter() {
    if (PyImport_AppendInittab("quelt", PyInit_quelt) < 0) die("cannot register the quelt module");

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    // libFuzzer owns the signals (it reports crashes and timeouts itself).
    config.install_signal_handlers = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.home, QUELT_FUZZ_PYTHONHOME);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    PyObject* sysPath = PySys_GetObject("path");  // borrowed from sys
    PyObject* dir = PyUnicode_FromString(QUELT_FUZZ_DIR);
    if (!sysPath || !dir || PyList_Insert(sysPath, 0, dir) < 0) die("cannot extend sys.path");
    Py_DECREF(dir);

    PyObject* checks = PyImport_ImportModule("quelt_fuzz_checks");
    if (!checks) die("cannot import quelt_fuzz_checks");
    PyObject* table = PyObject_GetAttrString(checks, "CHECKS");
    Py_DECREF(checks);
    if (!table) die("quelt_fuzz_checks has no CHECKS");
    g_check = PyDict_GetItemString(table, QUELT_FUZZ_TARGET);  // borrowed
    if (!g_check) die("CHECKS has no entry for this target");
    Py_INCREF(g_check);
    Py_DECREF(table);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    start_interpreter();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                static_cast<Py_ssize_t>(size));
    if (!input) die("cannot make the input bytes");
    PyObject* result = PyObject_CallOneArg(g_check, input);
    Py_DECREF(input);
    if (!result) die("check failed for this input");
    Py_DECREF(result);
    return 0;
}
