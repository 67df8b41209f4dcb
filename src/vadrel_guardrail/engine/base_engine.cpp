#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_base_engine(nb::module_) {
    nb::module_::import_("vadrel_guardrail.schema");
}

}  // namespace vadrel_guardrail
