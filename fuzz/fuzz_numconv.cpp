// libFuzzer target for the number door, without Python.  Each input is used
// twice: its first 8 bytes as the bits of a double, formatted by numconv and
// by double-conversion configured as the door once used it (the same text,
// byte for byte); and the whole input as number text, read by both (the same
// value, bit for bit, and the same byte count), the value read then
// formatted the same way.  Text outside the door's grammar must give no
// number.  The first 10 bytes are also a decimal form, a mantissa and a
// power of ten, converted by numconv::decimal_to_double and by the reference
// from its text.  A difference aborts, and libFuzzer keeps the input.
#include "numconv/numconv.h"
#include "tests/native/numconv_reference.h"

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

namespace ref = numconv_reference;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_numconv: %s\n", what);
    fflush(stderr);
    abort();
}

void check_format(double value, bool allowNonFinite) {
    char want[ref::kTextRoom];
    char got[numconv::kDoubleTextRoom];
    const size_t wantLength = ref::format_double(value, allowNonFinite, want);
    const size_t gotLength = numconv::format_double(value, allowNonFinite, got);
    if (gotLength != wantLength || memcmp(got, want, wantLength + 1) != 0) {
        fprintf(stderr, "format %016" PRIx64 ": want \"%s\" (%zu bytes), got %zu bytes\n", ref::bits_of(value), want,
                wantLength, gotLength);
        fail("formatted text differs");
    }
    if (gotLength == 0 || !std::isfinite(value)) return;
    size_t used = 0;
    const double back = numconv::parse_double(got, gotLength, &used);
    if (ref::bits_of(back) != ref::bits_of(value) || used != gotLength) {
        fprintf(stderr, "\"%s\" reads back as %016" PRIx64 " (%zu bytes), not %016" PRIx64 "\n", got,
                ref::bits_of(back), used, ref::bits_of(value));
        fail("formatted text does not read back");
    }
}

void check_parse(const char* text, size_t length) {
    size_t gotUsed = 99;
    const double got = numconv::parse_double(text, length, &gotUsed);
    if (!ref::in_number_grammar(text, length)) {
        if (gotUsed != 0 || ref::bits_of(got) != 0) fail("a number read from text outside the grammar");
        return;
    }
    size_t wantUsed = 0;
    const double want = ref::parse_double(text, length, &wantUsed);
    if (ref::bits_of(got) != ref::bits_of(want) || gotUsed != wantUsed) {
        fprintf(stderr, "parse: want %016" PRIx64 " (%zu bytes), got %016" PRIx64 " (%zu bytes)\n",
                ref::bits_of(want), wantUsed, ref::bits_of(got), gotUsed);
        fail("parsed value or extent differs");
    }
    check_format(got, true);
}

// The decimal form the decoder gathers, mantissa * 10^exponent, against the
// reference reading it as text.
void check_decimal(uint64_t mantissa, int64_t exponent, bool negative) {
    if (mantissa >= 10000000000000000000ULL) mantissa /= 10;  // the decoder's bound: 19 digits
    double got = 0.0;
    if (!numconv::decimal_to_double(mantissa, exponent, negative, &got)) return;  // the text decides
    char text[64];
    const int length = snprintf(text, sizeof text, "%s%" PRIu64 "e%" PRId64, negative ? "-" : "", mantissa, exponent);
    size_t used = 0;
    const double want = ref::parse_double(text, size_t(length), &used);
    if (ref::bits_of(got) != ref::bits_of(want)) {
        fprintf(stderr, "decimal %s: want %016" PRIx64 ", got %016" PRIx64 "\n", text, ref::bits_of(want),
                ref::bits_of(got));
        fail("decimal form converted differently");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 8) {
        double value;
        memcpy(&value, data, sizeof value);
        check_format(value, size & 1);
    }
    if (size >= 10) {
        uint64_t mantissa;
        int16_t exponent;
        memcpy(&mantissa, data, sizeof mantissa);
        memcpy(&exponent, data + 8, sizeof exponent);
        check_decimal(mantissa, exponent % 800, data[0] & 1);
    }
    check_parse(reinterpret_cast<const char*>(data), size);
    return 0;
}
