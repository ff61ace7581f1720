// Plain-function door to the double-conversion library.
//
// The codec sources see converters only as untyped handles; this header and
// dconv_wrapper.cpp are the only places that know the library's classes.
// A handle owns one heap-allocated converter.  `*_init` leaves the handle
// null when the converter cannot be allocated; callers test for that before
// converting.  `*_free` tolerates a null handle and always nulls it.
#pragma once

void dconv_d2s_init(void** d2s, int flags, const char* infinity_symbol,
                    const char* nan_symbol, char exponent_character,
                    int decimal_in_shortest_low, int decimal_in_shortest_high,
                    int max_leading_padding_zeroes_in_precision_mode,
                    int max_trailing_padding_zeroes_in_precision_mode) noexcept;

// Shortest round-trip text of `value`, NUL-terminated in `buffer` (which must
// hold at least 25 bytes).  False, with *length -1 and an empty text, when the
// value is NaN or infinite and the converter has no symbol for it.
bool dconv_d2s(void* d2s, double value, char* buffer, int buffer_size,
               int* length) noexcept;

void dconv_d2s_free(void** d2s) noexcept;

void dconv_s2d_init(void** s2d, int flags, double empty_string_value,
                    double junk_string_value, const char* infinity_symbol,
                    const char* nan_symbol) noexcept;

// The double nearest to the longest number prefix of `text`; *processed is
// the byte count of that prefix (0 when there is none).
double dconv_s2d(void* s2d, const char* text, int length,
                 int* processed) noexcept;

void dconv_s2d_free(void** s2d) noexcept;
