// The byte layer both codecs share: UTF-8 sequences and the sixteen-byte
// scan for the first byte that needs a closer look.  No interpreter here.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace utf8 {

inline bool is_continuation(uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

enum class SequenceError : uint8_t {
    None,
    BadContinuation,  // a byte after the lead is not 10xxxxxx
    Overlong,         // a shorter sequence holds the same code point
    AboveMax,         // above U+10FFFF
};

struct Sequence {
    uint32_t codePoint;
    SequenceError error;
    uint8_t badByte;  // BadContinuation: index of the first byte that is not one
};

// Decodes the sequence of kLength bytes (2, 3 or 4, as its lead byte says)
// at `p`.  Each byte is read only after the one before it passed as a
// continuation, so a NUL or any other terminator ends the reads.  Encoded
// surrogates (U+D800-U+DFFF) pass: both codecs keep them.  The length is a
// template argument so that each case compiles to straight-line code.
template <int kLength>
inline Sequence decode_sequence(const uint8_t* p) noexcept {
    static_assert(kLength >= 2 && kLength <= 4, "UTF-8 sequences of 2 to 4 bytes");
    for (int i = 1; i < kLength; ++i)
        if (!is_continuation(p[i])) return {0, SequenceError::BadContinuation, uint8_t(i)};
    if constexpr (kLength == 2) {
        const uint32_t cp = uint32_t(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
        return {cp, cp < 0x80 ? SequenceError::Overlong : SequenceError::None, 0};
    } else if constexpr (kLength == 3) {
        const uint32_t cp = uint32_t(p[0] & 0x0F) << 12 | uint32_t(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
        return {cp, cp < 0x800 ? SequenceError::Overlong : SequenceError::None, 0};
    } else {
        const uint32_t cp = uint32_t(p[0] & 0x07) << 18 | uint32_t(p[1] & 0x3F) << 12 |
                            uint32_t(p[2] & 0x3F) << 6 | (p[3] & 0x3F);
        if (cp > 0x10FFFF) return {cp, SequenceError::AboveMax, 0};
        return {cp, cp < 0x10000 ? SequenceError::Overlong : SequenceError::None, 0};
    }
}

// The same for a length known only at run time (2, 3 or 4).
inline Sequence decode_sequence(const uint8_t* p, int length) noexcept {
    return length == 2 ? decode_sequence<2>(p) : length == 3 ? decode_sequence<3>(p) : decode_sequence<4>(p);
}

// The sequence that starts the four bytes at `p`, read as one little-endian
// word: one mask test per length on the lead's and the continuations'
// marker bits, then the payload gathered from the word.  Returns the
// length (2, 3 or 4) with *codePoint set, or 0 when the bytes do not start
// a well-formed sequence (an ASCII byte, a stray continuation, an overlong
// form, a code point above U+10FFFF); encoded surrogates pass, as in
// decode_sequence.  The caller makes sure four bytes lie before the end.
inline int decode_word(const uint8_t* p, uint32_t* codePoint) noexcept {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the word holds the first byte lowest");
    uint32_t w;
    memcpy(&w, p, 4);
    uint32_t cp;
    int length;
    if ((w & 0xC0C0F0) == 0x8080E0) {  // 1110xxxx 10xxxxxx 10xxxxxx
        cp = (w & 0x0F) << 12 | (w & 0x3F00) >> 2 | (w & 0x3F0000) >> 16;
        length = cp < 0x800 ? 0 : 3;
    } else if ((w & 0xC0E0) == 0x80C0) {  // 110xxxxx 10xxxxxx
        cp = (w & 0x1F) << 6 | (w & 0x3F00) >> 8;
        length = cp < 0x80 ? 0 : 2;
    } else if ((w & 0xC0C0C0F8) == 0x808080F0) {  // 11110xxx 10xxxxxx 10xxxxxx 10xxxxxx
        cp = (w & 0x07) << 18 | (w & 0x3F00) << 4 | (w & 0x3F0000) >> 10 | (w & 0x3F000000) >> 24;
        length = cp - 0x10000 > 0xFFFFF ? 0 : 4;
    } else {
        return 0;
    }
    *codePoint = cp;
    return length;
}

// Writes `cp` (below U+110000) as UTF-8; lone surrogates in their three-byte
// form, as "surrogatepass" does.  Returns the end of what it wrote.
inline char* encode_code_point(char* out, uint32_t cp) noexcept {
    if (cp < 0x80) {
        *out++ = char(cp);
    } else if (cp < 0x800) {
        *out++ = char(0xC0 | (cp >> 6));
        *out++ = char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = char(0xE0 | (cp >> 12));
        *out++ = char(0x80 | ((cp >> 6) & 0x3F));
        *out++ = char(0x80 | (cp & 0x3F));
    } else {
        *out++ = char(0xF0 | (cp >> 18));
        *out++ = char(0x80 | ((cp >> 12) & 0x3F));
        *out++ = char(0x80 | ((cp >> 6) & 0x3F));
        *out++ = char(0x80 | (cp & 0x3F));
    }
    return out;
}

#if defined(__SSE2__)
using Chunk = __m128i;

inline Chunk splat(char c) noexcept { return _mm_set1_epi8(c); }
inline Chunk equal(Chunk a, Chunk b) noexcept { return _mm_cmpeq_epi8(a, b); }
inline Chunk either(Chunk a, Chunk b) noexcept { return _mm_or_si128(a, b); }
// Bytes 0x00-0x1F (unsigned): the control characters and the NUL.
inline Chunk control(Chunk c) noexcept {
    const Chunk max = _mm_set1_epi8(0x1F);
    return _mm_cmpeq_epi8(_mm_max_epu8(c, max), max);
}
#endif

// The first byte at or after `p` that `special` marks, looking at sixteen
// bytes at a time while sixteen lie before `stop`; where fewer remain, the
// position reached, and the caller's table loop goes on from there (SSE2 is
// the x86-64 baseline; this halves the time spent in long strings and runs).
// `special(chunk)` returns a chunk whose top bit is set in each special byte
// (its low bits may hold anything); pass a lambda, whose type lets the
// compiler inline it, not a function pointer.  With `copyTo`, every chunk looked at is
// also stored there and *copyTo advances past the plain bytes: the caller
// guarantees sixteen bytes of room for each sixteen bytes of input.
template <typename Special>
[[gnu::always_inline]] inline const uint8_t* scan16(const uint8_t* p, const uint8_t* stop, Special special,
                             char** copyTo = nullptr) noexcept {
#if defined(__SSE2__)
    char* to = copyTo ? *copyTo : nullptr;
    while (stop - p >= 16) {
        const Chunk chunk = _mm_loadu_si128(reinterpret_cast<const Chunk*>(p));
        const unsigned mask = unsigned(_mm_movemask_epi8(special(chunk)));
        if (copyTo) _mm_storeu_si128(reinterpret_cast<Chunk*>(to), chunk);
        if (mask) {
            const unsigned plain = unsigned(__builtin_ctz(mask));
            if (copyTo) *copyTo = to + plain;
            return p + plain;
        }
        p += 16;
        if (copyTo) to += 16;
    }
    if (copyTo) *copyTo = to;
#else
    (void)stop;
    (void)special;
    (void)copyTo;
#endif
    return p;
}

}  // namespace utf8
