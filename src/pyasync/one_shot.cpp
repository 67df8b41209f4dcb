// The Python coroutine whose body is one plain C++ call (see one_shot.hpp).
#include "pyasync/one_shot.hpp"

#include <stdexcept>
#include <utility>

#include "pyasync/detail/internal.hpp"

namespace pyasync::detail {

namespace {

enum class ShotState : std::uint8_t { Fresh, Awaiting, Done };

struct OneShotObject {
    PyObject_HEAD
    OneShotBody body;
    PyObject *args[kOneShotArgs];  // owned until the body has run
    int nargs;
    PyObject *awaited;  // the iterator of the awaitable the body handed back, while it runs (owned)
    Named names;
    ShotState state;
    bool running;
};

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

PySendResult shot_step(PyObject *self, PyThreadState *ts, PyObject *value, PyObject *exc, PyObject **out) {
    OneShotObject *o = as_shot(self);
    if (o->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    switch (o->state) {
    case ShotState::Fresh:
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
    case ShotState::Awaiting:
        return step_awaited(o, value, exc, out);
    default:
        if (exc) {
            PyErr_SetRaisedException(Py_NewRef(exc));
        } else {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        }
        return PYGEN_ERROR;
    }
}

bool suspended(const OneShotObject *o) { return o->state == ShotState::Awaiting && !o->running; }

// Bad throw() arguments fail in the awaited iterator's throw(), and what comes of it ends the body, as with
// Python's own coroutines: the stepping's own handling of them needs a promise, which this coroutine has not.
PromiseBase *shot_awaiting(PyObject *) { return nullptr; }

using ShotStepping = Stepping<shot_step, shot_awaiting>;

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

PyObject *shot_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    OneShotObject *o = as_shot(self);
    if (!suspended(o)) {
        return ShotStepping::throw_(self, args, nargs);
    }
    if (!check_throw_args("throw", nargs)) {
        return nullptr;
    }
    PyObject *out = nullptr;
    if (PyObject *exc = make_exception(args, nargs)) {
        PySendResult r = ShotStepping::call(self, nullptr, exc, &out);
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

PyObject *shot_await(PyObject *self) {
    if (suspended(as_shot(self))) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
}

// The body has nothing of its own after its await: closing it closes the awaited iterator, as `yield from`
// does, and the exit ends the coroutine.
PyObject *shot_close(PyObject *self, PyObject * = nullptr) {
    OneShotObject *o = as_shot(self);
    if (o->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
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

void shot_finalize(PyObject *self) {
    OneShotObject *o = as_shot(self);
    if (o->state == ShotState::Done) {
        return;
    }
    PyObject *saved = PyErr_GetRaisedException();
    if (o->state == ShotState::Fresh) {
        PyObject *qualname = name_of(o->names, true);
        if (!qualname || PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", qualname) < 0) {
            PyErr_WriteUnraisable(self);
        }
    } else if (!o->running) {
        if (PyObject *r = shot_close(self)) {
            Py_DECREF(r);
        } else {
            PyErr_WriteUnraisable(self);
        }
    }
    PyErr_SetRaisedException(saved);
}

int shot_traverse(PyObject *self, visitproc visit, void *arg) {
    OneShotObject *o = as_shot(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->names.name);
    Py_VISIT(o->names.qualname);
    for (int k = 0; k < o->nargs; ++k) {
        Py_VISIT(o->args[k]);
    }
    Py_VISIT(o->awaited);
    return 0;
}

int shot_clear(PyObject *self) {
    OneShotObject *o = as_shot(self);
    Py_CLEAR(o->names.name);
    Py_CLEAR(o->names.qualname);
    release_args(o);
    Py_CLEAR(o->awaited);
    return 0;
}

void shot_dealloc(PyObject *self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return;  // resurrected
    }
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    in_trashcan(self, shot_dealloc, [](PyObject *self) {
        shot_clear(self);
        PyTypeObject *tp = Py_TYPE(self);
        tp->tp_free(self);
        Py_DECREF(tp);
    });
}

PyObject *shot_repr(PyObject *self) {
    PyObject *q = name_of(as_shot(self)->names, true);
    return q ? PyUnicode_FromFormat("<coroutine object %U at %p>", q, self) : nullptr;
}

PyObject *shot_get_name(PyObject *self, void *qual) {
    PyObject *v = name_of(as_shot(self)->names, qual != nullptr);
    return v ? Py_NewRef(v) : nullptr;
}

int shot_set_name(PyObject *self, PyObject *value, void *qual) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", qual ? "__qualname__" : "__name__");
        return -1;
    }
    Named &n = as_shot(self)->names;
    Py_XSETREF(qual ? n.qualname : n.name, Py_NewRef(value));
    return 0;
}

PyObject *shot_running(PyObject *self, void *) { return PyBool_FromLong(as_shot(self)->running); }

PyObject *shot_suspended(PyObject *self, void *) { return PyBool_FromLong(suspended(as_shot(self))); }

PyObject *shot_await_of(PyObject *self, void *) {
    PyObject *awaited = as_shot(self)->awaited;
    return Py_NewRef(awaited ? awaited : Py_None);
}

PyMethodDef shot_methods[] = {
    {"send", ShotStepping::send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shot_throw)), METH_FASTCALL,
     "throw(value)\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", shot_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef shot_getset[] = {
    {"__name__", shot_get_name, shot_set_name, nullptr, nullptr},
    {"__qualname__", shot_get_name, shot_set_name, nullptr, reinterpret_cast<void *>(1)},
    {"cr_running", shot_running, nullptr, nullptr, nullptr},
    {"cr_suspended", shot_suspended, nullptr, nullptr, nullptr},
    {"cr_await", shot_await_of, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot shot_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(shot_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(shot_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(shot_clear)},
    {Py_tp_finalize, reinterpret_cast<void *>(shot_finalize)},
    {Py_tp_repr, reinterpret_cast<void *>(shot_repr)},
    {Py_tp_iter, reinterpret_cast<void *>(self_iter)},
    {Py_tp_iternext, reinterpret_cast<void *>(ShotStepping::iternext)},
    {Py_tp_methods, shot_methods},
    {Py_tp_getset, shot_getset},
    {Py_am_await, reinterpret_cast<void *>(shot_await)},
    {Py_am_send, reinterpret_cast<void *>(ShotStepping::am_send)},
    {Py_tp_doc, const_cast<char *>("A coroutine whose body is one C++ call.")},
    {0, nullptr},
};

// Per extension (each links its own copy of the bridge) and for the process' lifetime.
PyTypeObject *shot_type() {
    static PyTypeObject *type = [] {
        PyType_Spec spec = {"pyasync.coroutine", sizeof(OneShotObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_MANAGED_WEAKREF,
                            shot_slots};
        PyObject *made = PyType_FromSpec(&spec);
        if (!made) {
            raise_owned(PyErr_GetRaisedException());
        }
        return reinterpret_cast<PyTypeObject *>(made);
    }();
    return type;
}

}  // namespace

}  // namespace pyasync::detail

namespace pyasync {

nb::object one_shot(OneShotBody body, std::initializer_list<nb::handle> args, const char *name,
                    const char *qualname) {
    using namespace detail;
    if (args.size() > static_cast<std::size_t>(kOneShotArgs)) {
        throw std::invalid_argument("pyasync::one_shot: too many arguments");
    }
    PyTypeObject *type = shot_type();
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
