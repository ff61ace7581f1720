// dumps()/encode() and dump(): argument parsing, the per-call Encoder, the
// output region and the final str.
#include <algorithm>

#include "codec/codec.h"
#include "codec/encode.h"
#include "codec/file_method.h"
#include "codec/nesting.h"
#include "codec/output_buffer.h"
#include "codec/owned_ref.h"

namespace {

// The output starts in a region of this size in the call's frame and moves
// to the heap when it outgrows it.  Small, so that dumps() costs a thread
// with a small stack little of it; a document that needs more pays a few
// more doublings of the buffer, each a copy of what is written so far.
constexpr size_t kStackRegionSize = 4096;
constexpr int kMaxIndent = 1000;

// Releases the buffer's str, once the text has moved off the stack and
// unless it became the result, and the key cache, whichever way the call
// leaves.
struct EncoderResources {
    Encoder* enc;
    ~EncoderResources() {
        Buffer_Release(enc);
        KeyCache_Release(&enc->keyCache);
    }
};

// Separators into enc; false with an exception set.  The holders own the
// bytes objects made for non-ASCII separators.
bool set_separators(Encoder* enc, PyObject* separators, OwnedRef* itemHolder,
                          OwnedRef* keyHolder) noexcept {
    if (!separators || separators == Py_None) {
        enc->itemSeparator = ",";
        enc->itemSeparatorLength = 1;
        enc->keySeparator = enc->indent == 0 ? ":" : ": ";
        enc->keySeparatorLength = enc->indent == 0 ? 1 : 2;
        return true;
    }
    if (!PyTuple_Check(separators)) {
        PyErr_SetString(PyExc_TypeError, "expected tuple or None as separator");
        return false;
    }
    if (PyTuple_GET_SIZE(separators) != 2) {
        PyErr_SetString(PyExc_ValueError, "expected tuple of size 2 as separator");
        return false;
    }
    PyObject* item = PyTuple_GET_ITEM(separators, 0);
    PyObject* key = PyTuple_GET_ITEM(separators, 1);
    if (!PyUnicode_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "expected str as item separator");
        return false;
    }
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "expected str as key separator");
        return false;
    }
    Py_ssize_t length = 0;
    enc->itemSeparator = str_utf8(item, &length, itemHolder);
    if (!enc->itemSeparator) return false;
    enc->itemSeparatorLength = length;
    Buffer_NoteRawBytes(enc, enc->itemSeparator, static_cast<size_t>(length));
    enc->keySeparator = str_utf8(key, &length, keyHolder);
    if (!enc->keySeparator) return false;
    enc->keySeparatorLength = length;
    Buffer_NoteRawBytes(enc, enc->keySeparator, static_cast<size_t>(length));
    return true;
}

// The padded heads of the separators (the Encoder starts zero-filled), and
// the room a member reserves for its separator.
void set_separator_heads(Encoder* enc) noexcept {
    memcpy(enc->itemSeparatorHead, enc->itemSeparator,
           std::min(static_cast<size_t>(enc->itemSeparatorLength), kSeparatorHead));
    memcpy(enc->keySeparatorHead, enc->keySeparator,
           std::min(static_cast<size_t>(enc->keySeparatorLength), kSeparatorHead));
    enc->memberRoom = Buffer_SeparatorRoom(static_cast<size_t>(enc->itemSeparatorLength)) + 1;
}

// Walks `obj` into the buffer, which starts in a region of this frame, and
// makes the text a str, or the recorded error an exception.  A
// hook that calls dumps again nests a whole call, with a region of its own,
// in this one.
PyObject* run_encoder(Encoder* enc, PyObject* obj) noexcept {
    char region[kStackRegionSize];
    enc->start = enc->offset = region;
    enc->end = region + kStackRegionSize;
    enc->text = nullptr;
    EncoderResources resources{enc};

    encode(obj, enc);

    if (enc->errorMsg) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_OverflowError, "%s", enc->errorMsg);
        return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return Buffer_Finish(enc);
}

}  // namespace

PyObject* quelt_dumps(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* const kwlist[] = {
        "obj", "ensure_ascii", "encode_html_chars", "escape_forward_slashes", "sort_keys",
        "indent", "allow_nan", "reject_bytes", "default", "separators", nullptr,
    };
    PyObject* obj = nullptr;
    int ensureAscii = 1;
    int encodeHTMLChars = 0;
    int escapeForwardSlashes = 1;
    int sortKeys = 0;
    int indent = 0;
    int allowNan = 1;
    int rejectBytes = 1;
    PyObject* defaultFn = nullptr;
    PyObject* separators = nullptr;
    Encoder enc{};

    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|ppppippOO", kwlist, &obj, &ensureAscii,
                                     &encodeHTMLChars, &escapeForwardSlashes, &sortKeys, &indent,
                                     &allowNan, &rejectBytes, &defaultFn, &separators)) {
        return nullptr;
    }
    // The arguments may come from a keyword dictionary that the caller, or a
    // hook during the walk, can change: our own references keep the root,
    // `default` and the separator strings alive until the call returns.
    OwnedRef rootRef(Py_NewRef(obj));
    OwnedRef defaultRef(Py_XNewRef(defaultFn));
    OwnedRef separatorsRef(Py_XNewRef(separators));

    enc.escape.ensureAscii = ensureAscii != 0;
    enc.escape.encodeHTMLChars = encodeHTMLChars != 0;
    enc.escape.escapeForwardSlashes = escapeForwardSlashes != 0;
    enc.sortKeys = sortKeys ? 1 : 0;
    enc.rejectBytes = rejectBytes ? 1 : 0;
    if (defaultFn && defaultFn != Py_None) enc.defaultFn = defaultFn;
    // The module state lives as long as the module, which the method object
    // holding this function keeps alive during the call.
    const module_state* state = module_state_of(module);
    enc.decimalType = state->decimal_type;
    enc.stackFloor = thread_stack_floor();
    if (!stack_has_room(enc.stackFloor, kNestingContext)) return nullptr;

    if (indent < -1) indent = -1;
    if (indent > kMaxIndent) {
        PyErr_SetString(PyExc_ValueError, "Maximum allowed indentation is 1000");
        return nullptr;
    }
    enc.indent = indent;

    OwnedRef itemSeparatorHolder;
    OwnedRef keySeparatorHolder;
    if (!set_separators(&enc, separators, &itemSeparatorHolder, &keySeparatorHolder))
        return nullptr;
    set_separator_heads(&enc);

    enc.allowNan = allowNan ? 1 : 0;
    return run_encoder(&enc, obj);
}

PyObject* quelt_dump(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* obj = nullptr;
    PyObject* fp = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &obj, &fp)) return nullptr;

    OwnedRef write(file_method(fp, "write"));
    if (!write) return nullptr;

    OwnedRef dumpsArgs(PyTuple_Pack(1, obj));
    if (!dumpsArgs) return nullptr;
    OwnedRef text(quelt_dumps(module, dumpsArgs.get(), kwargs));
    if (!text) return nullptr;

    OwnedRef writeArgs(PyTuple_Pack(1, text.get()));
    if (!writeArgs) return nullptr;
    OwnedRef result(PyObject_CallObject(write.get(), writeArgs.get()));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}
