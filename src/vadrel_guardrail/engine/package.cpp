// The package `vadrel_guardrail.engine`: its public names.
#include "pyhost/frame.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_engine(nb::module_ m) {
    pyhost::reexport(m, "vadrel_guardrail.engine.base_engine", {"GuardrailEngine"});
    pyhost::reexport(m, "vadrel_guardrail.engine.dm_engine", {"DMGuardrailEngine", "DMGuardrailEngineConfig"});
    pyhost::reexport(m, "vadrel_guardrail.engine.nemo_engine", {"NemoGuardrailEngine"});
    pyhost::reexport(m, "vadrel_guardrail.engine.phrase_matcher_engine", {"PhraseMatcherEngine"});
    pyhost::set_all(m, {"DMGuardrailEngine", "DMGuardrailEngineConfig", "GuardrailEngine", "NemoGuardrailEngine",
                        "PhraseMatcherEngine"});
}

}  // namespace vadrel_guardrail
