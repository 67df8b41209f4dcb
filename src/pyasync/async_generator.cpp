// The Python async generator type whose frame is a C++ AsyncGen, and its step awaitable: the
// object each __anext__(), asend(), athrow() and aclose() returns.
#include "pyasync/detail/internal.hpp"

namespace pyasync::detail {

namespace {

Named &gen_names(PyObject *self) { return reinterpret_cast<GenObject *>(self)->names; }

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

PyObject *gen_anext(PyObject *self) {
    return new_op(reinterpret_cast<GenObject *>(self), OpKind::Send, nullptr);
}

PyObject *gen_asend(PyObject *self, PyObject *arg) {
    return new_op(reinterpret_cast<GenObject *>(self), OpKind::Send, arg);
}

PyObject *gen_athrow(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs > 1 && !warn_throw_signature("athrow")) {
        return nullptr;
    }
    // Arguments that make no exception fail when the step is awaited, as with Python's own async generators.
    PyObject *exc = nargs >= 1 && nargs <= 3 ? make_exception(args, nargs) : nullptr;
    OpKind kind = OpKind::Throw;
    if (!exc) {
        if (!PyErr_Occurred()) {
            check_throw_args("athrow", nargs);
        }
        exc = PyErr_GetRaisedException();
        kind = OpKind::BadThrow;
    }
    PyObject *op = new_op(reinterpret_cast<GenObject *>(self), kind, exc);
    Py_DECREF(exc);
    return op;
}

PyObject *gen_aclose(PyObject *self, PyObject *) {
    return new_op(reinterpret_cast<GenObject *>(self), OpKind::Close, nullptr);
}

// How a step that ended without an item ends: the generator is over.
PySendResult op_over(OpObject *op, GenPromise *p, PyObject **out) {
    PyObject *err = std::exchange(p->error, nullptr);
    release_frame(&op->gen->head);
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

PySendResult ignored_exit(PyObject *item) {
    Py_DECREF(item);
    PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
    return PYGEN_ERROR;
}

// Runs the frame for a step under way (`owned_exc`, if any, is dropped after), and returns the outcome.
PySendResult op_run(OpObject *op, GenPromise *p, PyThreadState *ts, PyObject *value, PyObject *exc,
                                 PyObject *owned_exc, PyObject **out) {
    p->running = true;
    Step s = advance(p->own, ts, value, exc, out);
    p->running = false;
    Py_XDECREF(owned_exc);
    if (s == Step::Yielded) {
        return PYGEN_NEXT;
    }
    p->in_flight = false;
    op->state = OpState::Closed;
    if (PyObject *item = std::exchange(p->value, nullptr)) {
        if (op->kind == OpKind::Close) {
            return ignored_exit(item);
        }
        *out = item;
        return PYGEN_RETURN;
    }
    return op_over(op, p, out);
}

// The start of a step that is not the common one (see op_step): the checks and what each kind of step
// sends or throws in.
PySendResult op_begin(PyObject *self, PyThreadState *ts, PyObject *value, PyObject *exc,
                                                   PyObject **out) {
    OpObject *op = reinterpret_cast<OpObject *>(self);
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
                            : op->kind != OpKind::Close ? "athrow(): asynchronous generator is already running"
                                                        : "aclose(): asynchronous generator is already running");
            return PYGEN_ERROR;
        }
        if (op->kind == OpKind::BadThrow) {
            // athrow()'s arguments made no exception: that error, the generator untouched, unless
            // it is over.
            op->state = OpState::Closed;
            if (!p || p->done) {
                *out = Py_NewRef(Py_None);
                return PYGEN_RETURN;
            }
            PyErr_SetRaisedException(Py_NewRef(op->arg));
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
    return op_run(op, p, ts, value, exc, owned_exc, out);
}

// The step of every `__anext__()` of a started generator, and of a step resumed after it waited: straight
// to the frame.
PySendResult op_step(PyObject *self, PyThreadState *ts, PyObject *value, PyObject *exc, PyObject **out) {
    OpObject *op = reinterpret_cast<OpObject *>(self);
    GenObject *g = op->gen;
    GenPromise *p = g && g->head.h ? gen_of(g) : nullptr;
    if (op->state == OpState::Iter && p) {
        return op_run(op, p, ts, value, exc, nullptr, out);
    }
    if (op->state == OpState::Init && op->kind == OpKind::Send && !exc && !op->arg && p && p->started && !p->done &&
        !p->in_flight) {
        op->state = OpState::Iter;
        p->in_flight = true;
        p->driver = &p->own;
        return op_run(op, p, ts, value == Py_None ? nullptr : value, nullptr, nullptr, out);
    }
    return op_begin(self, ts, value, exc, out);
}

// The generator's promise while this step waits, with it, on a Python iterator.
PromiseBase *op_awaiting(PyObject *self) {
    OpObject *op = reinterpret_cast<OpObject *>(self);
    GenPromise *p = op->state == OpState::Iter && op->gen && op->gen->head.h ? gen_of(op->gen) : nullptr;
    return p && !p->running && p->own.delegate ? p : nullptr;
}

using OpStepping = Stepping<op_step, op_awaiting>;

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
    PySendResult r = OpStepping::call(self, nullptr, ge, &out);
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

// No trashcan of its own (one per item would cost): a chain through steps is a chain through
// their generators, whose deallocation has one.
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
    {"send", OpStepping::send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(OpStepping::throw_)), METH_FASTCALL, nullptr},
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
        // The event loop's finalizer hook closes it with aclose() (and may resurrect it meanwhile).
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
    in_trashcan(self, gen_dealloc, [](PyObject *self) {
        GenObject *g = reinterpret_cast<GenObject *>(self);
        release_frame(&g->head);
        Py_CLEAR(g->names.name);
        Py_CLEAR(g->names.qualname);
        Py_CLEAR(g->finalizer);
        PyTypeObject *tp = Py_TYPE(self);
        tp->tp_free(self);
        Py_DECREF(tp);
    });
}

PyObject *gen_repr(PyObject *self) {
    PyObject *q = name_of(reinterpret_cast<GenObject *>(self)->names, true);
    return q ? PyUnicode_FromFormat("<async_generator object %U at %p>", q, self) : nullptr;
}

PyObject *gen_running(PyObject *self, void *) {
    GenObject *g = reinterpret_cast<GenObject *>(self);
    return PyBool_FromLong(g->head.h && gen_of(g)->in_flight);
}

// At a yield or an await, neither stepping nor done: what `inspect.getasyncgenstate` calls suspended.
PyObject *gen_suspended(PyObject *self, void *) {
    GenObject *g = reinterpret_cast<GenObject *>(self);
    GenPromise *p = g->head.h ? gen_of(g) : nullptr;
    return PyBool_FromLong(p && p->started && !p->done && !p->running);
}

PyObject *gen_frame(PyObject *self, void *) {
    GenObject *g = reinterpret_cast<GenObject *>(self);
    return g->head.h && !gen_of(g)->done ? frame_standin(g->names) : Py_NewRef(Py_None);
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
    {"__name__", get_name<gen_names>, set_name<gen_names>, nullptr, nullptr},
    {"__qualname__", get_name<gen_names>, set_name<gen_names>, nullptr, reinterpret_cast<void *>(1)},
    {"ag_running", gen_running, nullptr, nullptr, nullptr},
    {"ag_await", gen_await_of, nullptr, nullptr, nullptr},
    {"ag_suspended", gen_suspended, nullptr, nullptr, nullptr},
    {"ag_frame", gen_frame, nullptr, nullptr, nullptr},
    {"ag_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyType_Slot gen_slots[] = {
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

PyType_Slot op_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(op_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(op_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(op_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(self_iter)},
    {Py_tp_iternext, reinterpret_cast<void *>(OpStepping::iternext)},
    {Py_tp_methods, op_methods},
    {Py_am_await, reinterpret_cast<void *>(self_iter)},
    {Py_am_send, reinterpret_cast<void *>(OpStepping::am_send)},
    {0, nullptr},
};

}  // namespace pyasync::detail
