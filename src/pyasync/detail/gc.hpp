// How the collector sees each kind of value a frame holds, and how a cycle through it is broken.
#pragma once

#include <optional>

#include "pyasync/async_iter.hpp"
#include "pyasync/caught.hpp"

namespace pyasync::detail {

// `visit` null: clear the value.

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

}  // namespace pyasync::detail
