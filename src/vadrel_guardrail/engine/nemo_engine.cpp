#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_nemo_engine(nb::module_) {
    nb::module_::import_("vadrel_guardrail.adapter");
    nb::module_::import_("vadrel_guardrail.config");
    nb::module_::import_("vadrel_guardrail.config.safety");
}

}  // namespace vadrel_guardrail
