// The two kinds of stage: a strict segment buffers everything, checks the joined text with each of its
// engines in turn, then releases the buffered chunks unchanged or one terminal marker; an incremental
// stage is its engine's own stream operation.
#include "vadrel_guardrail/stream/stages.hpp"

#include "pyasync/pyasync.hpp"
#include "pyhost/classes.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/constants.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"
#include "vadrel_guardrail/stream/internal.hpp"
#include "vadrel_guardrail/stream/items.hpp"

namespace vadrel_guardrail::stream {

namespace {

pyhost::Global StrictSegmentStageType;
pyhost::Global IncrementalStageType;

template <class T> T &native(nb::handle obj) { return *nb::inst_ptr<T>(obj); }

bool is_type(nb::handle obj, const pyhost::Global &type) {
    return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject *>(type.get().ptr());
}

// `_StrictSegmentStage.__call__`: one run of the segment over `source`.
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
        // The pipeline's manager, read at this moment.
        if (pyhost::truth(s.pipeline.attr("_manager").attr("empty_content_safe"))) co_return;
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
        .named("__call__", "_StrictSegmentStage.__call__")
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

// `_IncrementalStage.__call__`: the engine's own stream operation over `source`, called at once and
// answered as it is.
nb::object incremental_output(nb::handle stage, nb::handle source) {
    const IncrementalStage &s = native<IncrementalStage>(stage);
    nb::object operation = s.streaming_engine.attr(is_input(s.direction) ? "check_input_stream" : "check_output_stream");
    return call_stream_operation(operation, source, s.kwargs);
}

}  // namespace

nb::object make_strict_segment_stage(StrictSegmentStage stage) { return nb::cast(std::move(stage), nb::rv_policy::move); }

nb::object make_incremental_stage(IncrementalStage stage) { return nb::cast(std::move(stage), nb::rv_policy::move); }

bool is_input(nb::handle direction) { return direction.equal(constants::modes.input_only.get()); }

nb::object call_stage(nb::handle stage, nb::handle feed) {
    if (is_type(stage, IncrementalStageType)) return incremental_output(stage, feed);
    if (is_type(stage, StrictSegmentStageType)) return strict_segment_output(stage, feed);
    return stage(feed);
}

bool is_strict_segment(nb::handle stage) { return is_type(stage, StrictSegmentStageType); }

nb::object incremental_mark(nb::handle stage) {
    if (is_type(stage, IncrementalStageType)) {
        const nb::object &mark = native<IncrementalStage>(stage).is_incremental;
        return mark.is_valid() ? mark : nb::bool_(false);
    }
    nb::object mark = pyhost::optional_attr(stage, "is_incremental");
    return mark.is_valid() ? mark : nb::bool_(false);
}

void define_stages(nb::module_ m) {
    if (nb::type<StrictSegmentStage>().is_valid()) return;  // a second load of the module: the classes stand
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
        .def("__call__", method_of<StrictSegmentStage>(&strict_segment_output), nb::arg("source").none(),
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
                if (!s.is_incremental.is_valid()) pyhost::raise(PyExc_AttributeError, "is_incremental");
                return s.is_incremental;
            },
            [](IncrementalStage &s, nb::handle value) { s.is_incremental = nb::borrow(value); },
            nb::for_setter(nb::arg("value").none()))
        .def("__call__", method_of<IncrementalStage>(&incremental_output), nb::arg("source").none(), "Return the engine's own stream over `source`.");
    IncrementalStageType.set(incremental);
    nb::delattr(m, "_StrictSegmentStage");
    nb::delattr(m, "_IncrementalStage");
}

}  // namespace vadrel_guardrail::stream
