// The number door: dragonbox finds the shortest digits of a double and this
// file lays them out; fast_float reads number text.  Both are header-only
// and keep no state, so any number of threads may call in at once.
//
// The text written and the text read are the forms the double-conversion
// library produces and reads under the configuration this module used
// before (ToShortest with a sign on every exponent, ".0" after integral
// values and plain notation for decimal exponents -4 to 15; StringToDouble
// allowing trailing junk).  tests/native/numconv_oracle.cpp holds them to
// that library byte for byte and bit for bit.
#include "numconv/numconv.h"

#include "numconv/digits.h"

#include <dragonbox/dragonbox.h>
#include <fast_float/fast_float.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace numconv {
namespace {

// Plain notation for decimal exponents from -4 (0.0001) up to 15
// (123456789012345.0); from 1e16 on and below 0.0001, scientific notation.
constexpr int kPlainLowestExponent = -4;
constexpr int kPlainHighestExponent = 15;

// The `count` digits of a significand (at most 17) ending at `end`, written
// as groups of eight with leading zeros: only two divisions are 64-bit ones.
inline void write_significand(char* end, uint64_t significand, int count) noexcept {
    constexpr uint64_t kEight = 100000000;
    if (count > 8) {
        uint64_t high = significand / kEight;
        write_eight_digits(end - 8, uint32_t(significand - kEight * high));
        end -= 8;
        if (count > 16) {
            const uint64_t top = high / kEight;  // one digit
            write_eight_digits(end - 8, uint32_t(high - kEight * top));
            end -= 8;
            high = top;
        }
        significand = high;
    }
    write_eight_digits(end - 8, uint32_t(significand));
}

inline size_t write_word(char* out, const char* word, size_t length) noexcept {
    memcpy(out, word, length + 1);  // with its NUL
    return length;
}

// NaN, the infinities, or 0 when they are refused (the text is then empty).
[[gnu::noinline]] size_t format_non_finite(double value, bool allowNonFinite, char* out) noexcept {
    if (!allowNonFinite) {
        *out = '\0';
        return 0;
    }
    if (std::isnan(value)) return write_word(out, "NaN", 3);  // no sign, whatever its sign bit
    return value < 0 ? write_word(out, "-Infinity", 9) : write_word(out, "Infinity", 8);
}

}  // namespace

size_t format_double(double value, bool allowNonFinite, char* out) noexcept {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    if (((bits >> 52) & 0x7FF) == 0x7FF) return format_non_finite(value, allowNonFinite, out);

    char* p = out;
    if (bits >> 63) *p++ = '-';
    if ((bits << 1) == 0) {  // zero has no shortest digits to find; "-0.0" keeps its sign
        memcpy(p, "0.0", 4);
        return size_t(p + 3 - out);
    }

    // The shortest digits that read back as `value`, the one nearest to it
    // when several are that short (ties to an even last digit), trailing
    // zeros removed: value = significand * 10^exponent.
    const auto decimal = jkj::dragonbox::to_decimal(value, jkj::dragonbox::policy::sign::ignore);
    const int count = decimal_digits(decimal.significand);  // at most 17
    // The digits with the decimal point `point` places after the first one
    // (before it when negative): value = 0.<digits> * 10^point.
    const int point = count + decimal.exponent;
    const int exponent = point - 1;  // of the first digit

    // The digits are written once, into `digits` ending at `last`, and laid
    // out with copies of a fixed size, 16 or 17 bytes, whatever the count:
    // no copy of a variable length.  What the copies take past the digits
    // is overwritten or left after the text; the text and the copies stay
    // within kDoubleTextRoom (at most 1 + 16 + 1 + 16 bytes).
    char digits[48];
    char* const last = digits + 24;
    write_significand(last, decimal.significand, count);
    const char* const first = last - count;
    if (exponent >= kPlainLowestExponent && exponent <= kPlainHighestExponent) {
        if (point <= 0) {  // 0.0001 up to 0.999...: zeros after the point, then the digits
            memcpy(p, "0.000000", 8);
            p += 2 - point;
            memcpy(p, first, 17);
            p += count;
        } else if (point < count) {  // 1.5, 12345.678: the point among the digits
            memcpy(p, first, 16);
            p[point] = '.';
            memcpy(p + point + 1, first + point, 16);
            p += count + 1;
        } else {  // integral: zeros up to the point, then ".0"
            memcpy(p, first, 16);
            if (point > count) memset(p + count, '0', 16);  // then count <= 15
            p += point;
            memcpy(p, ".0", 2);
            p += 2;
        }
    } else {  // 1e+16, 1.5e-5, 5e-324: one digit before the point, no padding
        p[0] = first[0];
        if (count > 1) {
            p[1] = '.';
            memcpy(p + 2, first + 1, 16);
            p += count + 1;
        } else {
            p += 1;
        }
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        unsigned magnitude = unsigned(exponent < 0 ? -exponent : exponent);  // at most 324
        if (magnitude >= 100) {
            *p++ = char('0' + magnitude / 100);
            magnitude %= 100;
            memcpy(p, kDigitPairs.data() + 2 * magnitude, 2);
            p += 2;
        } else if (magnitude >= 10) {
            memcpy(p, kDigitPairs.data() + 2 * magnitude, 2);
            p += 2;
        } else {
            *p++ = char('0' + magnitude);
        }
    }
    *p = '\0';
    return size_t(p - out);
}

// fast_float reads an optional '-', digits with an optional fraction (at
// least one digit in all), and an exponent only when a digit follows its
// marker and sign: "1e" and "1e+" end before the 'e', "1." and "-.5" are
// numbers.  It reads no '+' sign.  It also reads the words "nan" and "inf"
// in any case; the decoder never hands them over (it reads NaN and Infinity
// itself and calls here only for text that starts with a digit or '-' and
// a digit or '.'), and such a match is refused below, off the common path.
// More than 19 significant digits take fast_float's exact big-integer
// path; exponents saturate far past the double range, which is enough for
// the "0.<digits>e<exponent>" form of very long numbers.
double parse_double(const char* text, size_t length, size_t* used) noexcept {
    double value = 0.0;
    const fast_float::from_chars_result result = fast_float::from_chars(text, text + length, value);
    // Past the range of a double, newer releases report result_out_of_range
    // with the infinity or zero (and the extent) still set.
    if (result.ec == std::errc::invalid_argument) {
        *used = 0;
        return 0.0;
    }
    if (!std::isfinite(value)) {
        const unsigned char first = static_cast<unsigned char>(text[*text == '-']);
        if (first != '.' && unsigned(first) - '0' >= 10) {  // "nan", "inf", "infinity"
            *used = 0;
            return 0.0;
        }
    }
    *used = size_t(result.ptr - text);
    return value;
}

// The steps fast_float takes after reading a text, from its decimal form on:
// Clinger's exact fast path where the mantissa and the power of ten are
// both exact doubles and the FPU rounds to nearest, otherwise the
// Eisel-Lemire algorithm, which is exact whenever it reports a power
// (am.power2 >= 0).  Only for more than 19 significant digits, or when
// Eisel-Lemire cannot decide, does fast_float go on to the digits
// themselves: that is the `false` here.
bool decimal_to_double(uint64_t mantissa, int64_t exponent, bool negative, double* value) noexcept {
    using Format = fast_float::binary_format<double>;
    if (Format::min_exponent_fast_path() <= exponent && exponent <= Format::max_exponent_fast_path() &&
        mantissa <= Format::max_mantissa_fast_path() && fast_float::detail::rounds_to_nearest()) {
        double v = double(mantissa);
        v = exponent < 0 ? v / Format::exact_power_of_ten(-exponent) : v * Format::exact_power_of_ten(exponent);
        *value = negative ? -v : v;
        return true;
    }
    const fast_float::adjusted_mantissa am = fast_float::compute_float<Format>(exponent, mantissa);
    if (am.power2 < 0) return false;
    fast_float::to_float(negative, am, *value);
    return true;
}

}  // namespace numconv
