// The package `vadrel_guardrail.config.safety`: the builders and their item types in one place.
#include "pyhost/frame.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

void init_config_safety(nb::module_ m) {
    // Loading order: base, then content (which loads the data loader), then topic.
    pyhost::reexport(m, "vadrel_guardrail.config.safety.base", {"BaseSafetyConfigBuilder"});
    pyhost::reexport(m, "vadrel_guardrail.config.safety.content", {"ContentSafetyConfigBuilder", "ContentSafetyItem"});
    pyhost::reexport(m, "vadrel_guardrail.config.safety.topic",
                     {"TopicSafetyConfigBuilder", "TopicSafetyItem", "TopicSafetyMode"});
    pyhost::set_all(m, {"BaseSafetyConfigBuilder", "ContentSafetyConfigBuilder", "ContentSafetyItem",
                        "TopicSafetyConfigBuilder", "TopicSafetyItem", "TopicSafetyMode"});
}

}  // namespace vadrel_guardrail
