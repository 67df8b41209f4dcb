// `_StreamPipeline`: one stream check of the manager: the engines that apply, the empty-content rule, the
// stages built from the engines and their chain, and the closing of the validated source however the
// stream ends. The manager's stream entry points make its pipelines.
#include "vadrel_guardrail/stream/pipeline.hpp"

#include <array>
#include <optional>

#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/constants.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"
#include "vadrel_guardrail/stream/internal.hpp"
#include "vadrel_guardrail/stream/items.hpp"
#include "vadrel_guardrail/stream/stage_runner.hpp"
#include "vadrel_guardrail/stream/stages.hpp"
#include "vadrel_guardrail/stream/validated_source.hpp"

namespace vadrel_guardrail::stream {

namespace {

struct Pipeline {
    nb::object manager;
    nb::object source;  // the validated source
    nb::object direction;
    nb::object engine_kwargs;
    nb::object chunks;  // of a pipeline an entry point made: the caller's chunks, until `run` starts

    auto objects() const { return std::array{&manager, &source, &direction, &engine_kwargs, &chunks}; }
};

Pipeline &pipeline_of(nb::handle obj) { return *nb::inst_ptr<Pipeline>(obj); }

// ---------------------------------------------------------------------------------------------------------
// Engines and the empty-content rule

nb::list _active_engines(nb::handle self) {
    const constants::Modes &modes = constants::modes;
    Pipeline &p = pipeline_of(self);
    nb::object engines = p.manager.attr("engines");
    nb::list kept;
    for (nb::handle engine : engines) {
        if (engine.attr("config").attr("guardrail_mode").equal(modes.disabled.get())) continue;
        nb::object mode = engine.attr("config").attr("guardrail_mode");
        if (mode.equal(modes.both.get()) || mode.equal(p.direction)) kept.append(engine);
    }
    return kept;
}

bool empty_content_safe(nb::handle self) { return pyhost::truth(pipeline_of(self).manager.attr("empty_content_safe")); }

pyasync::Task _has_source_content(nb::object self) {
    bool exhausted = false;
    try {
        co_await peek(pipeline_of(self).source);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_StopAsyncIteration)) throw;
        exhausted = true;
    }
    co_return !exhausted;
}

Step<&_has_source_content> has_source_content;

// ---------------------------------------------------------------------------------------------------------
// Stage building

bool is_streaming_engine(nb::handle engine) {
    return nb::isinstance(engine, base_engine::StreamingGuardrailEngine.get());
}

// `requires_full_stream`, false when the engine has none.
bool requires_full_stream(nb::handle engine) {
    nb::object declared = pyhost::optional_attr(engine, "requires_full_stream");
    return declared.is_valid() && pyhost::truth(declared);
}

nb::object _make_strict_segment_stage(nb::handle self, nb::handle engines) {
    Pipeline &p = pipeline_of(self);
    nb::object max_bytes = p.manager.attr("max_stream_buffer_bytes");
    nb::object max_chunks = p.manager.attr("max_stream_buffer_chunks");
    return make_strict_segment_stage(
        {nb::borrow(engines), max_bytes, max_chunks, p.engine_kwargs, p.direction, nb::borrow(self)});
}

nb::object _make_incremental_stage(nb::handle self, nb::handle engine) {
    Pipeline &p = pipeline_of(self);
    return make_incremental_stage({nb::borrow(engine), p.engine_kwargs, p.direction, nb::object()});
}

nb::list _build_stages(nb::handle self, nb::handle engines) {
    nb::list stages;
    nb::list strict_run;
    auto flush_strict_run = [&] {
        if (PyList_GET_SIZE(strict_run.ptr()) == 0) return;
        nb::object segment = pyhost::owned(PyList_GetSlice(strict_run.ptr(), 0, PY_SSIZE_T_MAX));
        stages.append(_make_strict_segment_stage(self, segment));
        pyhost::status(PyList_SetSlice(strict_run.ptr(), 0, PY_SSIZE_T_MAX, nullptr));
    };
    for (nb::handle engine : engines) {
        bool streaming = is_streaming_engine(engine);
        bool full_stream = requires_full_stream(engine);
        if (streaming && !full_stream) {
            flush_strict_run();
            nb::object stage = _make_incremental_stage(self, engine);
            nb::inst_ptr<IncrementalStage>(stage)->is_incremental = nb::bool_(true);
            stages.append(stage);
        } else {
            strict_run.append(engine);
        }
    }
    flush_strict_run();
    return stages;
}

Step<&_build_stages> build_stages;

// ---------------------------------------------------------------------------------------------------------
// Chaining

// What passes from one level to the next: the text of each safe item. A terminal marker becomes the
// termination signal; text-bearing unsafe items are dropped. However it stops, it closes the runner's
// output.
pyasync::AsyncGen string_feed(nb::object output) {
    auto failure = co_await pyasync::hold(pyasync::Caught());
    try {
        while (std::optional<nb::object> item = co_await pyasync::anext(output)) {
            nb::object chunk;
            Kind kind = classify(*item, chunk);
            if (kind == Kind::Safe) {
                co_yield std::move(chunk);
            } else if (kind == Kind::Terminal) {
                raise_terminated(*item);
            }
        }
    } catch (...) {
        failure->capture();
    }
    // Raised again in this frame, as the generator's own error: a StopIteration becomes its RuntimeError.
    co_await pyasync::aclose(output);
    failure->rethrow();
}

// The levels for `stages[index:]` over `input`: one runner per stage, each but the last followed by its string
// feed, each reading the string feed of the runner before it. Answers the last runner's output, or `input`
// itself when there is no stage.
nb::object levels(nb::handle manager, nb::handle input, nb::handle stages, Py_ssize_t index) {
    nb::object current = nb::borrow(input);
    const Py_ssize_t count = nb::len(stages);
    for (Py_ssize_t k = index; k < count; ++k) {
        nb::object stage = pyhost::owned(PySequence_GetItem(stages.ptr(), k));
        current = run_stage(manager, stage, current);
        if (k + 1 < count) current = string_feed(std::move(current)).named("string_feed").to_python();
    }
    return current;
}

// How the last level reads `tail`, what `levels` answered: the texts of the source itself when there is no
// stage; else the items of the last runner.
struct LastLevel {
    bool texts;
    // The last stage's safe items are made by the pipeline itself for this stream, and reach the last level
    // only through their runner: a strict segment's (its engines see the joined text, never an item). They
    // are then passed on as they are, being what the last level would make again of their text.
    bool own_items;
};

LastLevel last_level(nb::handle tail, nb::handle source, nb::handle stages) {
    if (tail.is(source)) return {true, false};
    return {false, is_strict_segment(pyhost::owned(PySequence_GetItem(stages.ptr(), nb::len(stages) - 1)))};
}

// The item the last level makes of what it read: a safe item for a text, or for a safe item of the last
// runner; nothing for a text-bearing unsafe item, which it drops. A terminal marker becomes the termination
// signal.
nb::object last_level_item(const LastLevel &level, nb::object read) {
    if (level.texts) return safe_item(read);
    nb::object chunk;
    const Kind kind = classify(read, chunk);
    if (kind == Kind::Terminal) raise_terminated(read);
    if (kind != Kind::Safe) return nb::object();
    // An item is passed on as it is only while the item class reads its text from the item itself.
    return level.own_items && schema::stream_chunk_unchanged() ? std::move(read) : safe_item(chunk);
}

// ---------------------------------------------------------------------------------------------------------
// The pipeline's run
//
// Every generator that a step reads it lets go, not closes: when the reading stops it has ended, or it
// waits at the item just taken, where closing would do nothing but end it.

// The levels for `stages[index:]` over `source`, and the last level. The pipeline's run reads them the same
// way in its own frame.
pyasync::AsyncGen _run_stages(nb::object self, nb::object source, nb::object stages, Py_ssize_t index) {
    stages = pyhost::snapshot(stages);  // the runners' set-up may run Python code, which may change the list
    auto tail = co_await pyasync::hold(levels(pipeline_of(self).manager, source, stages, index));
    const LastLevel level = last_level(*tail, source, stages);
    while (std::optional<nb::object> read = co_await read_input(*tail)) {
        nb::object item = last_level_item(level, std::move(*read));
        if (item.is_valid()) co_yield std::move(item);
    }
}

pyasync::AsyncGen _run_without_engines(nb::object self) {
    while (std::optional<nb::object> chunk = co_await read_input(pipeline_of(self).source)) {
        co_yield safe_item(*chunk);
    }
    if (!validated(pipeline_of(self).source).any_chunk && !empty_content_safe(self)) {
        co_yield empty_content_marker();
    }
}

nb::object run_without_engines(nb::handle self) {
    return _run_without_engines(nb::borrow(self))
        .named("_run_without_engines", "_StreamPipeline._run_without_engines")
        .to_python();
}

// A pipeline that an entry point made takes the caller's chunks at the first step, where the entry point
// would have made it.
void open(Pipeline &p) {
    if (!pyhost::truth(p.engine_kwargs)) p.engine_kwargs = nb::dict();
    p.source = make_validated_source(p.chunks);
    p.chunks = nb::object();
}

// The stream from the validated source to the caller. With `whole`, the pipeline's `run`: the engines that
// apply, the empty-content rule, and the validated source closed however the stream ends. Otherwise
// `_run_active_engines`: the chain of `active_engines` alone. The chain's termination signal ends the stream
// with its terminal marker, the chain let go before the marker passes; nothing else is caught.
pyasync::AsyncGen run_stream(nb::object self, nb::object active_engines, bool whole) {
    if (whole && pipeline_of(self).chunks.is_valid()) open(pipeline_of(self));
    auto failure = co_await pyasync::hold(pyasync::Caught());
    try {
        if (whole) {
            active_engines = _active_engines(self);
            if (PyList_GET_SIZE(active_engines.ptr()) == 0) {
                active_engines = nb::object();
                auto items = co_await pyasync::hold(run_without_engines(self));
                while (std::optional<nb::object> item = co_await pyasync::anext(*items)) {
                    co_yield std::move(*item);
                }
            } else if (!pyhost::truth(co_await has_source_content(self))) {
                active_engines = nb::object();
                if (!empty_content_safe(self)) co_yield empty_content_marker();
            }
        }
        if (active_engines.is_valid()) {
            // As `_run_stages` runs them, here in this frame.
            auto stages = co_await pyasync::hold(nb::object(pyhost::snapshot(build_stages(self, std::move(active_engines)))));
            const Pipeline &p = pipeline_of(self);
            auto tail = co_await pyasync::hold(levels(p.manager, p.source, *stages, 0));
            const LastLevel level = last_level(*tail, p.source, *stages);
            nb::object terminal;
            try {
                while (std::optional<nb::object> read = co_await read_input(*tail)) {
                    nb::object item = last_level_item(level, std::move(*read));
                    if (item.is_valid()) co_yield std::move(item);
                }
            } catch (nb::python_error &error) {
                if (!is_terminated(error)) throw;
                terminal = nb::getattr(error.value(), "terminal");
            }
            if (terminal.is_valid()) {
                tail = nb::object();  // the chain is let go before its terminal marker passes
                stages = nb::object();
                co_yield std::move(terminal);
            }
        }
    } catch (...) {
        failure->capture();
    }
    if (whole) co_await pyasync::aclose(pipeline_of(self).source);
    failure->rethrow();
}

pyasync::AsyncGen _run_active_engines(nb::object self, nb::object active_engines) {
    return run_stream(std::move(self), std::move(active_engines), false);
}

pyasync::AsyncGen run(nb::object self) { return run_stream(std::move(self), nb::object(), true); }

// ---------------------------------------------------------------------------------------------------------
// Entry points

// `GuardrailManager._check_stream`, which callers may replace.
Step<&_check_stream> check_stream;

// Passes on every item of the stream that replaced `_check_stream` made, then closes that stream however
// it ended.
pyasync::AsyncGen relay(nb::object self, nb::object chunks, nb::object engine_kwargs, nb::object direction) {
    nb::object made = check_stream(self, chunks, direction, pyhost::truth(engine_kwargs) ? engine_kwargs : nb::dict());
    auto stream = co_await pyasync::hold(std::move(made));
    auto failure = co_await pyasync::hold(pyasync::Caught());
    try {
        while (std::optional<nb::object> item = co_await pyasync::anext(*stream)) {
            co_yield std::move(*item);
        }
    } catch (...) {
        failure->capture();
    }
    co_await pyasync::aclose(*stream);
    failure->rethrow();
}

// The stream check for `direction`. While the manager's `_check_stream` is its class's own, the entry point
// is the pipeline's `run` itself.
pyasync::AsyncGen check(nb::object self, nb::object chunks, nb::object engine_kwargs, nb::handle direction) {
    if (check_stream.replaced(self)) return relay(self, chunks, engine_kwargs, nb::borrow(direction));
    return run(nb::cast(Pipeline{self, nb::object(), nb::borrow(direction), engine_kwargs, chunks}, nb::rv_policy::move));
}

void define_pipeline(nb::module_ m) {
    if (nb::type<Pipeline>().is_valid()) {  // a second load of the module: the classes stand
        nb::setattr(m, "_StreamPipeline", nb::type<Pipeline>());
        return;
    }
    nb::class_<Pipeline> pipeline(m, "_StreamPipeline", "Composes configured engines as a streaming guardrail pipeline.",
                                  nb::type_slots(collected_slots<Pipeline>));
    pipeline
        .def(
            "__init__",
            [](Pipeline *self, nb::handle manager, nb::handle chunks, nb::handle direction, nb::handle engine_kwargs) {
                new (self) Pipeline{nb::borrow(manager), make_validated_source(chunks), nb::borrow(direction),
                                    nb::borrow(engine_kwargs), nb::object()};
            },
            nb::arg("manager").none(), nb::arg("chunks").none(), nb::arg("direction").none(),
            nb::arg("engine_kwargs").none(), "Initialize the pipeline.")
        .def_prop_ro("_manager", field(&Pipeline::manager))
        .def_prop_ro("_source", field(&Pipeline::source))
        .def_prop_ro("_direction", field(&Pipeline::direction))
        .def_prop_ro("_engine_kwargs", field(&Pipeline::engine_kwargs))
        .def("run", method_of<Pipeline>(&run, "run", "_StreamPipeline.run"), "Execute the streaming pipeline.")
        .def("_active_engines", method_of<Pipeline>(&_active_engines), "Return engines enabled for the pipeline direction.")
        .def(
            "_run_without_engines",
            method_of<Pipeline>(&_run_without_engines, "_run_without_engines", "_StreamPipeline._run_without_engines"),
            "Pass through source chunks when no engines apply.")
        .def(
            "_has_source_content",
            method_of<Pipeline>(&_has_source_content, "_has_source_content", "_StreamPipeline._has_source_content"),
            "Check whether the validated source contains at least one chunk.")
        .def(
            "_run_active_engines",
            method_of<Pipeline>(&_run_active_engines, "_run_active_engines", "_StreamPipeline._run_active_engines"),
            nb::arg("active_engines").none(), "Run the composed stages for active engines.")
        .def_static("_empty_content_marker", &empty_content_marker,
                    "Create the terminal marker used for disallowed empty content.")
        .def("_build_stages", method_of<Pipeline>(&_build_stages), nb::arg("engines").none(),
             "Build ordered pipeline stages, coalescing adjacent strict engines.")
        .def("_make_strict_segment_stage", method_of<Pipeline>(&_make_strict_segment_stage), nb::arg("engines").none(),
             "Create a coalesced strict-segment stage.")
        .def("_make_incremental_stage", method_of<Pipeline>(&_make_incremental_stage), nb::arg("engine").none(),
             "Create a stage for a native incremental streaming engine.")
        .def(
            "_run_stages", method_of<Pipeline>(&_run_stages, "_run_stages", "_StreamPipeline._run_stages"),
            nb::arg("source").none(), nb::arg("stages").none(), nb::arg("index").none(),
            "Recursively compose stages, propagating terminal markers.");
    has_source_content.init(pipeline, "_has_source_content", "_StreamPipeline._has_source_content");
    build_stages.init(pipeline, "_build_stages", "_StreamPipeline._build_stages");
    define_stages(m);
}

}  // namespace

nb::object _check_stream(nb::handle manager, nb::handle chunks, nb::handle direction, nb::handle engine_kwargs) {
    nb::object pipeline = nb::cast(Pipeline{nb::borrow(manager), make_validated_source(chunks), nb::borrow(direction),
                                            nb::borrow(engine_kwargs), nb::object()},
                                   nb::rv_policy::move);
    return run(std::move(pipeline)).named("run", "_StreamPipeline.run").to_python();
}

pyasync::AsyncGen check_input_stream(nb::object manager, nb::object chunks, nb::object engine_kwargs) {
    return check(manager, chunks, engine_kwargs, constants::modes.input_only.get())
        .named("check_input_stream", "GuardrailManager.check_input_stream");
}

pyasync::AsyncGen check_output_stream(nb::object manager, nb::object chunks, nb::object engine_kwargs) {
    return check(manager, chunks, engine_kwargs, constants::modes.output_only.get())
        .named("check_output_stream", "GuardrailManager.check_output_stream");
}

void define_stream_classes(nb::module_ m) {
    define_items(m);
    define_validated_source(m);
    define_pipeline(m);
    define_stage_runner(m);
    check_stream.init(m.attr("GuardrailManager"), "_check_stream", "GuardrailManager._check_stream");
}

}  // namespace vadrel_guardrail::stream
