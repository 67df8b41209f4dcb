#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_guardrail_manager(nb::module_) {}

}  // namespace vadrel_guardrail
