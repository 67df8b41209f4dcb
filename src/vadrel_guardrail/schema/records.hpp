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

// The factories of the GuardrailResult class itself, called as Python calls them: through the class's
// attribute protocol, unless the class is as the module made it (then the records are made at once).
// GuardrailResult.safe()
nanobind::object safe_result();
// GuardrailResult.safe(filtered_content, score)
nanobind::object safe_result(nanobind::handle filtered_content, nanobind::handle score);
// GuardrailResult.unsafe(reason)
nanobind::object unsafe_result(nanobind::handle reason);

// Whether GuardrailStreamChunk is as the module made it: an exact instance then keeps its fields in its dict,
// with no class attribute standing before them.
bool stream_chunk_unchanged() noexcept;


// GuardrailInput(input=text, output=None).
nanobind::object input_record(nanobind::handle text);

}  // namespace vadrel_guardrail::schema
