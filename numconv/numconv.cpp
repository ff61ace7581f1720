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

// "00" to "99": two digits per division.
struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text() {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = char('0' + i / 10);
            text[2 * i + 1] = char('0' + i % 10);
        }
    }
};
constexpr DigitPairs kPairs;

constexpr uint64_t kPowersOfTen[20] = {1ULL,
                                       10ULL,
                                       100ULL,
                                       1000ULL,
                                       10000ULL,
                                       100000ULL,
                                       1000000ULL,
                                       10000000ULL,
                                       100000000ULL,
                                       1000000000ULL,
                                       10000000000ULL,
                                       100000000000ULL,
                                       1000000000000ULL,
                                       10000000000000ULL,
                                       100000000000000ULL,
                                       1000000000000000ULL,
                                       10000000000000000ULL,
                                       100000000000000000ULL,
                                       1000000000000000000ULL,
                                       10000000000000000000ULL};

// Number of decimal digits of `value` (at least 1): the bit length gives
// the count or one more, and one comparison decides.
inline int decimal_length(uint64_t value) noexcept {
    const int guess = ((64 - __builtin_clzll(value | 1)) * 1233) >> 12;  // 1233 / 4096 ~ log10(2)
    return guess + 1 - (value < kPowersOfTen[guess]);
}

// Writes the decimal digits of `value` so that they end just before `end`:
// at least `width` of them, with leading zeros.  Four digits per step (one
// 64-bit division), then two at a time.
inline void write_digits_before(uint64_t value, char* end, int width = 1) noexcept {
    while (value >= 10000 || width > 4) {
        const uint64_t rest = value / 10000;
        const uint32_t four = uint32_t(value - 10000 * rest);
        const uint32_t high = four / 100;
        memcpy(end - 4, kPairs.text + 2 * high, 2);
        memcpy(end - 2, kPairs.text + 2 * (four - 100 * high), 2);
        end -= 4;
        width -= 4;
        value = rest;
    }
    uint32_t small = uint32_t(value);  // below 10000
    if (small >= 100 || width > 2) {
        const uint32_t high = small / 100;
        memcpy(end - 2, kPairs.text + 2 * (small - 100 * high), 2);
        end -= 2;
        width -= 2;
        small = high;
    }
    if (small >= 10 || width == 2) {
        memcpy(end - 2, kPairs.text + 2 * small, 2);
    } else {
        end[-1] = char('0' + small);
    }
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
    const int count = decimal_length(decimal.significand);  // at most 17
    // The digits with the decimal point `point` places after the first one
    // (before it when negative): value = 0.<digits> * 10^point.
    const int point = count + decimal.exponent;
    const int exponent = point - 1;  // of the first digit

    // The digits go straight to their place, without a copy of a variable
    // length.  Fixed-size writes may pass the end of the text; they stay
    // within kDoubleTextRoom (at most 1 + 15 + 16 bytes).
    if (exponent >= kPlainLowestExponent && exponent <= kPlainHighestExponent) {
        if (point <= 0) {  // 0.0001 up to 0.999...: zeros after the point, then the digits
            memcpy(p, "0.000000", 8);
            p += 2 - point;
            p += count;
            write_digits_before(decimal.significand, p);
        } else if (point < count) {  // 1.5, 12345.678: the digits split numerically at the point
            const int fractionDigits = count - point;
            const uint64_t scale = kPowersOfTen[fractionDigits];
            const uint64_t whole = decimal.significand / scale;
            write_digits_before(whole, p + point);
            p[point] = '.';
            p += count + 1;
            write_digits_before(decimal.significand - whole * scale, p, fractionDigits);
        } else {  // integral: zeros up to the point, then ".0"
            write_digits_before(decimal.significand, p + count);
            if (point > count) memset(p + count, '0', 16);  // then count <= 15
            p += point;
            memcpy(p, ".0", 2);
            p += 2;
        }
    } else {  // 1e+16, 1.5e-5, 5e-324: one digit before the point, no padding
        write_digits_before(decimal.significand, p + 1 + count);
        p[0] = p[1];
        if (count > 1) {
            p[1] = '.';
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
            memcpy(p, kPairs.text + 2 * magnitude, 2);
            p += 2;
        } else if (magnitude >= 10) {
            memcpy(p, kPairs.text + 2 * magnitude, 2);
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
