// The bound on nesting that holds across calls: a hook of one call may call
// quelt again, on a thread whose stack may be far smaller than the main
// thread's, and the per-call depth limits alone cannot see either.  Each
// array or object, in both codecs, enters one level here before it recurses,
// and each call tests the room left before it starts: a hook on a scalar
// (`default` returning dumps() of its argument) nests whole calls with no
// container between them.
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

// Whether the thread's stack has room for one more level or call: false,
// with RecursionError set, when it is nearly used up.  Always true where the
// floor is unknown (0).  `where` completes the message, as in " while
// encoding a JSON document".
inline bool stack_has_room(uintptr_t stackFloor, const char* where) noexcept {
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) >= stackFloor) [[likely]]
        return true;
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return false;
}

// Enters one level of nesting.  Where the floor is known, its test is the
// whole bound: it sees nested quelt calls and small thread stacks alike, and
// costs a compare instead of two calls into the interpreter per container.
// Where the platform cannot tell the floor, the interpreter's recursion
// budget for C calls on this thread stands in for it.  Every true is paired
// with leave_nesting() given the same floor.
inline bool enter_nesting(uintptr_t stackFloor, const char* where) noexcept {
    if (stackFloor == 0) return Py_EnterRecursiveCall(where) == 0;
    return stack_has_room(stackFloor, where);
}

inline void leave_nesting(uintptr_t stackFloor) noexcept {
    if (stackFloor == 0) Py_LeaveRecursiveCall();
}
