// The reference for numconv: the double-conversion library, configured as
// the number door was when it ran on that library.  numconv_oracle.cpp and
// the numconv fuzz target hold numconv to it byte for byte and bit for bit.
#pragma once

#include <double-conversion/double-conversion.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace numconv_reference {

using double_conversion::DoubleToStringConverter;
using double_conversion::StringBuilder;
using double_conversion::StringToDoubleConverter;

inline constexpr size_t kTextRoom = 32;

// A sign on every exponent, ".0" after integral values, plain notation for
// decimal exponents from -4 up to 15, "NaN" and "Infinity" when allowed.
inline DoubleToStringConverter make_formatter(bool allowNonFinite) {
    return DoubleToStringConverter(DoubleToStringConverter::EMIT_POSITIVE_EXPONENT_SIGN |
                                       DoubleToStringConverter::EMIT_TRAILING_DECIMAL_POINT |
                                       DoubleToStringConverter::EMIT_TRAILING_ZERO_AFTER_POINT,
                                   allowNonFinite ? "Infinity" : nullptr, allowNonFinite ? "NaN" : nullptr,
                                   'e', -4, 16, 0, 0, 0);
}

// Text of `value` at `out` (NUL-terminated), its length, or 0 when refused.
inline size_t format_double(double value, bool allowNonFinite, char* out) {
    static const DoubleToStringConverter withSymbols = make_formatter(true);
    static const DoubleToStringConverter withoutSymbols = make_formatter(false);
    StringBuilder builder(out, int(kTextRoom));
    const bool written = (allowNonFinite ? withSymbols : withoutSymbols).ToShortest(value, &builder);
    const int length = builder.position();
    builder.Finalize();
    return written ? size_t(length) : 0;
}

// The longest number at the start of the text, 0.0 and *used 0 when none.
// This reference also reads a leading '+' and the words "Infinity" and
// "NaN", which numconv does not: compare only on text that starts with a
// digit, '.', or '-' and a digit or '.' (see in_number_grammar).
inline double parse_double(const char* text, size_t length, size_t* used) {
    static const StringToDoubleConverter parser(StringToDoubleConverter::ALLOW_TRAILING_JUNK, 0.0, 0.0,
                                                "Infinity", "NaN");
    int processed = 0;
    const double value =
        parser.StringToDouble(text, length > size_t(INT_MAX) ? INT_MAX : int(length), &processed);
    *used = size_t(processed);
    return value;
}

// Whether the text starts the way a number of the door's grammar does; the
// reference and numconv agree on every such text, and numconv reads no
// number from any other.
inline bool in_number_grammar(const char* text, size_t length) {
    size_t i = length > 0 && text[0] == '-' ? 1 : 0;
    if (i >= length) return false;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    return c == '.' || (c >= '0' && c <= '9');
}

inline uint64_t bits_of(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace numconv_reference
