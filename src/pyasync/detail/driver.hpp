// The driver of a chain of C++ frames, and how errors cross the bridge into C++.
#pragma once

#include <coroutine>

#include "pyasync/detail/fwd.hpp"

namespace pyasync::detail {

// Everything one Python-driven chain of C++ frames shares: the frame to resume next and what the
// awaited Python iterator (if any) has yielded or returned. Each Python-visible object owns one;
// a C++ frame awaited directly borrows its awaiter's.
//
// Frames hand control to one another (a reader to the generator it reads, a generator back to its
// reader) through the driver's loop, not by resuming one another: the stack stays flat however
// many items pass without suspending, whether or not the compiler turns the hand-offs into tail
// calls. Each frame run directly counts towards Python's recursion limit, as a Python frame
// does, for as long as it runs; the whole chain counts again whenever it is resumed.
struct Driver {
    Driver() = default;
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;
    ~Driver() { clear(); }
    void clear() noexcept;

    // A frame is about to run another directly. False, counting nothing, at the recursion limit.
    bool enter() noexcept {
        if (tstate->py_recursion_remaining <= 0) {
            return false;
        }
        --tstate->py_recursion_remaining;
        ++depth;
        return true;
    }
    // The frame run directly hands control back.
    void leave() noexcept {
        ++tstate->py_recursion_remaining;
        --depth;
    }

    std::coroutine_handle<> current;  // innermost suspended frame; the next input resumes it
    std::coroutine_handle<> next;     // frame the loop resumes next
    PyThreadState *tstate = nullptr;  // the thread running the loop
    int depth = 0;                    // frames run directly below the root, now
    PyObject *delegate = nullptr;     // Python iterator `current` awaits (owned)
    PyObject *yielded = nullptr;      // its first yielded value on the way out (owned)
    PyObject *in_value = nullptr;     // input for `current`: await result / value sent at co_yield
    PyObject *in_error = nullptr;     // ...or the exception to raise there (owned)
};

// The bridge raises one way: a Python exception object, made with the C-API (below, or the error
// a failed call left pending), raised into C++ as nb::python_error by raise_owned.

// Raises `exc` (a reference that is consumed) as nb::python_error.
[[noreturn]] void raise_owned(PyObject *exc);
// A new exception of `type` (an owned reference).
PyObject *new_error(PyObject *type, const char *msg) noexcept;
PyObject *new_error_format(PyObject *type, const char *format, ...) noexcept;
// The RecursionError of a frame that may not run another directly (an owned reference).
PyObject *recursion_error() noexcept;
// The exception being handled, as an owned Python exception object.
PyObject *capture_exception() noexcept;
// PEP 479: StopIteration (and `stop_async`, when given, StopAsyncIteration) escaping a body
// becomes RuntimeError. Consumes and returns a reference.
PyObject *guard_stop(PyObject *exc, const char *stop, const char *stop_async) noexcept;
// The exception a body ends with, being handled, kept for raising (guard_stop applied): what a promise's
// unhandled_exception keeps, out of every body.
PyObject *body_error(const char *stop, const char *stop_async) noexcept;

}  // namespace pyasync::detail
