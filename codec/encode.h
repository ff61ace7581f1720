// The encoder's private records: the per-call `Encoder` state, the per-value
// `TypeContext`, and the kind codes the object walker stores in it.  Only
// codec/encode.cpp includes this header.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030D0000
#error "quelt's encoder needs CPython 3.13 or newer (PyList_GetItemRef, critical sections)"
#endif

// ---- kind codes ------------------------------------------------------------

// What a value becomes in JSON; stored in TypeContext.type.
enum : int32_t {
    KIND_NULL = 0,
    KIND_TRUE = 1,
    KIND_FALSE = 2,
    KIND_TUPLE = 3,
    KIND_INT64 = 4,
    KIND_UINT64 = 5,
    KIND_DOUBLE = 6,
    KIND_UTF8 = 7,
    KIND_RAW = 8,
    KIND_LIST = 9,
    KIND_OBJECT = 10,
    KIND_INVALID = 11,
};

// ---- per-call state --------------------------------------------------------

// One per dumps() call, on that call's stack and zero-filled before use.  It
// owns no Python reference: the entry function keeps the root, `default` and
// the separators alive for the whole call.
struct Encoder {
    int32_t recursionMax;         // deepest level accepted (1024)
    uint8_t ensureAscii;          // 1: validating escaper, pure-ASCII output
    uint8_t encodeHTMLChars;      // 1: < > & as \u escapes
    uint8_t escapeForwardSlashes; // 1: / as \/
    uint8_t sortKeys;             // 1: dictionaries walked in key order
    int64_t indent;               // spaces per level; <= 0 means one line
    uint8_t rejectBytes;          // 1: bytes values are not written as strings
    int64_t itemSeparatorLength;
    const char* itemSeparator;    // used with its length, never as a C string
    int64_t keySeparatorLength;
    const char* keySeparator;
    PyObject* defaultFn;          // borrowed; null when absent or None
    // decimal.Decimal (null when `decimal` could not be imported), from the
    // module state, which outlives the call.
    PyObject* decimalType;
    // Lowest stack address a nested container may start at (see
    // codec/nesting.h); 0 when unknown.
    uintptr_t stackFloor;
    uint8_t allowNan;             // 1: NaN and infinities as NaN, Infinity
    const char* errorMsg;         // static text; once set the walk is over

    // Output buffer: text so far is [start, offset); capacity ends at `end`.
    char* start;
    char* offset;
    char* end;
    uint8_t heap;                 // 0: caller's stack region; 1: owned heap block

    int32_t level;                // nesting depth of the value being encoded
};

// ---- per-value context -----------------------------------------------------

struct TypeContext;

// Scalars hand their value through outValue; text kinds return their bytes
// (NUL-terminated, alive until the context ends) and the length through
// outLength.  Null means the conversion failed with an exception pending.
using ConvertFn = const char* (*)(PyObject* obj, TypeContext* tc, void* outValue,
                                  Py_ssize_t* outLength) noexcept;

// The classification of one value that is not one of the common exact
// types, in the frame of the out-of-line path that writes it.  Ownership:
// newObj, utf8Obj and dictObj are strong references (or null); `scalar`
// owns its object only for KIND_RAW.  Containers are walked by the walk of
// their kind (codec/encode.cpp), not through this record.
struct TypeContext {
    int32_t type;
    ConvertFn convert;

    PyObject* newObj;     // substitute returned by `default`
    PyObject* utf8Obj;    // bytes holding the UTF-8 form of a str, when made
    PyObject* dictObj;    // the dictionary to walk (a toDict() result may
                          // have no other owner)
    union {
        int64_t i64;      // KIND_INT64
        uint64_t u64;     // KIND_UINT64
        PyObject* obj;    // KIND_RAW: decimal text of a big int, __json__() result
    } scalar;
};

// ---- shared helpers --------------------------------------------------------

// UTF-8 bytes of `str` (lone surrogates in their three-byte form), followed by
// a NUL.  Compact ASCII strings are read in place; otherwise a bytes object is
// stored in *holder (releasing what it held), which the caller owns.  Null
// with an exception set on failure.
const char* PyUnicodeToUTF8Raw(PyObject* str, Py_ssize_t* outLength,
                               PyObject** holder) noexcept;

// 1 when `obj` is an instance of decimal.Decimal, 0 when not (always when
// `decimal` could not be imported), -1 when the instance check raised.
int object_is_decimal_type(PyObject* obj, const Encoder* enc) noexcept;
