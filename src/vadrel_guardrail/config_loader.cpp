#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_config_loader(nb::module_) {}

}  // namespace vadrel_guardrail
