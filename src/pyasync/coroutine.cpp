// The Python coroutine type whose frame is a C++ Task.
#include "pyasync/detail/internal.hpp"

namespace pyasync::detail {

namespace {

PySendResult coro_step(PyObject *self, PyThreadState *ts, PyObject *value, PyObject *exc, PyObject **out) {
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
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
    Step s = advance(p->own, ts, value, exc, out);
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

// The promise of a coroutine suspended in an await of a Python iterator.
PromiseBase *coro_awaiting(PyObject *self) {
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
    TaskPromise *p = c->head.h ? task_of(c) : nullptr;
    return p && !p->running && p->own.delegate ? p : nullptr;
}

using CoroStepping = Stepping<coro_step, coro_awaiting>;

// `await coro`: a coroutine that another awaiter is suspended in cannot be awaited a second time.
PyObject *coro_await(PyObject *self) {
    CoroObject *c = reinterpret_cast<CoroObject *>(self);
    TaskPromise *p = c->head.h ? task_of(c) : nullptr;
    if (p && p->started && !p->done && !p->running) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
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
    PySendResult r = CoroStepping::call(self, nullptr, ge, &out);
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
    in_trashcan(self, coro_dealloc, [](PyObject *self) {
        CoroObject *c = reinterpret_cast<CoroObject *>(self);
        release_frame(&c->head);
        Py_CLEAR(c->names.name);
        Py_CLEAR(c->names.qualname);
        PyTypeObject *tp = Py_TYPE(self);
        tp->tp_free(self);
        Py_DECREF(tp);
    });
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
    {"send", CoroStepping::send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(CoroStepping::throw_)), METH_FASTCALL,
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

}  // namespace

PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(coro_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(coro_clear)},
    {Py_tp_finalize, reinterpret_cast<void *>(coro_finalize)},
    {Py_tp_repr, reinterpret_cast<void *>(coro_repr)},
    {Py_tp_iter, reinterpret_cast<void *>(self_iter)},
    {Py_tp_iternext, reinterpret_cast<void *>(CoroStepping::iternext)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_am_await, reinterpret_cast<void *>(coro_await)},
    {Py_am_send, reinterpret_cast<void *>(CoroStepping::am_send)},
    {Py_tp_doc, const_cast<char *>("A coroutine whose body is C++.")},
    {0, nullptr},
};

}  // namespace pyasync::detail
