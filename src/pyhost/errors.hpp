// Raising Python exceptions from C++, and reading values as text.
#pragma once

#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

namespace pyhost {
namespace nb = nanobind;

// Raise this very exception object (its type, traceback and chain kept) as a C++ exception.
[[noreturn]] inline void raise(nb::handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
}

// Raise `exception` as `raise exception from cause` would: cause and context both `cause`, whatever
// exception the calling code happens to be handling.
[[noreturn]] inline void raise_from(nb::handle exception, nb::handle cause) {
    PyException_SetCause(exception.ptr(), Py_NewRef(cause.ptr()));
    PyException_SetContext(exception.ptr(), Py_NewRef(cause.ptr()));
    PyErr_SetRaisedException(Py_NewRef(exception.ptr()));
    throw nb::python_error();
}

// `bool(value)`, raising what the value's __bool__ raises.
inline bool truth(nb::handle value) {
    if (value.ptr() == Py_True) return true;
    if (value.ptr() == Py_False || value.ptr() == Py_None) return false;
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// `a == b`.
inline bool equals(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// `read(file)`, then `file.close()` whatever happens, as a `with` block would.
template <class Read>
nb::object read_and_close(nb::handle file, Read &&read) {
    nb::object result;
    try {
        result = read(file);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return result;
}

// `str(value)` as a C++ string.
inline std::string text(nb::handle value) {
    return nb::cast<std::string>(nb::str(value));
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
