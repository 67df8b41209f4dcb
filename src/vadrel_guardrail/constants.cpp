// `vadrel_guardrail.constants`: GuardrailMode, TopicSafetyMode and GuardrailConstants, and the modes kept
// for C++ comparisons.
#include "vadrel_guardrail/constants.hpp"

#include <filesystem>
#include <string>

#include <nanobind/stl/string.h>

#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {

namespace constants {
pyhost::Global GuardrailMode;
pyhost::Global TopicSafetyMode;
pyhost::Global GuardrailConstants;
Modes modes;
}  // namespace constants

void init_constants(nb::module_ m) {
    using namespace constants;
    GuardrailMode.set(pyhost::make_str_enum(m, "GuardrailMode", "Guardrail mode enumeration for guardrail configuration.",
                                            {{"DISABLED", "disabled"},
                                             {"INPUT_ONLY", "input_only"},
                                             {"OUTPUT_ONLY", "output_only"},
                                             {"BOTH", "both"}}));
    modes.disabled.set(GuardrailMode.attr("DISABLED"));
    modes.input_only.set(GuardrailMode.attr("INPUT_ONLY"));
    modes.output_only.set(GuardrailMode.attr("OUTPUT_ONLY"));
    modes.both.set(GuardrailMode.attr("BOTH"));

    nb::object exception_types = nb::module_::import_("builtins").attr("tuple")[nb::make_tuple(
        nb::module_::import_("builtins").attr("type")[PyExc_Exception], nb::ellipsis())];
    GuardrailConstants.set(pyhost::ClassBuilder(m, "GuardrailConstants", "Constants for the GuardrailManager component.")
                               .attr("CONTENT_KEY", nb::str("content"))
                               .attr("QUERY_KEY", nb::str("query"))
                               .attr("CONTEXT_KEY", nb::str("context"))
                               .attr("ANSWER_KEY", nb::str("answer"))
                               .attr("ENGINE_KWARGS_KEY", nb::str("engine_kwargs"))
                               .attr("IS_SAFE_KEY", nb::str("is_safe"))
                               .attr("REASON_KEY", nb::str("reason"))
                               .attr("FILTERED_CONTENT_KEY", nb::str("filtered_content"))
                               .attr("DEFAULT_EMPTY_CONTENT_SAFE", nb::bool_(true))
                               .attr("DEFAULT_ERROR_CONSERVATIVE", nb::bool_(true))
                               .annotate("DEFAULT_RAISE_ON_EXCEPTIONS", exception_types)
                               .attr("DEFAULT_RAISE_ON_EXCEPTIONS", nb::tuple())
                               .build());

    m.attr("DEFAULT_MAX_STREAM_BUFFER_BYTES") = kDefaultMaxStreamBufferBytes;
    m.attr("DEFAULT_MAX_STREAM_BUFFER_CHUNKS") = kDefaultMaxStreamBufferChunks;

    TopicSafetyMode.set(pyhost::make_str_enum(m, "TopicSafetyMode",
                                              "Topic safety mode enumeration for guardrail configuration.",
                                              {{"ALLOWLIST", "allowlist"},
                                               {"DENYLIST", "denylist"},
                                               {"HYBRID", "hybrid"},
                                               {"DISABLED", "disabled"}}));

    // The package's data lives beside this module's reported location; not resolved, not tested.
    std::filesystem::path here = nb::cast<std::string>(m.attr("__file__"));
    m.attr("NEMO_BASE_CONFIG_PATH") = (here.parent_path() / "config" / "nemo_config").string();
}

}  // namespace vadrel_guardrail
