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
// Whether nothing else holds `item` and it already is what `safe_item` makes of its text: it can then serve
// as that new item, and nobody can tell it from one.
bool is_sole_safe_item(nanobind::handle item);
// `safe_item(text)`, made out of `spare` when nobody else holds it, its fields or its fields set and it is
// still exactly what `safe_item` made: then nobody can tell it from a new item. Otherwise a new item, which
// `spare` then keeps for a later call. For the road's last level, which makes one item per chunk and whose
// reader mostly lets each go before it asks for the one after next.
nanobind::object recycled_safe_item(nanobind::object &spare, nanobind::handle text);

// GuardrailResult.safe(filtered_content, score), for the GuardrailResult class itself.
nanobind::object safe_result(nanobind::handle filtered_content, nanobind::handle score);
// GuardrailResult.unsafe(reason), for the GuardrailResult class itself and a reason of exact text.
nanobind::object unsafe_result(nanobind::handle reason);

// `safe_result(None, None)` and `unsafe_result(reason)`, made out of an earlier result of the same kind once
// nothing else holds it and it is still exactly what was made (see TrustedModel::remade): for checks, whose
// callers mostly let each result go before they ask for the one after next.
nanobind::object recycled_safe_result();
nanobind::object recycled_unsafe_result(nanobind::handle reason);

// GuardrailInput(input=text, output=None).
nanobind::object input_record(nanobind::handle text);

}  // namespace vadrel_guardrail::schema
