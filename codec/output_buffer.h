// The encoder's output buffer and its appenders.  Room is reserved once per
// value (Buffer_EnsureRoom and friends); the "Unchecked" appenders then
// write without testing the capacity.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "codec/encode.h"
#include "numconv/numconv.h"

// Room reserved before any value: covers the literals, a 20-digit integer
// with its sign, a double's text and an opening bracket.
inline constexpr size_t kValueReserve = 128;
static_assert(kValueReserve >= numconv::kDoubleTextRoom, "a double's text fits the reservation");

inline constexpr char kErrNoMemory[] = "Could not reserve memory block";
inline constexpr char kErrInvalidDouble[] = "Invalid value when encoding double";

// The buffer starts in a region of the caller's frame.  Its first growth
// moves the text into a str of kind ASCII made at the new capacity, and
// later ones resize that str (in place for big blocks, where the allocator
// can): when the output turns out ASCII, that str is the result, shrunk to
// the text's length, and a big output is never held twice.  Otherwise the
// text is decoded from the buffer as UTF-8 ("surrogatepass"), and the wide
// runs (WideRun) copied in their own units.

// Grows the buffer so that `needed` more bytes fit.  Rare path.
void Buffer_Realloc(Encoder* enc, size_t needed) noexcept;

// The text written so far as a new str, or null with an exception set.  An
// ASCII text on the heap is handed over as the result, which leaves the
// buffer empty.
PyObject* Buffer_Finish(Encoder* enc) noexcept;

// Records the units written from `first` to the current offset, each
// `unitSize` bytes, as a wide run, joining the previous run when it ends
// there in the same width.  False (error recorded) when the record cannot
// grow.
bool Buffer_NoteWideRun(Encoder* enc, const char* first, size_t unitSize) noexcept;

// Releases the buffer's str when it still holds one, and the wide runs.
// Every way out of the entry function passes here.
void Buffer_Release(Encoder* enc) noexcept;

// Whether any of the `length` bytes at `bytes` is >= 0x80.
inline bool has_non_ascii(const char* bytes, size_t length) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080u) return true;
    }
    for (; i < length; ++i)
        if (p[i] & 0x80) return true;
    return false;
}

// Text about to be copied as it is: marks the output non-ASCII when it is.
inline void Buffer_NoteRawBytes(Encoder* enc, const char* bytes, size_t length) noexcept {
    if (!enc->nonAscii && has_non_ascii(bytes, length)) enc->nonAscii = true;
}

inline void Buffer_EnsureRoom(Encoder* enc, size_t needed) noexcept {
    if (static_cast<size_t>(enc->end - enc->offset) < needed) Buffer_Realloc(enc, needed);
}

// Reserves room for `length` input bytes through an escaper plus `extra`
// bytes; false (error recorded) when that cannot be had.
inline bool Buffer_EnsureRoomForEscaped(Encoder* enc, Py_ssize_t length, size_t extra) noexcept {
    const size_t n = static_cast<size_t>(length);
    if (n > (static_cast<size_t>(PY_SSIZE_T_MAX) - extra) / kEscapedBytesPerByte) {
        enc->errorMsg = kErrNoMemory;
        return false;
    }
    Buffer_EnsureRoom(enc, n * kEscapedBytesPerByte + extra);
    return enc->errorMsg == nullptr;
}

inline void Buffer_AppendCharUnchecked(Encoder* enc, char c) noexcept { *enc->offset++ = c; }

inline void Buffer_AppendBytesUnchecked(Encoder* enc, const char* bytes, size_t length) noexcept {
    // Separators and literals are a few bytes: a plain loop beats a call.
    if (length <= 8) {
        for (size_t i = 0; i < length; ++i) enc->offset[i] = bytes[i];
    } else {
        memcpy(enc->offset, bytes, length);
    }
    enc->offset += length;
}

// A separator is written as its whole padded head when it fits: one 8-byte
// store instead of a loop over its bytes, for every member.  Room for
// Buffer_SeparatorRoom(length) bytes must be reserved.
inline size_t Buffer_SeparatorRoom(size_t length) noexcept {
    return length > kSeparatorHead ? length : kSeparatorHead;
}

inline void Buffer_AppendSeparatorUnchecked(Encoder* enc, const char* head, const char* text,
                                            size_t length) noexcept {
    if (length <= kSeparatorHead) memcpy(enc->offset, head, kSeparatorHead);
    else memcpy(enc->offset, text, length);
    enc->offset += length;
}

inline void Buffer_AppendIndentUnchecked(Encoder* enc, int32_t level) noexcept {
    if (enc->indent > 0 && level > 0) {
        const size_t count = static_cast<size_t>(enc->indent) * static_cast<size_t>(level);
        memset(enc->offset, ' ', count);
        enc->offset += count;
    }
}

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

// The digits counted first, then written from the last one backwards, two
// at a time: no reversal pass.
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
// (the 4-digit halves into pairs, the pairs into digits) with a multiply by a
// reciprocal that is exact over the lane's range, and no branch.
constexpr uint64_t eight_digits_word(uint32_t value) noexcept {
    const uint64_t halves = (value / 10000) | (uint64_t(value % 10000) << 32);  // 2 lanes < 10^4
    const uint64_t pairHigh = ((halves * 10486) >> 20) & 0x0000007F0000007Fu;    // lane / 100
    const uint64_t pairs = ((halves - 100 * pairHigh) << 16) | pairHigh;         // 4 lanes < 100
    const uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Fu;           // lane / 10
    const uint64_t digits = ((pairs - 10 * tens) << 8) | tens;                   // 8 lanes < 10
    return digits | 0x3030303030303030u;
}
static_assert(eight_digits_word(0) == 0x3030303030303030u, "00000000");
static_assert(eight_digits_word(12345678) == 0x3837363534333231u, "12345678");
static_assert(eight_digits_word(99999999) == 0x3939393939393939u, "99999999");
static_assert(eight_digits_word(90909090) == 0x3039303930393039u, "90909090");

inline char* write_eight_digits(char* out, uint32_t value) noexcept {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the word holds the first digit lowest");
    const uint64_t word = eight_digits_word(value);
    memcpy(out, &word, 8);
    return out + 8;
}

// Within 32 bits the loop of write_digits is the quicker (measured): a short
// number takes one or two of its turns, and its chain of dependent steps is
// shorter than the word's.  Beyond, its 64-bit divisions are slow, and the
// last eight digits are one word, the twelve before them at most a word and
// four digits more.
inline void Buffer_AppendUnsignedLongUnchecked(Encoder* enc, uint64_t value) noexcept {
    if (value <= UINT32_MAX) {
        char* const end = enc->offset + decimal_digits(value);
        write_digits(end, static_cast<uint32_t>(value));
        enc->offset = end;
        return;
    }
    constexpr uint32_t kEight = 100000000;
    const uint64_t leading = value / kEight;  // at least 42
    const uint32_t last = static_cast<uint32_t>(value - leading * kEight);
    char* out;
    if (leading < kEight) {
        out = enc->offset + decimal_digits(leading);
        write_digits(out, static_cast<uint32_t>(leading));
    } else {
        const uint32_t top = static_cast<uint32_t>(leading / kEight);  // below 1845
        out = enc->offset + decimal_digits(top);
        write_digits(out, top);
        out = write_eight_digits(out, static_cast<uint32_t>(leading - uint64_t(top) * kEight));
    }
    enc->offset = write_eight_digits(out, last);
}

inline void Buffer_AppendLongUnchecked(Encoder* enc, int64_t value) noexcept {
    // The magnitude as unsigned, so that INT64_MIN needs no special case.
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        *enc->offset++ = '-';
        magnitude = 0 - magnitude;
    }
    Buffer_AppendUnsignedLongUnchecked(enc, magnitude);
}

// Writes straight into the buffer, within the kValueReserve bytes the caller
// reserved (the NUL the formatter adds is overwritten by what follows).
inline void Buffer_AppendDoubleUnchecked(Encoder* enc, double value) noexcept {
    const size_t length = numconv::format_double(value, enc->allowNan, enc->offset);
    if (length == 0) enc->errorMsg = kErrInvalidDouble;
    enc->offset += length;
}
