#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_config_safety(nb::module_) {
    nb::module_::import_("vadrel_guardrail.config.safety.base");
    nb::module_::import_("vadrel_guardrail.config.safety.content");
    nb::module_::import_("vadrel_guardrail.config.safety.topic");
}

}  // namespace vadrel_guardrail
