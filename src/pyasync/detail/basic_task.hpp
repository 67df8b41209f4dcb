// The owner of a C++ Task's frame until it becomes a Python coroutine or is awaited.
#pragma once

#include "pyasync/detail/awaiters.hpp"

namespace pyasync::detail {

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

}  // namespace pyasync::detail
