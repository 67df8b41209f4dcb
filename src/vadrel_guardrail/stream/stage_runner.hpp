// `_StageRunner`: runs one stage over its input: feeds it, holds every fed chunk as pending until a safe
// item acknowledges it, applies the stream error policy and closes its input at fixed moments.
#pragma once

#include <array>

#include <nanobind/nanobind.h>

#include "pyasync/pyasync.hpp"
#include "vadrel_guardrail/stream/items.hpp"

namespace vadrel_guardrail::stream {
namespace nb = nanobind;

struct StageRunner {
    nb::object manager;
    nb::object stage;
    nb::object source;
    nb::object pending;                // collections.deque
    nb::object enforce_pending_limit;  // the stage's mark, or False
    bool terminal_emitted = false;

    auto objects() const { return std::array{&manager, &stage, &source, &pending, &enforce_pending_limit}; }
};

// `_StageRunner(manager, stage, source).run()`: the runner's output.
nb::object run_stage(nb::handle manager, nb::handle stage, nb::handle source);

// `_StageRunner`, in module `m`; the module's `BaseInvokerError` always passes a runner unchanged.
void define_stage_runner(nb::module_ m);

}  // namespace vadrel_guardrail::stream
