// Raising Python exceptions from C++, and turning the C-API's error returns into C++ exceptions.
//
// One convention throughout: a helper either returns a usable value or throws nb::python_error; it
// never returns a null object with an error set.
#pragma once

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

// Raise `exception` as `raise exception from cause` would: cause and context both `cause`, whatever
// exception the calling code happens to be handling. (nb::raise_from does the same for an error it
// formats itself.)
[[noreturn]] inline void raise_from(nb::handle exception, nb::handle cause) {
    PyException_SetCause(exception.ptr(), Py_NewRef(cause.ptr()));
    PyException_SetContext(exception.ptr(), Py_NewRef(cause.ptr()));
    PyErr_SetRaisedException(Py_NewRef(exception.ptr()));
    throw nb::python_error();
}

// Makes `error` the host's "exception being handled" while it lives, so that logging with
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
