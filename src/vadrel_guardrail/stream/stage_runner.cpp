// `_StageRunner`: runs one stage over its input: feeds it, holds every fed chunk as pending until a safe
// item acknowledges it, applies the stream error policy and closes its input at fixed moments.
#include "vadrel_guardrail/stream/stage_runner.hpp"

#include "pyasync/pyasync.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/plain_reads.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"
#include "vadrel_guardrail/stream/internal.hpp"
#include "vadrel_guardrail/stream/items.hpp"
#include "vadrel_guardrail/stream/stages.hpp"
#include "vadrel_guardrail/stream/validated_source.hpp"

namespace vadrel_guardrail::stream {

namespace {

pyhost::Global deque_type;
// The C functions behind deque.append and deque.popleft, called as their method descriptors would call
// them: no bound method and no argument checks per chunk.
PyCFunction deque_append = nullptr;   // METH_O
PyCFunction deque_popleft = nullptr;  // METH_NOARGS
pyhost::Global BaseInvokerError;  // the manager module's
pyhost::Global str_max_chunks;    // "max_stream_buffer_chunks", interned: read for every chunk fed

constexpr const char *kSafeWithoutSource =
    "Streaming engine yielded a safe chunk without a corresponding source chunk. The streaming protocol requires "
    "one-to-one output.";
constexpr const char *kUnacknowledged =
    "Streaming engine finished without acknowledging all source chunks. The streaming protocol requires one-to-one "
    "output.";

// The C function of a builtin method descriptor that takes its arguments as `flags` says.
PyCFunction method_function(nb::handle descriptor, int flags) {
    if (!PyObject_TypeCheck(descriptor.ptr(), &PyMethodDescr_Type)) pyhost::raise(PyExc_TypeError, "not a builtin method");
    PyMethodDef *def = reinterpret_cast<PyMethodDescrObject *>(descriptor.ptr())->d_method;
    if ((def->ml_flags & ~METH_COEXIST) != flags) pyhost::raise(PyExc_TypeError, "unexpected calling convention");
    return def->ml_meth;
}

StageRunner &runner_of(nb::handle obj) { return *nb::inst_ptr<StageRunner>(obj); }

// `count > cap` for a cap that is not a small int.
[[gnu::cold, gnu::noinline]] bool exceeds_large(Py_ssize_t count, nb::handle cap) {
    if (PyLong_CheckExact(cap.ptr())) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(cap.ptr(), &overflow);
        if (!overflow && !(value == -1 && PyErr_Occurred())) return count > value;
        PyErr_Clear();
    }
    return pyhost::status(PyObject_RichCompareBool(nb::int_(count).ptr(), cap.ptr(), Py_GT)) == 1;
}

// `count > cap` for a cap that is an integer of any size.
inline bool exceeds(Py_ssize_t count, nb::handle cap) {
    auto *value = reinterpret_cast<PyLongObject *>(cap.ptr());
    if (PyLong_CheckExact(cap.ptr()) && PyUnstable_Long_IsCompact(value)) [[likely]] {
        return count > PyUnstable_Long_CompactValue(value);
    }
    return exceeds_large(count, cap);
}

// A runner's pending queue, a collections.deque, with the hot operations through the type's own method
// descriptors (anything else put in its place is used through its methods).
class Pending {
public:
    explicit Pending(nb::handle queue)
        : queue_(queue), native_(Py_TYPE(queue.ptr()) == reinterpret_cast<PyTypeObject *>(deque_type.get().ptr())) {}

    void push(nb::handle chunk) {
        if (!native_) [[unlikely]] return call(queue_, "append", chunk);
        pyhost::owned(deque_append(queue_.ptr(), chunk.ptr()));
    }
    // Acknowledges the oldest pending chunk, which is let go here: nothing keeps an acknowledged chunk.
    void acknowledge() {
        if (size() == 0) [[unlikely]] raise_validation(kSafeWithoutSource);
        if (!native_) [[unlikely]] return call(queue_, "popleft");
        pyhost::owned(deque_popleft(queue_.ptr(), nullptr));
    }
    Py_ssize_t size() const {
        if (native_) [[likely]] return Py_SIZE(queue_.ptr());  // a deque keeps its length in its size field
        return generic_size(queue_);
    }
    nb::list snapshot() const { return nb::borrow<nb::list>(pyhost::owned(PySequence_List(queue_.ptr()))); }
    void clear() { queue_.attr("clear")(); }

private:
    // What stands in for a deque, through its methods.
    [[gnu::cold, gnu::noinline]] static void call(nb::handle queue, const char *method, nb::handle arg = {}) {
        if (arg.is_valid()) {
            queue.attr(method)(arg);
        } else {
            queue.attr(method)();
        }
    }
    [[gnu::cold, gnu::noinline]] static Py_ssize_t generic_size(nb::handle queue) {
        Py_ssize_t n = PyObject_Size(queue.ptr());
        if (n < 0) throw nb::python_error();
        return n;
    }

    nb::handle queue_;  // the runner's, which outlives this view
    bool native_;
};

// ---------------------------------------------------------------------------------------------------------
// Steps

// Checks one item of the stage, of kind `kind`, against the acknowledgement protocol; true for a terminal
// marker, which the caller follows by closing the input.
[[gnu::hot]] bool process_kind(StageRunner &r, Kind kind) {
    switch (kind) {
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

bool process_item(StageRunner &r, nb::handle item) { return process_kind(r, classify(item)); }

// `_close_source`: `await source.aclose()` when the input has one.
pyasync::VoidTask _close_source(nb::object runner) { co_await pyasync::aclose(runner_of(runner).source); }

// `_close_source` as the runner reaches it: callers may replace it.
Step<&_close_source> close_step;

// `_process_item`: the step the run takes for each item, then the close that a terminal marker asks for.
pyasync::Task _process_item(nb::object runner, nb::object item) {
    bool terminal = process_item(runner_of(runner), item);
    if (terminal) co_await close_source(runner);
    co_return terminal;
}

[[gnu::cold, gnu::noinline, noreturn]] void raise_chunk_limit(const StageRunner &r, Py_ssize_t count) {
    base_engine::raise_buffer_limit("chunks", r.manager.attr("max_stream_buffer_chunks"), nb::int_(count));
}

// Where a manager's dict held the cap when it was last looked up: the index of its entry, which stays
// while the entry does and the dict is not rebuilt. Negative once the name was found under a key that is
// not the interned name itself, which a position can then not confirm.
Py_ssize_t cap_entry = 0;

[[gnu::cold, gnu::noinline]] void find_cap_entry(PyObject *dict, PyObject *name) {
    PyObject *key, *value;
    for (Py_ssize_t pos = 0, at = 0; PyDict_Next(dict, &pos, &key, &value); at = pos) {
        if (key == name) {
            cap_entry = at;
            return;
        }
    }
    cap_entry = -1;
}

// `manager.max_stream_buffer_chunks`, read as the generic lookup reads it, for every chunk fed: straight from
// the instance dict while the manager's class leaves that lookup nothing else to find first; mostly at the
// entry that held it last, where the interned name itself as the key confirms it with no hashing.
[[gnu::hot]] nb::object chunk_cap(nb::handle manager) {
    static auto *plain = new pyhost::PlainClasses({}, {str_max_chunks.get()});
    PyObject *name = str_max_chunks.get().ptr();
    if (plain->holds(Py_TYPE(manager.ptr()))) [[likely]] {
        PyObject **dict = _PyObject_GetDictPtr(manager.ptr());
        if (dict && *dict) [[likely]] {
            PyObject *key, *value = nullptr;
            Py_ssize_t pos = cap_entry;
            if (pos >= 0 && PyDict_Next(*dict, &pos, &key, &value) && key == name) [[likely]] return nb::borrow(value);
            if (pyhost::status(PyDict_GetItemRef(*dict, name, &value)) == 1) {
                if (cap_entry >= 0) find_cap_entry(*dict, name);
                return nb::steal(value);
            }
        }
    }
    return pyhost::owned(PyObject_GetAttr(manager.ptr(), name));
}

// Records a chunk as pending; for an incremental stage, within the look-ahead cap.
[[gnu::hot]] void hand_over(const StageRunner &r, nb::handle chunk, bool enforce) {
    Pending pending(r.pending);
    pending.push(chunk);
    if (!enforce) return;
    Py_ssize_t count = pending.size();
    if (exceeds(count, chunk_cap(r.manager))) [[unlikely]] raise_chunk_limit(r, count);
}

// The feed the stage reads: every chunk handed over is pending until acknowledged.
[[gnu::hot]] pyasync::AsyncGen _source_iter(nb::object runner) {
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

pyasync::AsyncGen run(nb::object runner) {
    pyasync::Caught failure;
    // The stage's iterator, let go at the end and never closed here; after a failure, the error policy's
    // items, which pass as they come: what the policy raises leaves the run unchanged.
    auto items = co_await pyasync::hold(nb::object());
    bool recovering = false;
    StageRunner &r = runner_of(runner);
    for (;;) {
        try {
            if (!items->is_valid()) [[unlikely]] items = open_stage(runner);
            while (std::optional<nb::object> item = co_await pyasync::anext(*items)) {
                // A terminal marker closes the input, passes, and ends the run.
                const bool terminal = !recovering && process_item(r, *item);
                if (terminal) [[unlikely]] co_await close_source(runner);
                co_yield std::move(*item);
                if (terminal) [[unlikely]] co_return;
            }
        } catch (...) {
            failure.capture();
        }
        if (!failure) [[likely]] break;
        const Failed failed = after_failure(failure, recovering);
        if (failed == Failed::Stands) break;
        if (failed == Failed::CloseAndRaise) co_await close_after<&close_source>(runner, failure);
        items = recovery(runner, failure);
        recovering = true;
    }
    failure.rethrow();
    if (left_unacknowledged(runner)) [[unlikely]] {
        co_await close_source(runner);
        raise_unacknowledged();
    }
}

}  // namespace

// The run's steps off a chunk's way, out of its body: what runs per chunk stays in a few cache lines.

nb::object make_stage_runner(nb::handle manager, nb::handle stage, nb::handle source) {
    return nb::cast(StageRunner{nb::borrow(manager), nb::borrow(stage), nb::borrow(source), deque_type(),
                                incremental_mark(stage)},
                    nb::rv_policy::move);
}

[[gnu::noinline]] nb::object open_stage(nb::handle runner) {
    return pyasync::aiter(call_stage(
        runner_of(runner).stage,
        _source_iter(nb::borrow(runner)).named("_source_iter", "_StageRunner._source_iter").to_python()));
}

[[gnu::hot]] bool process_kind(nb::handle runner, Kind kind) { return process_kind(runner_of(runner), kind); }

[[gnu::noinline]] nb::object close_source(nb::handle runner) { return close_step(runner); }

Failed after_failure(pyasync::Caught &failure, bool recovering) {
    if (recovering || !failure->matches(PyExc_Exception)) return Failed::Stands;
    if (is_terminated(*failure) || is_validation_error(*failure)) return Failed::CloseAndRaise;
    return Failed::Recover;
}

nb::object recovery(nb::handle runner, pyasync::Caught &failure) {
    nb::object items = _handle_error(nb::borrow(runner), nb::borrow(failure->value()))
                           .named("_handle_error", "_StageRunner._handle_error")
                           .to_python();
    failure.reset();
    return items;
}

bool left_unacknowledged(nb::handle runner) {
    const StageRunner &r = runner_of(runner);
    return pyhost::truth(r.enforce_pending_limit) && !r.terminal_emitted && Pending(r.pending).size() > 0;
}

void raise_unacknowledged() { raise_validation(kUnacknowledged); }

nb::object run_stage(nb::handle manager, nb::handle stage, nb::handle source) {
    return run(make_stage_runner(manager, stage, source)).named("run", "_StageRunner.run").to_python();
}

void define_stage_runner(nb::module_ m) {
    if (nb::type<StageRunner>().is_valid()) {  // a second load of the module: the class stands
        nb::setattr(m, "_StageRunner", nb::type<StageRunner>());
        return;
    }
    nb::object collections = nb::module_::import_("collections");
    deque_type.set(collections.attr("deque"));
    deque_append = method_function(deque_type.attr("append"), METH_O);
    deque_popleft = method_function(deque_type.attr("popleft"), METH_NOARGS);
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
        .def(
            "run", pyhost::named(&run, "run", "_StageRunner.run"),
            "Run the stage and apply recovery policy on failure.")
        .def(
            "_process_item",
            pyhost::named(&_process_item, "_process_item", "_StageRunner._process_item"),
            nb::arg("item").none(), "Validate a stage item and update acknowledgement state.")
        .def(
            "_source_iter",
            pyhost::named(&_source_iter, "_source_iter", "_StageRunner._source_iter"),
            "Feed source chunks into the stage while recording consumption.")
        .def(
            "_handle_error",
            pyhost::named(&_handle_error, "_handle_error", "_StageRunner._handle_error"),
            nb::arg("error").none(), "Apply manager error policy to a stage failure.")
        .def(
            "_close_source",
            pyhost::named(&_close_source, "_close_source", "_StageRunner._close_source"),
            "Close the source iterator when it supports asynchronous cleanup.");
    close_step.init(cls, "_close_source", "_StageRunner._close_source");
}

}  // namespace vadrel_guardrail::stream
