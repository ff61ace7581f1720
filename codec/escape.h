// The string escapers: JSON string contents from UTF-8 bytes or from a str's
// code points.  Plain C++ with no interpreter, so they are tested on their
// own (tests/native/escape_test.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

struct EscapeOptions {
    bool ensureAscii;           // non-ASCII as \u escapes (UTF-8 validated)
    bool encodeHTMLChars;       // < > & as \u escapes
    bool escapeForwardSlashes;  // / as \/
};

// Room the escapers need: this many output bytes per input byte or code
// point (\u00XX), twice as many per code point above U+FFFF under
// ensureAscii (a surrogate pair of escapes).
inline constexpr size_t kEscapedBytesPerByte = 6;

// What escape_code_points may store past its room: a six-byte escape is
// stored as an 8-byte word.
inline constexpr size_t kEscapeWordSlack = 2;

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
// kEscapedBytesPerByte units per unit.  Returns the end of the output.
// Defined for the same three widths.
template <typename Unit>
char* escape_in_kind(const EscapeOptions& options, const Unit* in, size_t count, char* out) noexcept;
