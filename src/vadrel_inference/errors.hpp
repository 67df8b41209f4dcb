// How the invokers report a failed call.
#pragma once

#include <cstddef>

#include "pyhost/raising.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

// Raises InvokerRuntimeError(class_name, message), chained to `cause` when there is one. The message
// is a Python text, not converted through UTF-8, so that whatever a service or a model wrote can be carried in it.
[[noreturn]] inline void raise_runtime_error(const char *class_name, nb::handle message,
                                             nb::handle cause = nb::handle()) {
    nb::object error = InvokerRuntimeError(class_name, message);
    if (cause.is_valid()) {
        nb::setattr(error, "__cause__", cause);
    }
    pyhost::raise(error);
}

// The longest start of `text` whose UTF-8 form takes at most `max_bytes`: cut between characters,
// never inside one. A lone surrogate, which UTF-8 cannot hold, counts three bytes like the rest of its range.
inline nb::str utf8_prefix(nb::handle text, std::size_t max_bytes) {
    nb::str s(text);
    PyObject *p = s.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(p);
    const int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    std::size_t bytes = 0;
    Py_ssize_t end = 0;
    for (; end < length; ++end) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, end);
        const std::size_t size = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (bytes + size > max_bytes) break;
        bytes += size;
    }
    if (end == length) return s;
    return nb::borrow<nb::str>(pyhost::owned(PyUnicode_Substring(p, 0, end)));
}

}  // namespace vadrel_inference
