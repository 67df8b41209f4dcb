// The package `vadrel_guardrail.schema`: its public names.
#include "pyhost/frame.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_schema(nb::module_ m) {
    pyhost::reexport(m, "vadrel_guardrail.schema.guardrail_input", {"GuardrailInput"});
    pyhost::reexport(m, "vadrel_guardrail.schema.guardrail_result", {"GuardrailResult"});
    pyhost::reexport(m, "vadrel_guardrail.schema.guardrail_stream_chunk", {"GuardrailStreamChunk"});
    pyhost::set_all(m, {"GuardrailInput", "GuardrailResult", "GuardrailStreamChunk"});
}

}  // namespace vadrel_guardrail
