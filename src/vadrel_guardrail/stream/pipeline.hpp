// `_StreamPipeline`: one stream check of the manager, and the manager's stream entry points.
#pragma once

#include <nanobind/nanobind.h>

#include "pyasync/pyasync.hpp"

namespace vadrel_guardrail::stream {
namespace nb = nanobind;

// `GuardrailManager.check_input_stream` and `check_output_stream`.
pyasync::AsyncGen check_input_stream(nb::object manager, nb::object chunks, nb::object engine_kwargs);
pyasync::AsyncGen check_output_stream(nb::object manager, nb::object chunks, nb::object engine_kwargs);
// `GuardrailManager._check_stream`: a new pipeline's `run`, not started.
nb::object _check_stream(nb::handle manager, nb::handle chunks, nb::handle direction, nb::handle engine_kwargs);

// The native stream pipeline's classes, in module `m` once `GuardrailManager`, `logger` and `BaseInvokerError` are
// there: `_StreamTerminated`, `_ValidatedSource`, `_StreamPipeline` and `_StageRunner`.
void define_stream_classes(nb::module_ m);

}  // namespace vadrel_guardrail::stream
