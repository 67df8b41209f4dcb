#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_phrase_matcher_engine(nb::module_) {}

}  // namespace vadrel_guardrail
