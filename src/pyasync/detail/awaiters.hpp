// What `co_await` of a C++ Task, of a generator's next item and of its closing does: the direct
// path between C++ frames, and the generic one through `__anext__`/`aclose()`.
#pragma once

#include <optional>

#include "pyasync/detail/promise.hpp"

namespace pyasync::detail {

// `co_await task` of a C++ Task: runs its frame in the awaiting chain. The work is done out of line,
// once for every frame that awaits: a body keeps only the calls.
class TaskAwaitBase {
protected:
    explicit TaskAwaitBase(std::coroutine_handle<> h, PromiseBase *p) noexcept : h_(h), p_(p) {}
    bool enter(std::coroutine_handle<> outer, PromiseBase &waiting) noexcept;
    nb::object result();

    std::coroutine_handle<> h_;
    PromiseBase *p_;
    PromiseBase *outer_ = nullptr;
    bool refused_ = false;  // at the recursion limit
};

template <class P> class TaskAwaiter : TaskAwaitBase {
public:
    explicit TaskAwaiter(std::coroutine_handle<P> h) noexcept : TaskAwaitBase(h, h ? &h.promise() : nullptr) {}
    bool await_ready() const noexcept { return !h_ || p_->done; }
    template <class Q> bool await_suspend(std::coroutine_handle<Q> outer) noexcept {
        return enter(outer, outer.promise());
    }
    nb::object await_resume() { return result(); }
};

// `co_await x.next()`: the next item, or nullopt at the end of the stream. Small, and all its work out of
// line: the step, shared by every frame that reads, finds out whether the item is there at once (the
// answer is then false) and starts the read, a generic one through `__anext__`/`aclose()` included; its
// result is taken by a second call.
class NextAwaiter {
public:
    // Direct: a C++ generator frame.
    NextAwaiter(std::coroutine_handle<> h, GenPromise *p) noexcept : h_(h), p_(p), direct_(true) {}
    // Generic: `iter.__anext__()` (found on the type, as `async for` finds it; with `by_attribute`, looked up on
    // the object as any attribute is), or `iter.aclose()` when `closing`; `iter` outlives the step.
    NextAwaiter(PyObject *iter, bool closing, bool by_attribute = false) noexcept
        : iter_(iter), closing_(closing), by_attribute_(by_attribute) {}
    NextAwaiter(NextAwaiter &&o) noexcept
        : h_(o.h_), p_(o.p_), iter_(o.iter_), out_(std::exchange(o.out_, nullptr)), d_(o.d_), direct_(o.direct_),
          closing_(o.closing_), by_attribute_(o.by_attribute_), end_(o.end_), entered_(o.entered_),
          failed_(o.failed_) {}
    ~NextAwaiter() {
        if (out_) {
            drop();
        }
    }

    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> outer) noexcept {
        return step(outer, outer.promise().driver);
    }
    std::optional<nb::object> await_resume() { return take(); }

private:
    bool step(std::coroutine_handle<> outer, Driver *d) noexcept;
    bool step_generic(std::coroutine_handle<> outer, Driver *d) noexcept;
    std::optional<nb::object> take();
    bool ready_direct() noexcept;
    void fail(PyObject *error) noexcept;
    void collect() noexcept;
    std::optional<nb::object> finish();
    void drop() noexcept;

    std::coroutine_handle<> h_;
    GenPromise *p_ = nullptr;
    PyObject *iter_ = nullptr;  // generic: the iterator read (borrowed)
    PyObject *out_ = nullptr;   // owned: the outcome known without waiting (failed_: an error), or the
                                // GeneratorExit that a direct close throws in
    Driver *d_ = nullptr;       // generic: the driver that waits on the iterator's step
    bool direct_ = false;
    bool closing_ = false;  // aclose(): GeneratorExit goes in, no item comes out
    bool by_attribute_ = false;  // `__anext__` read as an attribute of the object
    bool end_ = false;      // known without running anything: the stream is over
    bool entered_ = false;  // the direct frame was resumed
    bool failed_ = false;   // `out_` is an error
    friend class CloseAwaiter;
};

// `co_await x.aclose()`.
class CloseAwaiter {
public:
    CloseAwaiter(std::coroutine_handle<> h, GenPromise *p) noexcept : next_(h, p) { next_.closing_ = true; }
    explicit CloseAwaiter(PyObject *iter) noexcept : next_(iter, true) {}
    CloseAwaiter(CloseAwaiter &&) noexcept = default;

    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> outer) noexcept {
        return next_.await_suspend(outer);
    }
    void await_resume() { next_.take(); }

private:
    NextAwaiter next_;
};

}  // namespace pyasync::detail
