// Private to the encoder: the per-call `Encoder` state record and the
// functions its files share.  codec/encode.cpp walks and writes values,
// codec/encode_entry.cpp holds dumps() and dump(), codec/output_buffer.h the
// buffer they write into.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "codec/escape.h"
#include "codec/key_cache.h"
#include "codec/owned_ref.h"

#if PY_VERSION_HEX < 0x030D0000
#error "quelt's encoder needs CPython 3.13 or newer (critical sections)"
#endif

// Completes the RecursionError raised when the stack runs short.
inline constexpr char kNestingContext[] = " while encoding a JSON document";

// Deepest level a value may sit at: the root is at level 0.
inline constexpr int32_t kRecursionMax = 1024;

// Bytes of each separator kept padded in the Encoder.
inline constexpr size_t kSeparatorHead = 8;

// A stretch of the output buffer written in a str's own code units rather
// than as UTF-8: without ensure_ascii, a str that is not ASCII is escaped in
// its own width and the result str is assembled from these runs and the
// UTF-8 text between them, with no UTF-8 round trip.
struct WideRun {
    size_t offset;    // from the start of the buffer, so that it survives a move
    size_t units;
    size_t unitSize;  // 1, 2 or 4 bytes
};

// One per dumps() call, in that call's frame and zero-filled before use.  It
// owns one Python reference, `text`, which the entry function releases or
// hands over; the entry function keeps the root, `default` and the
// separators alive for the whole call, and the module (with its state)
// outlives the call.
struct Encoder {
    EscapeOptions escape;          // ensure_ascii, encode_html_chars, escape_forward_slashes
    uint8_t sortKeys;              // 1: dictionaries walked in key order
    uint8_t rejectBytes;           // 1: bytes values are not written as strings
    uint8_t allowNan;              // 1: NaN and infinities as NaN, Infinity
    int64_t indent;                // spaces per level; <= 0 means one line
    int64_t itemSeparatorLength;
    const char* itemSeparator;     // used with its length, never as a C string
    int64_t keySeparatorLength;
    const char* keySeparator;
    // The separators' first kSeparatorHead bytes, zero-padded: a separator
    // that fits is stored as one word (see Buffer_AppendSeparatorUnchecked).
    char itemSeparatorHead[kSeparatorHead];
    char keySeparatorHead[kSeparatorHead];
    // Room each member of a container reserves before its indentation: the
    // item separator as it is stored, and a line break.
    size_t memberRoom;
    PyObject* defaultFn;           // null when absent or None
    PyObject* decimalType;         // decimal.Decimal; null when `decimal` could not be imported
    // Lowest stack address a nested container may start at (see
    // codec/nesting.h); 0 when unknown.
    uintptr_t stackFloor;
    const char* errorMsg;          // static text; once set the walk is over

    // Output buffer: text so far is [start, offset); capacity ends at `end`.
    // Past the caller's stack region it is the data of `text`, a str of
    // kind ASCII that becomes the result as it is when the output is ASCII,
    // so that a big output is not held twice (see codec/output_buffer.h).
    char* start;
    char* offset;
    char* end;
    PyObject* text;                // null while in the caller's stack region
    // Set once a byte >= 0x80 may have been written (raw text, non-ASCII
    // separators, copied bytes): the result is then decoded.
    bool nonAscii;
    // The wide runs, in buffer order (PyMem, released with the buffer), and
    // the widest unit among them (0 while there are none).
    WideRun* wideRuns;
    size_t wideRunCount;
    size_t wideRunCapacity;
    size_t widestUnit;

    int32_t level;                 // nesting depth of the value being encoded
    KeyCache keyCache;             // released by the entry function
};

// Writes one value.  `obj` is borrowed: the caller holds a strong reference
// for the whole call.  Failures record Encoder.errorMsg, with or without a
// Python exception pending (a pending one wins).
void encode(PyObject* obj, Encoder* enc) noexcept;

// The UTF-8 bytes of a str, lone surrogates in their three-byte form,
// followed by a NUL.  A compact ASCII str is read in place (it is immutable
// and the caller keeps it alive); otherwise the bytes are made into
// `*holder`.  Null with an exception set on failure.
const char* str_utf8(PyObject* str, Py_ssize_t* length, OwnedRef* holder) noexcept;
