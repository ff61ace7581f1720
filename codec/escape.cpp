// The string escapers.  Each reads its input once, through one byte-class
// table, and writes into room its caller reserved.
#include "codec/escape.h"

#include <array>
#include <cstring>

#include "codec/utf8.h"

namespace {

// ---- byte classes --------------------------------------------------------------

// Class of each byte for the escapers.  The escape classes (EB to EBS) are
// the offsets of their two-byte escape in g_escapeChars.
enum : uint8_t {
    END = 0,   // NUL: end of input at the end pointer, else an embedded NUL
    CPY = 1,   // copied unchanged (ASCII and DEL)
    U2 = 2,    // lead of a two-byte sequence
    U3 = 3,    // lead of a three-byte sequence
    U4 = 4,    // lead of a four-byte sequence
    U5 = 5,    // unsupported five-byte lead
    U6 = 6,    // unsupported six-byte lead
    RAW = 7,   // copied unchanged, not ASCII: continuation bytes, 0xFE/0xFF
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

constexpr std::array<uint8_t, 256> make_ascii_output_table() {
    std::array<uint8_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        uint8_t cls = CPY;
        if (b == 0x00) cls = END;
        else if (b == '\b') cls = EB;
        else if (b == '\t') cls = ET;
        else if (b == '\n') cls = EN;
        else if (b == '\f') cls = EF;
        else if (b == '\r') cls = ER;
        else if (b < 0x20) cls = CT;
        else if (b == '"') cls = EQ;
        else if (b == '\\') cls = EBS;
        else if (b == '/') cls = SL;
        else if (b == '&' || b == '<' || b == '>') cls = HT;
        else if (b >= 0xC0 && b <= 0xDF) cls = U2;
        else if (b >= 0xE0 && b <= 0xEF) cls = U3;
        else if (b >= 0xF0 && b <= 0xF7) cls = U4;
        else if (b >= 0xF8 && b <= 0xFB) cls = U5;
        else if (b >= 0xFC && b <= 0xFD) cls = U6;
        else if (b >= 0x80) cls = RAW;  // 0x80-0xBF, 0xFE, 0xFF
        table[b] = cls;  // the rest of ASCII stays CPY
    }
    return table;
}

constexpr std::array<uint8_t, 256> g_asciiOutputTable = make_ascii_output_table();

// Digits, then the two-byte escape pairs at offsets 10, 12, ..., 24.
constexpr char g_escapeChars[] = "0123456789\\b\\t\\n\\f\\r\\\"\\\\\\/";
constexpr char g_hexChars[] = "0123456789abcdef";

static_assert(sizeof g_escapeChars == 27, "ten digits, eight pairs, NUL");
static_assert(g_escapeChars[EB] == '\\' && g_escapeChars[EB + 1] == 'b', "\\b pair");
static_assert(g_escapeChars[ET + 1] == 't' && g_escapeChars[EN + 1] == 'n', "\\t, \\n pairs");
static_assert(g_escapeChars[EF + 1] == 'f' && g_escapeChars[ER + 1] == 'r', "\\f, \\r pairs");
static_assert(g_escapeChars[EQ + 1] == '"' && g_escapeChars[EBS + 1] == '\\', "quote, backslash");
static_assert(g_escapeChars[SL] == '\\' && g_escapeChars[SL + 1] == '/', "slash pair");
static_assert(sizeof g_hexChars == 17 && g_hexChars[10] == 'a', "lowercase hex");
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
static_assert(g_asciiOutputTable[0x7F] == CPY && g_asciiOutputTable[0x80] == RAW &&
                  g_asciiOutputTable[0xBF] == RAW,
              "DEL and continuation bytes are copied");
static_assert(g_asciiOutputTable[0xC0] == U2 && g_asciiOutputTable[0xDF] == U2 &&
                  g_asciiOutputTable[0xE0] == U3 && g_asciiOutputTable[0xEF] == U3 &&
                  g_asciiOutputTable[0xF0] == U4 && g_asciiOutputTable[0xF7] == U4,
              "UTF-8 lead bytes");
static_assert(g_asciiOutputTable[0xF8] == U5 && g_asciiOutputTable[0xFB] == U5 &&
                  g_asciiOutputTable[0xFC] == U6 && g_asciiOutputTable[0xFD] == U6 &&
                  g_asciiOutputTable[0xFE] == RAW && g_asciiOutputTable[0xFF] == RAW,
              "unsupported leads and 0xFE/0xFF");

constexpr char kErrUnterminated[] = "Unterminated UTF-8 sequence when encoding string";
constexpr char kErrContinuation2[] =
    "Invalid continuation byte in 2-byte UTF-8 sequence detected when encoding string";
constexpr char kErrContinuation3[] =
    "Invalid continuation byte in 3-byte UTF-8 sequence detected when encoding string";
constexpr char kErrContinuation4[] =
    "Invalid continuation byte in 4-byte UTF-8 sequence detected when encoding string";
constexpr char kErrOverlong2[] = "Overlong 2-byte UTF-8 sequence detected when encoding string";
constexpr char kErrOverlong3[] = "Overlong 3-byte UTF-8 sequence detected when encoding string";
constexpr char kErrOverlong4[] = "Overlong 4-byte UTF-8 sequence detected when encoding string";
constexpr char kErrAboveMax[] = ">U+10FFFF in 4-byte UTF-8 sequence detected when encoding string";
constexpr char kErrSequenceLength[] = "Unsupported UTF-8 sequence length when encoding string";

// ---- writers -------------------------------------------------------------------

inline char* write_hex_byte(char* out, uint8_t byte) noexcept {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = '0';
    out[3] = '0';
    out[4] = g_hexChars[byte >> 4];
    out[5] = g_hexChars[byte & 0x0F];
    return out + 6;
}

inline char* write_hex_unit(char* out, uint32_t unit) noexcept {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = g_hexChars[(unit >> 12) & 0x0F];
    out[3] = g_hexChars[(unit >> 8) & 0x0F];
    out[4] = g_hexChars[(unit >> 4) & 0x0F];
    out[5] = g_hexChars[unit & 0x0F];
    return out + 6;
}

// A code point above U+FFFF as its surrogate pair of escapes.
inline char* write_hex_pair(char* out, uint32_t cp) noexcept {
    const uint32_t v = cp - 0x10000;
    out = write_hex_unit(out, 0xD800 + (v >> 10));
    return write_hex_unit(out, 0xDC00 + (v & 0x3FF));
}

// An ASCII byte that is not plain: its escape under the options.
inline char* write_ascii_escape(const EscapeOptions& options, uint8_t byte, uint8_t cls, char* out) noexcept {
    switch (cls) {
    case SL:
        if (options.escapeForwardSlashes) *out++ = '\\';
        *out++ = '/';
        return out;
    case HT:
        if (options.encodeHTMLChars) return write_hex_byte(out, byte);
        *out++ = char(byte);
        return out;
    case EB: case ET: case EN: case EF: case ER: case EQ: case EBS:
        out[0] = g_escapeChars[cls];
        out[1] = g_escapeChars[cls + 1];
        return out + 2;
    default:  // END (an embedded NUL), CT
        return write_hex_byte(out, byte);
    }
}

#if defined(__SSE2__)
// Marks the bytes that end a plain run: control characters and the NUL,
// " \ / & < >, and with `highBytesPlain` off every byte from 0x80.  The table
// loop then decides them under the call's options.
template <bool highBytesPlain>
inline utf8::Chunk not_plain(utf8::Chunk c) noexcept {
    using namespace utf8;
    Chunk special = either(control(c), either(equal(c, splat('"')), equal(c, splat('\\'))));
    special = either(special, either(equal(c, splat('/')), equal(c, splat('&'))));
    special = either(special, either(equal(c, splat('<')), equal(c, splat('>'))));
    if (!highBytesPlain) special = either(special, c);  // top bit: 0x80-0xFF
    return special;
}
#endif

#if defined(__SSE2__)
// The last 4 to 15 bytes before `stop` when they are all plain, copied by
// two overlapping loads and stores, which stay within the input: short
// strings and keys then skip the byte loop.  Otherwise `in` as it was.
template <bool highBytesPlain>
inline const uint8_t* copy_plain_tail(const uint8_t* in, size_t left, char** out) noexcept {
    if (left >= 8) {
        const __m128i head = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in));
        const __m128i tail = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + left - 8));
        if (_mm_movemask_epi8(not_plain<highBytesPlain>(_mm_unpacklo_epi64(head, tail))) != 0) return in;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(*out), head);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(*out + left - 8), tail);
    } else {
        uint32_t head, tail;
        memcpy(&head, in, 4);
        memcpy(&tail, in + left - 4, 4);
        const __m128i both = _mm_unpacklo_epi32(_mm_cvtsi32_si128(int(head)), _mm_cvtsi32_si128(int(tail)));
        // Only the low eight bytes were loaded.
        if ((_mm_movemask_epi8(not_plain<highBytesPlain>(both)) & 0xFF) != 0) return in;
        memcpy(*out, &head, 4);
        memcpy(*out + left - 4, &tail, 4);
    }
    *out += left;
    return in + left;
}
#endif

// Copies the plain run at `in` sixteen bytes at a time (storing whole blocks
// is safe: 6 bytes of room per input byte leave at least 96 for each 16).
template <bool highBytesPlain>
inline const uint8_t* copy_plain_run(const uint8_t* in, const uint8_t* stop, char** out) noexcept {
#if defined(__SSE2__)
    return utf8::scan16(in, stop, [](utf8::Chunk c) { return not_plain<highBytesPlain>(c); }, out);
#else
    (void)stop;
    (void)out;
    return in;
#endif
}

// The same from the start of a text, and then its plain tail at once.  Only
// here: after an escape, a tail that short is cheaper to finish byte by byte
// than to try again.
template <bool highBytesPlain>
inline const uint8_t* copy_plain_start(const uint8_t* in, const uint8_t* stop, char** out) noexcept {
    in = copy_plain_run<highBytesPlain>(in, stop, out);
#if defined(__SSE2__)
    const size_t left = size_t(stop - in);
    if (left - 4 < 12) in = copy_plain_tail<highBytesPlain>(in, left, out);  // 4 <= left < 16
#endif
    return in;
}

[[gnu::noinline]] char* escape_failed(const char** error, const char* message) noexcept {
    *error = message;
    return nullptr;
}

}  // namespace

char* Buffer_EscapeStringValidated(const EscapeOptions& options, const char* io, const char* end,
                                   char* out, const char** error, bool* copiedNonAscii) noexcept {
    const uint8_t* const stop = reinterpret_cast<const uint8_t*>(end);
    const uint8_t* in = copy_plain_start<false>(reinterpret_cast<const uint8_t*>(io), stop, &out);

    // No bounds test per byte: the NUL at `stop` has class END and is the
    // only way out of the loop.  Multi-byte sequences check the remaining
    // count against `stop` before reading past their lead byte.
    for (;;) {
        const uint8_t byte = *in;
        const uint8_t cls = g_asciiOutputTable[byte];
        int length;
        switch (cls) {
        case CPY:
            *out++ = char(byte);
            in = copy_plain_run<false>(in + 1, stop, &out);
            // The short tail of the run: the NUL (class END) stops it.
            while (g_asciiOutputTable[*in] == CPY) *out++ = char(*in++);
            continue;
        case RAW:
            *copiedNonAscii = true;
            *out++ = char(byte);
            ++in;
            continue;
        case END:
            if (in == stop) return out;
            out = write_hex_byte(out, 0);
            ++in;
            continue;
        case U2: length = 2; break;
        case U3: length = 3; break;
        case U4: length = 4; break;
        case U5: case U6:
            return escape_failed(error, kErrSequenceLength);
        default:
            out = write_ascii_escape(options, byte, cls, out);
            ++in;
            continue;
        }
        if (stop - in < length) return escape_failed(error, kErrUnterminated);
        const utf8::Sequence sequence = utf8::decode_sequence(in, length);
        switch (sequence.error) {
        case utf8::SequenceError::None:
            break;
        case utf8::SequenceError::BadContinuation:
            return escape_failed(error, length == 2 ? kErrContinuation2 : length == 3 ? kErrContinuation3
                                                                                      : kErrContinuation4);
        case utf8::SequenceError::Overlong:
            return escape_failed(error, length == 2 ? kErrOverlong2 : length == 3 ? kErrOverlong3 : kErrOverlong4);
        case utf8::SequenceError::AboveMax:
            return escape_failed(error, kErrAboveMax);
        }
        out = sequence.codePoint < 0x10000 ? write_hex_unit(out, sequence.codePoint)
                                           : write_hex_pair(out, sequence.codePoint);
        in += length;
    }
}

char* Buffer_EscapeStringUnvalidated(const EscapeOptions& options, const char* io, const char* end,
                                     char* out) noexcept {
    const uint8_t* const stop = reinterpret_cast<const uint8_t*>(end);
    const uint8_t* in = copy_plain_start<true>(reinterpret_cast<const uint8_t*>(io), stop, &out);

    // As above, the NUL at `stop` is the only end test.  The lead-byte
    // classes mean nothing here: those bytes are copied like class CPY.
    for (;;) {
        const uint8_t byte = *in++;
        const uint8_t cls = g_asciiOutputTable[byte];
        if (cls <= RAW && cls != END) {
            *out++ = char(byte);
            in = copy_plain_run<true>(in, stop, &out);
            continue;  // the next turn copies the short tail byte by byte
        }
        if (cls == END && in - 1 == stop) return out;
        out = write_ascii_escape(options, byte, cls, out);
    }
}

namespace {

template <typename Unit>
char* escape_code_points_of(const EscapeOptions& options, const Unit* in, size_t count, char* out) noexcept {
    for (const Unit* const stop = in + count; in < stop; ++in) {
        const uint32_t cp = *in;
        if (cp < 0x80) {
            const uint8_t cls = g_asciiOutputTable[cp];
            if (cls == CPY) *out++ = char(cp);
            else out = write_ascii_escape(options, uint8_t(cp), cls, out);
        } else if (options.ensureAscii) {
            out = cp < 0x10000 ? write_hex_unit(out, cp) : write_hex_pair(out, cp);
        } else {
            out = utf8::encode_code_point(out, cp);
        }
    }
    return out;
}

}  // namespace

char* escape_code_points(const EscapeOptions& options, const uint8_t* in, size_t count, char* out) noexcept {
    return escape_code_points_of(options, in, count, out);
}

char* escape_code_points(const EscapeOptions& options, const uint16_t* in, size_t count, char* out) noexcept {
    return escape_code_points_of(options, in, count, out);
}

char* escape_code_points(const EscapeOptions& options, const uint32_t* in, size_t count, char* out) noexcept {
    return escape_code_points_of(options, in, count, out);
}
