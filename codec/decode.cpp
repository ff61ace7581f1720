// JSON text to Python objects: the loads()/load() entry points and the
// recursive parser behind them.  One forward pass builds the objects while it
// reads; there is no token stream and no intermediate tree.
#include "codec/decode.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "codec/codec.h"
#include "codec/file_method.h"
#include "codec/limbs.h"
#include "codec/nesting.h"
#include "codec/owned_ref.h"
#include "codec/utf8.h"
#include "numconv/numconv.h"

namespace {

// Arrays and objects nested in one another.  The encoder writes a root and
// 1024 levels below it, that is up to 1025 containers when the innermost is
// empty; everything it writes must read back.
constexpr uint32_t kMaxDepth = 1025;
// Number texts longer than this are condensed before they reach the converter.
constexpr Py_ssize_t kLongNumberText = 1024;
constexpr Py_ssize_t kInlineScratchSlots = 256;
constexpr size_t kKeyCacheSlots = 512;  // a power of two
constexpr Py_ssize_t kKeyCacheMaxLength = 64;

// ---- messages ------------------------------------------------------------------

// The texts of JSONDecodeError, one per way a document can be malformed.
constexpr char kErrExpectedValue[] = "Expected object or value";
constexpr char kErrTrailingData[] = "Trailing data";
constexpr char kErrNoMemory[] = "Could not reserve memory block";
constexpr char kErrDepth[] = "Reached object decoding depth limit";
constexpr char kErrTrue[] = "Unexpected character found when decoding 'true'";
constexpr char kErrFalse[] = "Unexpected character found when decoding 'false'";
constexpr char kErrNull[] = "Unexpected character found when decoding 'null'";
constexpr char kErrNaN[] = "Unexpected character found when decoding 'NaN'";
constexpr char kErrInfinity[] = "Unexpected character found when decoding 'Infinity'";
constexpr char kErrNegInfinity[] = "Unexpected character found when decoding '-Infinity'";
constexpr char kErrNumberWithoutDigit[] = "Unexpected character found when decoding 'number'";
constexpr char kErrArrayAfterComma[] = "Unexpected character found when decoding array value (1)";
constexpr char kErrArraySeparator[] = "Unexpected character found when decoding array value (2)";
constexpr char kErrObjectSeparator[] = "Unexpected character in found when decoding object value";
constexpr char kErrKeyNotString[] = "Key name of object must be 'string' when decoding 'object'";
constexpr char kErrNoColon[] = "No ':' found when decoding object value";
constexpr char kErrKeyNotStored[] = "Invalid JSON: object keys must be strings";
constexpr char kErrUnmatchedQuote[] = "Unmatched '\"' when decoding 'string'";
constexpr char kErrUnterminatedEscape[] = "Unterminated escape sequence when decoding 'string'";
constexpr char kErrUnrecognizedEscape[] = "Unrecognized escape sequence when decoding 'string'";
constexpr char kErrUnterminatedUnicodeEscape[] = "Unterminated unicode escape sequence when decoding 'string'";
constexpr char kErrBadUnicodeEscape[] = "Unexpected character in unicode escape sequence when decoding 'string'";
constexpr char kErrContinuation[] = "Invalid UTF-8 continuation byte when decoding 'string'";
constexpr char kErrOverlong2[] = "Overlong 2-byte UTF-8 sequence detected when decoding 'string'";
constexpr char kErrOverlong3[] = "Overlong 3-byte UTF-8 sequence detected when decoding 'string'";
constexpr char kErrOverlong4[] = "Overlong 4-byte UTF-8 sequence detected when decoding 'string'";
constexpr char kErrAboveMax[] = "Code point > U+10FFFF encountered whilst decoding 'string'";
constexpr char kErrSequenceLength[] = "Invalid UTF-8 sequence length when decoding 'string'";
constexpr char kErrStrayContinuation[] = "Found UTF-8 continuation byte without corresponding start byte when decoding 'string'";

constexpr char kErrArbitraryBytes[] =
    "Arbitrary bytes-like objects are no longer supported. Use either string, bytes, or bytearray.";
constexpr char kErrExpectedInput[] = "Expected string, bytes, or bytearray";
// Completes the RecursionError message of the nesting bound.
constexpr char kNestingContext[] = " while decoding a JSON document";

// ---- error recording ---------------------------------------------------------

// Records the first parse error and where it is: the first unit that cannot
// continue a valid document (the end of the input when it ends too soon).
// Yields null, so a failing branch can `return fail(ds, "...", p)`.
// Messages are static texts, never allocated.
template <typename Input>
PyObject* fail(Decoder<Input>* ds, const char* message, const typename Input::Unit* at) noexcept {
    ds->errorStr = message;
    ds->errorAt = at;
    return nullptr;
}

// ---- byte classes --------------------------------------------------------------

// Class of each byte inside a string.  The table is the definition of what a
// string may hold: control bytes are plain, 0x80-0xBF cannot start a
// character, F5-F7 always encode above U+10FFFF, F8-FF start nothing.
enum ByteClass : uint8_t {
    CLASS_PLAIN = 1,
    CLASS_LEAD2 = 2,
    CLASS_LEAD3 = 3,
    CLASS_LEAD4 = 4,
    CLASS_END = 50,
    CLASS_QUOTE = 51,
    CLASS_ESCAPE = 52,
    CLASS_NO_SEQUENCE = 53,
    CLASS_CONTINUATION = 54,
    CLASS_ABOVE_MAX = 55,
};

constexpr std::array<uint8_t, 256> make_decoder_lookup() {
    std::array<uint8_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        uint8_t cls = CLASS_PLAIN;
        if (b == 0x00) cls = CLASS_END;
        else if (b == '"') cls = CLASS_QUOTE;
        else if (b == '\\') cls = CLASS_ESCAPE;
        else if (b >= 0x80 && b <= 0xBF) cls = CLASS_CONTINUATION;
        else if (b >= 0xC0 && b <= 0xDF) cls = CLASS_LEAD2;
        else if (b >= 0xE0 && b <= 0xEF) cls = CLASS_LEAD3;
        else if (b >= 0xF0 && b <= 0xF4) cls = CLASS_LEAD4;
        else if (b >= 0xF5 && b <= 0xF7) cls = CLASS_ABOVE_MAX;
        else if (b >= 0xF8) cls = CLASS_NO_SEQUENCE;
        table[b] = cls;
    }
    return table;
}

constexpr std::array<uint8_t, 256> g_decoderLookup = make_decoder_lookup();

static_assert(g_decoderLookup[0x00] == CLASS_END, "NUL ends every scan");
static_assert(g_decoderLookup[0x01] == CLASS_PLAIN && g_decoderLookup[0x1F] == CLASS_PLAIN,
              "raw control bytes are accepted as they are");
static_assert(g_decoderLookup[0x7F] == CLASS_PLAIN, "DEL is plain");
static_assert(g_decoderLookup['"'] == CLASS_QUOTE && g_decoderLookup['\\'] == CLASS_ESCAPE, "");
static_assert(g_decoderLookup[0x80] == CLASS_CONTINUATION && g_decoderLookup[0xBF] == CLASS_CONTINUATION, "");
static_assert(g_decoderLookup[0xC0] == CLASS_LEAD2 && g_decoderLookup[0xDF] == CLASS_LEAD2, "");
static_assert(g_decoderLookup[0xE0] == CLASS_LEAD3 && g_decoderLookup[0xEF] == CLASS_LEAD3, "");
static_assert(g_decoderLookup[0xF0] == CLASS_LEAD4 && g_decoderLookup[0xF4] == CLASS_LEAD4, "");
static_assert(g_decoderLookup[0xF5] == CLASS_ABOVE_MAX && g_decoderLookup[0xF7] == CLASS_ABOVE_MAX, "");
static_assert(g_decoderLookup[0xF8] == CLASS_NO_SEQUENCE && g_decoderLookup[0xFF] == CLASS_NO_SEQUENCE, "");

#if defined(__SSE2__)
// Quotation mark, backslash, NUL and every byte from 0x80 (its top bit).
inline utf8::Chunk not_plain_in_string(utf8::Chunk c) noexcept {
    using namespace utf8;
    return either(either(equal(c, splat('"')), equal(c, splat('\\'))), either(equal(c, splat(0)), c));
}
#endif

// First byte at or after `p` that is not plain inside a string: a quotation
// mark, a backslash, the NUL or a byte of a multi-byte sequence.  Sixteen
// bytes at a time while they lie before `end`, then byte by byte up to the
// NUL after the input, which stops the table loop.
inline const unsigned char* scan_plain(const unsigned char* p, const unsigned char* end) noexcept {
#if defined(__SSE2__)
    p = utf8::scan16(p, end, [](utf8::Chunk c) { return not_plain_in_string(c); });
#endif
    while (g_decoderLookup[*p] == CLASS_PLAIN) ++p;
    return p;
}

#if defined(__SSE2__)
// Units of a str's storage equal to `value`, as a chunk mask: every byte of
// a matching unit is set.
template <typename Unit>
inline utf8::Chunk units_equal(utf8::Chunk c, uint32_t value) noexcept {
    if constexpr (sizeof(Unit) == 1) return _mm_cmpeq_epi8(c, _mm_set1_epi8(char(value)));
    else if constexpr (sizeof(Unit) == 2) return _mm_cmpeq_epi16(c, _mm_set1_epi16(short(value)));
    else return _mm_cmpeq_epi32(c, _mm_set1_epi32(int(value)));
}

// scan16 for units of any width: the first unit at or after `p` that
// `special` marks, sixteen bytes at a time while they lie before `end`;
// where fewer remain, the position reached, for the caller's unit loop.
template <typename Unit, typename Special>
[[gnu::always_inline]] inline const Unit* scan16_units(const Unit* p, const Unit* end, Special special) noexcept {
    constexpr Py_ssize_t kPerChunk = 16 / sizeof(Unit);
    while (end - p >= kPerChunk) {
        const utf8::Chunk chunk = _mm_loadu_si128(reinterpret_cast<const utf8::Chunk*>(p));
        const unsigned mask = unsigned(_mm_movemask_epi8(special(chunk)));
        if (mask) return p + __builtin_ctz(mask) / sizeof(Unit);
        p += kPerChunk;
    }
    return p;
}
#endif

// The same for a str's code points: only the quotation mark, the backslash
// and the NUL end a plain run; every other code point, control characters
// and lone surrogates included, stands for itself.
template <typename Unit>
inline const Unit* scan_plain_units(const Unit* p, const Unit* end) noexcept {
#if defined(__SSE2__)
    p = scan16_units(p, end, [](utf8::Chunk c) {
        return utf8::either(utf8::either(units_equal<Unit>(c, '"'), units_equal<Unit>(c, '\\')),
                            units_equal<Unit>(c, 0));
    });
#else
    (void)end;
#endif
    for (;; ++p) {
        const Unit u = *p;
        if (u == '"' || u == '\\' || u == 0) return p;
    }
}

// ---- whitespace ----------------------------------------------------------------

// Space, tab, line feed and carriage return; nothing else (no form feed, no
// byte-order mark).  The NUL after the input is not whitespace, so the loops
// stop there at the latest.  Indented documents put runs of a dozen spaces or
// more between tokens, so a run is skipped sixteen bytes at a time while they
// lie before `end` (a quarter fewer instructions on such documents).
template <typename Unit>
inline const Unit* skip_whitespace(const Unit* p, const Unit* end) noexcept {
    if (*p > ' ') return p;  // the common case: a token follows at once
#if defined(__SSE2__)
    p = scan16_units(p, end, [](utf8::Chunk c) {
        using utf8::either;
        const utf8::Chunk blank = either(either(units_equal<Unit>(c, ' '), units_equal<Unit>(c, '\n')),
                                         either(units_equal<Unit>(c, '\r'), units_equal<Unit>(c, '\t')));
        return _mm_xor_si128(blank, _mm_set1_epi8(char(0xFF)));
    });
#else
    (void)end;
#endif
    while (*p <= ' ' && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
    return p;
}

// ---- literals ------------------------------------------------------------------

// Compares the rest of a literal unit by unit, stopping at the first
// difference, so the NUL after the input is never passed.  Null when it
// matches, else the first unit that differs.
template <typename Unit>
inline const Unit* mismatch(const Unit* p, const char* rest) noexcept {
    for (; *rest; ++p, ++rest)
        if (*p != static_cast<unsigned char>(*rest)) return p;
    return nullptr;
}

template <typename Input>
PyObject* decode_literal(Decoder<Input>* ds) noexcept {
    const auto* p = ds->start;
    switch (*p) {
    case 't':
        if (const auto* wrong = mismatch(p + 1, "rue")) return fail(ds, kErrTrue, wrong);
        ds->lastType = DecodedType::True;
        ds->start = p + 4;
        return Py_True;  // immortal: no reference to take
    case 'f':
        if (const auto* wrong = mismatch(p + 1, "alse")) return fail(ds, kErrFalse, wrong);
        ds->lastType = DecodedType::False;
        ds->start = p + 5;
        return Py_False;
    default:  // 'n'
        if (const auto* wrong = mismatch(p + 1, "ull")) return fail(ds, kErrNull, wrong);
        ds->lastType = DecodedType::Null;
        ds->start = p + 4;
        return Py_None;
    }
}

// ---- strings -------------------------------------------------------------------

// Grows the scratch buffer to hold at least `slots` code points, keeping the
// first `used`.  Rare path: kept out of line.
template <typename Input>
[[gnu::noinline]] bool grow_scratch(Decoder<Input>* ds, Py_ssize_t used, Py_ssize_t slots) noexcept {
    Py_ssize_t capacity = ds->escEnd - ds->escStart;
    while (capacity < slots) {
        if (capacity > PY_SSIZE_T_MAX / 2 / Py_ssize_t(sizeof(uint32_t))) {
            fail(ds, kErrNoMemory, ds->start);
            return false;
        }
        capacity *= 2;
    }
    const size_t bytes = size_t(capacity) * sizeof(uint32_t);
    uint32_t* block;
    if (ds->escHeap) {
        block = static_cast<uint32_t*>(PyObject_Realloc(ds->escStart, bytes));
    } else {
        block = static_cast<uint32_t*>(PyObject_Malloc(bytes));
        if (block) memcpy(block, ds->escStart, size_t(used) * sizeof(uint32_t));
    }
    if (!block) {
        fail(ds, kErrNoMemory, ds->start);
        return false;
    }
    ds->escStart = block;
    ds->escEnd = block + capacity;
    ds->escHeap = 1;
    return true;
}

// Room for `more` code points after `*out`, growing the scratch buffer (and
// moving `*out` with it) when needed.
template <typename Input>
inline bool reserve_scratch(Decoder<Input>* ds, uint32_t** out, Py_ssize_t more) noexcept {
    if (ds->escEnd - *out >= more) return true;
    const Py_ssize_t used = *out - ds->escStart;
    if (!grow_scratch(ds, used, used + more)) return false;
    *out = ds->escStart + used;
    return true;
}

inline int hex_value(uint32_t h) noexcept {
    if (h >= '0' && h <= '9') return h - '0';
    if (h >= 'a' && h <= 'f') return h - 'a' + 10;
    if (h >= 'A' && h <= 'F') return h - 'A' + 10;
    return -1;
}

template <typename Unit>
inline void narrow_copy(Unit* to, const uint32_t* from, Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) to[i] = static_cast<Unit>(from[i]);
}

// A str from `count` code points.  `bits` is the OR of them all: below 0x80,
// 0x100 or 0x10000 exactly when every code point is, so it names the narrowest
// kind, which CPython requires of every str it compares.
PyObject* string_from_code_points(const uint32_t* points, Py_ssize_t count, uint32_t bits) noexcept {
    const Py_UCS4 maxchar = bits < 0x80 ? 0x7F : bits < 0x100 ? 0xFF : bits < 0x10000 ? 0xFFFF : 0x10FFFF;
    PyObject* text = PyUnicode_New(count, maxchar);
    if (!text) return nullptr;
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: narrow_copy(PyUnicode_1BYTE_DATA(text), points, count); break;
    case PyUnicode_2BYTE_KIND: narrow_copy(PyUnicode_2BYTE_DATA(text), points, count); break;
    default: memcpy(PyUnicode_4BYTE_DATA(text), points, size_t(count) * sizeof(uint32_t)); break;
    }
    return text;
}

// The escape sequence at `*p`: stores its code point (or completes a
// surrogate pair) and moves `*p` past it.  Room for one code point is there.
template <typename Input, typename Unit = typename Input::Unit>
inline bool decode_escape(Decoder<Input>* ds, const Unit** at, uint32_t** out, uint32_t* bits,
                          const Unit** pairPoint) noexcept {
    const Unit* p = *at;
    uint32_t v;
    switch (p[1]) {
    case '"': v = '"'; break;
    case '\\': v = '\\'; break;
    case '/': v = '/'; break;
    case 'b': v = '\b'; break;
    case 'f': v = '\f'; break;
    case 'n': v = '\n'; break;
    case 'r': v = '\r'; break;
    case 't': v = '\t'; break;
    case 'u': {
        uint32_t u = 0;
        for (int i = 2; i < 6; ++i) {
            const int digit = hex_value(p[i]);
            if (digit < 0) {
                fail(ds, p[i] == 0
                    ? kErrUnterminatedUnicodeEscape
                    : kErrBadUnicodeEscape, p + i);
                return false;
            }
            u = (u << 4) | uint32_t(digit);
        }
        if ((u & 0xFC00) == 0xDC00 && p == *pairPoint) {
            // (*out)[-1] is the high surrogate stored by the adjacent escape.
            uint32_t* high = *out - 1;
            *high = 0x10000 + ((*high - 0xD800) << 10) + (u - 0xDC00);
            *bits |= *high;
        } else {
            *(*out)++ = u;
            *bits |= u;
        }
        *at = p + 6;
        if ((u & 0xFC00) == 0xD800) *pairPoint = *at;
        return true;
    }
    case 0:
        fail(ds, kErrUnterminatedEscape, p + 1);
        return false;
    default:
        fail(ds, kErrUnrecognizedEscape, p + 1);
        return false;
    }
    *(*out)++ = v;
    *bits |= v;
    *at = p + 2;
    return true;
}

// Records why the UTF-8 sequence at `p` is invalid.  Rare path.
[[gnu::noinline]] void sequence_failed(Decoder<Utf8Input>* ds, const unsigned char* p, int length,
                                       utf8::Sequence sequence) noexcept {
    switch (sequence.error) {
    case utf8::SequenceError::BadContinuation:
        fail(ds, kErrContinuation, p + sequence.badByte);
        break;
    case utf8::SequenceError::Overlong:
        fail(ds, length == 2 ? kErrOverlong2 : length == 3 ? kErrOverlong3 : kErrOverlong4, p);
        break;
    case utf8::SequenceError::AboveMax:
    case utf8::SequenceError::None:  // not called for a valid sequence
        fail(ds, kErrAboveMax, p);
        break;
    }
}

// Stores the code point of the kLength-byte sequence at `*at` and moves past
// it; false with the error recorded when it is invalid.  Room for one code
// point is there.
template <int kLength>
inline bool take_sequence(Decoder<Utf8Input>* ds, const unsigned char** at, uint32_t** out, uint32_t* bits) noexcept {
    const unsigned char* p = *at;
    const utf8::Sequence sequence = utf8::decode_sequence<kLength>(p);
    if (sequence.error != utf8::SequenceError::None) {
        sequence_failed(ds, p, kLength, sequence);
        return false;
    }
    *(*out)++ = sequence.codePoint;
    *bits |= sequence.codePoint;
    *at = p + kLength;
    return true;
}

// A run of multi-byte characters, one little-endian word per character
// (utf8::decode_word) while four bytes lie before the end and the scratch
// has room.  Stops at anything else, malformed sequences included, which
// the table loop then decides, so that their messages stay those of the
// byte-by-byte checks.  A bytearray rewritten meanwhile is read one word
// per character, and what is stored is what was checked.
inline const unsigned char* take_sequence_run(const unsigned char* p, const unsigned char* end, uint32_t** out,
                                              const uint32_t* outEnd, uint32_t* bits) noexcept {
    uint32_t* to = *out;
    uint32_t seen = 0;
    while (end - p >= 4 && to < outEnd) {
        uint32_t cp;
        const int length = utf8::decode_word(p, &cp);
        if (length == 0) break;
        *to++ = cp;
        seen |= cp;
        p += length;
    }
    *out = to;
    *bits |= seen;
    return p;
}

// The general string path: escapes and multi-byte UTF-8.  `p` is where the
// plain scan of decode_string stopped; the bytes before it are plain ASCII.
//
// The buffer grows on demand: each loop turn checks room for what it stores.
// (Reserving for all the rest of the input instead would cost four bytes per
// remaining input byte, and would not stay sound if another thread rewrote a
// bytearray while it is parsed.)
[[gnu::noinline]] PyObject* decode_string_general(Decoder<Utf8Input>* ds, const unsigned char* first,
                                                  const unsigned char* p) noexcept {
    uint32_t* out = ds->escStart;
    uint32_t bits = 0;  // OR of the stored code points

    // Position just after the latest \u escape holding a high surrogate; a
    // low-surrogate escape starting exactly there completes the pair.
    const unsigned char* pairPoint = nullptr;

    // A run of plain bytes (first the one before p) is widened in one go.
    const unsigned char* run = first;
    for (;;) {
        if (p > run) {
            if (!reserve_scratch(ds, &out, p - run)) return nullptr;
            // The scan saw ASCII here, but a bytearray may have changed since:
            // what is stored counts, so it goes into `bits` as well.
            uint32_t runBits = 0;
            for (; run < p; ++run) {
                const uint32_t c = *run;
                *out++ = c;
                runBits |= c;
            }
            bits |= runBits;
        }
        if (!reserve_scratch(ds, &out, 1)) return nullptr;

        // No bounds test on reads: each byte of a sequence is checked before
        // the next is read, and the NUL after the input fails every check.
        const unsigned char b = *p;
        switch (g_decoderLookup[b]) {
        case CLASS_PLAIN:
            run = p;
            p = scan_plain(p + 1, ds->end);
            continue;
        case CLASS_LEAD2:
        case CLASS_LEAD3:  // encoded surrogates are kept as they are
        case CLASS_LEAD4: {
            const unsigned char* const next = take_sequence_run(p, ds->end, &out, ds->escEnd, &bits);
            if (next != p) {
                p = next;
                break;
            }
            const bool taken = b < 0xE0   ? take_sequence<2>(ds, &p, &out, &bits)
                               : b < 0xF0 ? take_sequence<3>(ds, &p, &out, &bits)
                                          : take_sequence<4>(ds, &p, &out, &bits);
            if (!taken) return nullptr;
            break;
        }
        case CLASS_ESCAPE:
            if (!decode_escape(ds, &p, &out, &bits, &pairPoint)) return nullptr;
            break;
        case CLASS_QUOTE:
            ds->lastType = DecodedType::String;
            ds->start = p + 1;
            return string_from_code_points(ds->escStart, out - ds->escStart, bits);
        case CLASS_END:
            return fail(ds, kErrUnmatchedQuote, p);
        case CLASS_NO_SEQUENCE:
            return fail(ds, kErrSequenceLength, p);
        case CLASS_CONTINUATION:
            return fail(ds, kErrStrayContinuation, p);
        default:  // CLASS_ABOVE_MAX
            return fail(ds, kErrAboveMax, p);
        }
        run = p;
    }
}

inline bool all_ascii(const unsigned char* p, Py_ssize_t length) noexcept {
    unsigned char seen = 0;
    for (Py_ssize_t i = 0; i < length; ++i) seen |= p[i];
    return seen < 0x80;
}

// A str from bytes that the plain scan found to be ASCII.  A bytearray may
// have been rewritten by another thread since that scan, and a str flagged
// ASCII must hold nothing else: so for one, the private copy is checked, and
// null with `*changed` set sends the caller to the general path, which reads
// each byte once.
inline PyObject* new_ascii_string(bool inputMutable, const unsigned char* first, Py_ssize_t length,
                                  bool* changed) noexcept {
    PyObject* text = PyUnicode_New(length, 127);
    if (!text) return nullptr;
    Py_UCS1* data = PyUnicode_1BYTE_DATA(text);
    memcpy(data, first, size_t(length));
    if (inputMutable && !all_ascii(data, length)) {
        Py_DECREF(text);
        *changed = true;
        return nullptr;
    }
    return text;
}

inline size_t key_slot(const unsigned char* p, Py_ssize_t length) noexcept {
    // Collisions only cost a miss, so the first and last eight bytes will do.
    uint64_t head = 0, tail = 0;
    if (length >= 8) {
        memcpy(&head, p, 8);
        memcpy(&tail, p + length - 8, 8);
    } else {
        memcpy(&head, p, size_t(length));
    }
    const uint64_t mixed = (head * 0x9E3779B97F4A7C15ULL) ^ (tail * 0xC2B2AE3D27D4EB4FULL) ^ uint64_t(length);
    return size_t(mixed >> 32) & (kKeyCacheSlots - 1);
}

// Whether the `length` bytes at `a` and `b` are the same, for a length of
// one to two words: the first and the last word of each, overlapping when
// shorter than two, lie within both texts.
template <typename Word>
inline bool same_ends(const unsigned char* a, const unsigned char* b, Py_ssize_t length) noexcept {
    Word a0, a1, b0, b1;
    memcpy(&a0, a, sizeof(Word));
    memcpy(&b0, b, sizeof(Word));
    memcpy(&a1, a + length - sizeof(Word), sizeof(Word));
    memcpy(&b1, b + length - sizeof(Word), sizeof(Word));
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// Whether the `length` bytes at `a` and `b` are the same.  Keys are short:
// up to 16 bytes, word compares do it without a call.
inline bool same_bytes(const unsigned char* a, const unsigned char* b, Py_ssize_t length) noexcept {
    if (length >= 8 && length <= 16) return same_ends<uint64_t>(a, b, length);
    if (length >= 4 && length < 8) return same_ends<uint32_t>(a, b, length);
    if (length < 4) {
        for (Py_ssize_t i = 0; i < length; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
    return memcmp(a, b, size_t(length)) == 0;
}

// An object key of plain ASCII bytes, shared with its earlier occurrences in
// this document.  The cache holds its own reference to each key it keeps.
template <typename Input>
PyObject* cached_ascii_key(Decoder<Input>* ds, const unsigned char* first, Py_ssize_t length,
                           bool* changed) noexcept {
    if (!ds->keyCache) {
        ds->keyCache = static_cast<PyObject**>(PyMem_Calloc(kKeyCacheSlots, sizeof(PyObject*)));
        if (!ds->keyCache) return new_ascii_string(ds->inputMutable, first, length, changed);  // works uncached
    }
    PyObject** slot = &ds->keyCache[key_slot(first, length)];
    PyObject* cached = *slot;
    // A match hands out a str that is sound whatever the input holds now.
    if (cached && PyUnicode_GET_LENGTH(cached) == length && same_bytes(PyUnicode_1BYTE_DATA(cached), first, length))
        return Py_NewRef(cached);
    PyObject* key = new_ascii_string(ds->inputMutable, first, length, changed);
    if (key) Py_XSETREF(*slot, Py_NewRef(key));
    return key;
}

// String at the opening quotation mark.  Strings of plain ASCII bytes, the
// common case, become a str with one copy (object keys through the key
// cache); anything else takes the general path, which gives the same result
// for them.
template <bool kIsKey>
PyObject* decode_utf8_string(Decoder<Utf8Input>* ds) noexcept {
    const unsigned char* const first = ds->start + 1;
    ds->lastType = DecodedType::Pending;
    ds->start = first;

    const unsigned char* p = scan_plain(first, ds->end);
    if (*p != '"') return decode_string_general(ds, first, p);

    const Py_ssize_t length = p - first;
    bool changed = false;
    PyObject* text = kIsKey && length <= kKeyCacheMaxLength ? cached_ascii_key(ds, first, length, &changed)
                                                            : new_ascii_string(ds->inputMutable, first, length, &changed);
    if (changed) return decode_string_general(ds, first, first);
    ds->lastType = DecodedType::String;
    ds->start = p + 1;
    return text;
}

// A string with escapes, read from a str's storage: plain runs and escapes
// go through the scratch buffer, as in the UTF-8 path.  `p` is where the
// plain scan of decode_unit_string stopped.
template <typename Input, typename Unit = typename Input::Unit>
[[gnu::noinline]] PyObject* decode_unit_string_general(Decoder<Input>* ds, const Unit* first,
                                                       const Unit* p) noexcept {
    uint32_t* out = ds->escStart;
    uint32_t bits = 0;
    const Unit* pairPoint = nullptr;  // as in decode_string_general
    const Unit* run = first;
    for (;;) {
        // [run, p) is plain.
        if (!reserve_scratch(ds, &out, p - run + 1)) return nullptr;
        uint32_t runBits = 0;
        for (; run < p; ++run) {
            const uint32_t c = *run;
            *out++ = c;
            runBits |= c;
        }
        bits |= runBits;
        if (*p == '"') {
            ds->lastType = DecodedType::String;
            ds->start = p + 1;
            return string_from_code_points(ds->escStart, out - ds->escStart, bits);
        }
        if (*p != '\\') return fail(ds, kErrUnmatchedQuote, p);  // the NUL
        if (!decode_escape(ds, &p, &out, &bits, &pairPoint)) return nullptr;
        run = p;
        p = scan_plain_units(p, ds->end);
    }
}

// An object key without escapes from a str's storage: when it is short and
// ASCII, the key cache's str (the key cache hashes bytes, so the units are
// narrowed first).  Out of line: the narrowed copy stays out of the frame of
// every nesting level.
template <typename Input, typename Unit = typename Input::Unit>
[[gnu::noinline]] PyObject* unit_key(Decoder<Input>* ds, const Unit* first, Py_ssize_t length) noexcept {
    unsigned char narrow[kKeyCacheMaxLength];
    Unit seen = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        seen |= first[i];
        narrow[i] = static_cast<unsigned char>(first[i]);
    }
    if (seen >= 0x80) return PyUnicode_FromKindAndData(Input::kKind, first, length);
    bool changed = false;  // a str never changes
    return cached_ascii_key(ds, narrow, length, &changed);
}

// A string at its opening quotation mark, read from a str's storage.  One
// without escapes is a slice of the input: the interpreter makes it a str of
// the narrowest kind in one pass.
template <bool kIsKey, typename Input>
PyObject* decode_unit_string(Decoder<Input>* ds) noexcept {
    const auto* const first = ds->start + 1;
    ds->lastType = DecodedType::Pending;
    ds->start = first;

    const auto* p = scan_plain_units(first, ds->end);
    if (*p != '"') return decode_unit_string_general(ds, first, p);

    const Py_ssize_t length = p - first;
    PyObject* text = kIsKey && length <= kKeyCacheMaxLength ? unit_key(ds, first, length)
                                                            : PyUnicode_FromKindAndData(Input::kKind, first, length);
    if (!text) return nullptr;
    ds->lastType = DecodedType::String;
    ds->start = p + 1;
    return text;
}

template <bool kIsKey, typename Input>
inline PyObject* decode_string(Decoder<Input>* ds) noexcept {
    if constexpr (Input::kUtf8) return decode_utf8_string<kIsKey>(ds);
    else return decode_unit_string<kIsKey>(ds);
}

// ---- numbers -------------------------------------------------------------------

inline bool is_digit(uint32_t c) noexcept { return c - '0' < 10; }

// The value of the eight ASCII digits at `p`, or false when any of the eight
// bytes is not a digit; the caller makes sure that eight bytes lie before the
// end.  Little-endian SWAR: the digit test adds 0x46 (a carry into the top
// bit above '9') and subtracts 0x30 (a borrow below '0'); the value comes
// from three multiplications that combine neighbouring digits, pairs, then
// quads.
inline bool all_eight_digits(uint64_t v) noexcept {
    return !(((v + 0x4646464646464646ULL) | (v - 0x3030303030303030ULL)) & 0x8080808080808080ULL);
}

inline bool eight_digits(const unsigned char* p, uint64_t* value) noexcept {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the digit combination reads bytes little-endian");
    uint64_t v;
    memcpy(&v, p, 8);
    if (!all_eight_digits(v)) return false;
    v -= 0x3030303030303030ULL;
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >> 32;
    *value = v;
    return true;
}

// The end of a run of digits: past the 64-bit range the rest of a long
// integer is only skipped, byte units eight at a time.  Out of line, away
// from the common short number.
template <typename Unit>
[[gnu::noinline]] const Unit* skip_digits(const Unit* p, const Unit* end) noexcept {
    if constexpr (sizeof(Unit) == 1)
        for (uint64_t eight; end - p >= 8 && (memcpy(&eight, p, 8), all_eight_digits(eight));) p += 8;
    while (is_digit(*p)) ++p;
    return p;
}

// Integer beyond 64 bits.  Its digits are taken 19 at a time (the most
// that fit 64 bits) from the most significant end and folded into 64-bit
// limbs, least significant first: limbs = limbs * 10^19 + chunk.  The limbs
// are handed over as little-endian bytes, a negative value as its two's
// complement.  Texts longer than kMaxLimbDigits go to the interpreter's own
// parser on a NUL-terminated copy, which also applies its limit on digits;
// the limit cannot be set below 640, so no shorter text can reach it.
static_assert(kLimbDecimalDigits == 3 + 8 + 8, "a full chunk is three digits and twice eight");
constexpr Py_ssize_t kMaxLimbDigits = 640;
// 10^640 < 2^2127: 34 limbs, and one more for the sign of a negative value.
constexpr size_t kMaxLimbs = 35;
static_assert(kMaxLimbDigits * 3322 / 1000 + 1 < 64 * (kMaxLimbs - 1), "limbs hold every short text");

// The int of sign `negative` and magnitude `limbs` (`count` of them, room
// for one more).  On 3.13 it is made from the interpreter's own digits in
// one copy: _PyLong_FromDigits, declared for extensions in the headers of
// that version, takes the digits of a normalized magnitude (no zero digit
// on top), which the limbs give by shifting alone; PyLong_FromNativeBytes
// instead rebuilds them byte by byte, which took as long as reading all
// the decimal digits.  Other versions use that public call.  Ints below
// 2^(2 * PyLong_SHIFT) go through PyLong_FromLongLong, which hands out the
// shared small ints; only a bytearray rewritten while it was read (see
// below) can bring such a value here.
PyObject* long_from_limbs(bool negative, uint64_t* limbs, size_t count) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    static_assert(PyLong_SHIFT < 64, "a digit is narrower than a limb");
    // Each limb first completes the digit that the bits left over from the
    // limbs before it began (fewer than PyLong_SHIFT of them), then gives
    // whole digits while it has the bits, and leaves the rest over.
    digit digits[kMaxLimbs * 64 / PyLong_SHIFT + 1];
    size_t digitCount = 0;
    uint64_t leftover = 0;
    unsigned leftoverBits = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t limb = limbs[i];
        digits[digitCount++] = digit((leftover | limb << leftoverBits) & PyLong_MASK);
        const unsigned taken = PyLong_SHIFT - leftoverBits;  // 1 to PyLong_SHIFT
        leftover = limb >> taken;
        for (leftoverBits = 64 - taken; leftoverBits >= PyLong_SHIFT; leftoverBits -= PyLong_SHIFT) {
            digits[digitCount++] = digit(leftover & PyLong_MASK);
            leftover >>= PyLong_SHIFT;
        }
    }
    if (leftoverBits > 0) digits[digitCount++] = digit(leftover);
    while (digitCount > 0 && digits[digitCount - 1] == 0) --digitCount;
    if (digitCount <= 2) {
        long long value = 0;
        for (size_t i = digitCount; i-- > 0;) value = (value << PyLong_SHIFT) | digits[i];
        return PyLong_FromLongLong(negative ? -value : value);
    }
    return reinterpret_cast<PyObject*>(_PyLong_FromDigits(negative, Py_ssize_t(digitCount), digits));
#else
    if (!negative)
        return PyLong_FromNativeBytes(limbs, count * sizeof limbs[0],
                                      Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    // Two's complement over one more limb, whose sign bit is then set.
    limbs[count++] = 0;
    negate_limbs(limbs, count);
    return PyLong_FromNativeBytes(limbs, count * sizeof limbs[0], Py_ASNATIVEBYTES_LITTLE_ENDIAN);
#endif
}

template <typename Unit>
[[gnu::noinline]] PyObject* decode_big_integer(const Unit* first, const Unit* last) noexcept {
    const bool negative = *first == '-';
    const Unit* p = first + negative;
    if (last - p > kMaxLimbDigits) {
        const size_t length = size_t(last - first);
        char* copy = static_cast<char*>(PyObject_Malloc(length + 1));
        if (!copy) return PyErr_NoMemory();
        for (size_t i = 0; i < length; ++i) copy[i] = char(first[i]);  // a sign and digits
        copy[length] = '\0';
        PyObject* value = PyLong_FromString(copy, nullptr, 10);
        PyObject_Free(copy);
        return value;
    }

    uint64_t limbs[kMaxLimbs];
    size_t limbCount = 0;
    // The first chunk takes the remainder, one digit at a time, so that
    // every later one is full: three digits, then (byte units) twice eight.
    // Digits are not checked again: a unit rewritten meanwhile (a bytearray
    // changed by another thread) makes a wrong chunk, in unsigned arithmetic,
    // never more limbs: each chunk adds at most one.
    Py_ssize_t chunkDigits = (last - p) % kLimbDecimalDigits;
    if (chunkDigits == 0) chunkDigits = kLimbDecimalDigits;
    uint64_t chunk = 0;
    for (const Unit* const chunkEnd = p + chunkDigits; p < chunkEnd; ++p) chunk = 10 * chunk + uint64_t(*p - '0');
    for (;;) {
        uint64_t carry = chunk;
        for (size_t i = 0; i < limbCount; ++i) {
            const unsigned __int128 product = (unsigned __int128)limbs[i] * kLimbDecimalScale + carry;
            limbs[i] = uint64_t(product);
            carry = uint64_t(product >> 64);
        }
        if (carry) limbs[limbCount++] = carry;
        if (p == last) break;

        chunk = 100 * uint64_t(p[0] - '0') + 10 * uint64_t(p[1] - '0') + uint64_t(p[2] - '0');
        p += 3;
        uint64_t eight[2];
        if constexpr (sizeof(Unit) == 1) {
            if (!eight_digits(p, &eight[0]) || !eight_digits(p + 8, &eight[1])) eight[0] = eight[1] = 0;
        } else {
            eight[0] = eight[1] = 0;
            for (int i = 0; i < 8; ++i) {
                eight[0] = 10 * eight[0] + uint64_t(p[i] - '0');
                eight[1] = 10 * eight[1] + uint64_t(p[8 + i] - '0');
            }
        }
        chunk = (chunk * 100000000 + eight[0]) * 100000000 + eight[1];
        p += 16;
    }
    return long_from_limbs(negative, limbs, limbCount);
}

template <typename Input>
PyObject* decode_literal_number(Decoder<Input>* ds, const char* rest, size_t length, DecodedType type,
                                double value, const char* message) noexcept {
    if (const auto* wrong = mismatch(ds->start + 1, rest)) return fail(ds, message, wrong);
    ds->lastType = type;
    ds->start += length;
    return PyFloat_FromDouble(value);
}


// A number text too long for the converter to take as it is (hundreds of
// megabytes of zeros overflow its internal counters), read as its
// significant digits and a decimal exponent and handed over in that short
// form: "0.<digits>e<exponent>".  Up to 800 significant digits are kept;
// when later digits are dropped and any of them is not zero, a final '1'
// stands for them, which is all that correct rounding needs of them (a
// double is decided by its first 767 significant digits and whether
// anything follows).  The exponent saturates far beyond the double range.
// The text is the extent [first, last) that decode_double found; it is read
// once more here within those bounds, and a byte that is no longer a digit
// (a bytearray rewritten meanwhile) counts as a zero.
template <typename Unit>
[[gnu::noinline]] double convert_long_number(const Unit* first, const Unit* last) noexcept {
    constexpr int kKeptDigits = 800;
    constexpr int64_t kExponentCap = 1000000000;
    char text[kKeptDigits + 40];
    char* out = text;
    const Unit* p = first;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    *out++ = '0';
    *out++ = '.';
    char* const digitsStart = out;

    int64_t exponent = 0;  // decimal exponent of 0.<digits>
    bool seenNonZero = false;
    bool droppedNonZero = false;
    auto take = [&](uint32_t c, bool beforePoint) {
        const char digit = is_digit(c) ? char(c) : '0';
        if (!seenNonZero) {
            if (digit == '0') {
                if (!beforePoint) --exponent;  // a leading zero after the point
                return;
            }
            seenNonZero = true;
        }
        if (beforePoint) ++exponent;
        if (out - digitsStart < kKeptDigits) *out++ = digit;
        else if (digit != '0') droppedNonZero = true;
    };
    for (; p < last && *p != '.' && *p != 'e' && *p != 'E'; ++p) take(*p, true);
    if (p < last && *p == '.')
        for (++p; p < last && *p != 'e' && *p != 'E'; ++p) take(*p, false);
    if (p < last) {  // the exponent: [eE][+-]?digits
        ++p;
        bool negative = false;
        if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';
        int64_t value = 0;
        for (; p < last; ++p) value = std::min<int64_t>(value * 10 + (is_digit(*p) ? *p - '0' : 0), kExponentCap);
        exponent += negative ? -value : value;
    }
    if (!seenNonZero) return *first == '-' ? -0.0 : 0.0;
    if (droppedNonZero) *out++ = '1';
    exponent = std::clamp<int64_t>(exponent, -kExponentCap, kExponentCap);
    out += snprintf(out, size_t(text + sizeof text - out), "e%lld", static_cast<long long>(exponent));
    size_t used = 0;
    return numconv::parse_double(text, size_t(out - text), &used);
}

// A number text of at most kLongNumberText units from a str's storage,
// narrowed for the converter (its extent holds only ASCII: digits, sign,
// point, exponent marker).  Out of line: the copy stays out of the frame of
// every nesting level.
template <typename Unit>
[[gnu::noinline]] double parse_unit_number(const Unit* first, Py_ssize_t length, size_t* used) noexcept {
    char text[kLongNumberText];
    for (Py_ssize_t i = 0; i < length; ++i) text[i] = char(first[i]);
    return numconv::parse_double(text, size_t(length), used);
}

// A number with a fraction or an exponent; `intEnd` is where its integer
// digits end and `intValue` their value, when `intExact` says they fit it.
// The extent is found by the converter's own grammar: digits, an optional
// '.' with optional digits, and an exponent only when a digit follows its
// marker and sign ('1e' and '1e+' end before the 'e').  On the way the
// digits are gathered into a decimal mantissa and power of ten, which the
// number door converts without the text as long as fewer than 20
// significant digits were met (nearly every number); otherwise the
// converter reads exactly that text.
template <typename Input, typename Unit = typename Input::Unit>
PyObject* decode_double(Decoder<Input>* ds, const Unit* first, const Unit* intEnd, uint64_t intValue,
                        bool intExact) noexcept {
    constexpr uint64_t kMantissaRoom = 1000000000000000000ULL;  // below this, one more digit fits
    constexpr int64_t kExponentCap = 1000000000;                // far past the double range
    uint64_t mantissa = intValue;
    bool exact = intExact && intValue < 10 * kMantissaRoom;
    int64_t exponent = 0;
    const Unit* p = intEnd;
    if (*p == '.') {
        ++p;
        if constexpr (sizeof(Unit) == 1) {
            // Fractions are long (coordinates, measurements): eight digits
            // at a time while the mantissa has room for them.
            uint64_t eight;
            while (mantissa < kMantissaRoom / 10000000 && ds->end - p >= 8 && eight_digits(p, &eight)) {
                mantissa = 100000000 * mantissa + eight;
                exponent -= 8;
                p += 8;
            }
        }
        for (; is_digit(*p); ++p) {
            if (mantissa < kMantissaRoom) {
                mantissa = 10 * mantissa + (*p - '0');
                --exponent;
            } else {
                exact = false;
            }
        }
    }
    if (*p == 'e' || *p == 'E') {
        const Unit* q = p + 1;
        bool negativeExponent = false;
        if (*q == '+' || *q == '-') negativeExponent = *q++ == '-';
        if (is_digit(*q)) {
            int64_t written = 0;
            for (; is_digit(*q); ++q)
                if (written < kExponentCap) written = 10 * written + (*q - '0');
            exponent += negativeExponent ? -written : written;
            p = q;
        }
    }
    const Py_ssize_t length = p - first;
    double value;
    if (exact && numconv::decimal_to_double(mantissa, exponent, *first == '-', &value)) {
        // decided without the text
    } else if (length <= kLongNumberText) {
        size_t used = 0;
        if constexpr (Input::kUtf8) value = numconv::parse_double(reinterpret_cast<const char*>(first), size_t(length), &used);
        else value = parse_unit_number(first, length, &used);
        p = first + used;
    } else {
        value = convert_long_number(first, p);
    }
    ds->lastType = DecodedType::Double;
    ds->start = p;
    return PyFloat_FromDouble(value);
}

template <typename Input>
PyObject* decode_number(Decoder<Input>* ds) noexcept {
    const auto* const first = ds->start;
    if (*first == 'I')
        return decode_literal_number(ds, "nfinity", 8, DecodedType::Infinity, Py_HUGE_VAL, kErrInfinity);
    if (*first == 'N')
        return decode_literal_number(ds, "aN", 3, DecodedType::NaN, Py_NAN, kErrNaN);

    const auto* p = first;
    bool negative = false;
    if (*p == '-') {
        if (p[1] == 'I')
            return decode_literal_number(ds, "Infinity", 9, DecodedType::NegInfinity, -Py_HUGE_VAL,
                                         kErrNegInfinity);
        negative = true;
        ++p;
    }
    const auto* const digits = p;

    // The accumulator may wrap; the flag records that the magnitude left the
    // 64-bit range of its sign (2^64 - 1, or 2^63 for negatives).
    const uint64_t limitBeforeMultiply = negative ? 0x0CCCCCCCCCCCCCCCULL : 0x1999999999999999ULL;
    const uint64_t limitOfResult = negative ? 0x8000000000000000ULL : 0xFFFFFFFFFFFFFFFFULL;
    uint64_t accumulator = 0;
    bool overflow = false;
    // Nineteen digits always fit in 64 bits: no test but the digit's in the loop.
    for (int count = 0; count < 19; ++count, ++p) {
        const unsigned digit = unsigned(*p) - '0';
        if (digit >= 10) break;
        accumulator = 10 * accumulator + digit;
    }
    overflow = accumulator > limitOfResult;  // nineteen digits past 2^63 for a negative
    // Later digits are checked until the magnitude leaves the range (leading
    // zeros keep it in); past that only the extent of the text matters.
    while (!overflow) {
        const unsigned digit = unsigned(*p) - '0';
        if (digit >= 10) break;
        if (accumulator > limitBeforeMultiply || limitOfResult - 10 * accumulator < digit) overflow = true;
        accumulator = 10 * accumulator + digit;
        ++p;
    }
    if (overflow) p = skip_digits(p, ds->end);

    // A '-' must be followed by digits; '-.5' is let through as -0.5.  A
    // number without any digit ('-', '-e5', '-.') is damaged data, not zero.
    if (p == digits && !(*p == '.' && is_digit(p[1])))
        return fail(ds, kErrNumberWithoutDigit, *p == '.' ? p + 1 : p);

    if (*p == '.' || *p == 'e' || *p == 'E') return decode_double(ds, first, p, accumulator, !overflow);

    ds->lastType = DecodedType::Int;
    ds->start = p;
    if (overflow) return decode_big_integer(first, p);
    if (negative) {
        // Magnitude 2^63 becomes INT64_MIN through the unsigned negation.
        return PyLong_FromLongLong(static_cast<long long>(0 - accumulator));
    }
    if (accumulator >= 0x8000000000000000ULL) return PyLong_FromUnsignedLongLong(accumulator);
    return PyLong_FromLongLong(static_cast<long long>(accumulator));
}

// ---- containers ----------------------------------------------------------------

// One level of nesting for the life of an array or object parse: the depth
// of this call, then the bound shared with nested calls on the thread.
struct NestingLevel {
    bool entered = false;
    uintptr_t stackFloor = 0;
    NestingLevel() = default;
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;
    ~NestingLevel() {
        if (entered) leave_nesting(stackFloor);
    }
    template <typename Input>
    bool enter(Decoder<Input>* ds) noexcept {
        if (++ds->objDepth > kMaxDepth) {
            fail(ds, kErrDepth, ds->start);
            return false;
        }
        stackFloor = ds->stackFloor;
        entered = enter_nesting(stackFloor, kNestingContext);
        return entered;
    }
};

// Room for one more member on the value stack.  Rare path: doubles it.
template <typename Input>
[[gnu::noinline]] bool grow_values(Decoder<Input>* ds) noexcept {
    const Py_ssize_t capacity = ds->valueCapacity ? 2 * ds->valueCapacity : 64;
    PyObject** block = ds->values;
    PyMem_Resize(block, PyObject*, size_t(capacity));
    if (!block) {
        PyErr_NoMemory();
        return false;
    }
    ds->values = block;
    ds->valueCapacity = capacity;
    return true;
}

// On the GIL build the collector's youngest generation is a list of
// containers in the order they were tracked, and collecting it is cheapest
// when each container comes before the containers it holds: one met before
// its holder is first set aside as unreachable, then taken back when the
// holder is reached.  Made children first, a deeply nested result cost that
// generation's collection about four times as much as the same result made
// parents first.  So on that build each array's list is made, and tracked,
// at its opening bracket and filled at its closing one, as the interpreter
// fills the lists it preallocates (an item array from PyMem, its length,
// then the size); and an object's dict, which the interpreter tracks only
// once a container is stored in it, is tracked before such a member is
// parsed.  The free-threaded collector keeps no such list.  The filling
// rests on the list layout and allocator of 3.13's GIL build.
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
#define QUELT_TRACK_PARENTS_FIRST 1
#endif

// The members of one array, on the value stack from `base` up.  Whatever
// way the parse of the array ends, they are released or handed to its list.
template <typename Input>
struct ArrayMembers {
    Decoder<Input>* ds;
    Py_ssize_t base;
    PyObject* opened = nullptr;  // the empty list made at the opening bracket, or null

    explicit ArrayMembers(Decoder<Input>* d) noexcept : ds(d), base(d->valueCount) {}
    ArrayMembers(const ArrayMembers&) = delete;
    ArrayMembers& operator=(const ArrayMembers&) = delete;
    ~ArrayMembers() {
        Py_XDECREF(opened);
        for (Py_ssize_t i = base; i < ds->valueCount; ++i) Py_DECREF(ds->values[i]);
        ds->valueCount = base;
    }

    // Takes over `item`, a new reference (released when it cannot be kept).
    bool push(PyObject* item) noexcept {
        if (ds->valueCount == ds->valueCapacity && !grow_values(ds)) {
            Py_DECREF(item);
            return false;
        }
        ds->values[ds->valueCount++] = item;
        return true;
    }

    bool open() noexcept {
#if defined(QUELT_TRACK_PARENTS_FIRST)
        opened = PyList_New(0);
        return opened != nullptr;
#else
        return true;
#endif
    }

    // The list of the members, which it takes over.
    PyObject* to_list() noexcept {
        const Py_ssize_t count = ds->valueCount - base;
#if defined(QUELT_TRACK_PARENTS_FIRST)
        // The opened list is still empty and ours alone: no collection runs
        // within a call (the collector only schedules one at an allocation,
        // to run when the interpreter next checks for pending work), and no
        // other code runs during the parse.
        if (opened) {
            if (count > 0) {
                PyObject** const items = PyMem_New(PyObject*, size_t(count));
                if (!items) {
                    PyErr_NoMemory();
                    return nullptr;
                }
                memcpy(items, ds->values + base, size_t(count) * sizeof(PyObject*));
                auto* const list = reinterpret_cast<PyListObject*>(opened);
                list->ob_item = items;
                list->allocated = count;
                Py_SET_SIZE(opened, count);
                ds->valueCount = base;
            }
            PyObject* const list = opened;
            opened = nullptr;
            return list;
        }
#endif
        PyObject* list = PyList_New(count);
        if (!list) return nullptr;
        // The list is new and no other thread can see it yet: plain stores.
        for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(list, i, ds->values[base + i]);
        ds->valueCount = base;
        return list;
    }
};

// The members are gathered first and the list made (or, on the GIL build,
// filled) at the closing bracket: no append, with its resizing and, on the
// free-threaded build, a lock taken and released per member.
template <typename Input>
PyObject* decode_array(Decoder<Input>* ds) noexcept {
    NestingLevel level;
    if (!level.enter(ds)) return nullptr;
    ArrayMembers<Input> members(ds);
    if (!members.open()) return nullptr;
    ds->lastType = DecodedType::Pending;
    ++ds->start;

    bool afterComma = false;
    for (;;) {
        ds->start = skip_whitespace(ds->start, ds->end);
        if (*ds->start == ']') {
            if (afterComma)
                return fail(ds, kErrArrayAfterComma, ds->start);
            --ds->objDepth;
            ++ds->start;
            return members.to_list();
        }
        PyObject* item = decode_any(ds);
        if (!item || !members.push(item)) return nullptr;

        ds->start = skip_whitespace(ds->start, ds->end);
        const auto c = *ds->start++;
        if (c == ',') {
            afterComma = true;
            continue;
        }
        if (c == ']') {
            --ds->objDepth;
            return members.to_list();
        }
        return fail(ds, kErrArraySeparator, ds->start - 1);
    }
}

template <typename Input>
PyObject* decode_object(Decoder<Input>* ds) noexcept {
    NestingLevel level;
    if (!level.enter(ds)) return nullptr;
    OwnedRef dict(PyDict_New());
    if (!dict) return nullptr;
    ++ds->start;

    bool afterComma = false;
    for (;;) {
        ds->start = skip_whitespace(ds->start, ds->end);
        if (*ds->start == '}') {
            if (afterComma)
                return fail(ds, kErrObjectSeparator, ds->start);
            --ds->objDepth;
            ++ds->start;
            return dict.release();
        }

        // Any value parses as a key; what counts is whether the last value
        // decoded was a string.  An array or object ending in a string passes
        // this test, as in {["a"]:1}, and is refused below.
        ds->lastType = DecodedType::Pending;
        const auto* const keyStart = ds->start;
        OwnedRef key(*keyStart == '"' ? decode_string<true>(ds) : decode_any(ds));
        if (!key) return nullptr;
        if (ds->lastType != DecodedType::String)
            return fail(ds, kErrKeyNotString, keyStart);

        ds->start = skip_whitespace(ds->start, ds->end);
        if (*ds->start++ != ':') return fail(ds, kErrNoColon, ds->start - 1);

#if defined(QUELT_TRACK_PARENTS_FIRST)
        // The whitespace skipped here is not skipped again by decode_any.
        ds->start = skip_whitespace(ds->start, ds->end);
        if ((*ds->start == '[' || *ds->start == '{') && !PyObject_GC_IsTracked(dict.get()))
            PyObject_GC_Track(dict.get());
#endif
        OwnedRef value(decode_any(ds));
        if (!value) return nullptr;

        if (!PyUnicode_CheckExact(key.get())) {
            // An array or object key cannot be stored.  The parse still runs
            // to the end, and the entry function reports the key error, at
            // the first such key.
            if (!ds->keyNotString) ds->keyNotStringAt = keyStart;
            ds->keyNotString = true;
        } else if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            return nullptr;
        }

        ds->start = skip_whitespace(ds->start, ds->end);
        const auto c = *ds->start++;
        if (c == ',') {
            afterComma = true;
            continue;
        }
        if (c == '}') {
            --ds->objDepth;
            return dict.release();
        }
        return fail(ds, kErrObjectSeparator, ds->start - 1);
    }
}

}  // namespace

// ---- dispatch --------------------------------------------------------------------

template <typename Input>
PyObject* decode_any(Decoder<Input>* ds) noexcept {
    ds->start = skip_whitespace(ds->start, ds->end);
    switch (*ds->start) {
    case '"':
        return decode_string<false>(ds);
    case '[':
        return decode_array(ds);
    case '{':
        return decode_object(ds);
    case 't': case 'f': case 'n':
        return decode_literal(ds);
    case '-': case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': case 'N': case 'I':
        return decode_number(ds);
    default:
        return fail(ds, kErrExpectedValue, ds->start);
    }
}

// ---- entry points ------------------------------------------------------------------

namespace {

// The text of loads()'s argument, and whatever keeps it alive: UTF-8 bytes
// (`kind` 0) or a str's storage (`kind` is its PyUnicode kind, `size` counts
// its code points).  Every source guarantees a NUL unit right after the
// last one, placed there by the interpreter's own str, bytes or bytearray
// code, never by a buffer that user code exported.
struct InputText {
    const void* data = nullptr;
    Py_ssize_t size = 0;
    int kind = 0;
    // A bytearray (or subclass) exported through bytearray's own buffer
    // functions; null when none is held.
    PyObject* exporter = nullptr;
    Py_buffer view{};
    bool mutableBytes = false;  // a bytearray

    InputText() = default;
    InputText(const InputText&) = delete;
    InputText& operator=(const InputText&) = delete;
    ~InputText() {
        if (exporter) {
            // Released through bytearray's own function, as it was acquired
            // (PyBuffer_Release would call a subclass's __release_buffer__),
            // under the same lock: see acquire_input.
            Py_BEGIN_CRITICAL_SECTION(exporter);
            PyByteArray_Type.tp_as_buffer->bf_releasebuffer(exporter, &view);
            Py_END_CRITICAL_SECTION();
            Py_CLEAR(view.obj);
        }
    }
};

// Classifies loads()'s argument and points `input` at its text.  No user
// code runs here: a subclass may define __buffer__ and export any memory it
// likes (a shorter view, with no NUL after it), so bytes and bytearray
// subclasses are read from their own storage, and str comes first so that a
// str subclass with a __buffer__ is still a str.
bool acquire_input(PyObject* obj, InputText* input) noexcept {
    PyTypeObject* const type = Py_TYPE(obj);
    // A str is immutable and the caller's argument keeps it alive.  A
    // compact ASCII one is its own UTF-8 and is read like bytes; any other
    // is read from its storage, whatever its kind (a subclass's storage is a
    // block of its own, also NUL-terminated).
    if (PyType_HasFeature(type, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        input->data = PyUnicode_DATA(obj);
        input->size = PyUnicode_GET_LENGTH(obj);
        input->kind = PyUnicode_IS_COMPACT_ASCII(obj) ? 0 : PyUnicode_KIND(obj);
        return true;
    }
    if (PyType_HasFeature(type, Py_TPFLAGS_BYTES_SUBCLASS)) {
        input->data = PyBytes_AS_STRING(obj);
        input->size = PyBytes_GET_SIZE(obj);
        return true;
    }
    if (PyByteArray_Check(obj)) {
        // The export is what stops the interpreter from resizing the
        // bytearray while it is read (a resize of an exported bytearray
        // fails), so the NUL that bytearray keeps after its contents stays
        // where it is.  Another thread may still rewrite the contents; the
        // parser allows for that (Decoder.inputMutable).  On 3.13t the
        // interpreter does not make the export check and a resize on another
        // thread atomic: such a resize during loads is the caller's race.
        // bytearray counts its exports without a lock of its own on 3.13t:
        // two loads() of one bytearray on two threads could lose a count,
        // and the bytearray could then be resized under the other parse.
        // The object's critical section orders quelt's own exports.
        int exported;
        Py_BEGIN_CRITICAL_SECTION(obj);
        exported = PyByteArray_Type.tp_as_buffer->bf_getbuffer(obj, &input->view, PyBUF_SIMPLE);
        Py_END_CRITICAL_SECTION();
        if (exported < 0) return false;
        input->exporter = obj;
        input->mutableBytes = true;
        input->data = input->view.buf;
        input->size = input->view.len;
        return true;
    }
    // Any other exporter of a buffer is refused without asking it for one.
    if (PyObject_CheckBuffer(obj)) {
        PyErr_SetString(PyExc_TypeError,
                        kErrArbitraryBytes);
        return false;
    }
    PyErr_SetString(PyExc_TypeError, kErrExpectedInput);
    return false;
}

// Where the document went wrong, as json reports it: `pos` counts characters
// for a str (a unit of its storage, or a byte of an ASCII one) and bytes for
// bytes and bytearray; lines and columns start at 1.  `offset` is in units.
template <typename Unit>
void locate(const Unit* data, Py_ssize_t offset, Py_ssize_t* pos, Py_ssize_t* lineno,
            Py_ssize_t* colno) noexcept {
    *pos = offset;
    *lineno = 1;
    *colno = 1;
    for (Py_ssize_t i = 0; i < offset; ++i) {
        if (data[i] == '\n') {
            ++*lineno;
            *colno = 1;
        } else {
            ++*colno;
        }
    }
}

// Raises `type` with `message` as its only argument (so str() and args are
// the plain message) and the attributes that users of json know: msg, doc,
// pos, lineno and colno.  `offset` is the unit where the document went
// wrong, clamped to the input.  Error path only.
[[gnu::noinline]] void raise_decode_error(PyObject* type, const char* message, PyObject* doc,
                                          const InputText& input, Py_ssize_t offset) noexcept {
    offset = std::clamp<Py_ssize_t>(offset, 0, input.size);
    Py_ssize_t pos = 0, lineno = 1, colno = 1;
    switch (input.kind) {
    case PyUnicode_2BYTE_KIND:
        locate(static_cast<const Py_UCS2*>(input.data), offset, &pos, &lineno, &colno);
        break;
    case PyUnicode_4BYTE_KIND:
        locate(static_cast<const Py_UCS4*>(input.data), offset, &pos, &lineno, &colno);
        break;
    default:  // bytes, or a str of one-byte units
        locate(static_cast<const unsigned char*>(input.data), offset, &pos, &lineno, &colno);
        break;
    }
    OwnedRef text(PyUnicode_FromString(message));
    if (!text) return;
    OwnedRef error(PyObject_CallOneArg(type, text.get()));
    if (!error) return;
    OwnedRef posObj(PyLong_FromSsize_t(pos));
    OwnedRef linenoObj(PyLong_FromSsize_t(lineno));
    OwnedRef colnoObj(PyLong_FromSsize_t(colno));
    if (!posObj || !linenoObj || !colnoObj) return;
    if (PyObject_SetAttrString(error.get(), "msg", text.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "doc", doc) < 0 ||
        PyObject_SetAttrString(error.get(), "pos", posObj.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "lineno", linenoObj.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "colno", colnoObj.get()) < 0)
        return;
    PyErr_SetObject(type, error.get());
}

// Parses the whole input, read as `Input`, and returns the value or raises.
template <typename Input>
PyObject* run_decoder(PyObject* module, PyObject* obj, const InputText& input) noexcept {
    using Unit = typename Input::Unit;
    const Unit* const data = static_cast<const Unit*>(input.data);
    uint32_t scratch[kInlineScratchSlots];
    Decoder<Input> ds{};
    ds.start = data;
    ds.end = data + input.size;
    ds.escStart = scratch;
    ds.escEnd = scratch + kInlineScratchSlots;
    ds.inputMutable = input.mutableBytes;
    ds.stackFloor = thread_stack_floor();
    if (!stack_has_room(ds.stackFloor, kNestingContext)) return nullptr;

    OwnedRef result(decode_any(&ds));

    if (ds.escHeap) PyObject_Free(ds.escStart);
    PyMem_Free(ds.values);  // every array released or took over its members
    if (ds.keyCache) {
        for (size_t i = 0; i < kKeyCacheSlots; ++i) Py_XDECREF(ds.keyCache[i]);
        PyMem_Free(ds.keyCache);
    }
    if (!ds.errorStr && ds.start < ds.end) {
        ds.start = skip_whitespace(ds.start, ds.end);
        if (ds.start != ds.end && result) {
            result.reset();
            fail(&ds, kErrTrailingData, ds.start);
        }
    }

    // A Python exception raised during the parse wins over a recorded message.
    if (PyErr_Occurred()) return nullptr;
    // The module state lives as long as the module, which the method
    // object holding this function keeps alive during the call.
    PyObject* const errorType = module_state_of(module)->json_decode_error;
    if (ds.keyNotString) {
        raise_decode_error(errorType, kErrKeyNotStored, obj, input, ds.keyNotStringAt - data);
        return nullptr;
    }
    if (ds.errorStr) {
        raise_decode_error(errorType, ds.errorStr, obj, input, ds.errorAt ? ds.errorAt - data : 0);
        return nullptr;
    }
    return result.release();
}

char g_kwObj[] = "obj";
char* g_kwlist[] = {g_kwObj, nullptr};

}  // namespace

PyObject* quelt_loads(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* obj;
    if (!kwargs && PyTuple_GET_SIZE(args) == 1) {
        obj = PyTuple_GET_ITEM(args, 0);  // borrowed: the tuple outlives the call
    } else if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", g_kwlist, &obj)) {
        return nullptr;
    }

    InputText input;
    if (!acquire_input(obj, &input)) return nullptr;
    switch (input.kind) {
    case PyUnicode_1BYTE_KIND: return run_decoder<StrInput<Py_UCS1>>(module, obj, input);
    case PyUnicode_2BYTE_KIND: return run_decoder<StrInput<Py_UCS2>>(module, obj, input);
    case PyUnicode_4BYTE_KIND: return run_decoder<StrInput<Py_UCS4>>(module, obj, input);
    default: return run_decoder<Utf8Input>(module, obj, input);
    }
}

PyObject* quelt_load(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* fp;
    if (!PyArg_ParseTuple(args, "O", &fp)) return nullptr;

    OwnedRef read(file_method(fp, "read"));
    if (!read) return nullptr;
    OwnedRef content(PyObject_CallNoArgs(read.get()));
    if (!content) return nullptr;
    read.reset();

    OwnedRef packed(PyTuple_Pack(1, content.get()));
    if (!packed) return nullptr;
    return quelt_loads(module, packed.get(), kwargs);
}
