// The manager's stream road: the entry points, the validated source, the pipeline with its stages, the
// stage runner and the chaining of stages.
//
// Every generator here is a bridge generator, and C++ reads C++ directly: the validated source through a
// C++ reader, stage outputs, feeds and levels as bridge generators. Only the caller's iterator and the
// engines' own stream operations are read through Python's protocol.
#include <cstdint>
#include <optional>

#include <nanobind/nanobind.h>

#include "pyasync/pyasync.hpp"
#include "pyhost/errors.hpp"
#include "vadrel_guardrail/constants.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"
#include "vadrel_guardrail/guardrail_manager.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail::guardrail_manager {
namespace {

pyhost::Global module_;
pyhost::Global ValidatedSourceType;
pyhost::Global StreamPipeline;
pyhost::Global StageRunner;
pyhost::Global StrictSegmentStage;
pyhost::Global IncrementalStage;
pyhost::Global deque_type;
pyhost::Global deque_append;   // the method descriptors, called without a bound method per chunk
pyhost::Global deque_popleft;
pyhost::Global str_is_safe;    // interned attribute names
pyhost::Global str_chunk;

constexpr const char *kSafeWithoutSource =
    "Streaming engine yielded a safe chunk without a corresponding source chunk. The streaming protocol requires "
    "one-to-one output.";
constexpr const char *kUnacknowledged =
    "Streaming engine finished without acknowledging all source chunks. The streaming protocol requires one-to-one "
    "output.";

// ---------------------------------------------------------------------------------------------------------
// Small helpers


bool compare(nb::handle a, nb::handle b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

bool is_instance(nb::handle value, nb::handle types) {
    int result = PyObject_IsInstance(value.ptr(), types.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// `getattr(obj, name)` when present; unset when missing (other errors propagate, as hasattr lets them).
nb::object optional_attr(nb::handle obj, const char *name) {
    PyObject *out = nullptr;
    if (PyObject_GetOptionalAttrString(obj.ptr(), name, &out) < 0) throw nb::python_error();
    return out ? nb::steal(out) : nb::object();
}

nb::object or_none(const nb::object &value) { return value.is_valid() ? value : nb::none(); }

bool is_empty_text(nb::handle chunk) {
    if (PyUnicode_CheckExact(chunk.ptr())) return PyUnicode_GET_LENGTH(chunk.ptr()) == 0;
    return compare(chunk, nb::str(""), Py_EQ);
}

bool is_bridge_generator(nb::handle obj) { return pyasync::is_async_gen(obj); }

// The exception being handled as a Python error; C++ exceptions are translated as the bridge does.
nb::python_error current_error() { return pyasync::current_error(); }

[[noreturn]] void raise_validation(nb::handle message) {
    pyhost::raise(base_engine::GuardrailStreamValidationError(message));
}

[[noreturn]] void stop_async_iteration() {
    PyErr_SetNone(PyExc_StopAsyncIteration);
    throw nb::python_error();
}


nb::object safe_item(nb::handle chunk) { return schema::stream_chunk(chunk, true, nb::none(), false); }

nb::object empty_content_marker() {
    return schema::stream_chunk(nb::str(""), false, nb::str("Empty content not allowed"), true);
}

// An item's field. Records made here keep their fields in the instance dict, where the generic lookup
// finds them without the model's attribute hooks.
nb::object item_attr(nb::handle item, const pyhost::Global &name) {
    PyObject *value = Py_TYPE(item.ptr()) == reinterpret_cast<PyTypeObject *>(schema::GuardrailStreamChunk.get().ptr())
                          ? PyObject_GenericGetAttr(item.ptr(), name.get().ptr())
                          : PyObject_GetAttr(item.ptr(), name.get().ptr());
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

enum class Kind { Safe, Terminal, TextBearing };

// Only the truth of `is_safe` and whether `chunk` is the empty text are read.
Kind classify(nb::handle item) {
    if (pyhost::truth(item_attr(item, str_is_safe))) return Kind::Safe;
    return is_empty_text(item_attr(item, str_chunk)) ? Kind::Terminal : Kind::TextBearing;
}

// `count > cap` for a cap that is an integer of any size.
bool exceeds(Py_ssize_t count, nb::handle cap) {
    if (PyLong_CheckExact(cap.ptr())) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(cap.ptr(), &overflow);
        if (!overflow) return count > value;
    }
    return compare(nb::int_(count), cap, Py_GT);
}

// A runner's pending queue, a collections.deque, with the hot operations through the type's own method
// descriptors (anything else put in its place is used through its methods).
class Pending {
public:
    explicit Pending(nb::object queue)
        : queue_(std::move(queue)),
          native_(Py_TYPE(queue_.ptr()) == reinterpret_cast<PyTypeObject *>(deque_type.get().ptr())) {}

    void push(nb::handle chunk) {
        if (native_) {
            PyObject *args[] = {queue_.ptr(), chunk.ptr()};
            nb::steal(check(PyObject_Vectorcall(deque_append.get().ptr(), args, 2, nullptr)));
        } else {
            queue_.attr("append")(chunk);
        }
    }
    // The chunk taken off the queue is released here: nothing keeps an acknowledged chunk.
    void pop_front() {
        if (native_) {
            PyObject *args[] = {queue_.ptr()};
            nb::steal(check(PyObject_Vectorcall(deque_popleft.get().ptr(), args, 1, nullptr)));
        } else {
            queue_.attr("popleft")();
        }
    }
    Py_ssize_t size() const {
        Py_ssize_t n = PyObject_Size(queue_.ptr());
        if (n < 0) throw nb::python_error();
        return n;
    }
    nb::list snapshot() const { return nb::steal<nb::list>(check(PySequence_List(queue_.ptr()))); }
    void clear() { queue_.attr("clear")(); }

    // Acknowledges the oldest pending chunk with one safe item.
    void acknowledge() {
        if (size() == 0) raise_validation(nb::str(kSafeWithoutSource));
        pop_front();
    }

private:
    static PyObject *check(PyObject *result) {
        if (!result) throw nb::python_error();
        return result;
    }

    nb::object queue_;
    bool native_;
};

// ---------------------------------------------------------------------------------------------------------
// _ValidatedSource

struct ValidatedSource {
    nb::object source;    // the caller's iterator
    nb::object buffered;  // the look-ahead chunk, or None
    bool any_chunk = false;
    bool closed = false;
    bool has_buffer = false;
};

ValidatedSource &vs_of(nb::handle self) { return *nb::inst_ptr<ValidatedSource>(self); }

bool is_validated_source(nb::handle obj) {
    return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject *>(ValidatedSourceType.get().ptr());
}

nb::object accept_chunk(ValidatedSource &vs, nb::object item) {
    if (!PyUnicode_Check(item.ptr())) {
        raise_validation(nb::str("Stream chunks must be strings. Got: {}").format(item.type()));
    }
    vs.any_chunk = true;
    return item;
}

nb::object held_chunk(ValidatedSource &vs, const char *missing) {
    nb::object held = or_none(vs.buffered);
    if (held.is_none()) raise_validation(nb::str(missing));
    return held;
}

// The next item of an object that already is an async iterator (no second `__aiter__`): directly when it
// is a bridge generator.
pyasync::NextAwaiter next_of(nb::handle iter) { return pyasync::anext(iter); }

bool has_anext_slot(nb::handle obj) {
    PyAsyncMethods *am = Py_TYPE(obj.ptr())->tp_as_async;
    return am && am->am_anext;
}

// What C++ readers iterate in place of `__anext__` of a validated source: the same steps, one C++ frame
// per reader instead of a coroutine object per chunk. Each step reads the source's state afresh.
pyasync::AsyncGen validated_chunks(nb::object self) {
    ValidatedSource &vs = vs_of(self);
    auto source = co_await pyasync::hold(nb::object());
    for (;;) {
        if (vs.closed) co_return;
        if (vs.has_buffer) {
            vs.has_buffer = false;
            co_yield held_chunk(vs, "Buffered chunk missing when _has_buffer was set.");
            continue;
        }
        *source = or_none(vs.source);
        std::optional<nb::object> item;
        if (has_anext_slot(*source)) {
            item = co_await next_of(*source);
        } else {
            nb::object step = source->attr("__anext__")();
            bool ended = false;
            try {
                item = co_await std::move(step);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_StopAsyncIteration)) throw;
                ended = true;
            }
            if (ended) item.reset();
        }
        if (!item) co_return;
        co_yield accept_chunk(vs, std::move(*item));
    }
}

// A reader over a stage input: a validated source, a bridge generator or any async iterable.
pyasync::AsyncIter chunk_reader(nb::handle source) {
    if (is_validated_source(source)) {
        return pyasync::AsyncIter(validated_chunks(nb::borrow(source)));
    }
    return pyasync::AsyncIter(source);
}

pyasync::Task vs_next(nb::object self) {
    auto source = co_await pyasync::hold(or_none(vs_of(self).source));
    nb::object item = co_await source->attr("__anext__")();
    co_return accept_chunk(vs_of(self), std::move(item));
}

pyasync::Task vs_anext(nb::object self) {
    ValidatedSource &vs = vs_of(self);
    if (vs.closed) stop_async_iteration();
    if (vs.has_buffer) {
        vs.has_buffer = false;
        co_return held_chunk(vs, "Buffered chunk missing when _has_buffer was set.");
    }
    co_return co_await self.attr("_next")();
}

pyasync::Task vs_peek(nb::object self) {
    if (vs_of(self).closed) stop_async_iteration();
    if (vs_of(self).has_buffer) {
        co_return held_chunk(vs_of(self), "Buffered chunk missing when _has_buffer was set.");
    }
    nb::object chunk = co_await self.attr("_next")();
    ValidatedSource &vs = vs_of(self);
    vs.buffered = chunk;
    vs.has_buffer = true;
    co_return held_chunk(vs, "Buffered chunk missing after reading from source.");
}

void log_close_failure(const nb::python_error &failure) {
    nb::object error = nb::borrow(failure.value());
    pyhost::HandledException handled(error);
    module_.attr("logger").attr("debug")(nb::str("Error closing validated source: {}").format(error),
                                         nb::arg("exc_info") = true);
}

pyasync::VoidTask vs_aclose(nb::object self) {
    ValidatedSource &vs = vs_of(self);
    if (vs.closed) co_return;
    // Marked closed before anything is awaited: a close that comes meanwhile does nothing.
    vs.closed = true;
    vs.has_buffer = false;
    vs.buffered = nb::none();
    auto source = co_await pyasync::hold(or_none(vs.source));
    auto close = co_await pyasync::hold(optional_attr(*source, "aclose"));
    if (!close->is_valid()) co_return;
    std::optional<nb::python_error> failure;
    try {
        co_await (*close)();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        failure.emplace(std::move(e));
    }
    if (failure) log_close_failure(*failure);
}

int vs_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    ValidatedSource &vs = vs_of(self);
    Py_VISIT(vs.source.ptr());
    Py_VISIT(vs.buffered.ptr());
    return 0;
}

int vs_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        ValidatedSource &vs = vs_of(self);
        nb::object source = std::move(vs.source);
        nb::object buffered = std::move(vs.buffered);
    }
    return 0;
}

PyType_Slot vs_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(vs_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(vs_clear)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------------------
// Closing inputs

// `await source.aclose()` when the source has one: directly for a bridge generator.
pyasync::VoidTask close_input(nb::object source) {
    if (is_bridge_generator(source)) {
        co_await pyasync::aclose(source);
        co_return;
    }
    auto close = co_await pyasync::hold(optional_attr(source, "aclose"));
    if (close->is_valid()) co_await (*close)();
}

// ---------------------------------------------------------------------------------------------------------
// Entry points

pyasync::AsyncGen entry_stream(nb::object self, nb::object chunks, nb::object engine_kwargs, nb::object direction) {
    nb::object kwargs = pyhost::truth(engine_kwargs) ? engine_kwargs : nb::dict();
    auto stream = co_await pyasync::hold(self.attr("_check_stream")(chunks, direction, kwargs));
    std::optional<nb::python_error> failure;
    try {
        auto items = co_await pyasync::hold(pyasync::AsyncIter(*stream));
        while (std::optional<nb::object> item = co_await items->next()) {
            co_yield std::move(*item);
        }
    } catch (...) {
        failure.emplace(current_error());
    }
    // However the stream ended: the pipeline's own final step closes the caller's iterator.
    if (is_bridge_generator(*stream)) {
        co_await pyasync::aclose(*stream);
    } else {
        co_await stream->attr("aclose")();
    }
    if (failure) throw std::move(*failure);
}

// ---------------------------------------------------------------------------------------------------------
// _StreamPipeline

nb::object manager_of(nb::handle self) { return self.attr("_manager"); }

void init_pipeline(nb::handle self, nb::handle manager, nb::handle chunks, nb::handle direction,
                   nb::handle engine_kwargs) {
    nb::setattr(self, "_manager", manager);
    nb::setattr(self, "_source", ValidatedSourceType(chunks));
    nb::setattr(self, "_direction", direction);
    nb::setattr(self, "_engine_kwargs", engine_kwargs);
}

nb::list active_engines(nb::handle self) {
    const constants::Modes &modes = constants::modes;
    nb::object engines = manager_of(self).attr("engines");
    nb::object direction = self.attr("_direction");
    nb::list kept;
    for (nb::handle engine : engines) {
        if (!compare(engine.attr("config").attr("guardrail_mode"), modes.disabled.get(), Py_NE)) continue;
        nb::object mode = engine.attr("config").attr("guardrail_mode");
        if (compare(mode, modes.both.get(), Py_EQ) || compare(mode, direction, Py_EQ)) {
            kept.append(engine);
        }
    }
    return kept;
}

pyasync::AsyncGen run_without_engines(nb::object self) {
    auto source = co_await pyasync::hold(self.attr("_source"));
    auto chunks = co_await pyasync::hold(chunk_reader(*source));
    while (std::optional<nb::object> chunk = co_await chunks->next()) {
        co_yield safe_item(*chunk);
    }
    bool any_chunk =
        is_validated_source(*source) ? vs_of(*source).any_chunk : pyhost::truth(source->attr("any_chunk"));
    if (!any_chunk && !pyhost::truth(manager_of(self).attr("empty_content_safe"))) {
        co_yield empty_content_marker();
    }
}

pyasync::Task has_source_content(nb::object self) {
    bool exhausted = false;
    try {
        nb::object peek = self.attr("_source").attr("peek")();
        co_await std::move(peek);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_StopAsyncIteration)) throw;
        exhausted = true;
    }
    co_return !exhausted;
}

pyasync::AsyncGen run_active_engines(nb::object self, nb::object active_engines) {
    auto stages = co_await pyasync::hold(self.attr("_build_stages")(active_engines));
    auto chain = co_await pyasync::hold(self.attr("_run_stages")(self.attr("_source"), *stages, nb::int_(0)));
    // The chain is never closed here: when it signals or fails, its levels have closed what they read.
    nb::object terminal;
    try {
        auto items = co_await pyasync::hold(pyasync::AsyncIter(*chain));
        while (std::optional<nb::object> item = co_await items->next()) {
            co_yield std::move(*item);
        }
    } catch (nb::python_error &e) {
        if (!e.matches(StreamTerminated.get())) throw;
        terminal = nb::getattr(e.value(), "terminal");
    }
    if (terminal.is_valid()) co_yield terminal;
}

pyasync::AsyncGen pipeline_run(nb::object self) {
    std::optional<nb::python_error> failure;
    // What is being passed on is let go at the end, not closed: only the validated source is closed.
    auto items = co_await pyasync::hold(std::optional<pyasync::AsyncIter>());
    try {
        auto active = co_await pyasync::hold(self.attr("_active_engines")());
        if (!pyhost::truth(*active)) {
            items->emplace(self.attr("_run_without_engines")());
            while (std::optional<nb::object> item = co_await (*items)->next()) {
                co_yield std::move(*item);
            }
        } else if (!pyhost::truth(co_await self.attr("_has_source_content")())) {
            if (!pyhost::truth(manager_of(self).attr("empty_content_safe"))) {
                co_yield empty_content_marker();
            }
        } else {
            items->emplace(self.attr("_run_active_engines")(*active));
            while (std::optional<nb::object> item = co_await (*items)->next()) {
                co_yield std::move(*item);
            }
        }
    } catch (...) {
        failure.emplace(current_error());
    }
    nb::object close = self.attr("_source").attr("aclose")();
    co_await std::move(close);
    if (failure) throw std::move(*failure);
}

// Stage building.

nb::list build_stages(nb::handle self, nb::handle engines) {
    nb::list stages;
    nb::list strict_run;
    auto flush_strict_run = [&] {
        if (PyList_GET_SIZE(strict_run.ptr()) == 0) return;
        nb::object segment = nb::steal(PyList_GetSlice(strict_run.ptr(), 0, PY_SSIZE_T_MAX));
        if (!segment.is_valid()) throw nb::python_error();
        stages.append(self.attr("_make_strict_segment_stage")(segment));
        if (PyList_SetSlice(strict_run.ptr(), 0, PY_SSIZE_T_MAX, nullptr) < 0) throw nb::python_error();
    };
    for (nb::handle engine : engines) {
        bool is_streaming = is_instance(engine, base_engine::StreamingGuardrailEngine.get());
        nb::object declared = optional_attr(engine, "requires_full_stream");
        bool full_stream = declared.is_valid() && pyhost::truth(declared);
        if (is_streaming && !full_stream) {
            flush_strict_run();
            nb::object stage = self.attr("_make_incremental_stage")(engine);
            nb::setattr(stage, "is_incremental", nb::bool_(true));
            stages.append(stage);
        } else {
            strict_run.append(engine);
        }
    }
    flush_strict_run();
    return stages;
}

nb::object make_strict_segment_stage(nb::handle self, nb::handle engines) {
    nb::object manager = manager_of(self);
    nb::object max_bytes = manager.attr("max_stream_buffer_bytes");
    nb::object max_chunks = manager.attr("max_stream_buffer_chunks");
    nb::object kwargs = self.attr("_engine_kwargs");
    nb::object direction = self.attr("_direction");
    return StrictSegmentStage(engines, max_bytes, max_chunks, kwargs, direction, self);
}

nb::object make_incremental_stage(nb::handle self, nb::handle engine) {
    nb::object kwargs = self.attr("_engine_kwargs");
    nb::object direction = self.attr("_direction");
    return IncrementalStage(engine, kwargs, direction);
}

bool is_input(nb::handle direction) { return compare(direction, constants::modes.input_only.get(), Py_EQ); }

// One run of a strict segment: buffer everything, check the joined text with each engine in turn, then
// release the buffered chunks unchanged or one terminal marker.
pyasync::AsyncGen strict_segment(nb::object stage, nb::object source) {
    nb::object engines = stage.attr("engines");
    nb::object kwargs = stage.attr("kwargs");
    bool input = is_input(stage.attr("direction"));
    nb::object buffered =
        co_await base_engine::buffer_source(source, stage.attr("max_bytes"), stage.attr("max_chunks"));
    nb::object joined = base_engine::join_chunks(buffered);
    if (!joined.is_valid()) throw nb::python_error();
    if (PyUnicode_GET_LENGTH(joined.ptr()) == 0) {
        if (pyhost::truth(manager_of(stage.attr("pipeline")).attr("empty_content_safe"))) co_return;
        pyhost::raise(StreamTerminated(empty_content_marker()));
    }
    nb::object unsafe_result;
    for (nb::handle engine : engines) {
        nb::object check = engine.attr(input ? "check_input" : "check_output");
        nb::object result = co_await call_engine_check(check, joined, kwargs);
        if (!pyhost::truth(result.attr("is_safe"))) {
            unsafe_result = result;
            break;
        }
    }
    if (unsafe_result.is_valid()) {
        co_yield schema::stream_chunk(nb::str(""), false, unsafe_result.attr("reason"), true);
        co_return;
    }
    for (nb::handle chunk : buffered) {
        co_yield safe_item(chunk);
    }
}

void init_strict_segment_stage(nb::handle self, nb::handle engines, nb::handle max_bytes, nb::handle max_chunks,
                               nb::handle kwargs, nb::handle direction, nb::handle pipeline) {
    nb::setattr(self, "engines", engines);
    nb::setattr(self, "max_bytes", max_bytes);
    nb::setattr(self, "max_chunks", max_chunks);
    nb::setattr(self, "kwargs", kwargs);
    nb::setattr(self, "direction", direction);
    nb::setattr(self, "pipeline", pipeline);
}

void init_incremental_stage(nb::handle self, nb::handle engine, nb::handle kwargs, nb::handle direction) {
    nb::setattr(self, "streaming_engine", engine);
    nb::setattr(self, "kwargs", kwargs);
    nb::setattr(self, "direction", direction);
}

// The engine's own stream operation over `source`, called at once and returned as it is.
nb::object incremental_stage_call(nb::handle stage, nb::handle source) {
    nb::object engine = stage.attr("streaming_engine");
    nb::object kwargs = stage.attr("kwargs");
    nb::object method = engine.attr(is_input(stage.attr("direction")) ? "check_input_stream" : "check_output_stream");
    nb::dict keywords;
    if (PyDict_Merge(keywords.ptr(), kwargs.ptr(), 1) < 0) throw nb::python_error();
    nb::object args = nb::make_tuple(source);
    PyObject *result = PyObject_Call(method.ptr(), args.ptr(), keywords.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// Stage chaining.

// What passes from one level to the next: the text of each safe item. A terminal marker becomes the
// termination signal; text-bearing unsafe items are dropped. However it stops, it closes the runner's
// output first.
pyasync::AsyncGen string_feed(nb::object current_output) {
    auto items = co_await pyasync::hold(pyasync::AsyncIter(current_output));
    std::optional<nb::python_error> failure;
    try {
        while (std::optional<nb::object> item = co_await items->next()) {
            bool safe = pyhost::truth(item_attr(*item, str_is_safe));
            if (!safe && is_empty_text(item_attr(*item, str_chunk))) {
                pyhost::raise(StreamTerminated(*item));
            }
            if (safe) co_yield item_attr(*item, str_chunk);
        }
    } catch (...) {
        failure.emplace(current_error());
    }
    co_await items->aclose();
    if (failure) throw std::move(*failure);
}

pyasync::AsyncGen run_stages(nb::object self, nb::object source, nb::object stages, nb::object index) {
    nb::object count = nb::int_(nb::len(stages));
    if (compare(index, count, Py_GE)) {
        auto chunks = co_await pyasync::hold(chunk_reader(source));
        while (std::optional<nb::object> chunk = co_await chunks->next()) {
            co_yield safe_item(*chunk);
        }
        co_return;
    }
    auto items = co_await pyasync::hold(std::optional<pyasync::AsyncIter>());
    {
        nb::object stage = nb::steal(PyObject_GetItem(stages.ptr(), index.ptr()));
        if (!stage.is_valid()) throw nb::python_error();
        nb::object runner = StageRunner(nb::arg("manager") = manager_of(self), nb::arg("stage") = stage,
                                        nb::arg("source") = source);
        nb::object current_output = runner.attr("run")();
        nb::object feed = string_feed(current_output)
                              .named("string_feed", "_StreamPipeline._run_stages.<locals>.string_feed")
                              .to_python();
        nb::object next_index = nb::steal(PyNumber_Add(index.ptr(), nb::int_(1).ptr()));
        if (!next_index.is_valid()) throw nb::python_error();
        nb::object rest_output = self.attr("_run_stages")(feed, stages, next_index);
        items->emplace(rest_output);
    }
    std::optional<nb::python_error> failure;
    try {
        while (std::optional<nb::object> item = co_await (*items)->next()) {
            co_yield std::move(*item);
        }
    } catch (...) {
        failure.emplace(current_error());
    }
    co_await (*items)->aclose();
    if (failure) throw std::move(*failure);
}

// ---------------------------------------------------------------------------------------------------------
// _StageRunner

void init_runner(nb::handle self, nb::handle manager, nb::handle stage, nb::handle source) {
    nb::setattr(self, "_manager", manager);
    nb::setattr(self, "_stage", stage);
    nb::setattr(self, "_source", source);
    nb::setattr(self, "_pending", deque_type());
    nb::setattr(self, "_terminal_emitted", nb::bool_(false));
    nb::object mark = optional_attr(stage, "is_incremental");
    nb::setattr(self, "_enforce_pending_limit", mark.is_valid() ? mark : nb::bool_(false));
}

pyasync::VoidTask runner_close_source(nb::object self) { co_await close_input(self.attr("_source")); }

// The runner closes its input through its own operation, once per stream at most.
nb::object close_source_of(nb::handle runner) { return runner.attr("_close_source")(); }

pyasync::Task runner_process_item(nb::object self, nb::object item) {
    Kind kind = classify(item);
    if (kind == Kind::Terminal) {
        nb::setattr(self, "_terminal_emitted", nb::bool_(true));
        co_await close_source_of(self);
        co_return true;
    }
    if (kind == Kind::Safe) {
        Pending(self.attr("_pending")).acknowledge();
    }
    co_return false;
}

// The feed the stage reads: every chunk handed over is pending until acknowledged.
pyasync::AsyncGen runner_source_iter(nb::object self) {
    Pending pending(self.attr("_pending"));
    bool enforce = pyhost::truth(self.attr("_enforce_pending_limit"));
    nb::object manager = self.attr("_manager");
    auto chunks = co_await pyasync::hold(chunk_reader(nb::object(self.attr("_source"))));
    while (std::optional<nb::object> chunk = co_await chunks->next()) {
        pending.push(*chunk);
        if (enforce) {
            Py_ssize_t count = pending.size();
            if (exceeds(count, manager.attr("max_stream_buffer_chunks"))) {
                base_engine::raise_buffer_limit("chunks", manager.attr("max_stream_buffer_chunks"), nb::int_(count));
            }
        }
        co_yield std::move(*chunk);
    }
}

pyasync::AsyncGen runner_handle_error(nb::object self, nb::object error) {
    nb::object manager = manager_of(self);
    if (is_instance(error, BaseInvokerError.get()) || is_instance(error, manager.attr("raise_on_exceptions"))) {
        co_await close_source_of(self);
        pyhost::raise(error);
    }
    if (pyhost::truth(manager.attr("error_conservative"))) {
        co_await close_source_of(self);
        co_yield schema::stream_chunk(nb::str(""), false, nb::str("Error checking content: {}").format(error), true);
        co_return;
    }
    // Fail open: what the stage had not acknowledged, then the rest of the input, pass this stage unchecked.
    Pending pending(self.attr("_pending"));
    for (nb::handle chunk : pending.snapshot()) {
        co_yield safe_item(chunk);
    }
    pending.clear();
    std::optional<nb::python_error> failure;
    try {
        auto chunks = co_await pyasync::hold(chunk_reader(nb::object(self.attr("_source"))));
        while (std::optional<nb::object> chunk = co_await chunks->next()) {
            co_yield safe_item(*chunk);
        }
    } catch (...) {
        failure.emplace(current_error());
    }
    if (failure) {
        if (failure->matches(base_engine::GuardrailStreamValidationError.get().ptr())) {
            co_await close_source_of(self);
        }
        throw std::move(*failure);
    }
}

pyasync::AsyncGen runner_run(nb::object self) {
    std::optional<nb::python_error> failure;
    // The stage's iterator: let go at the end, never closed here.
    auto output = co_await pyasync::hold(nb::object());
    try {
        auto feed = co_await pyasync::hold(self.attr("_source_iter")());
        *output = self.attr("_stage")(*feed);
        auto items = co_await pyasync::hold(pyasync::AsyncIter(*output));
        Pending pending(self.attr("_pending"));
        while (std::optional<nb::object> item = co_await items->next()) {
            Kind kind = classify(*item);
            if (kind == Kind::Terminal) {
                nb::setattr(self, "_terminal_emitted", nb::bool_(true));
                co_await close_source_of(self);
                co_yield std::move(*item);
                co_return;
            }
            if (kind == Kind::Safe) pending.acknowledge();
            co_yield std::move(*item);
        }
    } catch (...) {
        failure.emplace(current_error());
    }
    if (failure) {
        if (failure->matches(StreamTerminated.get().ptr()) ||
            failure->matches(base_engine::GuardrailStreamValidationError.get().ptr())) {
            co_await close_source_of(self);
            throw std::move(*failure);
        }
        if (!failure->matches(PyExc_Exception)) throw std::move(*failure);
        auto items = co_await pyasync::hold(
            pyasync::AsyncIter(self.attr("_handle_error")(nb::borrow(failure->value()))));
        failure.reset();
        while (std::optional<nb::object> item = co_await items->next()) {
            co_yield std::move(*item);
        }
    }
    if (pyhost::truth(self.attr("_enforce_pending_limit")) && !pyhost::truth(self.attr("_terminal_emitted")) &&
        Pending(self.attr("_pending")).size() > 0) {
        co_await close_source_of(self);
        raise_validation(nb::str(kUnacknowledged));
    }
}

// ---------------------------------------------------------------------------------------------------------
// Classes

void define_validated_source(nb::module_ m) {
    if (nb::type<ValidatedSource>().is_valid()) {
        ValidatedSourceType.set(nb::type<ValidatedSource>());
        nb::setattr(m, "_ValidatedSource", ValidatedSourceType.get());
        return;
    }
    nb::class_<ValidatedSource> cls(m, "_ValidatedSource",
                                    "Wrap the source iterator and validate that each chunk is a string.",
                                    nb::type_slots(vs_slots));
    cls.def(
           "__init__",
           [](ValidatedSource *self, nb::handle source) {
               nb::object iterator = nb::getattr(source, "__aiter__")();
               new (self) ValidatedSource{std::move(iterator), nb::none()};
           },
           nb::arg("source").none(), "Initialize with the source iterable.")
        .def("__aiter__", [](nb::handle self) { return nb::borrow(self); },
             "Return this validated source as an asynchronous iterator.")
        .def("__anext__", [](nb::object self) { return vs_anext(self).named("__anext__", "_ValidatedSource.__anext__"); },
             "Get the next source chunk, validating it is a string.\n\n"
             "Raises GuardrailStreamValidationError when a source item is not text, and StopAsyncIteration when\n"
             "the source is exhausted.")
        .def("peek", [](nb::object self) { return vs_peek(self).named("peek", "_ValidatedSource.peek"); },
             "Return the next source chunk without consuming it.\n\n"
             "Raises GuardrailStreamValidationError when a source item is not text, and StopAsyncIteration when\n"
             "the source is exhausted.")
        .def("_next", [](nb::object self) { return vs_next(self).named("_next", "_ValidatedSource._next"); },
             "Read and validate the next source chunk.\n\n"
             "Raises GuardrailStreamValidationError when a source item is not text, and StopAsyncIteration when\n"
             "the source is exhausted.")
        .def("aclose", [](nb::object self) { return vs_aclose(self).named("aclose", "_ValidatedSource.aclose"); },
             "Close the underlying iterator when supported.")
        .def_prop_rw(
            "_source", [](ValidatedSource &vs) { return or_none(vs.source); },
            [](ValidatedSource &vs, nb::handle value) { vs.source = nb::borrow(value); },
            nb::for_setter(nb::arg("value").none()))
        .def_rw("any_chunk", &ValidatedSource::any_chunk, "Whether the source has yielded at least one chunk.")
        .def_rw("_closed", &ValidatedSource::closed)
        .def_prop_rw(
            "_buffered_chunk", [](ValidatedSource &vs) { return or_none(vs.buffered); },
            [](ValidatedSource &vs, nb::handle value) { vs.buffered = nb::borrow(value); },
            nb::for_setter(nb::arg("value").none()))
        .def_rw("_has_buffer", &ValidatedSource::has_buffer);
    ValidatedSourceType.set(cls);
}

void define_pipeline(nb::module_ m) {
    StreamPipeline.set(
        pyhost::ClassBuilder(m, "_StreamPipeline", "Composes configured engines as a streaming guardrail pipeline.")
            .method("__init__", &init_pipeline, nb::arg("manager").none(), nb::arg("chunks").none(),
                    nb::arg("direction").none(), nb::arg("engine_kwargs").none(), "Initialize the pipeline.")
            .method("run", &pipeline_run,
                "Execute the streaming pipeline.")
            .method("_active_engines", &active_engines, "Return engines enabled for the pipeline direction.")
            .method("_run_without_engines", &run_without_engines,
                "Pass through source chunks when no engines apply.")
            .method("_has_source_content", &has_source_content,
                "Check whether the validated source contains at least one chunk.")
            .method("_run_active_engines", &run_active_engines,
                nb::arg("active_engines").none(), "Run the composed stages for active engines.")
            .staticmethod("_empty_content_marker", &empty_content_marker,
                          "Create the terminal marker used for disallowed empty content.")
            .method("_build_stages", &build_stages, nb::arg("engines").none(),
                    "Build ordered pipeline stages, coalescing adjacent strict engines.")
            .method("_make_strict_segment_stage", &make_strict_segment_stage, nb::arg("engines").none(),
                    "Create a coalesced strict-segment stage.")
            .method("_make_incremental_stage", &make_incremental_stage, nb::arg("engine").none(),
                    "Create a stage for a native incremental streaming engine.")
            .method("_run_stages", &run_stages,
                nb::arg("source").none(), nb::arg("stages").none(), nb::arg("index").none(),
                "Recursively compose stages, propagating terminal markers.")
            .build());

    // The two kinds of stage are callables the pipeline makes; they are not part of the module's namespace.
    StrictSegmentStage.set(
        pyhost::ClassBuilder(m, "_StrictSegmentStage",
                             "A stage over a run of adjacent strict engines: buffer, check the joined text, release.")
            .method("__init__", &init_strict_segment_stage, nb::arg("engines").none(), nb::arg("max_bytes").none(),
                    nb::arg("max_chunks").none(), nb::arg("kwargs").none(), nb::arg("direction").none(),
                    nb::arg("pipeline").none())
            .method(
                "__call__",
                [](nb::object self, nb::object source) {
                    return strict_segment(self, source)
                        .named("stage", "_StreamPipeline._make_strict_segment_stage.<locals>.stage");
                },
                nb::arg("source").none(), "Check the whole of `source` with the segment's engines.")
            .build());
    IncrementalStage.set(
        pyhost::ClassBuilder(m, "_IncrementalStage", "A stage over one native streaming engine.")
            .method("__init__", &init_incremental_stage, nb::arg("streaming_engine").none(), nb::arg("kwargs").none(),
                    nb::arg("direction").none())
            .method("__call__", &incremental_stage_call, nb::arg("source").none(),
                    "Return the engine's own stream over `source`.")
            .build());
    nb::delattr(m, "_StrictSegmentStage");
    nb::delattr(m, "_IncrementalStage");
}

void define_runner(nb::module_ m) {
    StageRunner.set(
        pyhost::ClassBuilder(m, "_StageRunner",
                             "Wraps a single pipeline stage and applies manager error policy on failure.")
            .method("__init__", &init_runner, nb::arg("manager").none(), nb::arg("stage").none(),
                    nb::arg("source").none(), "Initialize the stage runner.")
            .method("run", &runner_run,
                "Run the stage and apply recovery policy on failure.")
            .method("_process_item", &runner_process_item,
                nb::arg("item").none(), "Validate a stage item and update acknowledgement state.")
            .method("_source_iter", &runner_source_iter,
                "Feed source chunks into the stage while recording consumption.")
            .method("_handle_error", &runner_handle_error,
                nb::arg("error").none(), "Apply manager error policy to a stage failure.")
            .method("_close_source", &runner_close_source,
                "Close the source iterator when it supports asynchronous cleanup.")
            .build());
}

}  // namespace

pyasync::AsyncGen check_input_stream(nb::object self, nb::object chunks, nb::object engine_kwargs) {
    return entry_stream(self, chunks, engine_kwargs, nb::borrow(constants::modes.input_only.get()))
        .named("check_input_stream", "GuardrailManager.check_input_stream");
}

pyasync::AsyncGen check_output_stream(nb::object self, nb::object chunks, nb::object engine_kwargs) {
    return entry_stream(self, chunks, engine_kwargs, nb::borrow(constants::modes.output_only.get()))
        .named("check_output_stream", "GuardrailManager.check_output_stream");
}

nb::object check_stream(nb::handle self, nb::handle chunks, nb::handle direction, nb::handle engine_kwargs) {
    nb::object pipeline = StreamPipeline(nb::arg("manager") = self, nb::arg("chunks") = chunks,
                                         nb::arg("direction") = direction, nb::arg("engine_kwargs") = engine_kwargs);
    return pipeline.attr("run")();
}

void define_stream_classes(nb::module_ m) {
    module_.set(m);
    nb::object collections = nb::module_::import_("collections");
    deque_type.set(collections.attr("deque"));
    deque_append.set(deque_type.attr("append"));
    deque_popleft.set(deque_type.attr("popleft"));
    str_is_safe.set(nb::steal(PyUnicode_InternFromString("is_safe")));
    str_chunk.set(nb::steal(PyUnicode_InternFromString("chunk")));
    define_validated_source(m);
    define_pipeline(m);
    define_runner(m);
}

}  // namespace vadrel_guardrail::guardrail_manager
