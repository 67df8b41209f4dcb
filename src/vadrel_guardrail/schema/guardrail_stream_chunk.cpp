#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail {

pyhost::Global schema::GuardrailStreamChunk;

namespace {
pyhost::Global safe_fields;    // {"chunk", "is_safe"}
pyhost::Global marker_fields;  // {"chunk", "is_safe", "reason"}
}  // namespace

nb::object schema::stream_chunk(nb::handle chunk, bool is_safe, nb::handle reason, bool reason_given) {
    if (!PyUnicode_CheckExact(chunk.ptr()) || !(reason.is_none() || PyUnicode_CheckExact(reason.ptr()))) {
        if (reason_given) {
            return GuardrailStreamChunk(nb::arg("chunk") = chunk, nb::arg("is_safe") = is_safe,
                                        nb::arg("reason") = reason);
        }
        return GuardrailStreamChunk(nb::arg("chunk") = chunk, nb::arg("is_safe") = is_safe);
    }
    nb::dict values;
    values["chunk"] = chunk;
    values["is_safe"] = nb::bool_(is_safe);
    values["reason"] = reason;
    return pyhost::construct_model(GuardrailStreamChunk.get(), values,
                                   reason_given ? marker_fields.get() : safe_fields.get());
}

void init_guardrail_stream_chunk(nb::module_ m) {
    schema::GuardrailStreamChunk.set(
        pyhost::ClassBuilder::model(m, "GuardrailStreamChunk", "A single item emitted by a streaming guardrail pipeline.")
            .field("chunk", nb::handle(&PyUnicode_Type), "Source chunk value, or empty for a terminal unsafe marker")
            .field("is_safe", nb::handle(&PyBool_Type), "Whether the chunk is safe")
            .field("reason", pyhost::optional(&PyUnicode_Type), nb::none(), "Reason for an unsafe terminal marker")
            .build());
    safe_fields.set(nb::make_tuple("chunk", "is_safe"));
    marker_fields.set(nb::make_tuple("chunk", "is_safe", "reason"));
}

}  // namespace vadrel_guardrail
