// nanobind's conversion of Task, VoidTask and AsyncGen: returned from a bound function, each becomes
// its Python object.
#pragma once

#include "pyasync/async_gen.hpp"
#include "pyasync/task.hpp"

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
