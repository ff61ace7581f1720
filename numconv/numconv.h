// The one door to the number libraries: doubles to JSON text and number text
// to doubles.  Typed and stateless: nothing is allocated per call, and any
// number of threads may call both functions at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace numconv {

// Room format_double needs at `out`: the longest text is 24 bytes (as in
// "-2.2250738585072014e-308") and a NUL follows it, but the digits are laid
// out with copies of a fixed size, which may write up to 34 bytes.
inline constexpr size_t kDoubleTextRoom = 40;

// Writes the shortest text that reads back as `value`: plain notation for
// decimal exponents from -4 to 15, with ".0" after an integral value ("1.0",
// "0.0001", "123456789012345.0"), scientific notation otherwise, with a sign
// on every exponent and no padding ("1e+16", "1.5e-5", "5e-324").  NaN and
// the infinities are written as "NaN", "Infinity" and "-Infinity" when
// `allowNonFinite`, else refused.  Returns the length written (a NUL
// follows it), or 0 when the value was refused.
size_t format_double(double value, bool allowNonFinite, char* out) noexcept;

// The double nearest to the longest decimal number at the start of
// [text, text + length): an optional '-', digits, an optional '.' with
// optional digits (or, after the '-', a '.' and digits), and an exponent
// [eE][+-]?digits only when it has a digit.  *used is the byte count of that
// number, 0 when there is none (the result is then 0.0).  No other form is
// read: no '+' sign, no "inf" or "nan" words, no hexadecimal.
double parse_double(const char* text, size_t length, size_t* used) noexcept;

// The double nearest to mantissa * 10^exponent, negated when `negative`, for
// a number text whose significant digits all fit in `mantissa` (fewer than
// 20 of them), so the caller, which read the digits already, need not hand
// over the text.  False in the rare cases that only the text can decide;
// the caller then calls parse_double.
bool decimal_to_double(uint64_t mantissa, int64_t exponent, bool negative, double* value) noexcept;

}  // namespace numconv
