// The string escapers: JSON string contents from UTF-8 bytes or from a str's
// code points.  Plain C++ with no interpreter, so they are tested on their
// own (tests/native/escape_test.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/utf8.h"

struct EscapeOptions {
    bool ensureAscii;           // non-ASCII as \u escapes (UTF-8 validated)
    bool encodeHTMLChars;       // < > & as \u escapes
    bool escapeForwardSlashes;  // / as \/
};

// Room the escapers need: this many output bytes per input byte or code
// point (\u00XX), twice as many per code point above U+FFFF under
// ensureAscii (a surrogate pair of escapes).
inline constexpr size_t kEscapedBytesPerByte = 6;

// What escape_code_points and escape_in_kind may store past their room: an
// escape is stored as a word of eight units, of which it uses up to six.
inline constexpr size_t kEscapeWordSlack = 8;

// ensureAscii: validates the UTF-8 in [io, end) and writes every non-ASCII
// character as \u escapes (a surrogate pair above U+FFFF); lone surrogates in
// their three-byte form pass as their own escape.  Stray continuation bytes
// and 0xFE/0xFF are copied as they are, setting *copiedNonAscii (else left
// alone).  *end must be a NUL: it ends the scan.  Returns the end of the
// output, or null with *error set to the message when the bytes are not
// valid UTF-8.
char* Buffer_EscapeStringValidated(const EscapeOptions& options, const char* io, const char* end,
                                   char* out, const char** error, bool* copiedNonAscii) noexcept;

// ensureAscii off: escapes only the ASCII characters that need it and copies
// every other byte, valid UTF-8 or not.  *end must be a NUL.
char* Buffer_EscapeStringUnvalidated(const EscapeOptions& options, const char* io, const char* end,
                                     char* out) noexcept;

// Escapes `count` code points (1-, 2- or 4-byte units, as a str stores them)
// straight from their storage: the text the byte escapers write for their
// UTF-8 form ("surrogatepass" for lone surrogates).  Under ensureAscii it
// stores whole 8-byte words: reserve kEscapeWordSlack bytes past the room.
// Defined for uint8_t, uint16_t and uint32_t units.
template <typename Unit>
char* escape_code_points(const EscapeOptions& options, const Unit* in, size_t count, char* out) noexcept;

// ensureAscii off, for a str that is not ASCII: escapes `count` code units
// into units of the same width at `out` (which need not be aligned),
// copying every unit from 0x80 as it is, lone surrogates included.  The
// units are the code points the UTF-8 escapers' output decodes to.  Room:
// kEscapedBytesPerByte units per unit, and kEscapeWordSlack bytes past
// it.  Returns the end of the output.
// Defined for the same three widths.
template <typename Unit>
char* escape_in_kind(const EscapeOptions& options, const Unit* in, size_t count, char* out) noexcept;

#if defined(__SSE2__)
namespace escape_detail {

// Marks the bytes that end a plain run: control characters and the NUL,
// " \ / & < >, and with `highBytesPlain` off every byte from 0x80.  The
// escapers' table loops then decide them under the call's options.
template <bool highBytesPlain>
inline utf8::Chunk not_plain(utf8::Chunk c) noexcept {
    using namespace utf8;
    Chunk special = either(control(c), either(equal(c, splat('"')), equal(c, splat('\\'))));
    special = either(special, either(equal(c, splat('/')), equal(c, splat('&'))));
    special = either(special, either(equal(c, splat('<')), equal(c, splat('>'))));
    if (!highBytesPlain) special = either(special, c);  // top bit: 0x80-0xFF
    return special;
}

}  // namespace escape_detail
#endif

// Text of 1 to 16 bytes that every escaper copies unchanged whatever the
// options (printable ASCII but " \ / & < >): copied to `out`, true.
// Otherwise false, with nothing written.  The loads overlap rather than
// reach past the text, and exactly its bytes are stored.  Inline, so that
// the short strings most documents are made of cost no call.
inline bool copy_short_plain(const char* text, size_t length, char* out) noexcept {
#if defined(__SSE2__)
    if (length - 1 >= 16) return false;  // 0 or above 16
    if (length >= 8) {
        const __m128i head = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(text));
        const __m128i tail = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(text + length - 8));
        if (_mm_movemask_epi8(escape_detail::not_plain<false>(_mm_unpacklo_epi64(head, tail))) != 0) return false;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), head);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + length - 8), tail);
        return true;
    }
    uint32_t head, tail;  // 4 to 7 bytes: two words; 1 to 3: first, middle and last byte
    if (length >= 4) {
        memcpy(&head, text, 4);
        memcpy(&tail, text + length - 4, 4);
    } else {
        // The unused fourth byte is a space, which is plain.
        head = uint8_t(text[0]) | uint32_t(uint8_t(text[length / 2])) << 8 |
               uint32_t(uint8_t(text[length - 1])) << 16 | uint32_t(' ') << 24;
        tail = head;
    }
    const __m128i words = _mm_cvtsi64_si128(static_cast<long long>(uint64_t(tail) << 32 | head));
    if ((_mm_movemask_epi8(escape_detail::not_plain<false>(words)) & 0xFF) != 0) return false;
    if (length >= 4) {
        memcpy(out, &head, 4);
        memcpy(out + length - 4, &tail, 4);
    } else {
        out[0] = text[0];
        out[length / 2] = text[length / 2];
        out[length - 1] = text[length - 1];
    }
    return true;
#else
    (void)text;
    (void)length;
    (void)out;
    return false;
#endif
}
