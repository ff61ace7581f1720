// Decimal digits of unsigned integers, shared by the encoder's integers and
// the layout of a double's shortest digits: tables built at compile time and
// checked there, and writers that need no temporary.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace numconv {

// "00", "01", ... "99": the two digits of each value below 100, so that a
// number is written two digits per division.
constexpr std::array<char, 200> make_digit_pairs() {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = char('0' + i / 10);
        pairs[2 * i + 1] = char('0' + i % 10);
    }
    return pairs;
}
inline constexpr std::array<char, 200> kDigitPairs = make_digit_pairs();
static_assert(kDigitPairs[0] == '0' && kDigitPairs[1] == '0', "00");
static_assert(kDigitPairs[2 * 7] == '0' && kDigitPairs[2 * 7 + 1] == '7', "07");
static_assert(kDigitPairs[2 * 42] == '4' && kDigitPairs[2 * 42 + 1] == '2', "42");
static_assert(kDigitPairs[198] == '9' && kDigitPairs[199] == '9', "99");

// 10^i for i in 0..19, the powers a uint64_t holds.
constexpr std::array<uint64_t, 20> make_powers_of_ten() {
    std::array<uint64_t, 20> powers{};
    uint64_t p = 1;
    for (int i = 0; i < 20; ++i, p *= 10) powers[i] = p;
    return powers;
}
inline constexpr std::array<uint64_t, 20> kPowersOfTen = make_powers_of_ten();
static_assert(kPowersOfTen[19] == 10000000000000000000u, "10^19");

// Number of decimal digits of `value` (1 for 0).  bits * 1233 / 4096 is
// floor(bits * log10(2)), which is the digit count or one less; the table
// decides.  `value | 1` has the same digit count and counts 0 as one digit.
inline int decimal_digits(uint64_t value) noexcept {
    const uint64_t v = value | 1;
    const int bits = 64 - __builtin_clzll(v);
    const int guess = (bits * 1233) >> 12;
    return guess + 1 - (v < kPowersOfTen[guess]);
}

// The digits of `value` ending at `end`, written from the last one
// backwards, two at a time: the caller counts them first, so there is no
// reversal pass.
template <typename Unsigned>
inline void write_digits(char* end, Unsigned value) noexcept {
    while (value >= 100) {
        const unsigned pair = unsigned(value % 100);
        value /= 100;
        end -= 2;
        memcpy(end, &kDigitPairs[2 * pair], 2);
    }
    if (value >= 10) {
        memcpy(end - 2, &kDigitPairs[2 * unsigned(value)], 2);
    } else {
        end[-1] = char('0' + unsigned(value));
    }
}

// The eight decimal digits of `value` (below 10^8), leading zeros included,
// as the bytes of one little-endian word, the first digit lowest: one store
// writes them all.  Each step splits every lane of the word in two at once
// (the 4-digit halves into pairs in 16-bit lanes, the pairs into digits in
// bytes) with a multiply by a reciprocal that is exact over the lane's
// range, and no branch.  Each product stays within its lane.
constexpr uint64_t eight_digits_word(uint32_t value) noexcept {
    const uint64_t halves = (value / 10000) | (uint64_t(value % 10000) << 32);  // 2 lanes < 10^4
    const uint64_t pairHigh = ((halves * 10486) >> 20) & 0x0000007F0000007Fu;    // lane / 100
    const uint64_t pairs = ((halves - 100 * pairHigh) << 16) | pairHigh;         // 4 lanes < 100
    const uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Fu;           // lane / 10
    const uint64_t digits = ((pairs - 10 * tens) << 8) | tens;                   // 8 lanes < 10
    return digits | 0x3030303030303030u;
}
static_assert(9999ULL * 10486 < (1ULL << 32) && 99 * 103 < (1 << 16), "products stay within their lanes");
static_assert(eight_digits_word(0) == 0x3030303030303030u, "00000000");
static_assert(eight_digits_word(12345678) == 0x3837363534333231u, "12345678");
static_assert(eight_digits_word(99999999) == 0x3939393939393939u, "99999999");
static_assert(eight_digits_word(90909090) == 0x3039303930393039u, "90909090");

// The eight digits at `out`; returns the byte after them.
inline char* write_eight_digits(char* out, uint32_t value) noexcept {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the word holds the first digit lowest");
    const uint64_t word = eight_digits_word(value);
    memcpy(out, &word, 8);
    return out + 8;
}

}  // namespace numconv
