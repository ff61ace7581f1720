// The object encoder: writes one value and, through the walk of its kind,
// everything inside it.  The common exact types go straight to their
// writers; everything else goes, out of line, through the full
// classification order.  A call keeps all of its state in its own frame.
#include <algorithm>
#include <functional>

#include "codec/encode.h"
#include "codec/limbs.h"
#include "codec/nesting.h"
#include "codec/output_buffer.h"
#include "codec/owned_ref.h"

namespace {

constexpr char kErrInvalidType[] = "Invalid type";
constexpr char kErrRecursion[] = "Maximum recursion level reached";
constexpr char kErrDefaultBudget[] = "maximum recursion depth exceeded";
// Times `default` may be called for one value before it is given up.
constexpr int kDefaultCallBudget = 3;

// Records the walk's stop signal after a failure; a Python exception, when
// pending, is what the caller raises.
inline void fail_invalid(Encoder* enc) noexcept { enc->errorMsg = kErrInvalidType; }

// ---- text ----------------------------------------------------------------------

// Quote, escaped text, quote; `extra` more bytes of room are reserved for the
// caller.  `text` must be followed by a NUL, which ends the escapers' scans.
// Without ensure_ascii its bytes are copied as they are: the caller notes
// them when they may not be ASCII.
inline bool write_escaped_text(Encoder* enc, const char* text, Py_ssize_t length, size_t extra) noexcept {
    if (!Buffer_EnsureRoomForEscaped(enc, length, 2 + extra)) return false;
    Buffer_AppendCharUnchecked(enc, '"');
    if (copy_short_plain(text, static_cast<size_t>(length), enc->offset)) {
        enc->offset += length;
    } else if (enc->escape.ensureAscii) {
        const char* error = nullptr;
        char* out = Buffer_EscapeStringValidated(enc->escape, text, text + length, enc->offset, &error,
                                                 &enc->nonAscii);
        if (!out) {
            enc->errorMsg = error;
            return false;
        }
        enc->offset = out;
    } else {
        enc->offset = Buffer_EscapeStringUnvalidated(enc->escape, text, text + length, enc->offset);
    }
    Buffer_AppendCharUnchecked(enc, '"');
    return true;
}

// Code units escaped per reservation when a str is written in its own
// width: the room reserved for them is bounded whatever the str's length.
constexpr size_t kInKindPiece = 16384;

// Without ensure_ascii, a str that is not ASCII: its contents escaped in its
// own code units, as wide runs of the buffer between quotes written as
// bytes.  The result str is assembled from them at the end (see
// Buffer_Finish), so non-ASCII text is never turned into UTF-8 and back.
template <typename Unit>
void write_str_in_kind(const Unit* units, size_t count, Encoder* enc) noexcept {
    Buffer_EnsureRoom(enc, 1);
    if (enc->errorMsg) return;
    Buffer_AppendCharUnchecked(enc, '"');
    for (size_t done = 0; done < count;) {
        const size_t piece = std::min(count - done, kInKindPiece);
        // The closing quote's byte with the last piece.
        if (!Buffer_EnsureRoomForEscaped(enc, static_cast<Py_ssize_t>(piece * sizeof(Unit)), 1 + kEscapeWordSlack))
            return;
        char* const first = enc->offset;
        enc->offset = escape_in_kind(enc->escape, units + done, piece, first);
        if (!Buffer_NoteWideRun(enc, first, sizeof(Unit))) return;
        done += piece;
    }
    Buffer_AppendCharUnchecked(enc, '"');
}

// A str that is not compact ASCII, escaped straight from its storage,
// without making its UTF-8 form first.
[[gnu::noinline]] void write_str_from_storage(PyObject* str, Encoder* enc) noexcept {
    const Py_ssize_t count = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const size_t n = static_cast<size_t>(count);
    if (!enc->escape.ensureAscii && !PyUnicode_IS_ASCII(str)) {
        switch (kind) {
        case PyUnicode_1BYTE_KIND: return write_str_in_kind(static_cast<const Py_UCS1*>(data), n, enc);
        case PyUnicode_2BYTE_KIND: return write_str_in_kind(static_cast<const Py_UCS2*>(data), n, enc);
        default: return write_str_in_kind(static_cast<const Py_UCS4*>(data), n, enc);
        }
    }
    const Py_ssize_t units = kind == PyUnicode_4BYTE_KIND && enc->escape.ensureAscii ? 2 * count : count;
    if (!Buffer_EnsureRoomForEscaped(enc, units, 2 + kEscapeWordSlack)) return;
    Buffer_AppendCharUnchecked(enc, '"');
    switch (kind) {
    case PyUnicode_1BYTE_KIND:
        enc->offset = escape_code_points(enc->escape, static_cast<const Py_UCS1*>(data), n, enc->offset);
        break;
    case PyUnicode_2BYTE_KIND:
        enc->offset = escape_code_points(enc->escape, static_cast<const Py_UCS2*>(data), n, enc->offset);
        break;
    default:
        enc->offset = escape_code_points(enc->escape, static_cast<const Py_UCS4*>(data), n, enc->offset);
        break;
    }
    Buffer_AppendCharUnchecked(enc, '"');
}

// A str or str subclass.  A compact ASCII str's buffer is its UTF-8 form,
// with a NUL after it.
inline void write_str(PyObject* str, Encoder* enc) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        write_escaped_text(enc, static_cast<const char*>(PyUnicode_DATA(str)), PyUnicode_GET_LENGTH(str), 0);
    } else {
        write_str_from_storage(str, enc);
    }
}

// Bytes (reject_bytes off) are taken as they are, as if they were UTF-8.
[[gnu::noinline]] void write_bytes(PyObject* bytes, Encoder* enc) noexcept {
    if (!enc->escape.ensureAscii)
        Buffer_NoteRawBytes(enc, PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    write_escaped_text(enc, PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), 0);
}

// JSON text inserted verbatim: a __json__() result (str or bytes) or the
// decimal digits of a big integer.
[[gnu::noinline]] void write_raw(PyObject* text, Encoder* enc) noexcept {
    OwnedRef holder;
    Py_ssize_t length = 0;
    const char* bytes;
    if (PyUnicode_Check(text)) {
        bytes = str_utf8(text, &length, &holder);
        if (!bytes) return fail_invalid(enc);  // the encoding's exception is pending
    } else {
        bytes = PyBytes_AS_STRING(text);
        length = PyBytes_GET_SIZE(text);
    }
    Buffer_EnsureRoom(enc, static_cast<size_t>(length));
    if (enc->errorMsg) return;
    // A compact ASCII str (big integers' digits among them) is ASCII.
    if (!PyUnicode_Check(text) || holder) Buffer_NoteRawBytes(enc, bytes, static_cast<size_t>(length));
    Buffer_AppendBytesUnchecked(enc, bytes, static_cast<size_t>(length));
}

inline void write_literal(Encoder* enc, const char* literal, size_t length) noexcept {
    Buffer_EnsureRoom(enc, kValueReserve);
    if (!enc->errorMsg) Buffer_AppendBytesUnchecked(enc, literal, length);
}

// ---- numbers -------------------------------------------------------------------

inline void write_double(Encoder* enc, double value) noexcept {
    Buffer_EnsureRoom(enc, kValueReserve);
    if (!enc->errorMsg) Buffer_AppendDoubleUnchecked(enc, value);
}

// A float subclass or a Decimal: its value as a double (a Decimal's
// __float__ may raise).
[[gnu::noinline]] void write_float_object(PyObject* obj, Encoder* enc) noexcept {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return fail_invalid(enc);
    write_double(enc, value);
}

// Integers of up to kWideLimbs 64-bit limbs are written from their limbs by
// repeated division by 10^19, which gives 19 digits per pass, least
// significant group first.  2048 bits are at most 617 digits: below any
// limit the interpreter's own conversion can be set to (640 at least),
// which wider ones still go through.
constexpr size_t kWideLimbs = 32;
constexpr size_t kWideDigits = 617;  // of 2^2047

// (high:low) / 10^19 for high < 10^19, by multiplication with the
// precomputed reciprocal of the normalised divisor (10^19 has its top bit
// set), as in Möller and Granlund, "Improved division by invariant
// integers", algorithm 4: no hardware division, which 128-bit operands
// would otherwise need a library call for.
constexpr uint64_t kGroupReciprocal = uint64_t(~static_cast<unsigned __int128>(0) / kLimbDecimalScale);  // minus 2^64
static_assert(kLimbDecimalScale >> 63, "the divisor is normalised");

inline uint64_t divide_group(uint64_t high, uint64_t low, uint64_t* remainder) noexcept {
    unsigned __int128 q = static_cast<unsigned __int128>(kGroupReciprocal) * high;
    q += (static_cast<unsigned __int128>(high) << 64) | low;
    uint64_t quotient = uint64_t(q >> 64) + 1;
    uint64_t rest = low - quotient * kLimbDecimalScale;
    if (rest > uint64_t(q)) {
        --quotient;
        rest += kLimbDecimalScale;
    }
    if (rest >= kLimbDecimalScale) {  // rare
        ++quotient;
        rest -= kLimbDecimalScale;
    }
    *remainder = rest;
    return quotient;
}

// Nineteen digits, with leading zeros, ending at `end`: 3 + 8 + 8, so that
// only two divisions are 64-bit ones.
static_assert(kLimbDecimalDigits == 3 + 8 + 8, "a group is three digits and twice eight");
inline void write_group(char* end, uint64_t group) noexcept {
    constexpr uint64_t kEight = 100000000;
    const uint64_t high = group / kEight;  // below 10^11
    numconv::write_eight_digits(end - 8, uint32_t(group - high * kEight));
    const uint32_t top = uint32_t(high / kEight);  // below 1000
    numconv::write_eight_digits(end - 16, uint32_t(high - top * kEight));
    end[-19] = char('0' + top / 100);
    memcpy(end - 18, &numconv::kDigitPairs[2 * (top % 100)], 2);
}

// The magnitude of `obj` in *count limbs, and its sign: false when it
// needs more than kWideLimbs, or on failure (the error recorded).
#if PY_VERSION_HEX < 0x030E0000
// On 3.13 the limbs are packed straight from the int's own digits, through
// the tag and digit array that the header's inline functions
// (PyUnstable_Long_IsCompact) read too; PyLong_AsNativeBytes would take the
// int apart byte by byte.  An int never changes, so reading it needs no
// lock on either build.
bool read_limbs(PyObject* obj, Encoder*, uint64_t* limbs, size_t* count, bool* negative) noexcept {
    const auto* const value = reinterpret_cast<const PyLongObject*>(obj);
    const uintptr_t tag = value->long_value.lv_tag;
    const size_t digitCount = tag >> _PyLong_NON_SIZE_BITS;
    if (digitCount > kWideLimbs * 64 / PyLong_SHIFT) return false;
    *negative = (tag & _PyLong_SIGN_MASK) == 2;
    const digit* const digits = value->long_value.ob_digit;
    // Each digit joins the bits gathered so far; one that fills the limb
    // leaves its high bits to begin the next.
    size_t limbCount = 0;
    uint64_t gathered = 0;
    unsigned gatheredBits = 0;
    for (size_t j = 0; j < digitCount; ++j) {
        gathered |= uint64_t(digits[j]) << gatheredBits;
        gatheredBits += PyLong_SHIFT;
        if (gatheredBits >= 64) {
            limbs[limbCount++] = gathered;
            gatheredBits -= 64;
            gathered = uint64_t(digits[j]) >> (PyLong_SHIFT - gatheredBits);
        }
    }
    if (gatheredBits > 0 || limbCount == 0) limbs[limbCount++] = gathered;
    *count = limbCount;
    return true;
}
#else
bool read_limbs(PyObject* obj, Encoder* enc, uint64_t* limbs, size_t* count, bool* negative) noexcept {
    constexpr int kFlags = Py_ASNATIVEBYTES_LITTLE_ENDIAN;
    // The size first, so that only the limbs needed are filled.
    const Py_ssize_t needed = PyLong_AsNativeBytes(obj, nullptr, 0, kFlags);
    if (needed < 0) {
        fail_invalid(enc);
        return false;
    }
    if (size_t(needed) > kWideLimbs * sizeof limbs[0]) return false;
    *count = (size_t(needed) + 7) / 8;
    if (PyLong_AsNativeBytes(obj, limbs, Py_ssize_t(*count * 8), kFlags) < 0) {
        fail_invalid(enc);
        return false;
    }
    *negative = limbs[*count - 1] >> 63;
    if (*negative) negate_limbs(limbs, *count);
    return true;
}
#endif

// The decimal text of an int of up to kWideLimbs limbs.  True when it is
// written or failed (the error recorded); false, with nothing written, when
// it is wider.
bool write_limbs_integer(PyObject* obj, Encoder* enc) noexcept {
    uint64_t limbs[kWideLimbs];
    size_t count;
    bool negative;
    if (!read_limbs(obj, enc, limbs, &count, &negative)) return enc->errorMsg != nullptr;
    while (count > 1 && limbs[count - 1] == 0) --count;
    if (count == 1) {  // beyond the compact range but within 64 bits: most of them
        // A sign and 20 digits fit the kValueReserve bytes write_integer reserved.
        if (negative) Buffer_AppendCharUnchecked(enc, '-');
        Buffer_AppendUnsignedLongUnchecked(enc, limbs[0]);
        return true;
    }

    // Exactly the magnitude's digits are written, from the end: at most
    // those of 2^2047, the magnitude of the lowest value that fits.
    char digits[kWideDigits];
    char* const end = digits + sizeof digits;
    char* first = end;
    while (count > 1 || limbs[0] >= kLimbDecimalScale) {
        uint64_t remainder = 0;
        for (size_t i = count; i-- > 0;) limbs[i] = divide_group(remainder, limbs[i], &remainder);
        if (limbs[count - 1] == 0) --count;
        write_group(first, remainder);
        first -= kLimbDecimalDigits;
    }
    const int leading = numconv::decimal_digits(limbs[0]);
    numconv::write_digits(first, limbs[0]);
    first -= leading;

    const size_t length = size_t(end - first);
    Buffer_EnsureRoom(enc, length + 1);
    if (enc->errorMsg) return true;
    if (negative) Buffer_AppendCharUnchecked(enc, '-');
    Buffer_AppendBytesUnchecked(enc, first, length);
    return true;
}

// Integers beyond the compact range.  On 3.13 their limbs are read from
// the int at once, whatever their count.  Elsewhere those within the
// signed 64-bit range are read as one first; the test reports by its
// result, so no OverflowError is raised and cleared on the way.
[[gnu::noinline]] void write_wide_integer(PyObject* obj, Encoder* enc) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!overflow) {
        if (value == -1 && PyErr_Occurred()) return fail_invalid(enc);
        Buffer_AppendLongUnchecked(enc, value);
        return;
    }
#endif
    if (write_limbs_integer(obj, enc)) return;
    OwnedRef digits(PyNumber_ToBase(obj, 10));
    if (!digits) return fail_invalid(enc);
    write_raw(digits.get(), enc);
}

// An int or int subclass.  Compact ints (the interpreter's small ones, below
// 2^30 in magnitude) are read directly.
inline void write_integer(PyObject* obj, Encoder* enc) noexcept {
    Buffer_EnsureRoom(enc, kValueReserve);
    if (enc->errorMsg) return;
    PyLongObject* const value = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(value)) {
        Buffer_AppendLongUnchecked(enc, PyUnstable_Long_CompactValue(value));
    } else {
        write_wide_integer(obj, enc);
    }
}

// ---- dictionary keys -------------------------------------------------------------

// Rare key types: the text of str(key), made by the key's own string
// conversion.  Out of line to keep the common string keys tight.
[[gnu::noinline]] PyObject* convert_key_through_str(PyObject* key) noexcept {
    OwnedRef text(PyObject_Str(key));
    if (!text) return nullptr;
    return PyUnicode_AsEncodedString(text.get(), nullptr, "surrogatepass");
}

// A new reference to an object holding the key's text: a bytes object, or,
// for a compact ASCII str, the key itself (its buffer is already that text).
// Null with an exception pending on failure.
PyObject* Dict_convertKey(PyObject* key) noexcept {
    if (PyUnicode_Check(key)) {
        if (PyUnicode_IS_COMPACT_ASCII(key)) return Py_NewRef(key);
        return PyUnicode_AsEncodedString(key, nullptr, "surrogatepass");
    }
    if (PyBytes_Check(key)) return Py_NewRef(key);
    if (Py_IS_TYPE(key, &PyBool_Type)) return PyBytes_FromString(key == Py_True ? "true" : "false");
    if (key == Py_None) return PyBytes_FromString("null");
    return convert_key_through_str(key);
}

// A compact ASCII str (or subclass) key: its buffer is already its text,
// and writing it calls nothing of the key's own.
inline bool key_is_own_text(PyObject* key) noexcept {
    return PyUnicode_Check(key) && PyUnicode_IS_COMPACT_ASCII(key);
}

// Makes `name` hold the key's text (Dict_convertKey), taking over the
// caller's reference to `key`.  The common compact ASCII str is its own
// text: that one reference then holds it, with no call and no second
// reference.  False with an exception pending on failure.
inline bool set_key_text(OwnedRef& name, PyObject* key) noexcept {
    if (key_is_own_text(key)) {
        name.reset(key);
        return true;
    }
    name.reset(Dict_convertKey(key));
    Py_DECREF(key);
    return static_cast<bool>(name);
}

// The key text held by a Dict_convertKey result, NUL-terminated.
inline const char* key_text(PyObject* name, Py_ssize_t* length) noexcept {
    if (PyBytes_Check(name)) {
        *length = PyBytes_GET_SIZE(name);
        return PyBytes_AS_STRING(name);
    }
    *length = PyUnicode_GET_LENGTH(name);  // compact ASCII: one byte each
    return static_cast<const char*>(PyUnicode_DATA(name));
}

// Quote, escaped key, quote, key separator, from the key's text (a
// Dict_convertKey result).  Without ensure_ascii a bytes key is copied as it
// is; a str key's text is ASCII.
bool write_key_text(Encoder* enc, PyObject* name) noexcept {
    Py_ssize_t length = 0;
    const char* text = key_text(name, &length);
    if (!enc->escape.ensureAscii && PyBytes_Check(name)) Buffer_NoteRawBytes(enc, text, static_cast<size_t>(length));
    const size_t separatorLength = static_cast<size_t>(enc->keySeparatorLength);
    if (!write_escaped_text(enc, text, length, Buffer_SeparatorRoom(separatorLength))) return false;
    Buffer_AppendSeparatorUnchecked(enc, enc->keySeparatorHead, enc->keySeparator, separatorLength);
    return true;
}

// A key not found in the cache: written, and then kept first in its set
// when it is an exact str whose form fits.  Until the cache is made, str
// keys are only counted.
[[gnu::noinline]] bool write_key_uncached(Encoder* enc, PyObject* name) noexcept {
    if (!PyUnicode_CheckExact(name)) return write_key_text(enc, name);
    KeyCache* const cache = &enc->keyCache;
    if (!cache->entries) {
        if (++cache->keysWritten < kKeyCacheAfter) return write_key_text(enc, name);
        cache->entries = static_cast<KeyCacheEntry*>(PyMem_Calloc(kKeyCacheEntries, sizeof(KeyCacheEntry)));
        if (!cache->entries) return write_key_text(enc, name);  // only slower: no error
    }
    // As an offset: writing may move the buffer.
    const ptrdiff_t before = enc->offset - enc->start;
    if (!write_key_text(enc, name)) return false;
    const size_t written = static_cast<size_t>(enc->offset - enc->start - before);
    if (written <= sizeof(KeyCacheEntry::text)) {
        // First in its set; the others move down one and the last leaves.
        KeyCacheEntry* const set = KeyCache_set(cache, name);
        Py_XDECREF(set[kKeyCacheWays - 1].key);
        memmove(&set[1], &set[0], (kKeyCacheWays - 1) * sizeof(KeyCacheEntry));
        memcpy(set[0].text, enc->start + before, written);
        set[0].length = static_cast<uint8_t>(written);
        set[0].key = Py_NewRef(name);
    }
    return true;
}

// A key whose written form is in the cache costs one fixed-size copy, in
// line; every other goes out of line.
inline bool write_key(Encoder* enc, PyObject* name) noexcept {
    KeyCache* const cache = &enc->keyCache;
    if (cache->entries) {
        const KeyCacheEntry* const set = KeyCache_set(cache, name);
        for (size_t way = 0; way < kKeyCacheWays; ++way) {
            const KeyCacheEntry* const entry = &set[way];
            if (entry->key != name) continue;
            Buffer_EnsureRoom(enc, sizeof entry->text);
            if (enc->errorMsg) return false;
            // Most keys' text fits one 16-byte copy.
            if (entry->length <= 16) memcpy(enc->offset, entry->text, 16);
            else memcpy(enc->offset, entry->text, sizeof entry->text);
            enc->offset += entry->length;
            return true;
        }
    }
    return write_key_uncached(enc, name);
}

// ---- leaves ------------------------------------------------------------------------

// One writer per kind of leaf, each returning true, so that write_leaf
// reaches them by tail calls: the dispatch itself then saves no registers
// and sets up no frame, and each writer only what it needs.
[[gnu::noinline]] bool write_str_leaf(PyObject* str, Encoder* enc) noexcept {
    write_str(str, enc);
    return true;
}

[[gnu::noinline]] bool write_integer_slowly(PyObject* value, Encoder* enc) noexcept {
    write_integer(value, enc);
    return true;
}

// A compact int with its room at hand calls nothing, so it needs no frame;
// every other goes on by a tail call.
[[gnu::noinline]] bool write_integer_leaf(PyObject* value, Encoder* enc) noexcept {
    PyLongObject* const number = reinterpret_cast<PyLongObject*>(value);
    if (static_cast<size_t>(enc->end - enc->offset) < kValueReserve || !PyUnstable_Long_IsCompact(number))
        return write_integer_slowly(value, enc);
    Buffer_AppendLongUnchecked(enc, PyUnstable_Long_CompactValue(number));
    return true;
}

[[gnu::noinline]] bool write_float_leaf(PyObject* value, Encoder* enc) noexcept {
    write_double(enc, PyFloat_AS_DOUBLE(value));
    return true;
}

bool write_literal_leaf(PyObject* constant, Encoder* enc) noexcept;

// Room first, then the literal as below.
[[gnu::noinline]] bool write_literal_slowly(PyObject* constant, Encoder* enc) noexcept {
    Buffer_EnsureRoom(enc, kValueReserve);
    return enc->errorMsg ? true : write_literal_leaf(constant, enc);
}

// True, False or None: with room at hand, one 8-byte store of the padded
// literal and no frame.
[[gnu::noinline]] bool write_literal_leaf(PyObject* constant, Encoder* enc) noexcept {
    static constexpr char kTrue[8] = "true", kFalse[8] = "false", kNull[8] = "null";
    static_assert(sizeof kTrue <= kValueReserve, "write_literal_slowly reserves room for the store");
    if (static_cast<size_t>(enc->end - enc->offset) < sizeof kTrue) return write_literal_slowly(constant, enc);
    const char* text = kNull;
    size_t length = 4;
    if (constant == Py_True) text = kTrue;
    else if (constant == Py_False) text = kFalse, length = 5;
    memcpy(enc->offset, text, sizeof kTrue);
    enc->offset += length;
    return true;
}

// Writes `obj` when it is a leaf (an exact str, int or float, True, False
// or None), tested in order of frequency; false when it is not one.  Out of
// line: the walks' steps, inlined into the frame of every nesting level,
// call it.
[[gnu::noinline]] bool write_leaf(PyObject* obj, Encoder* enc) noexcept {
    PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return write_str_leaf(obj, enc);
    if (type == &PyLong_Type) return write_integer_leaf(obj, enc);
    if (type == &PyFloat_Type) return write_float_leaf(obj, enc);
    // True and False are the only exact bools.
    if (type == &PyBool_Type || obj == Py_None) return write_literal_leaf(obj, enc);
    return false;
}

// ---- container walks ---------------------------------------------------------------

// One walk per container kind.  A walk lives in the frame of the function
// that writes its container.  It hands over its members one at a time, and
// writes some of them itself on the way (see MemberStep).
//
// A leaf (an exact str, int or float, True, False or None) runs no code but
// ours and the interpreter's when it is written: no hook, no method of its
// own, no allocation of an object the cycle collector tracks.  So a leaf,
// and a key that is its own text, is written straight from the container's
// borrowed references, inside the container's critical section: nothing
// that could drop those references runs until the section ends.  Every
// other member is handed over with strong references taken inside the
// section, and is written after it, so that whatever a hook or another
// thread does to the container meanwhile, the member stays alive.
//
// Leaves cost no reference counting, and a run of them one lock: when
// threads share the document, both are writes to the same cache lines.
// With the GIL the critical section is empty, and no other code runs while
// leaves are written either.
enum class MemberStep : uint8_t {
    Written,        // written in place; the walk goes on
    Handed,         // handed over to be written whole, key included
    HandedNonLeaf,  // handed over with its key written: a value that is no leaf
    Failed,         // the error recorded, or an exception pending: the walk stops
    End,            // no member left
};

// Members written per hold of a container's lock at most: a thread waiting
// to change the container gets its turn at least this often.
constexpr int kMembersPerHold = 256;

inline bool is_handed(MemberStep step) noexcept {
    return step == MemberStep::Handed || step == MemberStep::HandedNonLeaf;
}

// Runs `step` inside `container`'s critical section until it returns
// something other than Written, leaving and entering the section again
// every kMembersPerHold members.
template <typename Step>
inline MemberStep step_in_critical_section([[maybe_unused]] PyObject* container, Step&& step) noexcept {
    MemberStep result;
#ifdef Py_GIL_DISABLED
    do {
        Py_BEGIN_CRITICAL_SECTION(container);
        int held = 0;
        do {
            result = step();
        } while (result == MemberStep::Written && ++held < kMembersPerHold);
        Py_END_CRITICAL_SECTION();
    } while (result == MemberStep::Written);
#else
    // With the GIL there is no section to leave, and no one waiting for it.
    do {
        result = step();
    } while (result == MemberStep::Written);
#endif
    return result;
}

// next(visit) returns Handed or HandedNonLeaf with `member` set, End, or
// Failed.  `visit(key, value)` is given each member in turn, key null for
// an array, as borrowed references.  It opens the member (separator,
// indentation) and writes what it can: all of it (Written), the key only
// (HandedNonLeaf) or nothing more (Handed); or it fails.  A dictionary
// walk's `name` then holds the key's text still to be written, or null.
// Each next() is inlined into its container's writer: with the writing of
// leaves out of line (write_leaf), that keeps a nesting level's frame
// small and costs no call per step.

// List walk, safe while the list changes under it.  `size` is the length
// when the walk began, so members that a hook appends are not written.  A
// hook or another thread may also shrink the list or drop the list's
// reference to a member: each item is read against the list's current
// length, so the walk ends at the current end instead of reading past it.
// The list itself is kept alive by whoever holds the value being encoded.
//
// Items are read inside the list's critical section, which every change to
// the list takes too.  PyList_GetItemRef's lock-free read is not enough on
// 3.13: it checks the index against the array's capacity rather than the
// length, so a slot that another thread has just cut off (and whose item it
// has released) can still be read.  Under the sanitizers, with a list
// shrunk and refilled by another thread, that read handed back freed
// objects.
struct ListWalk {
    PyObject* list;
    Py_ssize_t size;
    Py_ssize_t index = 0;
    OwnedRef member;

    static constexpr bool kIsObject = false;
    explicit ListWalk(PyObject* l) noexcept : list(l), size(PyList_GET_SIZE(l)) {}

    template <typename Visit>
    [[gnu::always_inline]] MemberStep next(Visit& visit) noexcept {
        PyObject* item = nullptr;
        const MemberStep step = step_in_critical_section(list, [&]() noexcept {
            if (index >= size || index >= PyList_GET_SIZE(list)) return MemberStep::End;
            item = PyList_GET_ITEM(list, index);
            index++;
            const MemberStep visited = visit(nullptr, item);
            if (is_handed(visited)) Py_INCREF(item);
            return visited;
        });
        if (is_handed(step)) member.reset(item);
        return step;
    }
};

// A tuple's items never change while the tuple lives: no lock, and the
// tuple's own references keep its leaves alive while they are written.  A
// member handed over still gets its own reference, as in every walk.
struct TupleWalk {
    PyObject* tuple;
    Py_ssize_t size;
    Py_ssize_t index = 0;
    OwnedRef member;

    static constexpr bool kIsObject = false;
    explicit TupleWalk(PyObject* t) noexcept : tuple(t), size(PyTuple_GET_SIZE(t)) {}

    template <typename Visit>
    [[gnu::always_inline]] MemberStep next(Visit& visit) noexcept {
        while (index < size) {
            PyObject* const candidate = PyTuple_GET_ITEM(tuple, index);
            index++;
            const MemberStep step = visit(nullptr, candidate);
            if (step == MemberStep::Written) continue;
            if (is_handed(step)) member.reset(Py_NewRef(candidate));
            return step;
        }
        return MemberStep::End;
    }
};

// Insertion-order walk.  Each step runs inside the dictionary's critical
// section; a member handed over gets strong references to key and value
// before the section ends: another thread, or a hook run while the member
// is encoded, may remove the entry and release the dictionary's own
// references, but ours keep both alive (the value in `member` until the
// next member is handed over).  PyDict_Next checks the saved position
// against the table as it is now, so a dictionary that changed between
// steps is never read past its end.  The key's str() runs outside the
// critical section.  The caller keeps the dictionary alive.
struct DictWalk {
    PyObject* dict;
    Py_ssize_t position = 0;
    OwnedRef member;
    OwnedRef name;

    static constexpr bool kIsObject = true;
    explicit DictWalk(PyObject* d) noexcept : dict(d) {}

    template <typename Visit>
    [[gnu::always_inline]] MemberStep next(Visit& visit) noexcept {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        const MemberStep step = step_in_critical_section(dict, [&]() noexcept {
            if (!PyDict_Next(dict, &position, &key, &value)) return MemberStep::End;
            const MemberStep visited = visit(key, value);
            if (visited == MemberStep::Handed) Py_INCREF(key);
            if (is_handed(visited)) Py_INCREF(value);
            return visited;
        });
        if (!is_handed(step)) return step;
        member.reset(value);
        if (step == MemberStep::HandedNonLeaf) {
            name.reset();
            return step;
        }
        // Outside the critical section: str(key) may run.
        return set_key_text(name, key) ? step : MemberStep::Failed;
    }
};

// Sorted walk.  The first step takes one snapshot of the (key, value) pairs
// under the dictionary's critical section: the keys into a list of our own,
// each value beside its key's address in an array of our own, all as strong
// references.  The key list is sorted with PyList_Sort (the keys' own `<`,
// nothing else), and each value is found again by its key's address, which
// needs no hashing and no comparison: no user code runs after the sort.
// The walk writes the snapshot, so whatever a comparison, a hook or another
// thread does to the dictionary meanwhile, every pair stays alive and in
// place, since nothing else can reach our list or array.
struct SortedDictWalk {
    struct Pair {
        PyObject* key;    // borrowed: `keys` holds the reference
        PyObject* value;  // owned
    };

    PyObject* dict;
    OwnedRef keys;
    Pair* pairs = nullptr;  // ordered by key address once sorted
    Py_ssize_t size = 0;
    Py_ssize_t index = 0;
    OwnedRef member;
    OwnedRef name;

    static constexpr bool kIsObject = true;
    explicit SortedDictWalk(PyObject* d) noexcept : dict(d) {}
    SortedDictWalk(const SortedDictWalk&) = delete;
    SortedDictWalk& operator=(const SortedDictWalk&) = delete;
    ~SortedDictWalk() {
        for (Py_ssize_t i = 0; i < size; ++i) Py_DECREF(pairs[i].value);
        PyMem_Free(pairs);
    }

    [[gnu::noinline]] bool take_sorted_snapshot() noexcept {
        bool made = false;
        Py_BEGIN_CRITICAL_SECTION(dict);
        const Py_ssize_t count = PyDict_GET_SIZE(dict);
        keys.reset(PyList_New(count));
        pairs = keys ? PyMem_New(Pair, size_t(count) + 1) : nullptr;
        if (pairs) {
            Py_ssize_t position = 0;
            PyObject* key;
            PyObject* value;
            // The count was read under the same lock, so the entries fit.
            while (size < count && PyDict_Next(dict, &position, &key, &value)) {
                PyList_SET_ITEM(keys.get(), size, Py_NewRef(key));
                pairs[size] = {key, Py_NewRef(value)};
                ++size;
            }
            made = true;
        }
        Py_END_CRITICAL_SECTION();
        if (!made) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            return false;
        }
        if (PyList_Sort(keys.get()) < 0) return false;
        std::sort(pairs, pairs + size,
                  [](const Pair& a, const Pair& b) { return std::less<PyObject*>()(a.key, b.key); });
        return true;
    }

    // The snapshot's own references keep each pair alive: leaves need no
    // lock here.
    template <typename Visit>
    [[gnu::always_inline]] MemberStep next(Visit& visit) noexcept {
        if (!keys && !take_sorted_snapshot()) return MemberStep::Failed;
        while (index < size) {
            // Our own list: no one else can change it, and the sort keeps
            // every key it was given, so each one has its pair.
            PyObject* const key = PyList_GET_ITEM(keys.get(), index);
            const Pair* found = std::lower_bound(pairs, pairs + size, key, [](const Pair& a, PyObject* k) {
                return std::less<PyObject*>()(a.key, k);
            });
            index++;
            const MemberStep step = visit(key, found->value);
            if (step == MemberStep::Written) continue;
            if (step == MemberStep::HandedNonLeaf) name.reset();
            else if (step != MemberStep::Handed) return step;
            else if (!set_key_text(name, Py_NewRef(key))) return MemberStep::Failed;
            member.reset(Py_NewRef(found->value));
            return step;
        }
        return MemberStep::End;
    }
};

// ---- containers ------------------------------------------------------------------

inline void encode_value(PyObject* obj, Encoder* enc, PyObject* keyName) noexcept;
inline void encode_non_leaf(PyObject* obj, Encoder* enc) noexcept;

// The walks' visit, which writes the members of one container as far as it
// can from the walk's borrowed references: room, separator and indentation
// before each; then, one level down, a key that is its own text and a leaf
// value.  A member beyond the depth bound is handed over before its key,
// so that the bound's error is raised where it always is.  A record of its
// own rather than a lambda over the caller's locals: it is in the frame of
// every nesting level, and kept small there.
template <bool kIndented, bool kIsObject>
struct MemberWriter {
    Encoder* enc;
    size_t room;  // per member, for the separator, a line break and indentation
    bool first = true;

    explicit MemberWriter(Encoder* e) noexcept
        : enc(e),
          room(e->memberRoom +
               (kIndented ? static_cast<size_t>(e->indent) * static_cast<size_t>(e->level + 1) : 0)) {}

    // A member handed over is written one level down: enc->level is raised
    // for it here and lowered once it is written.  Leaves and keys do not
    // read the level, so a leaf leaves it as it is.
    MemberStep operator()([[maybe_unused]] PyObject* key, PyObject* value) noexcept {
        Buffer_EnsureRoom(enc, room);
        if (enc->errorMsg) return MemberStep::Failed;
        if (!first)
            Buffer_AppendSeparatorUnchecked(enc, enc->itemSeparatorHead, enc->itemSeparator,
                                            static_cast<size_t>(enc->itemSeparatorLength));
        first = false;
        const int32_t memberLevel = enc->level + 1;
        if constexpr (kIndented) {
            Buffer_AppendCharUnchecked(enc, '\n');
            Buffer_AppendIndentUnchecked(enc, memberLevel);
        }
        if (memberLevel > kRecursionMax) return hand_over(memberLevel, MemberStep::Handed);
        if constexpr (kIsObject) {
            if (!key_is_own_text(key)) return hand_over(memberLevel, MemberStep::Handed);
            if (!write_key(enc, key)) return MemberStep::Failed;
        }
        if (!write_leaf(value, enc)) return hand_over(memberLevel, MemberStep::HandedNonLeaf);
        return enc->errorMsg ? MemberStep::Failed : MemberStep::Written;
    }

    MemberStep hand_over(int32_t memberLevel, MemberStep step) noexcept {
        enc->level = memberLevel;
        return step;
    }
};

// The members of a container between its brackets.  Leaves are written by
// the walk's visit; the walk owns each member it hands over while it is
// written.  One loop for indented output and one for the rest, which has no
// line breaks or indentation to test for per member.
template <bool kIndented, typename Walk>
void walk_members(Encoder* enc, Walk& walk) noexcept {
    const int32_t level = enc->level;
    Buffer_EnsureRoom(enc, 1);
    if (enc->errorMsg) return;
    Buffer_AppendCharUnchecked(enc, Walk::kIsObject ? '{' : '[');

    MemberWriter<kIndented, Walk::kIsObject> members(enc);
    for (;;) {
        const MemberStep step = walk.next(members);
        if (step == MemberStep::HandedNonLeaf) {
            encode_non_leaf(walk.member.get(), enc);
        } else if (step == MemberStep::Handed) {
            PyObject* keyName = nullptr;
            if constexpr (Walk::kIsObject) keyName = walk.name.get();
            encode_value(walk.member.get(), enc, keyName);
        } else if (step == MemberStep::End) {
            break;
        } else {
            if (!enc->errorMsg) fail_invalid(enc);  // the pending exception wins
            return;
        }
        if (enc->errorMsg) return;
    }

    const size_t indent = kIndented ? static_cast<size_t>(enc->indent) : 0;
    Buffer_EnsureRoom(enc, indent * static_cast<size_t>(level) + 2);
    if (enc->errorMsg) return;
    if constexpr (kIndented) {
        if (!members.first) {
            Buffer_AppendCharUnchecked(enc, '\n');
            Buffer_AppendIndentUnchecked(enc, level);
        }
    }
    Buffer_AppendCharUnchecked(enc, Walk::kIsObject ? '}' : ']');
}

template <typename Walk>
inline void walk_container(Encoder* enc, Walk& walk) noexcept {
    if (enc->indent > 0) walk_members<true>(enc, walk);
    else walk_members<false>(enc, walk);
}

// One writer per container kind, each entering one level of the nesting
// bound shared with nested calls.  Out of line, so that a walk's fields cost
// the stack only while its container is open: a level of nesting is one of
// these frames (with encode() inlined into it).
template <typename Walk, typename... Args>
void write_container(Encoder* enc, Args... args) noexcept {
    if (!enter_nesting(enc->stackFloor, kNestingContext)) {
        enc->errorMsg = kErrRecursion;  // the pending RecursionError wins
        return;
    }
    Walk walk(args...);
    walk_container(enc, walk);
    leave_nesting(enc->stackFloor);
}

[[gnu::noinline]] void write_list(PyObject* list, Encoder* enc) noexcept { write_container<ListWalk>(enc, list); }

[[gnu::noinline]] void write_tuple(PyObject* tuple, Encoder* enc) noexcept {
    write_container<TupleWalk>(enc, tuple);
}

// `dict` is kept alive by the caller for the whole walk.
[[gnu::noinline]] void write_dict_in_order(PyObject* dict, Encoder* enc) noexcept {
    write_container<DictWalk>(enc, dict);
}

[[gnu::noinline]] void write_dict_sorted(PyObject* dict, Encoder* enc) noexcept {
    write_container<SortedDictWalk>(enc, dict);
}

inline void write_dict(PyObject* dict, Encoder* enc) noexcept {
    if (enc->sortKeys) write_dict_sorted(dict, enc);
    else write_dict_in_order(dict, enc);
}

// ---- the common exact types --------------------------------------------------------

// Writes `obj` when it is an exact list, dict or tuple; false otherwise.
inline bool write_common_container(PyObject* obj, Encoder* enc) noexcept {
    PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyList_Type) write_list(obj, enc);
    else if (type == &PyDict_Type) write_dict(obj, enc);
    else if (type == &PyTuple_Type) write_tuple(obj, enc);
    else return false;
    return true;
}

// Writes `obj` when it is one of the common exact types, tested in order of
// frequency; false when it is none of them.  None of these types can match
// an earlier step of the full classification order, nor be a Decimal, so
// writing them first changes no outcome.
inline bool write_common_type(PyObject* obj, Encoder* enc) noexcept {
    return write_leaf(obj, enc) || write_common_container(obj, enc);
}

// ---- the full classification order -------------------------------------------------

// 1 when `obj` has the attribute `name`, 0 when it has not, -1 when the
// lookup raised anything but AttributeError (which then propagates).
[[gnu::noinline]] int lookup_hook(PyObject* obj, const char* name) noexcept {
    PyObject* attribute = nullptr;
    const int found = PyObject_GetOptionalAttrString(obj, name, &attribute);
    Py_XDECREF(attribute);
    return found;
}

// 1 when `obj` is an instance of decimal.Decimal, 0 when not (always when
// `decimal` could not be imported), -1 when the instance check raised: it
// may run user code (a __class__ property, a metaclass's __instancecheck__).
int is_decimal(PyObject* obj, const Encoder* enc) noexcept {
    if (!enc->decimalType) return 0;
    return PyObject_IsInstance(obj, enc->decimalType);
}

[[gnu::noinline]] void write_to_dict_result(PyObject* obj, Encoder* enc) noexcept {
    OwnedRef result(PyObject_CallMethod(obj, "toDict", nullptr));
    if (!result) return fail_invalid(enc);
    if (!PyType_HasFeature(Py_TYPE(result.get()), Py_TPFLAGS_DICT_SUBCLASS)) {
        PyErr_Format(PyExc_TypeError, "toDict() should return a dict, got %s", Py_TYPE(result.get())->tp_name);
        return fail_invalid(enc);
    }
    write_dict(result.get(), enc);  // `result` may be its only owner
}

[[gnu::noinline]] void write_json_method_result(PyObject* obj, Encoder* enc) noexcept {
    OwnedRef result(PyObject_CallMethod(obj, "__json__", nullptr));
    if (!result) return fail_invalid(enc);
    if (!PyBytes_Check(result.get()) && !PyUnicode_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__json__() should return str or bytes, got %s",
                     Py_TYPE(result.get())->tp_name);
        return fail_invalid(enc);
    }
    write_raw(result.get(), enc);  // reserves the room it needs
}

// Raises "<repr> is not JSON serializable"; any failure on the way (repr,
// its UTF-8 encoding) stands instead.
[[gnu::noinline]] void raise_not_serializable(PyObject* obj) noexcept {
    OwnedRef repr(PyObject_Repr(obj));
    if (!repr) return;
    OwnedRef utf8(PyUnicode_AsEncodedString(repr.get(), nullptr, "strict"));
    if (!utf8) return;
    // %U rather than the bytes through %s, so that a repr holding a NUL is
    // not cut short; for every other repr the text is the same.
    PyErr_Format(PyExc_TypeError, "%U is not JSON serializable", repr.get());
}

// A value that is not one of the common exact types, in the full order:
// bool, int subclasses, bytes (unless rejected), str subclasses, float
// subclasses and Decimal, dict, list and tuple subclasses, toDict(),
// __json__(), then `default`, whose result is classified again from the
// start.  Out of line: only this path pays for its frame.
[[gnu::noinline]] void encode_classified(PyObject* obj, Encoder* enc) noexcept {
    OwnedRef substitute;  // the latest result of `default`: its only owner, maybe
    PyObject* current = obj;
    for (int defaultCalls = 0;; ++defaultCalls) {
        if (current != obj && write_common_type(current, enc)) return;
        PyTypeObject* const type = Py_TYPE(current);
        if (type == &PyBool_Type) return write_literal(enc, current == Py_True ? "true" : "false",
                                                       current == Py_True ? 4 : 5);
        if (PyType_HasFeature(type, Py_TPFLAGS_LONG_SUBCLASS)) return write_integer(current, enc);
        if (PyType_HasFeature(type, Py_TPFLAGS_BYTES_SUBCLASS) && !enc->rejectBytes)
            return write_bytes(current, enc);
        if (PyType_HasFeature(type, Py_TPFLAGS_UNICODE_SUBCLASS)) return write_str(current, enc);
        if (PyType_IsSubtype(type, &PyFloat_Type)) return write_float_object(current, enc);
        const int decimal = is_decimal(current, enc);
        if (decimal < 0) return fail_invalid(enc);
        if (decimal) return write_float_object(current, enc);
        if (PyType_HasFeature(type, Py_TPFLAGS_DICT_SUBCLASS)) return write_dict(current, enc);
        if (PyType_HasFeature(type, Py_TPFLAGS_LIST_SUBCLASS)) return write_list(current, enc);
        if (PyType_HasFeature(type, Py_TPFLAGS_TUPLE_SUBCLASS)) return write_tuple(current, enc);

        int found = lookup_hook(current, "toDict");
        if (found < 0) return fail_invalid(enc);
        if (found) return write_to_dict_result(current, enc);
        found = lookup_hook(current, "__json__");
        if (found < 0) return fail_invalid(enc);
        if (found) return write_json_method_result(current, enc);

        if (!enc->defaultFn) {
            raise_not_serializable(current);
            return fail_invalid(enc);
        }
        if (defaultCalls == kDefaultCallBudget) {
            PyErr_SetString(PyExc_TypeError, kErrDefaultBudget);
            return fail_invalid(enc);
        }
        PyObject* next = PyObject_CallOneArg(enc->defaultFn, current);
        if (!next) return fail_invalid(enc);
        // The previous substitute (the argument just passed) is released
        // only now, after the call.
        substitute.reset(next);
        current = next;
    }
}

// Inlined into each container writer, so that a level of nesting is one
// frame; what would enlarge that frame (keys, long strings, rare types) is
// kept out of line.
[[gnu::always_inline]] inline void encode_value(PyObject* obj, Encoder* enc, PyObject* keyName) noexcept {
    if (enc->level > kRecursionMax) {
        enc->errorMsg = kErrRecursion;
        return;
    }
    if (enc->errorMsg) return;
    if (keyName && !write_key(enc, keyName)) return;
    if (!write_common_type(obj, enc)) encode_classified(obj, enc);
    enc->level--;
}

// A member the walk's visit has opened, keyed and found to be no leaf.
[[gnu::always_inline]] inline void encode_non_leaf(PyObject* obj, Encoder* enc) noexcept {
    if (!write_common_container(obj, enc)) encode_classified(obj, enc);
    enc->level--;
}

}  // namespace

// ---- encode ------------------------------------------------------------------------

const char* str_utf8(PyObject* str, Py_ssize_t* length, OwnedRef* holder) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        *length = PyUnicode_GET_LENGTH(str);
        return static_cast<const char*>(PyUnicode_DATA(str));
    }
    holder->reset(PyUnicode_AsEncodedString(str, nullptr, "surrogatepass"));
    if (!*holder) return nullptr;
    *length = PyBytes_GET_SIZE(holder->get());
    return PyBytes_AS_STRING(holder->get());
}

void encode(PyObject* obj, Encoder* enc) noexcept {
    encode_value(obj, enc, nullptr);
}
