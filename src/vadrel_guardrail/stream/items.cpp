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

// Whether the generic lookup of a field of `type` (the stream-chunk class itself) ends in the instance
// dict: the class holds nothing under the field names. Asked again only when the class changes.
bool fields_in_dict(PyTypeObject *type) {
    static unsigned checked_version = 0;
    if (type->tp_version_tag != 0 && type->tp_version_tag == checked_version) return true;
    if (_PyType_Lookup(type, str_is_safe.get().ptr()) || _PyType_Lookup(type, str_chunk.get().ptr())) return false;
    checked_version = type->tp_version_tag;
    return true;
}

// An item's field. Records of the stream-chunk class keep their fields in the instance dict, read there
// directly while the class holds nothing under their names; the generic lookup answers otherwise, without
// the model's attribute hooks.
nb::object item_field(nb::handle item, const pyhost::Global &name) {
    PyTypeObject *type = Py_TYPE(item.ptr());
    if (type != reinterpret_cast<PyTypeObject *>(schema::GuardrailStreamChunk.get().ptr())) {
        return pyhost::owned(PyObject_GetAttr(item.ptr(), name.get().ptr()));
    }
    if (fields_in_dict(type)) {
        PyObject **dict = _PyObject_GetDictPtr(item.ptr());
        if (dict && *dict && PyDict_CheckExact(*dict)) {
            PyObject *value = nullptr;
            if (pyhost::status(PyDict_GetItemRef(*dict, name.get().ptr(), &value)) == 1) return nb::steal(value);
        }
    }
    return pyhost::owned(PyObject_GenericGetAttr(item.ptr(), name.get().ptr()));
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
