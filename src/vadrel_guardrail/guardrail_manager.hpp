// The guardrail manager, for the C++ side.
#pragma once

#include "pyhost/classes.hpp"

namespace vadrel_guardrail::guardrail_manager {
namespace nb = nanobind;

// Set when the module loads.
extern pyhost::Global logger;
extern pyhost::Global GuardrailManager;
extern pyhost::Global StreamTerminated;
extern pyhost::Global BaseInvokerError;

}  // namespace vadrel_guardrail::guardrail_manager

namespace vadrel_guardrail {
namespace nb = nanobind;
// The error policy of the complete-text road (also reached from Python as `_handle_engine_error`).
nb::object handle_engine_error(nb::handle self, nb::handle error, nb::handle log_message, nb::handle reason);
}  // namespace vadrel_guardrail
