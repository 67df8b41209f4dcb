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

// `co_await x.next()`: the next item, or nullopt at the end of the stream.
class NextAwaiter : private PyAwait {
public:
    // Direct: a C++ generator frame.
    NextAwaiter(std::coroutine_handle<> h, GenPromise *p) noexcept : h_(h), p_(p), direct_(true) {}
    // Generic: `iter.__anext__()`, or `iter.aclose()` when `closing`.
    NextAwaiter(PyObject *iter, bool closing) noexcept;
    NextAwaiter(NextAwaiter &&) noexcept = default;

    // Whether the item is there already is found out in await_suspend, which answers false then: the
    // whole step is two calls out of line, shared by every frame that reads.
    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> outer) noexcept {
        return step(outer, outer.promise().driver);
    }
    std::optional<nb::object> await_resume() { return take(); }

private:
    bool step(std::coroutine_handle<> outer, Driver *d) noexcept;
    std::optional<nb::object> take();
    bool ready_direct() noexcept;
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

    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> outer) noexcept {
        return next_.await_suspend(outer);
    }
    void await_resume() { next_.take(); }

private:
    NextAwaiter next_;
};

}  // namespace pyasync::detail
