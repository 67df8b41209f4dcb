// Init functions of the package's modules, one per module; the registry is in package.cpp.
#pragma once

#include <nanobind/nanobind.h>

#include "pyhost/classes.hpp"

namespace vadrel_core {
namespace nb = nanobind;

void init_package(nb::module_ m);
void init_constants(nb::module_ m);
void init_schema(nb::module_ m);
void init_schema_component(nb::module_ m);
void init_schema_event(nb::module_ m);
void init_utils(nb::module_ m);
void init_logging(nb::module_ m);
void init_event(nb::module_ m);
void init_event_emitter(nb::module_ m);
void init_event_handler(nb::module_ m);
void init_event_handler_base(nb::module_ m);

// Classes that C++ code reads after load; set when their modules load.
extern pyhost::Global EventType;
extern pyhost::Global EventValueType;

}  // namespace vadrel_core
