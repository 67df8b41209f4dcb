// The manager's stream road: its entry points, the items and signals every step shares, and the module's
// stream classes. The words the road uses are explained in guardrail_manager_stream.hpp.
#include "vadrel_guardrail/guardrail_manager_stream.hpp"

#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/constants.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"
#include "vadrel_guardrail/guardrail_manager.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail::guardrail_manager {

namespace stream {

// ---------------------------------------------------------------------------------------------------------
// Items and signals

namespace {
pyhost::Global str_is_safe;  // interned field names
pyhost::Global str_chunk;
pyhost::Global empty_text;
pyhost::Global empty_content_reason;

// An item's field. Records made by the road keep their fields in the instance dict, where the generic
// lookup finds them without the model's attribute hooks.
nb::object item_field(nb::handle item, const pyhost::Global &name) {
    return pyhost::owned(Py_TYPE(item.ptr()) == reinterpret_cast<PyTypeObject *>(schema::GuardrailStreamChunk.get().ptr())
                             ? PyObject_GenericGetAttr(item.ptr(), name.get().ptr())
                             : PyObject_GetAttr(item.ptr(), name.get().ptr()));
}

bool is_empty_text(nb::handle chunk) {
    if (PyUnicode_CheckExact(chunk.ptr())) return PyUnicode_GET_LENGTH(chunk.ptr()) == 0;
    return chunk.equal(empty_text.get());
}
}  // namespace

nb::object safe_item(nb::handle text) { return schema::stream_chunk(text, true, nb::none(), false); }

nb::object terminal_marker(nb::handle reason) { return schema::stream_chunk(empty_text.get(), false, reason, true); }

nb::object empty_content_marker() { return terminal_marker(empty_content_reason.get()); }

Kind classify(nb::handle item) {
    if (pyhost::truth(item_field(item, str_is_safe))) return Kind::Safe;
    return is_empty_text(item_field(item, str_chunk)) ? Kind::Terminal : Kind::TextBearing;
}

nb::object chunk_of(nb::handle item) { return item_field(item, str_chunk); }

void raise_validation(const char *message) {
    pyhost::raise(base_engine::GuardrailStreamValidationError(nb::str(message)));
}

void raise_terminated(nb::handle terminal) { pyhost::raise(StreamTerminated(terminal)); }

bool is_terminated(const nb::python_error &error) { return error.matches(StreamTerminated.get()); }

bool is_validation_error(const nb::python_error &error) {
    return error.matches(base_engine::GuardrailStreamValidationError.get());
}

pyasync::VoidTask close_and_rethrow(nb::object stream, pyasync::Caught failure) {
    co_await pyasync::aclose(stream);
    failure.rethrow();
}

// ---------------------------------------------------------------------------------------------------------
// Replaceable steps

void Replaceable::init(nb::handle cls, const char *name) {
    type_ = reinterpret_cast<PyTypeObject *>(cls.inc_ref().ptr());
    attr_ = PyUnicode_InternFromString(name);
    original_ = nb::getattr(cls, attr_).release().ptr();
    version_ = 0;
}

bool Replaceable::replaced() {
    // Any change to the class gives it a new version tag; while the tag stands, so does the answer.
    if (version_ != 0 && type_->tp_version_tag == version_) return false;
    nb::object current = pyhost::owned(PyObject_GetAttr(reinterpret_cast<PyObject *>(type_), attr_));
    if (!current.is(nb::handle(original_))) return true;
    version_ = type_->tp_version_tag;
    return false;
}

void init_items() {
    str_is_safe.set(nb::steal(PyUnicode_InternFromString("is_safe")));
    str_chunk.set(nb::steal(PyUnicode_InternFromString("chunk")));
    empty_text.set(nb::str(""));
    empty_content_reason.set(nb::str("Empty content not allowed"));
}

}  // namespace stream

// ---------------------------------------------------------------------------------------------------------
// Entry points

namespace {

using namespace stream;

// The manager's stream for `direction`, through `_check_stream` by name: callers may replace it.
nb::object open_stream(nb::handle self, nb::handle chunks, nb::handle engine_kwargs, nb::handle direction) {
    nb::object kwargs = pyhost::truth(engine_kwargs) ? nb::borrow(engine_kwargs) : nb::dict();
    return self.attr("_check_stream")(chunks, direction, kwargs);
}

// Passes on every item of the manager's stream for `direction`, then closes that stream however it ended.
pyasync::AsyncGen entry_stream(nb::object self, nb::object chunks, nb::object engine_kwargs, nb::object direction) {
    auto stream = co_await pyasync::hold(open_stream(self, chunks, engine_kwargs, direction));
    pyasync::Caught failure;
    try {
        while (std::optional<nb::object> item = co_await pyasync::anext(*stream)) {
            co_yield std::move(*item);
        }
    } catch (...) {
        failure.capture();
    }
    co_await close_and_rethrow(*stream, std::move(failure));
}

pyhost::Global own_check_stream;  // GuardrailManager._check_stream as the class has it

// The stream check for `direction`. While the manager's `_check_stream` is its class's own, the entry point
// and the pipeline's `run` share one frame; otherwise the entry point passes on what replaced it.
pyasync::AsyncGen stream_check(nb::object self, nb::object chunks, nb::object engine_kwargs, nb::handle direction) {
    nb::object check_stream = nb::getattr(self, "_check_stream", nb::none());
    if (nb::getattr(check_stream, "__func__", nb::none()).is(own_check_stream.get())) {
        return pipeline_check(self, chunks, engine_kwargs, direction);
    }
    return entry_stream(self, chunks, engine_kwargs, nb::borrow(direction));
}

}  // namespace

pyasync::AsyncGen check_input_stream(nb::object self, nb::object chunks, nb::object engine_kwargs) {
    return stream_check(self, chunks, engine_kwargs, constants::modes.input_only.get())
        .named("check_input_stream", "GuardrailManager.check_input_stream");
}

pyasync::AsyncGen check_output_stream(nb::object self, nb::object chunks, nb::object engine_kwargs) {
    return stream_check(self, chunks, engine_kwargs, constants::modes.output_only.get())
        .named("check_output_stream", "GuardrailManager.check_output_stream");
}

nb::object check_stream(nb::handle self, nb::handle chunks, nb::handle direction, nb::handle engine_kwargs) {
    nb::object pipeline = nb::cast(Pipeline{nb::borrow(self), make_validated_source(chunks), nb::borrow(direction),
                                            nb::borrow(engine_kwargs)},
                                   nb::rv_policy::move);
    return pipeline_run(pipeline).named("run", "_StreamPipeline.run").to_python();
}

void define_stream_classes(nb::module_ m) {
    init_items();
    own_check_stream.set(nb::getattr(GuardrailManager.get(), "_check_stream"));
    define_validated_source(m);
    define_pipeline(m);
    define_runner(m);
}

}  // namespace vadrel_guardrail::guardrail_manager
