// Holds numconv (dragonbox and fast_float behind quelt's own layout) to the
// double-conversion library configured as the door used it: the same text
// byte for byte from format_double, the same value bit for bit and the same
// byte count from parse_double, on millions of generated inputs and on every
// number of the JSON files named on the command line.  Every formatted text
// must also read back as the value it came from.
//
//   numconv_oracle [--seed N] [--scale F] [FILE.json ...]
//
// --scale multiplies the generated counts (1 by default, which runs in a
// few seconds at -O2).  Exits 1 after printing the first mismatches.
#include "numconv/numconv.h"
#include "tests/native/numconv_reference.h"

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

namespace ref = numconv_reference;
using ref::bits_of;

double from_bits(uint64_t bits) {
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

std::string printable(const char* text, size_t length) {
    std::string out;
    const size_t shown = length > 120 ? 120 : length;
    for (size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    if (shown < length) out += "... (" + std::to_string(length) + " bytes)";
    return out;
}

// Counts what each input class covered and keeps the first mismatches.
class Oracle {
public:
    static constexpr int kShown = 10;

    void begin(const char* name) {
        name_ = name;
        formatted_ = parsed_ = 0;
        mismatchesBefore_ = mismatches_;
        start_ = std::clock();
    }

    void end() {
        const double seconds = double(std::clock() - start_) / CLOCKS_PER_SEC;
        const uint64_t failed = mismatches_ - mismatchesBefore_;
        printf("%-28s %12" PRIu64 " formatted %12" PRIu64 " parsed %7.2f s  %s\n", name_, formatted_,
               parsed_, seconds, failed ? "MISMATCH" : "ok");
        fflush(stdout);
        ++(failed ? classesFailed_ : classesPassed_);
    }

    // format_double against the reference, and its text read back.
    void format(double value, bool allowNonFinite) {
        ++formatted_;
        char want[ref::kTextRoom];
        char got[numconv::kDoubleTextRoom];
        const size_t wantLength = ref::format_double(value, allowNonFinite, want);
        const size_t gotLength = numconv::format_double(value, allowNonFinite, got);
        if (gotLength != wantLength || memcmp(got, want, wantLength + 1) != 0) {
            char what[200];
            snprintf(what, sizeof what, "format %016" PRIx64 " (allowNonFinite %d): want \"%s\" (%zu), got \"%s\" (%zu)",
                     bits_of(value), int(allowNonFinite), want, wantLength,
                     printable(got, gotLength < sizeof got ? gotLength : 0).c_str(), gotLength);
            mismatch(what);
            return;
        }
        // "NaN" and "Infinity" are the decoder's to read, not the door's.
        if (gotLength == 0 || !std::isfinite(value)) return;
        size_t used = 0;
        const double back = numconv::parse_double(got, gotLength, &used);
        if (bits_of(back) != bits_of(value) || used != gotLength) {
            char what[200];
            snprintf(what, sizeof what, "read back %016" PRIx64 " from \"%s\": got %016" PRIx64 ", %zu bytes",
                     bits_of(value), got, bits_of(back), used);
            mismatch(what);
        }
    }

    // parse_double against the reference; returns the value read.
    double parse(const char* text, size_t length) {
        ++parsed_;
        size_t wantUsed = 0, gotUsed = 0;
        const double want = ref::parse_double(text, length, &wantUsed);
        const double got = numconv::parse_double(text, length, &gotUsed);
        if (bits_of(got) != bits_of(want) || gotUsed != wantUsed) {
            char what[120];
            snprintf(what, sizeof what, ": want %016" PRIx64 " (%zu bytes), got %016" PRIx64 " (%zu bytes)",
                     bits_of(want), wantUsed, bits_of(got), gotUsed);
            mismatch("parse \"" + printable(text, length) + "\"" + what);
        }
        return got;
    }
    double parse(const std::string& text) { return parse(text.data(), text.size()); }

    // decimal_to_double against the reference reading the same number as
    // the text "<mantissa>e<exponent>".  Where it declines, the decoder
    // hands the text to parse_double, which the other classes cover.
    void decimal(uint64_t mantissa, int64_t exponent, bool negative) {
        ++parsed_;
        std::string text = negative ? "-" : "";
        text += std::to_string(mantissa);
        text += 'e';
        text += std::to_string(exponent);
        size_t used = 0;
        const double want = ref::parse_double(text.data(), text.size(), &used);
        double got = 0.0;
        if (!numconv::decimal_to_double(mantissa, exponent, negative, &got)) {
            ++declined_;
            return;
        }
        if (bits_of(got) != bits_of(want)) {
            char what[80];
            snprintf(what, sizeof what, ": want %016" PRIx64 ", got %016" PRIx64, bits_of(want), bits_of(got));
            mismatch("decimal " + text + what);
        }
    }
    uint64_t declined() const { return declined_; }

    // A value the text must give on its own terms (a halfway case rounds to
    // even), besides agreeing with the reference.
    void expect(const std::string& text, double expected) {
        const double got = parse(text);
        if (bits_of(got) != bits_of(expected)) {
            char what[80];
            snprintf(what, sizeof what, ": want %016" PRIx64 ", got %016" PRIx64, bits_of(expected), bits_of(got));
            mismatch("rounding of \"" + printable(text.data(), text.size()) + "\"" + what);
        }
    }

    // Text outside the door's grammar: no number, whatever the reference
    // (which reads '+' and its symbols) makes of it.
    void refuse(const std::string& text) {
        ++parsed_;
        size_t used = 99;
        const double got = numconv::parse_double(text.data(), text.size(), &used);
        if (used != 0 || bits_of(got) != 0)
            mismatch("no number expected in \"" + printable(text.data(), text.size()) + "\", got " +
                     std::to_string(used) + " bytes");
    }

    int finish() const {
        printf("numconv oracle: %d passed, %d failed\n", classesPassed_, classesFailed_);
        if (mismatches_ > kShown) printf("(%" PRIu64 " mismatches in all, the first %d shown)\n", mismatches_, kShown);
        return mismatches_ ? 1 : 0;
    }

private:
    void mismatch(const std::string& what) {
        if (++mismatches_ <= uint64_t(kShown)) fprintf(stderr, "MISMATCH [%s] %s\n", name_, what.c_str());
    }

    const char* name_ = "";
    uint64_t formatted_ = 0, parsed_ = 0, mismatches_ = 0, mismatchesBefore_ = 0, declined_ = 0;
    int classesPassed_ = 0, classesFailed_ = 0;
    std::clock_t start_ = 0;  // processor time: the machine may be shared
};

// Both signs of a value, alternating the flag that only non-finite values
// heed, so that its finite path is covered both ways.
void format_both_signs(Oracle& oracle, double value, uint64_t index) {
    oracle.format(value, index & 1);
    oracle.format(-value, !(index & 1));
}

void append_int(std::string& out, int64_t value) {
    char digits[24];
    char* p = digits + sizeof digits;
    uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    do {
        *--p = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) *--p = '-';
    out.append(p, size_t(digits + sizeof digits - p));
}

// ---- input classes ------------------------------------------------------------

void specials(Oracle& oracle) {
    oracle.begin("specials");
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {0.0,
                             inf,
                             std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::signaling_NaN(),
                             from_bits(0x7FF0000000000001ULL),
                             from_bits(0x7FF8000000000001ULL),
                             from_bits(0x7FFFFFFFFFFFFFFFULL),
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::denorm_min(),
                             from_bits(0x000FFFFFFFFFFFFFULL),
                             std::numeric_limits<double>::epsilon(),
                             1.0,
                             0.1,
                             0.0001,
                             0.00001,
                             1e15,
                             1e16,
                             999999999999999.9,
                             9999999999999998.0,
                             123456789012345.0,
                             1234567890123456.8,
                             0.30000000000000004,
                             5e-324,
                             2.2250738585072014e-308,
                             1.7976931348623157e308};
    for (double value : values)
        for (int allow = 0; allow < 2; ++allow) {
            oracle.format(value, allow);
            oracle.format(-value, allow);
        }
    oracle.end();
}

void powers_of_two(Oracle& oracle) {
    oracle.begin("powers of two, +-3 ulp");
    uint64_t index = 0;
    for (int e = -1074; e <= 1023; ++e) {
        const uint64_t bits = bits_of(std::ldexp(1.0, e));
        for (int step = -3; step <= 3; ++step) {
            const uint64_t near = bits + uint64_t(int64_t(step));
            if (near == 0 || near >= 0x7FF0000000000000ULL) continue;
            format_both_signs(oracle, from_bits(near), index++);
        }
    }
    oracle.end();
}

void powers_of_ten(Oracle& oracle) {
    oracle.begin("powers of ten, +-3 ulp");
    uint64_t index = 0;
    for (int k = -330; k <= 315; ++k) {
        std::string text = "1e";
        append_int(text, k);
        const double value = oracle.parse(text);
        oracle.parse("-" + text);
        oracle.parse("0." + std::string(size_t(k < 0 ? -k - 1 : 0), '0') + "1");
        if (value == 0 || std::isinf(value)) continue;
        const uint64_t bits = bits_of(value);
        for (int step = -3; step <= 3; ++step) {
            const uint64_t near = bits + uint64_t(int64_t(step));
            if (near == 0 || near >= 0x7FF0000000000000ULL) continue;
            format_both_signs(oracle, from_bits(near), index++);
        }
    }
    oracle.end();
}

void subnormals(Oracle& oracle, std::mt19937_64& rng, uint64_t count) {
    oracle.begin("subnormals");
    const uint64_t edge = count / 6;  // the smallest ones, and those just below the normals
    for (uint64_t i = 1; i <= edge; ++i) oracle.format(from_bits(i), i & 1);
    for (uint64_t i = 0; i < edge; ++i) oracle.format(-from_bits(0x000FFFFFFFFFFFFFULL - i), i & 1);
    for (uint64_t i = 2 * edge; i < count; ++i) {
        const uint64_t bits = rng() & 0x800FFFFFFFFFFFFFULL;
        if ((bits << 1) != 0) oracle.format(from_bits(bits), i & 1);
    }
    oracle.end();
}

void random_bits(Oracle& oracle, std::mt19937_64& rng, uint64_t count) {
    oracle.begin("random bit patterns");
    for (uint64_t i = 0; i < count; ++i) oracle.format(from_bits(rng()), i & 1);
    oracle.end();
}

// Texts of up to 7 significant digits, as most JSON numbers are: each is
// read by both, and the double it gives formatted by both.
void short_decimals(Oracle& oracle, std::mt19937_64& rng, uint64_t count) {
    oracle.begin("short decimals");
    std::string text;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t r = rng();
        static constexpr uint64_t kLimits[] = {10, 100, 1000, 10000, 100000, 1000000, 10000000};
        const uint64_t digits = (r >> 8) % kLimits[r % 7];
        // Mostly near 1, an eighth of them over the whole range of doubles.
        const int exponent = ((r >> 3) & 7) == 0 ? int((r >> 40) % 650) - 335 : int((r >> 40) % 31) - 15;
        text.clear();
        if (r & (1ULL << 63)) text += '-';
        append_int(text, int64_t(digits));
        if (r & (1ULL << 62)) {  // "123e-5" or "0.00123"
            text += 'e';
            append_int(text, exponent);
        } else if (exponent < 0 && exponent > -20) {
            const size_t at = text.size() - (text[0] == '-' ? 1 : 0);
            const size_t shift = size_t(-exponent);
            if (shift >= at) text.insert(text[0] == '-' ? 1 : 0, shift - at + 1, '0');
            text.insert(text.size() - shift, 1, '.');
        } else if (exponent >= 0 && exponent < 20) {
            text.append(size_t(exponent), '0');
            if (r & (1ULL << 61)) text += ".0";
        }
        const double value = oracle.parse(text);
        oracle.format(value, i & 1);
    }
    oracle.end();
}

// Number texts of 1 to 25 digits with fractions and exponents, leading
// zeros, runs of 9s and 0s, and what may follow a number: a dangling 'e',
// 'e+', '.', or other bytes.
void random_texts(Oracle& oracle, std::mt19937_64& rng, uint64_t count) {
    oracle.begin("number texts, 1-25 digits");
    std::string text;
    auto below = [&rng](uint64_t n) { return rng() % n; };
    for (uint64_t i = 0; i < count; ++i) {
        text.clear();
        if (below(2)) text += '-';
        const size_t total = 1 + below(25);
        const size_t before = below(4) == 0 ? 0 : below(total + 1);
        const int style = int(below(8));  // 0: 9s, 1: mostly 0s, else random digits
        auto digit = [&]() -> char {
            if (style == 0) return below(16) ? '9' : char('0' + below(10));
            if (style == 1) return below(8) ? '0' : char('0' + below(10));
            return char('0' + below(10));
        };
        for (size_t d = 0; d < before; ++d) text += (d == 0 && before > 1 && below(4)) ? char('1' + below(9)) : digit();
        if (before < total || below(8) == 0) {
            text += '.';
            for (size_t d = before; d < total; ++d) text += digit();
        }
        if (below(2)) {
            text += below(4) ? 'e' : 'E';
            const uint64_t sign = below(3);
            if (sign == 1) text += '+';
            if (sign == 2) text += '-';
            const uint64_t size = below(16);
            if (size < 12) {
                append_int(text, int64_t(below(size < 8 ? 40 : 400)));
            } else if (size < 15) {
                text.append(below(20), '0');
                append_int(text, int64_t(below(1000)));
            } else {  // far past any double
                for (uint64_t d = 1 + below(25); d > 0; --d) text += char('0' + below(10));
            }
        }
        switch (below(10)) {
            case 0: text += 'e'; break;
            case 1: text += below(2) ? "e+" : "E-"; break;
            case 2: text += '.'; break;
            case 3: text += char(below(128)); break;
            default: break;
        }
        oracle.parse(text);
    }
    oracle.end();
}

// Decimal forms as the decoder gathers them from a number text: a mantissa
// of 1 to 19 digits (random, runs of 9s, around 2^53 where the exact fast
// path ends) and a power of ten, mostly near zero, an eighth of them over
// the whole range of doubles and past it.
void decimal_forms(Oracle& oracle, std::mt19937_64& rng, uint64_t count) {
    oracle.begin("decimal forms, 1-19 digits");
    auto below = [&rng](uint64_t n) { return rng() % n; };
    static constexpr uint64_t kTwo53 = uint64_t(1) << 53;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t mantissa = 0;
        switch (below(8)) {
        case 0:  // near 2^53
            mantissa = kTwo53 - 4 + below(9);
            break;
        case 1: {  // 9s
            const uint64_t digits = 1 + below(19);
            for (uint64_t d = 0; d < digits; ++d) mantissa = 10 * mantissa + 9;
            break;
        }
        default: {
            const uint64_t digits = 1 + below(19);
            for (uint64_t d = 0; d < digits; ++d) mantissa = 10 * mantissa + below(10);
            break;
        }
        }
        const int64_t exponent = below(8) == 0 ? int64_t(below(800)) - 400 : int64_t(below(61)) - 30;
        oracle.decimal(mantissa, exponent, below(2) == 0);
    }
    oracle.end();
}

// ---- exact halfway cases --------------------------------------------------------

// A decimal integer in base 10^9 limbs, lowest first: exact enough for
// (2m+1) * 2^e and (2m+1) * 5^e over the whole double range.
class Decimal {
public:
    explicit Decimal(uint64_t value) {
        do {
            limbs_.push_back(uint32_t(value % kBase));
            value /= kBase;
        } while (value);
    }

    void multiply(uint32_t factor) {
        uint64_t carry = 0;
        for (uint32_t& limb : limbs_) {
            const uint64_t product = uint64_t(limb) * factor + carry;
            limb = uint32_t(product % kBase);
            carry = product / kBase;
        }
        while (carry) {
            limbs_.push_back(uint32_t(carry % kBase));
            carry /= kBase;
        }
    }

    void multiply_by_power(uint32_t base, int power) {
        // Powers that fit 32 bits with the limb below 2^64: 2^29, 5^13.
        const int chunk = base == 2 ? 29 : 13;
        const uint32_t big = base == 2 ? (1U << 29) : 1220703125U;
        for (; power >= chunk; power -= chunk) multiply(big);
        uint32_t rest = 1;
        for (; power > 0; --power) rest *= base;
        multiply(rest);
    }

    std::string text() const {
        std::string out = std::to_string(limbs_.back());
        char limb[16];
        for (size_t i = limbs_.size() - 1; i-- > 0;) {
            snprintf(limb, sizeof limb, "%09u", limbs_[i]);
            out += limb;
        }
        return out;
    }

private:
    static constexpr uint32_t kBase = 1000000000;
    std::vector<uint32_t> limbs_;
};

// digits * 10^exponent as "<digits>e<exponent>", "d.ddde<exponent>" or
// "0.<digits>e<exponent>" (the form the decoder hands over for very long
// numbers), chosen by `form`.
std::string number_text(bool negative, const std::string& digits, int64_t exponent, int form) {
    std::string text = negative ? "-" : "";
    const int64_t count = int64_t(digits.size());
    if (form == 0) {
        text += digits;
        text += 'e';
        append_int(text, exponent);
    } else if (form == 1) {
        text += digits[0];
        text += '.';
        text.append(digits, 1, std::string::npos);
        text += 'e';
        append_int(text, exponent + count - 1);
    } else {
        text += "0.";
        text += digits;
        text += 'e';
        append_int(text, exponent + count);
    }
    return text;
}

// The decimal halfway between two neighbouring doubles, exactly, and just
// above and just below it: the exact one rounds to the neighbour with the
// even significand, the others to the nearer neighbour.  Half of them are
// spread over the whole range (hundreds of digits), half near 1.
void halfway_cases(Oracle& oracle, std::mt19937_64& rng, uint64_t count) {
    oracle.begin("exact halfway cases");
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t bits;
        if (i & 1) {
            bits = 1 + rng() % 0x7FEFFFFFFFFFFFFEULL;  // below the largest double
        } else {
            const uint64_t biased = 1023 - 70 + rng() % 150;
            bits = (biased << 52) | (rng() & 0x000FFFFFFFFFFFFFULL);
        }
        const uint64_t biasedExponent = bits >> 52;
        const uint64_t significand =
            biasedExponent ? (bits & 0x000FFFFFFFFFFFFFULL) | (1ULL << 52) : bits & 0x000FFFFFFFFFFFFFULL;
        const int binaryExponent = biasedExponent ? int(biasedExponent) - 1075 : -1074;
        // Halfway: (2 * significand + 1) * 2^(binaryExponent - 1).
        Decimal halfway(2 * significand + 1);
        const int power = binaryExponent - 1;
        int64_t decimalExponent = 0;
        if (power >= 0) {
            halfway.multiply_by_power(2, power);
        } else {
            halfway.multiply_by_power(5, -power);
            decimalExponent = power;
        }
        const std::string digits = halfway.text();
        std::string below = digits;  // digits - 1, then a 9 after them
        size_t at = below.size();
        while (below[--at] == '0') below[at] = '9';
        --below[at];
        if (below[0] == '0' && below.size() > 1) below.erase(0, 1);
        below += '9';

        const bool negative = rng() & 1;
        const int form = int(rng() % 3);
        const double low = from_bits(bits), high = from_bits(bits + 1);
        const double even = (bits & 1) ? high : low;
        auto sign = [negative](double v) { return negative ? -v : v; };
        oracle.expect(number_text(negative, digits, decimalExponent, form), sign(even));
        oracle.expect(number_text(negative, digits + "1", decimalExponent - 1, form), sign(high));
        oracle.expect(number_text(negative, below, decimalExponent - 1, form), sign(low));
    }
    oracle.end();
}

// "0.<digits>e<exponent>" as the decoder writes a number text too long to
// hand over as it is: up to 800 significant digits and a final '1' for
// dropped ones, and exponents up to a billion either way.
void long_number_forms(Oracle& oracle, std::mt19937_64& rng, uint64_t count) {
    oracle.begin("long-number forms");
    std::string text;
    auto below = [&rng](uint64_t n) { return rng() % n; };
    for (uint64_t i = 0; i < count; ++i) {
        text.clear();
        if (below(2)) text += '-';
        text += "0.";
        const uint64_t shape = below(10);
        const size_t length = shape < 6 ? 1 + below(40) : shape < 9 ? 1 + below(800) : 801;
        text += char('1' + below(9));
        const bool nines = below(4) == 0;
        for (size_t d = 1; d < length; ++d) text += nines && below(32) ? '9' : char('0' + below(10));
        if (length == 801) text.back() = '1';
        text += 'e';
        const uint64_t range = below(10);
        int64_t exponent;
        if (range < 7) {
            exponent = int64_t(below(20)) + (below(2) ? 300 : -335);  // near the ends of the range
        } else if (range < 8) {
            exponent = int64_t(below(700)) - 350;
        } else {
            exponent = int64_t(below(1000000000) + 1);
            if (below(2)) exponent = -exponent;
        }
        if (below(8) == 0) exponent = below(2) ? 1000000000 : -1000000000;
        append_int(text, exponent);
        oracle.parse(text);
    }
    oracle.end();
}

// The forms at the edges of the grammar, one by one.
void grammar_forms(Oracle& oracle) {
    oracle.begin("grammar forms");
    static const char* const kTexts[] = {
        "0", "-0", "00", "-00", "0.", "-0.", "0.0", "-0.0", "1.", "-1.", "1.e5", "-1.e5", "1.E-5", ".5", "-.5",
        ".5e1", "-.5e-1", "01.5", "-01.5", "0001", "0.000", "1e", "1e+", "1e-", "1E", "-1e", "1.5e", "1.5e+",
        "1e5", "1E5", "1e+05", "1e-05", "1e0005", "1x", "1.5.5", "1..5", "1e5.5", "1e5e5", "1.5x", "-", ".",
        "-.", "-.e5", ".e5", "", "-e5", "0x10", "1_0", "1 0", "1e+-5", "1e-+5", "123456789012345678901234567890",
        "0.1e-999999999999", "1e99999999999999999999", "-1e-400", "1e309", "-1e309", "4.9406564584124654e-324",
        "2.4703282292062327e-324", "2.4703282292062328e-324", "1.7976931348623157e308",
        "1.7976931348623158e308", "1.7976931348623159e308", "9007199254740993", "9007199254740992.5",
        "0.30000000000000004", "2.2250738585072011e-308", "2.2250738585072012e-308",
    };
    for (const char* text : kTexts) oracle.parse(text, strlen(text));
    // Outside the door's grammar: no number, although the reference reads
    // a '+' sign and its NaN and Infinity symbols.
    static const char* const kRefused[] = {"+1", "+.5", "Infinity", "-Infinity", "NaN", "-NaN", "inf",
                                           "-inf", "nan", "nan(1)", "infinity", "INF", " 1", "e5", "-+1"};
    for (const char* text : kRefused) oracle.refuse(text);
    oracle.end();
}

// Every number in a JSON document, read by both and its value formatted by
// both.
bool json_numbers(Oracle& oracle, const char* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        fprintf(stderr, "numconv_oracle: cannot read %s\n", path);
        return false;
    }
    const std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const char* slash = strrchr(path, '/');
    static std::string name;
    name = std::string("numbers of ") + (slash ? slash + 1 : path);
    oracle.begin(name.c_str());
    bool inString = false;
    for (size_t i = 0; i < data.size();) {
        const char c = data[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            ++i;
            continue;
        }
        if (c == '"') {
            inString = true;
            ++i;
            continue;
        }
        if (c != '-' && (c < '0' || c > '9')) {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < data.size() && strchr("0123456789.eE+-", data[end]) && data[end] != '\0') ++end;
        const double value = oracle.parse(data.data() + i, end - i);
        oracle.format(value, true);
        i = end;
    }
    oracle.end();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seed = 20261210;
    double scale = 1.0;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--seed") && i + 1 < argc) {
            seed = strtoull(argv[++i], nullptr, 10);
        } else if (!strcmp(argv[i], "--scale") && i + 1 < argc) {
            scale = strtod(argv[++i], nullptr);
        } else if (argv[i][0] == '-') {
            fprintf(stderr, "usage: %s [--seed N] [--scale F] [FILE.json ...]\n", argv[0]);
            return 2;
        } else {
            files.push_back(argv[i]);
        }
    }
    auto scaled = [scale](double count) { return uint64_t(count * scale); };
    printf("numconv oracle: seed %" PRIu64 ", scale %g\n", seed, scale);
    std::mt19937_64 rng(seed);
    Oracle oracle;
    const std::clock_t start = std::clock();
    specials(oracle);
    powers_of_two(oracle);
    powers_of_ten(oracle);
    grammar_forms(oracle);
    subnormals(oracle, rng, scaled(3e6));
    random_bits(oracle, rng, scaled(1e7));
    short_decimals(oracle, rng, scaled(1e7));
    random_texts(oracle, rng, scaled(1e7));
    decimal_forms(oracle, rng, scaled(3e6));
    halfway_cases(oracle, rng, scaled(1e5));
    long_number_forms(oracle, rng, scaled(2e5));
    bool filesRead = true;
    for (const char* path : files) filesRead = json_numbers(oracle, path) && filesRead;
    printf("numconv oracle: %.1f s of processor time in all\n", double(std::clock() - start) / CLOCKS_PER_SEC);
    printf("numconv oracle: decimal_to_double declined %" PRIu64 " decimal forms (read from their text instead)\n",
           oracle.declined());
    const int status = oracle.finish();
    return filesRead ? status : 1;
}
