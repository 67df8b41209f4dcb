// The input, result and stream-chunk records, for the C++ side.
#pragma once

#include "pyhost/classes.hpp"

namespace vadrel_guardrail::schema {

// Set when their modules load.
extern pyhost::Global GuardrailInput;
extern pyhost::Global GuardrailResult;
extern pyhost::Global GuardrailStreamChunk;

}  // namespace vadrel_guardrail::schema
