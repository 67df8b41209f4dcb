// The bridge's machinery, shared by its own sources only: errors.cpp, driver.cpp, direct.cpp,
// coroutine.cpp, async_generator.cpp and types.cpp (the type registry).
#pragma once

#include "pyasync/pyasync.hpp"

namespace pyasync::detail {

// --- errors ----------------------------------------------------------------------------------

// A new exception of `type` (an owned reference).
PyObject *new_error(PyObject *type, const char *msg) noexcept;
inline bool matches(PyObject *exc, PyObject *type) noexcept { return PyErr_GivenExceptionMatches(exc, type) != 0; }
// Raises StopIteration(value) explicitly: PyErr_SetObject would unpack a tuple or take an
// exception instance for the exception itself. Consumes `value`.
void set_stop_iteration(PyObject *value) noexcept;
// Takes the value out of a raised StopIteration; false when another error is raised.
bool fetch_stop_value(PyObject **value) noexcept;
// An exception instance from throw()'s arguments: (instance) or (type[, value[, traceback]]).
PyObject *make_exception(PyObject *const *args, Py_ssize_t nargs) noexcept;

// --- driver ----------------------------------------------------------------------------------

struct Interned {
    PyObject *throw_;
    PyObject *close;
    PyObject *aclose;
};
const Interned &interned() noexcept;

// `iter.close()` if it has one.
int close_iter(PyObject *iter) noexcept;

enum class Step { Yielded, Stopped };

// Feeds one input (a value, or the exception `exc`) to the chain: first to the Python iterator
// being awaited, if any, else to the suspended frame. Yielded: `*out` goes to the event loop.
// Stopped: the root frame reached co_yield or its end. Both inputs are borrowed.
Step advance(Driver &d, PyObject *value, PyObject *exc, PyObject **out) noexcept;

// --- the Python types ------------------------------------------------------------------------

struct Named {
    PyObject *name;  // lazily made from the C++ names
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

// The awaitable each __anext__(), asend(), athrow() and aclose() returns.
struct OpObject {
    PyObject_HEAD
    GenObject *gen;  // owned
    PyObject *arg;   // asend()'s value or athrow()'s exception (owned)
    OpKind kind;
    OpState state;
};

inline TaskPromise *task_of(CoroObject *c) noexcept { return static_cast<TaskPromise *>(c->head.p); }
inline GenPromise *gen_of(GenObject *g) noexcept { return static_cast<GenPromise *>(g->head.p); }

inline void release_frame(FrameObject *f) noexcept {
    if (std::coroutine_handle<> h = std::exchange(f->h, {})) {
        f->p = nullptr;
        h.destroy();
    }
}

// Each type's slots, for the registry.
extern PyType_Slot coro_slots[];
extern PyType_Slot gen_slots[];
extern PyType_Slot op_slots[];

struct Types {
    PyTypeObject *coro = nullptr;
    PyTypeObject *gen = nullptr;
    PyTypeObject *op = nullptr;
};
// Per extension (each links its own copy of this library) and for the process' lifetime.
Types &types();

// What the coroutine and the async generator share: their names and a few trivial slots.
void capture_names(Named &n, const PromiseBase *p) noexcept;
PyObject *name_of(Named &n, bool qual) noexcept;
PyObject *get_name(PyObject *self, void *closure);
int set_name(PyObject *self, PyObject *value, void *closure);
PyObject *get_none(PyObject *, void *);
PyObject *self_iter(PyObject *self);

// The send/throw/__next__/am_send of an object whose `step` feeds one input (a value, or an
// exception) to its frame and tells the outcome as PyIter_Send does.
template <PySendResult (*step)(PyObject *self, PyObject *value, PyObject *exc, PyObject **out)> struct Stepping {
    static PySendResult am_send(PyObject *self, PyObject *arg, PyObject **out) {
        return step(self, arg, nullptr, out);
    }
    static PyObject *iternext(PyObject *self) {
        PyObject *out = nullptr;
        PySendResult r = step(self, Py_None, nullptr, &out);
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
    static PyObject *send(PyObject *self, PyObject *arg) {
        PyObject *out = nullptr;
        PySendResult r = step(self, arg, nullptr, &out);
        return method_result(r, out);
    }
    static PyObject *throw_(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
        PyObject *exc = make_exception(args, nargs);
        if (!exc) {
            return nullptr;
        }
        PyObject *out = nullptr;
        PySendResult r = step(self, nullptr, exc, &out);
        Py_DECREF(exc);
        return method_result(r, out);
    }

private:
    static PyObject *method_result(PySendResult r, PyObject *out) {
        if (r == PYGEN_NEXT) {
            return out;
        }
        if (r == PYGEN_RETURN) {
            set_stop_iteration(out);
        }
        return nullptr;
    }
};

}  // namespace pyasync::detail
