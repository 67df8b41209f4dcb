// The bridge's machinery: the driver that steps a chain of C++ frames on behalf of Python, and
// the Python-visible types (coroutine, async generator, and its step awaitables).
#include "pyasync/pyasync.hpp"

#include <cstring>
#include <string>

namespace pyasync::detail {

// ---------------------------------------------------------------------------------------------
// Errors

namespace {

std::exception_ptr pending_cpp_error;
PyObject *rethrower = nullptr;  // a nanobind function that rethrows pending_cpp_error

PyObject *new_error(PyObject *type, const char *msg) noexcept {
    PyErr_SetString(type, msg);
    return PyErr_GetRaisedException();
}

bool matches(PyObject *exc, PyObject *type) noexcept { return PyErr_GivenExceptionMatches(exc, type) != 0; }

// Raises StopIteration(value) explicitly: PyErr_SetObject would unpack a tuple or take an
// exception instance for the exception itself. Consumes `value`.
void set_stop_iteration(PyObject *value) noexcept {
    PyObject *exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (exc) {
        PyErr_SetRaisedException(exc);
    }
}

// Takes the value out of a raised StopIteration; false when another error is raised.
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

// An exception instance from throw()'s arguments: (instance) or (type[, value[, traceback]]).
PyObject *make_exception(PyObject *const *args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
    PyObject *typ = args[0];
    PyObject *val = nargs > 1 ? args[1] : Py_None;
    PyObject *tb = nargs > 2 ? args[2] : Py_None;
    PyObject *exc = nullptr;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject *>(typ))) {
            exc = Py_NewRef(val);
        } else if (val == Py_None) {
            exc = PyObject_CallNoArgs(typ);
        } else if (PyTuple_Check(val)) {
            exc = PyObject_Call(typ, val, nullptr);
        } else {
            exc = PyObject_CallOneArg(typ, val);
        }
        if (exc && !PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException", typ);
            Py_CLEAR(exc);
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (exc && tb != Py_None && PyException_SetTraceback(exc, tb) < 0) {
        Py_CLEAR(exc);
    }
    return exc;
}

}  // namespace

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

// ---------------------------------------------------------------------------------------------
// Awaiting Python awaitables

void Driver::clear() noexcept {
    current = {};
    Py_CLEAR(delegate);
    Py_CLEAR(yielded);
    Py_CLEAR(in_value);
    Py_CLEAR(in_error);
}

namespace {

// The iterator `await o` delegates to (CPython's _PyCoro_GetAwaitableIter, which is internal).
PyObject *awaitable_iter(PyObject *o) noexcept {
    if (PyCoro_CheckExact(o)) {
        return Py_NewRef(o);
    }
    if (PyGen_CheckExact(o)) {
        PyCodeObject *code = PyGen_GetCode(reinterpret_cast<PyGenObject *>(o));
        bool iterable_coroutine = code->co_flags & CO_ITERABLE_COROUTINE;
        Py_DECREF(code);
        if (iterable_coroutine) {
            return Py_NewRef(o);
        }
    }
    PyAsyncMethods *am = Py_TYPE(o)->tp_as_async;
    if (!am || !am->am_await) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(o)->tp_name);
        return nullptr;
    }
    PyObject *it = am->am_await(o);
    if (!it) {
        return nullptr;
    }
    if (PyCoro_CheckExact(it)) {
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

PyObject *str_throw = nullptr;
PyObject *str_close = nullptr;
PyObject *str_aclose = nullptr;

void intern_names() noexcept {
    if (!str_throw) {
        str_throw = PyUnicode_InternFromString("throw");
        str_close = PyUnicode_InternFromString("close");
        str_aclose = PyUnicode_InternFromString("aclose");
    }
}

// `iter.throw(exc)`, with the outcome told as PyIter_Send tells it.
PySendResult throw_into(PyObject *iter, PyObject *exc, PyObject **result) noexcept {
    intern_names();
    PyObject *meth = nullptr;
    if (PyObject_GetOptionalAttr(iter, str_throw, &meth) < 0) {
        return PYGEN_ERROR;
    }
    if (!meth) {
        // No throw(): the exception is raised at the await itself, as `yield from` does.
        PyErr_SetRaisedException(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    PyObject *r = PyObject_CallOneArg(meth, exc);
    Py_DECREF(meth);
    if (r) {
        *result = r;
        return PYGEN_NEXT;
    }
    return fetch_stop_value(result) ? PYGEN_RETURN : PYGEN_ERROR;
}

// `iter.close()` if it has one.
int close_iter(PyObject *iter) noexcept {
    intern_names();
    PyObject *meth = nullptr;
    if (PyObject_GetOptionalAttr(iter, str_close, &meth) < 0) {
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

enum class Step { Yielded, Stopped };

// Feeds one input (a value, or the exception `exc`) to the chain: first to the Python iterator
// being awaited, if any, else to the suspended frame. Yielded: `*out` goes to the event loop.
// Stopped: the root frame reached co_yield or its end. Both inputs are borrowed.
Step advance(Driver &d, PyObject *value, PyObject *exc, PyObject **out) noexcept {
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
    d.tstate = PyThreadState_Get();
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

}  // namespace

bool PyAwait::start() noexcept {
    if (error_ || !src_) {
        drop_src();
        return true;
    }
    PyObject *it = awaitable_iter(src_);
    drop_src();  // the iterator keeps what it needs of the awaitable
    if (!it) {
        error_ = PyErr_GetRaisedException();
        return true;
    }
    PyObject *res = nullptr;
    PySendResult r = PyIter_Send(it, Py_None, &res);
    if (r == PYGEN_NEXT) {
        iter_ = it;
        value_ = res;
        return false;
    }
    Py_DECREF(it);
    if (r == PYGEN_RETURN) {
        value_ = res;
    } else {
        error_ = PyErr_GetRaisedException();
    }
    return true;
}

void PyAwait::suspend(std::coroutine_handle<> h, Driver *d) noexcept {
    d->delegate = std::exchange(iter_, nullptr);
    d->yielded = std::exchange(value_, nullptr);
    d->current = h;
    d_ = d;
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

// ---------------------------------------------------------------------------------------------
// Direct reading

NextAwaiter::NextAwaiter(PyObject *iter, bool closing) noexcept : closing_(closing) {
    PyObject *aw = nullptr;
    if (closing) {
        intern_names();
        PyObject *meth = nullptr;
        if (PyObject_GetOptionalAttr(iter, str_aclose, &meth) < 0) {
            error_ = PyErr_GetRaisedException();
            return;
        }
        if (!meth) {
            end_ = true;  // nothing to close
            return;
        }
        aw = PyObject_CallNoArgs(meth);
        Py_DECREF(meth);
    } else {
        PyAsyncMethods *am = Py_TYPE(iter)->tp_as_async;
        if (am && am->am_anext) {
            aw = am->am_anext(iter);
        } else {
            PyErr_Format(PyExc_TypeError, "'%.100s' object is not an async iterator", Py_TYPE(iter)->tp_name);
        }
    }
    if (!aw) {
        error_ = PyErr_GetRaisedException();
        return;
    }
    src_ = aw;
    owns_src_ = true;
}

bool NextAwaiter::ready_direct() noexcept {
    if (!p_ || p_->done) {
        end_ = true;
        return true;
    }
    if (p_->in_flight) {
        error_ = new_error(PyExc_RuntimeError, closing_ ? "aclose(): asynchronous generator is already running"
                                                        : "anext(): asynchronous generator is already running");
        return true;
    }
    if (closing_) {
        if (!p_->started) {
            p_->done = true;  // closed before it ran: it never will
            end_ = true;
            return true;
        }
        error_ = PyObject_CallNoArgs(PyExc_GeneratorExit);
        if (!error_) {
            error_ = PyErr_GetRaisedException();
            end_ = true;  // report that error instead of closing
            return true;
        }
    }
    return false;
}

void NextAwaiter::refuse() noexcept { Py_XSETREF(error_, recursion_error()); }

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
    if (error_) {
        if (!closing_ && !end_ && matches(error_, PyExc_StopAsyncIteration)) {
            Py_CLEAR(error_);
            return std::nullopt;
        }
        raise_owned(std::exchange(error_, nullptr));
    }
    if (end_ || closing_) {
        Py_CLEAR(value_);
        return std::nullopt;
    }
    return value_ ? nb::steal(std::exchange(value_, nullptr)) : nb::none();
}

void destroy_frame(std::coroutine_handle<> h) noexcept { h.destroy(); }

int visit_promise(PromiseBase &p, visitproc visit, void *arg) noexcept {
    for (int i = 0; i < p.n_params; ++i) {
        Py_VISIT(p.params[i]->ptr());
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
        nb::object dropped = std::move(*p.params[i]);
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
    PyObject *ge = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!ge) {
        PyErr_WriteUnraisable(context);
        return;
    }
    p->driver = &p->own;
    p->own.current = h;
    p->running = p->in_flight = true;
    PyObject *out = nullptr;
    Step s = advance(p->own, nullptr, ge, &out);
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

// ---------------------------------------------------------------------------------------------
// Python types

namespace {

struct Named {
    PyObject *name;      // lazily made from the C++ names
    PyObject *qualname;
    const char *origin;  // C++ signature
    const char *cname;
    const char *cqualname;
};

struct CoroObject {
    FrameObject head;
    Named names;
};

struct GenObject {
    FrameObject head;
    Named names;
    PyObject *finalizer;  // sys.get_asyncgen_hooks().finalizer at first iteration
    bool hooks_inited;
};

enum class OpKind : uint8_t { Send, Throw, Close };
enum class OpState : uint8_t { Init, Iter, Closed };

struct OpObject {
    PyObject_HEAD
    GenObject *gen;  // owned
    PyObject *arg;   // asend()'s value or athrow()'s exception (owned)
    OpKind kind;
    OpState state;
};

struct Types {
    PyTypeObject *coro = nullptr;
    PyTypeObject *gen = nullptr;
    PyTypeObject *op = nullptr;
};
Types &types();

TaskPromise *task_of(CoroObject *c) noexcept { return static_cast<TaskPromise *>(c->head.p); }
GenPromise *gen_of(GenObject *g) noexcept { return static_cast<GenPromise *>(g->head.p); }

void release_frame(FrameObject *f) noexcept {
    if (std::coroutine_handle<> h = std::exchange(f->h, {})) {
        f->p = nullptr;
        h.destroy();
    }
}

// "pyasync::Task ns::fetch(nanobind::object)" -> "fetch".
std::string short_name(const char *origin) {
    std::string_view sig = origin ? origin : "";
    size_t paren = sig.find('(');
    if (paren == std::string_view::npos) {
        return "<c++ coroutine>";
    }
    size_t begin = paren;
    while (begin > 0) {
        char c = sig[begin - 1];
        if (!(c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            break;
        }
        --begin;
    }
    return begin == paren ? std::string("<c++ coroutine>") : std::string(sig.substr(begin, paren - begin));
}

void capture_names(Named &n, const PromiseBase *p) noexcept {
    n.origin = p->origin;
    n.cname = p->name;
    n.cqualname = p->qualname;
}

PyObject *name_of(Named &n, bool qual) noexcept {
    PyObject *&slot = qual ? n.qualname : n.name;
    if (!slot) {
        const char *given = qual ? n.cqualname : n.cname;
        slot = given ? PyUnicode_FromString(given) : PyUnicode_FromString(short_name(n.origin).c_str());
    }
    return slot;
}

PyObject *get_name(PyObject *self, void *closure) {
    Named &n = *reinterpret_cast<Named *>(reinterpret_cast<char *>(self) + sizeof(FrameObject));
    PyObject *v = name_of(n, closure != nullptr);
    return v ? Py_NewRef(v) : nullptr;
}

int set_name(PyObject *self, PyObject *value, void *closure) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", closure ? "__qualname__" : "__name__");
        return -1;
    }
    Named &n = *reinterpret_cast<Named *>(reinterpret_cast<char *>(self) + sizeof(FrameObject));
    Py_XSETREF(closure ? n.qualname : n.name, Py_NewRef(value));
    return 0;
}

PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

PyObject *self_iter(PyObject *self) { return Py_NewRef(self); }


// Outcome of a step as the Python-level methods report it.
PyObject *as_method_result(PySendResult r, PyObject *out) {
    if (r == PYGEN_NEXT) {
        return out;
    }
    if (r == PYGEN_RETURN) {
        set_stop_iteration(out);
    }
    return nullptr;
}

PyObject *as_iternext_result(PySendResult r, PyObject *out) {
    if (r == PYGEN_RETURN) {
        if (out == Py_None) {
            Py_DECREF(out);  // exhaustion without a value needs no StopIteration
        } else {
            set_stop_iteration(out);
        }
        return nullptr;
    }
    return r == PYGEN_NEXT ? out : nullptr;
}

// --- coroutine -------------------------------------------------------------------------------

PySendResult coro_step(CoroObject *c, PyObject *value, PyObject *exc, PyObject **out) {
    if (!c->head.h) {
        if (exc) {
            PyErr_SetRaisedException(Py_NewRef(exc));
        } else {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        }
        return PYGEN_ERROR;
    }
    TaskPromise *p = task_of(c);
    if (p->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (!p->started) {
        if (exc) {
            // Thrown in before the body began: it ends here.
            release_frame(&c->head);
            PyErr_SetRaisedException(Py_NewRef(exc));
            return PYGEN_ERROR;
        }
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        p->started = true;
        p->own.current = c->head.h;
    }
    p->running = true;
    Step s = advance(p->own, value, exc, out);
    p->running = false;
    if (s == Step::Yielded) {
        return PYGEN_NEXT;
    }
    PyObject *err = std::exchange(p->error, nullptr);
    PyObject *res = std::exchange(p->value, nullptr);
    bool done = p->done;
    release_frame(&c->head);  // frees the parameters now, as a finished Python frame would
    if (!done) {
        Py_XDECREF(err);
        Py_XDECREF(res);
        PyErr_SetString(PyExc_SystemError, "pyasync: a coroutine stopped without finishing");
        return PYGEN_ERROR;
    }
    if (err) {
        Py_XDECREF(res);
        PyErr_SetRaisedException(err);
        return PYGEN_ERROR;
    }
    *out = res ? res : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **out) {
    return coro_step(reinterpret_cast<CoroObject *>(self), arg, nullptr, out);
}

PyObject *coro_iternext(PyObject *self) {
    PyObject *out = nullptr;
    PySendResult r = coro_step(reinterpret_cast<CoroObject *>(self), Py_None, nullptr, &out);
    return as_iternext_result(r, out);
}

PyObject *coro_send(PyObject *self, PyObject *arg) {
    PyObject *out = nullptr;
    PySendResult r = coro_step(reinterpret_cast<CoroObject *>(self), arg, nullptr, &out);
    return as_method_result(r, out);
}

PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    PyObject *exc = make_exception(args, nargs);
    if (!exc) {
        return nullptr;
    }
    PyObject *out = nullptr;
    PySendResult r = coro_step(reinterpret_cast<CoroObject *>(self), nullptr, exc, &out);
    Py_DECREF(exc);
    return as_method_result(r, out);
}

PyObject *coro_close(PyObject *self, PyObject * = nullptr) {
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
    if (!c->head.h) {
        Py_RETURN_NONE;
    }
    TaskPromise *p = task_of(c);
    if (p->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (!p->started) {
        release_frame(&c->head);
        Py_RETURN_NONE;
    }
    PyObject *ge = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!ge) {
        return nullptr;
    }
    PyObject *out = nullptr;
    PySendResult r = coro_step(c, nullptr, ge, &out);
    Py_DECREF(ge);
    if (r == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        return out;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

void coro_finalize(PyObject *self) {
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
    if (!c->head.h) {
        return;
    }
    PyObject *saved = PyErr_GetRaisedException();
    TaskPromise *p = task_of(c);
    if (!p->started) {
        PyObject *qualname = name_of(c->names, true);
        if (!qualname || PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", qualname) < 0) {
            PyErr_WriteUnraisable(self);
        }
    } else if (!p->done && !p->running) {
        if (PyObject *r = coro_close(self)) {
            Py_DECREF(r);
        } else {
            PyErr_WriteUnraisable(self);
        }
    }
    PyErr_SetRaisedException(saved);
}

int coro_traverse(PyObject *self, visitproc visit, void *arg) {
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->names.name);
    Py_VISIT(c->names.qualname);
    if (c->head.h) {
        return visit_promise(*task_of(c), visit, arg);
    }
    return 0;
}


int coro_clear(PyObject *self) {
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
    Py_CLEAR(c->names.name);
    Py_CLEAR(c->names.qualname);
    if (c->head.h) {
        clear_promise(*task_of(c));
    }
    return 0;
}

void coro_dealloc(PyObject *self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return;  // resurrected
    }
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
    release_frame(&c->head);
    Py_CLEAR(c->names.name);
    Py_CLEAR(c->names.qualname);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *coro_repr(PyObject *self) {
    PyObject *q = name_of(reinterpret_cast<CoroObject *>(self)->names, true);
    return q ? PyUnicode_FromFormat("<coroutine object %U at %p>", q, self) : nullptr;
}

PyObject *coro_running(PyObject *self, void *) {
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
    return PyBool_FromLong(c->head.h && task_of(c)->running);
}

PyObject *coro_suspended(PyObject *self, void *) {
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
    TaskPromise *p = c->head.h ? task_of(c) : nullptr;
    return PyBool_FromLong(p && p->started && !p->done && !p->running);
}

PyObject *coro_await_of(PyObject *self, void *) {
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
    PyObject *d = c->head.h ? task_of(c)->own.delegate : nullptr;
    return Py_NewRef(d ? d : Py_None);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value)\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_name, set_name, nullptr, reinterpret_cast<void *>(1)},
    {"cr_running", coro_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coro_suspended, nullptr, nullptr, nullptr},
    {"cr_await", coro_await_of, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- async generator -------------------------------------------------------------------------

int init_hooks(GenObject *g) {
    if (g->hooks_inited) {
        return 0;
    }
    g->hooks_inited = true;
    PyObject *get = PySys_GetObject("get_asyncgen_hooks");  // borrowed
    if (!get) {
        return 0;
    }
    PyObject *hooks = PyObject_CallNoArgs(get);
    if (!hooks) {
        return -1;
    }
    PyObject *firstiter = PySequence_GetItem(hooks, 0);
    PyObject *finalizer = firstiter ? PySequence_GetItem(hooks, 1) : nullptr;
    Py_DECREF(hooks);
    if (!finalizer) {
        Py_XDECREF(firstiter);
        return -1;
    }
    if (finalizer != Py_None) {
        Py_XSETREF(g->finalizer, finalizer);
    } else {
        Py_DECREF(finalizer);
    }
    int rc = 0;
    if (firstiter != Py_None) {
        PyObject *r = PyObject_CallOneArg(firstiter, reinterpret_cast<PyObject *>(g));
        rc = r ? 0 : -1;
        Py_XDECREF(r);
    }
    Py_DECREF(firstiter);
    return rc;
}

// One step awaitable per __anext__() of every `async for` iteration: recycled, as CPython
// recycles its own, since allocating a fresh GC object each time is a good part of the cost.
constexpr int kSpareOps = 16;
OpObject *spare_ops[kSpareOps];
int n_spare_ops = 0;

PyObject *new_op(GenObject *g, OpKind kind, PyObject *arg) {
    if (init_hooks(g) < 0) {
        return nullptr;
    }
    PyTypeObject *t = types().op;
    OpObject *op;
    if (n_spare_ops > 0) {
        op = spare_ops[--n_spare_ops];
        PyObject_Init(reinterpret_cast<PyObject *>(op), t);
        PyObject_GC_Track(op);
    } else {
        op = reinterpret_cast<OpObject *>(t->tp_alloc(t, 0));
        if (!op) {
            return nullptr;
        }
    }
    op->gen = reinterpret_cast<GenObject *>(Py_NewRef(reinterpret_cast<PyObject *>(g)));
    op->arg = Py_XNewRef(arg);
    op->kind = kind;
    op->state = OpState::Init;
    return reinterpret_cast<PyObject *>(op);
}

PyObject *gen_anext(PyObject *self) { return new_op(reinterpret_cast<GenObject *>(self), OpKind::Send, nullptr); }

PyObject *gen_asend(PyObject *self, PyObject *arg) {
    return new_op(reinterpret_cast<GenObject *>(self), OpKind::Send, arg);
}

PyObject *gen_athrow(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    PyObject *exc = make_exception(args, nargs);
    if (!exc) {
        return nullptr;
    }
    PyObject *op = new_op(reinterpret_cast<GenObject *>(self), OpKind::Throw, exc);
    Py_DECREF(exc);
    return op;
}

PyObject *gen_aclose(PyObject *self, PyObject *) {
    return new_op(reinterpret_cast<GenObject *>(self), OpKind::Close, nullptr);
}

PySendResult op_step(OpObject *op, PyObject *value, PyObject *exc, PyObject **out) {
    if (op->state == OpState::Closed) {
        PyErr_SetString(PyExc_RuntimeError, op->kind == OpKind::Send
                                                 ? "cannot reuse already awaited __anext__()/asend()"
                                                 : "cannot reuse already awaited aclose()/athrow()");
        return PYGEN_ERROR;
    }
    GenObject *g = op->gen;
    GenPromise *p = g->head.h ? gen_of(g) : nullptr;
    PyObject *owned_exc = nullptr;  // GeneratorExit made for aclose()
    if (op->state == OpState::Init) {
        if (p && p->in_flight) {
            op->state = OpState::Closed;
            PyErr_SetString(PyExc_RuntimeError,
                            op->kind == OpKind::Send    ? "anext(): asynchronous generator is already running"
                            : op->kind == OpKind::Throw ? "athrow(): asynchronous generator is already running"
                                                        : "aclose(): asynchronous generator is already running");
            return PYGEN_ERROR;
        }
        if (!exc) {
            if (op->kind == OpKind::Send) {
                if (!value || value == Py_None) {
                    value = op->arg;
                }
            } else if (op->kind == OpKind::Throw) {
                exc = op->arg;
            } else {
                exc = owned_exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
                if (!exc) {
                    return PYGEN_ERROR;
                }
            }
        }
        if (!p || p->done) {
            op->state = OpState::Closed;
            Py_XDECREF(owned_exc);
            if (op->kind == OpKind::Send) {
                PyErr_SetNone(PyExc_StopAsyncIteration);
                return PYGEN_ERROR;
            }
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        if (!p->started) {
            if (exc) {
                // Thrown in before the body began: the generator ends here.
                op->state = OpState::Closed;
                release_frame(&g->head);
                if (op->kind == OpKind::Close) {
                    Py_XDECREF(owned_exc);
                    *out = Py_NewRef(Py_None);
                    return PYGEN_RETURN;
                }
                PyErr_SetRaisedException(Py_NewRef(exc));
                return PYGEN_ERROR;
            }
            if (value && value != Py_None) {
                op->state = OpState::Closed;
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started async generator");
                return PYGEN_ERROR;
            }
            p->started = true;
            p->own.current = g->head.h;
        }
        op->state = OpState::Iter;
        p->in_flight = true;
        p->driver = &p->own;
    } else if (!p) {
        op->state = OpState::Closed;
        PyErr_SetString(PyExc_RuntimeError, "pyasync: async generator frame is gone");
        return PYGEN_ERROR;
    }
    p->running = true;
    Step s = advance(p->own, value, exc, out);
    p->running = false;
    Py_XDECREF(owned_exc);
    if (s == Step::Yielded) {
        return PYGEN_NEXT;
    }
    p->in_flight = false;
    op->state = OpState::Closed;
    if (PyObject *item = std::exchange(p->value, nullptr)) {
        if (op->kind == OpKind::Close) {
            Py_DECREF(item);
            PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
            return PYGEN_ERROR;
        }
        *out = item;
        return PYGEN_RETURN;
    }
    PyObject *err = std::exchange(p->error, nullptr);
    release_frame(&g->head);
    if (err) {
        if (op->kind == OpKind::Close && (matches(err, PyExc_GeneratorExit) || matches(err, PyExc_StopAsyncIteration))) {
            Py_DECREF(err);
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        PyErr_SetRaisedException(err);
        return PYGEN_ERROR;
    }
    if (op->kind == OpKind::Close) {
        *out = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    PyErr_SetNone(PyExc_StopAsyncIteration);
    return PYGEN_ERROR;
}

PySendResult op_am_send(PyObject *self, PyObject *arg, PyObject **out) {
    return op_step(reinterpret_cast<OpObject *>(self), arg, nullptr, out);
}

PyObject *op_iternext(PyObject *self) {
    PyObject *out = nullptr;
    PySendResult r = op_step(reinterpret_cast<OpObject *>(self), Py_None, nullptr, &out);
    return as_iternext_result(r, out);
}

PyObject *op_send(PyObject *self, PyObject *arg) {
    PyObject *out = nullptr;
    PySendResult r = op_step(reinterpret_cast<OpObject *>(self), arg, nullptr, &out);
    return as_method_result(r, out);
}

PyObject *op_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    PyObject *exc = make_exception(args, nargs);
    if (!exc) {
        return nullptr;
    }
    PyObject *out = nullptr;
    PySendResult r = op_step(reinterpret_cast<OpObject *>(self), nullptr, exc, &out);
    Py_DECREF(exc);
    return as_method_result(r, out);
}

PyObject *op_close(PyObject *self, PyObject *) {
    OpObject *op = reinterpret_cast<OpObject *>(self);
    if (op->state != OpState::Iter) {
        op->state = OpState::Closed;
        Py_RETURN_NONE;
    }
    PyObject *ge = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!ge) {
        return nullptr;
    }
    PyObject *out = nullptr;
    PySendResult r = op_step(op, nullptr, ge, &out);
    Py_DECREF(ge);
    if (r == PYGEN_ERROR) {
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }
    Py_DECREF(out);
    if (r == PYGEN_NEXT) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    Py_RETURN_NONE;
}

void op_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    OpObject *op = reinterpret_cast<OpObject *>(self);
    if (op->state == OpState::Iter && op->gen && op->gen->head.h) {
        gen_of(op->gen)->in_flight = false;  // dropped mid-way: the generator may be stepped again
    }
    Py_CLEAR(op->gen);
    Py_CLEAR(op->arg);
    PyTypeObject *tp = Py_TYPE(self);
    if (n_spare_ops < kSpareOps) {
        spare_ops[n_spare_ops++] = op;  // untracked, fields cleared, memory kept
    } else {
        tp->tp_free(self);
    }
    Py_DECREF(tp);
}

int op_traverse(PyObject *self, visitproc visit, void *arg) {
    OpObject *op = reinterpret_cast<OpObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(op->gen);
    Py_VISIT(op->arg);
    return 0;
}

int op_clear(PyObject *self) {
    OpObject *op = reinterpret_cast<OpObject *>(self);
    Py_CLEAR(op->gen);
    Py_CLEAR(op->arg);
    return 0;
}

PyMethodDef op_methods[] = {
    {"send", op_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(op_throw)), METH_FASTCALL, nullptr},
    {"close", op_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void gen_finalize(PyObject *self) {
    GenObject *g = reinterpret_cast<GenObject *>(self);
    if (!g->head.h) {
        return;
    }
    GenPromise *p = gen_of(g);
    if (!p->started || p->done || p->running || p->driver != &p->own) {
        return;
    }
    PyObject *saved = PyErr_GetRaisedException();
    if (g->finalizer) {
        // The host's loop closes it with aclose() (and may resurrect it meanwhile).
        PyObject *finalizer = Py_NewRef(g->finalizer);
        PyObject *r = PyObject_CallOneArg(finalizer, self);
        Py_DECREF(finalizer);
        if (r) {
            Py_DECREF(r);
        } else {
            PyErr_WriteUnraisable(self);
        }
    } else if (!p->in_flight) {
        close_now(g->head.h, p, self);
        release_frame(&g->head);
    }
    PyErr_SetRaisedException(saved);
}

int gen_traverse(PyObject *self, visitproc visit, void *arg) {
    GenObject *g = reinterpret_cast<GenObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->names.name);
    Py_VISIT(g->names.qualname);
    Py_VISIT(g->finalizer);
    if (g->head.h) {
        return visit_promise(*gen_of(g), visit, arg);
    }
    return 0;
}

int gen_clear(PyObject *self) {
    GenObject *g = reinterpret_cast<GenObject *>(self);
    Py_CLEAR(g->names.name);
    Py_CLEAR(g->names.qualname);
    Py_CLEAR(g->finalizer);
    if (g->head.h) {
        clear_promise(*gen_of(g));
    }
    return 0;
}

void gen_dealloc(PyObject *self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return;  // resurrected, e.g. by the finalizer hook's aclose()
    }
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    GenObject *g = reinterpret_cast<GenObject *>(self);
    release_frame(&g->head);
    Py_CLEAR(g->names.name);
    Py_CLEAR(g->names.qualname);
    Py_CLEAR(g->finalizer);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *gen_repr(PyObject *self) {
    PyObject *q = name_of(reinterpret_cast<GenObject *>(self)->names, true);
    return q ? PyUnicode_FromFormat("<async_generator object %U at %p>", q, self) : nullptr;
}

PyObject *gen_running(PyObject *self, void *) {
    GenObject *g = reinterpret_cast<GenObject *>(self);
    return PyBool_FromLong(g->head.h && gen_of(g)->in_flight);
}

PyObject *gen_await_of(PyObject *self, void *) {
    GenObject *g = reinterpret_cast<GenObject *>(self);
    PyObject *d = g->head.h ? gen_of(g)->own.delegate : nullptr;
    return Py_NewRef(d ? d : Py_None);
}

PyMethodDef gen_methods[] = {
    {"asend", gen_asend, METH_O, "asend(v) -> send 'v' in generator."},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_athrow)), METH_FASTCALL,
     "athrow(value)\n\nRaise exception in generator."},
    {"aclose", gen_aclose, METH_NOARGS, "aclose() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_name, set_name, nullptr, reinterpret_cast<void *>(1)},
    {"ag_running", gen_running, nullptr, nullptr, nullptr},
    {"ag_await", gen_await_of, nullptr, nullptr, nullptr},
    {"ag_frame", get_none, nullptr, nullptr, nullptr},
    {"ag_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- type objects ----------------------------------------------------------------------------

constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyTypeObject *make_type(const char *name, int size, unsigned long flags, PyType_Slot *slots) {
    PyType_Spec spec = {name, size, 0, static_cast<unsigned int>(flags), slots};
    PyObject *t = PyType_FromSpec(&spec);
    if (!t) {
        throw nb::python_error();
    }
    return reinterpret_cast<PyTypeObject *>(t);
}

Types make_types() {
    static PyType_Slot coro_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(coro_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(coro_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(coro_clear)},
        {Py_tp_finalize, reinterpret_cast<void *>(coro_finalize)},
        {Py_tp_repr, reinterpret_cast<void *>(coro_repr)},
        {Py_tp_iter, reinterpret_cast<void *>(self_iter)},
        {Py_tp_iternext, reinterpret_cast<void *>(coro_iternext)},
        {Py_tp_methods, coro_methods},
        {Py_tp_getset, coro_getset},
        {Py_am_await, reinterpret_cast<void *>(self_iter)},
        {Py_am_send, reinterpret_cast<void *>(coro_am_send)},
        {Py_tp_doc, const_cast<char *>("A coroutine whose body is C++.")},
        {0, nullptr},
    };
    static PyType_Slot gen_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(gen_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(gen_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(gen_clear)},
        {Py_tp_finalize, reinterpret_cast<void *>(gen_finalize)},
        {Py_tp_repr, reinterpret_cast<void *>(gen_repr)},
        {Py_tp_methods, gen_methods},
        {Py_tp_getset, gen_getset},
        {Py_am_aiter, reinterpret_cast<void *>(self_iter)},
        {Py_am_anext, reinterpret_cast<void *>(gen_anext)},
        {Py_tp_doc, const_cast<char *>("An asynchronous generator whose body is C++.")},
        {0, nullptr},
    };
    static PyType_Slot op_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(op_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(op_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(op_clear)},
        {Py_tp_iter, reinterpret_cast<void *>(self_iter)},
        {Py_tp_iternext, reinterpret_cast<void *>(op_iternext)},
        {Py_tp_methods, op_methods},
        {Py_am_await, reinterpret_cast<void *>(self_iter)},
        {Py_am_send, reinterpret_cast<void *>(op_am_send)},
        {0, nullptr},
    };
    Types t;
    t.coro = make_type("pyasync.coroutine", sizeof(CoroObject), kFlags | Py_TPFLAGS_MANAGED_WEAKREF, coro_slots);
    t.gen = make_type("pyasync.async_generator", sizeof(GenObject), kFlags | Py_TPFLAGS_MANAGED_WEAKREF, gen_slots);
    gen_type_ = t.gen;
    t.op = make_type("pyasync.async_generator_step", sizeof(OpObject), kFlags, op_slots);
    return t;
}

// Per extension (each links its own copy of this library) and for the process' lifetime.
Types &types() {
    static Types t = make_types();
    return t;
}

}  // namespace

PyTypeObject *gen_type_ = nullptr;

PyTypeObject *make_gen_type() noexcept {
    try {
        return types().gen;
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("pyasync: creating the async generator type");
        return nullptr;
    }
}

nb::object wrap_task(std::coroutine_handle<> h, TaskPromise *p) {
    PyTypeObject *t = types().coro;
    auto *c = reinterpret_cast<CoroObject *>(t->tp_alloc(t, 0));
    if (!c) {
        h.destroy();
        throw nb::python_error();
    }
    c->head.h = h;
    c->head.p = p;
    capture_names(c->names, p);
    return nb::steal(reinterpret_cast<PyObject *>(c));
}

nb::object wrap_gen(std::coroutine_handle<> h, GenPromise *p) {
    PyTypeObject *t = types().gen;
    auto *g = reinterpret_cast<GenObject *>(t->tp_alloc(t, 0));
    if (!g) {
        h.destroy();
        throw nb::python_error();
    }
    g->head.h = h;
    g->head.p = p;
    capture_names(g->names, p);
    return nb::steal(reinterpret_cast<PyObject *>(g));
}

Task ValueTaskPromise::get_return_object(std::source_location loc) noexcept {
    origin = loc.function_name();
    return Task(std::coroutine_handle<ValueTaskPromise>::from_promise(*this));
}

VoidTask VoidTaskPromise::get_return_object(std::source_location loc) noexcept {
    origin = loc.function_name();
    return VoidTask(std::coroutine_handle<VoidTaskPromise>::from_promise(*this));
}

AsyncGen GenPromise::get_return_object(std::source_location loc) noexcept {
    origin = loc.function_name();
    return AsyncGen(std::coroutine_handle<GenPromise>::from_promise(*this));
}

}  // namespace pyasync::detail

namespace pyasync {

nb::python_error current_error() noexcept {
    PyErr_SetRaisedException(detail::capture_exception());
    return nb::python_error();
}

nb::object AsyncGen::to_python() && {
    std::coroutine_handle<promise_type> h = std::exchange(h_, {});
    return detail::wrap_gen(h, &h.promise());
}

void AsyncGen::reset() noexcept {
    if (std::coroutine_handle<promise_type> h = std::exchange(h_, {})) {
        detail::GenPromise &p = h.promise();
        if (p.started && !p.done && !p.in_flight) {
            detail::close_now(h, &p, nullptr);
        }
        h.destroy();
    }
}

AsyncIter::AsyncIter(nb::handle iterable) {
    PyObject *it = PyObject_GetAIter(iterable.ptr());
    if (!it) {
        throw nb::python_error();
    }
    obj_ = nb::steal(it);
}

}  // namespace pyasync
