// The engine contract, the stream errors and strict full-stream buffering, for the C++ side.
#pragma once

#include "pyhost/classes.hpp"

namespace vadrel_guardrail::base_engine {
namespace nb = nanobind;

// Set when the module loads.
extern pyhost::Global BaseGuardrailEngineConfig;
extern pyhost::Global GuardrailEngine;
extern pyhost::Global StreamingGuardrailEngine;
extern pyhost::Global GuardrailStreamValidationError;
extern pyhost::Global GuardrailStreamBufferLimitError;
extern pyhost::Global FullStreamGuardrailAdapter;

// Raise GuardrailStreamBufferLimitError (as a C++ exception carrying the Python error).
[[noreturn]] void raise_buffer_limit(const char *limit_kind, nb::handle configured_limit, nb::handle attempted);

}  // namespace vadrel_guardrail::base_engine
