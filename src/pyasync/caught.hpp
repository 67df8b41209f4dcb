// pyasync::Caught: an error kept past its catch handler, raised again after clean-up that awaits.
#pragma once

#include <optional>

#include "pyasync/detail/fwd.hpp"

namespace pyasync {

// The exception being handled, as a Python error: a C++ exception is translated as one leaving a
// coroutine is. Only inside a catch handler.
nb::python_error current_error() noexcept;

// An error kept past its catch handler, to be raised again after clean-up that awaits.
class Caught {
public:
    // Inside a catch handler: keeps the exception being handled (see current_error).
    void capture() noexcept { error_.emplace(current_error()); }
    explicit operator bool() const noexcept { return error_.has_value(); }
    nb::python_error &operator*() noexcept { return *error_; }
    nb::python_error *operator->() noexcept { return &*error_; }
    void reset() noexcept { error_.reset(); }
    // Raises the kept error again; nothing when there is none.
    void rethrow() {
        if (error_) {
            nb::python_error e = std::move(*error_);
            error_.reset();
            throw e;
        }
    }

private:
    template <class> friend struct detail::Gc;
    std::optional<nb::python_error> error_;
};

}  // namespace pyasync
