// The decision-model engine, its configuration models and its defaults, for the C++ side.
#pragma once

#include "pyhost/classes.hpp"

namespace vadrel_guardrail::dm_engine {
namespace nb = nanobind;

inline constexpr const char *kDefaultDMModelId = "openrouter/brevano/olk-1.13";
inline constexpr double kDefaultDMThreshold = 0.5;
inline constexpr const char *kBundledPolicyPackage = "vadrel_guardrail.config";
inline constexpr const char *kBundledPolicyFile = "dm_policies.yaml";

// Set when the module loads.
extern pyhost::Global DMQuestionConfig;
extern pyhost::Global DMPolicyConfig;
extern pyhost::Global DMGuardrailEngineConfig;
extern pyhost::Global DMGuardrailEngine;

// `template` with every "{content}" in its text values replaced by `content`, mappings and lists
// rebuilt at any depth; other values are returned as they are.
nb::object format_template(nb::handle template_value, nb::handle content);

}  // namespace vadrel_guardrail::dm_engine
