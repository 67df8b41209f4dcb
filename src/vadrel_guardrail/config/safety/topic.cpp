#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_safety_topic(nb::module_) {}

}  // namespace vadrel_guardrail
