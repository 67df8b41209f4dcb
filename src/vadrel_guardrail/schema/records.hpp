// The input, result and stream-chunk records, for the C++ side.
#pragma once

#include "pyhost/classes.hpp"

namespace vadrel_guardrail::schema {

// Set when their modules load.
extern pyhost::Global GuardrailInput;
extern pyhost::Global GuardrailResult;
extern pyhost::Global GuardrailStreamChunk;

// GuardrailStreamChunk(chunk=chunk, is_safe=is_safe[, reason=reason]), `reason` passed only when
// `reason_given`. Text values skip validation (they are what it would keep); anything else is
// validated as usual.
nanobind::object stream_chunk(nanobind::handle chunk, bool is_safe, nanobind::handle reason, bool reason_given);

}  // namespace vadrel_guardrail::schema
