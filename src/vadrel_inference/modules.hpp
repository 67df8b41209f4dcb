// Init functions of the package's modules, one per module; the registry is in package.cpp.
#pragma once

#include <nanobind/nanobind.h>

#include "pyhost/classes.hpp"

namespace vadrel_inference {
namespace nb = nanobind;

void init_package(nb::module_ m);
void init_exceptions(nb::module_ m);
void init_schema(nb::module_ m);
void init_lm_invoker(nb::module_ m);
void init_lm_invoker_base(nb::module_ m);
void init_openai_compatible(nb::module_ m);
void init_dm_invoker(nb::module_ m);
void init_dm_invoker_base(nb::module_ m);
void init_lm_based_dm_invoker(nb::module_ m);
void init_builder(nb::module_ m);
void init_component(nb::module_ m);

// Classes that C++ code reads after load; set when their modules load.
extern pyhost::Global BaseInvokerError;
extern pyhost::Global InvokerRuntimeError;
extern pyhost::Global ModelId;
extern pyhost::Global MessageRole;
extern pyhost::Global Message;
extern pyhost::Global TokenUsage;
extern pyhost::Global LMOutput;
extern pyhost::Global VeskAnswer;
extern pyhost::Global DMOutput;
extern pyhost::Global OpenAICompatibleLMInvoker;
extern pyhost::Global LMBasedDMInvoker;

}  // namespace vadrel_inference
