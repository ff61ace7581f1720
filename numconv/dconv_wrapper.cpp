// Thin wrapper over double-conversion's two converter classes.  No state of
// its own: every converter belongs to one call of the encoder or decoder.
#include "numconv/dconv_wrapper.h"

#include <new>

#include <double-conversion/double-conversion.h>

using double_conversion::DoubleToStringConverter;
using double_conversion::StringBuilder;
using double_conversion::StringToDoubleConverter;

void dconv_d2s_init(void** d2s, int flags, const char* infinity_symbol,
                    const char* nan_symbol, char exponent_character,
                    int decimal_in_shortest_low, int decimal_in_shortest_high,
                    int max_leading_padding_zeroes_in_precision_mode,
                    int max_trailing_padding_zeroes_in_precision_mode) noexcept {
    *d2s = new (std::nothrow) DoubleToStringConverter(
        flags, infinity_symbol, nan_symbol, exponent_character,
        decimal_in_shortest_low, decimal_in_shortest_high,
        max_leading_padding_zeroes_in_precision_mode,
        max_trailing_padding_zeroes_in_precision_mode,
        /*min_exponent_width=*/0);
}

bool dconv_d2s(void* d2s, double value, char* buffer, int buffer_size,
               int* length) noexcept {
    StringBuilder builder(buffer, buffer_size);
    // ToShortest is the public face of shortest-mode IEEE formatting.
    const bool ok = static_cast<DoubleToStringConverter*>(d2s)->ToShortest(value, &builder);
    *length = ok ? builder.position() : -1;
    // The builder's destructor writes the NUL at its write position, which
    // is 0 after a failure (nothing is written for an unsupported special
    // value), so the buffer always ends up holding a terminated text.
    return ok;
}

void dconv_d2s_free(void** d2s) noexcept {
    delete static_cast<DoubleToStringConverter*>(*d2s);
    *d2s = nullptr;
}

void dconv_s2d_init(void** s2d, int flags, double empty_string_value,
                    double junk_string_value, const char* infinity_symbol,
                    const char* nan_symbol) noexcept {
    *s2d = new (std::nothrow) StringToDoubleConverter(
        flags, empty_string_value, junk_string_value, infinity_symbol, nan_symbol);
}

double dconv_s2d(void* s2d, const char* text, int length, int* processed) noexcept {
    return static_cast<StringToDoubleConverter*>(s2d)->StringToDouble(text, length, processed);
}

void dconv_s2d_free(void** s2d) noexcept {
    delete static_cast<StringToDoubleConverter*>(*s2d);
    *s2d = nullptr;
}
