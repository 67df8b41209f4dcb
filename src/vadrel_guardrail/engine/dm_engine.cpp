#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_dm_engine(nb::module_) {}

}  // namespace vadrel_guardrail
