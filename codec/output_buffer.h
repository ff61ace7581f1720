// The encoder's output buffer and its appenders.  Room is reserved once per
// value (Buffer_EnsureRoom and friends); the "Unchecked" appenders then
// write without testing the capacity.
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/encode.h"
#include "numconv/digits.h"
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

// Within 32 bits the loop of write_digits is the quicker (measured): a short
// number takes one or two of its turns, and its chain of dependent steps is
// shorter than the word's.  Beyond, its 64-bit divisions are slow, and the
// last eight digits are one word, the twelve before them at most a word and
// four digits more.
inline void Buffer_AppendUnsignedLongUnchecked(Encoder* enc, uint64_t value) noexcept {
    if (value <= UINT32_MAX) {
        char* const end = enc->offset + numconv::decimal_digits(value);
        numconv::write_digits(end, static_cast<uint32_t>(value));
        enc->offset = end;
        return;
    }
    constexpr uint32_t kEight = 100000000;
    const uint64_t leading = value / kEight;  // at least 42
    const uint32_t last = static_cast<uint32_t>(value - leading * kEight);
    char* out;
    if (leading < kEight) {
        out = enc->offset + numconv::decimal_digits(leading);
        numconv::write_digits(out, static_cast<uint32_t>(leading));
    } else {
        const uint32_t top = static_cast<uint32_t>(leading / kEight);  // below 1845
        out = enc->offset + numconv::decimal_digits(top);
        numconv::write_digits(out, top);
        out = numconv::write_eight_digits(out, static_cast<uint32_t>(leading - uint64_t(top) * kEight));
    }
    enc->offset = numconv::write_eight_digits(out, last);
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
