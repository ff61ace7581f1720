// Forced include (-include) of the sanitizer builds of the extension and of
// the fuzz targets.  The free-threaded interpreter serves PyObject_Malloc from
// mimalloc, whose blocks AddressSanitizer cannot see into, and it refuses
// PYTHONMALLOC=malloc.  The module's own heap buffers (the decoder's scratch
// buffer, the encoder's output buffer, the copy of a big integer's text) are
// private to one call and always freed by the module itself, so in these
// builds they come from malloc, where ASan knows the exact bounds of each
// block and reports any access past them.  The same goes for the PyMem_*
// blocks the module keeps for itself (the decoder's key cache, the sorted
// walk's pairs).  Python objects are untouched.
#pragma once

// Files compiled without the Python include directory (CMake's compiler
// checks) get nothing from here.
#if __has_include(<Python.h>)

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>

// malloc(0) may return null; PyObject_Malloc(0) never does.
static inline void* quelt_sanitizer_malloc(size_t size) { return std::malloc(size ? size : 1); }
static inline void* quelt_sanitizer_realloc(void* block, size_t size) {
    return std::realloc(block, size ? size : 1);
}
static inline void* quelt_sanitizer_calloc(size_t count, size_t size) {
    return std::calloc(count ? count : 1, size ? size : 1);
}
static inline void quelt_sanitizer_free(void* block) { std::free(block); }

#define PyObject_Malloc quelt_sanitizer_malloc
#define PyObject_Realloc quelt_sanitizer_realloc
#define PyObject_Free quelt_sanitizer_free
#define PyMem_Malloc quelt_sanitizer_malloc
#define PyMem_Calloc quelt_sanitizer_calloc
#define PyMem_Realloc quelt_sanitizer_realloc
#define PyMem_Free quelt_sanitizer_free

#endif  // __has_include(<Python.h>)
