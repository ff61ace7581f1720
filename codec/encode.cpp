// The encoder: dumps/encode and dump, the recursive object walker, the
// per-kind type contexts and container walks, the output buffer and the two
// string escapers.  A call keeps all of its state in its own frame; the only
// shared data are the constant tables below and the module state.
#include "codec/encode.h"

#include <algorithm>
#include <cstring>
#include <functional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/codec.h"
#include "codec/file_method.h"
#include "codec/nesting.h"
#include "codec/pyref.h"
#include "numconv/numconv.h"

// ---- limits and messages ---------------------------------------------------

// The output starts in a region of this size in the outermost call's frame
// and moves to the heap when it outgrows it.  Small, so that dumps() costs a
// thread with a small stack little of it; a document that needs more pays a
// few more doublings of the buffer, each a copy of what is written so far.
static constexpr size_t kStackRegionSize = 4096;
static constexpr int32_t kRecursionMax = 1024;
static constexpr int kMaxIndent = 1000;
// Room reserved before any value: covers the literals, a 20-digit integer,
// the longest double text (24 bytes) and an opening bracket.
static constexpr size_t kValueReserve = 128;
// The escapers write at most this many bytes per input byte.
static constexpr size_t kEscapedBytesPerByte = 6;
// Times `default` may be called for one value before it is given up.
static constexpr int kDefaultCallBudget = 3;

static const char kErrNoMemory[] = "Could not reserve memory block";
static const char kErrInvalidDouble[] = "Invalid value when encoding double";
static const char kErrInvalidType[] = "Invalid type";
static const char kErrRecursion[] = "Maximum recursion level reached";
static const char kNestingContext[] = " while encoding a JSON document";

// ---- character tables ------------------------------------------------------

// Byte classes of the validating escaper.  Classes 10-22 are the offsets of
// their escape pair in g_escapeChars.
enum : uint8_t {
    END = 0,   // NUL: end of input at the end pointer, else an embedded NUL
    CPY = 1,   // copied unchanged (ASCII, DEL, continuation bytes, 0xFE/0xFF)
    U2 = 2,    // lead of a two-byte sequence
    U3 = 3,    // lead of a three-byte sequence
    U4 = 4,    // lead of a four-byte sequence
    U5 = 5,    // unsupported five-byte lead
    U6 = 6,    // unsupported six-byte lead
    EB = 10,   // \b
    ET = 12,   // \t
    EN = 14,   // \n
    EF = 16,   // \f
    ER = 18,   // \r
    EQ = 20,   // \"
    EBS = 22,  // \\ (backslash)
    SL = 24,   // '/': \/ when forward slashes are escaped
    HT = 29,   // & < >: \u00XX when HTML characters are encoded
    CT = 30,   // other control characters: \u00XX
};

static constexpr uint8_t g_asciiOutputTable[256] = {
    //        0    1    2    3    4    5    6    7    8    9    A    B    C    D    E    F
    /* 0 */ END, CT,  CT,  CT,  CT,  CT,  CT,  CT,  EB,  ET,  EN,  CT,  EF,  ER,  CT,  CT,
    /* 1 */ CT,  CT,  CT,  CT,  CT,  CT,  CT,  CT,  CT,  CT,  CT,  CT,  CT,  CT,  CT,  CT,
    /* 2 */ CPY, CPY, EQ,  CPY, CPY, CPY, HT,  CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, SL,
    /* 3 */ CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, HT,  CPY, HT,  CPY,
    /* 4 */ CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY,
    /* 5 */ CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, EBS, CPY, CPY, CPY,
    /* 6 */ CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY,
    /* 7 */ CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY,
    /* 8 */ CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY,
    /* 9 */ CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY,
    /* A */ CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY,
    /* B */ CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY, CPY,
    /* C */ U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,
    /* D */ U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,  U2,
    /* E */ U3,  U3,  U3,  U3,  U3,  U3,  U3,  U3,  U3,  U3,  U3,  U3,  U3,  U3,  U3,  U3,
    /* F */ U4,  U4,  U4,  U4,  U4,  U4,  U4,  U4,  U5,  U5,  U5,  U5,  U6,  U6,  CPY, CPY,
};

// Digits, then the two-byte escape pairs at offsets 10, 12, ..., 24.
static constexpr char g_escapeChars[] = "0123456789\\b\\t\\n\\f\\r\\\"\\\\\\/";
static constexpr char g_hexChars[] = "0123456789abcdef";

static_assert(sizeof g_escapeChars == 27, "ten digits, eight pairs, NUL");
static_assert(sizeof g_hexChars == 17, "sixteen digits and NUL");
static_assert(g_escapeChars[EB] == '\\' && g_escapeChars[EB + 1] == 'b', "\\b pair");
static_assert(g_escapeChars[ET + 1] == 't' && g_escapeChars[EN + 1] == 'n', "\\t, \\n pairs");
static_assert(g_escapeChars[EF + 1] == 'f' && g_escapeChars[ER + 1] == 'r', "\\f, \\r pairs");
static_assert(g_escapeChars[EQ + 1] == '"' && g_escapeChars[EBS + 1] == '\\', "quote, backslash");
static_assert(g_escapeChars[SL] == '\\' && g_escapeChars[SL + 1] == '/', "slash pair");
static_assert(g_hexChars[10] == 'a' && g_hexChars[15] == 'f', "lowercase hex");
static_assert(g_asciiOutputTable[0x00] == END && g_asciiOutputTable[0x0B] == CT &&
                  g_asciiOutputTable[0x1F] == CT && g_asciiOutputTable[0x20] == CPY,
              "control characters");
static_assert(g_asciiOutputTable[0x08] == EB && g_asciiOutputTable[0x09] == ET &&
                  g_asciiOutputTable[0x0A] == EN && g_asciiOutputTable[0x0C] == EF &&
                  g_asciiOutputTable[0x0D] == ER,
              "short escapes");
static_assert(g_asciiOutputTable['"'] == EQ && g_asciiOutputTable['\\'] == EBS &&
                  g_asciiOutputTable['/'] == SL,
              "quote, backslash, slash");
static_assert(g_asciiOutputTable['&'] == HT && g_asciiOutputTable['<'] == HT &&
                  g_asciiOutputTable['>'] == HT,
              "HTML characters");
static_assert(g_asciiOutputTable[0x7F] == CPY && g_asciiOutputTable[0x80] == CPY &&
                  g_asciiOutputTable[0xBF] == CPY,
              "DEL and continuation bytes are copied");
static_assert(g_asciiOutputTable[0xC0] == U2 && g_asciiOutputTable[0xDF] == U2 &&
                  g_asciiOutputTable[0xE0] == U3 && g_asciiOutputTable[0xEF] == U3 &&
                  g_asciiOutputTable[0xF0] == U4 && g_asciiOutputTable[0xF7] == U4,
              "UTF-8 lead bytes");
static_assert(g_asciiOutputTable[0xF8] == U5 && g_asciiOutputTable[0xFB] == U5 &&
                  g_asciiOutputTable[0xFC] == U6 && g_asciiOutputTable[0xFD] == U6 &&
                  g_asciiOutputTable[0xFE] == CPY && g_asciiOutputTable[0xFF] == CPY,
              "unsupported leads and 0xFE/0xFF");

// ---- output buffer ---------------------------------------------------------

// Grows the buffer so that `needed` more bytes fit: capacity doubles until it
// reaches capacity + needed.  The first growth moves the text off the
// caller's stack region.  On failure the old block stays in place (the entry
// function still frees it) and the error is recorded.
static Py_NO_INLINE void Buffer_Realloc(Encoder* enc, size_t needed) noexcept {
    const size_t room = static_cast<size_t>(enc->end - enc->offset);
    if (room >= needed) return;
    const size_t capacity = static_cast<size_t>(enc->end - enc->start);
    const size_t used = static_cast<size_t>(enc->offset - enc->start);
    constexpr size_t kLimit = static_cast<size_t>(PY_SSIZE_T_MAX);
    if (needed > kLimit - capacity) {
        enc->errorMsg = kErrNoMemory;
        return;
    }
    const size_t target = capacity + needed;
    size_t newCapacity = capacity;
    while (newCapacity < target) {
        // Near the allocator's limit take just what is needed.
        newCapacity = newCapacity > kLimit / 2 ? target : newCapacity * 2;
    }

    char* block;
    if (enc->heap) {
        block = static_cast<char*>(PyObject_Realloc(enc->start, newCapacity));
    } else {
        block = static_cast<char*>(PyObject_Malloc(newCapacity));
        if (block) memcpy(block, enc->start, used);
    }
    if (!block) {
        enc->errorMsg = kErrNoMemory;
        return;
    }
    enc->heap = 1;
    enc->start = block;
    enc->offset = block + used;
    enc->end = block + newCapacity;
}

static inline void Buffer_EnsureRoom(Encoder* enc, size_t needed) noexcept {
    if (static_cast<size_t>(enc->end - enc->offset) < needed) Buffer_Realloc(enc, needed);
}

// Reserves room for `length` input bytes through an escaper plus `extra`
// bytes; false (error recorded) when that cannot be had.
static inline bool Buffer_EnsureRoomForEscaped(Encoder* enc, Py_ssize_t length,
                                               size_t extra) noexcept {
    const size_t n = static_cast<size_t>(length);
    if (n > (static_cast<size_t>(PY_SSIZE_T_MAX) - extra) / kEscapedBytesPerByte) {
        enc->errorMsg = kErrNoMemory;
        return false;
    }
    Buffer_EnsureRoom(enc, n * kEscapedBytesPerByte + extra);
    return enc->errorMsg == nullptr;
}

static inline void Buffer_AppendCharUnchecked(Encoder* enc, char c) noexcept {
    *enc->offset++ = c;
}

static inline void Buffer_AppendBytesUnchecked(Encoder* enc, const char* bytes,
                                               size_t length) noexcept {
    // Separators and literals are a few bytes: a plain loop beats a call.
    if (length <= 8) {
        for (size_t i = 0; i < length; ++i) enc->offset[i] = bytes[i];
    } else {
        memcpy(enc->offset, bytes, length);
    }
    enc->offset += length;
}

static inline void Buffer_AppendIndentUnchecked(Encoder* enc, int32_t level) noexcept {
    if (enc->indent > 0 && level > 0) {
        const size_t count = static_cast<size_t>(enc->indent) * static_cast<size_t>(level);
        memset(enc->offset, ' ', count);
        enc->offset += count;
    }
}

// Digits from the low end, then the written bytes reversed in place.
static inline void Buffer_AppendUnsignedDigits(Encoder* enc, uint64_t magnitude) noexcept {
    char* const first = enc->offset;
    char* out = first;
    do {
        *out++ = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    enc->offset = out;
    for (char* low = first, *high = out - 1; low < high; ++low, --high) {
        const char swap = *low;
        *low = *high;
        *high = swap;
    }
}

static inline void Buffer_AppendLongUnchecked(Encoder* enc, int64_t value) noexcept {
    // The magnitude as unsigned, so that INT64_MIN needs no special case.
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        *enc->offset++ = '-';
        magnitude = 0 - magnitude;
    }
    Buffer_AppendUnsignedDigits(enc, magnitude);
}

static inline void Buffer_AppendUnsignedLongUnchecked(Encoder* enc, uint64_t value) noexcept {
    Buffer_AppendUnsignedDigits(enc, value);
}

// Writes straight into the buffer: the caller reserved kValueReserve bytes,
// more than the longest double text and the NUL the converter adds after it
// (overwritten by what follows).
static inline bool Buffer_AppendDouble(Encoder* enc, double value) noexcept {
    static_assert(kValueReserve >= numconv::kDoubleTextRoom, "a double's text fits the reservation");
    const size_t length = numconv::format_double(value, enc->allowNan, enc->offset);
    if (length == 0) {
        enc->errorMsg = kErrInvalidDouble;
        return false;
    }
    enc->offset += length;
    return true;
}

// ---- string escapers -------------------------------------------------------

// Both escapers read [io, end), where *end is a NUL; the caller has reserved
// 6 bytes per input byte.

static inline char* writeHexByte(char* out, uint8_t byte) noexcept {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = '0';
    out[3] = '0';
    out[4] = g_hexChars[byte >> 4];
    out[5] = g_hexChars[byte & 0x0F];
    return out + 6;
}

static inline char* writeHexUnit(char* out, uint32_t unit) noexcept {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = g_hexChars[(unit >> 12) & 0x0F];
    out[3] = g_hexChars[(unit >> 8) & 0x0F];
    out[4] = g_hexChars[(unit >> 4) & 0x0F];
    out[5] = g_hexChars[unit & 0x0F];
    return out + 6;
}

static inline bool isContinuation(uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

static Py_NO_INLINE bool escapeFailed(Encoder* enc, char* out, const char* message) noexcept {
    enc->offset = out;
    enc->errorMsg = message;
    return false;
}

// Copies the run of bytes at `in` that both escapers copy unchanged (printable
// ASCII other than " \\ / & < >, and with `highBytesPlain` every byte from
// 0x80), sixteen at a time while sixteen lie before `stop`; returns where the
// run ends.  The bytes that end it are left to the table loop, which decides
// them under the call's options.  Storing a whole block is safe: the caller
// reserved 6 output bytes per input byte, so with 16 or more input bytes left
// there are at least 96 bytes of room.  On ASCII-heavy text this halves the
// escapers' time.
template <bool highBytesPlain>
static inline const uint8_t* copyPlainRun(const uint8_t* in, const uint8_t* stop, char** out) noexcept {
#if defined(__SSE2__)
    const __m128i controlMax = _mm_set1_epi8(0x1F);
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i ampersand = _mm_set1_epi8('&');
    const __m128i less = _mm_set1_epi8('<');
    const __m128i greater = _mm_set1_epi8('>');
    char* to = *out;
    while (stop - in >= 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        // Unsigned byte <= 0x1F: control characters and the NUL.
        __m128i special = _mm_cmpeq_epi8(_mm_max_epu8(chunk, controlMax), controlMax);
        special = _mm_or_si128(special, _mm_cmpeq_epi8(chunk, quote));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(chunk, backslash));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(chunk, slash));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(chunk, ampersand));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(chunk, less));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(chunk, greater));
        if (!highBytesPlain) special = _mm_or_si128(special, chunk);  // top bit: 0x80-0xFF
        const unsigned mask = unsigned(_mm_movemask_epi8(special));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), chunk);
        if (mask) {
            const unsigned plain = unsigned(__builtin_ctz(mask));
            *out = to + plain;
            return in + plain;
        }
        in += 16;
        to += 16;
    }
    *out = to;
#else
    (void)stop;
    (void)out;
#endif
    return in;
}

// ensure_ascii: validates UTF-8 and writes every non-ASCII character as \u
// escapes (a surrogate pair above U+FFFF).  Lone surrogates pass through as
// their own escape.
static bool Buffer_EscapeStringValidated(Encoder* enc, const char* io, const char* end) noexcept {
    const uint8_t* const stop = reinterpret_cast<const uint8_t*>(end);
    char* out = enc->offset;
    const uint8_t* in = copyPlainRun<false>(reinterpret_cast<const uint8_t*>(io), stop, &out);

    // No bounds test per byte: the NUL at `stop` has class END and is the
    // only way out of the loop.  Multi-byte sequences check the remaining
    // count against `stop` before reading past their lead byte.
    for (;;) {
        const uint8_t byte = *in;
        switch (g_asciiOutputTable[byte]) {
        case CPY:
            *out++ = static_cast<char>(byte);
            in = copyPlainRun<false>(in + 1, stop, &out);
            // The short tail of the run: the NUL (class END) stops it.
            while (g_asciiOutputTable[*in] == CPY) *out++ = static_cast<char>(*in++);
            break;
        case END:
            if (in == stop) {
                enc->offset = out;
                return true;
            }
            out = writeHexByte(out, 0);
            ++in;
            break;
        case EB: case ET: case EN: case EF: case ER: case EQ: case EBS: {
            const char* pair = g_escapeChars + g_asciiOutputTable[byte];
            out[0] = pair[0];
            out[1] = pair[1];
            out += 2;
            ++in;
            break;
        }
        case SL:
            if (enc->escapeForwardSlashes) *out++ = '\\';
            *out++ = '/';
            ++in;
            break;
        case HT:
            if (enc->encodeHTMLChars) {
                out = writeHexByte(out, byte);
            } else {
                *out++ = static_cast<char>(byte);
            }
            ++in;
            break;
        case CT:
            out = writeHexByte(out, byte);
            ++in;
            break;
        case U2: {
            if (stop - in < 2)
                return escapeFailed(enc, out, "Unterminated UTF-8 sequence when encoding string");
            if (!isContinuation(in[1]))
                return escapeFailed(enc, out,
                    "Invalid continuation byte in 2-byte UTF-8 sequence detected when encoding string");
            const uint32_t cp = (uint32_t{in[0]} & 0x1F) << 6 | (in[1] & 0x3F);
            if (cp < 0x80)
                return escapeFailed(enc, out,
                    "Overlong 2-byte UTF-8 sequence detected when encoding string");
            out = writeHexUnit(out, cp);
            in += 2;
            break;
        }
        case U3: {
            if (stop - in < 3)
                return escapeFailed(enc, out, "Unterminated UTF-8 sequence when encoding string");
            if (!isContinuation(in[1]) || !isContinuation(in[2]))
                return escapeFailed(enc, out,
                    "Invalid continuation byte in 3-byte UTF-8 sequence detected when encoding string");
            const uint32_t cp =
                (uint32_t{in[0]} & 0x0F) << 12 | (uint32_t{in[1]} & 0x3F) << 6 | (in[2] & 0x3F);
            if (cp < 0x800)
                return escapeFailed(enc, out,
                    "Overlong 3-byte UTF-8 sequence detected when encoding string");
            out = writeHexUnit(out, cp);
            in += 3;
            break;
        }
        case U4: {
            if (stop - in < 4)
                return escapeFailed(enc, out, "Unterminated UTF-8 sequence when encoding string");
            if (!isContinuation(in[1]) || !isContinuation(in[2]) || !isContinuation(in[3]))
                return escapeFailed(enc, out,
                    "Invalid continuation byte in 4-byte UTF-8 sequence detected when encoding string");
            if (in[0] > 0xF4 || (in[0] == 0xF4 && in[1] >= 0x90))
                return escapeFailed(enc, out,
                    ">U+10FFFF in 4-byte UTF-8 sequence detected when encoding string");
            const uint32_t cp = (uint32_t{in[0]} & 0x07) << 18 | (uint32_t{in[1]} & 0x3F) << 12 |
                                (uint32_t{in[2]} & 0x3F) << 6 | (in[3] & 0x3F);
            if (cp < 0x10000)
                return escapeFailed(enc, out,
                    "Overlong 4-byte UTF-8 sequence detected when encoding string");
            const uint32_t v = cp - 0x10000;
            out = writeHexUnit(out, 0xD800 + (v >> 10));
            out = writeHexUnit(out, 0xDC00 + (v & 0x3FF));
            in += 4;
            break;
        }
        default:  // U5, U6
            return escapeFailed(enc, out, "Unsupported UTF-8 sequence length when encoding string");
        }
    }
}

// ensure_ascii off: escapes only the ASCII characters that need it and
// copies every other byte, valid UTF-8 or not.
static void Buffer_EscapeStringUnvalidated(Encoder* enc, const char* io, const char* end) noexcept {
    const uint8_t* const stop = reinterpret_cast<const uint8_t*>(end);
    char* out = enc->offset;
    const uint8_t* in = copyPlainRun<true>(reinterpret_cast<const uint8_t*>(io), stop, &out);

    // As above, the NUL at `stop` is the only end test.  The lead-byte
    // classes mean nothing here: those bytes are copied like class CPY.
    for (;;) {
        const uint8_t byte = *in++;
        const uint8_t cls = g_asciiOutputTable[byte];
        if (cls <= U6 && cls != END) {
            *out++ = static_cast<char>(byte);
            in = copyPlainRun<true>(in, stop, &out);
            continue;  // the next turn copies the short tail byte by byte
        }
        switch (cls) {
        case END:
            if (in - 1 == stop) {
                enc->offset = out;
                return;
            }
            out = writeHexByte(out, 0);
            break;
        case SL:
            if (enc->escapeForwardSlashes) *out++ = '\\';
            *out++ = '/';
            break;
        case HT:
            if (enc->encodeHTMLChars) {
                out = writeHexByte(out, byte);
            } else {
                *out++ = static_cast<char>(byte);
            }
            break;
        case CT:
            out = writeHexByte(out, byte);
            break;
        default: {  // the escape pairs, EB to EBS
            const char* pair = g_escapeChars + cls;
            out[0] = pair[0];
            out[1] = pair[1];
            out += 2;
            break;
        }
        }
    }
}

// Escapes the code points of a str that is not compact ASCII straight from
// its storage, without making its UTF-8 form first.  The text written is the
// same the byte escapers write for that UTF-8 form: ASCII through the same
// table; other code points as \u escapes (a surrogate pair above U+FFFF)
// under ensure_ascii, else as their UTF-8 bytes, lone surrogates in their
// three-byte form, which the final "surrogatepass" decoding turns back into
// the same code point.  Room: 6 bytes per code point, 12 for UCS4 text under
// ensure_ascii (reserved by the caller).
template <typename Unit>
static void escapeCodePoints(Encoder* enc, const Unit* in, Py_ssize_t count) noexcept {
    char* out = enc->offset;
    const bool ensureAscii = enc->ensureAscii;
    for (const Unit* const stop = in + count; in < stop; ++in) {
        const uint32_t cp = *in;
        if (cp < 0x80) {
            const uint8_t cls = g_asciiOutputTable[cp];
            if (cls == CPY) {
                *out++ = static_cast<char>(cp);
            } else if (cls == SL) {
                if (enc->escapeForwardSlashes) *out++ = '\\';
                *out++ = '/';
            } else if (cls == HT && !enc->encodeHTMLChars) {
                *out++ = static_cast<char>(cp);
            } else if (cls >= EB && cls <= EBS) {
                out[0] = g_escapeChars[cls];
                out[1] = g_escapeChars[cls + 1];
                out += 2;
            } else {  // END (an embedded NUL), CT, HT under encode_html_chars
                out = writeHexByte(out, static_cast<uint8_t>(cp));
            }
        } else if (ensureAscii) {
            if (cp < 0x10000) {
                out = writeHexUnit(out, cp);
            } else {
                const uint32_t v = cp - 0x10000;
                out = writeHexUnit(out, 0xD800 + (v >> 10));
                out = writeHexUnit(out, 0xDC00 + (v & 0x3FF));
            }
        } else if (cp < 0x800) {
            out[0] = static_cast<char>(0xC0 | (cp >> 6));
            out[1] = static_cast<char>(0x80 | (cp & 0x3F));
            out += 2;
        } else if (cp < 0x10000) {
            out[0] = static_cast<char>(0xE0 | (cp >> 12));
            out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out[2] = static_cast<char>(0x80 | (cp & 0x3F));
            out += 3;
        } else {
            out[0] = static_cast<char>(0xF0 | (cp >> 18));
            out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out[3] = static_cast<char>(0x80 | (cp & 0x3F));
            out += 4;
        }
    }
    enc->offset = out;
}

// A str value that is not compact ASCII, quoted and escaped.
static Py_NO_INLINE void writeUnicodeText(PyObject* str, Encoder* enc) noexcept {
    const Py_ssize_t count = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const Py_ssize_t units = kind == PyUnicode_4BYTE_KIND && enc->ensureAscii ? 2 * count : count;
    if (!Buffer_EnsureRoomForEscaped(enc, units, 2)) return;
    Buffer_AppendCharUnchecked(enc, '"');
    const void* data = PyUnicode_DATA(str);
    switch (kind) {
    case PyUnicode_1BYTE_KIND: escapeCodePoints(enc, static_cast<const Py_UCS1*>(data), count); break;
    case PyUnicode_2BYTE_KIND: escapeCodePoints(enc, static_cast<const Py_UCS2*>(data), count); break;
    default: escapeCodePoints(enc, static_cast<const Py_UCS4*>(data), count); break;
    }
    Buffer_AppendCharUnchecked(enc, '"');
}

// ---- UTF-8 of str objects --------------------------------------------------

const char* PyUnicodeToUTF8Raw(PyObject* str, Py_ssize_t* outLength,
                               PyObject** holder) noexcept {
    // A compact ASCII string's own buffer already is its UTF-8 form, with a
    // NUL after it; the string is immutable and the caller keeps it alive.
    if (PyUnicode_IS_COMPACT_ASCII(str)) return PyUnicode_AsUTF8AndSize(str, outLength);

    Py_CLEAR(*holder);
    *holder = PyUnicode_AsEncodedString(str, nullptr, "surrogatepass");
    if (!*holder) return nullptr;
    *outLength = PyBytes_GET_SIZE(*holder);
    return PyBytes_AS_STRING(*holder);
}

// ---- conversion functions --------------------------------------------------

static const char* PyLongToINT64(PyObject*, TypeContext* tc, void* outValue,
                                 Py_ssize_t*) noexcept {
    *static_cast<int64_t*>(outValue) = tc->scalar.i64;
    return nullptr;
}

static const char* PyLongToUINT64(PyObject*, TypeContext* tc, void* outValue,
                                  Py_ssize_t*) noexcept {
    *static_cast<uint64_t*>(outValue) = tc->scalar.u64;
    return nullptr;
}

// The decimal text made by PyNumber_ToBase is ASCII, so it is read in place.
static const char* PyLongToINTSTR(PyObject*, TypeContext* tc, void*,
                                  Py_ssize_t* outLength) noexcept {
    return PyUnicode_AsUTF8AndSize(tc->scalar.obj, outLength);
}

// Bytes are taken as they are, as if they were UTF-8 text.
static const char* PyStringToUTF8(PyObject* obj, TypeContext*, void*,
                                  Py_ssize_t* outLength) noexcept {
    *outLength = PyBytes_GET_SIZE(obj);
    return PyBytes_AS_STRING(obj);
}

static const char* PyUnicodeToUTF8(PyObject* obj, TypeContext* tc, void*,
                                   Py_ssize_t* outLength) noexcept {
    return PyUnicodeToUTF8Raw(obj, outLength, &tc->utf8Obj);
}

static const char* PyFloatToDOUBLE(PyObject* obj, TypeContext*, void* outValue,
                                   Py_ssize_t*) noexcept {
    *static_cast<double*>(outValue) = PyFloat_AsDouble(obj);
    return nullptr;
}

static const char* PyRawJSONToUTF8(PyObject*, TypeContext* tc, void*,
                                   Py_ssize_t* outLength) noexcept {
    PyObject* raw = tc->scalar.obj;
    if (PyUnicode_Check(raw)) return PyUnicodeToUTF8Raw(raw, outLength, &tc->utf8Obj);
    *outLength = PyBytes_GET_SIZE(raw);
    return PyBytes_AS_STRING(raw);
}

// ---- dictionary walks and key conversion -----------------------------------

// Rare key types: the text of str(key), made by the key's own string
// conversion.  Out of line to keep the common string keys tight.
static Py_NO_INLINE PyObject* convertKeyThroughStr(PyObject* key) noexcept {
    PyRef text(PyObject_Str(key));
    if (!text) return nullptr;
    return PyUnicode_AsEncodedString(text.get(), nullptr, "surrogatepass");
}

// A new reference to an object holding the key's text: a bytes object, or,
// for a compact ASCII str, the key itself (its buffer is already that text).
// Null with an exception pending on failure.
static PyObject* Dict_convertKey(PyObject* key) noexcept {
    if (PyUnicode_Check(key)) {
        if (PyUnicode_IS_COMPACT_ASCII(key)) return Py_NewRef(key);
        return PyUnicode_AsEncodedString(key, nullptr, "surrogatepass");
    }
    if (PyBytes_Check(key)) return Py_NewRef(key);
    if (Py_IS_TYPE(key, &PyBool_Type)) return PyBytes_FromString(key == Py_True ? "true" : "false");
    if (key == Py_None) return PyBytes_FromString("null");
    return convertKeyThroughStr(key);
}


// ---- container walks ---------------------------------------------------------

// One walk per container kind.  A walk lives in the frame of the function
// that writes its container and owns the member being written (and, for a
// dictionary, the key text), so the member stays alive while it is encoded
// whatever a hook or another thread does to the container meanwhile.
// next(): 1 when a member is ready, 0 at the end, -1 when the step failed
// with an exception pending.

// List walk, safe while the list changes under it.  `size` is the length
// when the walk began, so members that a hook appends are not written.  A
// hook or another thread may also shrink the list or drop the list's
// reference to a member: PyList_GetItemRef reads the item against the
// list's current length and hands back a strong reference, so the walk ends
// at the current end instead of reading past it.  The list itself is kept
// alive by whoever holds the value being encoded.
struct ListWalk {
    PyObject* list;
    Py_ssize_t size;
    Py_ssize_t index = 0;
    PyRef member;

    static constexpr bool kIsObject = false;
    explicit ListWalk(PyObject* l) noexcept : list(l), size(PyList_GET_SIZE(l)) {}

    int32_t next() noexcept {
        if (index >= size) return 0;
        // Relaxed read of the current length: only a hint that avoids
        // raising IndexError in the common shrink case; PyList_GetItemRef
        // decides.
        if (index >= PyList_GET_SIZE(list)) return 0;
        PyObject* item = PyList_GetItemRef(list, index);
        if (!item) {
            // It shrank between the two reads: the walk ends at its current end.
            PyErr_Clear();
            return 0;
        }
        member.reset(item);
        index++;
        return 1;
    }
};

// A tuple's items never change while the tuple lives; the member still gets
// its own reference so that every walk owns its current member alike.
struct TupleWalk {
    PyObject* tuple;
    Py_ssize_t size;
    Py_ssize_t index = 0;
    PyRef member;

    static constexpr bool kIsObject = false;
    explicit TupleWalk(PyObject* t) noexcept : tuple(t), size(PyTuple_GET_SIZE(t)) {}

    int32_t next() noexcept {
        if (index >= size) return 0;
        member.reset(Py_NewRef(PyTuple_GET_ITEM(tuple, index)));
        index++;
        return 1;
    }
};

// The key text of the current member: a bytes object, or a compact ASCII
// str, whose buffer already is that text.  Valid until the next step.
inline const char* keyText(PyObject* name, Py_ssize_t* length) noexcept {
    if (PyBytes_Check(name)) {
        *length = PyBytes_GET_SIZE(name);
        return PyBytes_AS_STRING(name);
    }
    *length = PyUnicode_GET_LENGTH(name);  // compact ASCII: one byte each
    return static_cast<const char*>(PyUnicode_DATA(name));
}

// Insertion-order walk.  Each step runs inside the dictionary's critical
// section and takes strong references to key and value before leaving it:
// another thread, or a hook run while the member is encoded, may remove the
// entry and release the dictionary's own references, but ours keep both
// alive (the value in `member` until the next step).  PyDict_Next checks the
// saved position against the table as it is now, so a dictionary that
// changed between steps is never read past its end.  The key's str() runs
// outside the critical section.  The caller keeps the dictionary alive.
struct DictWalk {
    PyObject* dict;
    Py_ssize_t position = 0;
    PyRef member;
    PyRef name;

    static constexpr bool kIsObject = true;
    explicit DictWalk(PyObject* d) noexcept : dict(d) {}

    // Out of line: the critical section's record stays out of the frame of
    // every nesting level.
    [[gnu::noinline]] static bool nextPair(PyObject* dict, Py_ssize_t* position, PyObject** key,
                                           PyObject** value) noexcept {
        int found;
        Py_BEGIN_CRITICAL_SECTION(dict);
        found = PyDict_Next(dict, position, key, value);
        if (found) {
            Py_INCREF(*key);
            Py_INCREF(*value);
        }
        Py_END_CRITICAL_SECTION();
        return found != 0;
    }

    [[gnu::noinline]] int32_t next() noexcept {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (!nextPair(dict, &position, &key, &value)) return 0;
        PyRef keyRef(key);
        member.reset(value);
        name.reset(Dict_convertKey(key));
        return name ? 1 : -1;
    }
};

// Sorted walk.  The first step takes one snapshot of the (key, value) pairs
// under the dictionary's critical section: the keys into a list of our own,
// each value beside its key's address in an array of our own, all as strong
// references.  The key list is sorted with PyList_Sort (the keys' own `<`,
// nothing else), and each value is found again by its key's address, which
// needs no hashing and no comparison: no user code runs after the sort.
// The walk writes the snapshot, so whatever a comparison, a hook or another
// thread does to the dictionary meanwhile, every pair stays alive and in
// place, since nothing else can reach our list or array.
struct SortedDictWalk {
    struct Pair {
        PyObject* key;    // borrowed: `keys` holds the reference
        PyObject* value;  // owned
    };

    PyObject* dict;
    PyRef keys;
    Pair* pairs = nullptr;  // ordered by key address once sorted
    Py_ssize_t size = 0;
    Py_ssize_t index = 0;
    PyRef member;
    PyRef name;

    static constexpr bool kIsObject = true;
    explicit SortedDictWalk(PyObject* d) noexcept : dict(d) {}
    SortedDictWalk(const SortedDictWalk&) = delete;
    SortedDictWalk& operator=(const SortedDictWalk&) = delete;
    ~SortedDictWalk() {
        for (Py_ssize_t i = 0; i < size; ++i) Py_DECREF(pairs[i].value);
        PyMem_Free(pairs);
    }

    [[gnu::noinline]] bool takeSortedSnapshot() noexcept {
        bool made = false;
        Py_BEGIN_CRITICAL_SECTION(dict);
        const Py_ssize_t count = PyDict_GET_SIZE(dict);
        keys.reset(PyList_New(count));
        pairs = keys ? PyMem_New(Pair, size_t(count) + 1) : nullptr;
        if (pairs) {
            Py_ssize_t position = 0;
            PyObject* key;
            PyObject* value;
            // The count was read under the same lock, so the entries fit.
            while (size < count && PyDict_Next(dict, &position, &key, &value)) {
                PyList_SET_ITEM(keys.get(), size, Py_NewRef(key));
                pairs[size] = {key, Py_NewRef(value)};
                ++size;
            }
            made = true;
        }
        Py_END_CRITICAL_SECTION();
        if (!made) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            return false;
        }
        if (PyList_Sort(keys.get()) < 0) return false;
        std::sort(pairs, pairs + size, [](const Pair& a, const Pair& b) {
            return std::less<PyObject*>()(a.key, b.key);
        });
        return true;
    }

    [[gnu::noinline]] int32_t next() noexcept {
        if (!keys && !takeSortedSnapshot()) return -1;
        if (index >= size) return 0;
        // Our own list: no one else can change it.
        PyObject* key = PyList_GET_ITEM(keys.get(), index);
        const Pair* found = std::lower_bound(pairs, pairs + size, key, [](const Pair& a, PyObject* k) {
            return std::less<PyObject*>()(a.key, k);
        });
        name.reset(Dict_convertKey(key));
        if (!name) return -1;
        member.reset(Py_NewRef(found->value));  // the sort keeps every key it was given
        index++;
        return 1;
    }
};

// Releases everything the context owns, whichever path ended it.
static void Object_endTypeContext(TypeContext* tc) noexcept {
    Py_CLEAR(tc->newObj);
    Py_CLEAR(tc->utf8Obj);
    if (tc->type == KIND_RAW) Py_CLEAR(tc->scalar.obj);
    Py_CLEAR(tc->dictObj);
}

// ---- classification --------------------------------------------------------

int object_is_decimal_type(PyObject* obj, const Encoder* enc) noexcept {
    if (!enc->decimalType) return 0;
    // The check may run user code (a __class__ property, a metaclass's
    // __instancecheck__): what it raises propagates.
    return PyObject_IsInstance(obj, enc->decimalType);
}

static inline void setList(TypeContext* tc) noexcept { tc->type = KIND_LIST; }

static inline void setTuple(TypeContext* tc) noexcept { tc->type = KIND_TUPLE; }

// Takes over `ownedDict`: a toDict() result may have no other owner.
static inline void setDict(TypeContext* tc, PyObject* ownedDict) noexcept {
    tc->type = KIND_OBJECT;
    tc->dictObj = ownedDict;
}

static inline void setString(TypeContext* tc) noexcept {
    tc->type = KIND_UTF8;
    tc->convert = PyUnicodeToUTF8;
}

static inline void setDouble(TypeContext* tc) noexcept {
    tc->type = KIND_DOUBLE;
    tc->convert = PyFloatToDOUBLE;
}

// Integers beyond the signed range: unsigned 64-bit when positive and small
// enough, else the exact decimal text.  Both tests report by their result,
// so no OverflowError is raised and cleared on the way (over a third of the
// instructions spent on such integers).  False (value invalid) with an exception pending.
static Py_NO_INLINE bool classifyWideInteger(PyObject* obj, TypeContext* tc, bool positive) noexcept {
    if (positive) {
        unsigned long long u = 0;
        const Py_ssize_t needed = PyLong_AsNativeBytes(
            obj, &u, sizeof u, Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
        if (needed < 0) return false;
        if (needed <= static_cast<Py_ssize_t>(sizeof u)) {
            tc->type = KIND_UINT64;
            tc->scalar.u64 = u;
            tc->convert = PyLongToUINT64;
            return true;
        }
    }
    PyObject* text = PyNumber_ToBase(obj, 10);
    if (!text) return false;
    tc->type = KIND_RAW;
    tc->scalar.obj = text;
    tc->convert = PyLongToINTSTR;
    return true;
}

static inline bool classifyInteger(PyObject* obj, TypeContext* tc) noexcept {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow) return classifyWideInteger(obj, tc, overflow > 0);
    if (v == -1 && PyErr_Occurred()) return false;
    tc->type = KIND_INT64;
    tc->scalar.i64 = v;
    tc->convert = PyLongToINT64;
    return true;
}

// 1 when `obj` has the attribute `name`, 0 when it has not, -1 when the
// lookup raised anything but AttributeError (which then propagates).
static Py_NO_INLINE int lookupHook(PyObject* obj, const char* name) noexcept {
    PyObject* attribute = nullptr;
    const int found = PyObject_GetOptionalAttrString(obj, name, &attribute);
    Py_XDECREF(attribute);
    return found;
}

static Py_NO_INLINE bool callToDict(PyObject* obj, TypeContext* tc) noexcept {
    PyObject* result = PyObject_CallMethod(obj, "toDict", nullptr);
    if (!result) return false;
    if (!PyType_HasFeature(Py_TYPE(result), Py_TPFLAGS_DICT_SUBCLASS)) {
        PyErr_Format(PyExc_TypeError, "toDict() should return a dict, got %s",
                     Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        return false;
    }
    setDict(tc, result);  // the context takes over the call's reference
    return true;
}

static Py_NO_INLINE bool callJsonMethod(PyObject* obj, TypeContext* tc) noexcept {
    PyObject* result = PyObject_CallMethod(obj, "__json__", nullptr);
    if (!result) return false;
    if (!PyBytes_Check(result) && !PyUnicode_Check(result)) {
        PyErr_Format(PyExc_TypeError, "__json__() should return str or bytes, got %s",
                     Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        return false;
    }
    tc->type = KIND_RAW;
    tc->scalar.obj = result;  // owned by the context from here on
    tc->convert = PyRawJSONToUTF8;
    return true;
}

// Raises "<repr> is not JSON serializable"; any failure on the way (repr,
// its UTF-8 encoding) stands instead.
static Py_NO_INLINE void raiseNotSerializable(PyObject* obj) noexcept {
    PyErr_Clear();
    PyRef repr(PyObject_Repr(obj));
    if (!repr) return;
    PyRef utf8(PyUnicode_AsEncodedString(repr.get(), nullptr, "strict"));
    if (!utf8) return;
    // %U rather than the bytes through %s, so that a repr holding a NUL is
    // not cut short; for every other repr the text is the same.
    PyErr_Format(PyExc_TypeError, "%U is not JSON serializable", repr.get());
}

// Decides the kind of `obj` and fills the context.  Returns the object to
// encode (obj, or the last substitute from `default`, owned by tc->newObj),
// or null when the value is invalid (a Python exception is then pending).
static PyObject* classify(PyObject* obj, const Encoder* enc, TypeContext* tc) noexcept {
    PyObject* current = obj;
    int defaultCalls = 0;
    for (;;) {
        PyTypeObject* type = Py_TYPE(current);

        // Exact built-in types first.  None of them can match an earlier
        // step of the order below, nor be a Decimal instance, so testing them
        // ahead changes no outcome.
        if (type == &PyUnicode_Type) {
            setString(tc);
            return current;
        }
        if (type == &PyLong_Type) return classifyInteger(current, tc) ? current : nullptr;
        if (type == &PyFloat_Type) {
            setDouble(tc);
            return current;
        }
        if (type == &PyDict_Type) {
            setDict(tc, Py_NewRef(current));
            return current;
        }
        if (type == &PyList_Type) {
            setList(tc);
            return current;
        }
        if (type == &PyTuple_Type) {
            setTuple(tc);
            return current;
        }
        if (current == Py_None) {
            tc->type = KIND_NULL;
            return current;
        }

        // The full order.
        if (type == &PyBool_Type) {
            tc->type = current == Py_True ? KIND_TRUE : KIND_FALSE;
            return current;
        }
        if (PyType_HasFeature(type, Py_TPFLAGS_LONG_SUBCLASS))
            return classifyInteger(current, tc) ? current : nullptr;
        if (PyType_HasFeature(type, Py_TPFLAGS_BYTES_SUBCLASS) && !enc->rejectBytes) {
            tc->type = KIND_UTF8;
            tc->convert = PyStringToUTF8;
            return current;
        }
        if (PyType_HasFeature(type, Py_TPFLAGS_UNICODE_SUBCLASS)) {
            setString(tc);
            return current;
        }
        if (current == Py_None) {
            tc->type = KIND_NULL;
            return current;
        }
        if (PyType_IsSubtype(type, &PyFloat_Type)) {
            setDouble(tc);
            return current;
        }
        const int isDecimal = object_is_decimal_type(current, enc);
        if (isDecimal < 0) return nullptr;
        if (isDecimal) {
            setDouble(tc);
            return current;
        }
        if (PyType_HasFeature(type, Py_TPFLAGS_DICT_SUBCLASS)) {
            setDict(tc, Py_NewRef(current));
            return current;
        }
        if (PyType_HasFeature(type, Py_TPFLAGS_LIST_SUBCLASS)) {
            setList(tc);
            return current;
        }
        if (PyType_HasFeature(type, Py_TPFLAGS_TUPLE_SUBCLASS)) {
            setTuple(tc);
            return current;
        }
        int found = lookupHook(current, "toDict");
        if (found < 0) return nullptr;
        if (found) return callToDict(current, tc) ? current : nullptr;
        found = lookupHook(current, "__json__");
        if (found < 0) return nullptr;
        if (found) return callJsonMethod(current, tc) ? current : nullptr;
        if (!enc->defaultFn) {
            raiseNotSerializable(current);
            return nullptr;
        }
        if (defaultCalls == kDefaultCallBudget) {
            PyErr_SetString(PyExc_TypeError, "maximum recursion depth exceeded");
            return nullptr;
        }
        ++defaultCalls;
        PyObject* substitute = PyObject_CallFunctionObjArgs(enc->defaultFn, current, nullptr);
        if (!substitute) return nullptr;
        // The previous substitute (the argument just passed) is released
        // only now, after the call.
        Py_XSETREF(tc->newObj, substitute);
        current = substitute;
    }
}

// ---- object encoder --------------------------------------------------------

static Py_NO_INLINE void encode(PyObject* obj, Encoder* enc, const char* name, Py_ssize_t nameLength) noexcept;

// Quote, escaped key, quote, key separator.  False when the escaper or the
// reservation recorded an error.
static inline bool writeKey(Encoder* enc, const char* name, Py_ssize_t nameLength) noexcept {
    const size_t separatorLength = static_cast<size_t>(enc->keySeparatorLength);
    if (!Buffer_EnsureRoomForEscaped(enc, nameLength, separatorLength + 2)) return false;
    Buffer_AppendCharUnchecked(enc, '"');
    if (enc->ensureAscii) {
        if (!Buffer_EscapeStringValidated(enc, name, name + nameLength)) return false;
    } else {
        Buffer_EscapeStringUnvalidated(enc, name, name + nameLength);
    }
    Buffer_AppendCharUnchecked(enc, '"');
    Buffer_AppendBytesUnchecked(enc, enc->keySeparator, separatorLength);
    return true;
}

static inline void writeText(PyObject* obj, Encoder* enc, TypeContext* tc) noexcept {
    if (tc->convert == PyUnicodeToUTF8 && !PyUnicode_IS_COMPACT_ASCII(obj)) {
        writeUnicodeText(obj, enc);
        return;
    }
    Py_ssize_t length = 0;
    const char* text = tc->convert(obj, tc, nullptr, &length);
    if (!text) {
        enc->errorMsg = kErrInvalidType;  // the encoding's exception is pending
        return;
    }
    if (!Buffer_EnsureRoomForEscaped(enc, length, 2)) return;
    Buffer_AppendCharUnchecked(enc, '"');
    if (enc->ensureAscii) {
        if (!Buffer_EscapeStringValidated(enc, text, text + length)) return;
    } else {
        Buffer_EscapeStringUnvalidated(enc, text, text + length);
    }
    Buffer_AppendCharUnchecked(enc, '"');
}

static Py_NO_INLINE void writeRaw(PyObject* obj, Encoder* enc, TypeContext* tc) noexcept {
    Py_ssize_t length = 0;
    const char* text = tc->convert(obj, tc, nullptr, &length);
    if (!text) {
        enc->errorMsg = kErrInvalidType;
        return;
    }
    Buffer_EnsureRoom(enc, static_cast<size_t>(length));
    if (enc->errorMsg) return;
    Buffer_AppendBytesUnchecked(enc, text, static_cast<size_t>(length));
}

// The members of a container, with separators, line breaks and
// indentation, between its brackets.  Room for the opening bracket is
// reserved by the caller.  The walk owns each member while it is written.
template <typename Walk>
static void walkContainer(Encoder* enc, Walk& walk) noexcept {
    constexpr char close = Walk::kIsObject ? '}' : ']';
    const int32_t level = enc->level;
    Buffer_AppendCharUnchecked(enc, Walk::kIsObject ? '{' : '[');

    int32_t step = walk.next();
    if (step == 0) {
        Buffer_EnsureRoom(enc, 1);
        if (!enc->errorMsg) Buffer_AppendCharUnchecked(enc, close);
        return;
    }

    const size_t separatorLength = static_cast<size_t>(enc->itemSeparatorLength);
    const size_t indent = enc->indent > 0 ? static_cast<size_t>(enc->indent) : 0;
    const size_t memberRoom = separatorLength + indent * static_cast<size_t>(level + 1) + 1;
    Py_ssize_t count = 0;
    for (;;) {
        Buffer_EnsureRoom(enc, memberRoom);
        if (enc->errorMsg) return;
        if (step < 0) {
            enc->errorMsg = kErrInvalidType;  // the pending exception wins
            return;
        }
        if (count > 0) Buffer_AppendBytesUnchecked(enc, enc->itemSeparator, separatorLength);
        if (enc->indent > 0) Buffer_AppendCharUnchecked(enc, '\n');

        const char* key = nullptr;
        Py_ssize_t keyLength = 0;
        if constexpr (Walk::kIsObject) key = keyText(walk.name.get(), &keyLength);

        enc->level++;
        Buffer_AppendIndentUnchecked(enc, enc->level);
        encode(walk.member.get(), enc, key, keyLength);
        if (enc->errorMsg) return;

        ++count;
        step = walk.next();
        if (step == 0) break;
    }

    if (enc->indent > 0) {
        Buffer_EnsureRoom(enc, indent * static_cast<size_t>(level) + 1);
        if (enc->errorMsg) return;
        Buffer_AppendCharUnchecked(enc, '\n');
        Buffer_AppendIndentUnchecked(enc, level);
    }
    Buffer_EnsureRoom(enc, 1);
    if (enc->errorMsg) return;
    Buffer_AppendCharUnchecked(enc, close);
}

// Writes a list, tuple or dictionary with the walk of its kind, one level
// deeper in the nesting bound shared with nested calls.  Out of line, so
// that the walk's fields cost the stack only while a container is open: a
// level of nesting is this frame and one of encode().
static Py_NO_INLINE void writeList(PyObject* list, Encoder* enc) noexcept {
    if (!enter_nesting(enc->stackFloor, kNestingContext)) {
        enc->errorMsg = kErrRecursion;  // the pending RecursionError wins
        return;
    }
    ListWalk walk(list);
    walkContainer(enc, walk);
    leave_nesting();
}

static Py_NO_INLINE void writeTuple(PyObject* tuple, Encoder* enc) noexcept {
    if (!enter_nesting(enc->stackFloor, kNestingContext)) {
        enc->errorMsg = kErrRecursion;
        return;
    }
    TupleWalk walk(tuple);
    walkContainer(enc, walk);
    leave_nesting();
}

// `dict` is kept alive by the caller for the whole walk.  One writer per
// order, so that a frame holds one walk.
static Py_NO_INLINE void writeDictInOrder(PyObject* dict, Encoder* enc) noexcept {
    if (!enter_nesting(enc->stackFloor, kNestingContext)) {
        enc->errorMsg = kErrRecursion;
        return;
    }
    DictWalk walk(dict);
    walkContainer(enc, walk);
    leave_nesting();
}

static Py_NO_INLINE void writeDictSorted(PyObject* dict, Encoder* enc) noexcept {
    if (!enter_nesting(enc->stackFloor, kNestingContext)) {
        enc->errorMsg = kErrRecursion;
        return;
    }
    SortedDictWalk walk(dict);
    walkContainer(enc, walk);
    leave_nesting();
}

static inline void writeDict(PyObject* dict, Encoder* enc) noexcept {
    if (enc->sortKeys) writeDictSorted(dict, enc);
    else writeDictInOrder(dict, enc);
}

// None, True, False, exact floats, small exact ints and compact ASCII strs,
// the bulk of most documents, written without setting up a type context.
// Their classification could not come out otherwise (none of them is a
// subclass or a hook object), so the text is the one the full path writes.
// False when `obj` is none of them.  Saves about a tenth of the instructions
// on number-heavy data.
static inline bool writeCommonScalar(PyObject* obj, Encoder* enc) noexcept {
    PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyFloat_Type) {
        Buffer_EnsureRoom(enc, kValueReserve);
        if (!enc->errorMsg) Buffer_AppendDouble(enc, PyFloat_AS_DOUBLE(obj));
    } else if (type == &PyLong_Type && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        Buffer_EnsureRoom(enc, kValueReserve);
        if (!enc->errorMsg)
            Buffer_AppendLongUnchecked(enc, PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj)));
    } else if (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(obj)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
        if (!Buffer_EnsureRoomForEscaped(enc, length, kValueReserve)) return true;
        const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(obj));
        Buffer_AppendCharUnchecked(enc, '"');
        if (enc->ensureAscii) {
            if (!Buffer_EscapeStringValidated(enc, text, text + length)) return true;
        } else {
            Buffer_EscapeStringUnvalidated(enc, text, text + length);
        }
        Buffer_AppendCharUnchecked(enc, '"');
    } else if (obj == Py_None || obj == Py_True || obj == Py_False) {
        Buffer_EnsureRoom(enc, kValueReserve);
        if (enc->errorMsg) return true;
        if (obj == Py_None) Buffer_AppendBytesUnchecked(enc, "null", 4);
        else if (obj == Py_True) Buffer_AppendBytesUnchecked(enc, "true", 4);
        else Buffer_AppendBytesUnchecked(enc, "false", 5);
    } else {
        return false;
    }
    enc->level--;
    return true;
}

// A value that is not one of the common exact types: classified through
// the full order (subclasses, hooks, `default`) and written by its kind.
// Out of line, so that its context costs the stack only on this path.
static Py_NO_INLINE void encodeClassified(PyObject* obj, Encoder* enc) noexcept {
    TypeContext tc = {};
    PyObject* current = classify(obj, enc, &tc);
    if (!current) {
        tc.type = KIND_INVALID;
        Object_endTypeContext(&tc);
        enc->errorMsg = kErrInvalidType;
        return;
    }

    Buffer_EnsureRoom(enc, kValueReserve);
    if (enc->errorMsg) {
        Object_endTypeContext(&tc);
        return;
    }

    switch (tc.type) {
    case KIND_NULL:
        Buffer_AppendBytesUnchecked(enc, "null", 4);
        break;
    case KIND_TRUE:
        Buffer_AppendBytesUnchecked(enc, "true", 4);
        break;
    case KIND_FALSE:
        Buffer_AppendBytesUnchecked(enc, "false", 5);
        break;
    case KIND_INT64: {
        int64_t value;
        tc.convert(current, &tc, &value, nullptr);
        Buffer_AppendLongUnchecked(enc, value);
        break;
    }
    case KIND_UINT64: {
        uint64_t value;
        tc.convert(current, &tc, &value, nullptr);
        Buffer_AppendUnsignedLongUnchecked(enc, value);
        break;
    }
    case KIND_DOUBLE: {
        double value;
        tc.convert(current, &tc, &value, nullptr);
        if (value == -1.0 && PyErr_Occurred()) {
            enc->errorMsg = kErrInvalidType;
            break;
        }
        Buffer_AppendDouble(enc, value);
        break;
    }
    case KIND_UTF8:
        writeText(current, enc, &tc);
        break;
    case KIND_RAW:
        writeRaw(current, enc, &tc);
        break;
    case KIND_LIST:
        writeList(current, enc);  // `current` is held by the caller or tc.newObj
        break;
    case KIND_TUPLE:
        writeTuple(current, enc);
        break;
    default:  // KIND_OBJECT
        writeDict(tc.dictObj, enc);  // held by tc.dictObj
        break;
    }
    Object_endTypeContext(&tc);
}

// Writes one value (with its key when it is a dictionary member).  `obj` is
// borrowed: the caller holds a strong reference for the whole call.  The
// common exact types go straight to their writers; this function's frame is
// kept small, as every level of nesting adds one.
static void encode(PyObject* obj, Encoder* enc, const char* name, Py_ssize_t nameLength) noexcept {
    if (enc->level > enc->recursionMax) {
        enc->errorMsg = kErrRecursion;
        return;
    }
    if (enc->errorMsg) return;
    if (name && !writeKey(enc, name, nameLength)) return;
    if (writeCommonScalar(obj, enc)) return;

    // Exact containers: none of them can match an earlier step of the full
    // order, so writing them here changes no outcome.
    PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyList_Type || type == &PyDict_Type || type == &PyTuple_Type) {
        Buffer_EnsureRoom(enc, kValueReserve);
        if (enc->errorMsg) return;
        if (type == &PyList_Type) writeList(obj, enc);
        else if (type == &PyDict_Type) writeDict(obj, enc);
        else writeTuple(obj, enc);
    } else {
        encodeClassified(obj, enc);
    }
    enc->level--;
}

// ---- entry points ----------------------------------------------------------

// Frees the heap block, once the text has moved off the stack, whichever way
// the call leaves.
struct EncoderResources {
    Encoder* enc;
    ~EncoderResources() {
        if (enc->heap) PyObject_Free(enc->start);
    }
};

// Separators into enc; false with an exception set.  The holders own the
// bytes objects made for non-ASCII separators.
static bool setSeparators(Encoder* enc, PyObject* separators, PyRef* itemHolder,
                          PyRef* keyHolder) noexcept {
    if (!separators || separators == Py_None) {
        enc->itemSeparator = ",";
        enc->itemSeparatorLength = 1;
        enc->keySeparator = enc->indent == 0 ? ":" : ": ";
        enc->keySeparatorLength = enc->indent == 0 ? 1 : 2;
        return true;
    }
    if (!PyTuple_Check(separators)) {
        PyErr_SetString(PyExc_TypeError, "expected tuple or None as separator");
        return false;
    }
    if (PyTuple_GET_SIZE(separators) != 2) {
        PyErr_SetString(PyExc_ValueError, "expected tuple of size 2 as separator");
        return false;
    }
    PyObject* item = PyTuple_GET_ITEM(separators, 0);
    PyObject* key = PyTuple_GET_ITEM(separators, 1);
    if (!PyUnicode_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "expected str as item separator");
        return false;
    }
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "expected str as key separator");
        return false;
    }
    Py_ssize_t length = 0;
    enc->itemSeparator = PyUnicodeToUTF8Raw(item, &length, &itemHolder->obj);
    if (!enc->itemSeparator) return false;
    enc->itemSeparatorLength = length;
    enc->keySeparator = PyUnicodeToUTF8Raw(key, &length, &keyHolder->obj);
    if (!enc->keySeparator) return false;
    enc->keySeparatorLength = length;
    return true;
}

// Walks `obj` into the buffer, which starts in a
// region of this frame, and turns the text into a str, or the recorded error
// into an exception.  A hook that calls dumps again nests a whole call, with
// a region of its own, in this one.
static PyObject* runEncoder(Encoder* enc, PyObject* obj) noexcept {
    char region[kStackRegionSize];
    enc->start = enc->offset = region;
    enc->end = region + kStackRegionSize;
    enc->heap = 0;
    EncoderResources resources{enc};

    enc->level = 0;
    enc->errorMsg = nullptr;
    enc->recursionMax = kRecursionMax;

    encode(obj, enc, nullptr, 0);

    if (enc->errorMsg) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_OverflowError, "%s", enc->errorMsg);
        return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return PyUnicode_DecodeUTF8(enc->start, enc->offset - enc->start, "surrogatepass");
}

PyObject* quelt_dumps(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* const kwlist[] = {
        "obj", "ensure_ascii", "encode_html_chars", "escape_forward_slashes", "sort_keys",
        "indent", "allow_nan", "reject_bytes", "default", "separators", nullptr,
    };
    PyObject* obj = nullptr;
    int ensureAscii = 1;
    int encodeHTMLChars = 0;
    int escapeForwardSlashes = 1;
    int sortKeys = 0;
    int indent = 0;
    int allowNan = 1;
    int rejectBytes = 1;
    PyObject* defaultFn = nullptr;
    PyObject* separators = nullptr;
    Encoder enc{};

    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|ppppippOO", kwlist, &obj, &ensureAscii,
                                     &encodeHTMLChars, &escapeForwardSlashes, &sortKeys, &indent,
                                     &allowNan, &rejectBytes, &defaultFn, &separators)) {
        return nullptr;
    }
    // The arguments may come from a keyword dictionary that the caller, or a
    // hook during the walk, can change: our own references keep the root,
    // `default` and the separator strings alive until the call returns.
    PyRef rootRef(Py_NewRef(obj));
    PyRef defaultRef(Py_XNewRef(defaultFn));
    PyRef separatorsRef(Py_XNewRef(separators));

    enc.ensureAscii = ensureAscii ? 1 : 0;
    enc.encodeHTMLChars = encodeHTMLChars ? 1 : 0;
    enc.escapeForwardSlashes = escapeForwardSlashes ? 1 : 0;
    enc.sortKeys = sortKeys ? 1 : 0;
    enc.rejectBytes = rejectBytes ? 1 : 0;
    if (defaultFn && defaultFn != Py_None) enc.defaultFn = defaultFn;
    // The module state lives as long as the module, which the method object
    // holding this function keeps alive during the call.
    const module_state* state = module_state_of(module);
    enc.decimalType = state->decimal_type;
    enc.stackFloor = thread_stack_floor();

    if (indent < -1) indent = -1;
    if (indent > kMaxIndent) {
        PyErr_SetString(PyExc_ValueError, "Maximum allowed indentation is 1000");
        return nullptr;
    }
    enc.indent = indent;

    PyRef itemSeparatorHolder;
    PyRef keySeparatorHolder;
    if (!setSeparators(&enc, separators, &itemSeparatorHolder, &keySeparatorHolder))
        return nullptr;

    enc.allowNan = allowNan ? 1 : 0;
    return runEncoder(&enc, obj);
}

PyObject* quelt_dump(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* obj = nullptr;
    PyObject* fp = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &obj, &fp)) return nullptr;

    PyRef write(file_method(fp, "write"));
    if (!write) return nullptr;

    PyRef dumpsArgs(PyTuple_Pack(1, obj));
    if (!dumpsArgs) return nullptr;
    PyRef text(quelt_dumps(module, dumpsArgs.get(), kwargs));
    if (!text) return nullptr;

    PyRef writeArgs(PyTuple_Pack(1, text.get()));
    if (!writeArgs) return nullptr;
    PyRef result(PyObject_CallObject(write.get(), writeArgs.get()));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}
