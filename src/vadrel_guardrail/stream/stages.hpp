// The two kinds of stage the pipeline makes, `_StrictSegmentStage` and `_IncrementalStage`: callables
// over a feed that answer with an async iterator of stream items.
#pragma once

#include <array>

#include <nanobind/nanobind.h>

namespace vadrel_guardrail::stream {
namespace nb = nanobind;

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

nb::object make_strict_segment_stage(StrictSegmentStage stage);
nb::object make_incremental_stage(IncrementalStage stage);

bool is_input(nb::handle direction);
// What a stage returns for a feed: the stage called with it.
nb::object call_stage(nb::handle stage, nb::handle feed);
// Whether `stage` is a strict segment (of that class exactly).
bool is_strict_segment(nb::handle stage);
// `getattr(stage, "is_incremental", False)`.
nb::object incremental_mark(nb::handle stage);

// The two stage classes, made with module `m` but not left in its namespace.
void define_stages(nb::module_ m);

}  // namespace vadrel_guardrail::stream
