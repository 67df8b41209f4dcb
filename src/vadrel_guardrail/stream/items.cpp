// The items of the stream road and the signals that pass along it.
#include "vadrel_guardrail/stream/items.hpp"

#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"

namespace vadrel_guardrail::stream {

pyhost::Global StreamTerminated;

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

void define_items(nb::module_ m) {
    str_is_safe.set(nb::steal(PyUnicode_InternFromString("is_safe")));
    str_chunk.set(nb::steal(PyUnicode_InternFromString("chunk")));
    empty_text.set(nb::str(""));
    empty_content_reason.set(nb::str("Empty content not allowed"));

    nb::handle exception = PyExc_Exception;
    StreamTerminated.set(
        pyhost::ClassBuilder(m, "_StreamTerminated", "Signal that a pipeline stage has emitted a terminal unsafe marker.")
            .base(exception)
            .method(
                "__init__",
                [exception](nb::handle self, nb::handle terminal) {
                    nb::object reason = terminal.attr("reason");
                    nb::object message = (reason.is_none() || !nb::len(reason)) ? nb::str("Stream blocked") : reason;
                    exception.attr("__init__")(self, message);
                    nb::setattr(self, "terminal", terminal);
                },
                nb::arg("terminal"), "Initialize the stream termination signal.")
            .build());
}

}  // namespace vadrel_guardrail::stream
