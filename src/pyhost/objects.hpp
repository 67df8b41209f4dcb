// Reading Python objects from C++ where nanobind has no helper of its own (for `==` use
// `a.equal(b)`, for isinstance `nb::isinstance(value, type)`).
#pragma once

#include <nanobind/nanobind.h>

#include "pyhost/raising.hpp"

namespace pyhost {
namespace nb = nanobind;

// `text` as an interned str kept for the process: for attribute names read on every call, which a read by C
// string would make anew each time.
inline nb::handle intern(const char *text) { return owned(PyUnicode_InternFromString(text)).release(); }

// The items of an iterable as a tuple of its own: what native code reads of a list or any other container from
// before a call that can run Python code (which may change the container, and free the items it held) on.
inline nb::tuple snapshot(nb::handle iterable) { return nb::borrow<nb::tuple>(owned(PySequence_Tuple(iterable.ptr()))); }

// `bool(value)`, raising what the value's __bool__ raises.
inline bool truth(nb::handle value) {
    if (value.ptr() == Py_True) return true;
    if (value.ptr() == Py_False || value.ptr() == Py_None) return false;
    return status(PyObject_IsTrue(value.ptr())) == 1;
}

// `getattr(obj, name)` when present; unset when missing (other errors propagate, as hasattr lets them).
inline nb::object optional_attr(nb::handle obj, const char *name) {
    PyObject *out = nullptr;
    status(PyObject_GetOptionalAttrString(obj.ptr(), name, &out));
    return out ? nb::steal(out) : nb::object();
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


// A slot of an asyncio semaphore (or lock) that the caller has acquired, released when this guard's scope
// ends, however it ends: returning, failing, cancelled, or a coroutine frame closed unfinished. An error
// being raised meanwhile is kept aside for the release.
class Released {
public:
    explicit Released(nb::object gate) : gate_(std::move(gate)) {}
    Released(const Released &) = delete;
    Released &operator=(const Released &) = delete;
    ~Released() {
        PyObject *raised = PyErr_GetRaisedException();
        PyObject *result = PyObject_CallMethod(gate_.ptr(), "release", nullptr);
        if (result == nullptr) {
            PyErr_WriteUnraisable(gate_.ptr());
        }
        Py_XDECREF(result);
        PyErr_SetRaisedException(raised);
    }

private:
    nb::object gate_;
};

}  // namespace pyhost
