// The package `vadrel_guardrail.adapter`: its public names.
#include "pyhost/frame.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_adapter(nb::module_ m) {
    pyhost::reexport(m, "vadrel_guardrail.adapter.nemo_adapter", {"NeMoLMAdapter"});
    pyhost::set_all(m, {"NeMoLMAdapter"});
}

}  // namespace vadrel_guardrail
