// Direct reading: a C++ frame reading a C++ generator runs it in its own chain, with no Python
// object per item; and the life of frames that no Python object owns.
#include "pyasync/detail/internal.hpp"

namespace pyasync::detail {

bool NextAwaiter::ready_direct() noexcept {
    if (!p_ || p_->done) {
        end_ = true;
        return true;
    }
    if (p_->in_flight) {
        fail(new_error(PyExc_RuntimeError, closing_ ? "aclose(): asynchronous generator is already running"
                                                    : "anext(): asynchronous generator is already running"));
        return true;
    }
    if (closing_) {
        if (!p_->started) {
            p_->done = true;  // closed before it ran: it never will
            end_ = true;
            return true;
        }
        out_ = PyObject_CallNoArgs(PyExc_GeneratorExit);
        if (!out_) {
            fail(PyErr_GetRaisedException());
            end_ = true;  // report that error instead of closing
            return true;
        }
    }
    return false;
}

// Hot: the step every reading frame takes for every item.
bool NextAwaiter::step(std::coroutine_handle<> outer, Driver *d) noexcept {
    if (!direct_) {
        return step_generic(outer, d);
    }
    if (!p_ || p_->done || p_->in_flight || closing_) {
        if (ready_direct()) {
            return false;
        }
    }
    if (!d->enter()) {
        Py_XDECREF(out_);
        fail(recursion_error());
        return false;
    }
    entered_ = true;
    p_->started = true;
    p_->driver = d;
    if (closing_) {
        d->in_error = std::exchange(out_, nullptr);  // the GeneratorExit to raise
    }
    p_->consumer = outer;
    p_->in_flight = true;
    d->next = h_;
    return true;
}

// A Python iterator's step: `__anext__()` (or `aclose()`) awaited as `await` does.
bool NextAwaiter::step_generic(std::coroutine_handle<> outer, Driver *d) noexcept {
    PyObject *aw = nullptr;
    if (closing_) {
        PyObject *meth = nullptr;
        if (PyObject_GetOptionalAttr(iter_, interned().aclose, &meth) < 0) {
            fail(PyErr_GetRaisedException());
            return false;
        }
        if (!meth) {
            end_ = true;  // nothing to close
            return false;
        }
        aw = PyObject_CallNoArgs(meth);
        Py_DECREF(meth);
    } else if (by_attribute_ && !PyAsyncGen_CheckExact(iter_)) {
        // `await iter.__anext__()`: what the object answers for the name, or its AttributeError.
        if (PyObject *meth = PyObject_GetAttr(iter_, interned().anext)) {
            aw = PyObject_CallNoArgs(meth);
            Py_DECREF(meth);
        }
    } else {
        PyAsyncMethods *am = Py_TYPE(iter_)->tp_as_async;
        if (am && am->am_anext) {
            aw = am->am_anext(iter_);
        } else {
            PyErr_Format(PyExc_TypeError, "'async for' requires an iterator with __anext__ method, got %.100s",
                         Py_TYPE(iter_)->tp_name);
        }
    }
    if (!aw) {
        fail(PyErr_GetRaisedException());
        return false;
    }
    PyObject *it = nullptr;
    switch (start_await(aw, true, !closing_ && !by_attribute_, &it, &out_, !closing_ && PyAsyncGen_CheckExact(iter_))) {
    case Start::Yielded:
        d->delegate = it;
        d->yielded = std::exchange(out_, nullptr);
        d->current = outer;
        d_ = d;
        return true;
    case Start::Returned:
        return false;
    case Start::Failed:
        break;
    }
    failed_ = true;
    return false;
}

std::optional<nb::object> NextAwaiter::take() {
    if (entered_) {
        if (p_->value && !closing_) {  // an item of a C++ generator
            entered_ = false;
            p_->in_flight = false;
            p_->driver = &p_->own;
            return nb::steal(std::exchange(p_->value, nullptr));
        }
    } else if (!direct_ && !closing_) {
        collect();
        if (!failed_) {  // an item of a Python iterator
            return out_ ? nb::steal(std::exchange(out_, nullptr)) : nb::none();
        }
    }
    return finish();  // the end, an error, a close
}

void NextAwaiter::fail(PyObject *error) noexcept {
    out_ = error;
    failed_ = true;
}

// The outcome of the awaited iterator's step, from the driver.
void NextAwaiter::collect() noexcept {
    if (Driver *d = std::exchange(d_, nullptr)) {
        PyObject *value = std::exchange(d->in_value, nullptr);
        if (PyObject *error = std::exchange(d->in_error, nullptr)) {
            Py_XDECREF(value);
            fail(error);
        } else {
            out_ = value;
        }
    }
}

void NextAwaiter::drop() noexcept { Py_CLEAR(out_); }

bool TaskAwaitBase::enter(std::coroutine_handle<> outer, PromiseBase &waiting) noexcept {
    Driver *d = waiting.driver;
    if (!d->enter()) {
        refused_ = true;
        return false;
    }
    p_->driver = d;
    p_->consumer = outer;
    p_->started = true;
    outer_ = &waiting;
    outer_->awaiting = p_;
    d->next = h_;
    return true;
}

nb::object TaskAwaitBase::result() {
    if (!h_) {
        raise_owned(new_error(PyExc_RuntimeError, "pyasync: awaiting a task that was moved out"));
    }
    if (refused_) {
        raise_owned(recursion_error());
    }
    if (outer_) {
        outer_->awaiting = nullptr;
    }
    p_->driver = &p_->own;
    if (p_->error) {
        raise_owned(std::exchange(p_->error, nullptr));
    }
    return p_->value ? nb::steal(std::exchange(p_->value, nullptr)) : nb::none();
}

std::optional<nb::object> NextAwaiter::finish() {
    if (entered_) {
        entered_ = false;
        p_->in_flight = false;
        p_->driver = &p_->own;
        if (p_->value) {
            PyObject *item = std::exchange(p_->value, nullptr);
            if (closing_) {
                Py_DECREF(item);
                raise_owned(new_error(PyExc_RuntimeError, "async generator ignored GeneratorExit"));
            }
            return nb::steal(item);
        }
        if (PyObject *err = std::exchange(p_->error, nullptr)) {
            if (closing_ && (matches(err, PyExc_GeneratorExit) || matches(err, PyExc_StopAsyncIteration))) {
                Py_DECREF(err);
                return std::nullopt;
            }
            raise_owned(err);
        }
        return std::nullopt;
    }
    collect();
    if (failed_) {
        failed_ = false;
        PyObject *error = std::exchange(out_, nullptr);
        if (!closing_ && !end_ && matches(error, PyExc_StopAsyncIteration)) {
            Py_DECREF(error);
            return std::nullopt;
        }
        raise_owned(error);
    }
    if (end_ || closing_) {
        Py_CLEAR(out_);
        return std::nullopt;
    }
    return out_ ? nb::steal(std::exchange(out_, nullptr)) : nb::none();
}

void destroy_frame(std::coroutine_handle<> h) noexcept { h.destroy(); }

namespace {

// Visits a noted parameter's references, or clears them when `visit` is null.
int traverse_param(std::uintptr_t param, visitproc visit, void *arg) noexcept {
    void *at = reinterpret_cast<void *>(param & ~std::uintptr_t(PromiseBase::kKindBits));
    switch (param & PromiseBase::kKindBits) {
    case PromiseBase::kObject:
        return Gc<nb::object>::traverse(*static_cast<nb::object *>(at), visit, arg);
    case PromiseBase::kIter:
        return Gc<AsyncIter>::traverse(*static_cast<AsyncIter *>(at), visit, arg);
    case PromiseBase::kGen:
        return Gc<AsyncGen>::traverse(*static_cast<AsyncGen *>(at), visit, arg);
    default:
        return Gc<Caught>::traverse(*static_cast<Caught *>(at), visit, arg);
    }
}

}  // namespace

int visit_promise(PromiseBase &p, visitproc visit, void *arg) noexcept {
    for (int i = 0; i < p.n_params; ++i) {
        if (int r = traverse_param(p.params[i], visit, arg)) {
            return r;
        }
    }
    for (HeldNode *n = p.held; n; n = n->next) {
        if (int r = n->traverse(n, visit, arg)) {
            return r;
        }
    }
    const Driver &d = p.own;
    Py_VISIT(d.delegate);
    Py_VISIT(d.yielded);
    Py_VISIT(d.in_value);
    Py_VISIT(d.in_error);
    Py_VISIT(p.error);
    Py_VISIT(p.value);
    return p.awaiting ? visit_promise(*p.awaiting, visit, arg) : 0;
}

// Breaks cycles through everything the frame holds. The frame is about to go without running
// again, and is marked so: a C++-only generator among its locals is not closed by running it.
void clear_promise(PromiseBase &p) noexcept {
    p.done = true;
    for (int i = 0; i < p.n_params; ++i) {
        traverse_param(p.params[i], nullptr, nullptr);
    }
    for (HeldNode *n = p.held; n; n = n->next) {
        n->traverse(n, nullptr, nullptr);
    }
    p.own.clear();
    Py_CLEAR(p.error);
    Py_CLEAR(p.value);
    if (p.awaiting) {
        clear_promise(*p.awaiting);
    }
}

void close_now(std::coroutine_handle<> h, GenPromise *p, PyObject *context) noexcept {
    RecursionGuard entry;  // past the limit the frame goes without running: its destructors still run
    PyObject *ge = entry ? PyObject_CallNoArgs(PyExc_GeneratorExit) : nullptr;
    if (!ge) {
        PyErr_WriteUnraisable(context);
        return;
    }
    p->driver = &p->own;
    p->own.current = h;
    p->running = p->in_flight = true;
    PyObject *out = nullptr;
    Step s = advance(p->own, entry.thread_state(), nullptr, ge, &out);
    p->running = p->in_flight = false;
    Py_DECREF(ge);
    if (s == Step::Yielded || p->value) {
        // It wants to go on (await or yield) while being dropped: it cannot, say so.
        Py_XDECREF(out);
        Py_CLEAR(p->value);
        if (PyObject *inner = std::exchange(p->own.delegate, nullptr)) {
            if (close_iter(inner) < 0) {
                PyErr_WriteUnraisable(context);
            }
            Py_DECREF(inner);
        }
        PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
        PyErr_WriteUnraisable(context);
        return;
    }
    if (PyObject *err = std::exchange(p->error, nullptr)) {
        if (matches(err, PyExc_GeneratorExit) || matches(err, PyExc_StopAsyncIteration)) {
            Py_DECREF(err);
        } else {
            PyErr_SetRaisedException(err);
            PyErr_WriteUnraisable(context);
        }
    }
}

}  // namespace pyasync::detail

namespace pyasync {

void AsyncGen::reset() noexcept {
    if (std::coroutine_handle<promise_type> h = std::exchange(h_, {})) {
        detail::GenPromise &p = h.promise();
        if (p.started && !p.done && !p.in_flight) {
            detail::close_now(h, &p, nullptr);
        }
        h.destroy();
    }
}

nb::object aiter(nb::handle iterable) {
    PyTypeObject *t = Py_TYPE(iterable.ptr());
    if (!t->tp_as_async || !t->tp_as_async->am_aiter) {
        detail::raise_owned(detail::new_error_format(
            PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s", t->tp_name));
    }
    PyObject *it = t->tp_as_async->am_aiter(iterable.ptr());
    if (!it) {
        detail::raise_owned(PyErr_GetRaisedException());
    }
    PyAsyncMethods *am = Py_TYPE(it)->tp_as_async;
    if (!am || !am->am_anext) {
        PyObject *err = detail::new_error_format(
            PyExc_TypeError, "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
            Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        detail::raise_owned(err);
    }
    return nb::steal(it);
}

AsyncIter::AsyncIter(nb::handle iterable) : obj_(aiter(iterable)) {}

}  // namespace pyasync