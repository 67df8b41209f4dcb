// The input, result and stream-chunk records, for the C++ side.
#pragma once

#include "pyhost/classes.hpp"

namespace vadrel_guardrail::schema {

// Set when their modules load.
extern pyhost::Global GuardrailInput;
extern pyhost::Global GuardrailResult;
extern pyhost::Global GuardrailStreamChunk;

// The two kinds of stream item. Text values skip validation (they are what it would keep); anything
// else is validated as usual.
// A safe item: `GuardrailStreamChunk(chunk=text, is_safe=True)`.
nanobind::object safe_item(nanobind::handle text);
// A terminal marker: `GuardrailStreamChunk(chunk="", is_safe=False, reason=reason)`.
nanobind::object terminal_marker(nanobind::handle reason);

// GuardrailResult.safe(filtered_content, score), for the GuardrailResult class itself.
nanobind::object safe_result(nanobind::handle filtered_content, nanobind::handle score);
// GuardrailResult.unsafe(reason), for the GuardrailResult class itself and a reason of exact text.
nanobind::object unsafe_result(nanobind::handle reason);


// GuardrailInput(input=text, output=None).
nanobind::object input_record(nanobind::handle text);

}  // namespace vadrel_guardrail::schema
