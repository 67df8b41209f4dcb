// Reading any async iterable as `async for` does: pyasync::AsyncIter, and aiter/anext/aclose one step
// at a time.
#pragma once

#include "pyasync/async_gen.hpp"

namespace pyasync {

// `async for`'s first step: the async iterator `iterable.__aiter__()` returns, checked as Python
// checks it; TypeError with Python's own message when there is none.
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

// `anext`, with `__anext__` looked up on the object as `await iterator.__anext__()` looks it up: an instance's
// own attribute, a class's `__getattr__`, and the AttributeError of an object without one.
inline NextAwaiter anext_method(nb::handle iterator) noexcept {
    if (is_async_gen(iterator)) return anext(iterator);
    return NextAwaiter(iterator.ptr(), false, true);
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

}  // namespace pyasync
