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

void set_stop_iteration(PyObject *value) noexcept {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);  // as Python's generators finish: no arguments
        return;
    }
    // Called with the value as its one argument: PyErr_SetObject would unpack a tuple or take an exception
    // instance for the exception itself.
    PyObject *exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (exc) {
        PyErr_SetRaisedException(exc);
    }
}

bool fetch_stop_value(PyObject **value) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return false;
    }
    PyObject *exc = PyErr_GetRaisedException();
    *value = PyObject_GetAttrString(exc, "value");
    Py_DECREF(exc);
    return *value != nullptr;
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
