// The Python coroutine type whose frame is a C++ Task.
#include "pyasync/detail/coroutine_type.hpp"

namespace pyasync::detail {

namespace {

CoroObject *as_coro(PyObject *self) { return reinterpret_cast<CoroObject *>(self); }

// A coroutine whose body is a C++ Task, stepped through its driver.
struct TaskKind {
    static constexpr const char *doc = "A coroutine whose body is C++.";

    static Named &names(PyObject *self) { return as_coro(self)->names; }
    static TaskPromise *promise(PyObject *self) {
        CoroObject *c = as_coro(self);
        return c->head.h ? task_of(c) : nullptr;
    }
    static bool fresh(PyObject *self) {
        TaskPromise *p = promise(self);
        return p && !p->started;
    }
    static bool finished(PyObject *self) {
        TaskPromise *p = promise(self);
        return !p || p->done;
    }
    static bool running(PyObject *self) {
        TaskPromise *p = promise(self);
        return p && p->running;
    }
    static bool suspended(PyObject *self) {
        TaskPromise *p = promise(self);
        return p && p->started && !p->done && !p->running;
    }
    static PyObject *awaited(PyObject *self) {
        TaskPromise *p = promise(self);
        return p ? p->own.delegate : nullptr;
    }

    static PySendResult step(PyObject *self, PyThreadState *ts, PyObject *value, PyObject *exc, PyObject **out) {
        CoroObject *c = as_coro(self);
        TaskPromise *p = task_of(c);
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
    static PromiseBase *awaiting(PyObject *self) {
        TaskPromise *p = promise(self);
        return p && !p->running && p->own.delegate ? p : nullptr;
    }

    static PyObject *close(PyObject *self) {
        CoroObject *c = as_coro(self);
        TaskPromise *p = task_of(c);
        if (!p->started) {
            release_frame(&c->head);
            Py_RETURN_NONE;
        }
        PyObject *ge = PyObject_CallNoArgs(PyExc_GeneratorExit);
        if (!ge) {
            return nullptr;
        }
        PyObject *out = nullptr;
        PySendResult r = CoroutineType<TaskKind>::S::call(self, nullptr, ge, &out);
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

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        TaskPromise *p = promise(self);
        return p ? visit_promise(*p, visit, arg) : 0;
    }
    static void clear(PyObject *self) {
        if (TaskPromise *p = promise(self)) {
            clear_promise(*p);
        }
    }
    static void release(PyObject *self) { release_frame(&as_coro(self)->head); }
};

}  // namespace

PyType_Slot *coro_slots() { return CoroutineType<TaskKind>::slots; }

}  // namespace pyasync::detail
