// The items of the native stream pipeline and the signals that pass along it.
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

// A field of a stream item. An exact instance of the stream-chunk class, a pydantic model, keeps its fields in
// its instance dict, and while the class is unchanged nothing stands before them: read there, with a strong
// reference. Any other object, or a name missing there, is read through Python's attribute protocol.
nb::object field(nb::handle item, const pyhost::Global &name) {
    if (Py_TYPE(item.ptr()) == reinterpret_cast<PyTypeObject *>(schema::GuardrailStreamChunk.get().ptr()) &&
        schema::stream_chunk_unchanged()) {
        nb::object dict = pyhost::owned(PyObject_GenericGetDict(item.ptr(), nullptr));
        PyObject *value = nullptr;
        if (pyhost::status(PyDict_GetItemRef(dict.ptr(), name.get().ptr(), &value)) == 1) return nb::steal(value);
    }
    return pyhost::owned(PyObject_GetAttr(item.ptr(), name.get().ptr()));
}

bool is_empty_text(nb::handle chunk) {
    if (PyUnicode_CheckExact(chunk.ptr())) return PyUnicode_GET_LENGTH(chunk.ptr()) == 0;
    return chunk.equal(empty_text.get());
}

// The truth of an item's `is_safe`, and its `chunk` when `chunk` is given or the item is not safe.
Kind read_item(nb::handle item, nb::object *chunk) {
    const bool safe = pyhost::truth(field(item, str_is_safe));
    if (safe && !chunk) return Kind::Safe;
    nb::object text = field(item, str_chunk);
    if (safe) {
        *chunk = std::move(text);
        return Kind::Safe;
    }
    return is_empty_text(text) ? Kind::Terminal : Kind::TextBearing;
}

}  // namespace

nb::object empty_content_marker() { return terminal_marker(empty_content_reason.get()); }

Kind classify(nb::handle item) { return read_item(item, nullptr); }

Kind classify(nb::handle item, nb::object &chunk) { return read_item(item, &chunk); }

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
