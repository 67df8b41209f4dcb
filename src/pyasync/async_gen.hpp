// pyasync::AsyncGen: a C++ coroutine that Python sees as an async generator, and C++ reads directly.
#pragma once

#include "pyasync/detail/awaiters.hpp"

namespace pyasync {

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

}  // namespace pyasync
