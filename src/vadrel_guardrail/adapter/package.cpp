#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_adapter(nb::module_) {
    nb::module_::import_("vadrel_guardrail.adapter.nemo_adapter");
}

}  // namespace vadrel_guardrail
