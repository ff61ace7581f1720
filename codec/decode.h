// Private to the decoder: the per-call state record that the recursive
// parser works on.  One Decoder lives in the frame of each loads() call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// Kind of the value decoded last.  The object parser reads it right after a
// key to tell whether the key was a string.
enum class DecodedType : int32_t {
    Null = 0,
    True = 1,
    False = 2,
    Int = 3,
    Double = 6,
    String = 7,
    Pending = 11,  // a string or array has begun; an object key is due
    NaN = 12,
    Infinity = 13,
    NegInfinity = 14,
};

struct Decoder {
    // Cursor and end of the input.  The byte at `end` is always a NUL that is
    // not part of the input; every scan stops on it, so the parser needs no
    // bounds tests while it reads.
    const unsigned char* start;
    const unsigned char* end;
    // Scratch buffer for the code points of a string being decoded: the
    // 256-slot region in the entry function's frame, or a heap block once a
    // longer string needed one (escHeap set; the entry function frees it).
    uint32_t* escStart;
    uint32_t* escEnd;
    uint8_t escHeap;
    DecodedType lastType;
    uint32_t objDepth;
    // The recorded parse error: a static message, null while there is none,
    // and the first byte that cannot continue a valid document.
    const char* errorStr;
    const unsigned char* errorAt;
    // Short ASCII object keys seen so far in this call, by a hash of their
    // bytes, so a key repeated across objects is one str, hashed once.  Each
    // slot is an owned reference or null; the entry function releases them.
    PyObject** keyCache;
    // Set for a bytearray, whose bytes another thread may rewrite while they
    // are parsed (bytes and str are immutable).
    bool inputMutable;
    // Lowest stack address that a nested array or object may start at (see
    // codec/nesting.h); 0 when unknown.
    uintptr_t stackFloor;
    // Set when an array or object was used as an object key.  The parse goes
    // on to the end; the entry function then raises the key error.
    bool keyNotString;
    const unsigned char* keyNotStringAt;  // the first such key
};

// Parses one value at `start` (after optional whitespace).  New reference,
// or null with errorStr recorded or a Python exception pending.
PyObject* decode_any(Decoder* ds) noexcept;
