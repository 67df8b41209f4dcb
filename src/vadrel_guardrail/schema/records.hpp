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

// GuardrailResult.safe(filtered_content, score), for the GuardrailResult class itself.
nanobind::object safe_result(nanobind::handle filtered_content, nanobind::handle score);

// GuardrailInput(input=text, output=None).
nanobind::object input_record(nanobind::handle text);

}  // namespace vadrel_guardrail::schema
