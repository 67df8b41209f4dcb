// _StreamPipeline: one stream check of the manager: the engines that apply, the empty-content rule, the
// stages built from the engines (_StrictSegmentStage, _IncrementalStage) and their chain, and the closing
// of the validated source however the stream ends.
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/constants.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"
#include "vadrel_guardrail/guardrail_manager.hpp"
#include "vadrel_guardrail/guardrail_manager_stream.hpp"

namespace vadrel_guardrail::guardrail_manager::stream {

pyhost::Global IncrementalStageType;

namespace {

pyhost::Global StrictSegmentStageType;
Replaceable has_source_content_step;  // `_has_source_content`
Replaceable build_stages_step;        // `_build_stages`

template <class T> T &native(nb::handle obj) { return *nb::inst_ptr<T>(obj); }

nb::object manager_of(nb::handle pipeline) { return pipeline_of(pipeline).manager; }

// ---------------------------------------------------------------------------------------------------------
// Engines and the empty-content rule

nb::list active_engines(nb::handle self) {
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

bool empty_content_safe(nb::handle pipeline) { return pyhost::truth(manager_of(pipeline).attr("empty_content_safe")); }

pyasync::Task has_source_content(nb::object self) {
    bool exhausted = false;
    try {
        co_await peek(pipeline_of(self).source);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_StopAsyncIteration)) throw;
        exhausted = true;
    }
    co_return !exhausted;
}

// ---------------------------------------------------------------------------------------------------------
// Stages

bool is_streaming_engine(nb::handle engine) {
    return nb::isinstance(engine, base_engine::StreamingGuardrailEngine.get());
}

// `requires_full_stream`, false when the engine has none.
bool requires_full_stream(nb::handle engine) {
    nb::object declared = pyhost::optional_attr(engine, "requires_full_stream");
    return declared.is_valid() && pyhost::truth(declared);
}

nb::object make_strict_segment_stage(nb::handle self, nb::handle engines) {
    Pipeline &p = pipeline_of(self);
    nb::object max_bytes = p.manager.attr("max_stream_buffer_bytes");
    nb::object max_chunks = p.manager.attr("max_stream_buffer_chunks");
    return nb::cast(StrictSegmentStage{nb::borrow(engines), max_bytes, max_chunks, p.engine_kwargs, p.direction,
                                       nb::borrow(self)},
                    nb::rv_policy::move);
}

nb::object make_incremental_stage(nb::handle self, nb::handle engine) {
    Pipeline &p = pipeline_of(self);
    return nb::cast(IncrementalStage{nb::borrow(engine), p.engine_kwargs, p.direction, nb::object()},
                    nb::rv_policy::move);
}

nb::list build_stages(nb::handle self, nb::handle engines) {
    nb::list stages;
    nb::list strict_run;
    auto flush_strict_run = [&] {
        if (PyList_GET_SIZE(strict_run.ptr()) == 0) return;
        nb::object segment = pyhost::owned(PyList_GetSlice(strict_run.ptr(), 0, PY_SSIZE_T_MAX));
        stages.append(make_strict_segment_stage(self, segment));
        pyhost::status(PyList_SetSlice(strict_run.ptr(), 0, PY_SSIZE_T_MAX, nullptr));
    };
    for (nb::handle engine : engines) {
        bool streaming = is_streaming_engine(engine);
        bool full_stream = requires_full_stream(engine);
        if (streaming && !full_stream) {
            flush_strict_run();
            nb::object stage = make_incremental_stage(self, engine);
            native<IncrementalStage>(stage).is_incremental = nb::bool_(true);
            stages.append(stage);
        } else {
            strict_run.append(engine);
        }
    }
    flush_strict_run();
    return stages;
}

// One run of a strict segment: buffer everything, check the joined text with each engine in turn, then
// release the buffered chunks unchanged or one terminal marker.
pyasync::AsyncGen strict_segment(nb::object stage, nb::object source) {
    const StrictSegmentStage &s = native<StrictSegmentStage>(stage);
    // As `_buffer_source` buffers, in this frame.
    base_engine::StreamBuffer buffer(s.max_bytes, s.max_chunks);
    source = pyhost::owned(PyObject_GetAIter(source.ptr()));
    while (std::optional<nb::object> chunk = co_await pyasync::anext(source)) {
        buffer.add(*chunk);
    }
    const nb::list &buffered = buffer.chunks();
    nb::object joined = base_engine::join_chunks(buffered);
    if (PyUnicode_GET_LENGTH(joined.ptr()) == 0) {
        if (empty_content_safe(s.pipeline)) co_return;
        raise_terminated(empty_content_marker());
    }
    const char *operation = is_input(s.direction) ? "check_input" : "check_output";
    for (Py_ssize_t i = 0; i < nb::len(s.engines); ++i) {
        nb::object check = s.engines[i].attr(operation);
        nb::object result = co_await base_engine::call_with_content(check, joined, s.kwargs);
        if (!pyhost::truth(result.attr("is_safe"))) {
            co_yield terminal_marker(result.attr("reason"));
            co_return;
        }
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(buffered.ptr()); ++i) {
        co_yield safe_item(PyList_GET_ITEM(buffered.ptr(), i));
    }
}

nb::object strict_segment_output(nb::handle stage, nb::handle source) {
    return strict_segment(nb::borrow(stage), nb::borrow(source))
        .named("stage", "_StreamPipeline._make_strict_segment_stage.<locals>.stage")
        .to_python();
}

// `operation(source, **kwargs)`: an engine's stream operation, the source by position and the caller's
// keywords spread.
nb::object call_stream_operation(nb::handle operation, nb::handle source, nb::handle kwargs) {
    if (PyDict_CheckExact(kwargs.ptr()) && PyDict_GET_SIZE(kwargs.ptr()) == 0) {
        return pyhost::owned(PyObject_CallOneArg(operation.ptr(), source.ptr()));
    }
    nb::dict keywords;
    pyhost::status(PyDict_Merge(keywords.ptr(), kwargs.ptr(), 1));
    return pyhost::owned(PyObject_Call(operation.ptr(), nb::make_tuple(source).ptr(), keywords.ptr()));
}

// The engine's own stream operation over `source`, called at once and answered as it is.
nb::object incremental_output(nb::handle stage, nb::handle source) {
    const IncrementalStage &s = native<IncrementalStage>(stage);
    nb::object operation = s.streaming_engine.attr(is_input(s.direction) ? "check_input_stream" : "check_output_stream");
    return call_stream_operation(operation, source, s.kwargs);
}

// ---------------------------------------------------------------------------------------------------------
// Chaining

// What passes from one level to the next: the text of each safe item. A terminal marker becomes the
// termination signal; text-bearing unsafe items are dropped. However it stops, it closes the runner's
// output.
pyasync::AsyncGen string_feed(nb::object output) {
    pyasync::Caught failure;
    try {
        while (std::optional<nb::object> item = co_await pyasync::anext(output)) {
            Kind kind = classify(*item);
            if (kind == Kind::Terminal) raise_terminated(*item);
            if (kind == Kind::Safe) co_yield chunk_of(*item);
        }
    } catch (...) {
        failure.capture();
    }
    co_await close_and_rethrow(std::move(output), std::move(failure));
}

// The levels for `stages[index:]` over `input`: one runner per stage, each reading the string feed of the
// runner before it. Answers what the last level reads: the last runner's output, or `input` itself when
// no stage is left.
nb::object levels(nb::handle manager, nb::handle input, nb::handle stages, Py_ssize_t index, Py_ssize_t count) {
    nb::object current = nb::borrow(input);
    for (Py_ssize_t k = index; k < count; ++k) {
        nb::object stage = pyhost::owned(PySequence_GetItem(stages.ptr(), k));
        nb::object output = runner_output(make_runner(manager, stage, current));
        if (k + 1 == count) return output;
        current = string_feed(std::move(output))
                      .named("string_feed", "_StreamPipeline._run_stages.<locals>.string_feed")
                      .to_python();
    }
    return current;
}

// How a reading of the road starts: `run`, or one of the steps it is made of.
enum class Start {
    Check,           // a stream check whose manager has its class's own `_check_stream`: the entry point's
                     // first steps, which that would take at the first item, then `run` in the same frame
    Run,             // the engines that apply, then one of the two below or the empty-content rule;
                     // the validated source is closed at the end, however the stream ends
    WithoutEngines,  // `_run_without_engines`: every chunk of the source passes, then the empty-content rule
    ActiveEngines,   // `_run_active_engines`: stages built from the engines and chained; a terminal marker is
                     // the last item
    Stages,          // `_run_stages`: the chain over `stages[index:]`; a terminal marker leaves it as the signal
};

// What `run` awaits to learn whether the source holds a chunk: `_has_source_content`, or what replaced it.
nb::object looking_ahead(nb::handle self) {
    if (has_source_content_step.replaced()) return self.attr("_has_source_content")();
    return has_source_content(nb::borrow(self)).named("_has_source_content", "_StreamPipeline._has_source_content")
        .to_python();
}

// The levels a reading starts with (the stages built first when it starts from the engines); answers what
// the last level reads.
nb::object first_levels(nb::handle self, Start start, nb::handle input, nb::object stages, Py_ssize_t index) {
    if (start == Start::WithoutEngines) return nb::borrow(input);
    if (start == Start::ActiveEngines) {
        stages = build_stages_step.replaced() ? self.attr("_build_stages")(stages) : build_stages(self, stages);
    }
    return levels(manager_of(self), input, stages, index, nb::len(stages));
}

// The item the last level makes of what it read: a safe item for a text, or for what the last runner passed;
// nothing for what it drops. The last runner's terminal marker becomes the termination signal.
nb::object last_level_item(nb::handle read, bool runner_items) {
    if (!runner_items) return safe_item(read);
    Kind kind = classify(read);
    if (kind == Kind::Terminal) raise_terminated(read);
    return kind == Kind::Safe ? safe_item(chunk_of(read)) : nb::object();
}

// The keyword mapping and the validated source of a pipeline made for `Start::Check`; answers the source.
nb::object open_pipeline(nb::handle self, nb::handle chunks) {
    Pipeline &p = pipeline_of(self);
    if (!pyhost::truth(p.engine_kwargs)) p.engine_kwargs = nb::dict();
    p.source = make_validated_source(chunks);
    return p.source;
}

// The pipeline's road as the caller reads it. `run` and its steps share this one body, so that a stream
// holds one frame here whichever way it goes. `input` is what the first level reads (the caller's chunks
// for `Start::Check`), `stages` the engines to build stages from or the stages themselves, `index` the
// first stage to run.
//
// The last runner's output is let go, not closed: when the reading stops it has ended, or it waits at the
// item just taken, where closing would do nothing but end it.
pyasync::AsyncGen road(nb::object self, Start start, nb::object input, nb::object stages, Py_ssize_t index) {
    if (start == Start::Check) {
        input = open_pipeline(self, input);
        start = Start::Run;
    }
    const bool run = start == Start::Run;
    pyasync::Caught failure;
    try {
        if (run) {
            stages = active_engines(self);
            if (nb::len(stages) == 0) {
                start = Start::WithoutEngines;
            } else if (pyhost::truth(co_await looking_ahead(self))) {
                start = Start::ActiveEngines;
            } else if (!empty_content_safe(self)) {
                co_yield empty_content_marker();
            }
        }
        if (start != Start::Run) {
            auto tail = co_await pyasync::hold(first_levels(self, start, input, std::move(stages), index));
            const bool runner_items = !tail->is(input);
            while (std::optional<nb::object> read = co_await read_input(*tail)) {
                nb::object item = last_level_item(*read, runner_items);
                if (item.is_valid()) co_yield std::move(item);
            }
            if (start == Start::WithoutEngines && !validated(input).any_chunk && !empty_content_safe(self)) {
                co_yield empty_content_marker();
            }
        }
    } catch (...) {
        failure.capture();
    }
    if (failure && start == Start::ActiveEngines && is_terminated(*failure)) {
        nb::object terminal = nb::getattr(failure->value(), "terminal");
        failure.reset();
        try {
            co_yield terminal;
        } catch (...) {
            failure.capture();
        }
    }
    if (run) {
        co_await close_and_rethrow(input, std::move(failure));
    } else {
        failure.rethrow();
    }
}

pyasync::AsyncGen run_without_engines(nb::object self) {
    return road(self, Start::WithoutEngines, pipeline_of(self).source, nb::none(), 0);
}

pyasync::AsyncGen run_active_engines(nb::object self, nb::object engines) {
    return road(self, Start::ActiveEngines, pipeline_of(self).source, engines, 0);
}

pyasync::AsyncGen run_stages(nb::object self, nb::object source, nb::object stages, nb::object index) {
    return road(self, Start::Stages, source, stages, nb::cast<Py_ssize_t>(index));
}

}  // namespace

Pipeline &pipeline_of(nb::handle obj) { return native<Pipeline>(obj); }

bool is_input(nb::handle direction) { return direction.equal(constants::modes.input_only.get()); }

nb::object call_stage(nb::handle stage, nb::handle feed) {
    PyTypeObject *type = Py_TYPE(stage.ptr());
    if (type == reinterpret_cast<PyTypeObject *>(IncrementalStageType.get().ptr())) return incremental_output(stage, feed);
    if (type == reinterpret_cast<PyTypeObject *>(StrictSegmentStageType.get().ptr())) {
        return strict_segment_output(stage, feed);
    }
    return stage(feed);
}

pyasync::AsyncGen pipeline_run(nb::object self) {
    return road(self, Start::Run, pipeline_of(self).source, nb::none(), 0);
}

pyasync::AsyncGen pipeline_check(nb::handle manager, nb::handle chunks, nb::handle engine_kwargs, nb::handle direction) {
    nb::object pipeline = nb::cast(
        Pipeline{nb::borrow(manager), nb::object(), nb::borrow(direction), nb::borrow(engine_kwargs)},
        nb::rv_policy::move);
    return road(std::move(pipeline), Start::Check, nb::borrow(chunks), nb::none(), 0);
}

// ---------------------------------------------------------------------------------------------------------
// Classes

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
                                    nb::borrow(engine_kwargs)};
            },
            nb::arg("manager").none(), nb::arg("chunks").none(), nb::arg("direction").none(),
            nb::arg("engine_kwargs").none(), "Initialize the pipeline.")
        .def_prop_ro("_manager", field(&Pipeline::manager))
        .def_prop_ro("_source", field(&Pipeline::source))
        .def_prop_ro("_direction", field(&Pipeline::direction))
        .def_prop_ro("_engine_kwargs", field(&Pipeline::engine_kwargs))
        .def(
            "run", pyhost::named(&pipeline_run, "run", "_StreamPipeline.run"),
            "Execute the streaming pipeline.")
        .def("_active_engines", &active_engines, "Return engines enabled for the pipeline direction.")
        .def(
            "_run_without_engines",
            pyhost::named(&run_without_engines, "_run_without_engines", "_StreamPipeline._run_without_engines"),
            "Pass through source chunks when no engines apply.")
        .def(
            "_has_source_content",
            pyhost::named(&has_source_content, "_has_source_content", "_StreamPipeline._has_source_content"),
            "Check whether the validated source contains at least one chunk.")
        .def(
            "_run_active_engines",
            pyhost::named(&run_active_engines, "_run_active_engines", "_StreamPipeline._run_active_engines"),
            nb::arg("active_engines").none(), "Run the composed stages for active engines.")
        .def_static("_empty_content_marker", &empty_content_marker,
                    "Create the terminal marker used for disallowed empty content.")
        .def("_build_stages", &build_stages, nb::arg("engines").none(),
             "Build ordered pipeline stages, coalescing adjacent strict engines.")
        .def("_make_strict_segment_stage", &make_strict_segment_stage, nb::arg("engines").none(),
             "Create a coalesced strict-segment stage.")
        .def("_make_incremental_stage", &make_incremental_stage, nb::arg("engine").none(),
             "Create a stage for a native incremental streaming engine.")
        .def(
            "_run_stages",
            pyhost::named(&run_stages, "_run_stages", "_StreamPipeline._run_stages"),
            nb::arg("source").none(), nb::arg("stages").none(), nb::arg("index").none(),
            "Recursively compose stages, propagating terminal markers.");
    has_source_content_step.init(pipeline, "_has_source_content");
    build_stages_step.init(pipeline, "_build_stages");

    // The two kinds of stage are callables the pipeline makes; they are not part of the module's namespace.
    nb::class_<StrictSegmentStage> strict(
        m, "_StrictSegmentStage", "A stage over a run of adjacent strict engines: buffer, check the joined text, release.",
        nb::type_slots(collected_slots<StrictSegmentStage>));
    strict.def_prop_ro("engines", field(&StrictSegmentStage::engines))
        .def_prop_ro("max_bytes", field(&StrictSegmentStage::max_bytes))
        .def_prop_ro("max_chunks", field(&StrictSegmentStage::max_chunks))
        .def_prop_ro("kwargs", field(&StrictSegmentStage::kwargs))
        .def_prop_ro("direction", field(&StrictSegmentStage::direction))
        .def_prop_ro("pipeline", field(&StrictSegmentStage::pipeline))
        .def("__call__", &strict_segment_output, nb::arg("source").none(),
             "Check the whole of `source` with the segment's engines.");
    StrictSegmentStageType.set(strict);

    nb::class_<IncrementalStage> incremental(m, "_IncrementalStage", "A stage over one native streaming engine.",
                                             nb::type_slots(collected_slots<IncrementalStage>));
    incremental.def_prop_ro("streaming_engine", field(&IncrementalStage::streaming_engine))
        .def_prop_ro("kwargs", field(&IncrementalStage::kwargs))
        .def_prop_ro("direction", field(&IncrementalStage::direction))
        .def_prop_rw(
            "is_incremental",
            [](const IncrementalStage &s) {
                if (!s.is_incremental.is_valid()) throw nb::attribute_error("is_incremental");
                return s.is_incremental;
            },
            [](IncrementalStage &s, nb::handle value) { s.is_incremental = nb::borrow(value); },
            nb::for_setter(nb::arg("value").none()))
        .def("__call__", &incremental_output, nb::arg("source").none(), "Return the engine's own stream over `source`.");
    IncrementalStageType.set(incremental);
    nb::delattr(m, "_StrictSegmentStage");
    nb::delattr(m, "_IncrementalStage");
}

}  // namespace vadrel_guardrail::guardrail_manager::stream
