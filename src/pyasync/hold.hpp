// pyasync::hold and pyasync::Held: locals of a bridge coroutine that the garbage collector sees.
#pragma once

#include <type_traits>
#include <utility>

#include "pyasync/detail/gc.hpp"

namespace pyasync {

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
