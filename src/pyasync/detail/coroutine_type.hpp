// The Python face of every native coroutine type: one table of methods and attributes, and the slots they
// share, over a kind `K` that knows its own object:
//
//   static Named &names(PyObject *self);
//   static bool fresh(PyObject *self);         // made, its body not begun
//   static bool finished(PyObject *self);      // returned, raised or closed
//   static bool running(PyObject *self);
//   static bool suspended(PyObject *self);     // waiting in an await, not running
//   static PyObject *awaited(PyObject *self);  // borrowed: what it awaits now, or null
//   static PySendResult step(PyObject *self, PyThreadState *ts, PyObject *value, PyObject *exc, PyObject **out);
//   static PromiseBase *awaiting(PyObject *self);   // for Stepping: the promise whose chain awaits, or null
//   static PyObject *close(PyObject *self);         // an unfinished one
// `step` and `close` are called for an object neither running nor finished (`close` also by the finaliser).
//   static int traverse(PyObject *self, visitproc visit, void *arg);  // beyond the type and the names
//   static void clear(PyObject *self);               // beyond the names, for the collector
//   static void release(PyObject *self);             // beyond the names, when the object goes
//   static const char *const doc;
// and, optionally, `static PyObject *throw_suspended(PyObject *self, PyObject *const *args, Py_ssize_t nargs)`
// for `throw()` while suspended.
//
// A running coroutine refuses to be stepped or closed. A finished one answers as Python's own: `send` and `throw`
// raise RuntimeError('cannot reuse already awaited coroutine') (after throw()'s arguments are checked), `close`
// returns None.
#pragma once

#include "pyasync/detail/internal.hpp"

namespace pyasync::detail {

template <class K>
struct CoroutineType {
    static bool refuse_running(PyObject *self) {
        if (K::running(self)) {
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return true;
        }
        return false;
    }

    static PySendResult step(PyObject *self, PyThreadState *ts, PyObject *value, PyObject *exc, PyObject **out) {
        if (refuse_running(self)) {
            return PYGEN_ERROR;
        }
        if (K::finished(self)) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        }
        return K::step(self, ts, value, exc, out);
    }
    using S = Stepping<step, K::awaiting>;

    static PyObject *throw_(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
        if constexpr (requires { K::throw_suspended(self, args, nargs); }) {
            if (K::suspended(self)) {
                return K::throw_suspended(self, args, nargs);
            }
        }
        return S::throw_(self, args, nargs);
    }

    static PyObject *close(PyObject *self, PyObject * = nullptr) {
        if (refuse_running(self)) {
            return nullptr;
        }
        if (K::finished(self)) {
            Py_RETURN_NONE;
        }
        return K::close(self);
    }

    // `await coro`: a coroutine that another awaiter is suspended in cannot be awaited a second time.
    static PyObject *await(PyObject *self) {
        if (K::suspended(self)) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(self);
    }

    static void finalize(PyObject *self) {
        if (K::finished(self)) {
            return;
        }
        PyObject *saved = PyErr_GetRaisedException();
        if (K::fresh(self)) {
            PyObject *qualname = name_of(K::names(self), true);
            if (!qualname || PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", qualname) < 0) {
                PyErr_WriteUnraisable(self);
            }
        } else if (!K::running(self)) {
            if (PyObject *r = K::close(self)) {
                Py_DECREF(r);
            } else {
                PyErr_WriteUnraisable(self);
            }
        }
        PyErr_SetRaisedException(saved);
    }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Named &n = K::names(self);
        Py_VISIT(Py_TYPE(self));
        Py_VISIT(n.name);
        Py_VISIT(n.qualname);
        return K::traverse(self, visit, arg);
    }

    static int clear(PyObject *self) {
        Named &n = K::names(self);
        Py_CLEAR(n.name);
        Py_CLEAR(n.qualname);
        K::clear(self);
        return 0;
    }

    static void dealloc(PyObject *self) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0) {
            return;  // resurrected
        }
        PyObject_GC_UnTrack(self);
        PyObject_ClearWeakRefs(self);
        in_trashcan(self, dealloc, [](PyObject *self) {
            K::release(self);
            Named &n = K::names(self);
            Py_CLEAR(n.name);
            Py_CLEAR(n.qualname);
            PyTypeObject *tp = Py_TYPE(self);
            tp->tp_free(self);
            Py_DECREF(tp);
        });
    }

    static PyObject *repr(PyObject *self) {
        PyObject *q = name_of(K::names(self), true);
        return q ? PyUnicode_FromFormat("<coroutine object %U at %p>", q, self) : nullptr;
    }

    static PyObject *cr_running(PyObject *self, void *) { return PyBool_FromLong(K::running(self)); }
    static PyObject *cr_suspended(PyObject *self, void *) { return PyBool_FromLong(K::suspended(self)); }
    static PyObject *cr_frame(PyObject *self, void *) {
        return K::finished(self) ? Py_NewRef(Py_None) : frame_standin(K::names(self));
    }
    static PyObject *cr_await(PyObject *self, void *) {
        PyObject *awaited = K::suspended(self) ? K::awaited(self) : nullptr;
        return Py_NewRef(awaited ? awaited : Py_None);
    }

    static inline PyMethodDef methods[] = {
        {"send", S::send, METH_O,
         "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
        {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_)), METH_FASTCALL,
         "throw(value)\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
        {"close", close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
        {nullptr, nullptr, 0, nullptr},
    };

    static inline PyGetSetDef getset[] = {
        {"__name__", get_name<K::names>, set_name<K::names>, nullptr, nullptr},
        {"__qualname__", get_name<K::names>, set_name<K::names>, nullptr, reinterpret_cast<void *>(1)},
        {"cr_running", cr_running, nullptr, nullptr, nullptr},
        {"cr_suspended", cr_suspended, nullptr, nullptr, nullptr},
        {"cr_await", cr_await, nullptr, nullptr, nullptr},
        {"cr_frame", cr_frame, nullptr, nullptr, nullptr},
        {"cr_code", get_none, nullptr, nullptr, nullptr},
        {"cr_origin", get_none, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };

    static inline PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(clear)},
        {Py_tp_finalize, reinterpret_cast<void *>(finalize)},
        {Py_tp_repr, reinterpret_cast<void *>(repr)},
        {Py_tp_iter, reinterpret_cast<void *>(self_iter)},
        {Py_tp_iternext, reinterpret_cast<void *>(S::iternext)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_am_await, reinterpret_cast<void *>(await)},
        {Py_am_send, reinterpret_cast<void *>(S::am_send)},
        {Py_tp_doc, const_cast<char *>(K::doc)},
        {0, nullptr},
    };
};

}  // namespace pyasync::detail
