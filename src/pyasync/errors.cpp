// Errors crossing the bridge: C++ exceptions as Python ones, throw()'s arguments, PEP 479.
#include "pyasync/detail/internal.hpp"

#include <cstdarg>

namespace pyasync::detail {

namespace {

std::exception_ptr pending_cpp_error;
PyObject *rethrower = nullptr;  // a nanobind function that rethrows pending_cpp_error

}  // namespace

PyObject *new_error(PyObject *type, const char *msg) noexcept {
    PyErr_SetString(type, msg);
    return PyErr_GetRaisedException();
}

PyObject *new_error_format(PyObject *type, const char *format, ...) noexcept {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    return PyErr_GetRaisedException();
}

PyObject *new_error_from_cause(PyObject *cause, PyObject *type, const char *format, ...) noexcept {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    PyObject *err = PyErr_GetRaisedException();
    PyException_SetCause(err, Py_NewRef(cause));
    PyException_SetContext(err, cause);
    return err;
}

namespace {

// StopIteration(value) as its constructor lays it out, without the call and its argument parsing. Consumes
// `value`.
PyStopIterationObject *new_stop_iteration(PyObject *value) noexcept {
    auto *type = reinterpret_cast<PyTypeObject *>(PyExc_StopIteration);
    PyObject *args = PyTuple_Pack(1, value);
    auto *exc = args ? reinterpret_cast<PyStopIterationObject *>(type->tp_alloc(type, 0)) : nullptr;
    if (!exc) {
        Py_XDECREF(args);
        Py_DECREF(value);
        return nullptr;
    }
    exc->args = args;
    exc->value = value;
    return exc;
}

// The StopIteration that carried the last item, kept to carry the next: every item an async generator's step
// hands to `async for` passes in one, and the host lets it go as soon as it has the item.
PyStopIterationObject *spare_stop = nullptr;

// Whether only the spare holds `exc` and its arguments, and they are still exactly what was made: then nobody
// can tell it from a new one.
bool untouched(PyStopIterationObject *exc) noexcept {
    return Py_REFCNT(exc) == 1 && !exc->dict && !exc->notes && !exc->traceback && !exc->context && !exc->cause &&
           !exc->suppress_context && exc->args && Py_REFCNT(exc->args) == 1 && PyTuple_GET_SIZE(exc->args) == 1;
}

// Makes the spare carry `value` (consumed). The old value is let go last: that may run code, even raise an
// item, while the spare is out of reach.
[[gnu::hot]] void carry(PyStopIterationObject *exc, PyObject *value) noexcept {
    PyObject *old = std::exchange(exc->value, value);
    PyObject *old_arg = PyTuple_GET_ITEM(exc->args, 0);
    PyTuple_SET_ITEM(exc->args, 0, Py_NewRef(value));
    if (!PyObject_GC_IsTracked(exc->args)) {
        PyObject_GC_Track(exc->args);  // the collector lets go of a tuple of plain values
    }
    Py_XDECREF(old);
    Py_XDECREF(old_arg);
}

}  // namespace

void set_stop_iteration(PyObject *value) noexcept {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);  // as the host's generators finish: no arguments
        return;
    }
    if (PyStopIterationObject *exc = new_stop_iteration(value)) {
        PyErr_SetRaisedException(reinterpret_cast<PyObject *>(exc));
    }
}

[[gnu::hot]] void raise_item(PyObject *value) noexcept {
    if (value == Py_None) {
        set_stop_iteration(value);
        return;
    }
    PyStopIterationObject *exc = std::exchange(spare_stop, nullptr);
    if (exc && untouched(exc)) [[likely]] {
        carry(exc, value);
    } else {
        Py_XDECREF(exc);
        exc = new_stop_iteration(value);
        if (!exc) {
            return;
        }
    }
    if (!spare_stop) {
        spare_stop = reinterpret_cast<PyStopIterationObject *>(Py_NewRef(exc));
    }
    PyErr_SetRaisedException(reinterpret_cast<PyObject *>(exc));
}

[[gnu::hot]] void release_item() noexcept {
    PyStopIterationObject *exc = spare_stop;
    if (exc && exc->value != Py_None && untouched(exc)) [[unlikely]] {
        spare_stop = nullptr;
        carry(exc, Py_NewRef(Py_None));
        if (!spare_stop) {
            spare_stop = exc;
        } else {
            Py_DECREF(exc);
        }
    }
}

bool fetch_stop_value(PyObject **value) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return false;
    }
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *v = reinterpret_cast<PyStopIterationObject *>(exc)->value;
    *value = Py_NewRef(v ? v : Py_None);
    Py_DECREF(exc);
    return true;
}

bool check_throw_args(const char *name, Py_ssize_t nargs) noexcept {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%s expected at least 1 argument, got %zd", name, nargs);
        return false;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "%s expected at most 3 arguments, got %zd", name, nargs);
        return false;
    }
    return nargs == 1 || warn_throw_signature(name);
}

bool warn_throw_signature(const char *name) noexcept {
    return PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                            "the (type, exc, tb) signature of %s() is deprecated, use the single-arg signature instead.",
                            name) == 0;
}

PyObject *make_exception(PyObject *const *args, Py_ssize_t nargs) noexcept {
    PyObject *typ = args[0];
    PyObject *val = nargs > 1 ? args[1] : Py_None;
    PyObject *tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject *exc = nullptr;
    if (PyExceptionClass_Check(typ)) {
        if (PyExceptionInstance_Check(val) && PyObject_IsSubclass(PyExceptionInstance_Class(val), typ) == 1) {
            exc = Py_NewRef(val);
        } else if (val == Py_None) {
            exc = PyObject_CallNoArgs(typ);
        } else if (PyTuple_Check(val)) {
            exc = PyObject_Call(typ, val, nullptr);
        } else {
            exc = PyObject_CallOneArg(typ, val);
        }
        if (exc && !PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                         typ, Py_TYPE(exc)->tp_name);
            Py_CLEAR(exc);
        }
        if (!exc) {
            return PyErr_GetRaisedException();  // what making it raised is what is thrown in
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (exc && tb != Py_None && PyException_SetTraceback(exc, tb) < 0) {
        Py_CLEAR(exc);
    }
    return exc;
}

void raise_owned(PyObject *exc) {
    PyErr_SetRaisedException(exc);
    throw nb::python_error();
}

PyObject *recursion_error() noexcept {
    return new_error(PyExc_RecursionError, "maximum recursion depth exceeded");
}

PyObject *capture_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
        return PyErr_GetRaisedException();
    } catch (...) {
        // Translate as nanobind does for its own functions, honouring registered translators.
        pending_cpp_error = std::current_exception();
        if (!rethrower) {
            try {
                rethrower = nb::cpp_function([] { std::rethrow_exception(std::exchange(pending_cpp_error, nullptr)); })
                                .release()
                                .ptr();
            } catch (...) {
            }
        }
        if (rethrower) {
            Py_XDECREF(PyObject_CallNoArgs(rethrower));
        }
        pending_cpp_error = nullptr;
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "pyasync: a C++ exception could not be translated");
        }
        return PyErr_GetRaisedException();
    }
}

PyObject *guard_stop(PyObject *exc, const char *stop, const char *stop_async) noexcept {
    const char *msg = nullptr;
    if (matches(exc, PyExc_StopIteration)) {
        msg = stop;
    } else if (stop_async && matches(exc, PyExc_StopAsyncIteration)) {
        msg = stop_async;
    }
    if (!msg) {
        return exc;
    }
    PyObject *err = new_error(PyExc_RuntimeError, msg);
    PyException_SetCause(err, Py_NewRef(exc));
    PyException_SetContext(err, exc);
    return err;
}

PyObject *body_error(const char *stop, const char *stop_async) noexcept {
    return guard_stop(capture_exception(), stop, stop_async);
}

}  // namespace pyasync::detail

namespace pyasync {

nb::python_error current_error() noexcept {
    PyErr_SetRaisedException(detail::capture_exception());
    return nb::python_error();
}

}  // namespace pyasync
