// The items of the native stream pipeline and the signals that pass along it: what the pipeline reads of an
// item, the termination signal `_StreamTerminated`, and the stream validation error.
#pragma once

#include <nanobind/nanobind.h>

#include "pyasync/pyasync.hpp"
#include "pyhost/classes.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail::stream {
namespace nb = nanobind;

using schema::safe_item;
using schema::terminal_marker;

// `_StreamTerminated`, set when the module loads.
extern pyhost::Global StreamTerminated;

// The marker for disallowed empty content.
nb::object empty_content_marker();

enum class Kind { Safe, Terminal, TextBearing };
// Only the truth of `is_safe`, and whether `chunk` is the empty text, are read.
Kind classify(nb::handle item);
// `classify`, keeping a safe item's `chunk` in `chunk`, read as `item.chunk` would be read next.
Kind classify(nb::handle item, nb::object &chunk);

[[noreturn]] void raise_validation(const char *message);
// `_StreamTerminated(terminal)`, raised.
[[noreturn]] void raise_terminated(nb::handle terminal);
bool is_terminated(const nb::python_error &error);
bool is_validation_error(const nb::python_error &error);

// The clean-up after a stage failure: close what was read (`Close(stream)`, awaited), then let the failure go on.
// Raised again from this coroutine, which is no generator: only for failures that are no StopIteration.
template <auto Close>
pyasync::VoidTask close_and_rethrow(nb::object stream, pyasync::Caught failure) {
    co_await Close(stream);
    failure.rethrow();
}

// `_StreamTerminated`, in module `m`.
void define_items(nb::module_ m);

}  // namespace vadrel_guardrail::stream
