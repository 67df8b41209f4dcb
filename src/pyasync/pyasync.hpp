// pyasync: C++20 coroutines that Python sees as coroutines and async generators.
//
//   pyasync::Task fetch(nb::object client, nb::object url) {          // Python: a coroutine
//       nb::object resp = co_await client.attr("get")(url);           // any Python awaitable
//       co_return resp.attr("text");                                  // co_return value -> result
//   }
//   pyasync::VoidTask log(nb::object sink) { co_await sink.attr("flush")(); co_return; }  // -> None
//
//   pyasync::AsyncGen upper(nb::object source) {                      // Python: an async generator
//       pyasync::AsyncIter it(source);                                // any async iterable
//       while (std::optional<nb::object> x = co_await it.next())     // nullopt at the end
//           co_yield x->attr("upper")();
//   }
//
//   m.def("fetch", &fetch);   // returns a coroutine object (the type casters below convert)
//
// Python objects. A `Task`/`VoidTask` converted to Python (`std::move(t).to_python()` or by
// returning it from a bound function) is a coroutine: `send`, `throw`, `close`, `__await__`,
// `__next__`, the `am_send` slot, `cr_running`, `cr_await`, settable `__name__`/`__qualname__`,
// weak references, and a RuntimeWarning when dropped never awaited. The body starts at the first
// send. An `AsyncGen` becomes an async generator: `__aiter__`, `__anext__`, `asend`, `athrow`,
// `aclose`, `ag_running`, the host's firstiter/finalizer hooks (so `loop.shutdown_asyncgens()`
// closes abandoned ones), closing when collected unfinished, PEP 479.
//
// Names default to the C++ function's unqualified name; `std::move(t).named("x")` overrides.
// Once a coroutine or generator finishes its frame is freed at once, parameters included.
// Misuse is refused as the host refuses it, in its words: a second `await` of a coroutine that
// another awaiter is suspended in, throw()'s arguments (bad ones fail in the awaited iterator and
// come back in at the await), athrow()'s (when the step is awaited).
//
// Depth. Each step the host takes into a bridge object (am_send, `__next__`, `send`, `throw`,
// `close`, a finalizer closing it) counts against the host's recursion limit as its own C calls
// do, and is refused with RecursionError near the end of the C stack, so a chain of any depth
// through Python code ends in RecursionError. Deallocation goes through the host's trashcan: a
// chain of any depth is freed in bounded stack.
//
// Awaiting. Inside these coroutines `co_await obj` (any nb::handle/object) behaves as
// `yield from obj.__await__()`: what the inner iterator yields goes to the event loop unchanged,
// what the loop sends or throws goes into it, its return value is the result of the co_await and
// its exception is thrown in C++ as nb::python_error carrying the very exception object
// (CancelledError included; catch it, run RAII, rethrow or not). `co_await other_task()` of a C++
// Task, `co_await it.next()` of an AsyncIter over a C++ generator and `co_await gen.next()` run
// the inner C++ frame directly, in the awaiting chain: no Python object per step, no C++ throw at
// the end of the stream; the inner frame's own suspensions pass straight through to the loop.
// Control passes between such frames through the driver's loop, so any number of items passes in
// constant stack; each frame run directly counts towards the host's recursion limit as a Python
// frame does, and past it the co_await raises RecursionError.
// `co_await it.aclose()` throws GeneratorExit into the generator at its co_yield (or awaits
// `aclose()` of a Python iterator).
//
// Exceptions crossing the bridge are Python exceptions: a C++ exception that is not a
// nb::python_error is translated as nanobind translates exceptions of bound functions (so
// std::runtime_error becomes RuntimeError); a nb::python_error re-raises its own object.
//
// Reading is `async for`'s: `AsyncIter(iterable)` and `pyasync::aiter(iterable)` call `__aiter__`
// and each step `__anext__`, and what is not async iterable fails with the host's `async for` words.
// Reading an object that already is an async iterator (no `__aiter__` call):
// `pyasync::AsyncIter::from_iterator(it)`, or one step at a time `co_await pyasync::anext(it)` (the
// next item, nullopt at the end) and `co_await pyasync::aclose(it)` (`await it.aclose()` when it has
// one). All take the direct path when `pyasync::is_async_gen(it)`: `it` is one of this extension's
// bridge generators (each extension has its own types).
//
// Clean-up that awaits after an error. `co_await` is not allowed inside a catch handler, so keep the
// error, leave the handler, await, then raise it again:
//
//   pyasync::Caught failure;
//   try { ... } catch (...) { failure.capture(); }     // any exception, as a Python error
//   co_await items.aclose();
//   failure.rethrow();                                  // nothing when the block ended normally
//
// Garbage collection. The collector sees what the bridge holds (the awaited inner iterator, values
// in transit, the finalizer hook, names), a Python-visible frame's parameters of types nb::object
// (or derived), AsyncIter, AsyncGen and Caught (the first 8; for a member-function coroutine of a
// class derived from nb::object, make `*this` not one of them) and the locals the frame declares
// through `hold`:
//
//   auto stream = co_await pyasync::hold(self.attr("run")());            // Held<nb::object>
//   auto items = co_await pyasync::hold(pyasync::AsyncIter(*stream));    // Held<AsyncIter>
//   while (std::optional<nb::object> x = co_await items->next()) ...
//
// `co_await pyasync::hold(value)` never suspends: it moves `value` into the `Held<T>` local it
// initialises, which is listed with the frame for as long as it lives; the frame's Python object
// traverses it, and clears it when the collector breaks a cycle (the frame then never runs again).
// T is nb::object or a type derived from it, AsyncIter, AsyncGen, Caught, or std::optional of one of
// them. A C++-only generator inside a held AsyncIter/AsyncGen, and a C++ Task being awaited directly,
// are seen through their owner: their parameters, held locals and values in transit. `Held<T>` is
// neither copied nor moved; `*held`, `held->` and `held = value` reach the value. Everything else in
// a frame (plain locals, what a C++-only frame that is not held keeps) is invisible: a reference
// cycle through it is not collected. So is a temporary that lives on in a co_await expression
// while the frame waits, such as the `x.attr("a")` of `co_await x.attr("a").attr("b")()`; the
// awaited object itself is not one: a temporary or moved awaitable hands its reference to the
// await (`co_await std::move(local)`), which drops it once it has the iterator, as Python does.
//
// Rules of use:
//  - parameters of these coroutines must own what they refer to (nb::object, values): never
//    nb::handle or C++ references, which dangle once the caller returns;
//  - `co_await` is not allowed inside a catch handler: keep the error (`Caught` above), leave
//    the handler, then await;
//  - everything runs on the event loop's thread with the GIL held;
//  - an AsyncIter/AsyncGen serves one reader at a time; a second concurrent next() raises
//    RuntimeError as Python's async generators do.
//
// Limits: a generator that is dropped while suspended inside an await on behalf of a direct reader
// that is itself being destroyed is freed without running its body again (its destructors still
// run). Dropping an unfinished C++-only AsyncGen closes it synchronously: cleanup that awaits is
// reported as "async generator ignored GeneratorExit"; close it with `co_await gen.aclose()` first
// when cleanup must await.
#pragma once

#include <concepts>
#include <coroutine>
#include <cstdint>
#include <optional>
#include <source_location>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include <nanobind/nanobind.h>

namespace pyasync {
namespace nb = nanobind;

class Task;
class VoidTask;
class AsyncGen;
class AsyncIter;
class Caught;
template <class T> class Held;

namespace detail {

// Everything one Python-driven chain of C++ frames shares: the frame to resume next and what the
// awaited Python iterator (if any) has yielded or returned. Each Python-visible object owns one;
// a C++ frame awaited directly borrows its awaiter's.
//
// Frames hand control to one another (a reader to the generator it reads, a generator back to its
// reader) through the driver's loop, not by resuming one another: the stack stays flat however
// many items pass without suspending, whether or not the compiler turns the hand-offs into tail
// calls. Each frame run directly counts towards the host's recursion limit, as a Python frame
// does, for as long as it runs; the whole chain counts again whenever it is resumed.
struct Driver {
    Driver() = default;
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;
    ~Driver() { clear(); }
    void clear() noexcept;

    // A frame is about to run another directly. False, counting nothing, at the recursion limit.
    bool enter() noexcept {
        if (tstate->py_recursion_remaining <= 0) {
            return false;
        }
        --tstate->py_recursion_remaining;
        ++depth;
        return true;
    }
    // The frame run directly hands control back.
    void leave() noexcept {
        ++tstate->py_recursion_remaining;
        --depth;
    }

    std::coroutine_handle<> current;  // innermost suspended frame; the next input resumes it
    std::coroutine_handle<> next;     // frame the loop resumes next
    PyThreadState *tstate = nullptr;  // the thread running the loop
    int depth = 0;                    // frames run directly below the root, now
    PyObject *delegate = nullptr;     // Python iterator `current` awaits (owned)
    PyObject *yielded = nullptr;      // its first yielded value on the way out (owned)
    PyObject *in_value = nullptr;     // input for `current`: await result / value sent at co_yield
    PyObject *in_error = nullptr;     // ...or the exception to raise there (owned)
};

// Raises `exc` (a reference that is consumed) as nb::python_error.
[[noreturn]] void raise_owned(PyObject *exc);
// The RecursionError of a frame that may not run another directly (an owned reference).
PyObject *recursion_error() noexcept;
// The exception being handled, as an owned Python exception object.
PyObject *capture_exception() noexcept;
// PEP 479: StopIteration (and `stop_async`, when given, StopAsyncIteration) escaping a body
// becomes RuntimeError. Consumes and returns a reference.
PyObject *guard_stop(PyObject *exc, const char *stop, const char *stop_async) noexcept;

struct PromiseBase;
template <class T> struct Gc;

// A local that a frame declares through `hold`: listed with its frame while it lives.
struct HeldNode {
    HeldNode **pprev;
    HeldNode *next;
    // Visits the value's references, or clears them when `visit` is null.
    int (*traverse)(HeldNode *self, visitproc visit, void *arg) noexcept;
};

// What the collector may see of a frame, and how a cycle through it is broken.
int visit_promise(PromiseBase &p, visitproc visit, void *arg) noexcept;
void clear_promise(PromiseBase &p) noexcept;

template <class T> struct HoldRequest {
    T value;
};
template <class T> struct IsHoldRequest : std::false_type {};
template <class T> struct IsHoldRequest<HoldRequest<T>> : std::true_type {};

// `co_await hold(value)`: never suspends, lists the Held local it initialises with the frame.
template <class T> class HoldAwaiter {
public:
    HoldAwaiter(PromiseBase *p, T &&value) noexcept : p_(p), value_(std::move(value)) {}
    bool await_ready() const noexcept { return true; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    Held<T> await_resume() noexcept { return Held<T>(p_, std::move(value_)); }

private:
    PromiseBase *p_;
    T value_;
};

// `co_await` of a Python awaitable.
class PyAwait {
public:
    // `owned`: the await takes over the reference (to a temporary), so that nothing the collector
    // cannot see keeps the awaitable while the frame waits.
    PyAwait(PyObject *awaitable, bool owned) noexcept : src_(awaitable), owns_src_(owned) {}
    PyAwait(PyAwait &&o) noexcept
        : src_(o.src_), iter_(std::exchange(o.iter_, nullptr)), value_(std::exchange(o.value_, nullptr)),
          error_(std::exchange(o.error_, nullptr)), d_(o.d_), owns_src_(std::exchange(o.owns_src_, false)),
          from_anext_(o.from_anext_) {}
    ~PyAwait() {
        if (iter_ || value_ || error_ || owns_src_) {
            release();
        }
    }

    bool await_ready() noexcept { return start(); }
    template <class P> void await_suspend(std::coroutine_handle<P> h) noexcept { suspend(h, h.promise().driver); }
    nb::object await_resume() {
        collect();
        if (error_) {
            raise_owned(std::exchange(error_, nullptr));
        }
        return value_ ? nb::steal(std::exchange(value_, nullptr)) : nb::none();
    }

protected:
    PyAwait() noexcept = default;
    bool start() noexcept;  // true when the result is already there
    void suspend(std::coroutine_handle<> h, Driver *d) noexcept;
    void collect() noexcept {
        if (d_) {
            value_ = std::exchange(d_->in_value, nullptr);
            error_ = std::exchange(d_->in_error, nullptr);
            d_ = nullptr;
        }
    }
    void release() noexcept;
    void drop_src() noexcept {
        if (owns_src_) {
            owns_src_ = false;
            Py_CLEAR(src_);
        }
    }

    PyObject *src_ = nullptr;    // the awaitable: borrowed from the co_await expression, or owned
    PyObject *iter_ = nullptr;   // owned until handed to the driver
    PyObject *value_ = nullptr;  // owned
    PyObject *error_ = nullptr;  // owned
    Driver *d_ = nullptr;
    bool owns_src_ = false;      // until the iterator is taken from it
    bool from_anext_ = false;    // the awaitable is what `__anext__` returned
};

template <class T>
concept PyObjectLike = std::derived_from<std::remove_cvref_t<T>, nb::handle>;

// Returns to the frame that awaited this one directly, or to the driver.
class FinalAwaiter {
public:
    explicit FinalAwaiter(PromiseBase *p) noexcept : p_(p) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) noexcept;
    void await_resume() const noexcept {}

private:
    PromiseBase *p_;
};

struct PromiseBase {
    // The compiler hands a promise's constructor the coroutine's parameters (the copies in the
    // frame); the ones that own Python objects are noted so that the garbage collector sees them.
    template <class... Args> explicit PromiseBase(Args &...args) noexcept { (note_param(args), ...); }
    PromiseBase(const PromiseBase &) = delete;
    ~PromiseBase() {
        Py_XDECREF(error);
        Py_XDECREF(value);
    }

    std::suspend_always initial_suspend() const noexcept { return {}; }
    FinalAwaiter final_suspend() noexcept { return FinalAwaiter(this); }

    template <PyObjectLike T> PyAwait await_transform(T &&obj) noexcept {
        if constexpr (std::derived_from<T, nb::object> && !std::is_const_v<T>) {
            return PyAwait(obj.release().ptr(), true);  // a temporary, or moved: its reference
        } else {
            return PyAwait(obj.ptr(), false);
        }
    }
    template <class T> HoldAwaiter<T> await_transform(HoldRequest<T> &&request) noexcept {
        return HoldAwaiter<T>(this, std::move(request.value));
    }
    // Other awaitables pass through by value: g++ copies an awaiter handed back by reference.
    template <class T>
        requires(!PyObjectLike<T> && !IsHoldRequest<std::remove_cvref_t<T>>::value)
    std::remove_cvref_t<T> await_transform(T &&awaitable) noexcept {
        return std::remove_cvref_t<T>(std::forward<T>(awaitable));
    }

    // A noted parameter: its address, with its kind in the low bits.
    enum ParamKind : std::uintptr_t { kObject, kIter, kGen, kCaught, kKindBits = 3 };
    static_assert(alignof(nb::object) > kKindBits && alignof(std::coroutine_handle<>) > kKindBits);
    template <class A> void note_param(A &arg) noexcept {
        std::uintptr_t kind;
        if constexpr (std::derived_from<A, nb::object>) {
            kind = kObject;
        } else if constexpr (std::same_as<A, AsyncIter>) {
            kind = kIter;
        } else if constexpr (std::same_as<A, AsyncGen>) {
            kind = kGen;
        } else if constexpr (std::same_as<A, Caught>) {
            kind = kCaught;
        } else {
            return;
        }
        if (n_params < kMaxParams) {
            params[n_params++] = reinterpret_cast<std::uintptr_t>(&arg) | kind;
        }
    }

    static constexpr int kMaxParams = 8;
    std::uintptr_t params[kMaxParams];  // parameters visible to the garbage collector
    int n_params = 0;
    HeldNode *held = nullptr;          // the frame's held locals
    Driver own;
    Driver *driver = &own;             // the chain this frame runs in
    std::coroutine_handle<> consumer;  // C++ frame awaiting this one directly
    PromiseBase *awaiting = nullptr;   // C++ Task this frame awaits directly (owned by the co_await)
    PyObject *error = nullptr;         // exception the body ended with (owned)
    PyObject *value = nullptr;         // a Task's result, or the item a generator yielded that its
                                       // reader has not taken yet (owned)
    const char *origin = nullptr;      // C++ function signature (static storage)
    const char *name = nullptr;        // overrides (static storage)
    const char *qualname = nullptr;
    bool started = false;
    bool done = false;
    bool running = false;
};

struct TaskPromise : PromiseBase {
    using PromiseBase::PromiseBase;
    void unhandled_exception() noexcept {
        error = guard_stop(capture_exception(), "coroutine raised StopIteration", nullptr);
    }
};

struct ValueTaskPromise : TaskPromise {
    using TaskPromise::TaskPromise;
    // The default argument is evaluated in the coroutine itself: it names the C++ function.
    Task get_return_object(std::source_location loc = std::source_location::current()) noexcept;
    template <class T> void return_value(T &&result) {
        value = nb::cast(std::forward<T>(result)).release().ptr();
    }
};

struct VoidTaskPromise : TaskPromise {
    using TaskPromise::TaskPromise;
    VoidTask get_return_object(std::source_location loc = std::source_location::current()) noexcept;
    void return_void() noexcept {}
};

struct GenPromise;

// `co_yield`: back to the direct reader, or out to the driver.
class YieldAwaiter {
public:
    explicit YieldAwaiter(GenPromise *p) noexcept : p_(p) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) noexcept;
    nb::object await_resume();  // the value sent by asend() (None for __anext__); raises athrow()'s

private:
    GenPromise *p_;
};

struct GenPromise : PromiseBase {
    using PromiseBase::PromiseBase;
    AsyncGen get_return_object(std::source_location loc = std::source_location::current()) noexcept;
    YieldAwaiter yield_value(nb::object item) noexcept {
        value = item.release().ptr();
        return YieldAwaiter(this);
    }
    template <class T>
        requires(!std::is_convertible_v<T &&, nb::object>)
    YieldAwaiter yield_value(T &&item) {
        return yield_value(nb::object(nb::cast(std::forward<T>(item))));
    }
    void return_void() noexcept {}
    void unhandled_exception() noexcept {
        error = guard_stop(capture_exception(), "async generator raised StopIteration",
                           "async generator raised StopAsyncIteration");
    }

    bool in_flight = false;    // a step (anext/asend/athrow/aclose) is under way
};

inline void YieldAwaiter::await_suspend(std::coroutine_handle<> h) noexcept {
    Driver *d = p_->driver;
    if (p_->consumer) {
        d->leave();
        d->next = std::exchange(p_->consumer, {});
    } else {
        d->current = h;
    }
}

inline nb::object YieldAwaiter::await_resume() {
    Driver *d = p_->driver;
    if (d->in_error) {
        raise_owned(std::exchange(d->in_error, nullptr));
    }
    return d->in_value ? nb::steal(std::exchange(d->in_value, nullptr)) : nb::none();
}

// Layout shared by the Python objects that own a frame.
struct FrameObject {
    PyObject_HEAD
    std::coroutine_handle<> h;  // null once the frame is freed
    PromiseBase *p;
};

PyTypeObject *make_gen_type() noexcept;
extern PyTypeObject *gen_type_;  // per extension; made on first use
inline PyTypeObject *gen_type() noexcept { return gen_type_ ? gen_type_ : make_gen_type(); }
nb::object wrap_task(std::coroutine_handle<> h, TaskPromise *p);
nb::object wrap_gen(std::coroutine_handle<> h, GenPromise *p);
// Throws GeneratorExit into a generator suspended at co_yield and reports what goes wrong as
// unraisable (`context` names it). Used when a generator is dropped unfinished.
void close_now(std::coroutine_handle<> h, GenPromise *p, PyObject *context) noexcept;
void destroy_frame(std::coroutine_handle<> h) noexcept;

// `co_await task` of a C++ Task: runs its frame in the awaiting chain.
template <class P> class TaskAwaiter {
public:
    explicit TaskAwaiter(std::coroutine_handle<P> h) noexcept : h_(h) {}
    bool await_ready() const noexcept { return !h_ || h_.promise().done; }
    template <class Q> bool await_suspend(std::coroutine_handle<Q> outer) noexcept {
        Driver *d = outer.promise().driver;
        if (!d->enter()) {
            refused_ = true;
            return false;
        }
        P &p = h_.promise();
        p.driver = d;
        p.consumer = outer;
        p.started = true;
        outer_ = &outer.promise();
        outer_->awaiting = &p;
        d->next = h_;
        return true;
    }
    nb::object await_resume() {
        if (!h_) {
            throw std::logic_error("pyasync: awaiting a task that was moved out");
        }
        if (refused_) {
            raise_owned(recursion_error());
        }
        if (outer_) {
            outer_->awaiting = nullptr;
        }
        P &p = h_.promise();
        p.driver = &p.own;
        if (p.error) {
            raise_owned(std::exchange(p.error, nullptr));
        }
        return p.value ? nb::steal(std::exchange(p.value, nullptr)) : nb::none();
    }

private:
    std::coroutine_handle<P> h_;
    PromiseBase *outer_ = nullptr;
    bool refused_ = false;  // at the recursion limit
};

// `co_await x.next()`: the next item, or nullopt at the end of the stream.
class NextAwaiter : private PyAwait {
public:
    // Direct: a C++ generator frame.
    NextAwaiter(std::coroutine_handle<> h, GenPromise *p) noexcept : h_(h), p_(p), direct_(true) {}
    // Generic: `iter.__anext__()`, or `iter.aclose()` when `closing`.
    NextAwaiter(PyObject *iter, bool closing) noexcept;
    NextAwaiter(NextAwaiter &&) noexcept = default;

    bool await_ready() noexcept {
        if (direct_ && p_ && !p_->done && !p_->in_flight && !closing_) {
            return false;  // the common case: resume the generator at its co_yield
        }
        return direct_ ? ready_direct() : start();
    }
    template <class P> bool await_suspend(std::coroutine_handle<P> outer) noexcept {
        Driver *d = outer.promise().driver;
        if (!direct_) {
            suspend(outer, d);
            return true;
        }
        if (!d->enter()) {
            refuse();
            return false;
        }
        entered_ = true;
        p_->started = true;
        p_->driver = d;
        if (closing_) {
            d->in_error = std::exchange(error_, nullptr);  // the GeneratorExit to raise
        }
        p_->consumer = outer;
        p_->in_flight = true;
        d->next = h_;
        return true;
    }
    std::optional<nb::object> await_resume() {
        if (entered_ && p_->value && !closing_) {  // the common case: an item
            entered_ = false;
            p_->in_flight = false;
            p_->driver = &p_->own;
            return nb::steal(std::exchange(p_->value, nullptr));
        }
        return finish();
    }

private:
    bool ready_direct() noexcept;
    void refuse() noexcept;
    std::optional<nb::object> finish();

    std::coroutine_handle<> h_;
    GenPromise *p_ = nullptr;
    bool direct_ = false;
    bool closing_ = false;  // aclose(): GeneratorExit goes in, no item comes out
    bool end_ = false;      // known without running anything: the stream is over
    bool entered_ = false;  // the direct frame was resumed
    friend class CloseAwaiter;
};

// `co_await x.aclose()`.
class CloseAwaiter {
public:
    CloseAwaiter(std::coroutine_handle<> h, GenPromise *p) noexcept : next_(h, p) { next_.closing_ = true; }
    explicit CloseAwaiter(PyObject *iter) noexcept : next_(iter, true) {}
    CloseAwaiter(CloseAwaiter &&) noexcept = default;

    bool await_ready() noexcept { return next_.await_ready(); }
    template <class P> bool await_suspend(std::coroutine_handle<P> outer) noexcept {
        return next_.await_suspend(outer);
    }
    void await_resume() { next_.await_resume(); }

private:
    NextAwaiter next_;
};

template <class P, class Self> class BasicTask {
public:
    using promise_type = P;
    explicit BasicTask(std::coroutine_handle<P> h) noexcept : h_(h) {}
    BasicTask(BasicTask &&o) noexcept : h_(std::exchange(o.h_, {})) {}
    BasicTask &operator=(BasicTask &&o) noexcept {
        if (this != &o) {
            reset();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    ~BasicTask() { reset(); }

    // The Python coroutine object; it owns the frame from now on.
    nb::object to_python() && {
        std::coroutine_handle<P> h = std::exchange(h_, {});
        return wrap_task(h, &h.promise());
    }
    // Names shown to Python (static storage: literals).
    Self &&named(const char *name, const char *qualname = nullptr) && {
        h_.promise().name = name;
        h_.promise().qualname = qualname ? qualname : name;
        return static_cast<Self &&>(*this);
    }
    TaskAwaiter<P> operator co_await() && noexcept { return TaskAwaiter<P>(h_); }

private:
    void reset() noexcept {
        if (h_) {
            destroy_frame(std::exchange(h_, {}));
        }
    }
    std::coroutine_handle<P> h_;
};

}  // namespace detail

// A C++ coroutine that Python sees as a coroutine; `co_return value;` sets its result.
class Task : public detail::BasicTask<detail::ValueTaskPromise, Task> {
public:
    using BasicTask::BasicTask;
};

// The same, for bodies that end with `co_return;` (Python result: None).
class VoidTask : public detail::BasicTask<detail::VoidTaskPromise, VoidTask> {
public:
    using BasicTask::BasicTask;
};

// A C++ coroutine that Python sees as an async generator: `co_yield value;` yields an item
// (its result is the value given to asend(), None for __anext__), `co_return;` ends it.
class AsyncGen {
public:
    using promise_type = detail::GenPromise;
    AsyncGen() noexcept = default;
    explicit AsyncGen(std::coroutine_handle<promise_type> h) noexcept : h_(h) {}
    AsyncGen(AsyncGen &&o) noexcept : h_(std::exchange(o.h_, {})) {}
    AsyncGen &operator=(AsyncGen &&o) noexcept {
        if (this != &o) {
            reset();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    // An unfinished generator gets GeneratorExit at its co_yield first, as Python's would.
    ~AsyncGen() { reset(); }

    // The Python async generator object; it owns the frame from now on.
    nb::object to_python() &&;
    AsyncGen &&named(const char *name, const char *qualname = nullptr) && {
        h_.promise().name = name;
        h_.promise().qualname = qualname ? qualname : name;
        return std::move(*this);
    }

    // Direct reading from C++: `while (auto x = co_await gen.next())`.
    detail::NextAwaiter next() noexcept { return detail::NextAwaiter(h_, h_ ? &h_.promise() : nullptr); }
    detail::CloseAwaiter aclose() noexcept { return detail::CloseAwaiter(h_, h_ ? &h_.promise() : nullptr); }

private:
    template <class> friend struct detail::Gc;
    void reset() noexcept;
    std::coroutine_handle<promise_type> h_;
};

// `co_await` of these gives the next item (nullopt at the end), and closes, respectively.
using NextAwaiter = detail::NextAwaiter;
using CloseAwaiter = detail::CloseAwaiter;

// Whether `obj` is one of this extension's bridge async generators (read directly from C++).
inline bool is_async_gen(nb::handle obj) noexcept { return Py_TYPE(obj.ptr()) == detail::gen_type(); }

// `async for`'s first step: the async iterator `iterable.__aiter__()` returns, checked as the host
// checks it; TypeError in the host's words when there is none.
nb::object aiter(nb::handle iterable);

// One step of an object that already is an async iterator: its next item, nullopt at its end.
// `iterator` must stay alive until the step is over.
inline NextAwaiter anext(nb::handle iterator) noexcept {
    if (is_async_gen(iterator)) {
        auto *f = reinterpret_cast<detail::FrameObject *>(iterator.ptr());
        return NextAwaiter(f->h, f->h ? static_cast<detail::GenPromise *>(f->p) : nullptr);
    }
    return NextAwaiter(iterator.ptr(), false);
}

// `await iterator.aclose()` when it has one; GeneratorExit at its co_yield for a bridge generator.
inline CloseAwaiter aclose(nb::handle iterator) noexcept {
    if (is_async_gen(iterator)) {
        auto *f = reinterpret_cast<detail::FrameObject *>(iterator.ptr());
        return CloseAwaiter(f->h, f->h ? static_cast<detail::GenPromise *>(f->p) : nullptr);
    }
    return CloseAwaiter(iterator.ptr());
}

// One reading loop over any async iterable: the direct path for a C++ generator (a moved-in
// AsyncGen, or a Python object that is a bridge generator of this extension), `__anext__` and
// StopAsyncIteration for everything else.
class AsyncIter {
public:
    explicit AsyncIter(nb::handle iterable);  // calls __aiter__, as `async for` does (see aiter)
    explicit AsyncIter(AsyncGen gen) noexcept : gen_(std::move(gen)) {}
    // Reads an object that already is an async iterator, without calling `__aiter__`.
    static AsyncIter from_iterator(nb::object iterator) noexcept {
        AsyncIter it;
        it.obj_ = std::move(iterator);
        return it;
    }
    AsyncIter(AsyncIter &&) noexcept = default;
    AsyncIter &operator=(AsyncIter &&) noexcept = default;

    NextAwaiter next() noexcept { return obj_.is_valid() ? pyasync::anext(obj_) : gen_.next(); }
    CloseAwaiter aclose() noexcept { return obj_.is_valid() ? pyasync::aclose(obj_) : gen_.aclose(); }
    bool direct() const noexcept { return !obj_.is_valid() || is_async_gen(obj_); }
    nb::handle object() const noexcept { return obj_; }

private:
    template <class> friend struct detail::Gc;
    AsyncIter() noexcept = default;
    nb::object obj_;  // the Python iterator, when reading one
    AsyncGen gen_;    // the C++ generator, otherwise
};

// The exception being handled, as a Python error: a C++ exception is translated as one leaving a
// coroutine is. Only inside a catch handler.
nb::python_error current_error() noexcept;

// An error kept past its catch handler, to be raised again after clean-up that awaits.
class Caught {
public:
    // Inside a catch handler: keeps the exception being handled (see current_error).
    void capture() noexcept { error_.emplace(current_error()); }
    explicit operator bool() const noexcept { return error_.has_value(); }
    nb::python_error &operator*() noexcept { return *error_; }
    nb::python_error *operator->() noexcept { return &*error_; }
    void reset() noexcept { error_.reset(); }
    // Raises the kept error again; nothing when there is none.
    void rethrow() {
        if (error_) {
            nb::python_error e = std::move(*error_);
            error_.reset();
            throw e;
        }
    }

private:
    template <class> friend struct detail::Gc;
    std::optional<nb::python_error> error_;
};

namespace detail {

// How the collector sees a held value, and how a cycle through it is broken (visit == null).

template <class T>
    requires std::derived_from<T, nb::object>
struct Gc<T> {
    static int traverse(T &v, visitproc visit, void *arg) noexcept {
        if (!visit) {
            T dropped = std::move(v);
            return 0;
        }
        Py_VISIT(v.ptr());
        return 0;
    }
};

template <> struct Gc<AsyncGen> {
    static int traverse(AsyncGen &g, visitproc visit, void *arg) noexcept {
        if (!g.h_) {
            return 0;
        }
        if (!visit) {
            clear_promise(g.h_.promise());
            return 0;
        }
        return visit_promise(g.h_.promise(), visit, arg);
    }
};

template <> struct Gc<AsyncIter> {
    static int traverse(AsyncIter &it, visitproc visit, void *arg) noexcept {
        if (int r = Gc<nb::object>::traverse(it.obj_, visit, arg)) {
            return r;
        }
        return Gc<AsyncGen>::traverse(it.gen_, visit, arg);
    }
};

template <> struct Gc<Caught> {
    static int traverse(Caught &c, visitproc visit, void *arg) noexcept {
        if (!c.error_) {
            return 0;
        }
        if (!visit) {
            c.error_.reset();
            return 0;
        }
        Py_VISIT(c.error_->value().ptr());
        return 0;
    }
};

template <class T> struct Gc<std::optional<T>> {
    static int traverse(std::optional<T> &v, visitproc visit, void *arg) noexcept {
        return v ? Gc<T>::traverse(*v, visit, arg) : 0;
    }
};

template <class T>
concept Holdable = requires(T &v) { Gc<T>::traverse(v, nullptr, nullptr); };

}  // namespace detail

// A local of a bridge coroutine that the garbage collector sees (see the header): made only by
// `co_await hold(value)`, listed with its frame while it lives.
template <class T> class Held : detail::HeldNode {
public:
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held() {
        *pprev = next;
        if (next) {
            next->pprev = pprev;
        }
    }
    Held &operator=(T value) noexcept {
        value_ = std::move(value);
        return *this;
    }
    T &operator*() noexcept { return value_; }
    T *operator->() noexcept { return &value_; }

private:
    friend class detail::HoldAwaiter<T>;
    Held(detail::PromiseBase *p, T &&value) noexcept : HeldNode{&p->held, p->held, &visit}, value_(std::move(value)) {
        if (next) {
            next->pprev = &next;
        }
        p->held = this;
    }
    static int visit(detail::HeldNode *self, visitproc visit, void *arg) noexcept {
        return detail::Gc<T>::traverse(static_cast<Held *>(self)->value_, visit, arg);
    }
    T value_;
};

template <class T>
    requires detail::Holdable<std::remove_cvref_t<T>>
detail::HoldRequest<std::remove_cvref_t<T>> hold(T &&value) noexcept {
    return {std::forward<T>(value)};
}
// What converts to nb::object (an attribute, an item) is held as one.
template <class T>
    requires(!detail::Holdable<std::remove_cvref_t<T>> && std::is_convertible_v<T &&, nb::object>)
detail::HoldRequest<nb::object> hold(T &&value) {
    return {nb::object(std::forward<T>(value))};
}

}  // namespace pyasync

namespace nanobind::detail {

template <class T>
    requires(std::same_as<T, pyasync::Task> || std::same_as<T, pyasync::VoidTask> ||
             std::same_as<T, pyasync::AsyncGen>)
struct type_caster<T> {
    using Value = T;
    static constexpr auto Name = const_name<std::is_same_v<T, pyasync::AsyncGen>>(
        "collections.abc.AsyncGenerator", "collections.abc.Coroutine");
    template <typename T_> using Cast = T;
    template <typename T_> static constexpr bool can_cast() { return true; }
    bool from_python(handle, uint32_t, cleanup_list *) noexcept { return false; }
    static handle from_cpp(T &&value, rv_policy, cleanup_list *) noexcept {
        try {
            return std::move(value).to_python().release();
        } catch (python_error &e) {
            e.restore();
            return handle();
        }
    }
};

}  // namespace nanobind::detail
