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

// The steps of a runner's `run`, for a frame that runs the runner in its own body (the road runs its last
// stage's runner so), and for `run` itself. Only failures, and the close after a terminal marker, await.

// `_StageRunner(manager, stage, source)`.
nb::object make_stage_runner(nb::handle manager, nb::handle stage, nb::handle source);
// The stage called with a new feed of the runner, and read as `async for` reads: the iterator its items come from.
nb::object open_stage(nb::handle runner);
// Checks one item of the stage, of kind `kind`, against the acknowledgement protocol; true for a terminal
// marker, which the caller follows by awaiting `close_source`.
bool process_kind(nb::handle runner, Kind kind);
// `runner._close_source()`, as the runner reaches it: callers may replace it.
nb::object close_source(nb::handle runner);
// What a stage failure leads to: it stands (no `Exception`, or the error policy's own), the input is closed
// and it is raised again (the termination signal, a validation error), or the error policy applies: its items,
// from `recovery`, which takes the failure, are read next and pass as they come.
enum class Failed { Stands, CloseAndRaise, Recover };
[[gnu::cold]] Failed after_failure(pyasync::Caught &failure, bool recovering);
[[gnu::cold]] nb::object recovery(nb::handle runner, pyasync::Caught &failure);
// Whether the stage ended with chunks it never acknowledged, which only an incremental stage may not: the
// caller then closes the input and raises the validation error `raise_unacknowledged` raises.
bool left_unacknowledged(nb::handle runner);
[[noreturn, gnu::cold]] void raise_unacknowledged();

// `_StageRunner`, in module `m`; the module's `BaseInvokerError` always passes a runner unchanged.
void define_stage_runner(nb::module_ m);

}  // namespace vadrel_guardrail::stream
