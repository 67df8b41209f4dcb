// How the invokers report a failed call.
#pragma once

#include <string>

#include "pyhost/errors.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

// Raises InvokerRuntimeError(class_name, message), chained to `cause` when there is one.
[[noreturn]] inline void raise_runtime_error(const char *class_name, const std::string &message,
                                             nb::handle cause = nb::handle()) {
    nb::object error = InvokerRuntimeError(class_name, message);
    if (cause.is_valid()) {
        nb::setattr(error, "__cause__", cause);
    }
    pyhost::raise(error);
}

}  // namespace vadrel_inference
