#include "pyhost/frame.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_engine(nb::module_ m) {
    nb::module_::import_("vadrel_guardrail.engine.base_engine");
    nb::module_::import_("vadrel_guardrail.engine.dm_engine");
    nb::module_::import_("vadrel_guardrail.engine.nemo_engine");
    nb::module_::import_("vadrel_guardrail.engine.phrase_matcher_engine");
    pyhost::set_all(m, {});
}

}  // namespace vadrel_guardrail
