// Private to the decoder: the per-call state record that the recursive
// parser works on.  One Decoder lives in the frame of each loads() call,
// typed by how it reads its input.
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

// How the parser reads its input, one unit at a time.  Utf8Input: UTF-8
// bytes (bytes, bytearray, and a compact ASCII str, whose storage is its
// UTF-8 already).  StrInput: any other str, read straight from its storage,
// one code point per 1-, 2- or 4-byte unit, so that it is never encoded to
// UTF-8 first.  JSON's own characters are ASCII and compare alike in every
// width.
struct Utf8Input {
    using Unit = unsigned char;
    static constexpr bool kUtf8 = true;
};

template <typename UnitType>
struct StrInput {
    using Unit = UnitType;
    static constexpr bool kUtf8 = false;
    static constexpr int kKind = sizeof(UnitType);  // PyUnicode_1BYTE_KIND and so on
};

static_assert(StrInput<Py_UCS1>::kKind == PyUnicode_1BYTE_KIND && StrInput<Py_UCS2>::kKind == PyUnicode_2BYTE_KIND &&
                  StrInput<Py_UCS4>::kKind == PyUnicode_4BYTE_KIND,
              "a str's kind is the width of its units");

template <typename Input>
struct Decoder {
    using Unit = typename Input::Unit;

    // Cursor and end of the input.  The unit at `end` is always a NUL that is
    // not part of the input; every scan stops on it, so the parser needs no
    // bounds tests while it reads.
    const Unit* start;
    const Unit* end;
    // Scratch buffer for the code points of a string being decoded: the
    // 256-slot region in the entry function's frame, or a heap block once a
    // longer string needed one (escHeap set; the entry function frees it).
    uint32_t* escStart;
    uint32_t* escEnd;
    uint8_t escHeap;
    // The members of the arrays being parsed, innermost last, each an owned
    // reference.  An array's list is made at its closing bracket, at its
    // exact size, and takes its members over.  A heap block once any array
    // had a member; the entry function frees it.
    PyObject** values;
    Py_ssize_t valueCount;
    Py_ssize_t valueCapacity;
    DecodedType lastType;
    uint32_t objDepth;
    // The recorded parse error: a static message, null while there is none,
    // and the first unit that cannot continue a valid document.
    const char* errorStr;
    const Unit* errorAt;
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
    const Unit* keyNotStringAt;  // the first such key
};

// Parses one value at `start` (after optional whitespace).  New reference,
// or null with errorStr recorded or a Python exception pending.
template <typename Input>
PyObject* decode_any(Decoder<Input>* ds) noexcept;
