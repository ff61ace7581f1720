// The number door, on the double-conversion library.  Its converters have no
// mutable state: each is built once, at load time, and used from any thread
// through its const methods.
#include "numconv/numconv.h"

#include <double-conversion/double-conversion.h>

#include <climits>

namespace numconv {
namespace {

using double_conversion::DoubleToStringConverter;
using double_conversion::StringBuilder;
using double_conversion::StringToDoubleConverter;

// "1e+16", "1.0": a sign on every exponent and ".0" after integral values.
constexpr int kFormatFlags = DoubleToStringConverter::EMIT_POSITIVE_EXPONENT_SIGN |
                             DoubleToStringConverter::EMIT_TRAILING_DECIMAL_POINT |
                             DoubleToStringConverter::EMIT_TRAILING_ZERO_AFTER_POINT;
// Plain notation for decimal exponents from -4 (0.0001) up to 15; from 1e16
// on and below 0.0001, scientific notation.
constexpr int kPlainLowestExponent = -4;
constexpr int kPlainPastHighestExponent = 16;

DoubleToStringConverter make_formatter(bool allowNonFinite) {
    return DoubleToStringConverter(kFormatFlags, allowNonFinite ? "Infinity" : nullptr,
                                   allowNonFinite ? "NaN" : nullptr, 'e', kPlainLowestExponent,
                                   kPlainPastHighestExponent, 0, 0, 0);
}

const DoubleToStringConverter g_formatterWithSymbols = make_formatter(true);
const DoubleToStringConverter g_formatterWithoutSymbols = make_formatter(false);

// Bytes after the number are allowed and not counted as used.  The symbols
// never match: the decoder reads NaN and Infinity itself and hands over only
// text that starts with a '-' or a digit.
const StringToDoubleConverter g_parser(StringToDoubleConverter::ALLOW_TRAILING_JUNK, 0.0, 0.0,
                                       "Infinity", "NaN");

}  // namespace

size_t format_double(double value, bool allowNonFinite, char* out) noexcept {
    StringBuilder builder(out, int(kDoubleTextRoom));
    // ToShortest is the public face of shortest-mode formatting.  It writes
    // nothing and fails for a non-finite value without a symbol.
    const DoubleToStringConverter& formatter =
        allowNonFinite ? g_formatterWithSymbols : g_formatterWithoutSymbols;
    const bool written = formatter.ToShortest(value, &builder);
    const int length = builder.position();
    builder.Finalize();  // the NUL after the text
    return written ? size_t(length) : 0;
}

double parse_double(const char* text, size_t length, size_t* used) noexcept {
    int processed = 0;
    const double value =
        g_parser.StringToDouble(text, length > size_t(INT_MAX) ? INT_MAX : int(length), &processed);
    *used = size_t(processed);
    return value;
}

}  // namespace numconv
