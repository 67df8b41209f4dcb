// `_StageRunner`: runs one stage over its input: feeds it, holds every fed chunk as pending until a safe
// item acknowledges it, applies the stream error policy and closes its input at fixed moments.
#include "vadrel_guardrail/stream/stage_runner.hpp"

#include "pyasync/pyasync.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"
#include "vadrel_guardrail/stream/internal.hpp"
#include "vadrel_guardrail/stream/items.hpp"
#include "vadrel_guardrail/stream/stages.hpp"
#include "vadrel_guardrail/stream/validated_source.hpp"

namespace vadrel_guardrail::stream {

namespace {

pyhost::Global deque_type;
pyhost::Global BaseInvokerError;  // the manager module's
pyhost::Global str_max_chunks;    // "max_stream_buffer_chunks", interned: read for every chunk fed
pyhost::Global str_append;
pyhost::Global str_popleft;

constexpr const char *kSafeWithoutSource =
    "Streaming engine yielded a safe chunk without a corresponding source chunk. The streaming protocol requires "
    "one-to-one output.";
constexpr const char *kUnacknowledged =
    "Streaming engine finished without acknowledging all source chunks. The streaming protocol requires one-to-one "
    "output.";

StageRunner &runner_of(nb::handle obj) { return *nb::inst_ptr<StageRunner>(obj); }

// `count > cap`, as Python compares them.
bool exceeds(Py_ssize_t count, nb::handle cap) {
    if (PyLong_CheckExact(cap.ptr())) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(cap.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw nb::python_error();
        if (!overflow) return count > value;
        return overflow < 0;
    }
    return pyhost::status(PyObject_RichCompareBool(nb::int_(count).ptr(), cap.ptr(), Py_GT)) == 1;
}

// A runner's pending queue (a collections.deque, or what was put in its place), through its methods.
class Pending {
public:
    explicit Pending(nb::handle queue) : queue_(queue) {}

    void push(nb::handle chunk) { call(str_append, chunk); }
    // Acknowledges the oldest pending chunk, which is let go here: nothing keeps an acknowledged chunk.
    void acknowledge() {
        if (size() == 0) raise_validation(kSafeWithoutSource);
        call(str_popleft);
    }
    Py_ssize_t size() const {
        Py_ssize_t n = PyObject_Size(queue_.ptr());
        if (n < 0) throw nb::python_error();
        return n;
    }
    nb::list snapshot() const { return nb::borrow<nb::list>(pyhost::owned(PySequence_List(queue_.ptr()))); }
    void clear() { queue_.attr("clear")(); }

private:
    void call(const pyhost::Global &method, nb::handle arg = {}) {
        PyObject *args[] = {queue_.ptr(), arg.ptr()};
        const std::size_t count = arg.is_valid() ? 2 : 1;
        pyhost::owned(PyObject_VectorcallMethod(method.get().ptr(), args, count | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
    }

    nb::handle queue_;  // the runner's, which outlives this view
};

// ---------------------------------------------------------------------------------------------------------
// Steps

// Checks one item of the stage against the acknowledgement protocol; true for a terminal marker, which the
// caller follows by closing the input.
bool process_item(StageRunner &r, nb::handle item) {
    switch (classify(item)) {
        case Kind::Terminal:
            r.terminal_emitted = true;
            return true;
        case Kind::Safe:
            Pending(r.pending).acknowledge();
            return false;
        case Kind::TextBearing:
            return false;
    }
    return false;
}

// `_close_source`: `await source.aclose()` when the input has one.
pyasync::VoidTask _close_source(nb::object runner) { co_await pyasync::aclose(runner_of(runner).source); }

// `_close_source` as the runner reaches it: callers may replace it.
Step<&_close_source> close_step;

nb::object close_source(nb::handle runner) { return close_step(runner); }

// `_process_item`: the step the run takes for each item, then the close that a terminal marker asks for.
pyasync::Task _process_item(nb::object runner, nb::object item) {
    bool terminal = process_item(runner_of(runner), item);
    if (terminal) co_await close_source(runner);
    co_return terminal;
}

[[noreturn]] void raise_chunk_limit(Py_ssize_t count, nb::handle cap) {
    base_engine::raise_buffer_limit("chunks", cap, nb::int_(count));
}

// Records a chunk as pending; for an incremental stage, within the look-ahead cap, read from the manager as
// Python reads it.
void hand_over(const StageRunner &r, nb::handle chunk, bool enforce) {
    Pending pending(r.pending);
    pending.push(chunk);
    if (!enforce) return;
    Py_ssize_t count = pending.size();
    nb::object cap = pyhost::owned(PyObject_GetAttr(r.manager.ptr(), str_max_chunks.get().ptr()));
    if (exceeds(count, cap)) raise_chunk_limit(count, cap);
}

// The feed the stage reads: every chunk handed over is pending until acknowledged.
pyasync::AsyncGen _source_iter(nb::object runner) {
    const StageRunner &r = runner_of(runner);
    const bool enforce = pyhost::truth(r.enforce_pending_limit);
    while (std::optional<nb::object> chunk = co_await read_input(r.source)) {
        hand_over(r, *chunk, enforce);
        co_yield std::move(*chunk);
    }
}

nb::object error_reason(nb::handle error) { return nb::str("Error checking content: {}").format(error); }

pyasync::AsyncGen _handle_error(nb::object runner, nb::object error) {
    StageRunner &r = runner_of(runner);
    nb::object manager = r.manager;
    if (nb::isinstance(error, BaseInvokerError.get()) || nb::isinstance(error, manager.attr("raise_on_exceptions"))) {
        co_await close_source(runner);
        pyhost::raise(error);
    }
    if (pyhost::truth(manager.attr("error_conservative"))) {
        co_await close_source(runner);
        co_yield terminal_marker(error_reason(error));
        co_return;
    }
    // Fail open: what the stage had not acknowledged, then the rest of the input, pass this stage unchecked.
    for (nb::handle chunk : Pending(r.pending).snapshot()) {
        co_yield safe_item(chunk);
    }
    Pending(r.pending).clear();
    pyasync::Caught failure;
    try {
        while (std::optional<nb::object> chunk = co_await read_input(r.source)) {
            co_yield safe_item(*chunk);
        }
    } catch (...) {
        failure.capture();
    }
    if (failure && is_validation_error(*failure)) co_await close_and_rethrow<&close_source>(runner, std::move(failure));
    failure.rethrow();
}

// The stage called with a new feed of the runner, and read as `async for` reads: the iterator its items come from.
nb::object open_stage(nb::handle runner) {
    return pyasync::aiter(call_stage(
        runner_of(runner).stage,
        _source_iter(nb::borrow(runner)).named("_source_iter", "_StageRunner._source_iter").to_python()));
}

pyasync::AsyncGen run(nb::object runner) {
    pyasync::Caught failure;
    // The stage's iterator, let go at the end and never closed here; after a failure, the error policy's
    // items, which pass as they come: what the policy raises leaves the run unchanged.
    auto items = co_await pyasync::hold(nb::object());
    bool recovering = false;
    StageRunner &r = runner_of(runner);
    for (;;) {
        try {
            if (!items->is_valid()) items = open_stage(runner);
            while (std::optional<nb::object> item = co_await pyasync::anext(*items)) {
                // A terminal marker closes the input, passes, and ends the run.
                const bool terminal = !recovering && process_item(r, *item);
                if (terminal) co_await close_source(runner);
                co_yield std::move(*item);
                if (terminal) co_return;
            }
        } catch (...) {
            failure.capture();
        }
        // A failure stands when it is no `Exception`, or comes from the error policy's own items. The
        // termination signal and a validation error close the input and go on; any other applies the policy.
        if (!failure || recovering || !failure->matches(PyExc_Exception)) break;
        if (is_terminated(*failure) || is_validation_error(*failure)) {
            co_await close_and_rethrow<&close_source>(runner, std::move(failure));
        }
        items = _handle_error(runner, nb::borrow(failure->value()))
                    .named("_handle_error", "_StageRunner._handle_error")
                    .to_python();
        failure.reset();
        recovering = true;
    }
    failure.rethrow();
    if (pyhost::truth(r.enforce_pending_limit) && !r.terminal_emitted && Pending(r.pending).size() > 0) {
        co_await close_source(runner);
        raise_validation(kUnacknowledged);
    }
}

nb::object make_stage_runner(nb::handle manager, nb::handle stage, nb::handle source) {
    return nb::cast(StageRunner{nb::borrow(manager), nb::borrow(stage), nb::borrow(source), deque_type(),
                                incremental_mark(stage)},
                    nb::rv_policy::move);
}

}  // namespace

nb::object run_stage(nb::handle manager, nb::handle stage, nb::handle source) {
    return run(make_stage_runner(manager, stage, source)).named("run", "_StageRunner.run").to_python();
}

void define_stage_runner(nb::module_ m) {
    if (nb::type<StageRunner>().is_valid()) {  // a second load of the module: the class stands
        nb::setattr(m, "_StageRunner", nb::type<StageRunner>());
        return;
    }
    deque_type.set(nb::module_::import_("collections").attr("deque"));
    str_append.set(nb::steal(PyUnicode_InternFromString("append")));
    str_popleft.set(nb::steal(PyUnicode_InternFromString("popleft")));
    BaseInvokerError.set(m.attr("BaseInvokerError"));
    str_max_chunks.set(nb::steal(PyUnicode_InternFromString("max_stream_buffer_chunks")));

    nb::class_<StageRunner> cls(m, "_StageRunner",
                                "Wraps a single pipeline stage and applies manager error policy on failure.",
                                nb::type_slots(collected_slots<StageRunner>));
    cls.def(
           "__init__",
           [](StageRunner *self, nb::handle manager, nb::handle stage, nb::handle source) {
               new (self) StageRunner{nb::borrow(manager), nb::borrow(stage), nb::borrow(source), deque_type(),
                                      incremental_mark(stage)};
           },
           nb::arg("manager").none(), nb::arg("stage").none(), nb::arg("source").none(), "Initialize the stage runner.")
        .def_prop_ro("_manager", field(&StageRunner::manager))
        .def_prop_ro("_stage", field(&StageRunner::stage))
        .def_prop_ro("_source", field(&StageRunner::source))
        .def_prop_ro("_pending", field(&StageRunner::pending))
        .def_rw("_terminal_emitted", &StageRunner::terminal_emitted)
        .def_prop_ro("_enforce_pending_limit", field(&StageRunner::enforce_pending_limit))
        .def("run", method_of<StageRunner>(&run, "run", "_StageRunner.run"),
             "Run the stage and apply recovery policy on failure.")
        .def("_process_item", method_of<StageRunner>(&_process_item, "_process_item", "_StageRunner._process_item"),
             nb::arg("item").none(), "Validate a stage item and update acknowledgement state.")
        .def("_source_iter", method_of<StageRunner>(&_source_iter, "_source_iter", "_StageRunner._source_iter"),
             "Feed source chunks into the stage while recording consumption.")
        .def("_handle_error", method_of<StageRunner>(&_handle_error, "_handle_error", "_StageRunner._handle_error"),
             nb::arg("error").none(), "Apply manager error policy to a stage failure.")
        .def("_close_source", method_of<StageRunner>(&_close_source, "_close_source", "_StageRunner._close_source"),
             "Close the source iterator when it supports asynchronous cleanup.");
    close_step.init(cls, "_close_source", "_StageRunner._close_source");
}

}  // namespace vadrel_guardrail::stream
