// The driver: steps a chain of C++ frames on behalf of Python, and awaits Python awaitables.
#include "pyasync/detail/internal.hpp"

#include <pthread.h>

#include <algorithm>

namespace pyasync::detail {

void Driver::clear() noexcept {
    current = {};
    Py_CLEAR(delegate);
    Py_CLEAR(yielded);
    Py_CLEAR(in_value);
    Py_CLEAR(in_error);
}

namespace {

// What a refused step leaves for raising and unwinding, at most a quarter of the stack.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStackReserve = 1 << 20;
#else
constexpr std::size_t kStackReserve = 256 << 10;
#endif

StackBounds thread_stack() noexcept {
    pthread_attr_t attr;
    void *base = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return {};  // unknown: the count alone guards
    }
    int r = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        return {};
    }
    auto lo = reinterpret_cast<std::uintptr_t>(base);
    return {lo, lo + size, lo + std::min(size / 4, kStackReserve)};
}

// Whether `o` is a coroutine to `await`: a native one, or a generator made one by types.coroutine.
bool is_coroutine(PyObject *o) noexcept {
    if (PyCoro_CheckExact(o)) {
        return true;
    }
    if (!PyGen_CheckExact(o)) {
        return false;
    }
    PyCodeObject *code = PyGen_GetCode(reinterpret_cast<PyGenObject *>(o));
    bool iterable_coroutine = code->co_flags & CO_ITERABLE_COROUTINE;
    Py_DECREF(code);
    return iterable_coroutine;
}

}  // namespace

void find_stack() noexcept {
    thread_local const StackBounds bounds = thread_stack();
    last_stack = bounds;
}

// The iterator `await o` delegates to (CPython's _PyCoro_GetAwaitableIter, which is internal).
PyObject *awaitable_iter(PyObject *o) noexcept {
    if (PyCoro_CheckExact(o)) {
        // Suspended in an await of its own, which its `cr_await` shows: someone else awaits it.
        static PyObject *cr_await = PyUnicode_InternFromString("cr_await");
        PyObject *awaited = PyObject_GetAttr(o, cr_await);
        if (!awaited) {
            return nullptr;
        }
        const bool busy = awaited != Py_None;
        Py_DECREF(awaited);
        if (busy) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(o);
    }
    if (is_coroutine(o)) {
        return Py_NewRef(o);
    }
    PyAsyncMethods *am = Py_TYPE(o)->tp_as_async;
    if (!am || !am->am_await) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
        return nullptr;
    }
    PyObject *it = am->am_await(o);
    if (!it) {
        return nullptr;
    }
    if (is_coroutine(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

const Interned &interned() noexcept {
    static const Interned names = {PyUnicode_InternFromString("throw"), PyUnicode_InternFromString("close"),
                                   PyUnicode_InternFromString("aclose"), PyUnicode_InternFromString("__anext__")};
    return names;
}

namespace {

// `iter.throw(exc)`, with the outcome reported as PyIter_Send reports it.
PySendResult throw_into(PyObject *iter, PyObject *exc, PyObject **result) noexcept {
    PyObject *meth = nullptr;
    if (PyObject_GetOptionalAttr(iter, interned().throw_, &meth) < 0) {
        return PYGEN_ERROR;
    }
    if (!meth) {
        // No throw(): the exception is raised at the await itself, as `yield from` does.
        PyErr_SetRaisedException(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    PySendResult r = call_throw(meth, &exc, 1, result);
    Py_DECREF(meth);
    return r;
}

}  // namespace

PySendResult call_throw(PyObject *meth, PyObject *const *args, Py_ssize_t nargs, PyObject **out) noexcept {
    PyObject *r = PyObject_Vectorcall(meth, args, nargs, nullptr);
    if (r) {
        *out = r;
        return PYGEN_NEXT;
    }
    return fetch_stop_value(out) ? PYGEN_RETURN : PYGEN_ERROR;
}

bool throw_bad_args_into(PyObject *delegate, bool &running, PyObject *const *args, Py_ssize_t nargs,
                         std::optional<RecursionGuard> &entry, PySendResult &r, PyObject **out) noexcept {
    PyObject *bad = PyErr_GetRaisedException();
    PyObject *meth = nullptr;
    if (PyObject_GetOptionalAttr(delegate, interned().throw_, &meth) <= 0) {
        if (!meth && !PyErr_Occurred()) {
            PyErr_SetRaisedException(bad);  // no throw() there: the error is raised here
        } else {
            Py_DECREF(bad);
        }
        return false;
    }
    Py_DECREF(bad);
    if (!entry.emplace()) {
        Py_DECREF(meth);
        return false;
    }
    running = true;
    r = call_throw(meth, args, nargs, out);
    running = false;
    Py_DECREF(meth);
    return true;
}

int close_iter(PyObject *iter) noexcept {
    PyObject *meth = nullptr;
    if (PyObject_GetOptionalAttr(iter, interned().close, &meth) < 0) {
        return -1;
    }
    if (!meth) {
        return 0;
    }
    PyObject *r = PyObject_CallNoArgs(meth);
    Py_DECREF(meth);
    if (!r) {
        return -1;
    }
    Py_DECREF(r);
    return 0;
}

Step advance(Driver &d, PyThreadState *ts, PyObject *value, PyObject *exc, PyObject **out) noexcept {
    if (d.delegate) {
        PyObject *res = nullptr;
        PySendResult r;
        if (!exc) {
            r = PyIter_Send(d.delegate, value ? value : Py_None, &res);
        } else if (matches(exc, PyExc_GeneratorExit)) {
            // As `yield from` does: close the inner iterator, then raise here.
            PyObject *inner = std::exchange(d.delegate, nullptr);
            d.in_error = close_iter(inner) < 0 ? PyErr_GetRaisedException() : Py_NewRef(exc);
            Py_DECREF(inner);
            r = PYGEN_ERROR;
            goto resume;
        } else {
            r = throw_into(d.delegate, exc, &res);
        }
        if (r == PYGEN_NEXT) {
            *out = res;
            return Step::Yielded;
        }
        Py_CLEAR(d.delegate);
        if (r == PYGEN_RETURN) {
            d.in_value = res;
        } else {
            d.in_error = PyErr_GetRaisedException();
        }
    } else if (exc) {
        d.in_error = Py_NewRef(exc);
    } else if (value && value != Py_None) {
        d.in_value = Py_NewRef(value);
    }
resume:
    // Resuming the chain enters its frames again, as a Python generator resumed through the
    // generators it awaits would.
    d.tstate = ts;
    d.tstate->py_recursion_remaining -= d.depth;
    d.next = std::exchange(d.current, {});
    while (std::coroutine_handle<> h = std::exchange(d.next, {})) {
        h.resume();
    }
    d.tstate->py_recursion_remaining += d.depth;
    if (d.delegate) {
        *out = std::exchange(d.yielded, nullptr);
        return Step::Yielded;
    }
    return Step::Stopped;
}

Start start_await(PyObject *aw, bool owned, bool from_anext, PyObject **iter, PyObject **out,
                               bool is_iter) noexcept {
    PyObject *it = is_iter ? Py_NewRef(aw) : awaitable_iter(aw);
    if (!it) {
        *out = PyErr_GetRaisedException();
        if (from_anext) {
            *out = new_error_from_cause(*out, PyExc_TypeError,
                                        "'async for' received an invalid object from __anext__: %.100s",
                                        Py_TYPE(aw)->tp_name);
        }
        if (owned) {
            Py_DECREF(aw);
        }
        return Start::Failed;
    }
    if (owned) {
        Py_DECREF(aw);  // the iterator keeps what it needs of the awaitable
    }
    PyObject *res = nullptr;
    PySendResult r = PyIter_Send(it, Py_None, &res);
    if (r == PYGEN_NEXT) {
        *iter = it;
        *out = res;
        return Start::Yielded;
    }
    Py_DECREF(it);
    if (r == PYGEN_RETURN) {
        *out = res;
        return Start::Returned;
    }
    *out = PyErr_GetRaisedException();
    return Start::Failed;
}

bool PyAwait::start() noexcept {
    if (error_ || !src_) {
        drop_src();
        return true;
    }
    PyObject *aw = src_;
    const bool owned = std::exchange(owns_src_, false);
    if (owned) {
        src_ = nullptr;
    }
    PyObject *out = nullptr;
    Start s = start_await(aw, owned, false, &iter_, &out);
    (s == Start::Failed ? error_ : value_) = out;
    return s != Start::Yielded;
}

void PyAwait::suspend(std::coroutine_handle<> h, Driver *d) noexcept {
    d->delegate = std::exchange(iter_, nullptr);
    d->yielded = std::exchange(value_, nullptr);
    d->current = h;
    d_ = d;
}

nb::object PyAwait::result() {
    collect();
    if (error_) {
        raise_owned(std::exchange(error_, nullptr));
    }
    return value_ ? nb::steal(std::exchange(value_, nullptr)) : nb::none();
}

void YieldAwaiter::await_suspend(std::coroutine_handle<> h) noexcept {
    Driver *d = p_->driver;
    if (p_->consumer) {
        d->leave();
        d->next = std::exchange(p_->consumer, {});
    } else {
        d->current = h;
    }
}

nb::object YieldAwaiter::await_resume() {
    Driver *d = p_->driver;
    if (d->in_error) {
        raise_owned(std::exchange(d->in_error, nullptr));
    }
    return d->in_value ? nb::steal(std::exchange(d->in_value, nullptr)) : nb::none();
}

void PyAwait::release() noexcept {
    drop_src();
    Py_CLEAR(iter_);
    Py_CLEAR(value_);
    Py_CLEAR(error_);
}

void FinalAwaiter::await_suspend(std::coroutine_handle<>) noexcept {
    p_->done = true;
    if (p_->consumer) {
        Driver *d = p_->driver;
        d->leave();
        d->next = std::exchange(p_->consumer, {});
    }
}

}  // namespace pyasync::detail
