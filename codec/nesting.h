// The bound on nesting that holds across calls: a hook of one call may call
// quelt again, on a thread whose stack may be far smaller than the main
// thread's, and the per-call depth limits alone cannot see either.  Each
// array or object, in both codecs, enters one level here before it recurses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace nesting_detail {

// Lowest usable stack address of the calling thread plus a margin for the
// calls made between two checks (a hook, an error message), or 0 when the
// platform cannot tell.  The margin is a sixteenth of the stack, within 8 KiB
// to 64 KiB, so that a small stack is not mostly margin.  (Stacks grow
// downwards on every platform quelt builds for.)
inline uintptr_t compute_stack_floor() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* low = nullptr;
    size_t size = 0;
    const int failed = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (failed || !low || !size) return 0;
    const size_t margin = std::clamp<size_t>(size / 16, 8 * 1024, 64 * 1024);
    return reinterpret_cast<uintptr_t>(low) + margin;
}

}  // namespace nesting_detail

// The calling thread's stack floor, found once per thread (it reads the
// thread's attributes, which for the main thread means /proc) and then kept
// in a thread-local variable: nothing here is shared between threads.
inline uintptr_t thread_stack_floor() noexcept {
    static thread_local uintptr_t floor = nesting_detail::compute_stack_floor();
    return floor;
}

// Enters one level of nesting.  False, with RecursionError set, when the
// thread's stack is nearly used up or the interpreter's recursion budget
// (shared with every other C call on this thread, nested quelt calls
// included) is spent.  Every true is paired with leave_nesting().
// `where` completes the message, as in " while encoding a JSON document".
inline bool enter_nesting(uintptr_t stackFloor, const char* where) noexcept {
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stackFloor) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    return Py_EnterRecursiveCall(where) == 0;
}

inline void leave_nesting() noexcept { Py_LeaveRecursiveCall(); }
