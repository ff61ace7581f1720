// The encoder's output text measured, transcoded and widened into a str's
// code units.
#include "codec/utf8_text.h"

#include <algorithm>
#include <cstring>

#include "codec/utf8.h"

namespace utf8 {

namespace {

// ---- measuring -----------------------------------------------------------------

inline uint32_t max_char_for(uint8_t maxByte) noexcept {
    if (maxByte < 0x80) return 0x7F;
    if (maxByte < 0xC4) return 0xFF;  // leads C2, C3: U+0080-U+00FF
    if (maxByte < 0xF0) return 0xFFFF;
    return 0x10FFFF;
}

// ---- transcoding ---------------------------------------------------------------

#if defined(__SSE2__)
// Sixteen ASCII bytes as sixteen units.
inline void store_widened(uint8_t* out, __m128i chunk) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chunk);
}
inline void store_widened(uint16_t* out, __m128i chunk) noexcept {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(chunk, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(chunk, zero));
}
inline void store_widened(uint32_t* out, __m128i chunk) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(chunk, zero);
    const __m128i high = _mm_unpackhi_epi8(chunk, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(high, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(high, zero));
}
#endif

// Copies the ASCII run at `p`, sixteen bytes at a time while sixteen units
// of room are left (the room is exact: one unit per code point), then byte
// by byte.  Returns the first byte that is not ASCII, or `end`.  Only
// called at an ASCII byte.
template <typename Unit>
inline const uint8_t* copy_ascii(const uint8_t* p, const uint8_t* end, Unit** to, Unit* outEnd) noexcept {
    Unit* out = *to;
#if defined(__SSE2__)
    // Both bounds taken once: the blocks that fit the input and the room.
    for (size_t blocks = std::min(size_t(end - p), size_t(outEnd - out)) / 16; blocks > 0; --blocks) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned mask = unsigned(_mm_movemask_epi8(chunk));
        store_widened(out, chunk);
        if (mask) {
            const unsigned ascii = unsigned(__builtin_ctz(mask));
            *to = out + ascii;
            return p + ascii;
        }
        p += 16;
        out += 16;
    }
#else
    (void)outEnd;
#endif
    const uint8_t* const stop = p + std::min(size_t(end - p), size_t(outEnd - out));
    while (p < stop && *p < 0x80) *out++ = *p++;
    *to = out;
    return p;
}

// One sequence from the four bytes at `p` (utf8::decode_word), refused
// when its code point is wider than `Unit`.  Returns its length, or 0.
template <typename Unit>
inline int decode_word_to(const uint8_t* p, uint32_t* codePoint) noexcept {
    const int length = decode_word(p, codePoint);
    return length == 0 || *codePoint > Unit(~Unit(0)) ? 0 : length;
}

// The same for the last three bytes or fewer: utf8::decode_sequence once
// the lead says how many bytes the sequence needs and they are there (a
// four-byte lead never has them here).
template <typename Unit>
inline int decode_tail(const uint8_t* p, size_t left, uint32_t* codePoint) noexcept {
    const uint8_t lead = *p;
    const int length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 0;
    if (length == 0 || left < size_t(length)) return 0;  // a continuation byte, an overlong lead, or cut short
    const Sequence sequence = decode_sequence(p, length);
    if (sequence.error != SequenceError::None || sequence.codePoint > Unit(~Unit(0))) return 0;
    *codePoint = sequence.codePoint;
    return length;
}

template <typename Unit>
bool transcode_to(const uint8_t* p, size_t length, Unit* out, Unit* const outEnd) noexcept {
    const uint8_t* const end = p + length;
    while (p < end) {
        if (*p < 0x80) {
            const uint8_t* const next = copy_ascii(p, end, &out, outEnd);
            if (next == p) return false;  // no room left
            p = next;
            continue;
        }
        // One sequence, then the next byte decides, so that a run of
        // another script does not try the ASCII blocks at every character.
        uint32_t cp;
        const size_t left = size_t(end - p);
        const int taken = left >= 4 ? decode_word_to<Unit>(p, &cp) : decode_tail<Unit>(p, left, &cp);
        if (taken == 0 || out == outEnd) return false;
        *out++ = Unit(cp);
        p += taken;
    }
    return out == outEnd;
}

// One unit of `Narrow` from unaligned storage.
template <typename Narrow>
inline Narrow load_unit(const char* p) noexcept {
    Narrow unit;
    memcpy(&unit, p, sizeof unit);
    return unit;
}

template <typename Narrow, typename Unit>
void widen_units(const char* in, size_t count, Unit* out) noexcept {
    static_assert(sizeof(Narrow) < sizeof(Unit), "widening only");
    size_t i = 0;
#if defined(__SSE2__)
    if constexpr (sizeof(Narrow) == 1) {
        for (; count - i >= 16; i += 16) store_widened(out + i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
    } else {  // two-byte units to four
        const __m128i zero = _mm_setzero_si128();
        for (; count - i >= 8; i += 8) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi16(chunk, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4), _mm_unpackhi_epi16(chunk, zero));
        }
    }
#endif
    for (; i < count; ++i) out[i] = load_unit<Narrow>(in + i * sizeof(Narrow));
}

}  // namespace

TextShape measure(const uint8_t* text, size_t length) noexcept {
    size_t continuation = 0;
    uint8_t maxByte = 0;
    size_t i = 0;
#if defined(__SSE2__)
    // Per-lane counts of continuation bytes (0x80-0xBF: below -64 as signed
    // bytes), summed before a lane can wrap at 255.
    const __m128i zero = _mm_setzero_si128();
    const __m128i belowLead = _mm_set1_epi8(-64);
    __m128i maxBytes = zero;
    while (length - i >= 16) {
        const size_t blocks = std::min<size_t>((length - i) / 16, 255);
        __m128i counts = zero;
        for (size_t k = 0; k < blocks; ++k, i += 16) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            maxBytes = _mm_max_epu8(maxBytes, chunk);
            counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(chunk, belowLead));
        }
        const __m128i sums = _mm_sad_epu8(counts, zero);
        continuation += size_t(_mm_cvtsi128_si64(sums)) + size_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
    maxBytes = _mm_max_epu8(maxBytes, _mm_srli_si128(maxBytes, 8));
    maxBytes = _mm_max_epu8(maxBytes, _mm_srli_si128(maxBytes, 4));
    maxBytes = _mm_max_epu8(maxBytes, _mm_srli_si128(maxBytes, 2));
    maxBytes = _mm_max_epu8(maxBytes, _mm_srli_si128(maxBytes, 1));
    maxByte = uint8_t(_mm_cvtsi128_si32(maxBytes));
#endif
    for (; i < length; ++i) {
        maxByte = std::max(maxByte, text[i]);
        continuation += is_continuation(text[i]);
    }
    return {length - continuation, max_char_for(maxByte)};
}

template <typename Unit>
bool transcode(const uint8_t* text, size_t length, Unit* out, size_t units) noexcept {
    return transcode_to(text, length, out, out + units);
}

template bool transcode(const uint8_t*, size_t, uint8_t*, size_t) noexcept;
template bool transcode(const uint8_t*, size_t, uint16_t*, size_t) noexcept;
template bool transcode(const uint8_t*, size_t, uint32_t*, size_t) noexcept;

template <typename Unit>
void copy_units(const char* in, size_t count, size_t unitSize, Unit* out) noexcept {
    if (unitSize == sizeof(Unit)) {
        memcpy(out, in, count * sizeof(Unit));
    } else if constexpr (sizeof(Unit) > 1) {
        if (unitSize == 1) widen_units<uint8_t>(in, count, out);
        else if constexpr (sizeof(Unit) == 4) widen_units<uint16_t>(in, count, out);
    }
}

template void copy_units(const char*, size_t, size_t, uint8_t*) noexcept;
template void copy_units(const char*, size_t, size_t, uint16_t*) noexcept;
template void copy_units(const char*, size_t, size_t, uint32_t*) noexcept;

}  // namespace utf8
