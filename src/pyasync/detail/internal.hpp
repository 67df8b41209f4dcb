// The bridge's machinery, shared by its own sources only: errors.cpp, driver.cpp, direct.cpp,
// coroutine.cpp, async_generator.cpp and types.cpp (the type registry).
#pragma once

#include <optional>

#include "pyasync/one_shot.hpp"
#include "pyasync/pyasync.hpp"

namespace pyasync::detail {

// --- errors ----------------------------------------------------------------------------------

// A new exception raised from `cause` (consumed), as `raise ... from cause` makes it.
PyObject *new_error_from_cause(PyObject *cause, PyObject *type, const char *format, ...) noexcept;
inline bool matches(PyObject *exc, PyObject *type) noexcept { return PyErr_GivenExceptionMatches(exc, type) != 0; }
// Raises StopIteration(value) explicitly: PyErr_SetObject would unpack a tuple or take an
// exception instance for the exception itself. Consumes `value`.
void set_stop_iteration(PyObject *value) noexcept;
// Takes the value out of a raised StopIteration; false when another error is raised.
bool fetch_stop_value(PyObject **value) noexcept;
// Checks the number of throw()'s (or athrow()'s, by `name`) arguments and warns about the
// deprecated three-argument form, as Python's own generators do. False with an error set.
bool check_throw_args(const char *name, Py_ssize_t nargs) noexcept;
// The DeprecationWarning of the three-argument form alone. False when it was turned into an error.
bool warn_throw_signature(const char *name) noexcept;
// An exception instance from throw()'s arguments: (instance) or (type[, value[, traceback]]). When
// making it raises, that error is the exception, as with a Python generator's throw(); null with TypeError
// set when the arguments cannot make one.
PyObject *make_exception(PyObject *const *args, Py_ssize_t nargs) noexcept;

// --- driver ----------------------------------------------------------------------------------

struct Interned {
    PyObject *throw_;
    PyObject *close;
    PyObject *aclose;
    PyObject *anext;
};
const Interned &interned() noexcept;

// `iter.close()` if it has one.
int close_iter(PyObject *iter) noexcept;

// Calls an iterator's throw() method `meth`, with the outcome reported as PyIter_Send reports it.
PySendResult call_throw(PyObject *meth, PyObject *const *args, Py_ssize_t nargs, PyObject **out) noexcept;

// Every way the interpreter steps a frame (am_send, __next__, send, throw, close, a finalizer closing
// it) counts against Python's recursion limit as the interpreter's own C calls do, so that a chain of
// such steps through Python code ends in RecursionError rather than in a stack overflow. Deallocation
// counts the same way, through CPython's trashcan. A step costs kRecursionUnitsPerStep of that budget
// (CPython's own evaluation loop costs two): sanitizer builds spend several times the stack per step.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr int kRecursionUnitsPerStep = 3;
#else
inline constexpr int kRecursionUnitsPerStep = 1;
#endif

// The C stack a step runs on: [lo, hi), and the floor below which a step is refused. The count
// alone cannot know how much stack the frames of a step use (a body's locals, a sanitizer's red
// zones). Kept for the thread that stepped last (the GIL orders them); a stack is recognised by
// its range, which stays right when a thread's state or stack is reused.
struct StackBounds {
    std::uintptr_t lo = 0, hi = 0, floor = 0;
};
inline StackBounds last_stack;
// The running thread's bounds, into last_stack.
void find_stack() noexcept;

inline bool stack_exhausted() noexcept {
    auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (sp < last_stack.lo || sp >= last_stack.hi) {
        find_stack();
    }
    return sp < last_stack.floor;
}

class RecursionGuard {
public:
    RecursionGuard() noexcept : ts_(PyThreadState_Get()) {
        while (entered_ < kRecursionUnitsPerStep) {
            if (Py_EnterRecursiveCall("")) {
                leave();
                return;
            }
            ++entered_;
        }
        if (stack_exhausted()) {
            leave();
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        }
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    ~RecursionGuard() { leave(); }
    // False, with RecursionError raised, at the limit.
    explicit operator bool() const noexcept { return entered_ == kRecursionUnitsPerStep; }
    PyThreadState *thread_state() const noexcept { return ts_; }

private:
    void leave() noexcept {
        for (; entered_ > 0; --entered_) {
            Py_LeaveRecursiveCall();
        }
    }

    PyThreadState *ts_;
    int entered_ = 0;
};

// throw() arguments that made no exception (its error is set), while `delegate` is awaited: as with Python's own
// coroutines, they go into the awaited iterator's own throw(), whose error or outcome comes back in at the
// await. `running` is set around that call, made inside `entry`, which stays entered for what the caller does
// with the outcome. False, with the error raised here, when the iterator has no throw() or the call cannot start.
bool throw_bad_args_into(PyObject *delegate, bool &running, PyObject *const *args, Py_ssize_t nargs,
                         std::optional<RecursionGuard> &entry, PySendResult &r, PyObject **out) noexcept;

// Runs `body` (the rest of `dealloc` for `self`, untracked by now) inside CPython's trashcan: a
// chain of objects each freeing the next is freed in pieces, in bounded stack, as Python's own
// containers are. A level costs kRecursionUnitsPerStep.
inline void in_trashcan(PyObject *self, destructor dealloc, void (*body)(PyObject *)) noexcept {
    // The units beyond the trashcan's own are taken as recursive calls: at the limit the trashcan finds the
    // budget spent and defers the object, and the error that entering raised is dropped (a deallocation
    // raises nothing), whatever error was set before coming back as it was.
    int entered = 0;
    if constexpr (kRecursionUnitsPerStep > 1) {
        PyObject *pending = PyErr_GetRaisedException();
        while (entered < kRecursionUnitsPerStep - 1 && Py_EnterRecursiveCall("") == 0) {
            ++entered;
        }
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    Py_TRASHCAN_BEGIN(self, dealloc)
    body(self);
    Py_TRASHCAN_END
    for (; entered > 0; --entered) {
        Py_LeaveRecursiveCall();
    }
}

// The first step of `await aw`: the iterator it delegates to, sent None. Yielded: `*iter` is that
// iterator, `*out` what it yielded. Returned: `*out` is its result. Failed: `*out` is the error; when
// `from_anext`, `aw` came from `__anext__` and an `aw` that cannot be awaited fails as `async for` says.
// An `owned` reference to `aw` is dropped once the iterator is there, as Python drops it. `is_iter`: `aw` is
// known to be its own iterator (what a Python async generator's `__anext__` returns).
enum class Start { Yielded, Returned, Failed };
Start start_await(PyObject *aw, bool owned, bool from_anext, PyObject **iter, PyObject **out,
                  bool is_iter = false) noexcept;

enum class Step { Yielded, Stopped };

// Feeds one input (a value, or the exception `exc`) to the chain: first to the Python iterator
// being awaited, if any, else to the suspended frame. Yielded: `*out` goes to the event loop.
// Stopped: the root frame reached co_yield or its end. Both inputs are borrowed. `ts` is the
// running thread's state (the RecursionGuard's).
Step advance(Driver &d, PyThreadState *ts, PyObject *value, PyObject *exc, PyObject **out) noexcept;

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

enum class OpKind : uint8_t { Send, Throw, Close, BadThrow };  // BadThrow: `arg` is the error to raise
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

enum class ShotState : std::uint8_t { Fresh, Awaiting, Done };

// The coroutine whose body is one plain C++ call (one_shot.hpp).
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

// Each type's slots, for the registry.
PyType_Slot *coro_slots();
PyType_Slot *shot_slots();
extern PyType_Slot gen_slots[];
extern PyType_Slot op_slots[];

struct Types {
    PyTypeObject *coro = nullptr;
    PyTypeObject *shot = nullptr;
    PyTypeObject *gen = nullptr;
    PyTypeObject *op = nullptr;
};
// Per extension (each links its own copy of this library) and for the process' lifetime.
Types &types();

// What the coroutine and the async generator share: their names and a few trivial slots.
void capture_names(Named &n, const PromiseBase *p) noexcept;
PyObject *name_of(Named &n, bool qual) noexcept;
// `__name__` (closure null) and `__qualname__` (closure set) of an object whose names `names` finds.
template <Named &(*names)(PyObject *)>
PyObject *get_name(PyObject *self, void *qual) {
    PyObject *v = name_of(names(self), qual != nullptr);
    return v ? Py_NewRef(v) : nullptr;
}
template <Named &(*names)(PyObject *)>
int set_name(PyObject *self, PyObject *value, void *qual) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", qual ? "__qualname__" : "__name__");
        return -1;
    }
    Named &n = names(self);
    Py_XSETREF(qual ? n.qualname : n.name, Py_NewRef(value));
    return 0;
}
PyObject *get_none(PyObject *, void *);
// What `cr_frame` / `ag_frame` give until the body is done, as a Python coroutine's frame stays until it ends
// (`inspect.getcoroutinestate` and `getasyncgenstate` tell "created" from "closed" by it): a C++ body has no
// Python frame, so this stands for one with what tools read of a frame (`f_code`, an empty code object named
// after the body in the file "<c++>"; `f_lineno` 0; `f_back` None; empty `f_locals` and `f_globals`).
PyObject *frame_standin(Named &n) noexcept;
PyObject *self_iter(PyObject *self);

// The send/throw/__next__/am_send of an object whose `step` feeds one input (a value, or an
// exception) to its frame, on the thread whose state is given, and reports the outcome as PyIter_Send
// does. `awaiting` gives the promise
// whose chain waits on a Python iterator now (suspended, not running), or null.
template <PySendResult (*step)(PyObject *self, PyThreadState *ts, PyObject *value, PyObject *exc, PyObject **out),
          PromiseBase *(*awaiting)(PyObject *self)>
struct Stepping {
    // Every step the interpreter takes into the frame passes here.
    static PySendResult call(PyObject *self, PyObject *value, PyObject *exc, PyObject **out) {
        RecursionGuard entry;
        if (!entry) {
            return PYGEN_ERROR;
        }
        return step(self, entry.thread_state(), value, exc, out);
    }
    static PySendResult am_send(PyObject *self, PyObject *arg, PyObject **out) {
        return call(self, arg, nullptr, out);
    }
    static PyObject *iternext(PyObject *self) {
        PyObject *out = nullptr;
        PySendResult r = call(self, Py_None, nullptr, &out);
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
        PySendResult r = call(self, arg, nullptr, &out);
        return method_result(r, out);
    }
    static PyObject *throw_(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
        if (!check_throw_args("throw", nargs)) {
            return nullptr;
        }
        PyObject *out = nullptr;
        PyObject *exc = make_exception(args, nargs);
        if (!exc) {
            return throw_bad_args(self, args, nargs);
        }
        PySendResult r = call(self, nullptr, exc, &out);
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
    // Arguments that make no exception fail where the exception would be raised, as with
    // Python's own coroutines: in the Python iterator being awaited, whose error (or outcome) comes back
    // in at the await. With nothing awaited, the error is throw()'s own and the frame is untouched.
    static PyObject *throw_bad_args(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
        PromiseBase *p = awaiting(self);
        if (!p) {
            return nullptr;
        }
        PyObject *res = nullptr;
        PySendResult r;
        std::optional<RecursionGuard> entry;
        if (!throw_bad_args_into(p->own.delegate, p->running, args, nargs, entry, r, &res)) {
            return nullptr;
        }
        if (r == PYGEN_NEXT) {
            return res;
        }
        Py_CLEAR(p->own.delegate);
        PyObject *out = nullptr;
        if (r == PYGEN_RETURN) {
            r = step(self, entry->thread_state(), res, nullptr, &out);
            Py_DECREF(res);
        } else {
            PyObject *err = PyErr_GetRaisedException();
            r = step(self, entry->thread_state(), nullptr, err, &out);
            Py_DECREF(err);
        }
        return method_result(r, out);
    }
};

}  // namespace pyasync::detail
