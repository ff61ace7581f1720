// The encoder's output turned into a str's code units, without the
// interpreter.  UTF-8 text is measured in one pass (its length in code
// points and the kind it needs), then transcoded straight into a str made
// at that length and kind; runs already in code units are widened.  Tested
// on its own (tests/native/utf8_text_test.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace utf8 {

struct TextShape {
    size_t codePoints;  // bytes that are not continuation bytes
    uint32_t maxChar;   // 0x7F, 0xFF, 0xFFFF or 0x10FFFF: the kind of the str
};

// The shape the text has if it is valid: its largest byte tells the kind,
// since a lead byte bounds the code point it starts (C2/C3 below 0x100, C4
// to EF below 0x10000, F0 and up beyond).  Meaningless for invalid text,
// which the transcoders reject.
TextShape measure(const uint8_t* text, size_t length) noexcept;

// Transcodes `length` bytes of UTF-8 into `units` code units of one width
// (the measured shape's).  Valid text is what Python's UTF-8 decoder
// accepts with "surrogatepass": UTF-8 with encoded surrogates (ED A0-BF
// 80-BF).  False at the first byte that is not, at a code point too wide
// for the unit, or when the code points do not fill `units` exactly; `out`
// then holds junk.  Never writes past `units`.
// Defined for uint8_t, uint16_t and uint32_t units.
template <typename Unit>
bool transcode(const uint8_t* text, size_t length, Unit* out, size_t units) noexcept;

// Copies `count` code units of `unitSize` bytes (1, 2 or 4, at most the
// width of `out`) from `units`, which need not be aligned, into `out`: the
// runs the encoder writes in a str's own width.
// Defined for the same three widths.
template <typename Unit>
void copy_units(const char* units, size_t count, size_t unitSize, Unit* out) noexcept;

}  // namespace utf8
