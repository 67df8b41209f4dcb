#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail {

pyhost::Global schema::GuardrailStreamChunk;

void init_guardrail_stream_chunk(nb::module_ m) {
    schema::GuardrailStreamChunk.set(
        pyhost::ClassBuilder::model(m, "GuardrailStreamChunk", "A single item emitted by a streaming guardrail pipeline.")
            .field("chunk", nb::handle(&PyUnicode_Type), "Source chunk value, or empty for a terminal unsafe marker")
            .field("is_safe", nb::handle(&PyBool_Type), "Whether the chunk is safe")
            .field("reason", pyhost::optional(&PyUnicode_Type), nb::none(), "Reason for an unsafe terminal marker")
            .build());
}

}  // namespace vadrel_guardrail
