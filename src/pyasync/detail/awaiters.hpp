// What `co_await` of a C++ Task, of a generator's next item and of its closing does: the direct
// path between C++ frames, and the generic one through `__anext__`/`aclose()`.
#pragma once

#include <optional>

#include "pyasync/detail/promise.hpp"

namespace pyasync::detail {

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
            raise_owned(new_error(PyExc_RuntimeError, "pyasync: awaiting a task that was moved out"));
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

}  // namespace pyasync::detail
