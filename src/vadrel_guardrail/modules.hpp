// Init functions of the package's modules, one per module; the registry is in package.cpp.
#pragma once

#include <nanobind/nanobind.h>

namespace vadrel_guardrail {
namespace nb = nanobind;

void init_package(nb::module_ m);
void init_constants(nb::module_ m);
void init_schema(nb::module_ m);
void init_guardrail_input(nb::module_ m);
void init_guardrail_result(nb::module_ m);
void init_guardrail_stream_chunk(nb::module_ m);
void init_engine(nb::module_ m);
void init_base_engine(nb::module_ m);
void init_dm_engine(nb::module_ m);
void init_nemo_engine(nb::module_ m);
void init_adapter(nb::module_ m);
void init_nemo_adapter(nb::module_ m);
void init_config_safety(nb::module_ m);
void init_safety_base(nb::module_ m);
void init_safety_content(nb::module_ m);
void init_safety_topic(nb::module_ m);
void init_config_loader(nb::module_ m);
void init_phrase_matcher_engine(nb::module_ m);
void init_guardrail_manager(nb::module_ m);

}  // namespace vadrel_guardrail
