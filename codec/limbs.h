// What both codecs' integer paths share: integers beyond 64 bits are
// handled as little-endian arrays of 64-bit limbs, converted to and from
// decimal 19 digits at a time, 10^19 being the largest power of ten below
// 2^64.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "limbs are handed to and from the interpreter as little-endian bytes");

inline constexpr int kLimbDecimalDigits = 19;
inline constexpr uint64_t kLimbDecimalScale = 10000000000000000000ULL;  // 10^19

// Two's complement negation in place: -v = ~v + 1, carried through.
inline void negate_limbs(uint64_t* limbs, size_t count) noexcept {
    bool carry = true;
    for (size_t i = 0; i < count; ++i) {
        limbs[i] = ~limbs[i] + carry;
        carry = carry && limbs[i] == 0;
    }
}
