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

// "00", "01", ... "ff": the two hex digits of each byte.
constexpr std::array<char, 512> make_hex_pairs() {
    std::array<char, 512> pairs{};
    for (int i = 0; i < 256; ++i) {
        pairs[2 * i] = g_hexChars[i >> 4];
        pairs[2 * i + 1] = g_hexChars[i & 0x0F];
    }
    return pairs;
}
constexpr std::array<char, 512> g_hexPairs = make_hex_pairs();
static_assert(g_hexPairs[0] == '0' && g_hexPairs[1] == '0', "00");
static_assert(g_hexPairs[2 * 0x3C] == '3' && g_hexPairs[2 * 0x3C + 1] == 'c', "3c");
static_assert(g_hexPairs[2 * 0xA9] == 'a' && g_hexPairs[2 * 0xA9 + 1] == '9', "a9");
static_assert(g_hexPairs[510] == 'f' && g_hexPairs[511] == 'f', "ff");
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

constexpr char* write_hex_byte(char* out, uint8_t byte) noexcept {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = '0';
    out[3] = '0';
    out[4] = g_hexChars[byte >> 4];
    out[5] = g_hexChars[byte & 0x0F];
    return out + 6;
}

// A unit below 0x10000 as \uXXXX: two hex pairs from the table.
inline char* write_hex_unit(char* out, uint32_t unit) noexcept {
    memcpy(out, "\\u", 2);
    memcpy(out + 2, &g_hexPairs[2 * (unit >> 8)], 2);
    memcpy(out + 4, &g_hexPairs[2 * (unit & 0xFF)], 2);
    return out + 6;
}

// A code point above U+FFFF as its surrogate pair of escapes.
inline char* write_hex_pair(char* out, uint32_t cp) noexcept {
    const uint32_t v = cp - 0x10000;
    out = write_hex_unit(out, 0xD800 + (v >> 10));
    return write_hex_unit(out, 0xDC00 + (v & 0x3FF));
}

// An ASCII byte that is not plain: its escape under the options.
constexpr char* write_ascii_escape(const EscapeOptions& options, uint8_t byte, uint8_t cls, char* out) noexcept {
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
using escape_detail::not_plain;
#endif

// ---- plain runs -----------------------------------------------------------------

// The escapers copy runs of plain text sixteen units at a time (SSE2 is the
// x86-64 baseline), and the table loops decide the rest.  A str's code
// units are first narrowed to one byte each, so that one test serves the
// three widths.

#if defined(__SSE2__)
inline __m128i load16(const void* p) noexcept { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline __m128i load8(const void* p) noexcept { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }

// 16, 8 or 4 code units as as many bytes, from the low end of the result
// (the rest zero): a unit below 0x80 as itself, any other as a byte that
// not_plain<false> marks, 0x80-0xFF or, where signed saturation meets a
// unit from 0x8000 (packus sees it as negative), 0x00, a control character.
inline __m128i narrow16(const uint8_t* p) noexcept { return load16(p); }
inline __m128i narrow16(const uint16_t* p) noexcept { return _mm_packus_epi16(load16(p), load16(p + 8)); }
inline __m128i narrow16(const uint32_t* p) noexcept {
    return _mm_packus_epi16(_mm_packs_epi32(load16(p), load16(p + 4)), _mm_packs_epi32(load16(p + 8), load16(p + 12)));
}
inline __m128i narrow8(const uint8_t* p) noexcept { return load8(p); }
inline __m128i narrow8(const uint16_t* p) noexcept { return _mm_packus_epi16(load16(p), _mm_setzero_si128()); }
inline __m128i narrow8(const uint32_t* p) noexcept {
    return _mm_packus_epi16(_mm_packs_epi32(load16(p), load16(p + 4)), _mm_setzero_si128());
}
inline __m128i narrow4(const uint8_t* p) noexcept {
    uint32_t word;
    memcpy(&word, p, 4);
    return _mm_cvtsi32_si128(int(word));
}
inline __m128i narrow4(const uint16_t* p) noexcept { return _mm_packus_epi16(load8(p), _mm_setzero_si128()); }
inline __m128i narrow4(const uint32_t* p) noexcept {
    const __m128i zero = _mm_setzero_si128();
    return _mm_packus_epi16(_mm_packs_epi32(load16(p), zero), zero);
}

inline void store4(char* out, __m128i bytes) noexcept {
    const int word = _mm_cvtsi128_si32(bytes);
    memcpy(out, &word, 4);
}

// The last 4 to 15 units before `stop` when they are all plain, copied by
// two overlapping loads and stores, which stay within the input: short
// strings and keys then skip the table loop.  Otherwise `in` as it was.
template <bool highBytesPlain, typename Unit>
inline const Unit* copy_plain_tail(const Unit* in, size_t left, char** out) noexcept {
    if (left >= 8) {
        const __m128i head = narrow8(in);
        const __m128i tail = narrow8(in + left - 8);
        if (_mm_movemask_epi8(not_plain<highBytesPlain>(_mm_unpacklo_epi64(head, tail))) != 0) return in;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(*out), head);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(*out + left - 8), tail);
    } else {
        const __m128i head = narrow4(in);
        const __m128i tail = narrow4(in + left - 4);
        // Only the low eight bytes hold units.
        if ((_mm_movemask_epi8(not_plain<highBytesPlain>(_mm_unpacklo_epi32(head, tail))) & 0xFF) != 0) return in;
        store4(*out, head);
        store4(*out + left - 4, tail);
    }
    *out += left;
    return in + left;
}
#endif

// Copies the plain run at `in` sixteen units at a time.  Storing whole
// blocks is safe: the escapers' callers reserve at least 6 bytes of room per
// unit, which leaves 96 for each 16.  `highBytesPlain` (bytes copied as
// they are) only for byte input.
template <bool highBytesPlain, typename Unit>
inline const Unit* copy_plain_run(const Unit* in, const Unit* stop, char** out) noexcept {
    static_assert(!highBytesPlain || sizeof(Unit) == 1, "code points from 0x80 are never copied");
#if defined(__SSE2__)
    char* to = *out;
    while (stop - in >= 16) {
        const __m128i chunk = narrow16(in);
        const unsigned mask = unsigned(_mm_movemask_epi8(not_plain<highBytesPlain>(chunk)));
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

// The same from the start of a text, and then its plain tail at once.  Only
// here: after an escape, a tail that short is cheaper to finish unit by
// unit than to try again (measured).
template <bool highBytesPlain, typename Unit>
inline const Unit* copy_plain_start(const Unit* in, const Unit* stop, char** out) noexcept {
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

// ---- branch-free \u escaping ----------------------------------------------------

// Under ensureAscii every code point below U+10000 becomes one word of
// output: its text in the low bytes (at most six) and its length in the top
// byte.  The loop stores the whole word and advances by its length, so
// text that switches between ASCII, escapes and other scripts every few
// units costs no mispredicted branch per switch.  The byte positions follow
// memory order on either endianness.
constexpr int word_shift(int position) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return 8 * (7 - position);
#else
    return 8 * position;
#endif
}

// `length` bytes of text at byte `position` of a word.
constexpr uint64_t bytes_at(const char* text, int length, int position) noexcept {
    uint64_t word = 0;
    for (int i = 0; i < length; ++i) word |= uint64_t(uint8_t(text[i])) << word_shift(position + i);
    return word;
}

constexpr uint64_t text_word(const char* text, int length) noexcept {
    return bytes_at(text, length, 0) | uint64_t(length) << word_shift(7);
}

constexpr int word_length(uint64_t word) noexcept { return int(word >> word_shift(7) & 0xFF); }

// Each ASCII character's word under one choice of the two options that
// change its text (HTML characters, forward slashes).
// Indexed by a unit's low byte, which the \uXXXX word needs anyway: the
// entries from 0x80 are never chosen.
using AsciiWords = std::array<uint64_t, 256>;

// The words hold what write_ascii_escape writes, so the escapers agree.
constexpr AsciiWords make_ascii_words(bool encodeHTMLChars, bool escapeForwardSlashes) {
    const EscapeOptions options{true, encodeHTMLChars, escapeForwardSlashes};
    AsciiWords words{};
    for (int c = 0; c < 128; ++c) {
        const uint8_t cls = g_asciiOutputTable[c];
        char text[kEscapedBytesPerByte] = {char(c)};
        const int length = cls == CPY ? 1 : int(write_ascii_escape(options, uint8_t(c), cls, text) - text);
        words[c] = text_word(text, length);
    }
    return words;
}

// Indexed by encodeHTMLChars * 2 + escapeForwardSlashes.
constexpr std::array<AsciiWords, 4> g_asciiWords = {
    make_ascii_words(false, false), make_ascii_words(false, true),
    make_ascii_words(true, false), make_ascii_words(true, true),
};
static_assert(g_asciiWords[0]['a'] == text_word("a", 1) && g_asciiWords[0]['/'] == text_word("/", 1), "plain");
static_assert(g_asciiWords[1]['/'] == text_word("\\/", 2) && g_asciiWords[0]['\n'] == text_word("\\n", 2),
              "two-byte escapes");
static_assert(g_asciiWords[0][0x1F] == text_word("\\u001f", 6) && g_asciiWords[0][0] == text_word("\\u0000", 6),
              "control characters and NUL");
static_assert(g_asciiWords[0]['<'] == text_word("<", 1) && g_asciiWords[2]['<'] == text_word("\\u003c", 6),
              "HTML characters");
static_assert(g_asciiWords[3]['&'] == text_word("\\u0026", 6) && g_asciiWords[3]['/'] == text_word("\\/", 2),
              "both options");

// The two hex digits of a code unit's high and low byte, at their places
// in a \uXXXX word.
using HexWords = std::array<uint64_t, 256>;

// The high byte's word carries the rest of the escape: the \u and its
// length.
constexpr HexWords make_hex_words(int position, uint64_t rest) {
    HexWords words{};
    for (int b = 0; b < 256; ++b) words[b] = bytes_at(&g_hexPairs[2 * b], 2, position) | rest;
    return words;
}
constexpr HexWords g_hexHighWords = make_hex_words(2, text_word("\\u", 2) | uint64_t(6) << word_shift(7));
constexpr HexWords g_hexLowWords = make_hex_words(4, 0);
static_assert((g_hexHighWords[0xD8] | g_hexLowWords[0x3D]) == text_word("\\ud83d", 6), "\\uXXXX from its two bytes");

// One code point under ensureAscii: the word of a unit below U+10000,
// chosen by a conditional move; both words are at hand before the choice,
// or the compiler would make it a branch again.  Above U+FFFF (4-byte units
// only, and rare) the surrogate pair.
template <typename Unit>
inline char* write_code_point_word(const AsciiWords& asciiWords, uint32_t cp, char* out) noexcept {
    if (sizeof(Unit) == 4 && cp >= 0x10000) [[unlikely]]
        return write_hex_pair(out, cp);
    const uint64_t hex = g_hexHighWords[cp >> 8 & 0xFF] | g_hexLowWords[cp & 0xFF];
    const uint64_t asciiWord = asciiWords[cp & 0xFF];
    const uint64_t word = cp < 0x80 ? asciiWord : hex;
    memcpy(out, &word, sizeof word);
    return out + word_length(word);
}

// Units taken one word at a time once a block is found dense with units to
// escape, before plain blocks are looked for again (measured: shorter
// stretches spend more on failed block tests, longer ones on the plain
// text that follows).
constexpr size_t kDenseStretch = 32;

// Under ensureAscii.  Sixteen units at a time while they are plain.  A
// block with one or two units to escape is copied up to the first, which
// is escaped, and the blocks go on from the next unit: text with an
// occasional accent stays in the block loop.  A block with more goes one
// word per unit for a stretch, which costs no mispredicted branch however
// often the text switches between ASCII, escapes and other scripts.
template <typename Unit>
char* escape_code_points_ascii(const EscapeOptions& options, const Unit* in, size_t count, char* out) noexcept {
    const Unit* const stop = in + count;
    const AsciiWords& asciiWords = g_asciiWords[options.encodeHTMLChars * 2 + options.escapeForwardSlashes];
#if defined(__SSE2__)
    if (count - 4 < 12) in = copy_plain_tail<false>(in, count, &out);  // 4 <= count < 16, all plain
    while (stop - in >= 16) {
        const __m128i chunk = narrow16(in);
        const unsigned mask = unsigned(_mm_movemask_epi8(not_plain<false>(chunk)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chunk);
        if (mask == 0) {
            in += 16;
            out += 16;
            continue;
        }
        const unsigned plain = unsigned(__builtin_ctz(mask));
        in += plain;
        out += plain;
        const unsigned afterFirst = mask & (mask - 1);
        if ((afterFirst & (afterFirst - 1)) == 0) {  // at most two to escape
            out = write_code_point_word<Unit>(asciiWords, *in++, out);
            continue;
        }
        const Unit* const stretchEnd = size_t(stop - in) > kDenseStretch ? in + kDenseStretch : stop;
        // Two units per turn: half the loop's own tests.
        for (; stretchEnd - in >= 2; in += 2) {
            out = write_code_point_word<Unit>(asciiWords, in[0], out);
            out = write_code_point_word<Unit>(asciiWords, in[1], out);
        }
        if (in < stretchEnd) out = write_code_point_word<Unit>(asciiWords, *in++, out);
    }
#endif
    while (in < stop) out = write_code_point_word<Unit>(asciiWords, *in++, out);
    return out;
}

}  // namespace

// Plain runs go sixteen units at a time, as in the byte escapers.  Without
// ensureAscii the loop takes one code point at a time, and after a plain
// one tries a run again.
template <typename Unit>
char* escape_code_points(const EscapeOptions& options, const Unit* in, size_t count, char* out) noexcept {
    if (options.ensureAscii) return escape_code_points_ascii(options, in, count, out);
    const Unit* const stop = in + count;
    in = copy_plain_start<false>(in, stop, &out);
    while (in < stop) {
        const uint32_t cp = *in++;
        if (cp < 0x80) {
            const uint8_t cls = g_asciiOutputTable[cp];
            if (cls == CPY) {
                *out++ = char(cp);
                in = copy_plain_run<false>(in, stop, &out);
            } else {
                out = write_ascii_escape(options, uint8_t(cp), cls, out);
            }
        } else if (options.ensureAscii) {
            out = cp < 0x10000 ? write_hex_unit(out, cp) : write_hex_pair(out, cp);
        } else {
            out = utf8::encode_code_point(out, cp);
        }
    }
    return out;
}

template char* escape_code_points(const EscapeOptions&, const uint8_t*, size_t, char*) noexcept;
template char* escape_code_points(const EscapeOptions&, const uint16_t*, size_t, char*) noexcept;
template char* escape_code_points(const EscapeOptions&, const uint32_t*, size_t, char*) noexcept;

namespace {

// ---- in the str's own width ------------------------------------------------------

template <typename Unit>
inline char* store_unit(char* out, uint32_t value) noexcept {
    const Unit unit = Unit(value);
    memcpy(out, &unit, sizeof unit);
    return out + sizeof unit;
}

#if defined(__SSE2__)
// Sixteen code units as sixteen bytes for the in-kind escaper's test: a
// unit below 0x80 as itself, any other as a byte from 0x80, which
// not_plain<true> takes as plain.  Two-byte units are first capped at 0xFF
// (an unsigned minimum, from two saturating subtractions), since packus
// would read a unit from 0x8000 as negative; four-byte units saturate to
// at most 0x7FFF in their first pack and never are.
inline __m128i narrow_in_kind16(const uint8_t* p) noexcept { return load16(p); }
inline __m128i narrow_in_kind16(const uint16_t* p) noexcept {
    const __m128i cap = _mm_set1_epi16(0xFF);
    const __m128i low = load16(p);
    const __m128i high = load16(p + 8);
    return _mm_packus_epi16(_mm_subs_epu16(low, _mm_subs_epu16(low, cap)),
                            _mm_subs_epu16(high, _mm_subs_epu16(high, cap)));
}
inline __m128i narrow_in_kind16(const uint32_t* p) noexcept { return narrow16(p); }
#endif

}  // namespace

// An ASCII unit's word (its output text and length) widened to eight units
// of the output's width, stored whole: the units past its length are left
// after the text.  No branch on the escape's length or kind.
template <typename Unit>
inline char* store_word_in_kind(uint64_t word, char* out) noexcept {
#if defined(__SSE2__)
    const __m128i bytes = _mm_cvtsi64_si128(static_cast<long long>(word));
    if constexpr (sizeof(Unit) == 1) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
    } else {
        const __m128i pairs = _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
        if constexpr (sizeof(Unit) == 2) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), pairs);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(pairs, _mm_setzero_si128()));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + 1, _mm_unpackhi_epi16(pairs, _mm_setzero_si128()));
        }
    }
#else
    for (int i = 0; i < 8; ++i) store_unit<Unit>(out + i * sizeof(Unit), uint8_t(word >> word_shift(i)));
#endif
    return out + word_length(word) * sizeof(Unit);
}

// Plain units, the non-ASCII ones included, are copied sixteen at a time:
// within the room, since every unit left has kEscapedBytesPerByte units of
// it.  A block stops at its first ASCII unit to escape, which is written as
// its word, and the blocks go on from the unit after it.  The short tail
// goes one unit at a time.
template <typename Unit>
char* escape_in_kind(const EscapeOptions& options, const Unit* in, size_t count, char* out) noexcept {
    const Unit* const stop = in + count;
    const AsciiWords& asciiWords = g_asciiWords[options.encodeHTMLChars * 2 + options.escapeForwardSlashes];
#if defined(__SSE2__)
    while (stop - in >= 16) {
        const unsigned mask = unsigned(_mm_movemask_epi8(not_plain<true>(narrow_in_kind16(in))));
        for (size_t i = 0; i < sizeof(Unit); ++i)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + i, load16(reinterpret_cast<const char*>(in) + 16 * i));
        if (mask == 0) {
            in += 16;
            out += 16 * sizeof(Unit);
            continue;
        }
        const unsigned plain = unsigned(__builtin_ctz(mask));
        in += plain;
        out = store_word_in_kind<Unit>(asciiWords[*in++ & 0x7F], out + plain * sizeof(Unit));
    }
#endif
    for (; in < stop; ++in) {
        const uint32_t unit = *in;
        if (unit >= 0x80 || g_asciiOutputTable[unit] == CPY) out = store_unit<Unit>(out, unit);
        else out = store_word_in_kind<Unit>(asciiWords[unit], out);
    }
    return out;
}

template char* escape_in_kind(const EscapeOptions&, const uint8_t*, size_t, char*) noexcept;
template char* escape_in_kind(const EscapeOptions&, const uint16_t*, size_t, char*) noexcept;
template char* escape_in_kind(const EscapeOptions&, const uint32_t*, size_t, char*) noexcept;
