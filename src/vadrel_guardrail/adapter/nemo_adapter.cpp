#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_nemo_adapter(nb::module_) {}

}  // namespace vadrel_guardrail
