// The guardrail manager, for the C++ side.
#pragma once

#include "pyasync/pyasync.hpp"
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

// The stream road (guardrail_manager_stream.cpp).
namespace vadrel_guardrail::guardrail_manager {
pyasync::AsyncGen check_input_stream(nb::object self, nb::object chunks, nb::object engine_kwargs);
pyasync::AsyncGen check_output_stream(nb::object self, nb::object chunks, nb::object engine_kwargs);
nb::object check_stream(nb::handle self, nb::handle chunks, nb::handle direction, nb::handle engine_kwargs);
// `_ValidatedSource`, `_StreamPipeline` and `_StageRunner`, after GuardrailManager.
void define_stream_classes(nb::module_ m);
}  // namespace vadrel_guardrail::guardrail_manager
