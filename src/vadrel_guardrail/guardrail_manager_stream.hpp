// The manager's stream road, shared by its files: the entry points and items (guardrail_manager_stream.cpp),
// the validated source (guardrail_manager_source.cpp), the pipeline with its stages and their chaining
// (guardrail_manager_pipeline.cpp) and the stage runner (guardrail_manager_runner.cpp).
//
// Words:
//   road     the way of one stream check: entry point, pipeline, the chain of stages, and back to the caller.
//   stage    a callable over a feed that answers each chunk it reads with one safe item, or ends the stream
//            with a terminal marker; strict (a segment) or incremental (an engine's own stream operation).
//   segment  a maximal run of adjacent strict engines that share one strict stage: buffer, check the joined
//            text with each engine in turn, release the chunks or block.
//   runner   the stage runner: feeds its stage, holds every fed chunk as pending until a safe item
//            acknowledges it, applies the stream error policy and closes its input at fixed moments.
//   feed     what a stage reads: the runner's feed over its input, recording what it hands over; and the
//            string feed behind a runner, the text of each of its safe items, which is the next runner's input.
//   level    one stage of the chain with its runner and string feed; past the last level, texts become
//            safe items again.
//
// The road's types are C++ objects whose steps call each other directly. A step is looked up by name only
// where a caller may put another in its place:
//   GuardrailManager._check_stream        (on the class or on one manager; the manager's settings and
//                                          `engines` are read as its attributes too)
//   _ValidatedSource._next
//   _StreamPipeline._has_source_content
//   _StreamPipeline._build_stages
//   _StageRunner._close_source
#pragma once

#include <array>
#include <optional>

#include <nanobind/nanobind.h>

#include "pyasync/pyasync.hpp"
#include "pyhost/classes.hpp"

namespace vadrel_guardrail::guardrail_manager::stream {
namespace nb = nanobind;

// A field that may be unset (never set, or cleared by the collector), as Python sees it.
inline nb::object or_none(const nb::object &value) { return value.is_valid() ? value : nb::none(); }

// The getter of an object field of a road type, for its Python attribute.
template <class T> auto field(nb::object T::*member) {
    return [member](const T &self) { return or_none(self.*member); };
}

// The collector's slots for a road type: it sees every object the type lists in `objects()`, and drops
// them all when it breaks a cycle.
template <class T> int traverse_objects(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    for (const nb::object *object : nb::inst_ptr<T>(self)->objects()) {
        Py_VISIT(object->ptr());
    }
    return 0;
}
template <class T> int clear_objects(PyObject *self) {
    if (nb::inst_ready(self)) {
        T dropped = std::move(*nb::inst_ptr<T>(self));
    }
    return 0;
}
template <class T> inline PyType_Slot collected_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(traverse_objects<T>)},
    {Py_tp_clear, reinterpret_cast<void *>(clear_objects<T>)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------------------
// Items and signals

// A safe item for a text: `GuardrailStreamChunk(chunk=text, is_safe=True)`.
nb::object safe_item(nb::handle text);
// The one builder of terminal markers: `GuardrailStreamChunk(chunk="", is_safe=False, reason=reason)`.
nb::object terminal_marker(nb::handle reason);
// The marker for disallowed empty content.
nb::object empty_content_marker();

enum class Kind { Safe, Terminal, TextBearing };
// Only the truth of `is_safe`, and whether `chunk` is the empty text, are read.
Kind classify(nb::handle item);
// An item's `chunk`.
nb::object chunk_of(nb::handle item);

[[noreturn]] void raise_validation(const char *message);
// `_StreamTerminated(terminal)`, raised.
[[noreturn]] void raise_terminated(nb::handle terminal);
bool is_terminated(const nb::python_error &error);
bool is_validation_error(const nb::python_error &error);

// The clean-up after a relay: close the stream that was read, then let the failure that ended the relay,
// if any, go on.
pyasync::VoidTask close_and_rethrow(nb::object stream, pyasync::Caught failure);

// A step on a class that callers may replace: whether the class still holds the original.
class Replaceable {
public:
    void init(nb::handle cls, const char *name);
    bool replaced();

private:
    PyTypeObject *type_ = nullptr;
    PyObject *attr_ = nullptr;      // interned name
    PyObject *original_ = nullptr;  // what the class held when it was made
    unsigned version_ = 0;          // the class's version tag when it last held the original
};

// ---------------------------------------------------------------------------------------------------------
// _ValidatedSource

struct ValidatedSource {
    nb::object source;    // the caller's iterator
    nb::object buffered;  // the look-ahead chunk, or unset
    bool any_chunk = false;
    bool closed = false;
    bool has_buffer = false;

    auto objects() const { return std::array{&source, &buffered}; }
};

extern pyhost::Global ValidatedSourceType;
bool is_validated_source(nb::handle obj);
ValidatedSource &validated(nb::handle obj);
nb::object make_validated_source(nb::handle chunks);

// `co_await read_input(input)`: the next chunk of a stage's input, nullopt at its end. A validated source
// is read as its `__anext__` reads it, but in the reader's own frame: the caller's iterator is awaited
// there, without a coroutine per chunk. Anything else is read through `pyasync::anext`.
class InputRead {
public:
    explicit InputRead(nb::handle input) noexcept : source_(input) {}
    InputRead(InputRead &&) noexcept = default;

    bool await_ready();
    template <class P> decltype(auto) await_suspend(std::coroutine_handle<P> h) { return inner_->await_suspend(h); }
    std::optional<nb::object> await_resume();

private:
    nb::handle source_;     // kept alive by the reader
    bool held_ = false;     // the look-ahead chunk is the answer
    bool checked_ = false;  // the answer needs no text test
    std::optional<pyasync::NextAwaiter> inner_;
};
inline InputRead read_input(nb::handle input) { return InputRead(input); }

// `await source.aclose()` of a validated source.
pyasync::VoidTask close_validated(nb::object source);
// `await source.peek()`.
pyasync::Task peek(nb::object source);

// ---------------------------------------------------------------------------------------------------------
// _StreamPipeline and its stages

struct Pipeline {
    nb::object manager;
    nb::object source;  // the validated source
    nb::object direction;
    nb::object engine_kwargs;

    auto objects() const { return std::array{&manager, &source, &direction, &engine_kwargs}; }
};

Pipeline &pipeline_of(nb::handle obj);
pyasync::AsyncGen pipeline_run(nb::object pipeline);
// A stream check of `manager` whose `_check_stream` is its class's own: the entry point and the
// pipeline's `run` in one frame.
pyasync::AsyncGen pipeline_check(nb::handle manager, nb::handle chunks, nb::handle engine_kwargs,
                                 nb::handle direction);

struct StrictSegmentStage {
    nb::object engines;
    nb::object max_bytes;
    nb::object max_chunks;
    nb::object kwargs;
    nb::object direction;
    nb::object pipeline;

    auto objects() const { return std::array{&engines, &max_bytes, &max_chunks, &kwargs, &direction, &pipeline}; }
};

struct IncrementalStage {
    nb::object streaming_engine;
    nb::object kwargs;
    nb::object direction;
    nb::object is_incremental;  // unset until the stage is marked

    auto objects() const { return std::array{&streaming_engine, &kwargs, &direction, &is_incremental}; }
};

extern pyhost::Global IncrementalStageType;
bool is_input(nb::handle direction);
// What a stage returns for a feed: the stage called with it.
nb::object call_stage(nb::handle stage, nb::handle feed);

// ---------------------------------------------------------------------------------------------------------
// _StageRunner

struct StageRunner {
    nb::object manager;
    nb::object stage;
    nb::object source;
    nb::object pending;                // collections.deque
    nb::object enforce_pending_limit;  // the stage's mark, or False
    bool terminal_emitted = false;

    auto objects() const { return std::array{&manager, &stage, &source, &pending, &enforce_pending_limit}; }
};

nb::object make_runner(nb::handle manager, nb::handle stage, nb::handle source);
// The runner's output, `runner.run()`.
nb::object runner_output(nb::handle runner);

// ---------------------------------------------------------------------------------------------------------
// Classes, in source order after GuardrailManager.

void define_validated_source(nb::module_ m);
void define_pipeline(nb::module_ m);
void define_runner(nb::module_ m);

}  // namespace vadrel_guardrail::guardrail_manager::stream
