// Raising Python exceptions from C++, and turning the C-API's error returns into C++ exceptions.
//
// One convention throughout: a helper either returns a usable value or throws nb::python_error; it
// never returns a null object with an error set.
#pragma once

#include <cstdarg>

#include <nanobind/nanobind.h>

namespace pyhost {
namespace nb = nanobind;

// The new reference a C-API call returned, or the error it set, raised.
inline nb::object owned(PyObject *result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// The status a C-API call returned (0 or more), or the error it set (-1), raised.
inline int status(int result) {
    if (result < 0) throw nb::python_error();
    return result;
}

// Raise this very exception object (its type, traceback and chain kept) as a C++ exception.
[[noreturn]] inline void raise(nb::handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
}

// Raise a new `type` whose message is formatted as PyErr_Format formats it: one way for every
// builtin type, where nanobind's own exception classes cover only some. A host string goes in
// through %U, which keeps it as it is (lone surrogates included); a literal `%` is written `%%`.
[[noreturn]] inline void raise(nb::handle type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type.ptr(), format, args);
    va_end(args);
    throw nb::python_error();
}

// Raise a new `type` formatted as above, as `raise type(message) from cause` would: cause and
// context both `cause`, whatever exception the calling code happens to be handling.
[[noreturn]] inline void raise_from(nb::handle cause, nb::handle type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type.ptr(), format, args);
    va_end(args);
    PyObject *exception = PyErr_GetRaisedException();
    PyException_SetCause(exception, Py_NewRef(cause.ptr()));
    PyException_SetContext(exception, Py_NewRef(cause.ptr()));
    PyErr_SetRaisedException(exception);
    throw nb::python_error();
}

// Installs, once for the library's modules, the translation of the C++ exceptions that carry no words of the
// library's own: a failed conversion of a value (nanobind's cast error) becomes TypeError, a failed allocation
// MemoryError, any other such exception RuntimeError, each in the library's words, never the C++ library's
// ("std::bad_cast"). Both ways a C++ exception reaches Python go through it: a bound function's call, and a
// bridge coroutine's frame. Exceptions thrown with words of the library's own (std::logic_error,
// std::runtime_error and their kinds, nanobind's Python exception types) keep them.
void install_error_translation();

// Makes `error` the interpreter's "exception being handled" while it lives, so that logging with
// exc_info=True records it as an `except` block in Python would.
class HandledException {
public:
    explicit HandledException(nb::handle error) : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(error.ptr());
    }
    HandledException(const HandledException &) = delete;
    HandledException &operator=(const HandledException &) = delete;
    ~HandledException() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }

private:
    PyObject *previous_;
};

}  // namespace pyhost
