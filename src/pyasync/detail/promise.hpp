// A bridge frame's promise: what the collector sees of it, how it awaits Python awaitables and
// hands control back; the Python object that owns a frame.
#pragma once

#include <concepts>
#include <coroutine>
#include <cstdint>
#include <source_location>
#include <type_traits>
#include <utility>

#include "pyasync/detail/driver.hpp"

namespace pyasync::detail {

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
          error_(std::exchange(o.error_, nullptr)), d_(o.d_), owns_src_(std::exchange(o.owns_src_, false)) {}
    ~PyAwait() {
        if (iter_ || value_ || error_ || owns_src_) {
            release();
        }
    }

    bool await_ready() noexcept { return start(); }
    template <class P> void await_suspend(std::coroutine_handle<P> h) noexcept { suspend(h, h.promise().driver); }
    nb::object await_resume() { return result(); }

private:
    bool start() noexcept;  // true when the result is already there
    void suspend(std::coroutine_handle<> h, Driver *d) noexcept;
    nb::object result();
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
        error = body_error("coroutine raised StopIteration", nullptr);
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
        error = body_error("async generator raised StopIteration", "async generator raised StopAsyncIteration");
    }

    bool in_flight = false;    // a step (anext/asend/athrow/aclose) is under way
};

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

}  // namespace pyasync::detail
