// The items of the stream road and the signals that pass along it.
#include "vadrel_guardrail/stream/items.hpp"

#include <cstring>

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

// Whether `key`, a key of a record's dict, is the interned field name `name`: the very object, or an exact
// str of the same text (pydantic's own records keep names of their own).
inline bool is_name(PyObject *key, PyObject *name) {
    if (key == name) return true;
    if (!PyUnicode_CheckExact(key)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    const int kind = PyUnicode_KIND(name);
    return PyUnicode_GET_LENGTH(key) == length && PyUnicode_KIND(key) == kind &&
           std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(name), length * kind) == 0;
}

// A view of one item's fields, the type test and the dict found once for the fields read through it.
// Records of the stream-chunk class keep their fields in the instance dict, read there directly while the
// class holds nothing under their names; the generic lookup answers otherwise, without the model's
// attribute hooks. A dict that starts with `chunk` and `is_safe`, as every record made by the class or
// the road does, gives both by position: no hashing or probing per field.
class Fields {
public:
    explicit Fields(nb::handle item) : item_(item.ptr()) {
        PyTypeObject *type = Py_TYPE(item_);
        if (type != reinterpret_cast<PyTypeObject *>(schema::GuardrailStreamChunk.get().ptr())) {
            plain_ = true;
        } else if (fields_in_dict(type)) {
            PyObject **dict = _PyObject_GetDictPtr(item_);
            if (dict && *dict && PyDict_CheckExact(*dict)) {
                dict_ = *dict;
                Py_ssize_t pos = 0;
                PyObject *key, *value;
                if (PyDict_Next(dict_, &pos, &key, &value) && is_name(key, str_chunk.get().ptr())) {
                    chunk_ = value;
                    if (PyDict_Next(dict_, &pos, &key, &value) && is_name(key, str_is_safe.get().ptr())) {
                        is_safe_ = value;
                    }
                }
            }
        }
    }
    nb::object operator[](const pyhost::Global &name) const {
        if (plain_) [[unlikely]] return pyhost::owned(PyObject_GetAttr(item_, name.get().ptr()));
        if (is_safe_) [[likely]] {  // both found by position
            if (&name == &str_is_safe) return nb::borrow(is_safe_);
            if (&name == &str_chunk) return nb::borrow(chunk_);
        }
        if (dict_) {
            PyObject *value = nullptr;
            if (pyhost::status(PyDict_GetItemRef(dict_, name.get().ptr(), &value)) == 1) return nb::steal(value);
        }
        return pyhost::owned(PyObject_GenericGetAttr(item_, name.get().ptr()));
    }

private:
    PyObject *item_;
    // Borrowed: the item holds them, and reading a field from its dict runs no code.
    PyObject *dict_ = nullptr;
    PyObject *chunk_ = nullptr;    // the first entry's value, when its key is `chunk`
    PyObject *is_safe_ = nullptr;  // the second entry's value, when its key is `is_safe` after `chunk`
    bool plain_ = false;           // not the stream-chunk class: the generic attribute protocol
};

bool is_empty_text(nb::handle chunk) {
    if (PyUnicode_CheckExact(chunk.ptr())) [[likely]] return PyUnicode_GET_LENGTH(chunk.ptr()) == 0;
    return chunk.equal(empty_text.get());
}

// The truth of an item's `is_safe`, and its `chunk` when `chunk` is given or the item is not safe. The
// view of the item's fields serves the second read only when nothing ran between the two: a bool's truth
// runs no code, another value's may change the item.
[[gnu::hot]] Kind read_item(nb::handle item, nb::object *chunk) {
    Fields fields(item);
    nb::object is_safe = fields[str_is_safe];
    const bool plain_bool = is_safe.ptr() == Py_True || is_safe.ptr() == Py_False;
    const bool safe = plain_bool ? is_safe.ptr() == Py_True : pyhost::truth(is_safe);
    if (safe && !chunk) return Kind::Safe;
    nb::object text = plain_bool ? fields[str_chunk] : Fields(item)[str_chunk];
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
