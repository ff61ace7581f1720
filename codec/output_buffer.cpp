// Growth of the encoder's output buffer and the str made from it.
#include "codec/output_buffer.h"

#include <algorithm>
#include <atomic>

#include "codec/utf8.h"
#include "codec/utf8_text.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUELT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUELT_ASAN 1
#endif
#endif

#if defined(QUELT_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace {

// The buffer's str comes from the interpreter's allocator, whose blocks
// AddressSanitizer cannot see the bounds of.  In that build the str gets
// kGuard more characters, which are poisoned together with its NUL, so that
// a write past `end` is reported where it happens.  They are unpoisoned
// before the str is resized, handed over or released.
#if defined(QUELT_ASAN)
constexpr size_t kGuard = 16;
void poison_tail(const Encoder* enc) noexcept { ASAN_POISON_MEMORY_REGION(enc->end, kGuard + 1); }
void unpoison_tail(const Encoder* enc) noexcept { ASAN_UNPOISON_MEMORY_REGION(enc->end, kGuard + 1); }
#else
constexpr size_t kGuard = 0;
void poison_tail(const Encoder*) noexcept {}
void unpoison_tail(const Encoder*) noexcept {}
#endif

char* text_data(PyObject* text) noexcept { return static_cast<char*>(PyUnicode_DATA(text)); }

// The length of the last output that left the caller's stack region: up
// to it, the buffer grows eightfold rather than twofold, so that a program
// that dumps documents of one size again and again copies its text a few
// times over a fraction of its length, instead of at every doubling from a
// few kilobytes.  Growing by at most eight times the room already in use
// keeps a small output that follows a big one from taking more than that.
// Only a hint: threads read and write it without order (relaxed), any
// value is safe, and a wrong one costs a resize, or some room that the
// final shrink gives back (all but the hint's own margin).
std::atomic<size_t> g_lastOutputLength{0};

// The room that the length hint adds to a length: the final reservations
// of an output of the same length then need no last doubling.
constexpr size_t hint_room(size_t length) noexcept { return length / 16 + 4096; }

size_t length_hint() noexcept {
    const size_t last = g_lastOutputLength.load(std::memory_order_relaxed);
    return last + hint_room(last);
}

// The text as the str PyUnicode_DecodeUTF8(..., "surrogatepass") makes of
// it, transcoded straight into a str of its measured length and kind, which
// is faster than that decoder's growing and widening.  Invalid text (bytes
// copied as they are) goes to that decoder for its exact error, and so does
// a text of one character, for which it hands out a shared str.
PyObject* decode_text(const char* text, Py_ssize_t length) noexcept {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    const size_t n = static_cast<size_t>(length);
    const utf8::TextShape shape = utf8::measure(bytes, n);
    if (shape.codePoints > 1) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(shape.codePoints), shape.maxChar);
        if (!str) return nullptr;
        bool done;
        switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            done = utf8::transcode(bytes, n, PyUnicode_1BYTE_DATA(str), shape.codePoints);
            break;
        case PyUnicode_2BYTE_KIND:
            done = utf8::transcode(bytes, n, PyUnicode_2BYTE_DATA(str), shape.codePoints);
            break;
        default:
            done = utf8::transcode(bytes, n, PyUnicode_4BYTE_DATA(str), shape.codePoints);
            break;
        }
        if (done) return str;
        Py_DECREF(str);
    }
    return PyUnicode_DecodeUTF8(text, length, "surrogatepass");
}

// ---- text with wide runs ----------------------------------------------------------

// The output in order as pieces of UTF-8 text and wide runs: the text
// before each run, the run, and the text after the last.  The runs are
// bounded by quotes, so no UTF-8 sequence is split.  Stops at the first
// callback that returns false, and returns false then.
template <typename OnText, typename OnRun>
bool for_each_piece(const Encoder* enc, OnText onText, OnRun onRun) noexcept {
    const char* const base = enc->start;
    size_t at = 0;
    for (size_t i = 0; i < enc->wideRunCount; ++i) {
        const WideRun& run = enc->wideRuns[i];
        if (!onText(base + at, run.offset - at) || !onRun(base + run.offset, run)) return false;
        at = run.offset + run.units * run.unitSize;
    }
    return onText(base + at, static_cast<size_t>(enc->offset - enc->start) - at);
}

// Code points in a piece of UTF-8 text: its bytes when the output has only
// ASCII outside the runs.
utf8::TextShape text_shape(const Encoder* enc, const char* text, size_t length) noexcept {
    if (!enc->nonAscii) return {length, 0x7F};
    return utf8::measure(reinterpret_cast<const uint8_t*>(text), length);
}

// Text with raw non-ASCII bytes is measured again here rather than its
// count kept from assemble_text's pass: that takes non-ASCII keys, bytes
// or separators beside the runs, and the measure is one quick scan.
template <typename Unit>
bool fill_pieces(const Encoder* enc, Unit* out) noexcept {
    return for_each_piece(
        enc,
        [&](const char* text, size_t length) {
            if (!enc->nonAscii) {  // ASCII: widened without a check
                utf8::copy_units(text, length, 1, out);
                out += length;
                return true;
            }
            const auto* const bytes = reinterpret_cast<const uint8_t*>(text);
            const size_t units = utf8::measure(bytes, length).codePoints;
            if (!utf8::transcode(bytes, length, out, units)) return false;
            out += units;
            return true;
        },
        [&](const char* units, const WideRun& run) {
            utf8::copy_units(units, run.units, run.unitSize, out);
            out += run.units;
            return true;
        });
}

// The whole output as UTF-8 (each run's units encoded as "surrogatepass"
// does) through the interpreter's decoder: for a text that is not valid
// UTF-8 (bytes copied as they are), whose exact error that decoder reports.
[[gnu::noinline]] PyObject* decode_pieces_as_utf8(const Encoder* enc) noexcept {
    size_t length = 0;
    for_each_piece(
        enc, [&](const char*, size_t bytes) { length += bytes; return true; },
        [&](const char*, const WideRun& run) { length += run.units * 4; return true; });
    char* const utf8 = static_cast<char*>(PyMem_Malloc(length + 1));
    if (!utf8) return PyErr_NoMemory();
    char* out = utf8;
    for_each_piece(
        enc,
        [&](const char* text, size_t bytes) {
            memcpy(out, text, bytes);
            out += bytes;
            return true;
        },
        [&](const char* units, const WideRun& run) {
            for (size_t i = 0; i < run.units; ++i) {
                uint32_t unit = 0;  // little-endian: the low bytes hold a narrower unit
                memcpy(&unit, units + i * run.unitSize, run.unitSize);
                out = utf8::encode_code_point(out, unit);
            }
            return true;
        });
    PyObject* result = PyUnicode_DecodeUTF8(utf8, out - utf8, "surrogatepass");
    PyMem_Free(utf8);
    return result;
}

// The result str of an output with wide runs: its length and kind summed
// from the pieces, then each piece transcoded or copied into it.  A str's
// kind is the narrowest that holds its widest code point, so a run of
// 2-byte units holds one from U+0100 and a run of 4-byte units one beyond
// U+FFFF: the widest run bounds the kind exactly.
PyObject* assemble_text(const Encoder* enc) noexcept {
    size_t codePoints = 0;
    uint32_t maxChar = enc->widestUnit == 1 ? 0xFF : enc->widestUnit == 2 ? 0xFFFF : 0x10FFFF;
    for_each_piece(
        enc,
        [&](const char* text, size_t length) {
            const utf8::TextShape shape = text_shape(enc, text, length);
            codePoints += shape.codePoints;
            maxChar = std::max(maxChar, shape.maxChar);
            return true;
        },
        [&](const char*, const WideRun& run) {
            codePoints += run.units;
            return true;
        });
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(codePoints), maxChar);
    if (!str) return nullptr;
    bool done;
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: done = fill_pieces(enc, PyUnicode_1BYTE_DATA(str)); break;
    case PyUnicode_2BYTE_KIND: done = fill_pieces(enc, PyUnicode_2BYTE_DATA(str)); break;
    default: done = fill_pieces(enc, PyUnicode_4BYTE_DATA(str)); break;
    }
    if (done) return str;
    Py_DECREF(str);
    return decode_pieces_as_utf8(enc);
}

// The buffer's str at `capacity`: the current one resized, in place since
// our reference is its only one and it was never hashed, or a new one
// holding the text so far from the stack region.  Null with MemoryError set
// on failure, when the current str stays as it was.
PyObject* grown_text(const Encoder* enc, size_t capacity) noexcept {
    const Py_ssize_t length = static_cast<Py_ssize_t>(capacity + kGuard);
    PyObject* text = enc->text;
    if (text) return PyUnicode_Resize(&text, length) == 0 ? text : nullptr;
    text = PyUnicode_New(length, 127);
    if (text) memcpy(text_data(text), enc->start, static_cast<size_t>(enc->offset - enc->start));
    return text;
}

}  // namespace

bool Buffer_NoteWideRun(Encoder* enc, const char* first, size_t unitSize) noexcept {
    const size_t offset = static_cast<size_t>(first - enc->start);
    const size_t units = static_cast<size_t>(enc->offset - first) / unitSize;
    enc->widestUnit = std::max(enc->widestUnit, unitSize);
    if (enc->wideRunCount > 0) {
        WideRun& last = enc->wideRuns[enc->wideRunCount - 1];
        if (last.unitSize == unitSize && last.offset + last.units * unitSize == offset) {
            last.units += units;
            return true;
        }
    }
    if (enc->wideRunCount == enc->wideRunCapacity) {
        const size_t capacity = enc->wideRunCapacity ? 2 * enc->wideRunCapacity : 16;
        auto* runs = static_cast<WideRun*>(PyMem_Realloc(enc->wideRuns, capacity * sizeof(WideRun)));
        if (!runs) {
            enc->errorMsg = kErrNoMemory;
            return false;
        }
        enc->wideRuns = runs;
        enc->wideRunCapacity = capacity;
    }
    enc->wideRuns[enc->wideRunCount++] = {offset, units, unitSize};
    return true;
}

// Capacity doubles until it reaches capacity + needed, or grows up to
// eightfold toward the length hint.  On failure the old str stays in
// place (Buffer_Release still frees it) and the error is recorded.
void Buffer_Realloc(Encoder* enc, size_t needed) noexcept {
    const size_t room = static_cast<size_t>(enc->end - enc->offset);
    if (room >= needed) return;
    const size_t capacity = static_cast<size_t>(enc->end - enc->start);
    const size_t used = static_cast<size_t>(enc->offset - enc->start);
    constexpr size_t kLimit = static_cast<size_t>(PY_SSIZE_T_MAX) - kGuard;
    if (needed > kLimit - capacity) {
        enc->errorMsg = kErrNoMemory;
        return;
    }
    const size_t target = capacity + needed;
    size_t doubled = capacity;
    while (doubled < target) {
        // Near the allocator's limit take just what is needed.
        doubled = doubled > kLimit / 2 ? target : doubled * 2;
    }
    const size_t hint = length_hint();
    size_t newCapacity = doubled;
#if defined(Py_GIL_DISABLED)
    // The free-threaded build's blocks come from mimalloc, which has no mmap
    // threshold to teach (see Buffer_Finish): doubling past the hint
    // measured faster there than stopping at it.
    if (doubled < hint && capacity <= kLimit / 8) newCapacity = std::max(doubled, std::min(capacity * 8, hint));
#else
    // Up to the hint, growth is up to eightfold, and stops at the hint
    // rather than doubling past it: an output of the last one's length then
    // ends in a buffer of the hint's size, which Buffer_Finish keeps.
    if (target <= hint && capacity <= kLimit / 8) newCapacity = std::min(hint, std::max(doubled, capacity * 8));
#endif

    // A failed allocation raises MemoryError, while the walk may have its
    // own exception pending: the failure is only recorded, as errorMsg, and
    // whatever was pending before stays so.
    PyObject* pending = PyErr_GetRaisedException();
    if (enc->text) unpoison_tail(enc);
    PyObject* text = grown_text(enc, newCapacity);
    if (!text && newCapacity != doubled) {
        // The hint's size failed: the smaller of the doubling's and what is
        // needed may still be had.  Only our own MemoryError is pending here.
        PyErr_Clear();
        newCapacity = newCapacity > doubled ? doubled : target;
        text = grown_text(enc, newCapacity);
    }
    PyErr_SetRaisedException(pending);
    if (!text) {
        poison_tail(enc);
        enc->errorMsg = kErrNoMemory;
        return;
    }
    enc->text = text;
    enc->start = text_data(text);
    enc->offset = enc->start + used;
    enc->end = enc->start + newCapacity;
    poison_tail(enc);
}

PyObject* Buffer_Finish(Encoder* enc) noexcept {
    const Py_ssize_t used = enc->offset - enc->start;
    if (enc->text) g_lastOutputLength.store(static_cast<size_t>(used), std::memory_order_relaxed);
    if (enc->wideRunCount) return assemble_text(enc);
    // Below two characters the decoder hands out its shared strs.
    if (used < 2) return PyUnicode_DecodeUTF8(enc->start, used, "surrogatepass");
    if (enc->nonAscii) return decode_text(enc->start, used);
    if (!enc->text) {
        PyObject* result = PyUnicode_New(used, 127);
        if (result) memcpy(text_data(result), enc->start, static_cast<size_t>(used));
        return result;
    }
    unpoison_tail(enc);
    PyObject* result = enc->text;
    const size_t spare = static_cast<size_t>(enc->end - enc->offset);
    enc->text = nullptr;
    enc->start = enc->offset = enc->end = nullptr;
    // A result with no more spare room than the length hint adds keeps the
    // buffer's whole block.  glibc's malloc serves a block above its mmap
    // threshold from a fresh mapping, and raises the threshold to the size
    // of such a block when it is freed.  A result shrunk to its length would
    // set the threshold just below the next call's buffer (the hint is a
    // little above that length), so every call would map its buffer afresh
    // and fault on each of its pages as it is written: on a virtual machine
    // that cost several times the writing itself.  Freed at its buffer's
    // size, the result lets the next buffer of that size come from pages the
    // heap already holds.  At most a sixteenth and 4096 bytes stay unused.
    if (spare <= hint_room(static_cast<size_t>(used))) {
        // Only the length changes, with the NUL after the text: the str is
        // ours alone, compact ASCII, and its hash is still unset.
        reinterpret_cast<PyASCIIObject*>(result)->length = used;
        PyUnicode_1BYTE_DATA(result)[used] = 0;
        return result;
    }
    // Shrinking writes the NUL after the text; the hash is still unset.
    if (PyUnicode_Resize(&result, used) < 0) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

void Buffer_Release(Encoder* enc) noexcept {
    PyMem_Free(enc->wideRuns);
    enc->wideRuns = nullptr;
    enc->wideRunCount = enc->wideRunCapacity = 0;
    if (!enc->text) return;
    unpoison_tail(enc);
    Py_CLEAR(enc->text);
}
