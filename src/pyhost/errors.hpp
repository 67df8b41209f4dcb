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
