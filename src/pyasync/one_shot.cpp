// The Python coroutine whose body is one plain C++ call (see one_shot.hpp).
#include "pyasync/one_shot.hpp"

#include <stdexcept>
#include <utility>

#include "pyasync/detail/coroutine_type.hpp"

namespace pyasync::detail {

namespace {

OneShotObject *as_shot(PyObject *self) { return reinterpret_cast<OneShotObject *>(self); }

// The arguments go once the body has run, as a finished frame's parameters do.
void release_args(OneShotObject *o) {
    for (int k = 0; k < o->nargs; ++k) {
        Py_CLEAR(o->args[k]);
    }
    o->nargs = 0;
}

PySendResult end_with_error(OneShotObject *o, PyObject *error) {
    o->state = ShotState::Done;
    PyErr_SetRaisedException(guard_stop(error, "coroutine raised StopIteration", nullptr));
    return PYGEN_ERROR;
}

PySendResult run_body(OneShotObject *o, PyThreadState *ts, PyObject **out) {
    Finish finish;
    PyObject *error = nullptr;
    o->running = true;
    --ts->py_recursion_remaining;  // the body counts as a Python frame would
    try {
        finish = o->body(o->args);
    } catch (...) {
        error = capture_exception();
    }
    ++ts->py_recursion_remaining;
    o->running = false;
    release_args(o);
    if (error) {
        return end_with_error(o, error);
    }
    if (!finish.await_it) {
        o->state = ShotState::Done;
        *out = finish.value.release().ptr();
        return PYGEN_RETURN;
    }
    PyObject *iter = nullptr;
    PyObject *res = nullptr;
    o->running = true;
    Start started = start_await(finish.value.release().ptr(), true, false, &iter, &res);
    o->running = false;
    switch (started) {
    case Start::Yielded:
        o->awaited = iter;
        o->state = ShotState::Awaiting;
        *out = res;
        return PYGEN_NEXT;
    case Start::Returned:
        o->state = ShotState::Done;
        *out = res;
        return PYGEN_RETURN;
    default:
        return end_with_error(o, res);
    }
}

// One input for the awaited iterator, as `yield from` passes it on.
PySendResult step_awaited(OneShotObject *o, PyObject *value, PyObject *exc, PyObject **out) {
    PyObject *res = nullptr;
    PySendResult r = PYGEN_ERROR;
    o->running = true;
    if (!exc) {
        r = PyIter_Send(o->awaited, value ? value : Py_None, &res);
    } else if (matches(exc, PyExc_GeneratorExit)) {
        if (close_iter(o->awaited) == 0) {
            PyErr_SetRaisedException(Py_NewRef(exc));  // closed: the exit is raised at the await
        }
    } else {
        PyObject *meth = nullptr;
        if (PyObject_GetOptionalAttr(o->awaited, interned().throw_, &meth) == 0) {
            PyErr_SetRaisedException(Py_NewRef(exc));  // no throw(): raised at the await itself
        } else if (meth) {
            r = call_throw(meth, &exc, 1, &res);
            Py_DECREF(meth);
        }
    }
    o->running = false;
    if (r == PYGEN_NEXT) {
        *out = res;
        return PYGEN_NEXT;
    }
    Py_CLEAR(o->awaited);
    if (r == PYGEN_RETURN) {
        o->state = ShotState::Done;
        *out = res;
        return PYGEN_RETURN;
    }
    return end_with_error(o, PyErr_GetRaisedException());
}

bool suspended(const OneShotObject *o) { return o->state == ShotState::Awaiting && !o->running; }

// throw()'s outcome, as Python's own coroutines return it.
PyObject *thrown(PySendResult r, PyObject *out) {
    if (r == PYGEN_NEXT) {
        return out;
    }
    if (r == PYGEN_RETURN) {
        set_stop_iteration(out);
    }
    return nullptr;
}

struct ShotKind {
    static constexpr const char *doc = "A coroutine whose body is one C++ call.";

    static Named &names(PyObject *self) { return as_shot(self)->names; }
    static bool fresh(PyObject *self) { return as_shot(self)->state == ShotState::Fresh; }
    static bool finished(PyObject *self) { return as_shot(self)->state == ShotState::Done; }
    static bool running(PyObject *self) { return as_shot(self)->running; }
    static bool suspended(PyObject *self) { return detail::suspended(as_shot(self)); }
    static PyObject *awaited(PyObject *self) { return as_shot(self)->awaited; }

    static PySendResult step(PyObject *self, PyThreadState *ts, PyObject *value, PyObject *exc, PyObject **out) {
        OneShotObject *o = as_shot(self);
        if (o->state == ShotState::Awaiting) {
            return step_awaited(o, value, exc, out);
        }
        if (exc) {
            // Thrown in before the body began: it ends here.
            o->state = ShotState::Done;
            release_args(o);
            PyErr_SetRaisedException(Py_NewRef(exc));
            return PYGEN_ERROR;
        }
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        return run_body(o, ts, out);
    }

    // Bad throw() arguments fail in the awaited iterator's throw() (see throw_suspended): the stepping's own
    // handling of them needs a promise, which this coroutine has not.
    static PromiseBase *awaiting(PyObject *) { return nullptr; }

    // throw() while the body's awaitable runs: what it throws goes into the awaited iterator, as with Python's own
    // coroutines, bad arguments included, and what comes of it ends the coroutine.
    static PyObject *throw_suspended(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
        OneShotObject *o = as_shot(self);
        if (!check_throw_args("throw", nargs)) {
            return nullptr;
        }
        PyObject *out = nullptr;
        if (PyObject *exc = make_exception(args, nargs)) {
            PySendResult r = CoroutineType<ShotKind>::S::call(self, nullptr, exc, &out);
            Py_DECREF(exc);
            return thrown(r, out);
        }
        PySendResult r;
        std::optional<RecursionGuard> entry;
        if (!throw_bad_args_into(o->awaited, o->running, args, nargs, entry, r, &out)) {
            return nullptr;
        }
        if (r != PYGEN_NEXT) {
            Py_CLEAR(o->awaited);
            o->state = ShotState::Done;
            if (r == PYGEN_ERROR) {
                end_with_error(o, PyErr_GetRaisedException());
            }
        }
        return thrown(r, out);
    }

    // The body has nothing of its own after its await: closing it closes the awaited iterator, as `yield from`
    // does, and the exit ends the coroutine.
    static PyObject *close(PyObject *self) {
        OneShotObject *o = as_shot(self);
        o->state = ShotState::Done;
        release_args(o);
        PyObject *awaited = std::exchange(o->awaited, nullptr);
        if (!awaited) {
            Py_RETURN_NONE;
        }
        RecursionGuard entry;
        int closed = -1;
        if (entry) {
            o->running = true;
            closed = close_iter(awaited);
            o->running = false;
        }
        Py_DECREF(awaited);
        if (closed < 0) {
            PyErr_SetRaisedException(guard_stop(PyErr_GetRaisedException(), "coroutine raised StopIteration", nullptr));
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        OneShotObject *o = as_shot(self);
        for (int k = 0; k < o->nargs; ++k) {
            Py_VISIT(o->args[k]);
        }
        Py_VISIT(o->awaited);
        return 0;
    }
    static void clear(PyObject *self) {
        OneShotObject *o = as_shot(self);
        release_args(o);
        Py_CLEAR(o->awaited);
    }
    static void release(PyObject *self) { clear(self); }
};

}  // namespace

PyType_Slot *shot_slots() { return CoroutineType<ShotKind>::slots; }

}  // namespace pyasync::detail

namespace pyasync {

nb::object one_shot(OneShotBody body, std::initializer_list<nb::handle> args, const char *name,
                    const char *qualname) {
    using namespace detail;
    if (args.size() > static_cast<std::size_t>(kOneShotArgs)) {
        throw std::invalid_argument("pyasync::one_shot: too many arguments");
    }
    PyTypeObject *type = types().shot;
    auto *o = reinterpret_cast<OneShotObject *>(type->tp_alloc(type, 0));  // zeroed: Fresh, no names yet
    if (!o) {
        raise_owned(PyErr_GetRaisedException());
    }
    o->body = body;
    for (nb::handle arg : args) {
        o->args[o->nargs++] = Py_NewRef(arg.ptr());
    }
    o->names.cname = name;
    o->names.cqualname = qualname;
    return nb::steal(reinterpret_cast<PyObject *>(o));
}

}  // namespace pyasync
