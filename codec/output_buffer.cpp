// Growth of the encoder's output buffer.
#include "codec/output_buffer.h"

// Capacity doubles until it reaches capacity + needed.  The first growth
// moves the text off the caller's stack region.  On failure the old block
// stays in place (the entry function still frees it) and the error is
// recorded.
void Buffer_Realloc(Encoder* enc, size_t needed) noexcept {
    const size_t room = static_cast<size_t>(enc->end - enc->offset);
    if (room >= needed) return;
    const size_t capacity = static_cast<size_t>(enc->end - enc->start);
    const size_t used = static_cast<size_t>(enc->offset - enc->start);
    constexpr size_t kLimit = static_cast<size_t>(PY_SSIZE_T_MAX);
    if (needed > kLimit - capacity) {
        enc->errorMsg = kErrNoMemory;
        return;
    }
    const size_t target = capacity + needed;
    size_t newCapacity = capacity;
    while (newCapacity < target) {
        // Near the allocator's limit take just what is needed.
        newCapacity = newCapacity > kLimit / 2 ? target : newCapacity * 2;
    }

    char* block;
    if (enc->heap) {
        block = static_cast<char*>(PyObject_Realloc(enc->start, newCapacity));
    } else {
        block = static_cast<char*>(PyObject_Malloc(newCapacity));
        if (block) memcpy(block, enc->start, used);
    }
    if (!block) {
        enc->errorMsg = kErrNoMemory;
        return;
    }
    enc->heap = 1;
    enc->start = block;
    enc->offset = block + used;
    enc->end = block + newCapacity;
}
