#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_safety_content(nb::module_) {
    nb::module_::import_("vadrel_guardrail.config_loader");
}

}  // namespace vadrel_guardrail
